// The Python bindings of mapinfo's figures: the same picture code, written to
// a PNG file through the same safe output, or drawn into a NumPy array.
// Bound from the module's init where the pictures are built (libpng).
#include <mapconv/errors.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "module_support.h"
#include "programs/mapinfo/figure_scale.h"
#include "programs/mapinfo/height_picture.h"

namespace py = pybind11;

namespace {

// One figure's request and what it is drawn from, checked with the GIL.
struct Drawing {
  py::array heights;  // held for the drawing without the GIL
  HeightGrid grid{};
  float lateral_resolution = 0;
  std::string source;
  std::string title;
  bool titled = false;  // title given, not mapinfo's
  bool legend = false;
  bool levelled = false;
  HeightLevel level = HEIGHT_LEVEL_PLANE;
  double range[2] = {0, 0};
  bool range_given = false;
  std::uint32_t size = 0;
  HeightStatistics statistics{};
  HeightParameters parameters{};
};

Drawing drawing_of(const py::object& heights_object, double lateral_resolution, const py::object& source,
                   const py::object& title, const py::object& size, const py::object& range, bool legend,
                   const py::object& level) {
  Drawing d;
  const py::module_ numpy = py::module_::import("numpy");
  py::array heights = numpy.attr("asarray")(heights_object);
  if (std::strchr("biuf", heights.dtype().kind()) == nullptr)
    throw py::type_error("heights must have a real dtype, not " + std::string(py::str(heights.dtype())));
  if (heights.ndim() != 2)
    throw py::value_error("heights must have 2 dimensions (rows, columns), not " + std::to_string(heights.ndim()));
  for (int i = 0; i < 2; ++i) {
    if (heights.shape(i) < 1 || heights.shape(i) > 32767)
      throw py::value_error("heights sides must be from 1 to 32767, not " + std::to_string(heights.shape(i)));
  }
  // float32 (read_xdt's) is drawn in place, anything else as float64.
  const int flags = py::detail::array_proxy(heights.ptr())->flags;
  const bool in_place = heights.dtype().equal(py::dtype::of<float>()) &&
                        (flags & py::detail::npy_api::NPY_ARRAY_C_CONTIGUOUS_) != 0 &&
                        (flags & py::detail::npy_api::NPY_ARRAY_ALIGNED_) != 0;
  if (!in_place) heights = numpy.attr("ascontiguousarray")(heights, py::dtype::of<double>());
  d.heights = heights;
  d.grid.columns = static_cast<std::int32_t>(heights.shape(1));
  d.grid.rows = static_cast<std::int32_t>(heights.shape(0));
  if (in_place) {
    d.grid.float_metres = static_cast<const float*>(heights.data());
  } else {
    d.grid.metres = static_cast<const double*>(heights.data());
  }
  // Stored as a file stores it, so that the figure of heights read from a
  // file is the file's figure.
  d.lateral_resolution = static_cast<float>(lateral_resolution);
  if (!(std::isfinite(d.lateral_resolution) && d.lateral_resolution > 0))
    throw py::value_error("lateral_resolution must be finite and above 0");

  const py::bytes source_bytes = py::module_::import("os").attr("fsencode")(source);
  d.source = source_bytes;
  if (d.source.find('\0') != std::string::npos) throw py::value_error("source holds a NUL byte");
  if (!title.is_none()) {
    if (!py::isinstance<py::str>(title)) throw py::type_error("title must be a str or None");
    d.title = title.cast<std::string>();
    d.titled = true;
  }
  if (!size.is_none()) {
    if (!PyIndex_Check(size.ptr()) || PyBool_Check(size.ptr())) throw py::type_error("size must be an int or None");
    const long long side = size.cast<long long>();
    if (side < 1 || side > MAX_PICTURE_SIDE)
      throw py::value_error("size must be from 1 to " + std::to_string(MAX_PICTURE_SIDE) + " pixels");
    d.size = static_cast<std::uint32_t>(side);
  }
  if (!range.is_none()) {
    const auto ends = range.cast<std::pair<double, double>>();
    // 15e-9 m comes out a hair below 15 nm: the ticks' own tolerance keeps
    // those at the ends, as for mapinfo's --range -15 15.
    d.range[0] = ends.first * 1e9;
    d.range[1] = ends.second * 1e9;
    if (!colour_range_valid(d.range[0], d.range[1]))
      throw py::value_error("range must be two finite heights in metres, the first below the second, "
                            "at most 1000 m either way");
    d.range_given = true;
  }
  if (!level.is_none()) {
    const std::string name = py::str(level);
    if (!py::isinstance<py::str>(level) || (name != "plane" && name != "mean"))
      throw py::value_error("level must be 'plane', 'mean' or None, not " + std::string(py::repr(level)));
    d.level = name == "plane" ? HEIGHT_LEVEL_PLANE : HEIGHT_LEVEL_MEAN;
    d.levelled = true;
  }
  d.legend = legend && picture_legend_available();
  return d;
}

// The request for d, measured first (without the GIL): mapinfo's title
// needs the parameters, a levelled map its form. *measured is the
// measurement's code; the request is of no use unless it is 0.
PictureRequest request_of(Drawing& d, const char* path, bool force, ErrorCode* measured) {
  *measured = measure_heights(d.grid, d.lateral_resolution, d.level, &d.statistics, &d.parameters);
  if (d.legend && !d.titled) d.title = figure_title(d.source, d.grid.columns, d.grid.rows, &d.parameters, d.levelled);
  PictureRequest request{path, force, d.size, d.source.c_str(), nullptr};
  if (d.legend) request.title = &d.title;
  request.lateral_resolution = d.lateral_resolution;
  if (d.range_given) request.range = d.range;
  return request;
}

[[noreturn]] void raise_unmeasured(ErrorCode code) {
  module_support::raise(code, "heights", 0, "cannot compute the height parameters", false);
}

// As mapinfo says on standard error.
void warn_without_legend(bool asked) {
  if (!asked || picture_legend_available()) return;
  py::module_::import("warnings")
      .attr("warn")("drawn without its legend, which needs mapconv built with cairo and pango "
                    "(libcairo2-dev, libpango1.0-dev)",
                    py::module_::import("builtins").attr("UserWarning"), py::arg("stacklevel") = 2);
}

void write_picture(const py::object& path_object, const py::object& heights, double lateral_resolution,
                   const py::object& source, const py::object& title, const py::object& size,
                   const py::object& range, bool legend, const py::object& level, bool force) {
  const std::string path = module_support::path_of(path_object);
  Drawing d = drawing_of(heights, lateral_resolution, source, title, size, range, legend, level);
  PictureFailure failure{};
  ErrorCode measured = NO_ERROR, code = NO_ERROR;
  module_support::run_watched([&](const InterruptCheck* check) {
    PictureRequest request = request_of(d, path.c_str(), force, &measured);
    request.interrupt = check;
    if (measured == NO_ERROR)
      code = write_map_picture(request, d.grid, d.statistics, d.levelled ? &d.parameters : nullptr, &failure);
  });
  if (measured != NO_ERROR) raise_unmeasured(measured);
  if (code == NO_ERROR) return warn_without_legend(legend);
  if (failure.not_a_file)
    module_support::raise(code, path, 0, "is a FIFO or socket; a picture goes to a file or a device", false);
  module_support::raise(code, path, failure.system_error, failure.detail, failure.name_taken);
}

py::array picture(const py::object& heights, double lateral_resolution, const py::object& source,
                  const py::object& title, const py::object& size, const py::object& range, bool legend,
                  const py::object& level) {
  Drawing d = drawing_of(heights, lateral_resolution, source, title, size, range, legend, level);
  PictureSize drawn{};
  std::unique_ptr<unsigned char[]> pixels;
  ErrorCode measured = NO_ERROR, code = NO_ERROR;
  module_support::run_watched([&](const InterruptCheck* check) {
    PictureRequest request = request_of(d, nullptr, false, &measured);
    request.interrupt = check;
    if (measured == NO_ERROR)
      code = draw_map_pixels(request, d.grid, d.statistics, d.levelled ? &d.parameters : nullptr, &drawn, &pixels);
  });
  if (measured != NO_ERROR) raise_unmeasured(measured);
  // ERR_NO_MEM: a stop the check said was raised by run_watched.
  if (code != NO_ERROR) throw std::bad_alloc();
  // The array owns the block.
  const py::capsule owner(pixels.get(), [](void* block) { delete[] static_cast<unsigned char*>(block); });
  unsigned char* block = pixels.release();
  py::array_t<std::uint8_t> out({static_cast<py::ssize_t>(drawn.height), static_cast<py::ssize_t>(drawn.width),
                                 py::ssize_t{3}},
                                block, owner);
  warn_without_legend(legend);
  return out;
}

}  // namespace

