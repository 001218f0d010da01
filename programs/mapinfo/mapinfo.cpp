// mapinfo: prints a summary of XDT surface files and binary data files, and
// optionally draws one of them as a false-colour PNG picture.
#include <fcntl.h>
#include <mapconv/conversion.h>
#include <mapconv/data_file_reader.h>
#include <mapconv/errors.h>
#include <mapconv/map_compare.h>
#include <mapconv/memory_hooks.h>
#include <mapconv/path.h>
#include <mapconv/print.h>
#include <mapconv/terminal_text.h>
#include <mapconv/version.h>
#include <mapconv/xdt_reader.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "programs/mapinfo/height_picture.h"
#include "programs/mapinfo/map_summary.h"
#include "programs/signal_cleanup.h"
#include "programs/standard_output.h"
#include "programs/wide_arguments.h"

namespace {

constexpr int EXIT_FILE_FAILED = 1;
constexpr int EXIT_USAGE = 2;
// --compare: a map has no heights to compare.
constexpr int EXIT_NOT_COMPARABLE = 2;

constexpr const char* USAGE =
    "usage: mapinfo [--json] [--level plane|mean] [--png PICTURE [--size PIXELS] [-f]] FILE...\n"
    "       mapinfo --compare A B\n"
    "Prints a summary of each XDT surface file or binary data file (a pipe such\n"
    "as /dev/stdin too), with the areal height parameters Sa Sq Ssk Sku Sp Sv Sz.\n"
    "  --json          one JSON object per file, one per line\n"
    "  --level FORM    remove the least-squares plane (default) or the mean\n"
    "                  height before the parameters; given, also for --png\n"
    "  --compare A B   check that two maps of one grid hold the same heights:\n"
    "                  exit 0 if they do (within half a phase count between an\n"
    "                  XDT file and a data file), 1 if not, 2 if a data file's\n"
    "                  wavelength or scale factor gives no height scale\n"
    "  --png PICTURE   also draw the heights as a false-colour PNG (one FILE only)\n"
    "  --size PIXELS   the picture's longer side, 1 to 65535 (default: one pixel\n"
    "                  per point, at most 2048)\n"
    "  -f, --force     replace an existing picture\n"
    "  -h, --help      show this text\n"
    "  --version       show the version\n";

struct Options {
  bool json = false;
  bool force = false;
  const char* picture = nullptr;
  std::uint32_t size = 0;  // 0: the default rule
  HeightLevel level = HEIGHT_LEVEL_PLANE;
  bool level_given = false;
  bool compare = false;
  std::vector<const char*> files;
};

enum class ParseResult { run, help, version, usage_error };

// A picture side from 1 to MAX_PICTURE_SIDE, digits only.
bool parse_size(std::string_view text, std::uint32_t* size) {
  std::uint32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || text[0] == '+' || error != std::errc{} || end != text.data() + text.size() ||
      value < 1 || value > MAX_PICTURE_SIDE)
    return false;
  *size = value;
  return true;
}

// The value of an option given as "--name VALUE" or "--name=VALUE", or null.
const char* option_value(std::string_view name, int argc, char** argv, int* i) {
  const std::string_view argument = argv[*i];
  if (argument == name) return *i + 1 < argc ? argv[++*i] : nullptr;
  if (argument.size() > name.size() + 1 && argument.starts_with(name) && argument[name.size()] == '=')
    return argv[*i] + name.size() + 1;
  return nullptr;
}

