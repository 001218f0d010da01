// X3P reader: libarchive finds and reads the parts of the ZIP container
// (each part through its own handle over one descriptor, so data.bin and
// valid.bin are read side by side), libxml2's streaming reader parses
// main.xml, OpenSSL sums every part as it passes.
#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <libxml/xmlreader.h>
#include <mapconv/terminal_text.h>
#include <mapconv/memory_hooks.h>
#include <mapconv/path.h>
#include <mapconv/print.h>
#include <mapconv/x3p.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#include "x3p_parts.h"

namespace {

using x3p::Md5;
using x3p::SumThread;

constexpr std::size_t SOURCE_BUFFER_BYTES = 256 * 1024;
constexpr std::size_t FIELD_SIZE = X3P_TEXT_SIZE;
constexpr std::size_t PATH_SIZE = 256;
constexpr std::size_t MAX_DEPTH = 16;
constexpr std::size_t CHECKSUM_FILE_LIMIT = 4096;

// One view of the container: its own offset into the shared descriptor.
struct Source {
  int fd = -1;
  std::int64_t offset = 0;
  std::int64_t size = 0;
  unsigned char* buffer = nullptr;
  int error = 0;  // errno of a failed read
};

la_ssize_t source_read(archive*, void* context, const void** buffer) {
  auto* source = static_cast<Source*>(context);
  *buffer = source->buffer;
  for (;;) {
    const ssize_t got = pread(source->fd, source->buffer, SOURCE_BUFFER_BYTES, source->offset);
    if (got >= 0) {
      source->offset += got;
      return got;
    }
    if (errno != EINTR) {
      source->error = errno;
      return -1;
    }
  }
}

la_int64_t source_seek(archive*, void* context, la_int64_t offset, int whence) {
  auto* source = static_cast<Source*>(context);
  std::int64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? source->offset : source->size;
  if ((offset > 0 && base > std::numeric_limits<std::int64_t>::max() - offset) || base + offset < 0) {
    return ARCHIVE_FATAL;
  }
  source->offset = base + offset;
  return source->offset;
}

// A part of the container open for reading.
struct Part {
  archive* handle = nullptr;
  Source source;
  std::uint64_t size = 0;  // the entry's length, from the container's directory
  bool size_known = false;
  std::uint64_t consumed = 0;

  void close() {
    if (handle != nullptr) archive_read_free(handle);
    handle = nullptr;
    if (source.buffer != nullptr) memory_hooks.release(source.buffer);
    source.buffer = nullptr;
  }
};

// The texts of main.xml the reader uses, by their path below the root.
struct Fields {
  char revision[FIELD_SIZE];
  char feature_type[FIELD_SIZE];
  char axis_type[3][FIELD_SIZE];
  char data_type[3][FIELD_SIZE];
  char increment[3][FIELD_SIZE];
  char offset[3][FIELD_SIZE];
  char size[3][FIELD_SIZE];
  char list_dimension[FIELD_SIZE];
  char point_data_link[FIELD_SIZE];
  char point_data_md5[FIELD_SIZE];
  char valid_points_link[FIELD_SIZE];
  char valid_points_md5[FIELD_SIZE];
  char checksum_file[FIELD_SIZE];
  char datum[FIELD_SIZE];
  bool seen_record1, seen_record3, seen_record4, seen_data_link, seen_data_list;
  bool seen_axis[3];
  bool seen_increment[3], seen_offset[3];
  bool too_long;  // a numeric or link text longer than FIELD_SIZE
};

}  // namespace

struct X3pReaderState {
  char name[512];  // the path as given, cut to fit, for messages
  int fd;
  std::int64_t file_size;
  Part xml;  // main.xml: kept open while an inline DataList is read
  Part data;
  Part valid;
  xmlTextReaderPtr parser;
  Md5* xml_sum;
  SumThread* data_sum;
  Md5* valid_sum;
  Fields fields;
  char path_text[PATH_SIZE];
  std::size_t path_length[MAX_DEPTH];
  int depth;  // of the element whose path is in path_text
  bool in_datum;
  bool datum_has_text;
  bool xml_done;  // the parser met the end of main.xml
  char parse_error[256];
  unsigned char* staging;  // two halves of PIECE_POINTS values of up to 8 bytes, used in turn
  unsigned pieces_read;
  unsigned char* valid_bytes;
  std::size_t valid_buffered;
  std::size_t valid_next;
  std::uint64_t handed_out;
  ErrorCode failure;
  unsigned char valid_byte;  // the validity bits of the current group of eight points
  bool quiet;                // looks_like_x3p: no messages
  char checksum_text[CHECKSUM_FILE_LIMIT + 1];
};

