// mapinfo: prints a summary of XDT surface files, binary data files and X3P
// files, and optionally draws one of them as a false-colour PNG picture.
#include <mapconv/conversion.h>
#include <mapconv/errors.h>
#include <mapconv/map_compare.h>
#include <mapconv/terminal_text.h>
#include <mapconv/version.h>
#include <sys/stat.h>

#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "programs/mapinfo/figure_scale.h"
#include "programs/mapinfo/height_picture.h"
#include "programs/mapinfo/input_spool.h"
#include "programs/mapinfo/map_loading.h"
#include "programs/mapinfo/map_summary.h"
#include "programs/mapinfo/mapinfo_options.h"
#include "programs/mapinfo/mapinfo_plugins.h"
#include "programs/signal_cleanup.h"
#include "programs/standard_output.h"
#include "programs/wide_arguments.h"

namespace {

using mapinfo_options::Options;
using mapinfo_options::ParseResult;

constexpr int EXIT_FILE_FAILED = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_NOT_COMPARABLE = 2;  // --compare: a map has no heights to compare

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
  std::string why;
  const PictureFunctions* pictures = mapinfo_plugins::pictures(&why);
  if (pictures == nullptr) {
    *failure = {ERR_NOT_IMPLEMENTED, "cannot draw the picture without mapinfo's picture module: " + why,
                options.picture};
    return false;
  }
  PictureRequest request{options.picture, options.force, options.size, path, &input};
  const bool legend = options.legend && pictures->legend_available();
  const std::string title =
      legend ? figure_title(path, map.grid.columns, map.grid.rows, &parameters, options.level_given) : "";
  if (legend) request.title = &title;
  request.lateral_resolution = map.lateral_resolution;
  if (options.range_given) request.range = options.range;
  if (!pictures->draw(request, map.grid, heights, options.level_given ? &parameters : nullptr, failure))
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
  switch (mapinfo_options::parse_arguments(argc, argv, &options)) {
    case ParseResult::help:
      std::fputs(mapinfo_options::USAGE, stdout);
      return standard_output::finish("mapinfo") ? 0 : EXIT_FILE_FAILED;
    case ParseResult::version:
      std::fputs("mapinfo " MAPCONV_VERSION "\n", stdout);
      return standard_output::finish("mapinfo") ? 0 : EXIT_FILE_FAILED;
    case ParseResult::usage_error:
      std::fputs(mapinfo_options::USAGE, stderr);
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