ParseResult parse_arguments(int argc, char** argv, Options* options) {
  bool options_ended = false;
  bool size_given = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (options_ended || argument.size() < 2 || argument[0] != '-') {
      options->files.push_back(argv[i]);
    } else if (argument == "--") {
      options_ended = true;
    } else if (argument == "--help" || argument == "-h") {
      return ParseResult::help;
    } else if (argument == "--version") {
      return ParseResult::version;
    } else if (argument == "--json") {
      options->json = true;
    } else if (argument == "-f" || argument == "--force") {
      options->force = true;
    } else if (argument == "--compare") {
      options->compare = true;
    } else if (argument == "--level" || argument.starts_with("--level=")) {
      const char* level = option_value("--level", argc, argv, &i);
      const std::string_view name = level != nullptr ? level : "";
      if (options->level_given || (name != "plane" && name != "mean")) {
        u_print_names(stderr, "mapinfo: %s: needs plane or mean, given once\n", argument.data());
        return ParseResult::usage_error;
      }
      options->level = name == "plane" ? HEIGHT_LEVEL_PLANE : HEIGHT_LEVEL_MEAN;
      options->level_given = true;
    } else if (argument == "--png" || argument.starts_with("--png=")) {
      const char* picture = option_value("--png", argc, argv, &i);
      if (picture == nullptr || options->picture != nullptr) {
        u_print_names(stderr, "mapinfo: %s: needs one picture file name, given once\n", argument.data());
        return ParseResult::usage_error;
      }
      options->picture = picture;
    } else if (argument == "--size" || argument.starts_with("--size=")) {
      const char* size = option_value("--size", argc, argv, &i);
      if (size == nullptr || size_given || !parse_size(size, &options->size)) {
        u_print_names(stderr, "mapinfo: %s: needs one picture size from 1 to 65535 pixels, given once\n",
                      argument.data());
        return ParseResult::usage_error;
      }
      size_given = true;
    } else {
      u_print_names(stderr, "mapinfo: %s: unknown option\n", argv[i]);
      return ParseResult::usage_error;
    }
  }
  if (options->files.empty()) {
    std::fputs("mapinfo: no input file\n", stderr);
    return ParseResult::usage_error;
  }
  if (options->compare && (options->files.size() != 2 || options->picture != nullptr ||
                           options->level_given || options->json || size_given || options->force)) {
    std::fputs("mapinfo: --compare takes exactly two files and no other option\n", stderr);
    return ParseResult::usage_error;
  }
  if (options->picture != nullptr && options->files.size() > 1) {
    std::fputs("mapinfo: --png draws one file; give exactly one FILE\n", stderr);
    return ParseResult::usage_error;
  }
  if (size_given && options->picture == nullptr) {
    std::fputs("mapinfo: --size is the size of a picture; give --png as well\n", stderr);
    return ParseResult::usage_error;
  }
  return ParseResult::run;
}

// One file's failure, reported as "mapinfo: FILE: reason (ERR_NAME)", where
// FILE is the input or the picture. NO_ERROR leaves out the name.
struct Failure {
  ErrorCode code;
  std::string reason;
  const char* subject = nullptr;  // the picture, when it failed; else the input
};

void report(const char* file, const Failure& failure) {
  const char* subject = failure.subject != nullptr ? failure.subject : file;
  if (failure.code == NO_ERROR) {
    u_print_names(stderr, "mapinfo: %s: %s\n", subject, failure.reason.c_str());
  } else {
    u_print_names(stderr, "mapinfo: %s: %s (%s)\n", subject, failure.reason.c_str(),
                  u_error_string(failure.code));
  }
}

// The XDT reader prints what is wrong with a grid through u_print. While
// one of these lives, those lines are kept instead, to be folded into the
// one message mapinfo gives for the file. A comparison's read-ahead thread
// may print too, hence the lock.
class ReaderWords {
 public:
  ReaderWords() : previous_(u_print) {
    const std::lock_guard lock(guard);
    kept.clear();
    u_print = keep;
  }
  ~ReaderWords() { u_print = previous_; }
  ReaderWords(const ReaderWords&) = delete;
  ReaderWords& operator=(const ReaderWords&) = delete;

