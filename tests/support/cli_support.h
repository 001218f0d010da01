// Runs the real executables from the outside and builds the data files that
// mapconv should write, independently of the writer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "test_support.h"

namespace test {

struct ProcessResult {
  int status = -1;  // exit status, or 128 + the signal's number as shells show it
  int signal = 0;   // the signal that ended the process, 0 when it exited
  std::string out;
  std::string err;
};

struct RunOptions {
  // When the tests run as root, the program runs without any capability, so
  // that permission bits count for it; where capabilities cannot be dropped
  // it runs as nobody (uid and gid 65534), and the files it needs must then
  // be reachable by others.
  bool unprivileged = false;
  // RLIMIT_FSIZE in bytes for the program; 0 leaves it unlimited.
  unsigned long file_size_limit = 0;
  // A program still running this long after its start is killed, and
  // finish_program throws: a test fails rather than hangs. Ten times as
  // long under MAPCONV_TEST_WRAPPER (valgrind is slow).
  int time_limit_seconds = 60;
  // Signals the program starts with ignored, as under nohup.
  std::vector<int> ignored_signals;
};

// A program started and not yet waited for.
struct RunningProgram {
  int pid = -1;
  long long deadline_ms = 0;  // on the monotonic clock
  std::string program;
  std::string out_path;
  std::string err_path;
};

// Starts program as run_program does, without waiting for it.
RunningProgram start_program(const std::string& program, const std::vector<std::string>& arguments,
                             const TempDir& scratch, const RunOptions& options = {});

// Waits for a started program, at most until its time limit, and collects
// what it printed.
ProcessResult finish_program(const RunningProgram& running);

// Runs program with the given arguments (argv[0] is the program path),
// standard input closed, stdout and stderr captured through files in scratch.
// The words of the environment variable MAPCONV_TEST_WRAPPER, if set (a
// command such as valgrind with its options), go in front of the program.
ProcessResult run_program(const std::string& program, const std::vector<std::string>& arguments,
                          const TempDir& scratch, const RunOptions& options = {});

// The bytes mapconv writes for a grid: the 834-byte format-1 header with the
// fixed interferometer settings, then the counts big-endian.
Bytes expected_data_file(std::int16_t columns, std::int16_t rows, float lateral_resolution,
                         const std::vector<std::int32_t>& counts);

// A case's description as a test name: every character but letters and
// digits becomes an underscore.
std::string test_name(std::string description);

}  // namespace test
