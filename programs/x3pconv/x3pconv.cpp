// x3pconv: X3P surface files to and from data files and XDT grids.
// The conversions are the X3P library's; this file parses the command line
// and reports as mapconv does, every word on the standard error stream.
#include <mapconv/data_file_reader.h>
#include <mapconv/errors.h>
#include <mapconv/output_file.h>
#include <mapconv/path.h>
#include <mapconv/terminal_text.h>
#include <mapconv/version.h>
#include <mapconv/x3p.h>
#include <strings.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "programs/mapconv/run_flow.h"
#include "programs/signal_cleanup.h"
#include "programs/wide_arguments.h"

namespace {

constexpr const char* USAGE =
    "Usage: x3pconv [-f] [-t x3p|data|xdt] INPUT OUTPUT\n"
    "Converts an X3P surface file to a data file or an XDT grid, or either of those to an X3P file.\n"
    "The kind of INPUT is found from its content; the kind of OUTPUT from its extension\n"
    "(.x3p for X3P, .xdt for XDT, anything else for a data file), or from -t.\n"
    "  -f              replace OUTPUT if it exists\n"
    "  -t KIND         write OUTPUT as KIND: x3p, data or xdt\n"
    "  -h, --help      show this text\n"
    "  --version       show the version\n";

enum class Kind { none, x3p, data, xdt };

struct Arguments {
  const char* input = nullptr;
  const char* output = nullptr;
  bool force = false;
  Kind output_kind = Kind::none;
};

enum class Parse { run, help, version, usage };

Parse parse_arguments(int argc, char** argv, Arguments* arguments) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--help" || argument == "-h") return Parse::help;
    if (argument == "--version") return Parse::version;
    if (argument == "-f") {
      arguments->force = true;
    } else if (argument == "-t") {
      if (i + 1 >= argc) return Parse::usage;
      const std::string_view kind = argv[++i];
      if (kind == "x3p") {
        arguments->output_kind = Kind::x3p;
      } else if (kind == "data") {
        arguments->output_kind = Kind::data;
      } else if (kind == "xdt") {
        arguments->output_kind = Kind::xdt;
      } else {
        return Parse::usage;
      }
    } else if (argument.size() > 1 && argument[0] == '-') {
      return Parse::usage;
    } else if (arguments->input == nullptr) {
      arguments->input = argv[i];
    } else if (arguments->output == nullptr) {
      arguments->output = argv[i];
    } else {
      return Parse::usage;
    }
  }
  return arguments->input != nullptr && arguments->output != nullptr ? Parse::run : Parse::usage;
}

// A ZIP container is taken for X3P even when it is damaged, so that the X3P
// reader says what is wrong with it rather than the XDT reader.
bool starts_as_zip(const char* path) {
  std::FILE* file = u_open_path(path, "rb");
  if (file == nullptr) return false;
  unsigned char magic[4] = {};
  const bool zip = std::fread(magic, 1, 4, file) == 4 && std::memcmp(magic, "PK\x03\x04", 4) == 0;
  std::fclose(file);
  return zip;
}

Kind kind_from_name(const char* path) {
  const std::size_t length = std::strlen(path);
  if (length >= 4 && strcasecmp(path + length - 4, ".x3p") == 0) return Kind::x3p;
  if (length >= 4 && strcasecmp(path + length - 4, ".xdt") == 0) return Kind::xdt;
  return Kind::data;
}

void print_failure_start(const Arguments& a) {
  u_print_names(stderr, "Unable to convert \"%s\" to \"%s\" because...\n", a.input, a.output);
}

void report_file_failure(const Arguments& a, const char* action, const char* path, ErrorCode code) {
  print_failure_start(a);
  u_print_names(stderr, "\tthere was an error %s the file \"%s\"\n", action, path);
  std::fprintf(stderr, "\t%s\n", error_names[code]);
}

