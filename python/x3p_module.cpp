// The Python bindings of X3P files: read into a float64 array filled in
// place a piece at a time, written from an array a row at a time, so that a
// grid is never held twice. Bound from the module's init.
#include <mapconv/output_file.h>
#include <mapconv/x3p.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <string>

#include "module_support.h"

namespace py = pybind11;

namespace {

using module_support::raise;

// The library's diagnostics on this thread for the scope, then joined by "; ".
class Diagnostics {
 public:
  Diagnostics() : outer_(module_support::capture_into(&text_)) {}
  ~Diagnostics() { module_support::capture_into(outer_); }
  Diagnostics(const Diagnostics&) = delete;
  Diagnostics& operator=(const Diagnostics&) = delete;
  // Lines joined, each without the "path: " the library begins it with
  // (the exception names the file itself).
  std::string joined(const std::string& path) const {
    const std::string prefix = path + ": ";
    std::string out;
    std::size_t start = 0;
    while (start < text_.size()) {
      std::size_t end = text_.find('\n', start);
      if (end == std::string::npos) end = text_.size();
      if (end > start) {
        if (!out.empty()) out += "; ";
        const std::size_t skip = text_.compare(start, prefix.size(), prefix) == 0 ? prefix.size() : 0;
        out.append(text_, start + skip, end - start - skip);
      }
      start = end + 1;
    }
    return out;
  }

 private:
  std::string text_;
  std::string* outer_;
};

class WithoutGil {
 public:
  WithoutGil() : state_(module_support::release_gil()) {}
  ~WithoutGil() { module_support::take_gil_back(state_); }
  WithoutGil(const WithoutGil&) = delete;
  WithoutGil& operator=(const WithoutGil&) = delete;

