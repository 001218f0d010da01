// The mapconv Python module: data files and XDT grids as NumPy arrays, and
// the height conversion mapconv makes. Blocks the library hands over become
// the arrays' storage (no copy), and the caller's arrays are given to the
// library as they stand, so a map is never held twice.
#include <cxxabi.h>
#include <mapconv/byte_order.h>
#include <mapconv/conversion.h>
#include <mapconv/data_file_format.h>
#include <mapconv/data_file_reader.h>
#include <mapconv/data_file_writer.h>
#include <mapconv/errors.h>
#include <mapconv/file_kind.h>
#include <mapconv/height_parameters.h>
#include <mapconv/map_records.h>
#include <mapconv/memory_hooks.h>
#include <mapconv/output_file.h>
#include <mapconv/path.h>
#include <mapconv/print.h>
#include <mapconv/version.h>
#include <mapconv/xdt_reader.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <functional>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "header_layout.h"
#include "hooked_block.h"
#include "module_support.h"

namespace py = pybind11;

namespace {

bool any_object(PyObject*) { return true; }

// Objects taken or given as they are, under the names help() shows for them.
#define NAMED_OBJECT(Name)                                \
  struct Name : py::object {                              \
    PYBIND11_OBJECT_DEFAULT(Name, py::object, any_object) \
  }
NAMED_OBJECT(PathArgument);
NAMED_OBJECT(ArrayLike);
NAMED_OBJECT(OptionalArrayLike);
NAMED_OBJECT(OptionalArray);
NAMED_OBJECT(HeaderArgument);
NAMED_OBJECT(SoftwareArgument);
NAMED_OBJECT(XdtGrid);
NAMED_OBJECT(Origin);
#undef NAMED_OBJECT

}  // namespace

namespace pybind11::detail {
#define TYPE_NAME(Name, text)                      \
  template <>                                      \
  struct handle_type_name<Name> {                  \
    static constexpr auto name = const_name(text); \
  }
TYPE_NAME(PathArgument, "str | bytes | os.PathLike");
TYPE_NAME(ArrayLike, "numpy.typing.ArrayLike");
TYPE_NAME(OptionalArrayLike, "numpy.typing.ArrayLike | None");
TYPE_NAME(OptionalArray, "numpy.ndarray | None");
TYPE_NAME(HeaderArgument, "dict[str, object] | None");
TYPE_NAME(SoftwareArgument, "bytes | None");
TYPE_NAME(XdtGrid, "mapconv.XdtGrid");
TYPE_NAME(Origin, "tuple[int, int]");
#undef TYPE_NAME
}  // namespace pybind11::detail

namespace {

PyObject* error_type = nullptr;      // mapconv.Error, a reference the extension keeps
PyObject* warning_type = nullptr;    // mapconv.UnrepresentableHeightsWarning, likewise
PyObject* xdt_grid_type = nullptr;   // mapconv.XdtGrid, likewise
PyObject* same_file_type = nullptr;  // mapconv.SameFile, likewise
PyObject* header_type = nullptr;     // mapconv.Header, likewise

// mapconv.Error subclasses that are also the OSError subclass Python picks
// for an errno, so that `except FileNotFoundError` and the like catch them.
struct OsErrorKind {
  int number;
  PyObject* type;
};
std::vector<OsErrorKind> os_error_kinds;

// The library prints its diagnostics through the process-wide u_print, on
// the calling thread (its reader threads hand theirs back to the caller).
// The module's hook keeps them for the call capturing on that thread, and
// drops the rest: no lock, so calls never wait for each other and a forked
// child starts with nothing held.
thread_local std::string* capture_target = nullptr;

int capture_print(const char* format, ...) MAPCONV_PRINTF(1, 2);
int capture_print(const char* format, ...) {
  if (capture_target == nullptr) return 0;
  char line[512];
  va_list arguments;
  va_start(arguments, format);
  const int length = std::vsnprintf(line, sizeof line, format, arguments);
  va_end(arguments);
  if (length > 0)
    capture_target->append(line, std::min<std::size_t>(static_cast<std::size_t>(length), sizeof line - 1));
  return 0;
}

// Captures the library's diagnostics on this thread from construction to
// text().
class Capture {
 public:
  Capture() : outer_(capture_target) { capture_target = &text_; }
  ~Capture() { stop(); }
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  // The diagnostics so far, lines joined by "; ", and capturing ends.
  std::string text() {
    stop();
    std::string joined;
    std::size_t start = 0;
    while (start < text_.size()) {
      std::size_t end = text_.find('\n', start);
      if (end == std::string::npos) end = text_.size();
      if (end > start) {
        if (!joined.empty()) joined += "; ";
        joined.append(text_, start, end - start);
      }
      start = end + 1;
    }
    return joined;
  }

 private:
  void stop() {
    if (capture_target == &text_) capture_target = outer_;
  }
  std::string* outer_;
  std::string text_;
};

// --- The GIL and interpreter exit ---------------------------------------------
// Python ends a thread that takes the GIL back once the interpreter is
// finalizing (pthread_exit from inside the call); unwinding C++ frames that
// way aborts the process. So a thread coming back from the library checks in
// first, and from the module's exit handler on it parks instead: the process
// exits around it. The handler waits for the threads already past the check
// to get the GIL, so none can be caught by the finalization. The exiting
// thread itself, which finalizes, goes on as before.
std::atomic<bool> exiting{false};
std::atomic<unsigned long> exiting_thread{0};
std::atomic<int> returning{0};

[[noreturn]] void park() {
  for (;;) pause();
}

void take_gil(PyThreadState* state) {
  returning.fetch_add(1);
  if (exiting.load() && PyThread_get_thread_ident() != exiting_thread.load()) {
    returning.fetch_sub(1);
    park();  // the process is exiting around the thread
  }
  PyEval_RestoreThread(state);
  returning.fetch_sub(1);
}

// Runs from atexit, with the GIL.
void stop_returning() {
  exiting_thread.store(PyThread_get_thread_ident());
  exiting.store(true);
  Py_BEGIN_ALLOW_THREADS;
  while (returning.load() != 0) sched_yield();
  Py_END_ALLOW_THREADS;
}

// The GIL released for the scope, taken back through take_gil.
class WithoutGil {
 public:
  WithoutGil() : state_(PyEval_SaveThread()) {}
  ~WithoutGil() { take_gil(state_); }
  WithoutGil(const WithoutGil&) = delete;
  WithoutGil& operator=(const WithoutGil&) = delete;

 private:
  PyThreadState* state_;
};

// The GIL taken for the scope by a thread of Python's that released it.
class WithGil {
 public:
  WithGil() : state_(PyGILState_GetThisThreadState()) { take_gil(state_); }
  ~WithGil() { PyEval_SaveThread(); }
  WithGil(const WithGil&) = delete;
  WithGil& operator=(const WithGil&) = delete;

