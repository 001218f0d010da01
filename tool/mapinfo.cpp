// mapinfo: prints a summary of XDT surface files and binary data files, and
// optionally draws one of them as a false-colour PNG picture.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/errors.h"
#include "common/memory_hooks.h"
#include "common/path.h"
#include "datafile/data_file_reader.h"
#include "tool/height_picture.h"
#include "tool/map_summary.h"
#include "tool/xdt_reader.h"

namespace {

constexpr int EXIT_FILE_FAILED = 1;
constexpr int EXIT_USAGE = 2;

constexpr const char* USAGE =
    "usage: mapinfo [--json] [--png PICTURE] FILE...\n"
    "Prints a summary of each XDT surface file or binary data file.\n"
    "  --json         one JSON object per file, one per line\n"
    "  --png PICTURE  also draw the heights as a false-colour PNG (one FILE only)\n"
    "  --help         show this text\n";

struct Options {
  bool json = false;
  const char* picture = nullptr;
  std::vector<const char*> files;
};

enum class ParseResult { run, help, usage_error };

ParseResult parse_arguments(int argc, char** argv, Options* options) {
  bool options_ended = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (options_ended || argument.size() < 2 || argument[0] != '-') {
      options->files.push_back(argv[i]);
    } else if (argument == "--") {
      options_ended = true;
    } else if (argument == "--help" || argument == "-h") {
      return ParseResult::help;
    } else if (argument == "--json") {
      options->json = true;
    } else if (argument == "--png" && i + 1 < argc && options->picture == nullptr) {
      options->picture = argv[++i];
    } else if (argument.starts_with("--png=") && argument.size() > 6 && options->picture == nullptr) {
      options->picture = argv[i] + 6;
    } else {
      std::fprintf(
          stderr, "mapinfo: %s: %s\n", argv[i],
          argument.starts_with("--png") ? "needs one picture file name, given once" : "unknown option");
      return ParseResult::usage_error;
    }
  }
  if (options->files.empty()) {
    std::fputs("mapinfo: no input file\n", stderr);
    return ParseResult::usage_error;
  }
  if (options->picture != nullptr && options->files.size() > 1) {
    std::fputs("mapinfo: --png draws one file; give exactly one FILE\n", stderr);
    return ParseResult::usage_error;
  }
  return ParseResult::run;
}

// One file's failure, reported as "mapinfo: FILE: reason (ERR_NAME)".
struct Failure {
  ErrorCode code;
  std::string reason;
};

void report(const char* file, const Failure& failure) {
  std::fprintf(stderr, "mapinfo: %s: %s (%s)\n", file, failure.reason.c_str(), u_error_string(failure.code));
}

const char* reading_reason(ErrorCode code, bool data_file) {
  switch (code) {
    case ERR_CANT_OPEN_FILE:
      return "cannot open the file";
    case ERR_PREMATURE_EOF:
      return data_file ? "data file is cut short" : "not a data file, and cut short as an XDT file";
    case ERR_NOT_A_DATA_FILE:
      return "not a valid data file (inconsistent header or block lengths)";
    case ERR_PARAM_OUT_OF_RANGE:
      return "not a data file, and not a valid XDT file (grid size or lateral resolution out of range)";
    case ERR_NO_MEM:
      return "not enough memory";
    default:
      return "cannot read the file";
  }
}

const char* picture_reason(ErrorCode code) {
  switch (code) {
    case ERR_CANT_CREATE_FILE:
      return "cannot create the picture";
    case ERR_NO_MEM:
      return "not enough memory for the picture";
    default:
      return "cannot write the picture";
  }
}

