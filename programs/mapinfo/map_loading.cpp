#include "programs/mapinfo/map_loading.h"

#include <mapconv/conversion.h>
#include <mapconv/path.h>
#include <mapconv/xdt_reader.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "programs/mapinfo/input_spool.h"

ReaderWords::ReaderWords() : previous_(u_print) {
  const std::lock_guard lock(guard);
  kept.clear();
  u_print = keep;
}

std::string ReaderWords::text() {
  const std::lock_guard lock(guard);
  std::string joined;
  std::size_t start = 0;
  while (start < kept.size()) {
    std::size_t end = kept.find('\n', start);
    if (end == std::string::npos) end = kept.size();
    if (end > start) {
      if (!joined.empty()) joined += "; ";
      joined.append(kept, start, end - start);
    }
    start = end + 1;
  }
  return joined;
}

int ReaderWords::keep(const char* format, ...) {
  // The reader may set errno for its caller before it prints.
  const int saved = errno;
  char line[512];
  va_list arguments;
  va_start(arguments, format);
  const int length = std::vsnprintf(line, sizeof line, format, arguments);
  va_end(arguments);
  if (length > 0) {
    const std::lock_guard lock(guard);
    kept += line;
  }
  errno = saved;
  return 0;
}

std::string reading_reason(ErrorCode code, FileKind kind, int reason, const std::string& said) {
  // Room for the library's words and all the reader said.
  std::string text(said.size() + 256, '\0');
  describe_read_failure(code, kind, reason, said.c_str(), text.data(), text.size());
  text.resize(std::strlen(text.c_str()));
  return text;
}

Failure comparison_failure(ErrorCode code, const MapComparison& result, int reason, const std::string& said) {
  const std::size_t failed = result.failed_file == 2 ? 1 : 0;
  if (result.height_scale_fault != HEIGHT_SCALE_USABLE)
    return {NO_ERROR, std::string(result.height_scale_text) + ", so its heights cannot be compared"};
  return {code,
          reading_reason(code, result.data_file[failed] ? FILE_KIND_DATA_FILE : FILE_KIND_XDT, reason, said)};
}

namespace {

// Tells the kind of the file at path, and turns away an XDT file too short
// for its grid.
bool probe(const char* path, bool* data_file, Failure* failure) {
  FileKindInfo kind{};
  const ErrorCode code = file_kind_of_path(path, &kind);
  if (code == ERR_CANT_OPEN_FILE || code == ERR_CANT_READ_FILE) {
    const int error = errno;
    *failure = {code, code == ERR_CANT_OPEN_FILE ? std::string(path_reason(path, error))
                                                 : reading_reason(code, FILE_KIND_XDT, error)};
    return false;
  }
  *data_file = kind.kind == FILE_KIND_DATA_FILE;
  struct stat status {};
  if (kind.kind != FILE_KIND_XDT || code != NO_ERROR || u_stat_path(path, &status) != 0 ||
      static_cast<std::uint64_t>(status.st_size) >= kind.length)
    return true;
  char reason[160];
  std::snprintf(reason, sizeof reason,
                "not a data file, and too short for the XDT grid of %d x %d points it would hold",
                kind.columns, kind.rows);
  *failure = {ERR_PREMATURE_EOF, reason};
  return false;
}

bool load_data_file(const char* path, LoadedMap* map, Failure* failure) {
  const ErrorCode code = read_data_file(path, &map->contents);
  if (code != NO_ERROR) {
    *failure = {code, reading_reason(code, FILE_KIND_DATA_FILE, errno)};
    return false;
  }
  const DataFileContents& contents = map->contents;
  map->settings = DataFileSettings{contents.header_format,           contents.header_size,
                                   contents.header.wavelength,       contents.header.scale_factor,
                                   contents.header.phase_resolution, contents.intensity.width,
                                   contents.intensity.height,        contents.intensity.buckets};
  map->grid.columns = contents.phase.width;
  map->grid.rows = contents.phase.height;
  map->grid.phase_counts = contents.phase.data;
  map->grid.nanometres_per_count = metres_per_phase_count(&contents.header) * 1e9;
  describe_height_scale_fault(&contents.header, map->heights_unknown, sizeof map->heights_unknown);
  map->lateral_resolution = contents.header.lateral_resolution;
  return true;
}

bool load_xdt_file(const char* path, LoadedMap* map, Failure* failure) {
  float* heights = nullptr;
  const ReaderWords words;
  const ErrorCode code =
      read_xdt_file(path, &map->grid.columns, &map->grid.rows, &heights, &map->lateral_resolution, false);
  const int reason = errno;
  map->xdt_heights.reset(heights);
  if (code != NO_ERROR) {
    *failure = {code, reading_reason(code, FILE_KIND_XDT, reason, words.text())};
    return false;
  }
  map->grid.xdt_heights = heights;
  return true;
}

}  // namespace

bool load_map(const char* path, LoadedMap* map, Failure* failure) {
  if (!probe(path, &map->data_file, failure)) return false;
  return map->data_file ? load_data_file(path, map, failure) : load_xdt_file(path, map, failure);
}
