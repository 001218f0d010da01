// Shared by the fuzz targets: invariant checks that abort, and a quiet
// standard error stream that still lets sanitizer reports through.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "test_support.h"

namespace fuzz {

// Ends the run with a crash the fuzzer records when an invariant fails.
[[noreturn]] void fail(const char* what);
inline void check(bool holds, const char* what) {
  if (!holds) fail(what);
}

// Points fd 2 at /dev/null for the rest of the process, so the millions of
// diagnostics the code under test prints cost nothing. Sanitizer reports
// and fail() go to a copy of the original stream, and at exit one line
// gives the number of inputs run. Call once, from LLVMFuzzerInitialize.
void quiet_stderr(const char* target);

// A path naming a file that holds exactly the bytes: one memory file,
// refilled on every call.
const char* memory_file(std::span<const std::uint8_t> bytes);

// A fresh folder under the system's temporary folder, removed at exit.
std::string scratch_folder();

// Makes the file at path hold exactly the bytes (throws, and so ends the
// run, when it cannot).
using test::write_file;

// Counts one input for the exit line.
void count_input();

// Reads the fuzzer's bytes front to back; past the end every read gives 0.
class ByteReader {
 public:
  explicit ByteReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  std::uint8_t byte() { return next_ < bytes_.size() ? bytes_[next_++] : 0; }
  std::uint16_t u16() { return static_cast<std::uint16_t>(byte() | (byte() << 8)); }
  std::span<const std::uint8_t> rest() const { return bytes_.subspan(next_); }
  bool empty() const { return next_ >= bytes_.size(); }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t next_ = 0;
};

}  // namespace fuzz