 private:
  PyThreadState* state_;
};

// --- Signals during a call ----------------------------------------------------
// Python runs its signal handlers on the main thread, between bytecodes; a
// call working without the GIL runs them itself when the library asks its
// interrupt check: at once after a signal interrupted a read, else at most
// every few milliseconds. An exception a handler raises (KeyboardInterrupt)
// stops the call and is raised when it returns.
unsigned long main_thread_ident = 0;  // set at import

class SignalWatch {
 public:
  // With the GIL, on the calling thread.
  SignalWatch()
      : caller_(pthread_self()),
        on_main_(PyThread_get_thread_ident() == main_thread_ident),
        last_(std::chrono::steady_clock::now()) {}
  SignalWatch(const SignalWatch&) = delete;
  SignalWatch& operator=(const SignalWatch&) = delete;

  const InterruptCheck* check() const { return &check_; }

  // Whether a handler raised; the library's threads only read the answer.
  bool stop(bool signalled) {
    if (stopping_.load()) return true;
    if (!on_main_ || !pthread_equal(pthread_self(), caller_)) return false;
    const auto now = std::chrono::steady_clock::now();
    if (!signalled && now - last_ < std::chrono::milliseconds(5)) return false;
    last_ = now;
    const WithGil locked;
    if (PyErr_CheckSignals() != 0) {
      PyErr_Fetch(&type_, &value_, &traceback_);
      stopping_.store(true);
    }
    return stopping_.load();
  }

  // With the GIL: raises what a handler raised during the call, if it did.
  void raise_pending() {
    if (!stopping_.load()) return;
    stopping_.store(false);
    PyErr_Restore(type_, value_, traceback_);
    type_ = value_ = traceback_ = nullptr;
    throw py::error_already_set();
  }

  // With the GIL: a pending exception not raised is dropped.
  ~SignalWatch() {
    Py_XDECREF(type_);
    Py_XDECREF(value_);
    Py_XDECREF(traceback_);
  }

 private:
  static bool ask(void* self, bool signalled) { return static_cast<SignalWatch*>(self)->stop(signalled); }