namespace {

void say(const X3pReaderState* state, const char* reason) {
  if (!state->quiet) u_print("%s: %s\n", state->name, reason);
}

template <typename... Args>
void sayf(const X3pReaderState* state, const char* format, Args... args) {
  char text[768];
  std::snprintf(text, sizeof text, format, args...);
  say(state, text);
}

ErrorCode archive_failure(X3pReaderState* state, archive* handle, const Source& source, const char* what) {
  if (source.error != 0) {
    errno = source.error;
    sayf(state, "cannot read %s: %s", what, std::strerror(source.error));
    return ERR_CANT_READ_FILE;
  }
  const char* reason = handle != nullptr ? archive_error_string(handle) : nullptr;
  sayf(state, "the ZIP container is damaged or cut short (%s: %s)", what,
       reason != nullptr ? reason : "unreadable");
  return ERR_CORRUPT_DATA_FILE;
}

// Opens a fresh view of the container positioned at the part called name.
// *found false (and 0) when the container has no such part.
ErrorCode open_part(X3pReaderState* state, const char* name, Part* part, bool* found) {
  *found = false;
  part->source.fd = state->fd;
  part->source.size = state->file_size;
  part->source.buffer = static_cast<unsigned char*>(memory_hooks.allocate(SOURCE_BUFFER_BYTES));
  if (part->source.buffer == nullptr) return ERR_NO_MEM;
  part->handle = archive_read_new();
  if (part->handle == nullptr) return ERR_NO_MEM;
  archive* handle = part->handle;
  if (archive_read_support_format_zip_seekable(handle) != ARCHIVE_OK ||
      archive_read_set_read_callback(handle, source_read) != ARCHIVE_OK ||
      archive_read_set_seek_callback(handle, source_seek) != ARCHIVE_OK ||
      archive_read_set_callback_data(handle, &part->source) != ARCHIVE_OK) {
    return ERR_NO_MEM;
  }
  if (archive_read_open1(handle) != ARCHIVE_OK) {
    if (part->source.error != 0) return archive_failure(state, handle, part->source, "the container");
    say(state, "not an X3P file: no ZIP container could be read");
    return ERR_NOT_A_DATA_FILE;
  }
  for (;;) {
    archive_entry* entry = nullptr;
    const int status = archive_read_next_header(handle, &entry);
    if (status == ARCHIVE_EOF) return NO_ERROR;
    if (status < ARCHIVE_WARN)
      return archive_failure(state, handle, part->source, "the container's directory");
    const char* entry_name = archive_entry_pathname(entry);
    if (entry_name != nullptr && std::strcmp(entry_name, name) == 0) {
      part->size_known = archive_entry_size_is_set(entry) != 0 && archive_entry_size(entry) >= 0;
      part->size = part->size_known ? static_cast<std::uint64_t>(archive_entry_size(entry)) : 0;
      *found = true;
      return NO_ERROR;
    }
  }
}

// Reads up to size bytes of an open part, fewer only at its end.
ErrorCode read_part(X3pReaderState* state, Part* part, const char* what, void* bytes, std::size_t size,
                    std::size_t* got) {
  *got = 0;
  auto* out = static_cast<unsigned char*>(bytes);
  while (*got < size) {
    const la_ssize_t n = archive_read_data(part->handle, out + *got, size - *got);
    if (n < 0) return archive_failure(state, part->handle, part->source, what);
    if (n == 0) break;
    *got += static_cast<std::size_t>(n);
  }
  part->consumed += *got;
  return NO_ERROR;
}

// --- main.xml ---------------------------------------------------------------

int xml_input(void* context, char* buffer, int length) {
  auto* state = static_cast<X3pReaderState*>(context);
  if (length <= 0) return 0;
  std::size_t got = 0;
  const ErrorCode code =
      read_part(state, &state->xml, "main.xml", buffer, static_cast<std::size_t>(length), &got);
  if (code != NO_ERROR) {
    state->failure = code;
    return -1;
  }
  state->xml_sum->add(buffer, got);
  return static_cast<int>(got);
}

void xml_error(void* context, xmlErrorPtr error) {
  auto* state = static_cast<X3pReaderState*>(context);
  if (state->parse_error[0] != '\0' || error == nullptr) return;
  std::snprintf(state->parse_error, sizeof state->parse_error, "line %d: %s", error->line,
                error->message != nullptr ? error->message : "malformed");
  const std::size_t length = std::strlen(state->parse_error);
  if (length > 0 && state->parse_error[length - 1] == '\n') state->parse_error[length - 1] = '\0';
}

void append(char* field, const char* text, bool* too_long) {
  const std::size_t have = std::strlen(field);
  const std::size_t add = std::strlen(text);
  if (have + add >= FIELD_SIZE) {
    if (too_long != nullptr) *too_long = true;
    std::memcpy(field + have, text, FIELD_SIZE - 1 - have);
    field[FIELD_SIZE - 1] = '\0';
    return;
  }
  std::memcpy(field + have, text, add + 1);
}

// Appends to a text of at most size bytes, cutting silently: Record2's
// texts are shown, never used.
void append_cut(char* field, std::size_t size, const char* text) {
  const std::size_t have = std::strlen(field);
  std::size_t add = std::strlen(text);
  if (have + add >= size) add = size - 1 - have;
  std::memcpy(field + have, text, add);
  field[have + add] = '\0';
}

// Where the text of the element at path goes: a field of main.xml the reader
// uses (counted too long when it overflows), or a Record2 text (cut).
struct Target {
  char* field;
  std::size_t size;
  bool cut;
};

Target target_for(X3pReaderState* state, std::string_view path) {
  Fields& f = state->fields;
  static constexpr std::string_view axes[3] = {"Record1/Axes/CX/", "Record1/Axes/CY/", "Record1/Axes/CZ/"};
  if (path == "Record1/Revision") return {f.revision, FIELD_SIZE, false};
  if (path == "Record1/FeatureType") return {f.feature_type, FIELD_SIZE, false};
  for (int axis = 0; axis < 3; ++axis) {
    if (!path.starts_with(axes[axis])) continue;
    const std::string_view leaf = path.substr(axes[axis].size());
    if (leaf == "AxisType") return {f.axis_type[axis], FIELD_SIZE, false};
    if (leaf == "DataType") return {f.data_type[axis], FIELD_SIZE, false};
    if (leaf == "Increment") return {f.increment[axis], FIELD_SIZE, false};
    if (leaf == "Offset") return {f.offset[axis], FIELD_SIZE, false};
    return {nullptr, 0, false};
  }
  if (path == "Record3/MatrixDimension/SizeX") return {f.size[0], FIELD_SIZE, false};
  if (path == "Record3/MatrixDimension/SizeY") return {f.size[1], FIELD_SIZE, false};
  if (path == "Record3/MatrixDimension/SizeZ") return {f.size[2], FIELD_SIZE, false};
  if (path == "Record3/ListDimension") return {f.list_dimension, FIELD_SIZE, false};
  if (path == "Record3/DataLink/PointDataLink") return {f.point_data_link, FIELD_SIZE, false};
  if (path == "Record3/DataLink/MD5ChecksumPointData") return {f.point_data_md5, FIELD_SIZE, false};
  if (path == "Record3/DataLink/ValidPointsLink") return {f.valid_points_link, FIELD_SIZE, false};
  if (path == "Record3/DataLink/MD5ChecksumValidPoints") return {f.valid_points_md5, FIELD_SIZE, false};
  if (path == "Record3/DataList/Datum") return {f.datum, FIELD_SIZE, false};
  if (path == "Record4/ChecksumFile") return {f.checksum_file, FIELD_SIZE, false};
  return {nullptr, 0, false};
}

Target record2_target(X3pMetadata* m, std::string_view path) {
  if (path == "Record2/Date") return {m->date, sizeof m->date, true};
  if (path == "Record2/Creator") return {m->creator, sizeof m->creator, true};
  if (path == "Record2/Instrument/Manufacturer") return {m->manufacturer, sizeof m->manufacturer, true};
  if (path == "Record2/Instrument/Model") return {m->model, sizeof m->model, true};
  if (path == "Record2/Instrument/Serial") return {m->serial, sizeof m->serial, true};
  if (path == "Record2/Instrument/Version") return {m->version, sizeof m->version, true};
  if (path == "Record2/CalibrationDate") return {m->calibration_date, sizeof m->calibration_date, true};
  if (path == "Record2/ProbingSystem/Type") return {m->probing_type, sizeof m->probing_type, true};
  if (path == "Record2/ProbingSystem/Identification") {
    return {m->probing_identification, sizeof m->probing_identification, true};
  }
  if (path == "Record2/Comment") return {m->comment, sizeof m->comment, true};
  return {nullptr, 0, false};
}

enum class Stop { end, data_list, datum };

// Parses main.xml onwards until its end, the start of an inline DataList
// or (within one) the end of the next Datum, as until says.
ErrorCode parse(X3pReader* reader, Stop until) {
  X3pReaderState* state = reader->state;
  Fields& f = state->fields;
  for (;;) {
    const int status = xmlTextReaderRead(state->parser);
    if (status == 0) {
      state->xml_done = true;
      return NO_ERROR;
    }
    if (status < 0) {
      if (state->failure != NO_ERROR) return state->failure;
      sayf(state, "main.xml is not well-formed XML (%s)",
           state->parse_error[0] != '\0' ? state->parse_error : "");
      return state->failure = ERR_NOT_A_DATA_FILE;
    }
    const int type = xmlTextReaderNodeType(state->parser);
    const int depth = xmlTextReaderDepth(state->parser);
    if (type == XML_READER_TYPE_ELEMENT) {
      const char* local = reinterpret_cast<const char*>(xmlTextReaderConstLocalName(state->parser));
      if (depth == 0) {
        const char* uri = reinterpret_cast<const char*>(xmlTextReaderConstNamespaceUri(state->parser));
        if (std::strcmp(local, "ISO5436_2") != 0 || uri == nullptr || x3p::NAMESPACE != uri) {
          sayf(state, "not an X3P file: main.xml's root element is %s, not ISO5436_2 of %s", local,
               x3p::NAMESPACE.data());
          return state->failure = ERR_NOT_A_DATA_FILE;
        }
        state->path_text[0] = '\0';
        state->path_length[0] = 0;
        state->depth = 0;
        continue;
      }
      if (static_cast<std::size_t>(depth) >= MAX_DEPTH) continue;
      std::size_t length = state->path_length[depth - 1];
      const std::size_t name_length = std::strlen(local);
      if (length + name_length + 2 < PATH_SIZE) {
        if (length > 0) state->path_text[length++] = '/';
        std::memcpy(state->path_text + length, local, name_length + 1);
        length += name_length;
      }
      state->path_length[depth] = length;
      state->depth = depth;
      const std::string_view path(state->path_text, length);
      if (path == "Record1") f.seen_record1 = true;
      if (path == "Record2") reader->surface.metadata.present = true;
      if (path == "Record3") f.seen_record3 = true;
      if (path == "Record4") f.seen_record4 = true;
      if (path == "Record3/DataLink") f.seen_data_link = true;
      if (path == "Record1/Axes/CX") f.seen_axis[0] = true;
      if (path == "Record1/Axes/CY") f.seen_axis[1] = true;
      if (path == "Record1/Axes/CZ") f.seen_axis[2] = true;
      for (int axis = 0; axis < 3; ++axis) {
        static constexpr const char* names[3] = {"Record1/Axes/CX/", "Record1/Axes/CY/", "Record1/Axes/CZ/"};
        if (path.starts_with(names[axis]) && path.substr(16) == "Increment") f.seen_increment[axis] = true;
        if (path.starts_with(names[axis]) && path.substr(16) == "Offset") f.seen_offset[axis] = true;
      }
      if (path == "Record3/DataList") {
        f.seen_data_list = true;
        if (until == Stop::data_list) return NO_ERROR;
      }
      if (path == "Record3/DataList/Datum") {
        f.datum[0] = '\0';
        if (xmlTextReaderIsEmptyElement(state->parser) == 1) {
          if (until == Stop::datum) return NO_ERROR;
        } else {
          state->in_datum = true;
        }
      }
      if (xmlTextReaderIsEmptyElement(state->parser) == 1 && depth > 0) state->depth = depth - 1;
    } else if (type == XML_READER_TYPE_END_ELEMENT) {
      if (state->in_datum && depth == 3) {
        state->in_datum = false;
        if (until == Stop::datum) {
          state->depth = depth - 1;
          return NO_ERROR;
        }
      }
      state->depth = depth > 0 ? depth - 1 : 0;
    } else if (type == XML_READER_TYPE_TEXT || type == XML_READER_TYPE_CDATA ||
               type == XML_READER_TYPE_SIGNIFICANT_WHITESPACE) {
      if (state->depth <= 0 || static_cast<std::size_t>(state->depth) >= MAX_DEPTH) continue;
      const std::string_view path(state->path_text, state->path_length[state->depth]);
      const char* text = reinterpret_cast<const char*>(xmlTextReaderConstValue(state->parser));
      if (text == nullptr) continue;
      Target target = target_for(state, path);
      if (target.field == nullptr) target = record2_target(&reader->surface.metadata, path);
      if (target.field == nullptr) continue;
      if (target.cut) {
        append_cut(target.field, target.size, text);
      } else {
        append(target.field, text, &f.too_long);
      }
    }
  }
}

// --- checks of main.xml -------------------------------------------------------

std::string_view trimmed(const char* text) {
  std::string_view view(text);
  while (!view.empty() && std::strchr(" \t\r\n", view.front()) != nullptr) view.remove_prefix(1);
  while (!view.empty() && std::strchr(" \t\r\n", view.back()) != nullptr) view.remove_suffix(1);
  return view;
}

bool parse_double(const char* text, double* value) {
  std::string_view view = trimmed(text);
  if (!view.empty() && view.front() == '+') view.remove_prefix(1);
  if (view.empty()) return false;
  const auto [end, error] = std::from_chars(view.data(), view.data() + view.size(), *value);
  return error == std::errc() && end == view.data() + view.size();
}

bool parse_count(const char* text, std::uint64_t* value) {
  const std::string_view view = trimmed(text);
  if (view.empty()) return false;
  const auto [end, error] = std::from_chars(view.data(), view.data() + view.size(), *value);
  return error == std::errc() && end == view.data() + view.size();
}

bool same_md5(std::string_view given, const char* computed) {
  if (given.size() != 32) return false;
  for (std::size_t i = 0; i < 32; ++i) {
    const char c = given[i];
    const char lower = (c >= 'A' && c <= 'F') ? static_cast<char>(c - 'A' + 'a') : c;
    if (lower != computed[i]) return false;
  }
  return true;
}

const char* axis_name(int axis) { return axis == 0 ? "CX" : axis == 1 ? "CY" : "CZ"; }

// Checks Record1 and Record3's dimensions and fills the surface.
ErrorCode check_description(X3pReader* reader) {
  X3pReaderState* state = reader->state;
  Fields& f = state->fields;
  X3pSurface& s = reader->surface;
  if (f.too_long) {
    say(state, "main.xml has a number, type or link text too long to be one");
    return ERR_NOT_A_DATA_FILE;
  }
  if (!f.seen_record1 || !f.seen_record3) {
    sayf(state, "not an X3P file: main.xml has no %s", !f.seen_record1 ? "Record1" : "Record3");
    return ERR_NOT_A_DATA_FILE;
  }
  std::snprintf(s.revision, sizeof s.revision, "%.*s", static_cast<int>(trimmed(f.revision).size()),
                trimmed(f.revision).data());
  const std::string_view feature = trimmed(f.feature_type);
  if (feature == "PRF") {
    say(state, "is a profile (FeatureType PRF): only surfaces (SUR) are read");
    return ERR_NOT_A_DATA_FILE;
  }
  if (feature == "PCL" || f.list_dimension[0] != '\0') {
    say(state,
        "is a point cloud (FeatureType PCL, or a ListDimension): only surfaces (SUR) on a grid are read");
    return ERR_NOT_A_DATA_FILE;
  }
  if (feature != "SUR") {
    sayf(state, "has FeatureType \"%.32s\": only surfaces (SUR) are read", f.feature_type);
    return ERR_NOT_A_DATA_FILE;
  }
  for (int axis = 0; axis < 3; ++axis) {
    if (!f.seen_axis[axis]) {
      sayf(state, "main.xml describes no %s axis", axis_name(axis));
      return ERR_NOT_A_DATA_FILE;
    }
  }
  for (int axis = 0; axis < 2; ++axis) {
    const std::string_view type = trimmed(f.axis_type[axis]);
    if (type == "A") {
      sayf(state,
           "its %s axis is absolute (AxisType A), a coordinate stored for each point: only "
           "incremental lateral axes (AxisType I) are read",
           axis_name(axis));
      return ERR_NOT_A_DATA_FILE;
    }
    if (type != "I") {
      sayf(state, "its %s axis has AxisType \"%.32s\", neither I nor A", axis_name(axis), f.axis_type[axis]);
      return ERR_NOT_A_DATA_FILE;
    }
  }
  double increments[3] = {1.0, 1.0, 1.0};
  double offsets[3] = {0.0, 0.0, 0.0};
  for (int axis = 0; axis < 3; ++axis) {
    if (f.seen_increment[axis] && !parse_double(f.increment[axis], &increments[axis])) {
      sayf(state, "its %s Increment \"%.64s\" is not a number", axis_name(axis), f.increment[axis]);
      return ERR_NOT_A_DATA_FILE;
    }
    if (f.seen_offset[axis] && !parse_double(f.offset[axis], &offsets[axis])) {
      sayf(state, "its %s Offset \"%.64s\" is not a number", axis_name(axis), f.offset[axis]);
      return ERR_NOT_A_DATA_FILE;
    }
    if (!std::isfinite(increments[axis]) || !std::isfinite(offsets[axis])) {
      sayf(state, "its %s Increment or Offset is not finite", axis_name(axis));
      return ERR_NOT_A_DATA_FILE;
    }
  }
  for (int axis = 0; axis < 2; ++axis) {
    if (!f.seen_increment[axis] || !(increments[axis] > 0.0)) {
      sayf(state, "its incremental %s axis has no Increment above 0", axis_name(axis));
      return ERR_NOT_A_DATA_FILE;
    }
  }
  const std::string_view type = trimmed(f.data_type[2]);
  if (type == "I") {
    s.data_type = X3P_INT16;
  } else if (type == "L") {
    s.data_type = X3P_INT32;
  } else if (type == "F") {
    s.data_type = X3P_FLOAT32;
  } else if (type == "D") {
    s.data_type = X3P_FLOAT64;
  } else {
    sayf(state, "its CZ axis has DataType \"%.32s\", not one of I, L, F, D", f.data_type[2]);
    return ERR_NOT_A_DATA_FILE;
  }
  s.x_increment = increments[0];
  s.y_increment = increments[1];
  s.x_offset = offsets[0];
  s.y_offset = offsets[1];
  const bool integer = s.data_type == X3P_INT16 || s.data_type == X3P_INT32;
  s.z_increment = integer ? increments[2] : 1.0;
  s.z_offset = integer ? offsets[2] : 0.0;
  std::uint64_t sizes[3] = {0, 0, 0};
  static constexpr const char* size_names[3] = {"SizeX", "SizeY", "SizeZ"};
  for (int axis = 0; axis < 3; ++axis) {
    if (!parse_count(f.size[axis], &sizes[axis])) {
      sayf(state, "its MatrixDimension has no %s count (\"%.32s\")", size_names[axis], f.size[axis]);
      return ERR_NOT_A_DATA_FILE;
    }
  }
  if (sizes[0] == 0 || sizes[1] == 0) {
    say(state, "its grid has no points (SizeX or SizeY is 0)");
    return ERR_NOT_A_DATA_FILE;
  }
  if (sizes[2] != 1) {
    sayf(state, "its grid has %llu layers (SizeZ): only one is read",
         static_cast<unsigned long long>(sizes[2]));
    return ERR_NOT_A_DATA_FILE;
  }
  // Far beyond any grid, and so far below any overflow of a byte count.
  constexpr std::uint64_t limit = std::uint64_t{1} << 26;
  if (sizes[0] > limit || sizes[1] > limit || sizes[0] * sizes[1] > (std::uint64_t{1} << 40)) {
    sayf(state, "its grid of %llu x %llu points is too large", static_cast<unsigned long long>(sizes[0]),
         static_cast<unsigned long long>(sizes[1]));
    return ERR_PARAM_OUT_OF_RANGE;
  }
  s.columns = sizes[0];
  s.rows = sizes[1];
  reader->points = sizes[0] * sizes[1];
  s.inline_data = f.seen_data_list;
  if (!f.seen_data_link && !f.seen_data_list) {
    say(state, "main.xml's Record3 has neither a DataLink nor a DataList");
    return ERR_NOT_A_DATA_FILE;
  }
  return NO_ERROR;
}

// Reads the checksum file Record4 names (md5checksum.hex when main.xml is
// not read to its end yet) and compares it with main.xml's sum.
ErrorCode check_xml_sum(X3pReaderState* state) {
  const std::string_view named = trimmed(state->fields.checksum_file);
  char name[FIELD_SIZE];
  std::snprintf(name, sizeof name, "%.*s", static_cast<int>(named.size()), named.data());
  if (name[0] == '\0') std::snprintf(name, sizeof name, "%s", x3p::CHECKSUM_FILE.data());
  Part part;
  bool found = false;
  ErrorCode code = open_part(state, name, &part, &found);
  std::size_t got = 0;
  if (code == NO_ERROR && found) {
    code = read_part(state, &part, name, state->checksum_text, CHECKSUM_FILE_LIMIT, &got);
  }
  part.close();
  if (code != NO_ERROR) return code;
  if (!found) {
    sayf(state, "the checksum file %s of main.xml is missing", name);
    return ERR_CORRUPT_DATA_FILE;
  }
  state->checksum_text[got] = '\0';
  const auto computed = state->xml_sum->hex();
  const std::string_view text = trimmed(state->checksum_text);
  if (text.size() < 32 || !same_md5(text.substr(0, 32), computed.data())) {
    sayf(state, "main.xml does not match its MD5 sum in %s (it sums to %s)", name, computed.data());
    return ERR_CORRUPT_DATA_FILE;
  }
  return NO_ERROR;
}

// Opens the data and valid-point parts and checks their sizes.
ErrorCode open_linked(X3pReader* reader) {
  X3pReaderState* state = reader->state;
  Fields& f = state->fields;
  const std::string_view link = trimmed(f.point_data_link);
  if (link.empty()) {
    say(state, "main.xml's DataLink names no PointDataLink");
    return ERR_NOT_A_DATA_FILE;
  }
  const std::uint64_t needed = reader->points * x3p::type_size(reader->surface.data_type);
  struct Linked {
    Part* part;
    std::string_view link;
    std::string_view md5;
    std::uint64_t bytes;
  };
  const std::string_view valid_link = trimmed(f.valid_points_link);
  reader->surface.has_valid_points = !valid_link.empty();
  const Linked parts[2] = {
      {&state->data, link, trimmed(f.point_data_md5), needed},
      {&state->valid, valid_link, trimmed(f.valid_points_md5), (reader->points + 7) / 8}};
  for (const Linked& linked : parts) {
    if (linked.link.empty()) continue;
    char name[FIELD_SIZE];
    std::snprintf(name, sizeof name, "%.*s", static_cast<int>(linked.link.size()), linked.link.data());
    if (linked.md5.size() != 32) {
      sayf(state, "main.xml gives no MD5 sum of 32 hex digits for %s", name);
      return ERR_NOT_A_DATA_FILE;
    }
    bool found = false;
    const ErrorCode code = open_part(state, name, linked.part, &found);
    if (code != NO_ERROR) return code;
    if (!found) {
      sayf(state, "%s, which main.xml links, is missing", name);
      return ERR_CORRUPT_DATA_FILE;
    }
    if (linked.part->size_known && linked.part->size != linked.bytes) {
      sayf(state, "%s holds %llu bytes where the grid of %llu x %llu %s needs %llu", name,
           static_cast<unsigned long long>(linked.part->size),
           static_cast<unsigned long long>(reader->surface.columns),
           static_cast<unsigned long long>(reader->surface.rows),
           &linked == &parts[0] ? x3p_data_type_name(reader->surface.data_type) : "validity bits",
           static_cast<unsigned long long>(linked.bytes));
      return ERR_CORRUPT_DATA_FILE;
    }
  }
  return NO_ERROR;
}

ErrorCode open_x3p(const char* path, X3pReader* reader) {
  X3pReaderState* state = reader->state;
  u_escape_text(u_path_is_wide(path) ? "(wide path)" : path, state->name, sizeof state->name);
  state->fd = u_open_path_descriptor(path, O_RDONLY | O_CLOEXEC);
  if (state->fd < 0) {
    const int reason = errno;
    sayf(state, "cannot open: %s", std::strerror(reason));
    errno = reason;
    return ERR_CANT_OPEN_FILE;
  }
  struct stat status;
  if (fstat(state->fd, &status) != 0) {
    const int reason = errno;
    sayf(state, "cannot open: %s", std::strerror(reason));
    errno = reason;
    return ERR_CANT_OPEN_FILE;
  }
  if (!S_ISREG(status.st_mode)) {
    const bool folder = S_ISDIR(status.st_mode);
    say(state, folder ? "cannot open: Is a directory"
                      : "is not a regular file: an X3P container is read by seeking");
    errno = folder ? EISDIR : ESPIPE;
    return ERR_CANT_OPEN_FILE;
  }
  state->file_size = status.st_size;
  state->staging = static_cast<unsigned char*>(memory_hooks.allocate(2 * x3p::PIECE_POINTS * 8));
  state->valid_bytes = static_cast<unsigned char*>(memory_hooks.allocate(x3p::PIECE_POINTS / 8));
  void* sums = memory_hooks.allocate(2 * sizeof(Md5));
  void* thread = memory_hooks.allocate(sizeof(SumThread));
  if (state->staging == nullptr || state->valid_bytes == nullptr || sums == nullptr || thread == nullptr) {
    memory_hooks.release(sums);
    memory_hooks.release(thread);
    return ERR_NO_MEM;
  }
  auto* sum = static_cast<Md5*>(sums);
  state->xml_sum = new (sum) Md5();
  state->valid_sum = new (sum + 1) Md5();
  state->data_sum = new (thread) SumThread();
  if (!state->xml_sum->ok() || !state->data_sum->ok() || !state->valid_sum->ok()) return ERR_NO_MEM;

  bool found = false;
  ErrorCode code = open_part(state, x3p::MAIN_XML.data(), &state->xml, &found);
  if (code != NO_ERROR) return code;
  if (!found) {
    say(state, "not an X3P file: its ZIP container holds no main.xml");
    return ERR_NOT_A_DATA_FILE;
  }
  state->parser = xmlReaderForIO(xml_input, nullptr, state, nullptr, nullptr, XML_PARSE_NONET);
  if (state->parser == nullptr) return ERR_NO_MEM;
  xmlTextReaderSetStructuredErrorHandler(state->parser, xml_error, state);
  code = parse(reader, Stop::data_list);
  if (code != NO_ERROR) return code;
  code = check_description(reader);
  if (code != NO_ERROR) return code;
  if (reader->surface.inline_data) return NO_ERROR;
  // A linked grid: main.xml is small and read whole, so its sum is known
  // before a height is handed out.
  xmlFreeTextReader(state->parser);
  state->parser = nullptr;
  state->xml.close();
  if (!state->fields.seen_record4) {
    say(state, "not an X3P file: main.xml has no Record4");
    return ERR_NOT_A_DATA_FILE;
  }
  code = check_xml_sum(state);
  if (code != NO_ERROR) return code;
  return open_linked(reader);
}

void release_state(X3pReaderState* state) {
  if (state == nullptr) return;
  if (state->parser != nullptr) xmlFreeTextReader(state->parser);
  state->xml.close();
  state->data.close();
  state->valid.close();
  if (state->xml_sum != nullptr) {
    state->xml_sum->~Md5();
    state->valid_sum->~Md5();
    memory_hooks.release(state->xml_sum);
    state->data_sum->~SumThread();
    memory_hooks.release(state->data_sum);
  }
  memory_hooks.release(state->staging);
  memory_hooks.release(state->valid_bytes);
  if (state->fd >= 0) close(state->fd);
  state->~X3pReaderState();
  memory_hooks.release(state);
}

template <typename Raw>
Raw load_little(const unsigned char* bytes) {
  Raw raw;
  if constexpr (std::endian::native == std::endian::big) {
    unsigned char reversed[sizeof raw];
    for (std::size_t i = 0; i < sizeof raw; ++i) reversed[i] = bytes[sizeof raw - 1 - i];
    std::memcpy(&raw, reversed, sizeof raw);
  } else {
    std::memcpy(&raw, bytes, sizeof raw);
  }
  return raw;
}

// Decodes count little-endian values of one type, scaled when asked (the
// integer types only): a loop per type, since this is the reader's hot path.
template <X3pDataType Type>
void decode_piece(const unsigned char* bytes, std::size_t count, double* out, bool scaled, double increment,
                  double offset) {
  for (std::size_t i = 0; i < count; ++i) {
    double value;
    if constexpr (Type == X3P_INT16) {
      value = static_cast<std::int16_t>(load_little<std::uint16_t>(bytes + 2 * i));
    } else if constexpr (Type == X3P_INT32) {
      value = static_cast<std::int32_t>(load_little<std::uint32_t>(bytes + 4 * i));
    } else if constexpr (Type == X3P_FLOAT32) {
      value = std::bit_cast<float>(load_little<std::uint32_t>(bytes + 4 * i));
    } else {
      value = std::bit_cast<double>(load_little<std::uint64_t>(bytes + 8 * i));
    }
    if constexpr (Type == X3P_INT16 || Type == X3P_INT32) {
      if (scaled) value = value * increment + offset;
    }
    out[i] = value;
  }
}

void decode(const unsigned char* bytes, std::size_t count, const X3pSurface& s, bool scaled, double* out) {
  switch (s.data_type) {
    case X3P_INT16:
      return decode_piece<X3P_INT16>(bytes, count, out, scaled, s.z_increment, s.z_offset);
    case X3P_INT32:
      return decode_piece<X3P_INT32>(bytes, count, out, scaled, s.z_increment, s.z_offset);
    case X3P_FLOAT32:
      return decode_piece<X3P_FLOAT32>(bytes, count, out, scaled, 1.0, 0.0);
    case X3P_FLOAT64:
      return decode_piece<X3P_FLOAT64>(bytes, count, out, scaled, 1.0, 0.0);
  }
}

// The validity bit of the next point from valid.bin, read a piece ahead.
ErrorCode next_valid_byte(X3pReaderState* state, unsigned char* byte) {
  if (state->valid_next == state->valid_buffered) {
    std::size_t got = 0;
    const ErrorCode code =
        read_part(state, &state->valid, "the valid points", state->valid_bytes, x3p::PIECE_POINTS / 8, &got);
    if (code != NO_ERROR) return code;
    if (got == 0) {
      say(state, "its valid points end before the grid does");
      return ERR_CORRUPT_DATA_FILE;
    }
    state->valid_sum->add(state->valid_bytes, got);
    state->valid_buffered = got;
    state->valid_next = 0;
  }
  *byte = state->valid_bytes[state->valid_next++];
  return NO_ERROR;
}

ErrorCode read_linked(X3pReader* reader, double* values, std::size_t count, bool scaled) {
  X3pReaderState* state = reader->state;
  const X3pSurface& s = reader->surface;
  const std::size_t size = x3p::type_size(s.data_type);
  std::size_t done = 0;
  while (done < count) {
    const std::size_t piece = std::min(count - done, x3p::PIECE_POINTS);
    // The half the sum of the piece before is not reading.
    unsigned char* staging = state->staging + (state->pieces_read++ % 2) * x3p::PIECE_POINTS * 8;
    std::size_t got = 0;
    ErrorCode code = read_part(state, &state->data, "the point data", staging, piece * size, &got);
    if (code != NO_ERROR) return code;
    if (got != piece * size) {
      say(state, "its point data ends before the grid does");
      return ERR_CORRUPT_DATA_FILE;
    }
    state->data_sum->add(staging, got);
    double* out = values + done;
    decode(staging, piece, s, scaled, out);
    if (s.has_valid_points) {
      const double none = std::numeric_limits<double>::quiet_NaN();
      for (std::size_t i = 0; i < piece; ++i) {
        const std::uint64_t point = state->handed_out + done + i;
        if (point % 8 == 0) {
          code = next_valid_byte(state, &state->valid_byte);
          if (code != NO_ERROR) return code;
        }
        if ((state->valid_byte >> (point % 8) & 1u) == 0) out[i] = none;
      }
    }
    done += piece;
  }
  return NO_ERROR;
}

ErrorCode read_inline(X3pReader* reader, double* values, std::size_t count, bool scaled) {
  X3pReaderState* state = reader->state;
  const X3pSurface& s = reader->surface;
  for (std::size_t i = 0; i < count; ++i) {
    const ErrorCode code = parse(reader, Stop::datum);
    if (code != NO_ERROR) return code;
    if (state->xml_done) {
      say(state, "its DataList ends before the grid does");
      return ERR_CORRUPT_DATA_FILE;
    }
    const std::string_view text = trimmed(state->fields.datum);
    double value = std::nan("");
    if (!text.empty()) {
      if (text.find(';') != std::string_view::npos || !parse_double(state->fields.datum, &value)) {
        sayf(state, "Datum %llu (\"%.40s\") is not one height",
             static_cast<unsigned long long>(state->handed_out + i + 1), state->fields.datum);
        return ERR_CORRUPT_DATA_FILE;
      }
      if (scaled && (s.data_type == X3P_INT16 || s.data_type == X3P_INT32)) {
        value = value * s.z_increment + s.z_offset;
      }
    }
    values[i] = value;
  }
  return NO_ERROR;
}

ErrorCode read_values(X3pReader* reader, double* values, std::size_t capacity, std::size_t* count,
                      bool scaled) {
  if (count != nullptr) *count = 0;
  if (reader == nullptr || reader->state == nullptr || values == nullptr || count == nullptr) {
    return ERR_INVALID_PARAM;
  }
  X3pReaderState* state = reader->state;
  if (state->failure != NO_ERROR) return state->failure;
  const std::uint64_t left = reader->points - state->handed_out;
  const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(left, capacity));
  const ErrorCode code = reader->surface.inline_data ? read_inline(reader, values, wanted, scaled)
                                                     : read_linked(reader, values, wanted, scaled);
  if (code != NO_ERROR) return state->failure = code;
  state->handed_out += wanted;
  *count = wanted;
  return NO_ERROR;
}

