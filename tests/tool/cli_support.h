// Runs the real executables from the outside and builds the data files that
// mapconv should write, independently of the writer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "test_support.h"

namespace test {

struct ProcessResult {
  int status = -1;  // exit status, or -1 when the process did not exit normally
  std::string out;
  std::string err;
};

// Runs program with the given arguments (argv[0] is the program path),
// standard input closed, stdout and stderr captured through files in scratch.
ProcessResult run_program(const std::string& program, const std::vector<std::string>& arguments,
                          const TempDir& scratch);

// The bytes mapconv writes for a grid: the 834-byte format-1 header with the
// fixed interferometer settings, then the counts big-endian.
Bytes expected_data_file(std::int16_t columns, std::int16_t rows, float lateral_resolution,
                         const std::vector<std::int32_t>& counts);

}  // namespace test
