// The mapconv command: argument grammar, path checks, reading, conversion,
// writing, reports on the standard error stream and the exit status.
#pragma once

#include <cstddef>

// Exit statuses of a run.
enum ExitStatus : int {
  EXIT_CONVERTED = 0,
  EXIT_USAGE = 1,
  EXIT_INPUT_MISSING = 2,
  EXIT_OUTPUT_EXISTS = 3,
  EXIT_READ_FAILED = 4,
  EXIT_WRITE_FAILED = 5,
  EXIT_OTHER_FAILURE = 9,
};

// True exactly when path (under the library's path convention) names an
// existing regular file; directories, devices and failed queries give false.
bool file_exists(const char* path);

// Runs one conversion for the command line argv[0..argc-1] and returns the
// exit status. Prints only on the standard error stream. When a wide input
// or output path cannot even be converted for the existence checks (no
// memory), the run ends with EXIT_OTHER_FAILURE and ERR_NO_MEM.
int run_mapconv(int argc, char** argv);

// run_mapconv converting piece_points points at a time (at least one); the
// result does not depend on it, which is what tests use it to show.
int run_mapconv_in_pieces(int argc, char** argv, std::size_t piece_points);