  const pthread_t caller_;
  const bool on_main_;
  std::chrono::steady_clock::time_point last_;  // the caller's thread's only
  std::atomic<bool> stopping_{false};
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* traceback_ = nullptr;
  const InterruptCheck check_{&SignalWatch::ask, this};
};

// What a failed call leaves to report: errno where the system gave a
// reason, the reader's diagnostics, and whether a file took the name.
struct Failure {
  int reason = 0;
  std::string diagnostics;
  bool name_taken = false;
  bool same_file = false;  // the output is the input: nothing was written
};

// Raises mapconv.Error, or the subclass that is also the errno's own OSError
// subclass: errno, strerror and filename set as OSError sets them, and the
// library's name after the reason: "[Errno 2] No such file or directory:
// 'in.xdt' (ERR_CANT_OPEN_FILE)". Without a system reason the message is the
// reader's diagnostic, or the library's words for the code, after the path.
// path: the file system's bytes of the file concerned.
[[noreturn]] void raise_error(ErrorCode code, const std::string& path, const Failure& failure = {}) {
  const char* name = code >= 0 && code <= ERROR_CODE_MAX ? error_names[code] : "UNKNOWN_ERROR";
  const int reason = failure.same_file               ? 0
                     : failure.name_taken            ? EEXIST
                     : error_has_system_reason(code) ? failure.reason
                                                     : 0;
  PyObject* type = failure.same_file ? same_file_type : error_type;
  for (const OsErrorKind& kind : os_error_kinds) {
    if (kind.number == reason) type = kind.type;
  }
  const py::object filename = py::module_::import("os").attr("fsdecode")(py::bytes(path));
  py::object error;
  if (reason != 0) {
    error = py::handle(type)(reason, std::strerror(reason), filename);
  } else {
    // Room for the library's words and all the reader said.
    std::string detail(failure.diagnostics.size() + 256, '\0');
    describe_read_failure(code, FILE_KIND_UNKNOWN, 0, failure.diagnostics.c_str(), detail.data(),
                          detail.size());
    if (failure.same_file) detail = "the output is the input file";
    const auto message =
        py::reinterpret_steal<py::object>(PyUnicode_FromFormat("%U: %s", filename.ptr(), detail.c_str()));
    if (!message) throw py::error_already_set();
    error = py::handle(type)(message);
  }
  if (!error) throw py::error_already_set();
  error.attr("code") = code;
  error.attr("name") = name;
  error.attr("exists") = failure.name_taken;
  PyErr_SetObject(type, error.ptr());
  throw py::error_already_set();
}

// A path as the library takes it: the file system's bytes of a str, bytes or
// os.PathLike, naming the file open() would. A name that begins with a
// byte-order mark is not a wide path here (that is for command lines), so
// it is given as "./name", which the library takes as it is.
std::string path_bytes(const py::handle& path) {
  const py::bytes encoded = py::module_::import("os").attr("fsencode")(path);
  std::string bytes = encoded;
  if (bytes.empty()) throw py::value_error("the path is empty");
  if (bytes.find('\0') != std::string::npos) throw py::value_error("the path holds a NUL byte");
  if (u_path_is_wide(bytes.c_str())) bytes.insert(0, "./");
  return bytes;
}

// --- Header fields by name -------------------------------------------------

using Kind = FieldType;

struct Field {
  std::string name;
  Kind kind;
  std::size_t offset;  // in DataFileHeader
  std::size_t size;    // bytes
};

constexpr std::size_t width_of(Kind kind) { return unit_width(kind); }

// The fields the system interprets, by name, in file order. Every other
// field of the record goes, in file order and as in the file (big-endian),
// into the one bytes entry "reserved", so that a header read can be
// written back whole.
std::vector<Field> record_fields(std::vector<Field>* reserved) {
  std::vector<Field> named;
  for (const HeaderRow& row : header_rows) {
    if (row.file_offset < HEADER_RECORD_FILE_OFFSET) continue;
    Field field{row.name != nullptr ? row.name : "", row.type, header_record_offset(row.file_offset),
                std::size_t{row.amount} * width_of(row.type)};
    (row.name != nullptr ? named : *reserved).push_back(std::move(field));
  }
  return named;
}
std::vector<Field> reserved_fields;
const std::vector<Field> fields = record_fields(&reserved_fields);
const std::size_t reserved_size = [] {
  std::size_t size = 0;
  for (const Field& field : reserved_fields) size += field.size;
  return size;
}();
constexpr const char* reserved_name = "reserved";

// Copies the reserved fields between the record (native units, at their
// record offsets) and their file bytes (big-endian, one after another).
void reserved_to_file(const unsigned char* record, unsigned char* file) {
  for (const Field& field : reserved_fields) {
    std::memcpy(file, record + field.offset, field.size);
    const std::size_t width = width_of(field.kind);
    if (width > 1 && std::endian::native == std::endian::little) {
      for (std::size_t i = 0; i < field.size; i += width) std::reverse(file + i, file + i + width);
    }
    file += field.size;
  }
}
void reserved_from_file(const unsigned char* file, unsigned char* record) {
  for (const Field& field : reserved_fields) {
    unsigned char* at = record + field.offset;
    std::memcpy(at, file, field.size);
    const std::size_t width = width_of(field.kind);
    if (width > 1 && std::endian::native == std::endian::little) {
      for (std::size_t i = 0; i < field.size; i += width) std::reverse(at + i, at + i + width);
    }
    file += field.size;
  }
}

py::object number_at(const unsigned char* at, Kind kind) {
  switch (kind) {
    case Kind::u16: {
      std::uint16_t value;
      std::memcpy(&value, at, 2);
      return py::int_(value);
    }
    case Kind::i16: {
      std::int16_t value;
      std::memcpy(&value, at, 2);
      return py::int_(value);
    }
    case Kind::u32: {
      std::uint32_t value;
      std::memcpy(&value, at, 4);
      return py::int_(value);
    }
    default: {
      float value;
      std::memcpy(&value, at, 4);
      return py::float_(static_cast<double>(value));
    }
  }
}

py::dict header_dict(const DataFileHeader& header) {
  const auto* base = reinterpret_cast<const unsigned char*>(&header);
  py::dict result;
  for (const Field& field : fields) {
    const unsigned char* at = base + field.offset;
    const std::size_t width = width_of(field.kind);
    if (field.kind == Kind::bytes) {
      result[field.name.c_str()] = py::bytes(reinterpret_cast<const char*>(at), field.size);
    } else if (field.size == width) {
      result[field.name.c_str()] = number_at(at, field.kind);
    } else {
      py::tuple values(field.size / width);
      for (std::size_t i = 0; i < field.size / width; ++i) values[i] = number_at(at + i * width, field.kind);
      result[field.name.c_str()] = values;
    }
  }
  std::string reserved(reserved_size, '\0');
  reserved_to_file(base, reinterpret_cast<unsigned char*>(reserved.data()));
  result[reserved_name] = py::bytes(reserved);
  return result;
}

// The header as DataFile.header gives it: a mapconv.Header, the dict whose
// repr summarises the reserved bytes.
py::object header_object(const DataFileHeader& header) {
  return py::handle(header_type)(header_dict(header));
}

void store_number(const py::handle& value, const Field& field, unsigned char* at) {
  if (field.kind == Kind::f32) {
    if (!PyFloat_Check(value.ptr()) && !PyLong_Check(value.ptr())) {
      throw py::type_error(std::string("header field ") + field.name + " takes a float");
    }
    const double wide = value.cast<double>();
    if (!fits_header_float(wide)) {
      throw py::value_error(std::string("header field ") + field.name +
                            " must be a finite float32 value, not " + std::string(py::repr(value)));
    }
    const auto number = static_cast<float>(wide);
    std::memcpy(at, &number, 4);
    return;
  }
  if (!PyIndex_Check(value.ptr()) || PyBool_Check(value.ptr())) {
    throw py::type_error(std::string("header field ") + field.name + " takes an int");
  }
  const py::int_ integer = py::reinterpret_steal<py::int_>(PyNumber_Index(value.ptr()));
  int overflow = 0;
  const long long number = PyLong_AsLongLongAndOverflow(integer.ptr(), &overflow);
  const long long low = field.kind == Kind::i16 ? std::numeric_limits<std::int16_t>::min() : 0;
  const long long high = field.kind == Kind::i16   ? std::numeric_limits<std::int16_t>::max()
                         : field.kind == Kind::u16 ? std::numeric_limits<std::uint16_t>::max()
                                                   : std::numeric_limits<std::uint32_t>::max();
  if (overflow != 0 || number < low || number > high) {
    throw py::value_error(std::string("header field ") + field.name +
                          " out of range: " + std::string(py::str(value)));
  }
  if (field.kind == Kind::u32) {
    const auto stored = static_cast<std::uint32_t>(number);
    std::memcpy(at, &stored, 4);
  } else {
    const auto stored = static_cast<std::uint16_t>(number);
    std::memcpy(at, &stored, 2);
  }
}

// Fields left out are zero; unknown names are refused, so a misspelt field
// is never silently dropped.
void header_from_dict(const py::handle& object, DataFileHeader* header) {
  if (!py::isinstance<py::dict>(object)) throw py::type_error("header must be a dict or None");
  std::memset(header, 0, sizeof *header);
  auto* base = reinterpret_cast<unsigned char*>(header);
  for (const auto& [key, value] : py::reinterpret_borrow<py::dict>(object)) {
    if (!py::isinstance<py::str>(key)) throw py::type_error("header field names must be str");
    const std::string name = py::str(key);
    if (name == reserved_name) {
      if (!PyBytes_Check(value.ptr()) && !PyByteArray_Check(value.ptr())) {
        throw py::type_error("header field reserved takes bytes");
      }
      const std::string bytes = py::bytes(py::reinterpret_borrow<py::object>(value));
      if (bytes.size() != reserved_size) {
        throw py::value_error("header field reserved takes " + std::to_string(reserved_size) + " bytes");
      }
      reserved_from_file(reinterpret_cast<const unsigned char*>(bytes.data()), base);
      continue;
    }
    const auto field =
        std::find_if(std::begin(fields), std::end(fields), [&](const Field& f) { return name == f.name; });
    if (field == std::end(fields)) throw py::value_error("unknown header field: " + name);
    unsigned char* at = base + field->offset;
    const std::size_t width = width_of(field->kind);
    if (field->kind == Kind::bytes) {
      if (!PyBytes_Check(value.ptr()) && !PyByteArray_Check(value.ptr())) {
        throw py::type_error("header field " + name + " takes bytes");
      }
      const std::string bytes = py::bytes(py::reinterpret_borrow<py::object>(value));
      if (bytes.size() != field->size) {
        throw py::value_error("header field " + name + " takes " + std::to_string(field->size) + " bytes");
      }
      std::memcpy(at, bytes.data(), bytes.size());
    } else if (field->size == width) {
      store_number(value, *field, at);
    } else {
      if (!py::isinstance<py::sequence>(value) || py::isinstance<py::str>(value)) {
        throw py::type_error("header field " + name + " takes a sequence of ints");
      }
      const auto values = py::reinterpret_borrow<py::sequence>(value);
      if (values.size() != field->size / width) {
        throw py::value_error("header field " + name + " takes " + std::to_string(field->size / width) +
                              " values");
      }
      for (std::size_t i = 0; i < values.size(); ++i) store_number(values[i], *field, at + i * width);
    }
  }
}

// The record and the file's 38 bytes at offset 10 differ only in the byte
// order of the 16-bit values around the text.
SoftwareInfo with_values_reversed(SoftwareInfo info) {
  u_swap_bytes(&info.first_value, 2);
  for (std::int16_t& value : info.last_values) u_swap_bytes(&value, 2);
  return info;
}

py::bytes software_bytes(const SoftwareInfo& info) {
  const SoftwareInfo file_order = with_values_reversed(info);
  return py::bytes(reinterpret_cast<const char*>(&file_order), sizeof file_order);
}

SoftwareInfo software_from_bytes(const py::handle& object) {
  if (!PyBytes_Check(object.ptr()) && !PyByteArray_Check(object.ptr())) {
    throw py::type_error("software_info must be bytes of length 38 or None");
  }
  const std::string bytes = py::bytes(py::reinterpret_borrow<py::object>(object));
  if (bytes.size() != sizeof(SoftwareInfo)) throw py::value_error("software_info must be 38 bytes long");
  SoftwareInfo info;
  std::memcpy(&info, bytes.data(), sizeof info);
  return with_values_reversed(info);
}

// --- Arrays ------------------------------------------------------------------

py::object numpy(const char* name) { return py::module_::import("numpy").attr(name); }

// An array-like as an ndarray of the given dimensions, each side 1 to 32767:
// TypeError unless its dtype's kind is one of kinds, ValueError for the shape.
py::array as_array(const py::handle& object, const char* what, const char* kinds, const char* wanted,
                   int dimensions) {
  const py::array array = numpy("asarray")(object);
  if (std::strchr(kinds, array.dtype().kind()) == nullptr) {
    throw py::type_error(std::string(what) + " must have " + wanted + ", not " +
                         std::string(py::str(array.dtype())));
  }
  if (array.ndim() != dimensions) {
    throw py::value_error(std::string(what) + " must have " + std::to_string(dimensions) +
                          " dimensions, not " + std::to_string(array.ndim()));
  }
  for (int i = 0; i < dimensions; ++i) {
    if (array.shape(i) < 1 || array.shape(i) > 32767) {
      throw py::value_error(std::string(what) + " sides must be from 1 to 32767, not " +
                            std::to_string(array.shape(i)));
    }
  }
  return array;
}

// Whether the library can read the array's block as it stands.
bool usable_in_place(const py::array& array, const py::dtype& dtype) {
  const int flags = py::detail::array_proxy(array.ptr())->flags;
  return array.dtype().equal(dtype) && (flags & py::detail::npy_api::NPY_ARRAY_C_CONTIGUOUS_) != 0 &&
         (flags & py::detail::npy_api::NPY_ARRAY_ALIGNED_) != 0;
}

// An integer array-like as a C-contiguous array of T: the caller's own when
// it already is one, else a converted copy. ValueError names a value that
// does not fit T.
template <typename T>
py::array integer_array(const py::handle& object, const char* what, const char* dtype, int dimensions) {
  const py::array array = as_array(object, what, "iu", "an integer dtype", dimensions);
  const py::dtype wanted = py::dtype::of<T>();
  if (usable_in_place(array, wanted)) return array;
  if (!numpy("can_cast")(array.dtype(), wanted).cast<bool>()) {
    const py::int_ lowest(std::numeric_limits<T>::min());
    const py::int_ highest(std::numeric_limits<T>::max());
    for (const char* end : {"min", "max"}) {
      const py::int_ value(array.attr(end)());
      if (value < lowest || value > highest) {
        throw py::value_error(std::string(what) + " value " + std::string(py::str(py::handle(value))) +
                              " does not fit " + dtype);
      }
    }
  }
  return numpy("ascontiguousarray")(array, wanted);
}

// Copies heights [start, start + count) of a (rows, columns) array, in row
// order, into out, converted as numpy.asarray(heights, numpy.float32) would:
// at most a part row, whole rows, and a part row. Needs the GIL.
void copy_heights(const py::array& heights, std::size_t start, std::size_t count, float* out) {
  const auto columns = static_cast<std::size_t>(heights.shape(1));
  const py::capsule unowned(out, [](void*) {});
  while (count > 0) {
    const std::size_t row = start / columns;
    const std::size_t column = start % columns;
    std::size_t taken;
    py::object source;
    py::array target;
    if (column != 0 || count < columns) {
      taken = std::min(columns - column, count);
      source = heights[py::make_tuple(
          row, py::slice(static_cast<py::ssize_t>(column), static_cast<py::ssize_t>(column + taken), 1))];
      target = py::array_t<float>({static_cast<py::ssize_t>(taken)}, out, unowned);
    } else {
      const std::size_t whole_rows = count / columns;
      taken = whole_rows * columns;
      source =
          heights[py::slice(static_cast<py::ssize_t>(row), static_cast<py::ssize_t>(row + whole_rows), 1)];
      target = py::array_t<float>({static_cast<py::ssize_t>(whole_rows), static_cast<py::ssize_t>(columns)},
                                  out, unowned);
    }
    // numpy.copyto(target, source, casting="unsafe") through NumPy's C API:
    // no Python code runs, so no signal handler raises in the middle of a
    // save (its exception is the call's to raise, once the file is safe),
    // and no frame of the module's lies between NumPy and the catch when the
    // interpreter ends the thread at exit (NumPy lets the GIL go while it
    // copies).
    int copied = -1;
    try {
      copied = py::detail::npy_api::get().PyArray_CopyInto_(target.ptr(), source.ptr());
    } catch (abi::__forced_unwind&) {
      park();
    }
    if (copied < 0) throw py::error_already_set();
    start += taken;
    count -= taken;
    out += taken;
  }
}

// An array over a block the library handed over: the array owns it and
// gives it back through memory_hooks.release.
template <typename T>
py::array_t<T> adopt_block(T* block, std::vector<py::ssize_t> shape) {
  py::capsule owner(block, [](void* pointer) { memory_hooks.release(pointer); });
  return py::array_t<T>(shape, block, owner);
}

std::pair<int, int> pair_of(const py::handle& object, const char* what) {
  const auto values = object.cast<std::pair<int, int>>();
  for (const int value : {values.first, values.second}) {
    if (value < std::numeric_limits<std::int16_t>::min() ||
        value > std::numeric_limits<std::int16_t>::max()) {
      throw py::value_error(std::string(what) + " values must fit 16 bits");
    }
  }
  return values;
}

// --- The data file object ------------------------------------------------------

struct DataFile {
  int header_format = 0;
  int header_size = 0;
  SoftwareInfo software{};
  DataFileHeader header{};
  py::object phase = py::none();
  py::object intensity = py::none();
  std::pair<int, int> phase_origin{0, 0};
  std::pair<int, int> intensity_origin{0, 0};
  int intensity_range = 0;
};

// Releases whatever blocks the contents still own on every path.
struct ContentsGuard {
  DataFileContents contents;
  ContentsGuard() { data_file_contents_clear(&contents); }
  ~ContentsGuard() { data_file_contents_release(&contents); }
  ContentsGuard(const ContentsGuard&) = delete;
  ContentsGuard& operator=(const ContentsGuard&) = delete;
};

DataFile read_data(const PathArgument& path_object) {
  const std::string path = path_bytes(path_object);
  ContentsGuard guard;
  DataFileContents& contents = guard.contents;
  ErrorCode code;
  Failure failure;
  SignalWatch signals;
  {
    const WithoutGil unlocked;
    code = read_data_file_watched(path.c_str(), &contents, signals.check());
    failure.reason = errno;
  }
  signals.raise_pending();
  if (code != NO_ERROR) raise_error(code, path, failure);
  DataFile file;
  file.header_format = contents.header_format;
  file.header_size = contents.header_size;
  file.software = contents.software;
  file.header = contents.header;
  file.phase_origin = {contents.phase.origin_x, contents.phase.origin_y};
  file.intensity_origin = {contents.intensity.origin_x, contents.intensity.origin_y};
  file.intensity_range = contents.intensity.range;
  if (contents.phase.data != nullptr) {
    file.phase = adopt_block(contents.phase.data, {contents.phase.height, contents.phase.width});
    contents.phase.data = nullptr;  // the array owns it now
  }
  if (contents.intensity.data != nullptr) {
    file.intensity =
        adopt_block(contents.intensity.data,
                    {contents.intensity.buckets, contents.intensity.height, contents.intensity.width});
    contents.intensity.data = nullptr;
  }
  return file;
}

OptionalArray heights_of(const DataFile& file) {
  if (file.phase.is_none()) return OptionalArray(py::none());
  const auto phase = py::reinterpret_borrow<py::array_t<std::int32_t>>(file.phase);
  py::array_t<double> heights({phase.shape(0), phase.shape(1)});
  // Counts without a height scale would come out as NaN or zero everywhere.
  char no_scale[80];
  if (describe_height_scale_fault(&file.header, no_scale, sizeof no_scale) != HEIGHT_SCALE_USABLE)
    throw py::value_error(no_scale);
  const auto total = static_cast<std::size_t>(phase.size());
  const double metres_per_count = metres_per_phase_count(&file.header);
  const std::span counts(phase.data(), total);
  const std::span out(heights.mutable_data(), total);
  {
    const WithoutGil unlocked;
    convert_phase_counts(counts, metres_per_count, out);
  }
  return OptionalArray(heights);
}

// Lost heights are not silent, as they are not in mapconv: a warning of the
// module's own class, with the count.
void warn_unrepresentable(std::size_t count) {
  if (count == 0) return;
  const std::string message =
      std::to_string(count) + " heights could not be represented as phase counts and were written as no data";
  const py::object warning = py::handle(warning_type)(message);
  warning.attr("count") = count;
  // Level 2: the caller of the package's function, not the function itself.
  py::module_::import("warnings").attr("warn")(warning, py::arg("stacklevel") = 2);
}

// --- XDT and conversion ----------------------------------------------------------

XdtGrid read_xdt(const PathArgument& path_object) {
  const std::string path = path_bytes(path_object);
  std::int32_t columns = 0;
  std::int32_t rows = 0;
  float* block = nullptr;
  float resolution = 0.0f;
  ErrorCode code = NO_ERROR;
  Failure failure;
  bool data_file = false;
  SignalWatch signals;
  {
    const WithoutGil unlocked;
    // Read as a grid, a data file would only be cut short, far into a grid
    // its magic number makes up; its kind is the library's to tell. A file
    // that cannot be looked at is left to the reader, which says why.
    FileKindInfo kind{};
    file_kind_of_path(path.c_str(), &kind);
    data_file = kind.kind == FILE_KIND_DATA_FILE;
    if (!data_file) {
      Capture capture;
      code = read_xdt_file_watched(path.c_str(), &columns, &rows, &block, &resolution, false,
                                   std::numeric_limits<float>::quiet_NaN(), signals.check());
      failure.reason = errno;
      failure.diagnostics = capture.text();
    }
  }
  signals.raise_pending();
  if (data_file) {
    failure.diagnostics = "this is a data file, not an XDT grid";
    raise_error(ERR_INVALID_PARAM, path, failure);
  }
  if (code != NO_ERROR) raise_error(code, path, failure);
  py::array_t<float> array = adopt_block(block, {rows, columns});
  return XdtGrid(py::handle(xdt_grid_type)(array, static_cast<double>(resolution)));
}

// Fills out with heights [start, start + count) of the map, in row order;
// false when it failed (the caller keeps the reason).
using HeightSource = std::function<bool(std::size_t start, std::size_t count, float* out)>;

// Streams the heights through the conversion into the file, as mapconv
// does; NaN becomes -1.0 (no data) in the staging piece, never in the
// caller's array. Runs without the GIL. Stops between pieces when a signal
// handler raised (ERR_INTERRUPTED, nothing written) unless the old file is
// being written over: that is finished, and the handler runs after it.
ErrorCode stream_heights(const char* path, unsigned flags, const HeightSource& heights, std::int32_t rows,
                         std::int32_t columns, float resolution, SignalWatch* signals,
                         std::size_t* unrepresentable, bool* name_taken) {
  const std::size_t total = static_cast<std::size_t>(rows) * static_cast<std::size_t>(columns);
  const std::size_t piece = std::min(total, CONVERSION_PIECE_POINTS);
  const HookedBlock<float[]> staging = hooked_allocate<float>(piece);
  if (staging == nullptr) return ERR_NO_MEM;
  ConversionSession session;
  ErrorCode code = conversion_session_open(path, flags, columns, rows, resolution, &session);
  for (std::size_t start = 0; code == NO_ERROR && start < total; start += piece) {
    const std::size_t count = std::min(piece, total - start);
    if (!session.in_place && signals->stop(false)) {
      code = ERR_INTERRUPTED;
      break;
    }
    if (!heights(start, count, staging.get())) {
      code = ERR_INVALID_PARAM;
      break;
    }
    for (std::size_t i = 0; i < count; ++i) {
      if (std::isnan(staging[i])) staging[i] = -1.0f;
    }
    code = conversion_session_write(&session, staging.get(), count);
  }
  *unrepresentable = session.unrepresentable;
  if (code == NO_ERROR) code = conversion_session_commit(&session);
  conversion_session_discard(&session);
  *name_taken = session.name_taken;
  return code;
}

std::size_t save_heights(const PathArgument& path_object, const ArrayLike& heights_object, double resolution,
                         bool force) {
  const py::array heights = as_array(heights_object, "heights", "biuf", "a real dtype", 2);
  // The resolution the XDT reader would give for the grid, or none at all.
  if (!fits_header_float(resolution)) {
    throw py::value_error("lateral_resolution must be a finite float32 value, not " +
                          std::string(py::repr(py::float_(resolution))));
  }
  const std::string path = path_bytes(path_object);
  const auto rows = static_cast<std::int32_t>(heights.shape(0));
  const auto columns = static_cast<std::int32_t>(heights.shape(1));
  // A float32 block is read in place; anything else is converted a piece at
  // a time, so the map is never copied whole.
  HeightSource source;
  std::exception_ptr conversion_error;
  if (usable_in_place(heights, py::dtype::of<float>())) {
    const auto* data = static_cast<const float*>(heights.data());
    source = [data](std::size_t start, std::size_t count, float* out) {
      std::memcpy(out, data + start, count * sizeof *out);
      return true;
    };
  } else {
    source = [&](std::size_t start, std::size_t count, float* out) {
      const WithGil locked;
      try {
        copy_heights(heights, start, count, out);
        return true;
      } catch (...) {
        conversion_error = std::current_exception();
        return false;
      }
    };
  }
  std::size_t unrepresentable = 0;
  bool name_taken = false;
  Failure failure;
  ErrorCode code;
  SignalWatch signals;
  {
    const WithoutGil unlocked;
    code = stream_heights(path.c_str(), force ? OUTPUT_REPLACE : 0u, source, rows, columns,
                          static_cast<float>(resolution), &signals, &unrepresentable, &name_taken);
    failure.reason = errno;
  }
  signals.raise_pending();
  if (conversion_error) std::rethrow_exception(conversion_error);
  failure.name_taken = name_taken;
  if (code != NO_ERROR) raise_error(code, path, failure);
  warn_unrepresentable(unrepresentable);
  return unrepresentable;
}

// The conversion mapconv makes, from file to file without the GIL: the same
// bytes at the same speed, in a few MiB.
std::size_t convert(const py::object& input_object, const py::object& output_object, bool force) {
  const std::string input = path_bytes(input_object);
  const std::string output = path_bytes(output_object);
  SignalWatch signals;
  const ConversionOptions options{force ? OUTPUT_REPLACE : 0u, 0, signals.check()};
  ConversionResult result{};
  ErrorCode code;
  Failure failure;
  {
    const WithoutGil unlocked;
    Capture capture;
    code = convert_xdt_file(input.c_str(), output.c_str(), &options, &result);
    failure.reason = errno;
    failure.diagnostics = capture.text();
  }
  signals.raise_pending();
  if (code != NO_ERROR) {
    const bool reading = result.read_failure != NO_ERROR;
    failure.name_taken = !reading && result.name_taken;
    failure.same_file = !reading && result.same_file;
    raise_error(code, reading ? input : output, failure);
  }
  warn_unrepresentable(result.unrepresentable);
  return result.unrepresentable;
}

// The areal height parameters of any 2-D array of heights (cast to float64;
// NaN and infinities are points without data).
py::dict height_parameters(const ArrayLike& heights_object, double lateral_resolution,
                           const std::string& level) {
  HeightLevel form;
  if (level == "plane") {
    form = HEIGHT_LEVEL_PLANE;
  } else if (level == "mean") {
    form = HEIGHT_LEVEL_MEAN;
  } else {
    throw py::value_error("level must be 'plane' or 'mean', not '" + level + "'");
  }
  const auto heights = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(heights_object);
  if (!heights) throw py::type_error("heights must be convertible to a float64 array");
  if (heights.ndim() != 2 || heights.shape(0) < 1 || heights.shape(1) < 1 ||
      heights.shape(0) > std::numeric_limits<std::int32_t>::max() ||
      heights.shape(1) > std::numeric_limits<std::int32_t>::max())
    throw py::value_error("heights must be a non-empty 2-D array (rows, columns)");
  HeightParameters p{};
  ErrorCode code;
  {
    const WithoutGil unlocked;
    code =
        compute_height_parameters(heights.data(), static_cast<std::int32_t>(heights.shape(1)),
                                  static_cast<std::int32_t>(heights.shape(0)), lateral_resolution, form, &p);
  }
  if (code != NO_ERROR) raise_error(code, "height_parameters");
  py::dict result;
  result["level"] = level;
  result["points"] = p.points;
  result["mean"] = p.mean;
  result["slope_x"] = p.slope_x;
  result["slope_y"] = p.slope_y;
  result["Sa"] = p.sa;
  result["Sq"] = p.sq;
  result["Ssk"] = p.ssk;
  result["Sku"] = p.sku;
  result["Sp"] = p.sp;
  result["Sv"] = p.sv;
  result["Sz"] = p.sz;
  return result;
}

void write_data(const PathArgument& path_object, const OptionalArrayLike& phase_object,
                const OptionalArrayLike& intensity_object, const HeaderArgument& header_object,
                const SoftwareArgument& software_object, bool force, const Origin& phase_origin_object,
                const Origin& intensity_origin_object, int intensity_range) {
  if (phase_object.is_none() && intensity_object.is_none()) {
    throw py::value_error("nothing to write: give phase, intensity or both");
  }
  if (intensity_range < 0 || intensity_range > 65535)
    throw py::value_error("intensity_range must be 0 to 65535");
  // Without a header, the interferometer settings mapconv writes, so that
  // heights() of the file read back are right.
  DataFileHeader header{};
  if (header_object.is_none()) {
    set_conversion_settings(&header);
  } else {
    header_from_dict(header_object, &header);
  }
  SoftwareInfo software{};
  const bool has_software = !software_object.is_none();
  if (has_software) software = software_from_bytes(software_object);

  PhaseMap phase;
  phase_map_clear(&phase);
  py::array phase_array;
  if (!phase_object.is_none()) {
    phase_array = integer_array<std::int32_t>(phase_object, "phase", "int32", 2);
    const auto origin = pair_of(phase_origin_object, "phase_origin");
    phase.origin_x = static_cast<std::int16_t>(origin.first);
    phase.origin_y = static_cast<std::int16_t>(origin.second);
    phase.height = static_cast<std::int16_t>(phase_array.shape(0));
    phase.width = static_cast<std::int16_t>(phase_array.shape(1));
    phase.capacity = static_cast<std::uint32_t>(phase_array.size());
    // The writer only reads the block.
    phase.data = static_cast<std::int32_t*>(const_cast<void*>(phase_array.data()));
  }
  IntensityMap intensity{};
  py::array intensity_array;
  if (!intensity_object.is_none()) {
    intensity_array = integer_array<std::uint16_t>(intensity_object, "intensity", "uint16", 3);
    if (static_cast<std::uint64_t>(intensity_array.size()) > std::numeric_limits<std::uint32_t>::max()) {
      throw py::value_error("intensity holds more values than a data file can");
    }
    const auto origin = pair_of(intensity_origin_object, "intensity_origin");
    intensity.origin_x = static_cast<std::int16_t>(origin.first);
    intensity.origin_y = static_cast<std::int16_t>(origin.second);
    intensity.buckets = static_cast<std::int16_t>(intensity_array.shape(0));
    intensity.height = static_cast<std::int16_t>(intensity_array.shape(1));
    intensity.width = static_cast<std::int16_t>(intensity_array.shape(2));
    intensity.range = static_cast<std::uint16_t>(intensity_range);
    intensity.capacity = static_cast<std::uint32_t>(intensity_array.size());
    intensity.data = static_cast<std::uint16_t*>(const_cast<void*>(intensity_array.data()));
  }
  const std::string path = path_bytes(path_object);
  ErrorCode code;
  bool name_taken = false;
  Failure failure;
  {
    const WithoutGil unlocked;
    code =
        write_data_file_atomic(path.c_str(), force ? OUTPUT_REPLACE : 0u, has_software ? &software : nullptr,
                               &header, intensity.data != nullptr ? &intensity : nullptr,
                               phase.data != nullptr ? &phase : nullptr, &name_taken);
    failure.reason = errno;
  }
  failure.name_taken = name_taken;
  if (code != NO_ERROR) raise_error(code, path, failure);
}

}  // namespace

