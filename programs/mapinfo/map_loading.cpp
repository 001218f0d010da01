#include "programs/mapinfo/map_loading.h"

#include <mapconv/conversion.h>
#include <mapconv/path.h>
#include <mapconv/xdt_reader.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "programs/mapinfo/input_spool.h"
#include "programs/mapinfo/mapinfo_plugins.h"

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

// What the X3P reader said (said) of path, without the name it begins its lines
// with: the message names the file already.
static std::string without_name(std::string said, const char* path) {
  const std::string name = std::string(path) + ": ";
  for (std::size_t at = 0; (at = said.find(name, at)) != std::string::npos;) {
    if (at == 0 || (at >= 2 && said.compare(at - 2, 2, "; ") == 0)) {
      said.erase(at, name.size());
    } else {
      at += name.size();
    }
  }
  return said;
}

Failure comparison_failure(ErrorCode code, const MapComparison& result, int reason, const std::string& said,
                           const std::string (&paths)[2]) {
  const std::size_t failed = result.failed_file == 2 ? 1 : 0;
  if (result.height_scale_fault != HEIGHT_SCALE_USABLE)
    return {NO_ERROR, std::string(result.height_scale_text) + ", so its heights cannot be compared"};
  const FileKind kind =
      result.kind[failed] == FILE_KIND_UNKNOWN ? FILE_KIND_XDT : static_cast<FileKind>(result.kind[failed]);
  return {code, reading_reason(code, kind, reason, without_name(said, paths[failed].c_str()))};
}

#ifdef MAPINFO_X3P
// The X3P module is loaded only when a compared file is an X3P file.
static ErrorCode open_x3p_source(const char* path, MapHeightSource* source) {
  std::string why;
  const X3pFunctions* x3p = mapinfo_plugins::x3p(&why);
  if (x3p == nullptr) {
    u_print("an X3P file, which needs mapinfo's X3P module: %s\n", why.c_str());
    return ERR_NOT_IMPLEMENTED;
  }
  return x3p->open_map_source(path, source);
}
#endif

ErrorCode compare_maps(const char* first, const char* second, MapComparison* result) {
#ifdef MAPINFO_X3P
  const MapSourceOpener opener{FILE_KIND_X3P, open_x3p_source};
  return compare_map_files_through(first, second, &opener, result);
#else
  return compare_map_files(first, second, result);
#endif
}

const char* kind_name(std::int32_t kind) {
  switch (kind) {
    case FILE_KIND_DATA_FILE:
      return "data file";
    case FILE_KIND_X3P:
      return "X3P surface file";
    default:
      return "XDT surface file";
  }
}

MapSummary LoadedMap::summary(const char* path, const HeightStatistics& heights,
                              const HeightParameters* parameters) const {
  MapSummary summary{
      path,      data_file ? &settings : nullptr, grid.columns, grid.rows, heights, lateral_resolution,
      parameters};
  if (x3p) summary.x3p = &x3p_details;
  return summary;
}