void bind_picture(py::module_& module) {
  module.attr("_picture_legend") = picture_legend_available();
  module.def("_write_picture", &write_picture, py::arg("path"), py::arg("heights"), py::arg("lateral_resolution"),
             py::kw_only(), py::arg("source") = "heights", py::arg("title") = py::none(),
             py::arg("size") = py::none(), py::arg("range") = py::none(), py::arg("legend") = true,
             py::arg("level") = py::none(), py::arg("force") = false,
             "Draws heights (metres; a real array-like (rows, columns), NaN for no data) as mapinfo's "
             "false-colour figure and writes it as an 8-bit RGB PNG: the map with a title above it, a "
             "colour bar with labelled heights and a lateral scale bar (lateral_resolution, metres "
             "between points). The title is mapinfo's for a file named source (its name, the grid, "
             "Sa and Sq, what the map shows) unless title gives one; source is also recorded in the "
             "picture. size is the map's longer side in pixels (1 to 65535; default one pixel per "
             "point, at most 2048), range the colour scale's (min, max) in metres (default the "
             "map's, or -Sv to Sp when levelled), legend=False the map alone, level 'plane' or "
             "'mean' the form removed first. The picture is in place complete or not at all; an "
             "existing file is replaced only with force (FileExists), a FIFO or socket is refused. "
             "Without cairo and pango in the build the bare map is drawn, with a UserWarning. "
             "TypeError / ValueError for bad arguments, mapconv.Error on failure; the GIL is "
             "released while drawing and Ctrl-C stops it with nothing written.");
  module.def("_picture", &picture, py::arg("heights"), py::arg("lateral_resolution"), py::kw_only(),
             py::arg("source") = "heights", py::arg("title") = py::none(), py::arg("size") = py::none(),
             py::arg("range") = py::none(), py::arg("legend") = true, py::arg("level") = py::none(),
             "The figure write_picture writes, as a new uint8 array (height, width, 3) of its RGB "
             "pixels, row 0 at the top: for a notebook or an image library. The same arguments, "
             "errors and warning.");
}