// Checks that path names an existing file that is not a folder, tells
// whether it starts with a data file's magic number, and turns away a file
// far too short for the XDT grid its first bytes would describe before the
// XDT reader allocates that grid.
bool probe(const char* path, bool* data_file, Failure* failure) {
  const NativePath native(path);
  struct stat status {};
  if (native.get() == nullptr || stat(native.get(), &status) != 0) {
    *failure = {ERR_CANT_OPEN_FILE, native.get() == nullptr ? "malformed wide path" : std::strerror(errno)};
    return false;
  }
  if (S_ISDIR(status.st_mode)) {
    *failure = {ERR_CANT_OPEN_FILE, "is a directory"};
    return false;
  }
  std::FILE* file = std::fopen(native.get(), "rb");
  if (file == nullptr) {
    *failure = {ERR_CANT_OPEN_FILE, std::strerror(errno)};
    return false;
  }
  unsigned char first_bytes[4] = {};
  const bool complete = std::fread(first_bytes, 1, sizeof first_bytes, file) == sizeof first_bytes;
  std::fclose(file);
  *data_file = complete && is_data_file_magic(first_bytes);
  if (!complete || *data_file || !S_ISREG(status.st_mode)) return true;

  const int columns = first_bytes[0] | (first_bytes[1] << 8);
  const int rows = first_bytes[2] | (first_bytes[3] << 8);
  constexpr int max_count = 32767;
  if (columns < 2 || columns > max_count || rows < 2 || rows > max_count) return true;
  constexpr std::int64_t point_size = 12;
  if (status.st_size >= 4 + point_size * columns * rows) return true;
  char reason[160];
  std::snprintf(reason, sizeof reason,
                "not a data file, and too short for the XDT grid of %d x %d points it would hold", columns,
                rows);
  *failure = {ERR_PREMATURE_EOF, reason};
  return false;
}

// A file read into memory, with what its summary and picture need.
struct LoadedMap {
  DataFileContents contents{};
  HookedBlock<float[]> xdt_heights;
  DataFileSettings settings{};
  HeightGrid grid{};
  float lateral_resolution = 0.0f;
  bool data_file = false;

  LoadedMap() { data_file_contents_clear(&contents); }
  ~LoadedMap() { data_file_contents_release(&contents); }
  LoadedMap(const LoadedMap&) = delete;
  LoadedMap& operator=(const LoadedMap&) = delete;
};

bool load_data_file(const char* path, LoadedMap* map, Failure* failure) {
  const ErrorCode code = read_data_file(path, &map->contents);
  if (code != NO_ERROR) {
    *failure = {code, reading_reason(code, true)};
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
  // One count is wavelength * scale factor / 32768 of height.
  map->grid.nanometres_per_count = static_cast<double>(contents.header.scale_factor) *
                                   static_cast<double>(contents.header.wavelength) / 32768.0 * 1e9;
  map->lateral_resolution = contents.header.lateral_resolution;
  return true;
}

bool load_xdt_file(const char* path, LoadedMap* map, Failure* failure) {
  float* heights = nullptr;
  const ErrorCode code =
      read_xdt_file(path, &map->grid.columns, &map->grid.rows, &heights, &map->lateral_resolution, false);
  map->xdt_heights.reset(heights);
  if (code != NO_ERROR) {
    *failure = {code, reading_reason(code, false)};
    return false;
  }
  map->grid.xdt_heights = heights;
  return true;
}

// Summarises one file on standard output and draws it when asked.
bool inspect(const char* path, const Options& options, Failure* failure) {
  LoadedMap map;
  if (!probe(path, &map.data_file, failure)) return false;
  if (!(map.data_file ? load_data_file(path, &map, failure) : load_xdt_file(path, &map, failure)))
    return false;

  const HeightStatistics heights = compute_height_statistics(map.grid);
  const MapSummary summary{path,
                           map.data_file ? &map.settings : nullptr,
                           map.grid.columns,
                           map.grid.rows,
                           heights,
                           map.lateral_resolution};
  const std::string text = options.json ? summary_json(summary) : summary_text(summary);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);

  if (options.picture == nullptr) return true;
  if (map.grid.columns == 0 || map.grid.rows == 0) {
    *failure = {ERR_INVALID_PARAM, "no phase map to draw"};
    return false;
  }
  std::string libpng_reason;
  const ErrorCode code = write_height_picture(options.picture, map.grid, heights, &libpng_reason);
  if (code != NO_ERROR) {
    std::string reason = std::string(picture_reason(code)) + " " + options.picture;
    if (!libpng_reason.empty()) reason += ": " + libpng_reason;
    *failure = {code, reason};
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  switch (parse_arguments(argc, argv, &options)) {
    case ParseResult::help:
      std::fputs(USAGE, stdout);
      return 0;
    case ParseResult::usage_error:
      std::fputs(USAGE, stderr);
      return EXIT_USAGE;
    case ParseResult::run:
      break;
  }
  int status = 0;
  for (const char* file : options.files) {
    Failure failure{};
    if (!inspect(file, options, &failure)) {
      report(file, failure);
      status = EXIT_FILE_FAILED;
    }
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fputs("mapinfo: cannot write to standard output\n", stderr);
    status = EXIT_FILE_FAILED;
  }
  return status;
}
