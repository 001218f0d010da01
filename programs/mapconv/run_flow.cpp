#include "programs/mapconv/run_flow.h"

#include <mapconv/conversion.h>
#include <mapconv/errors.h>
#include <mapconv/output_file.h>
#include <mapconv/path.h>
#include <mapconv/terminal_text.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>

namespace {

struct Arguments {
  const char* input = nullptr;
  const char* output = nullptr;
  bool force = false;
};

void print_usage() {
  std::fprintf(stderr, "\nUsage:  mapconv [options] input output\n");
  std::fprintf(stderr, "\tinput  = existing XDT data file\n");
  std::fprintf(stderr, "\toutput = Ondrel binary data file to create\n");
  std::fprintf(stderr, "\n\tOptions:\n");
  std::fprintf(stderr, "\t\t-f\twrites output even if file already exists\n");
}

// Only an option's second character counts: -f, -fx and -fast all set force.
// False at the first argument that breaks the grammar.
bool parse_arguments(int argc, char** argv, Arguments* arguments) {
  if (argc < 3) return false;
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    if (argument[0] == '-') {
      if (argument[1] != 'f') return false;
      arguments->force = true;
    } else if (arguments->input == nullptr) {
      arguments->input = argument;
    } else if (arguments->output == nullptr) {
      arguments->output = argument;
    } else {
      return false;
    }
  }
  return arguments->input != nullptr && arguments->output != nullptr;
}

void print_failure_start(const Arguments& arguments) {
  u_print_names(stderr, "Unable to convert \"%s\" to \"%s\" because...\n", arguments.input, arguments.output);
}

int report_existing_output(const Arguments& arguments) {
  print_failure_start(arguments);
  u_print_names(stderr, "\t\"%s\" already exists\n", arguments.output);
  return EXIT_OUTPUT_EXISTS;
}

// Replacing it would lose the measurement the output is made from.
int report_input_as_output(const Arguments& arguments) {
  print_failure_start(arguments);
  u_print_names(stderr, "\t\"%s\" is the input file\n", arguments.output);
  return EXIT_OUTPUT_EXISTS;
}

void print_error_name(ErrorCode code) { std::fprintf(stderr, "\t%s\n", error_names[code]); }

// The report of a failed read ("reading") or write ("writing to").
void report_file_failure(const Arguments& arguments, const char* action, const char* path, ErrorCode code) {
  print_failure_start(arguments);
  u_print_names(stderr, "\tthere was an error %s the file \"%s\"\n", action, path);
  print_error_name(code);
}

// Converts through the library's session and prints every report after the
// "Converting" line, in the order of reading the whole grid first: a read
// failure wins over a write failure. Returns the exit status.
int convert(const Arguments& arguments, std::size_t piece_points) {
  const ConversionOptions options{arguments.force ? OUTPUT_REPLACE : 0u, piece_points, nullptr};
  ConversionResult result;
  convert_xdt_file(arguments.input, arguments.output, &options, &result);
  if (result.read_failure != NO_ERROR) {
    report_file_failure(arguments, "reading", arguments.input, result.read_failure);
    return EXIT_READ_FAILED;
  }
  if (result.setup_failure != NO_ERROR) {
    print_failure_start(arguments);
    print_error_name(result.setup_failure);
    return EXIT_OTHER_FAILURE;
  }
  if (result.unrepresentable > 0) {
    // At most 32767 * 32767 heights, which fits an int.
    std::fprintf(stderr,
                 "Warning: %d heights could not be represented as phase counts and were written as no data\n",
                 static_cast<int>(result.unrepresentable));
  }
  if (result.write_failure != NO_ERROR) {
    // Without -f a file that took the name while the input was read is kept,
    // and reported as if it had been there from the start.
    if (result.name_taken) return report_existing_output(arguments);
    if (result.same_file) return report_input_as_output(arguments);
    report_file_failure(arguments, "writing to", arguments.output, result.write_failure);
    return EXIT_WRITE_FAILED;
  }
  return EXIT_CONVERTED;
}

enum class PathKind { regular_file, other, unknown };

// What a path names. unknown: a wide path whose name could not be converted
// for lack of memory, so that nothing can be said about the file.
PathKind path_kind(const char* path) {
  struct stat status;
  if (u_stat_path(path, &status) != 0) {
    return errno == ENOMEM && u_path_is_wide(path) ? PathKind::unknown : PathKind::other;
  }
  return S_ISREG(status.st_mode) ? PathKind::regular_file : PathKind::other;
}

// A check that could not be made is no answer: an existing output taken for
// absent would be overwritten without -f.
int report_unknown_path(const Arguments& arguments) {
  print_failure_start(arguments);
  print_error_name(ERR_NO_MEM);
  return EXIT_OTHER_FAILURE;
}

}  // namespace

bool file_exists(const char* path) { return path_kind(path) == PathKind::regular_file; }

int run_mapconv(int argc, char** argv) { return run_mapconv_in_pieces(argc, argv, CONVERSION_PIECE_POINTS); }

int run_mapconv_in_pieces(int argc, char** argv, std::size_t piece_points) {
  Arguments arguments;
  if (!parse_arguments(argc, argv, &arguments)) {
    print_usage();
    return EXIT_USAGE;
  }
  const PathKind input = path_kind(arguments.input);
  if (input == PathKind::unknown) return report_unknown_path(arguments);
  if (input != PathKind::regular_file) {
    print_failure_start(arguments);
    u_print_names(stderr, "\t\"%s\" does not exist\n", arguments.input);
    return EXIT_INPUT_MISSING;
  }
  // The library refuses these too; found now, they are reported before the run starts.
  OutputCheck check;
  if (output_file_check(arguments.output, arguments.force ? OUTPUT_REPLACE : 0u, arguments.input, &check) !=
      NO_ERROR)
    return report_unknown_path(arguments);
  if (check.name_taken) return report_existing_output(arguments);
  if (check.is_input) return report_input_as_output(arguments);
  u_print_names(stderr, "Converting \"%s\" to \"%s\"\n", arguments.input, arguments.output);
  // Out before the conversion starts, which may take a while; where stderr
  // is buffered (the program's), the rest of the report follows in one piece.
  std::fflush(stderr);
  const int status = convert(arguments, piece_points == 0 ? 1 : piece_points);
  if (status == EXIT_CONVERTED) {
    u_print_names(stderr, "Conversion from \"%s\" to \"%s\" successful\n", arguments.input, arguments.output);
  }
  return status;
}