int run(const Arguments& a) {
  struct stat status;
  if (u_stat_path(a.input, &status) != 0 || !S_ISREG(status.st_mode)) {
    print_failure_start(a);
    u_print_names(stderr, "\t\"%s\" does not exist\n", a.input);
    return EXIT_INPUT_MISSING;
  }
  const Kind input = looks_like_x3p(a.input) || starts_as_zip(a.input) ? Kind::x3p
                     : starts_as_data_file(a.input)                    ? Kind::data
                                                                       : Kind::xdt;
  const Kind output = a.output_kind != Kind::none ? a.output_kind : kind_from_name(a.output);
  if ((input == Kind::x3p) == (output == Kind::x3p)) {
    print_failure_start(a);
    u_print_names(stderr,
                  "\t\"%s\" is %s and the output would be too: x3pconv converts between X3P and the others\n",
                  a.input,
                  input == Kind::x3p    ? "an X3P file"
                  : input == Kind::data ? "a data file"
                                        : "an XDT grid");
    return EXIT_USAGE;
  }
  const unsigned flags = a.force ? OUTPUT_REPLACE : 0u;
  OutputCheck check;
  if (output_file_check(a.output, flags, a.input, &check) != NO_ERROR) {
    print_failure_start(a);
    std::fprintf(stderr, "\t%s\n", error_names[ERR_NO_MEM]);
    return EXIT_OTHER_FAILURE;
  }
  if (check.name_taken || check.is_input) {
    print_failure_start(a);
    u_print_names(stderr, check.name_taken ? "\t\"%s\" already exists\n" : "\t\"%s\" is the input file\n",
                  a.output);
    return EXIT_OUTPUT_EXISTS;
  }
  u_print_names(stderr, "Converting \"%s\" to \"%s\"\n", a.input, a.output);
  X3pConversionResult result;
  if (input == Kind::x3p && output == Kind::xdt) {
    convert_x3p_to_xdt(a.input, a.output, flags, &result);
  } else if (input == Kind::x3p) {
    convert_x3p_to_data_file(a.input, a.output, flags, &result);
  } else if (input == Kind::data) {
    convert_data_file_to_x3p(a.input, a.output, flags, &result);
  } else {
    convert_xdt_to_x3p(a.input, a.output, flags, &result);
  }
  if (result.read_failure != NO_ERROR) {
    report_file_failure(a, "reading", a.input, result.read_failure);
    return EXIT_READ_FAILED;
  }
  if (result.unrepresentable > 0) {
    std::fprintf(
        stderr,
        "Warning: %llu heights could not be represented as phase counts and were written as no data\n",
        static_cast<unsigned long long>(result.unrepresentable));
  }
  if (result.increments_differ) {
    std::fprintf(stderr,
                 "Warning: the Y increment (%.9g m) differs from the X increment (%.9g m); "
                 "the data file keeps the X increment as its lateral resolution\n",
                 result.y_increment, result.x_increment);
  }
  if (result.write_failure != NO_ERROR) {
    if (result.name_taken || result.same_file) {
      print_failure_start(a);
      u_print_names(stderr, result.name_taken ? "\t\"%s\" already exists\n" : "\t\"%s\" is the input file\n",
                    a.output);
      return EXIT_OUTPUT_EXISTS;
    }
    if (result.write_failure == ERR_NO_MEM) {
      print_failure_start(a);
      std::fprintf(stderr, "\t%s\n", error_names[ERR_NO_MEM]);
      return EXIT_OTHER_FAILURE;
    }
    report_file_failure(a, "writing to", a.output, result.write_failure);
    return EXIT_WRITE_FAILED;
  }
  u_print_names(stderr, "Conversion from \"%s\" to \"%s\" successful\n", a.input, a.output);
  return EXIT_CONVERTED;
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGXFSZ, SIG_IGN);
  signal_cleanup::install();
  if (!wide_arguments::terminate(argc, argv)) {
    std::fputs("x3pconv: out of memory\n", stderr);
    return EXIT_OTHER_FAILURE;
  }
  Arguments arguments;
  switch (parse_arguments(argc, argv, &arguments)) {
    case Parse::help:
      std::fputs(USAGE, stderr);
      return EXIT_CONVERTED;
    case Parse::version:
      std::fputs("x3pconv " MAPCONV_VERSION "\n", stderr);
      return EXIT_CONVERTED;
    case Parse::usage:
      std::fputs(USAGE, stderr);
      return EXIT_USAGE;
    case Parse::run:
      break;
  }
  return run(arguments);
}
