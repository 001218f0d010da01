// Input and output faults, mostly through the real mapconv: truncated input
// at every length, full and unwritable outputs, inputs that are no regular
// file, paths beyond the system's limits, and an input that changes between
// the checks and the read.
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

std::string unable(const std::string& in, const std::string& out) {
  return "Unable to convert \"" + in + "\" to \"" + out + "\" because...\n";
}
std::string converting(const std::string& in, const std::string& out) {
  return "Converting \"" + in + "\" to \"" + out + "\"\n";
}
std::string read_failure(const std::string& in, const std::string& out, const char* code) {
  return unable(in, out) + "\tthere was an error reading the file \"" + in + "\"\n\t" + code + "\n";
}
std::string write_failure(const std::string& in, const std::string& out, const char* code) {
  return converting(in, out) + unable(in, out) + "\tthere was an error writing to the file \"" + out +
         "\"\n\t" + code + "\n";
}
std::string missing(const std::string& in, const std::string& out) {
  return unable(in, out) + "\t\"" + in + "\" does not exist\n";
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
    EXPECT_EQ(run.err, converting(in, out) + diagnostic + read_failure(in, out, "ERR_PREMATURE_EOF"));
    EXPECT_FALSE(std::filesystem::exists(out));
  }
}

enum class Setup { none, read_only_folder, fifo };

struct FaultCase {
  const char* name;
  std::string input;  // {dir} stands for the case's folder
  std::string output;
  Setup setup;
  int status;
  std::string (*err)(const std::string& in, const std::string& out);
};

// Longer than PATH_MAX (4096) through folders that do not exist, and one
// name longer than NAME_MAX (255).
const std::string kLongPath = "{dir}/" + [] {
  std::string path;
  while (path.size() <= 4200) path += std::string(200, 'd') + "/";
  return path;
}() + "f";
const std::string kLongName = "{dir}/" + std::string(300, 'n');

const FaultCase kFaults[] = {
    {"output on a full device", "{dir}/in.xdt", "/dev/full", Setup::none, 5,
     [](const std::string& in, const std::string& out) {
       return write_failure(in, out, "ERR_CANT_WRITE_FILE");
     }},
    {"output in a read-only folder", "{dir}/in.xdt", "{dir}/locked/out.dat", Setup::read_only_folder, 5,
     [](const std::string& in, const std::string& out) {
       return write_failure(in, out, "ERR_CANT_CREATE_FILE");
     }},
    {"output is a folder", "{dir}/in.xdt", "{dir}", Setup::none, 5,
     [](const std::string& in, const std::string& out) {
       return write_failure(in, out, "ERR_CANT_CREATE_FILE");
     }},
    {"output path beyond PATH_MAX", "{dir}/in.xdt", kLongPath, Setup::none, 5,
     [](const std::string& in, const std::string& out) {
       return write_failure(in, out, "ERR_CANT_CREATE_FILE");
     }},
    {"output name beyond NAME_MAX", "{dir}/in.xdt", kLongName, Setup::none, 5,
     [](const std::string& in, const std::string& out) {
       return write_failure(in, out, "ERR_CANT_CREATE_FILE");
     }},
    {"input is a folder", "{dir}", "{dir}/out.dat", Setup::none, 2, missing},
    {"input is a FIFO", "{dir}/pipe", "{dir}/out.dat", Setup::fifo, 2, missing},
    {"input is a character device", "/dev/zero", "{dir}/out.dat", Setup::none, 2, missing},
    {"input path beyond PATH_MAX", kLongPath, "{dir}/out.dat", Setup::none, 2, missing},
    {"input name beyond NAME_MAX", kLongName, "{dir}/out.dat", Setup::none, 2, missing},
    {"input fails every read", "/proc/self/mem", "{dir}/out.dat", Setup::none, 4,
     [](const std::string& in, const std::string& out) {
       return converting(in, out) + "Error reading the grid size: Input/output error\n" +
              read_failure(in, out, "ERR_CANT_READ_FILE");
     }},
};

void PrintTo(const FaultCase& c, std::ostream* out) { *out << c.name; }

class IoFaultTable : public testing::TestWithParam<FaultCase> {};

TEST_P(IoFaultTable, StatusAndMessage) {
  const FaultCase& c = GetParam();
  const TempDir dir;
  test::write_file(dir.file("in.xdt"), small_grid());
  test::RunOptions options;
  if (c.setup == Setup::fifo) {
    ASSERT_EQ(mkfifo(dir.file("pipe").c_str(), 0600), 0);
  }
  if (c.setup == Setup::read_only_folder) {
    std::filesystem::create_directory(dir.file("locked"));
    std::filesystem::permissions(
        dir.file("locked"), std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec |
                                std::filesystem::perms::group_read | std::filesystem::perms::group_exec |
                                std::filesystem::perms::others_read | std::filesystem::perms::others_exec);
    // Permissions do not stop root: run as nobody, who can reach the folder.
    options.unprivileged = true;
    if (geteuid() == 0) {
      std::filesystem::permissions(dir.path(),
                                   std::filesystem::perms::others_read | std::filesystem::perms::others_exec,
                                   std::filesystem::perm_options::add);
    }
  }
  const std::string in = test::replace_all(c.input, "{dir}", dir.path());
  const std::string out = test::replace_all(c.output, "{dir}", dir.path());
  const test::ProcessResult run = test::run_program(MAPCONV, {in, out}, dir, options);
  EXPECT_EQ(run.status, c.status);
  EXPECT_EQ(run.err, c.err(in, out));
  EXPECT_TRUE(run.out.empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, IoFaultTable, testing::ValuesIn(kFaults),
                         [](const testing::TestParamInfo<FaultCase>& info) {
                           return test::test_name(info.param.name);
                         });

// Names that hold control characters are shown escaped in every message, so
// they cannot move the cursor or forge a line; the files keep their names.
TEST(IoFaults, ControlCharactersInNamesAreShownEscaped) {
  const TempDir dir;
  const TempDir scratch;
  const std::string in = dir.file("in\x1B[2J.xdt");
  const std::string out = dir.file("out\nConversion from \"x\" to \"y\" successful\r.dat");
  const std::string shown_in = dir.file("in\\x1B[2J.xdt");
  const std::string shown_out = dir.file("out\\nConversion from \"x\" to \"y\" successful\\r.dat");
  test::write_file(in, small_grid());
  const struct {
    const char* name;
    std::vector<std::string> arguments;
    int status;
    std::string err;
  } cases[] = {
      {"converted",
       {in, out},
       0,
       converting(shown_in, shown_out) + "Conversion from \"" + shown_in + "\" to \"" + shown_out +
           "\" successful\n"},
      {"output exists",
       {in, out},
       3,
       unable(shown_in, shown_out) + "\t\"" + shown_out + "\" already exists\n"},
      {"input missing",
       {in + "\t", out},
       2,
       unable(shown_in + "\\t", shown_out) + "\t\"" + shown_in + "\\t\" does not exist\n"},
      {"unwritable output",
       {in, dir.file("no\x7F/out.dat")},
       5,
       write_failure(shown_in, dir.file("no\\x7F/out.dat"), "ERR_CANT_CREATE_FILE")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const test::ProcessResult run = test::run_program(MAPCONV, c.arguments, scratch);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.err, c.err);
  }
  EXPECT_EQ(std::filesystem::file_size(out), 834u + 16u);
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
    EXPECT_EQ(err, converting(in, shown) + c.err);
    EXPECT_FALSE(std::filesystem::exists("\xE4\xB8\xAD\xE6\x96\x87"));
  }
  std::filesystem::current_path(previous);
}

}  // namespace