// Reads a part to its end, summing it: a part longer than the grid needs
// is damaged.
template <typename Sum>
ErrorCode drain(X3pReaderState* state, Part* part, Sum* sum, const char* what, bool* extra) {
  *extra = false;
  state->data_sum->wait();  // no sum may still be reading the staging block
  for (;;) {
    std::size_t got = 0;
    const ErrorCode code = read_part(state, part, what, state->staging, x3p::PIECE_POINTS, &got);
    if (code != NO_ERROR) return code;
    if (got == 0) return NO_ERROR;
    *extra = true;
    sum->add(state->staging, got);
    sum->wait();
  }
}

}  // namespace

void x3p_reader_clear(X3pReader* reader) {
  if (reader != nullptr) std::memset(static_cast<void*>(reader), 0, sizeof *reader);
}

ErrorCode x3p_reader_open(const char* path, X3pReader* reader) {
  if (reader == nullptr) return ERR_INVALID_PARAM;
  x3p_reader_clear(reader);
  if (path == nullptr) return ERR_INVALID_PARAM;
  void* block = memory_hooks.allocate(sizeof(X3pReaderState));
  if (block == nullptr) return ERR_NO_MEM;
  std::memset(block, 0, sizeof(X3pReaderState));
  reader->state = new (block) X3pReaderState();
  reader->state->fd = -1;
  const ErrorCode code = open_x3p(path, reader);
  if (code != NO_ERROR) {
    const int reason = errno;
    x3p_reader_close(reader);
    errno = reason;
  }
  return code;
}