  // The lines so far, joined by "; " without their line ends.
  static std::string text() {
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

 private:
  static int keep(const char* format, ...) MAPCONV_PRINTF(1, 2);

  static inline std::mutex guard;
  static inline std::string kept;
  PrintFunction previous_;
};

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

// reason: the system's, for a read it failed. said: what the reader printed
// about it, which says more exactly what is wrong than the code does.
std::string reading_reason(ErrorCode code, bool data_file, int reason, const std::string& said = {}) {
  if (!said.empty()) {
    if (code == ERR_CANT_READ_FILE) return "cannot read the file: " + said;
    if (code == ERR_PARAM_OUT_OF_RANGE) return "not a data file, and not a valid XDT file: " + said;
    return reading_reason(code, data_file, reason) + ": " + said;
  }
  switch (code) {
    case ERR_CANT_OPEN_FILE:
      return "cannot open the file";
    case ERR_CANT_READ_FILE:
      return std::string("cannot read the file: ") + std::strerror(reason);
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

// Bytes of an input worth copying, judged from its first bytes (head):
// enough for the file those bytes begin, or no more than those bytes when
// they cannot begin a valid one, so that the reader then says what is wrong.
// 0 while the head is too short to tell.
std::uint64_t useful_length(const std::vector<unsigned char>& head) {
  if (head.size() < 4) return 0;
  const unsigned char first_bytes[4] = {head[0], head[1], head[2], head[3]};
  if (is_data_file_magic(first_bytes)) {
    std::uint64_t length = 0;
    const ErrorCode code = data_file_length(head.data(), head.size(), &length);
    if (code == ERR_PREMATURE_EOF) return 0;
    // One byte more than the file's length: bytes after the last block make
    // it invalid, as they would on disk.
    return code == NO_ERROR ? length + 1 : head.size();
  }
  // An XDT file: the reader ignores what follows its last point.
  std::int32_t columns = 0;
  std::int32_t rows = 0;
  if (xdt_grid_size(first_bytes, false, &columns, &rows) != NO_ERROR) return 4;
  return 4 + 12 * static_cast<std::uint64_t>(columns) * static_cast<std::uint64_t>(rows);
}

// An input that is not a regular file (a pipe, a terminal, a character
// device) is copied once into an unnamed temporary file: the readers look at
// its first bytes, check its size and read it from the start, which a pipe
// allows only once. The copy ends where the file the first bytes describe
// ends, or right away when they describe none, so an endless input never
// fills the disk.
class Spool {
 public:
  Spool() = default;
  ~Spool() {
    if (fd_ >= 0) close(fd_);
    if (!named_.empty()) {
      unlink(named_.c_str());
      signal_cleanup::program_temporary[0] = '\0';
    }
  }
  Spool(const Spool&) = delete;
  Spool& operator=(const Spool&) = delete;

  // Copies the open input into the temporary; *path then names the copy.
  bool fill(int input, std::string* path, Failure* failure) {
    if (!create(failure)) return false;
    // Enough for the longest data-file header, read before the rest.
    constexpr std::size_t head_size = 4096;
    std::vector<unsigned char> head;
    std::vector<unsigned char> buffer(std::size_t{1} << 20);
    std::uint64_t copied = 0;
    std::uint64_t limit = 0;  // 0: not known yet
    while (limit == 0 || copied < limit) {
      std::size_t wanted = copied < head_size ? head_size - static_cast<std::size_t>(copied) : buffer.size();
      if (limit != 0) wanted = static_cast<std::size_t>(std::min<std::uint64_t>(wanted, limit - copied));
      const ssize_t got = read(input, buffer.data(), wanted);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        *failure = {ERR_CANT_READ_FILE, std::strerror(errno)};
        return false;
      }
      if (got == 0) break;
      if (limit == 0) {
        head.insert(head.end(), buffer.begin(), buffer.begin() + got);
        limit = useful_length(head);
      }
      // The part of this read within the limit: a head read may go past it.
      const auto keep =
          static_cast<ssize_t>(limit == 0 ? static_cast<std::uint64_t>(got)
                                          : std::min<std::uint64_t>(static_cast<std::uint64_t>(got),
                                                                    std::max(limit, copied) - copied));
      copied += static_cast<std::uint64_t>(keep);
      for (ssize_t done = 0; done < keep;) {
        const ssize_t put = write(fd_, buffer.data() + done, static_cast<std::size_t>(keep - done));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
          *failure = {ERR_CANT_OPEN_FILE, std::string("cannot keep a copy of the input: ") +
                                              std::strerror(put < 0 ? errno : ENOSPC)};
          return false;
        }
        done += put;
      }
    }
    *path = named_.empty() ? "/proc/self/fd/" + std::to_string(fd_) : named_;
    return true;
  }

 private:
  bool create(Failure* failure) {
    const char* folder = std::getenv("TMPDIR");
    if (folder == nullptr || folder[0] == '\0') folder = "/tmp";
    fd_ = open(folder, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    // The copy is reached through /proc; without either, a named file that
    // is removed when done.
    struct stat status {};
    if (fd_ >= 0 && stat(("/proc/self/fd/" + std::to_string(fd_)).c_str(), &status) == 0) return true;
    if (fd_ >= 0) close(fd_);
    std::string name = std::string(folder) + "/mapinfo-XXXXXX";
    // mkstemp fills the name in place: made in the signal handler's buffer,
    // the name is known to it from before the file exists.
    char* const known = signal_cleanup::program_temporary;
    const bool fits = name.size() < sizeof signal_cleanup::program_temporary;
    if (fits) std::memcpy(known, name.c_str(), name.size() + 1);
    fd_ = mkstemp(fits ? known : name.data());
    if (fits) name = known;
    if (fd_ < 0) {
      known[0] = '\0';
      *failure = {ERR_CANT_OPEN_FILE,
                  std::string("cannot keep a copy of the input: ") + std::strerror(errno)};
      return false;
    }
    named_ = name;
    return true;
  }

  int fd_ = -1;
  std::string named_;
};

// Why a path could not be looked at; a wide name the system never saw says so.
const char* path_reason(const char* path, int error) {
  if (u_path_is_wide(path) && error == ENOMEM) return "not enough memory";
  if (u_path_is_wide(path) && error == EINVAL) return "malformed wide path";
  return std::strerror(error);
}

// Opens the input at path: a regular file is read where it is, anything
// else through a spooled copy (*readable names what to read). *status
// describes the input itself.
bool open_input(const char* path, Spool* spool, std::string* readable, struct stat* status,
                Failure* failure) {
  if (u_stat_path(path, status) != 0) {
    *failure = {ERR_CANT_OPEN_FILE, path_reason(path, errno)};
    return false;
  }
  if (S_ISDIR(status->st_mode)) {
    *failure = {ERR_CANT_OPEN_FILE, "is a directory"};
    return false;
  }
  *readable = path;
  if (S_ISREG(status->st_mode)) return true;
  const int input = u_open_path_descriptor(path, O_RDONLY | O_NOCTTY | O_CLOEXEC);
  if (input < 0) {
    *failure = {ERR_CANT_OPEN_FILE, std::strerror(errno)};
    return false;
  }
  const bool copied = spool->fill(input, readable, failure);
  close(input);
  return copied;
}

// Tells whether the file at path (a regular one) starts with a data file's
// magic number, and turns away a file far too short for the XDT grid its
// first bytes would describe before the XDT reader allocates that grid.
bool probe(const char* path, bool* data_file, Failure* failure) {
  struct stat status {};
  if (u_stat_path(path, &status) != 0) {
    *failure = {ERR_CANT_OPEN_FILE, path_reason(path, errno)};
    return false;
  }
  std::FILE* file = u_open_path(path, "rb");
  if (file == nullptr) {
    *failure = {ERR_CANT_OPEN_FILE, std::strerror(errno)};
    return false;
  }
  unsigned char first_bytes[4] = {};
  const bool complete = std::fread(first_bytes, 1, sizeof first_bytes, file) == sizeof first_bytes;
  const bool failed = std::ferror(file) != 0;
  const int read_error = errno;
  std::fclose(file);
  if (failed) {
    *failure = {ERR_CANT_READ_FILE, reading_reason(ERR_CANT_READ_FILE, false, read_error)};
    return false;
  }
  *data_file = complete && is_data_file_magic(first_bytes);
  if (!complete || *data_file || !S_ISREG(status.st_mode)) return true;

  std::int32_t columns = 0;
  std::int32_t rows = 0;
  if (xdt_grid_size(first_bytes, false, &columns, &rows) != NO_ERROR) return true;
  constexpr std::int64_t point_size = 12;
  if (status.st_size >= 4 + point_size * columns * rows) return true;
  char reason[160];
  std::snprintf(reason, sizeof reason,
                "not a data file, and too short for the XDT grid of %d x %d points it would hold", columns,
                rows);
  *failure = {ERR_PREMATURE_EOF, reason};
  return false;
}

// Returns the XDT reader's heights through the hooks they came from.
struct HeightsRelease {
  void operator()(float* heights) const noexcept { memory_hooks.release(heights); }
};

// A file read into memory, with what its summary and picture need.
struct LoadedMap {
  DataFileContents contents{};
  std::unique_ptr<float[], HeightsRelease> xdt_heights;
  DataFileSettings settings{};
  HeightGrid grid{};
  float lateral_resolution = 0.0f;
  bool data_file = false;
  char heights_unknown[80] = {};  // why a data file's counts have no heights, or empty

  LoadedMap() { data_file_contents_clear(&contents); }
  ~LoadedMap() { data_file_contents_release(&contents); }
  LoadedMap(const LoadedMap&) = delete;
  LoadedMap& operator=(const LoadedMap&) = delete;
};

bool load_data_file(const char* path, LoadedMap* map, Failure* failure) {
  const ErrorCode code = read_data_file(path, &map->contents);
  if (code != NO_ERROR) {
    *failure = {code, reading_reason(code, true, errno)};
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
    *failure = {code, reading_reason(code, false, reason, words.text())};
    return false;
  }
  map->grid.xdt_heights = heights;
  return true;
}

// The picture's own failures name the picture.
Failure picture_failure(const char* picture, ErrorCode code, std::string reason) {
  Failure failure{code, std::move(reason)};
  failure.subject = picture;
  return failure;
}

// Draws the map, never over its own input and never over an existing file
// without --force.
bool draw(const char* path, const struct stat& input, const HeightGrid& grid, const HeightStatistics& heights,
          const Options& options, Failure* failure) {
  const char* picture = options.picture;
  if (grid.columns == 0 || grid.rows == 0) {
    *failure = {ERR_INVALID_PARAM, "no phase map to draw"};
    return false;
  }
  struct stat status {};
  if (u_stat_path(picture, &status) == 0) {
    if (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode)) {
      *failure = picture_failure(picture, ERR_CANT_CREATE_FILE,
                                 "is a FIFO or socket; a picture goes to a file or a device");
      return false;
    }
  }
  const PictureRequest request{picture, options.force, options.size, path, &input};
  PictureFailure problem{};
  const ErrorCode code = write_height_picture(request, grid, heights, &problem);
  if (code == NO_ERROR) return true;
  if (problem.is_input) {
    *failure = picture_failure(picture, NO_ERROR, "is the input file; a picture never replaces its input");
    return false;
  }
  if (problem.name_taken) {
    *failure = picture_failure(picture, NO_ERROR, "already exists (use -f to replace it)");
    return false;
  }
  std::string reason = code == ERR_CANT_CREATE_FILE ? "cannot create the picture"
                       : code == ERR_NO_MEM         ? "not enough memory for the picture"
                                                    : "cannot write the picture";
  if (problem.dangling_link) {
    reason += ": the symbolic link points nowhere";
  } else if (problem.system_error != 0) {
    reason += std::string(": ") + std::strerror(problem.system_error);
  } else if (!problem.detail.empty()) {
    reason += ": " + problem.detail;
  }
  *failure = picture_failure(picture, code, reason);
  return false;
}

void print_summary(const char* path, const Options& options, MapSummary summary) {
  if (options.json) {
    const std::string text = summary_json(summary);
    std::fwrite(text.data(), 1, text.size(), stdout);
  } else {
    // The name goes out escaped, as everywhere on the terminal, and the
    // summary follows it.
    u_write_escaped(stdout, path);
    summary.file = {};
    const std::string text = summary_text(summary);
    std::fwrite(text.data(), 1, text.size(), stdout);
  }
  std::fflush(stdout);
}

// The summary of a data file whose counts have no height scale: its points
// are counted (as if a count were a nanometre), its heights unknown, and it
// has no picture.
bool summarise_counts(const char* path, const Options& options, const LoadedMap& map, Failure* failure) {
  HeightGrid counted = map.grid;
  counted.nanometres_per_count = 1.0;
  MapSummary summary{path,
                     &map.settings,
                     map.grid.columns,
                     map.grid.rows,
                     compute_height_statistics(counted),
                     map.lateral_resolution,
                     nullptr};
  summary.heights_unknown = map.heights_unknown;
  print_summary(path, options, summary);
  if (options.picture == nullptr) return true;
  *failure = {NO_ERROR, std::string(map.heights_unknown) + ", so there are no heights to draw"};
  return false;
}

// Summarises one file on standard output and draws it when asked.
bool inspect(const char* path, const Options& options, Failure* failure) {
  Spool spool;
  std::string readable;
  struct stat input {};
  if (!open_input(path, &spool, &readable, &input, failure)) return false;
  LoadedMap map;
  if (!probe(readable.c_str(), &map.data_file, failure)) return false;
  if (!(map.data_file ? load_data_file(readable.c_str(), &map, failure)
                      : load_xdt_file(readable.c_str(), &map, failure)))
    return false;

  if (map.heights_unknown[0] != '\0') return summarise_counts(path, options, map, failure);
  // The statistics and the parameters read the same map and nothing else:
  // on two cores they take the time of the longer.
  HeightStatistics heights{};
  const auto statistics = [&] { heights = compute_height_statistics(map.grid); };
  std::thread beside;
  try {
    beside = std::thread(statistics);
  } catch (const std::system_error&) {
    statistics();
  }
  HeightParameters parameters{};
  const ErrorCode code = compute_map_parameters(map.grid, map.lateral_resolution, options.level, &parameters);
  if (beside.joinable()) beside.join();
  if (code != NO_ERROR) {
    *failure = {code, "cannot compute the height parameters"};
    return false;
  }
  MapSummary summary{path,
                     map.data_file ? &map.settings : nullptr,
                     map.grid.columns,
                     map.grid.rows,
                     heights,
                     map.lateral_resolution,
                     &parameters};
  print_summary(path, options, summary);

  if (options.picture == nullptr) return true;
  if (!options.level_given) return draw(path, input, map.grid, heights, options, failure);
  // The levelled picture spans the levelled heights: -Sv to Sp.
  HeightGrid levelled = map.grid;
  levelled.form = &parameters;
  HeightStatistics range = heights;
  range.valid = parameters.points;
  range.min = -parameters.sv;
  range.max = parameters.sp;
  return draw(path, input, levelled, range, options, failure);
}

const char* const verdict_text[] = {
    "the maps agree",
    "the grids differ",
    "the points without data differ",
    "heights differ beyond the tolerance",
};

// Compares two maps; 0 when they agree, 1 when not or a file fails, 2 when a
// map has no heights.
int compare(const Options& options) {
  // Pipes are read through copies, as for a summary.
  Spool spools[2];
  std::string readable[2];
  for (std::size_t k = 0; k < 2; ++k) {
    struct stat status {};
    Failure failure{};
    if (!open_input(options.files[k], &spools[k], &readable[k], &status, &failure)) {
      report(options.files[k], failure);
      return EXIT_FILE_FAILED;
    }
  }
  MapComparison result{};
  const ReaderWords words;
  const ErrorCode code = compare_map_files(readable[0].c_str(), readable[1].c_str(), &result);
  if (code != NO_ERROR) {
    const int reason = errno;
    const std::size_t failed = result.failed_file == 2 ? 1 : 0;
    if (result.height_scale_fault != HEIGHT_SCALE_USABLE) {
      report(options.files[failed], Failure{NO_ERROR, std::string(result.height_scale_text) +
                                                          ", so its heights cannot be compared"});
      return EXIT_NOT_COMPARABLE;
    }
    report(options.files[failed],
           Failure{code, reading_reason(code, result.data_file[failed], reason, words.text())});
    return EXIT_FILE_FAILED;
  }
  std::string out;

  for (int k = 0; k < 2; ++k) {
    std::fputs(k == 0 ? "A: " : "B: ", stdout);
    u_write_escaped(stdout, options.files[static_cast<std::size_t>(k)]);
    std::fprintf(stdout, " (%s, %" PRId32 " columns x %" PRId32 " rows)\n",
                 result.data_file[k] ? "data file" : "XDT surface file", result.columns[k], result.rows[k]);
  }
  if (result.verdict != MAPS_GRIDS_DIFFER || result.columns[0] == result.columns[1]) {
    append_format(&out, "  points with data in both   %" PRIu64 "\n", result.points_in_both);
    append_format(&out, "  data in A only             %" PRIu64 "\n", result.only_in_first);
    append_format(&out, "  data in B only             %" PRIu64 "\n", result.only_in_second);
    if (std::isnan(result.largest_difference)) {
      append_format(&out, "  largest difference         n/a\n");
    } else {
      append_format(&out, "  largest difference         %.6g nm at column %" PRIu64 ", row %" PRIu64 "\n",
                    result.largest_difference * 1e9,
                    result.largest_at % static_cast<std::uint64_t>(result.columns[0]),
                    result.largest_at / static_cast<std::uint64_t>(result.columns[0]));
    }
    if (!std::isnan(result.largest_difference_counts))
      append_format(&out, "  largest difference         %.6g phase counts of B\n",
                    result.largest_difference_counts);
  }
  if (result.verdict == MAPS_GRIDS_DIFFER && result.columns[0] == result.columns[1] &&
      result.rows[0] == result.rows[1]) {
    append_format(&out, "  lateral resolution         %.7g in A, %.7g in B\n",
                  static_cast<double>(result.lateral_resolution[0]),
                  static_cast<double>(result.lateral_resolution[1]));
  }
  const char* rule = result.data_file[0] != result.data_file[1]
                         ? "every height within half a phase count of the data file"
                         : "every height equal";
  if (result.verdict == MAPS_AGREE) {
    append_format(&out, "  result: the maps agree (%s)\n", rule);
  } else if (result.verdict == MAPS_GRIDS_DIFFER) {
    append_format(&out, "  result: %s\n", verdict_text[result.verdict]);
  } else {
    const auto columns = static_cast<std::uint64_t>(result.columns[0]);
    append_format(&out, "  result: %s (rule: %s), first at column %" PRIu64 ", row %" PRIu64 "\n",
                  verdict_text[result.verdict],
                  result.verdict == MAPS_NO_DATA_DIFFERS ? "points without data coincide" : rule,
                  result.first_mismatch % columns, result.first_mismatch / columns);
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
  return result.verdict == MAPS_AGREE ? 0 : EXIT_FILE_FAILED;
}

}  // namespace

int main(int argc, char** argv) {
  signal_cleanup::install();
  if (!wide_arguments::terminate(argc, argv)) {
    std::fputs("mapinfo: out of memory\n", stderr);
    return EXIT_FILE_FAILED;
  }
  Options options;
  switch (parse_arguments(argc, argv, &options)) {
    case ParseResult::help:
      std::fputs(USAGE, stdout);
      return standard_output::finish("mapinfo") ? 0 : EXIT_FILE_FAILED;
    case ParseResult::version:
      std::fputs("mapinfo " MAPCONV_VERSION "\n", stdout);
      return standard_output::finish("mapinfo") ? 0 : EXIT_FILE_FAILED;
    case ParseResult::usage_error:
      std::fputs(USAGE, stderr);
      return EXIT_USAGE;
    case ParseResult::run:
      break;
  }
  int status = 0;
  if (options.compare) {
    status = compare(options);
  } else {
    for (const char* file : options.files) {
      Failure failure{};
      if (!inspect(file, options, &failure)) {
        report(file, failure);
        status = EXIT_FILE_FAILED;
      }
    }
  }
  if (!standard_output::finish("mapinfo")) status = EXIT_FILE_FAILED;
  return status;
}
