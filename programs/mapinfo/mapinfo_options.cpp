#include "programs/mapinfo/mapinfo_options.h"

#include <mapconv/terminal_text.h>

#include <charconv>
#include <cstdio>
#include <string_view>

#include "programs/mapinfo/figure_scale.h"
#include "programs/mapinfo/height_picture.h"

namespace mapinfo_options {

const char* const USAGE =
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

namespace {

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

// A colour range end: a number of nanometres, nothing else in the text
// (colour_range_valid judges the pair).
bool parse_height(std::string_view text, double* height) {
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc{} || end != text.data() + text.size()) return false;
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

}  // namespace

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
          !parse_height(argv[i + 2], &options->range[1]) ||
          !colour_range_valid(options->range[0], options->range[1])) {
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

}  // namespace mapinfo_options