ErrorCode x3p_reader_read_heights(X3pReader* reader, double* heights, std::size_t capacity,
                                  std::size_t* count) {
  return read_values(reader, heights, capacity, count, true);
}

ErrorCode x3p_reader_read_stored(X3pReader* reader, double* values, std::size_t capacity,
                                 std::size_t* count) {
  return read_values(reader, values, capacity, count, false);
}

ErrorCode x3p_reader_finish(X3pReader* reader) {
  if (reader == nullptr || reader->state == nullptr) return ERR_INVALID_PARAM;
  X3pReaderState* state = reader->state;
  if (state->failure != NO_ERROR) return state->failure;
  if (state->handed_out != reader->points) return ERR_INVALID_PARAM;
  if (reader->surface.inline_data) {
    // The rest of main.xml, Record4 included, then its sum.
    for (;;) {
      const ErrorCode code = parse(reader, Stop::datum);
      if (code != NO_ERROR) return state->failure = code;
      if (state->xml_done) break;
      say(state, "its DataList holds more points than the grid");
      return state->failure = ERR_CORRUPT_DATA_FILE;
    }
    if (!state->fields.seen_record4) {
      say(state, "not an X3P file: main.xml has no Record4");
      return state->failure = ERR_NOT_A_DATA_FILE;
    }
    const ErrorCode code = check_xml_sum(state);
    if (code != NO_ERROR) return state->failure = code;
    return NO_ERROR;
  }
  bool extra = false;
  ErrorCode code = drain(state, &state->data, state->data_sum, "the point data", &extra);
  if (code != NO_ERROR) return state->failure = code;
  if (extra) {
    say(state, "its point data holds more values than the grid");
    return state->failure = ERR_CORRUPT_DATA_FILE;
  }
  const auto data_sum = state->data_sum->hex();
  if (!same_md5(trimmed(state->fields.point_data_md5), data_sum.data())) {
    sayf(state, "its point data does not match its MD5 sum in main.xml (it sums to %s)", data_sum.data());
    return state->failure = ERR_CORRUPT_DATA_FILE;
  }
  if (reader->surface.has_valid_points) {
    // The bytes not yet handed out of the last piece were summed with it.
    code = drain(state, &state->valid, state->valid_sum, "the valid points", &extra);
    if (code != NO_ERROR) return state->failure = code;
    if (extra || state->valid.consumed != (reader->points + 7) / 8) {
      say(state, "its valid points do not match the grid's size");
      return state->failure = ERR_CORRUPT_DATA_FILE;
    }
    const auto valid_sum = state->valid_sum->hex();
    if (!same_md5(trimmed(state->fields.valid_points_md5), valid_sum.data())) {
      sayf(state, "its valid points do not match their MD5 sum in main.xml (they sum to %s)",
           valid_sum.data());
      return state->failure = ERR_CORRUPT_DATA_FILE;
    }
  }
  return NO_ERROR;
}

