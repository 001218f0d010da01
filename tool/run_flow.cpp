#include "tool/run_flow.h"

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "common/errors.h"
#include "common/memory_hooks.h"
#include "common/path.h"
#include "datafile/data_file_writer.h"
#include "tool/conversion.h"
#include "tool/xdt_reader.h"

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
  std::fprintf(stderr, "Unable to convert \"%s\" to \"%s\" because...\n", arguments.input, arguments.output);
}

void print_error_name(ErrorCode code) { std::fprintf(stderr, "\t%s\n", error_names[code]); }

// The report of a failed read ("reading") or write ("writing to").
void report_file_failure(const Arguments& arguments, const char* action, const char* path, ErrorCode code) {
  print_failure_start(arguments);
  std::fprintf(stderr, "\tthere was an error %s the file \"%s\"\n", action, path);
  print_error_name(code);
}

// What one conversion holds; released on every path, heights first.
struct RunState {
  float* heights = nullptr;
  PhaseMap phase_map;

  RunState() { phase_map_clear(&phase_map); }
  ~RunState() {
    // The heights came from memory_hooks.allocate, so they go back through
    // its release, not straight to free.
    if (heights != nullptr) memory_hooks.release(heights);
    phase_map_release(&phase_map);
  }
  RunState(const RunState&) = delete;
  RunState& operator=(const RunState&) = delete;
};

// Reads, converts and writes; returns the exit status and prints every
// report after the "Converting" line.
int convert(const Arguments& arguments) {
  RunState state;
  std::int32_t columns = 0;
  std::int32_t rows = 0;
  float lateral_resolution = 0.0f;
  ErrorCode code =
      read_xdt_file(arguments.input, &columns, &rows, &state.heights, &lateral_resolution, false);
  if (code != NO_ERROR) {
    report_file_failure(arguments, "reading", arguments.input, code);
    return EXIT_READ_FAILED;
  }

  DataFileHeader header;
  build_header(columns, rows, lateral_resolution, &header);
  std::size_t unrepresentable = 0;
  code = build_phase_map(columns, rows, state.heights, phase_counts_per_metre(&header), &state.phase_map,
                         &unrepresentable);
  if (code != NO_ERROR) {
    print_failure_start(arguments);
    print_error_name(code);
    return EXIT_OTHER_FAILURE;
  }
  if (unrepresentable > 0) {
    // At most 32767 * 32767 heights, which fits an int.
    std::fprintf(stderr,
                 "Warning: %d heights could not be represented as phase counts and were written as no data\n",
                 static_cast<int>(unrepresentable));
  }

  code = write_data_file(arguments.output, nullptr, &header, nullptr, &state.phase_map);
  if (code != NO_ERROR) {
    report_file_failure(arguments, "writing to", arguments.output, code);
    return EXIT_WRITE_FAILED;
  }
  return EXIT_CONVERTED;
}

enum class PathKind { regular_file, other, unknown };

// What a path names. unknown: a wide path whose name could not be converted
// for lack of memory, so that nothing can be said about the file.
PathKind path_kind(const char* path) {
  const NativePath native(path);
  if (native.get() == nullptr) return native.out_of_memory() ? PathKind::unknown : PathKind::other;
  struct stat status;
  if (stat(native.get(), &status) != 0) return PathKind::other;
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

int run_mapconv(int argc, char** argv) {
  Arguments arguments;
  if (!parse_arguments(argc, argv, &arguments)) {
    print_usage();
    return EXIT_USAGE;
  }
  const PathKind input = path_kind(arguments.input);
  if (input == PathKind::unknown) return report_unknown_path(arguments);
  if (input != PathKind::regular_file) {
    print_failure_start(arguments);
    std::fprintf(stderr, "\t\"%s\" does not exist\n", arguments.input);
    return EXIT_INPUT_MISSING;
  }
  if (!arguments.force) {
    const PathKind output = path_kind(arguments.output);
    if (output == PathKind::unknown) return report_unknown_path(arguments);
    if (output == PathKind::regular_file) {
      print_failure_start(arguments);
      std::fprintf(stderr, "\t\"%s\" already exists\n", arguments.output);
      return EXIT_OUTPUT_EXISTS;
    }
  }
  std::fprintf(stderr, "Converting \"%s\" to \"%s\"\n", arguments.input, arguments.output);
  const int status = convert(arguments);
  if (status == EXIT_CONVERTED) {
    std::fprintf(stderr, "Conversion from \"%s\" to \"%s\" successful\n", arguments.input, arguments.output);
  }
  return status;
}