namespace {

// Tells the kind of the file at path, and turns away an XDT file too short
// for its grid.
bool probe(const char* path, FileKind* told, Failure* failure) {
  FileKindInfo kind{};
  const ErrorCode code = file_kind_of_path(path, &kind);
  if (code == ERR_CANT_OPEN_FILE || code == ERR_CANT_READ_FILE) {
    const int error = errno;
    *failure = {code, code == ERR_CANT_OPEN_FILE ? std::string(path_reason(path, error))
                                                 : reading_reason(code, FILE_KIND_XDT, error)};
    return false;
  }
  *told = static_cast<FileKind>(kind.kind);
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

#ifdef MAPINFO_X3P
// The heights of an X3P surface read in pieces into a grid of doubles,
// which keep every stored value (integer data scaled included), with its
// Record2.
bool load_x3p_file(const char* path, LoadedMap* map, Failure* failure) {
  std::string why;
  const X3pFunctions* x3p = mapinfo_plugins::x3p(&why);
  if (x3p == nullptr) {
    *failure = {ERR_NOT_IMPLEMENTED, "an X3P file, which needs mapinfo's X3P module: " + why};
    return false;
  }
  const ReaderWords words;
  X3pReader reader;
  x3p->reader_clear(&reader);
  const std::unique_ptr<X3pReader, void (*)(X3pReader*)> closing(&reader, x3p->reader_close);
  ErrorCode code = x3p->reader_open(path, &reader);
  if (code == NO_ERROR) code = x3p->check_map_grid(path, &reader);
  const auto failed = [&](ErrorCode why) {
    *failure = {why, reading_reason(why, FILE_KIND_X3P, errno, without_name(ReaderWords::text(), path))};
    return false;
  };
  if (code != NO_ERROR) return failed(code);
  const X3pSurface& s = reader.surface;
  const auto points = static_cast<std::size_t>(reader.points);
  if (s.data_type == X3P_FLOAT32) {
    // Read a piece at a time through a small block of doubles, each of
    // which holds a float exactly, so the grid takes half the memory.
    if (reader.points > SIZE_MAX / sizeof(float)) return failed(ERR_NO_MEM);
    map->x3p_float_heights.reset(static_cast<float*>(memory_hooks.allocate(points * sizeof(float))));
    constexpr std::size_t PIECE = 65536;
    const std::unique_ptr<double[], HeightsRelease> piece(
        static_cast<double*>(memory_hooks.allocate(PIECE * sizeof(double))));
    if (map->x3p_float_heights == nullptr || piece == nullptr) return failed(ERR_NO_MEM);
    float* const out = map->x3p_float_heights.get();
    for (std::size_t done = 0; done < points;) {
      std::size_t count = 0;
      code = x3p->read_heights(&reader, piece.get(), std::min(PIECE, points - done), &count);
      if (code == NO_ERROR && count == 0) code = ERR_PREMATURE_EOF;
      if (code != NO_ERROR) return failed(code);
      for (std::size_t i = 0; i < count; ++i) out[done + i] = static_cast<float>(piece[i]);
      done += count;
    }
    map->grid.float_metres = out;
  } else {
    if (reader.points > SIZE_MAX / sizeof(double)) return failed(ERR_NO_MEM);
    map->x3p_heights.reset(static_cast<double*>(memory_hooks.allocate(points * sizeof(double))));
    if (map->x3p_heights == nullptr) return failed(ERR_NO_MEM);
    for (std::size_t done = 0; done < points;) {
      std::size_t count = 0;
      code = x3p->read_heights(&reader, map->x3p_heights.get() + done, points - done, &count);
      if (code == NO_ERROR && count == 0) code = ERR_PREMATURE_EOF;
      if (code != NO_ERROR) return failed(code);
      done += count;
    }
    map->grid.metres = map->x3p_heights.get();
  }
  code = x3p->reader_finish(&reader);
  if (code != NO_ERROR) return failed(code);
  map->grid.columns = static_cast<std::int32_t>(s.columns);
  map->grid.rows = static_cast<std::int32_t>(s.rows);
  map->lateral_resolution = static_cast<float>(s.x_increment);
  map->x3p = true;
  const X3pMetadata& m = s.metadata;
  const char* const texts[] = {m.date, m.creator, m.manufacturer, m.model, m.serial, m.version, m.comment};
  for (std::size_t i = 0; i < std::size(texts); ++i) map->x3p_text[i] = texts[i];
  const std::string* t = map->x3p_text;
  map->x3p_details = {x3p->data_type_name(s.data_type),
                      static_cast<float>(s.y_increment),
                      m.present,
                      t[0],
                      t[1],
                      t[2],
                      t[3],
                      t[4],
                      t[5],
                      t[6]};
  return true;
}
#else
bool load_x3p_file(const char*, LoadedMap*, Failure* failure) {
  *failure = {ERR_NOT_IMPLEMENTED, reading_reason(ERR_NOT_IMPLEMENTED, FILE_KIND_X3P, 0)};
  return false;
}
#endif

}  // namespace

bool load_map(const char* path, LoadedMap* map, Failure* failure) {
  FileKind kind = FILE_KIND_UNKNOWN;
  if (!probe(path, &kind, failure)) return false;
  map->data_file = kind == FILE_KIND_DATA_FILE;
  if (kind == FILE_KIND_X3P) return load_x3p_file(path, map, failure);
  return map->data_file ? load_data_file(path, map, failure) : load_xdt_file(path, map, failure);
}
