// Input faults through mapconv: truncated input at every length, and an
// input that changes between the checks and the read. Full and unwritable
// outputs, odd inputs and long paths are golden cases (tests/cli/cases).
#include <gtest/gtest.h>
#include <mapconv/memory_hooks.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "cli_support.h"
#include "programs/mapconv/run_flow.h"
#include "test_support.h"

namespace {

using test::Bytes;
using test::TempDir;

const std::string MAPCONV = MAPCONV_EXECUTABLE;

std::string message(const char* key, const std::string& in, const std::string& out) {
  return test::mapconv_message(key, in, out);
}
std::string read_failure(const std::string& in, const std::string& out, const char* code) {
  return message("unable", in, out) + message("reading", in, out) + "\t" + code + "\n";
}

Bytes small_grid() {
  return test::xdt_bytes(2, 2, test::grid(2, 2, 1.0f, [](int r, int k) { return 1e-7f * (r + k); }));
}

// Every prefix of a 2 x 2 file: no counts, counts and some points, whole.
TEST(IoFaults, InputTruncatedAtEveryLength) {
  const TempDir dir;
  const Bytes whole = small_grid();
  const std::string in = dir.file("in.xdt");
  const std::string out = dir.file("out.dat");
  for (std::size_t length = 0; length <= whole.size(); ++length) {
    SCOPED_TRACE("length " + std::to_string(length));
    test::write_file(in, {whole.data(), length});
    std::filesystem::remove(out);
    const test::ProcessResult run = test::run_program(MAPCONV, {in, out}, dir);
    if (length == whole.size()) {
      EXPECT_EQ(run.status, 0) << run.err;
      EXPECT_EQ(std::filesystem::file_size(out), 834u + 16u);
      continue;
    }
    std::string diagnostic;
    if (length >= 4) diagnostic = "EOF reading point " + std::to_string((length - 4) / 12 + 1) + " of 4\n";
    EXPECT_EQ(run.status, 4);
    EXPECT_EQ(run.err,
              message("converting", in, out) + diagnostic + read_failure(in, out, "ERR_PREMATURE_EOF"));
    EXPECT_FALSE(std::filesystem::exists(out));
  }
}

// Runs an action once, at the first allocation the library makes (after
// skip others), then behaves as malloc. With a wide output path that
// allocation is the name conversion of the output check, which comes after
// the input was checked and before it is read; the next one is the read
// buffer, once the input is open and its counts were read.
class ActOnFirstAllocation {
 public:
  explicit ActOnFirstAllocation(std::function<void()> action, int skip = 0) : saved_(memory_hooks) {
    action_ = std::move(action);
    skip_ = skip;
    memory_hooks.allocate = [](std::size_t size) {
      if (action_ && skip_-- == 0) std::exchange(action_, nullptr)();
      return std::malloc(size);
    };
  }
  ~ActOnFirstAllocation() { memory_hooks = saved_; }

 private:
  static inline std::function<void()> action_;
  static inline int skip_ = 0;
  MemoryHooks saved_;
};

TEST(IoFaults, InputChangesBetweenTheChecksAndTheRead) {
  const TempDir dir;
  const auto previous = std::filesystem::current_path();
  // A wide path holds no ASCII unit, so the output is named relative to the folder.
  std::filesystem::current_path(dir.path());
  const std::string in = dir.file("in.xdt");
  const std::string out = "\xFF\xFE\x2D\x4E\x87\x65";
  const std::string shown = "\xFF\xFE\x2D\x4E\\x87\x65";  // 0x87 is a C1 control
  const struct {
    const char* name;
    std::function<void()> change;
    std::string err;
    int skip = 0;
  } cases[] = {
      {"removed", [&] { std::filesystem::remove(in); }, read_failure(in, shown, "ERR_CANT_OPEN_FILE")},
      {"replaced by a folder",
       [&] {
         std::filesystem::remove(in);
         std::filesystem::create_directory(in);
       },
       read_failure(in, shown, "ERR_CANT_OPEN_FILE")},
      {"cut short", [&] { std::filesystem::resize_file(in, 10); },
       "EOF reading point 1 of 4\n" + read_failure(in, shown, "ERR_PREMATURE_EOF")},
      // A disk error is no short file.
      {"failing reads", [&] { test::fail_reads_after(test::descriptor_of(in), 2 * 12 + 7); },
       "Error reading point 3 of 4: Input/output error\n" + read_failure(in, shown, "ERR_CANT_READ_FILE"), 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(in);
    test::write_file(in, small_grid());
    std::string argument_in = in;
    std::string argument_out = out;
    char program[] = "mapconv";
    char* argv[] = {program, argument_in.data(), argument_out.data(), nullptr};
    int status = -1;
    std::string err;
    {
      const test::StderrCapture capture;
      const ActOnFirstAllocation hooks(c.change, c.skip);
      status = run_mapconv(3, argv);
      err = capture.text();
    }
    EXPECT_EQ(status, 4);
    EXPECT_EQ(err, message("converting", in, shown) + c.err);
    EXPECT_FALSE(std::filesystem::exists("\xE4\xB8\xAD\xE6\x96\x87"));
  }
  std::filesystem::current_path(previous);
}

}  // namespace