// The module's ways of reporting and of leaving the GIL, for the bindings
// kept in files of their own (module_support.h).
namespace module_support {

[[noreturn]] void raise(ErrorCode code, const std::string& path, int reason, const std::string& diagnostics,
                        bool name_taken) {
  raise_error(code, path, Failure{reason, diagnostics, name_taken, false});
}
std::string path_of(const py::handle& path) { return path_bytes(path); }
std::string* capture_into(std::string* target) {
  std::string* previous = capture_target;
  capture_target = target;
  return previous;
}
void* release_gil() { return PyEval_SaveThread(); }
void take_gil_back(void* state) { take_gil(static_cast<PyThreadState*>(state)); }
void run_watched(const std::function<void(const InterruptCheck*)>& work) {
  SignalWatch signals;
  {
    const WithoutGil unlocked;
    work(signals.check());
  }
  signals.raise_pending();
}

}  // namespace module_support

#ifdef MAPCONV_PYTHON_X3P
void bind_x3p(py::module_& module);
#endif
#ifdef MAPCONV_PYTHON_PICTURE
void bind_picture(py::module_& module);
#endif

PYBIND11_MODULE(_mapconv, module) {
  // The library is linked in statically: these hooks are the module's own.
  // Its diagnostics go into the exceptions, never onto standard error.
  u_print = capture_print;
  main_thread_ident =
      py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
  py::module_::import("atexit").attr("register")(py::cpp_function(&stop_returning));
  // A child forked while threads waited for the GIL has none of them.
  pthread_atfork(nullptr, nullptr, [] { returning.store(0); });

  module.doc() =
      "Surface-measurement data files (binary data files and XDT grids) as NumPy arrays, "
      "and the height-to-phase conversion mapconv makes.";
  module.attr("__version__") = MAPCONV_VERSION;
  module.attr("PHASE_INVALID") = PHASE_INVALID;
  module.attr("CONVERSION_WAVELENGTH") = static_cast<double>(CONVERSION_WAVELENGTH);
  module.attr("CONVERSION_SCALE_FACTOR") = static_cast<double>(CONVERSION_SCALE_FACTOR);

  // The classes are the package's own Python ones (mapconv._types); the
  // extension keeps a reference to each for its lifetime.
  const py::module_ types = py::module_::import("mapconv._types");
  const auto keep = [&types](const char* name) { return py::object(types.attr(name)).release().ptr(); };
  error_type = keep("Error");
  warning_type = keep("UnrepresentableHeightsWarning");
  same_file_type = keep("SameFile");
  xdt_grid_type = keep("XdtGrid");
  header_type = keep("Header");
  os_error_kinds = {{ENOENT, keep("FileNotFound")},    {EACCES, keep("PermissionDenied")},
                    {EPERM, keep("PermissionDenied")}, {EEXIST, keep("FileExists")},
                    {EISDIR, keep("IsADirectory")},    {ENOTDIR, keep("NotADirectory")}};

  py::dict codes;
  for (ErrorCode code = 1; code <= ERROR_CODE_MAX; ++code) codes[error_names[code]] = code;
  module.attr("error_codes") = codes;
  for (const char* name :
       {"ERR_INVALID_PARAM", "ERR_PARAM_OUT_OF_RANGE", "ERR_CANT_OPEN_FILE", "ERR_CANT_CREATE_FILE",
        "ERR_CANT_WRITE_FILE", "ERR_PREMATURE_EOF", "ERR_NOT_A_DATA_FILE", "ERR_NO_MEM"}) {
    module.attr(name) = codes[name];
  }

  py::list names;
  for (const Field& field : fields) names.append(field.name);
  names.append(reserved_name);
  module.attr("HEADER_FIELDS") = py::tuple(names);

  py::class_<DataFile>(module, "DataFile",
                       "The contents of a binary data file, as read_data_file returns them. The arrays "
                       "use the blocks the reader filled: nothing is copied.")
      .def_readonly("header_format", &DataFile::header_format, "1, 2 or 3.")
      .def_readonly("header_size", &DataFile::header_size, "834 or 4096 bytes.")
      .def_property_readonly(
          "software_info", [](const DataFile& f) { return software_bytes(f.software); },
          "The 38 bytes at file offset 10, as they are in the file.")
      .def_property_readonly(
          "header", [](const DataFile& f) { return header_object(f.header); },
          "The header from file offset 76 on (see HEADER_FIELDS): the fields the system interprets by "
          "name (wavelength, scale_factor, ...), and 'reserved', the bytes of every other field in "
          "file order as they are in the file. write_data_file takes this dict back.")
      .def_property_readonly(
          "wavelength", [](const DataFile& f) { return static_cast<double>(f.header.wavelength); }, "Metres.")
      .def_property_readonly(
          "scale_factor", [](const DataFile& f) { return static_cast<double>(f.header.scale_factor); },
          "Times the wavelength: the height of 32768 phase counts.")
      .def_property_readonly("obliquity",
                             [](const DataFile& f) { return static_cast<double>(f.header.obliquity); })
      .def_property_readonly(
          "lateral_resolution",
          [](const DataFile& f) { return static_cast<double>(f.header.lateral_resolution); },
          "Distance between adjacent points.")
      .def_property_readonly("phase_resolution", [](const DataFile& f) { return f.header.phase_resolution; })
      .def_property_readonly("frame_width", [](const DataFile& f) { return f.header.frame_width; })
      .def_property_readonly("frame_height", [](const DataFile& f) { return f.header.frame_height; })
      .def_readonly("phase_origin", &DataFile::phase_origin, "(x, y) of the phase block; (0, 0) without one.")
      .def_readonly("intensity_origin", &DataFile::intensity_origin,
                    "(x, y) of the intensity block; (0, 0) without one.")
      .def_readonly("intensity_range", &DataFile::intensity_range, "The header's intensity range.")
      .def_readonly("phase", &DataFile::phase,
                    "int32 array (rows, columns) of phase counts, PHASE_INVALID without data; None "
                    "when the file has no phase block.")
      .def_readonly("intensity", &DataFile::intensity,
                    "uint16 array (buckets, rows, columns); None when the file has no intensity block.")
      .def("heights", &heights_of,
           "Heights in metres as a new float64 array (rows, columns), NaN where the phase is "
           "PHASE_INVALID: count * scale_factor * wavelength / 32768 with the file's own settings. "
           "None without a phase block; ValueError naming the field when the wavelength or scale factor "
           "gives no height scale (zero, infinite or NaN).")
      .def("__repr__", [](const DataFile& f) {
        std::string text = "<mapconv.DataFile format " + std::to_string(f.header_format);
        if (!f.phase.is_none()) {
          const auto phase = py::reinterpret_borrow<py::array>(f.phase);
          text += ", phase " + std::to_string(phase.shape(1)) + "x" + std::to_string(phase.shape(0));
        }
        if (!f.intensity.is_none()) {
          const auto intensity = py::reinterpret_borrow<py::array>(f.intensity);
          text += ", intensity " + std::to_string(intensity.shape(0)) + " buckets";
        }
        return text + ">";
      });

  // The functions are bound under private names: the package's functions of
  // the same names call them, and take their descriptions from them.
  module.def("_read_data_file", &read_data, py::arg("path"),
             "Reads a binary data file (str, bytes or os.PathLike path) into a DataFile. Raises "
             "mapconv.Error: ERR_CANT_OPEN_FILE, ERR_PREMATURE_EOF (cut short), ERR_NOT_A_DATA_FILE "
             "(wrong magic number, inconsistent header, trailing bytes) or ERR_NO_MEM.");
  module.def("_read_xdt", &read_xdt, py::arg("path"),
             "Reads an XDT grid. Returns an XdtGrid (heights, lateral_resolution): heights a float32 "
             "array (rows, columns) in metres, NaN for points without data, over the reader's own block. "
             "Raises mapconv.Error: ERR_CANT_OPEN_FILE, ERR_PREMATURE_EOF, ERR_PARAM_OUT_OF_RANGE "
             "(grid size, or no lateral resolution), ERR_INVALID_PARAM (a data file, not a grid) or "
             "ERR_NO_MEM, with the reader's diagnostic in the message; nothing is printed.");
  module.def("_save_heights", &save_heights, py::arg("path"), py::arg("heights"),
             py::arg("lateral_resolution"), py::arg("force") = false,
             "Writes heights (metres; an array-like (rows, columns) of any real dtype, taken as "
             "numpy.asarray(heights, numpy.float32) would: a C-contiguous float32 array in place, "
             "anything else converted a piece at a time) as a data file exactly as mapconv converts "
             "them, streamed in pieces and put in place only when complete. NaN and values <= -1.0 are "
             "points without data. lateral_resolution is stored as float32. An existing file is "
             "replaced only with force. Returns the number of heights whose phase count cannot be "
             "stored (written as no data), and warns with UnrepresentableHeightsWarning when it is not "
             "0 (the file is then written). TypeError for complex, object or string dtypes, ValueError "
             "for another shape; mapconv.Error on failure. Ctrl-C (any exception a signal handler "
             "raises) stops it at once with nothing written, unless the old file is being written over "
             "in place: that is finished, then the exception is raised.");
  module.def("_convert", &convert, py::arg("xdt_path"), py::arg("data_path"), py::arg("force") = false,
             "Converts an XDT grid file into a data file exactly as the mapconv program does (same "
             "bytes, same speed, a few MiB of memory, without holding the GIL). An existing file is "
             "replaced only with force. Returns the number of heights whose phase count cannot be "
             "stored (written as no data), after an UnrepresentableHeightsWarning when there are any. "
             "Raises mapconv.Error (FileNotFound, PermissionDenied, FileExists, ... where the system "
             "gave a reason; the reader's diagnostic in the message for a bad grid), SameFile when "
             "the output is the input file. Ctrl-C stops it as it stops save_heights.");
  module.def("_height_parameters", &height_parameters, py::arg("heights"), py::arg("lateral_resolution"),
             py::arg("level") = "plane",
             "The areal height parameters of a 2-D array of heights (rows, columns; any real dtype, "
             "NaN for no data) after removing the least-squares plane ('plane') or the mean ('mean'). "
             "Returns a dict: level, points, mean, slope_x and slope_y (height units per unit of "
             "lateral_resolution; 0 for 'mean'), Sa, Sq, Ssk, Sku, Sp, Sv, Sz in the heights' unit; "
             "NaN where undefined (Ssk and Sku of a flat map, everything without points).");
  module.def("_write_data_file", &write_data, py::arg("path"), py::arg("phase") = py::none(),
             py::arg("intensity") = py::none(), py::arg("header") = py::none(),
             py::arg("software_info") = py::none(), py::arg("force") = false, py::kw_only(),
             py::arg("phase_origin") = py::make_tuple(0, 0),
             py::arg("intensity_origin") = py::make_tuple(0, 0), py::arg("intensity_range") = 0,
             "Writes a data file atomically: phase an integer array-like (rows, columns) whose values "
             "fit int32, intensity one (buckets, rows, columns) whose values fit uint16; at least one "
             "is needed. C-contiguous int32 and uint16 arrays are used in place, others converted. "
             "header is a dict of header fields (DataFile.header's names; missing ones are zero; the "
             "format follows from it); without one, the file gets mapconv's wavelength, scale factor, "
             "obliquity and phase resolution. software_info is the 38 bytes at file offset 10. "
             "An existing file is replaced only with force. TypeError / ValueError (naming a value "
             "that does not fit) for bad arguments, "
             "mapconv.Error on failure (ERR_CANT_CREATE_FILE when the file exists without force).");
#ifdef MAPCONV_PYTHON_X3P
  bind_x3p(module);
#endif
#ifdef MAPCONV_PYTHON_PICTURE
  bind_picture(module);
#endif
}