 private:
  void* state_;
};

py::object metadata_dict(const X3pMetadata& m) {
  if (!m.present) return py::none();
  py::dict d;
  d["date"] = py::str(m.date);
  d["creator"] = py::str(m.creator);
  d["manufacturer"] = py::str(m.manufacturer);
  d["model"] = py::str(m.model);
  d["serial"] = py::str(m.serial);
  d["version"] = py::str(m.version);
  d["calibration_date"] = py::str(m.calibration_date);
  d["probing_type"] = py::str(m.probing_type);
  d["probing_identification"] = py::str(m.probing_identification);
  d["comment"] = py::str(m.comment);
  return d;
}

// Heights read between two looks at Python's signals: a few milliseconds' worth.
constexpr std::uint64_t PIECE_POINTS = std::uint64_t{1} << 20;

py::object read_x3p(const py::object& path_object) {
  const std::string path = module_support::path_of(path_object);
  X3pReader reader;
  x3p_reader_clear(&reader);
  ErrorCode code;
  int reason = 0;
  Diagnostics diagnostics;
  {
    const WithoutGil unlocked;
    code = x3p_reader_open(path.c_str(), &reader);
    reason = errno;
  }
  if (code != NO_ERROR) raise(code, path, reason, diagnostics.joined(path), false);
  const X3pSurface surface = reader.surface;
  py::array_t<double> heights;
  try {
    heights = py::array_t<double>(
        {static_cast<py::ssize_t>(surface.rows), static_cast<py::ssize_t>(surface.columns)});
  } catch (...) {
    x3p_reader_close(&reader);
    throw;
  }
  double* out = heights.mutable_data();
  std::uint64_t done = 0;
  while (code == NO_ERROR) {
    std::size_t count = 0;
    {
      const WithoutGil unlocked;
      code = x3p_reader_read_heights(
          &reader, out + done, static_cast<std::size_t>(std::min(reader.points - done, PIECE_POINTS)), &count);
      reason = errno;
    }
    if (count == 0) break;
    done += count;
    // Ctrl-C is taken between pieces: the file is only read, so nothing is left behind.
    if (PyErr_CheckSignals() != 0) {
      x3p_reader_close(&reader);
      throw py::error_already_set();
    }
  }
  {
    const WithoutGil unlocked;
    if (code == NO_ERROR) code = x3p_reader_finish(&reader);
    reason = errno;
    x3p_reader_close(&reader);
  }
  if (code != NO_ERROR) raise(code, path, reason, diagnostics.joined(path), false);
  const py::object surface_type = py::module_::import("mapconv._types").attr("X3pSurface");
  return surface_type(heights, surface.x_increment, surface.y_increment, x3p_data_type_letter(surface.data_type),
                      metadata_dict(surface.metadata));
}

void write_x3p(const py::object& path_object, const py::object& heights_object, double x_increment,
               const py::object& y_increment_object, const std::string& dtype, bool force) {
  const std::string path = module_support::path_of(path_object);
  const py::module_ numpy = py::module_::import("numpy");
  const py::array heights = numpy.attr("asarray")(heights_object);
  if (std::strchr("biuf", heights.dtype().kind()) == nullptr) {
    throw py::type_error("heights must have a real dtype, not " + std::string(py::str(heights.dtype())));
  }
  if (heights.ndim() != 2 || heights.shape(0) < 1 || heights.shape(1) < 1) {
    throw py::value_error("heights must be a 2-D array (rows, columns) with at least one point");
  }
  X3pDataType type;
  if (dtype == "float64") {
    type = X3P_FLOAT64;
  } else if (dtype == "float32") {
    type = X3P_FLOAT32;
  } else {
    throw py::value_error("dtype must be 'float64' or 'float32', not '" + dtype + "'");
  }
  const double y_increment = y_increment_object.is_none() ? x_increment : y_increment_object.cast<double>();
  const X3pLayout layout{static_cast<std::uint64_t>(heights.shape(1)),
                         static_cast<std::uint64_t>(heights.shape(0)),
                         type,
                         x_increment,
                         y_increment,
                         0.0,
                         nullptr};
  if (!(std::isfinite(x_increment) && x_increment > 0.0 && std::isfinite(y_increment) && y_increment > 0.0)) {
    throw py::value_error("the increments must be finite and above 0");
  }
  X3pWriter writer;
  ErrorCode code;
  int reason = 0;
  Diagnostics diagnostics;
  {
    const WithoutGil unlocked;
    code = x3p_writer_begin(path.c_str(), force ? OUTPUT_REPLACE : 0u, nullptr, &layout, &writer);
    reason = errno;
  }
  if (code != NO_ERROR) raise(code, path, reason, diagnostics.joined(path), writer.name_taken);
  const py::dtype float64 = py::dtype::of<double>();
  for (py::ssize_t row = 0; row < heights.shape(0) && code == NO_ERROR; ++row) {
    py::array_t<double> values;
    try {
      values = numpy.attr("ascontiguousarray")(heights[py::int_(row)], float64);
    } catch (...) {
      x3p_writer_discard(&writer);
      throw;
    }
    {
      const WithoutGil unlocked;
      code = x3p_writer_write_heights(&writer, values.data(), static_cast<std::size_t>(values.size()));
      reason = errno;
    }
    // Ctrl-C is taken between rows; the file being written is dropped.
    if (PyErr_CheckSignals() != 0) {
      x3p_writer_discard(&writer);
      throw py::error_already_set();
    }
  }
  bool name_taken = false;
  {
    const WithoutGil unlocked;
    if (code == NO_ERROR) {
      code = x3p_writer_commit(&writer);
      reason = errno;
      name_taken = writer.name_taken;
    } else {
      x3p_writer_discard(&writer);
    }
  }
  if (code == ERR_PARAM_OUT_OF_RANGE) throw py::value_error("a height is beyond float32 range");
  if (code != NO_ERROR) raise(code, path, reason, diagnostics.joined(path), name_taken);
}

}  // namespace

void bind_x3p(py::module_& module) {
  module.def("_read_x3p", &read_x3p, py::arg("path"),
             "Reads an X3P surface file (ISO 25178-72). Returns an X3pSurface (heights, x_increment, "
             "y_increment, data_type, metadata): heights a float64 array (rows, columns) in metres, NaN "
             "where a point has no data, filled a piece at a time; the increments in metres; data_type "
             "the stored type ('I', 'L', 'F' or 'D'); metadata Record2's texts as a dict, or None. "
             "Raises mapconv.Error: ERR_CANT_OPEN_FILE, ERR_NOT_A_DATA_FILE (not X3P, or a profile, a "
             "point cloud or an absolute lateral axis), ERR_CORRUPT_DATA_FILE (a wrong MD5 sum, a "
             "missing part or one of the wrong size), ERR_PARAM_OUT_OF_RANGE or ERR_NO_MEM, with the "
             "reader's words in the message.");
  module.def("_write_x3p", &write_x3p, py::arg("path"), py::arg("heights"), py::arg("x_increment"),
             py::arg("y_increment") = py::none(), py::arg("dtype") = "float64", py::arg("force") = false,
             "Writes heights (metres; a real array-like (rows, columns), NaN for no data) as an X3P "
             "surface file of float64 or float32 values, a row at a time, put in place only when "
             "complete. y_increment defaults to x_increment. An existing file is replaced only with "
             "force. TypeError / ValueError for bad arguments (a height beyond float32 range "
             "included), mapconv.Error on failure.");
}