void x3p_reader_close(X3pReader* reader) {
  if (reader == nullptr) return;
  release_state(reader->state);
  x3p_reader_clear(reader);
}

bool looks_like_x3p(const char* path) {
  if (path == nullptr) return false;
  const int reason = errno;
  bool result = false;
  void* block = memory_hooks.allocate(sizeof(X3pReaderState));
  if (block != nullptr) {
    std::memset(block, 0, sizeof(X3pReaderState));
    auto* state = new (block) X3pReaderState();
    state->fd = u_open_path_descriptor(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat status;
    if (state->fd >= 0 && fstat(state->fd, &status) == 0 && S_ISREG(status.st_mode)) {
      unsigned char magic[4] = {};
      if (pread(state->fd, magic, 4, 0) == 4 && magic[0] == 'P' && magic[1] == 'K') {
        state->file_size = status.st_size;
        state->quiet = true;
        Part part;
        bool found = false;
        result = open_part(state, x3p::MAIN_XML.data(), &part, &found) == NO_ERROR && found;
        part.close();
      }
    }
    release_state(state);
  }
  errno = reason;
  return result;
}

const char* x3p_data_type_letter(X3pDataType type) {
  switch (type) {
    case X3P_INT16:
      return "I";
    case X3P_INT32:
      return "L";
    case X3P_FLOAT32:
      return "F";
    case X3P_FLOAT64:
      return "D";
  }
  return "?";
}

const char* x3p_data_type_name(X3pDataType type) {
  switch (type) {
    case X3P_INT16:
      return "int16";
    case X3P_INT32:
      return "int32";
    case X3P_FLOAT32:
      return "float32";
    case X3P_FLOAT64:
      return "float64";
  }
  return "unknown";
}
