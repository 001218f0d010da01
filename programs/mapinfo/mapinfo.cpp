// mapinfo: prints a summary of XDT surface files, binary data files and X3P
// files, and optionally draws one of them as a false-colour PNG picture.
#include <mapconv/conversion.h>
#include <mapconv/errors.h>
#include <mapconv/map_compare.h>
#include <mapconv/terminal_text.h>
#include <mapconv/version.h>
#include <sys/stat.h>

#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "programs/mapinfo/figure_scale.h"
#include "programs/mapinfo/height_picture.h"
#include "programs/mapinfo/input_spool.h"
#include "programs/mapinfo/map_loading.h"
#include "programs/mapinfo/map_summary.h"
#include "programs/signal_cleanup.h"
#include "programs/standard_output.h"
#include "programs/wide_arguments.h"

namespace {

constexpr int EXIT_FILE_FAILED = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_NOT_COMPARABLE = 2;  // --compare: a map has no heights to compare

constexpr const char* USAGE =
    "usage: mapinfo [--json] [--level plane|mean]\n"
    "               [--png PICTURE [--size PIXELS] [--range MIN MAX] [--no-legend] [-f]] FILE...\n"
    "       mapinfo --compare A B\n"
    "Prints a summary of each XDT surface file, binary data file or X3P file (a\n"
    "pipe such as /dev/stdin too), with the areal height parameters Sa Sq Ssk\n"
    "Sku Sp Sv Sz.\n"
    "  --json          one JSON object per file, one per line\n"
    "  --level FORM    remove the least-squares plane (default) or the mean\n"
    "                  height before the parameters; given, also for --png\n"
    "  --compare A B   check that two maps of one grid hold the same heights:\n"
    "                  exit 0 if they do (within half a phase count between a\n"
    "                  data file and another kind), 1 if not, 2 if a data file's\n"
    "                  wavelength or scale factor gives no height scale\n"
    "  --png PICTURE   also draw the heights as a false-colour PNG (one FILE only)\n"
    "  --size PIXELS   the picture's longer side, 1 to 65535 (default: one pixel\n"
    "                  per point, at most 2048)\n"
    "  --range MIN MAX the colour scale's heights in nm, MIN below MAX (default:\n"
    "                  the map's, or -Sv to Sp with --level)\n"
    "  --no-legend     the map alone, without title, colour bar and scale bar\n"
    "  -f, --force     replace an existing picture\n"
    "  -h, --help      show this text\n"
    "  --version       show the version\n";

struct Options {
  bool json = false;
  bool force = false;
  const char* picture = nullptr;
  std::uint32_t size = 0;  // 0: the default rule
  bool legend = true;
  bool range_given = false;
  double range[2] = {0, 0};  // nanometres, lowest first
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

// A colour range end: a finite number of nanometres, at most a kilometre
// either way (so that the span stays finite), nothing else in the text.
bool parse_height(std::string_view text, double* height) {
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc{} || end != text.data() + text.size() || !std::isfinite(value) ||
      std::fabs(value) > 1e12)
    return false;
  *height = value;
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
    } else if (argument == "--no-legend") {
      options->legend = false;
    } else if (argument == "--range") {
      if (options->range_given || i + 2 >= argc || !parse_height(argv[i + 1], &options->range[0]) ||
          !parse_height(argv[i + 2], &options->range[1]) || !(options->range[0] < options->range[1])) {
        std::fputs("mapinfo: --range: needs two heights in nm, MIN below MAX, given once\n", stderr);
        return ParseResult::usage_error;
      }
      i += 2;
      options->range_given = true;
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
                           options->level_given || options->json || size_given || options->force ||
                           options->range_given || !options->legend)) {
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
  if ((options->range_given || !options->legend) && options->picture == nullptr) {
    std::fputs("mapinfo: --range and --no-legend shape a picture; give --png as well\n", stderr);
    return ParseResult::usage_error;
  }
  return ParseResult::run;
}

void report(const char* file, const Failure& failure) {
  const char* subject = failure.subject != nullptr ? failure.subject : file;
  if (failure.code == NO_ERROR) {
    u_print_names(stderr, "mapinfo: %s: %s\n", subject, failure.reason.c_str());
  } else {
    u_print_names(stderr, "mapinfo: %s: %s (%s)\n", subject, failure.reason.c_str(),
                  u_error_string(failure.code));
  }
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
  if (!load_map(readable.c_str(), &map, failure)) return false;

  if (map.heights_unknown[0] != '\0') return summarise_counts(path, options, map, failure);
  HeightStatistics heights{};
  HeightParameters parameters{};
  const ErrorCode code =
      measure_heights(map.grid, map.lateral_resolution, options.level, &heights, &parameters);
  if (code != NO_ERROR) {
    *failure = {code, "cannot compute the height parameters"};
    return false;
  }
  print_summary(path, options, map.summary(path, heights, &parameters));

  if (options.picture == nullptr) return true;
  PictureRequest request{options.picture, options.force, options.size, path, &input};
  const bool legend = options.legend && picture_legend_available();
  const std::string title =
      legend ? figure_title(path, map.grid.columns, map.grid.rows, &parameters, options.level_given) : "";
  if (legend) request.title = &title;
  request.lateral_resolution = map.lateral_resolution;
  if (options.range_given) request.range = options.range;
  if (!draw_height_picture(request, map.grid, heights, options.level_given ? &parameters : nullptr, failure))
    return false;
  if (options.legend && !legend)
    u_print_names(stderr,
                  "mapinfo: %s: drawn without its legend, which needs mapinfo built with cairo and pango "
                  "(libcairo2-dev, libpango1.0-dev)\n",
                  options.picture);
  return true;
}

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
  const ErrorCode code = compare_maps(readable[0].c_str(), readable[1].c_str(), &result);
  if (code != NO_ERROR) {
    const int reason = errno;
    report(options.files[result.failed_file == 2 ? 1 : 0],
           comparison_failure(code, result, reason, words.text(), readable));
    return result.height_scale_fault != HEIGHT_SCALE_USABLE ? EXIT_NOT_COMPARABLE : EXIT_FILE_FAILED;
  }
  for (int k = 0; k < 2; ++k) {
    std::fputs(k == 0 ? "A: " : "B: ", stdout);
    u_write_escaped(stdout, options.files[static_cast<std::size_t>(k)]);
    std::fprintf(stdout, " (%s, %" PRId32 " columns x %" PRId32 " rows)\n", kind_name(result.kind[k]),
                 result.columns[k], result.rows[k]);
  }
  const std::string out = comparison_text(result);
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
