// What mapconv must never do, whatever fails: lose or damage a file. Each
// case runs the real executable and checks the old output byte for byte,
// that nothing else was left in the folder, the status and the messages.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cli_support.h"
#include "test_support.h"

namespace {

using test::Bytes;
using test::TempDir;

const std::string MAPCONV = MAPCONV_EXECUTABLE;
const std::string XDTGEN = XDTGEN_EXECUTABLE;

const Bytes OLD_OUTPUT = {'o', 'l', 'd', ' ', 'd', 'a', 't', 'a'};

std::string unable(const std::string& in, const std::string& out) {
  return "Unable to convert \"" + in + "\" to \"" + out + "\" because...\n";
}
std::string converting(const std::string& in, const std::string& out) {
  return "Converting \"" + in + "\" to \"" + out + "\"\n";
}

// The names in a folder and below it.
std::set<std::string> listing(const std::string& dir) { return test::listing(dir, test::Depth::whole_tree); }

Bytes grid_file(int columns, int rows, float height) {
  return test::xdt_bytes(static_cast<std::uint16_t>(columns), static_cast<std::uint16_t>(rows),
                         test::grid(columns, rows, 1e-5f, [&](int r, int k) { return height * (r - k); }));
}

// Runs xdtgen; the files of the larger cases are made, not committed.
void generate(int columns, int rows, int seed, const std::string& path, const TempDir& scratch) {
  const test::ProcessResult made = test::run_program(
      XDTGEN, {"-s", std::to_string(seed), std::to_string(columns), std::to_string(rows), path}, scratch);
  ASSERT_EQ(made.status, 0) << made.err;
}

enum class Setup {
  none,
  small_disk,        // {dir}/disk is a 64 KiB file system holding the old output
  fifo,              // {dir}/out.dat is a FIFO
  hard_link,         // {dir}/link.xdt is a hard link to the input
  symlink_to_input,  // {dir}/link.xdt is a symbolic link to the input
  symlink_output,    // {dir}/out.dat is a symbolic link to {dir}/target.dat, which holds the old output
  read_only_folder,  // {dir}/locked holds a writable old output and refuses new files
  dangling_link,     // {dir}/out.dat is a symbolic link to {dir}/made.dat, which does not exist
  block_device,      // {dir}/out.dat is a block device (a loop device) holding the old output
  protected_output,  // {dir}/out.dat holds the old output, mode 0444, someone else's; run unprivileged
};

enum class Expect { old_output, converted, no_output };

struct SafetyCase {
  const char* name;
  Setup setup;
  Bytes input;
  std::vector<std::string> arguments;  // {dir} is the case's folder; the input is {dir}/in.xdt
  std::string output;                  // the file whose content is checked afterwards
  int status;
  std::string err;
  Expect expect;
  unsigned long file_size_limit = 0;
};

void PrintTo(const SafetyCase& c, std::ostream* out) { *out << c.name; }

// Takes a file system mounted for a case away again, whatever happened.
struct Unmount {
  std::string path;
  ~Unmount() {
    if (!path.empty()) umount2(path.c_str(), MNT_DETACH);
  }
};

const std::string IN = "{dir}/in.xdt";
const std::string OUT = "{dir}/out.dat";

std::string read_failure(const std::string& diagnostic, const char* code, const std::string& out = OUT) {
  return converting(IN, out) + diagnostic + unable(IN, out) + "\tthere was an error reading the file \"" +
         IN + "\"\n\t" + code + "\n";
}
std::string write_failure(const std::string& out, const char* code) {
  return converting(IN, out) + unable(IN, out) + "\tthere was an error writing to the file \"" + out +
         "\"\n\t" + code + "\n";
}
std::string success(const std::string& out = OUT) {
  return converting(IN, out) + "Conversion from \"" + IN + "\" to \"" + out + "\" successful\n";
}

const Bytes GRID = grid_file(40, 30, 1e-8f);
// 200 x 200 points: an 160,834-byte output, more than the small disk holds.
const Bytes LARGE_GRID = grid_file(200, 200, 1e-8f);
Bytes truncated(Bytes bytes, std::size_t length) {
  bytes.resize(length);
  return bytes;
}
const Bytes UNRESOLVABLE =
    test::xdt_bytes(3, 2, test::grid(3, 2, 1.0f, [](int, int k) { return k == 1 ? 1e-7f : -1.0f; }));

const SafetyCase kCases[] = {
    {"bad input with force",
     Setup::none,
     truncated(GRID, 4 + 12 * 700 + 5),
     {"-f", IN, OUT},
     OUT,
     4,
     read_failure("EOF reading point 701 of 1200\n", "ERR_PREMATURE_EOF"),
     Expect::old_output},
    {"unresolvable input with force",
     Setup::none,
     UNRESOLVABLE,
     {"-f", IN, OUT},
     OUT,
     4,
     read_failure("Could not calculate lateral resolution\n", "ERR_PARAM_OUT_OF_RANGE"),
     Expect::old_output},
    {"full disk with force",
     Setup::small_disk,
     LARGE_GRID,
     {"-f", IN, "{dir}/disk/out.dat"},
     "{dir}/disk/out.dat",
     5,
     write_failure("{dir}/disk/out.dat", "ERR_CANT_WRITE_FILE"),
     Expect::old_output},
    {"file-size limit with force",
     Setup::none,
     GRID,
     {"-f", IN, OUT},
     OUT,
     5,
     write_failure(OUT, "ERR_CANT_WRITE_FILE"),
     Expect::old_output,
     2048},
    {"full device",
     Setup::none,
     GRID,
     {IN, "/dev/full"},
     OUT,
     5,
     write_failure("/dev/full", "ERR_CANT_WRITE_FILE"),
     Expect::no_output},
    {"null device", Setup::none, GRID, {IN, "/dev/null"}, OUT, 0, success("/dev/null"), Expect::no_output},
    {"input as output",
     Setup::none,
     GRID,
     {"-f", IN, IN},
     IN,
     3,
     unable(IN, IN) + "\t\"" + IN + "\" is the input file\n",
     Expect::old_output},
    {"input as output through a hard link",
     Setup::hard_link,
     GRID,
     {"-f", IN, "{dir}/link.xdt"},
     IN,
     3,
     unable(IN, "{dir}/link.xdt") + "\t\"{dir}/link.xdt\" is the input file\n",
     Expect::old_output},
    {"input as output through a symlink",
     Setup::symlink_to_input,
     GRID,
     {"-f", IN, "{dir}/link.xdt"},
     IN,
     3,
     unable(IN, "{dir}/link.xdt") + "\t\"{dir}/link.xdt\" is the input file\n",
     Expect::old_output},
    {"input as output through a hard link without force",
     Setup::hard_link,
     GRID,
     {IN, "{dir}/link.xdt"},
     IN,
     3,
     unable(IN, "{dir}/link.xdt") + "\t\"{dir}/link.xdt\" already exists\n",
     Expect::old_output},
    {"FIFO output",
     Setup::fifo,
     GRID,
     {IN, OUT},
     OUT,
     5,
     write_failure(OUT, "ERR_CANT_CREATE_FILE"),
     Expect::no_output},
    {"FIFO output with force",
     Setup::fifo,
     GRID,
     {"-f", IN, OUT},
     OUT,
     5,
     write_failure(OUT, "ERR_CANT_CREATE_FILE"),
     Expect::no_output},
    {"FIFO output and a bad input",
     Setup::fifo,
     truncated(GRID, 30),
     {IN, OUT},
     OUT,
     4,
     read_failure("EOF reading point 3 of 1200\n", "ERR_PREMATURE_EOF"),
     Expect::no_output},
    {"symlink output is followed",
     Setup::symlink_output,
     GRID,
     {"-f", IN, OUT},
     "{dir}/target.dat",
     0,
     success(),
     Expect::converted},
    {"dangling symlink output",
     Setup::dangling_link,
     GRID,
     {IN, OUT},
     OUT,
     5,
     write_failure(OUT, "ERR_CANT_CREATE_FILE"),
     Expect::no_output},
    {"dangling symlink output with force",
     Setup::dangling_link,
     GRID,
     {"-f", IN, OUT},
     OUT,
     5,
     write_failure(OUT, "ERR_CANT_CREATE_FILE"),
     Expect::no_output},
    {"read-only folder, writable output, bad input, force",
     Setup::read_only_folder,
     UNRESOLVABLE,
     {"-f", IN, "{dir}/locked/out.dat"},
     "{dir}/locked/out.dat",
     4,
     converting(IN, "{dir}/locked/out.dat") + "Could not calculate lateral resolution\n" +
         unable(IN, "{dir}/locked/out.dat") + "\tthere was an error reading the file \"" + IN +
         "\"\n\tERR_PARAM_OUT_OF_RANGE\n",
     Expect::old_output},
    {"block device output",
     Setup::block_device,
     GRID,
     {IN, OUT},
     OUT,
     3,
     unable(IN, OUT) + "\t\"" + OUT + "\" already exists\n",
     Expect::old_output},
    {"block device output with force", Setup::block_device, GRID, {"-f", IN, OUT}, OUT, 0, success(),
     Expect::converted},
    {"write-protected output with force",
     Setup::protected_output,
     GRID,
     {"-f", IN, OUT},
     OUT,
     5,
     write_failure(OUT, "ERR_CANT_CREATE_FILE"),
     Expect::old_output},
    {"read-only folder, writable output, force",
     Setup::read_only_folder,
     GRID,
     {"-f", IN, "{dir}/locked/out.dat"},
     "{dir}/locked/out.dat",
     0,
     success("{dir}/locked/out.dat"),
     Expect::converted},
};

class DataSafety : public testing::TestWithParam<SafetyCase> {};

TEST_P(DataSafety, OldFilesSurviveAndNothingIsLeftBehind) {
  const SafetyCase& c = GetParam();
  const TempDir dir;
  const TempDir scratch;
  const std::string in = dir.file("in.xdt");
  test::write_file(in, c.input);
  test::RunOptions options;
  options.file_size_limit = c.file_size_limit;
  Unmount mounted;
  std::optional<test::LoopDevice> loop;
  switch (c.setup) {
    case Setup::none:
      test::write_file(dir.file("out.dat"), OLD_OUTPUT);
      break;
    case Setup::small_disk:
      std::filesystem::create_directory(dir.file("disk"));
      if (mount("mapconv-test", dir.file("disk").c_str(), "tmpfs", 0, "size=64k") != 0) {
        GTEST_SKIP() << "cannot mount a small file system here (needs root with CAP_SYS_ADMIN)";
      }
      mounted.path = dir.file("disk");
      test::write_file(dir.file("disk/out.dat"), OLD_OUTPUT);
      break;
    case Setup::fifo:
      ASSERT_EQ(mkfifo(dir.file("out.dat").c_str(), 0600), 0);
      break;
    case Setup::hard_link:
      std::filesystem::create_hard_link(in, dir.file("link.xdt"));
      break;
    case Setup::symlink_to_input:
      std::filesystem::create_symlink("in.xdt", dir.file("link.xdt"));
      break;
    case Setup::dangling_link:
      std::filesystem::create_symlink("made.dat", dir.file("out.dat"));
      break;
    case Setup::symlink_output:
      test::write_file(dir.file("target.dat"), OLD_OUTPUT);
      std::filesystem::create_symlink("target.dat", dir.file("out.dat"));
      break;
    case Setup::block_device:
      loop.emplace(dir.file("disk.img"), OLD_OUTPUT, dir.file("out.dat"));
      if (loop->node.empty()) GTEST_SKIP() << "no loop device here (needs root and losetup)";
      break;
    case Setup::protected_output:
      test::write_file(dir.file("out.dat"), OLD_OUTPUT);
      std::filesystem::permissions(dir.file("out.dat"), std::filesystem::perms::owner_read |
                                                            std::filesystem::perms::group_read |
                                                            std::filesystem::perms::others_read);
      // A folder anyone may write in, so that only the file's own
      // protection stands in the way; root runs the case without privileges.
      std::filesystem::permissions(dir.path(), std::filesystem::perms::all);
      std::filesystem::permissions(in, std::filesystem::perms::others_read, std::filesystem::perm_options::add);
      options.unprivileged = true;
      break;
    case Setup::read_only_folder:
      std::filesystem::create_directory(dir.file("locked"));
      test::write_file(dir.file("locked/out.dat"), OLD_OUTPUT);
      std::filesystem::permissions(
          dir.file("locked"), std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec |
                                  std::filesystem::perms::others_read | std::filesystem::perms::others_exec);
      if (geteuid() == 0) {
        // Run without privileges; as nobody where capabilities cannot be
        // dropped, for whom the folder and its output must be reachable.
        options.unprivileged = true;
        std::filesystem::permissions(
            dir.path(), std::filesystem::perms::others_read | std::filesystem::perms::others_exec,
            std::filesystem::perm_options::add);
        std::filesystem::permissions(dir.file("locked/out.dat"), std::filesystem::perms::all,
                                     std::filesystem::perm_options::add);
        std::filesystem::permissions(in, std::filesystem::perms::others_read,
                                     std::filesystem::perm_options::add);
      }
      break;
  }
  const Bytes input_before = test::read_file(in);
  const std::set<std::string> before = listing(dir.path());
  std::vector<std::string> arguments;
  for (const std::string& argument : c.arguments)
    arguments.push_back(test::replace_all(argument, "{dir}", dir.path()));

  const test::ProcessResult run = test::run_program(MAPCONV, arguments, scratch, options);

  EXPECT_EQ(run.status, c.status);
  EXPECT_EQ(run.err, test::replace_all(c.err, "{dir}", dir.path()));
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(test::read_file(in), input_before) << "the input changed";
  const std::string output = test::replace_all(c.output, "{dir}", dir.path());
  if (c.setup == Setup::block_device) {
    // A device keeps its size: what counts is what its first bytes hold.
    const Bytes device = test::read_file(output);
    Bytes expected = OLD_OUTPUT;
    if (c.expect == Expect::converted) {
      ASSERT_EQ(test::run_program(MAPCONV, {in, scratch.file("converted.dat")}, scratch).status, 0);
      expected = test::read_file(scratch.file("converted.dat"));
    }
    ASSERT_GE(device.size(), expected.size());
    EXPECT_EQ(Bytes(device.begin(), device.begin() + static_cast<std::ptrdiff_t>(expected.size())), expected);
    EXPECT_EQ(listing(dir.path()), before);
    return;
  }
  switch (c.expect) {
    case Expect::old_output:
      EXPECT_EQ(test::read_file(output), output == in ? input_before : OLD_OUTPUT);
      EXPECT_EQ(listing(dir.path()), before);
      break;
    case Expect::converted:
      EXPECT_EQ(test::read_file(output).size(), 834u + 4u * 1200u);
      EXPECT_EQ(listing(dir.path()), before);
      break;
    case Expect::no_output:
      EXPECT_EQ(listing(dir.path()), before);
      break;
  }
  if (c.setup == Setup::symlink_output) {
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("out.dat")));
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, DataSafety, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<SafetyCase>& info) {
                           return test::test_name(info.param.name);
                         });

// How far a process has read the file input: the position of its descriptor
// there, or -1 while it has none open. (The output says nothing of progress:
// its whole length is reserved at the start.)
long long position_in(int pid, const std::string& input) {
  const std::string proc = "/proc/" + std::to_string(pid);
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(proc + "/fd", error)) {
    if (std::filesystem::read_symlink(entry.path(), error).string() != input || error) continue;
    std::ifstream info(proc + "/fdinfo/" + entry.path().filename().string());
    std::string key;
    long long position = -1;
    if (info >> key >> position && key == "pos:") return position;
  }
  return -1;
}

// A run killed at any moment leaves the old output as it was and nothing
// else: before it wrote, while it wrote the blocks, and with the file whole.
// SIGTERM, SIGINT and SIGHUP end it by that signal, with nothing left at all.
TEST(DataSafetyKill, KilledRunsLeaveTheOldOutputAlone) {
  const TempDir dir;
  const TempDir scratch;
  const std::string in = dir.file("in.xdt");
  const std::string out = dir.file("out.dat");
  generate(1500, 1500, 7, in, scratch);
  ASSERT_EQ(test::run_program(MAPCONV, {in, scratch.file("converted.dat")}, scratch).status, 0);
  const Bytes converted = test::read_file(scratch.file("converted.dat"));
  const Bytes input = test::read_file(in);
  for (const int signal : {SIGKILL, SIGTERM, SIGINT, SIGHUP})
    for (const double share : {0.0, 0.01, 0.3, 0.7, 1.0}) {
      SCOPED_TRACE("signal " + std::to_string(signal) + " at " + std::to_string(share) + " of the file");
      test::write_file(out, OLD_OUTPUT);
      const std::set<std::string> before = listing(dir.path());
      const test::RunningProgram running = test::start_program(MAPCONV, {"-f", in, out}, scratch);
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
      const auto input_size = static_cast<long long>(input.size());
      // The input is closed once read whole, so a descriptor seen and then
      // gone means all of it was read.
      long long read = 0;
      bool seen = false;
      while (share > 0.0 && read < input_size && std::chrono::steady_clock::now() < deadline) {
        const long long position = position_in(running.pid, in);
        seen = seen || position >= 0;
        read = position >= 0 ? position : seen ? input_size : 0;
        if (read >= static_cast<long long>(share * input_size)) break;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
      kill(running.pid, signal);
      const test::ProcessResult run = test::finish_program(running);
      // Or it finished first.
      EXPECT_TRUE(run.signal == signal || run.status == 0) << run.status;
      std::printf("[ killed   ] with %lld of %lld input bytes read, status %d\n", read, input_size,
                  run.status);
      // Killed before the input was read whole, the run cannot have replaced
      // anything; later, the file is either the old one or the new one whole.
      const Bytes now = test::read_file(out);
      const bool whole_read = read >= input_size;
      if (!whole_read) {
        EXPECT_EQ(now, OLD_OUTPUT);
      } else {
        EXPECT_TRUE(now == OLD_OUTPUT || now == converted) << now.size() << " bytes";
      }
      // Replacing takes two steps, a hidden name for the new file and then the
      // rename over the old one: a SIGKILL between them leaves the new file
      // whole under its hidden name, and only then.
      std::set<std::string> after = listing(dir.path());
      std::erase_if(after, [&](const std::string& name) {
        return signal == SIGKILL && whole_read && name.rfind(".out.dat.", 0) == 0 &&
               test::read_file(dir.file(name)) == converted;
      });
      EXPECT_EQ(after, before);
      for (const std::string& name : listing(dir.path())) std::filesystem::remove(dir.file(name));
      test::write_file(in, input);
    }
}

// Two runs without -f racing to one new name: exactly one wins, and the file
// is the winner's conversion whole.
TEST(DataSafetyRace, ExactlyOneOfTwoRunsCreatesTheOutput) {
  const TempDir dir;
  const TempDir scratch;
  const std::string inputs[] = {dir.file("a.xdt"), dir.file("b.xdt")};
  const std::string expected[] = {dir.file("a.expected"), dir.file("b.expected")};
  for (int i = 0; i < 2; ++i) {
    generate(800, 800, i + 1, inputs[i], scratch);
    ASSERT_EQ(test::run_program(MAPCONV, {inputs[i], expected[i]}, scratch).status, 0);
  }
  const std::string out = dir.file("out.dat");
  for (int attempt = 0; attempt < 5; ++attempt) {
    SCOPED_TRACE("attempt " + std::to_string(attempt));
    std::filesystem::remove(out);
    const test::RunningProgram first = test::start_program(MAPCONV, {inputs[0], out}, scratch);
    const test::RunningProgram second = test::start_program(MAPCONV, {inputs[1], out}, scratch);
    const test::ProcessResult results[] = {test::finish_program(first), test::finish_program(second)};
    const int winners = (results[0].status == 0) + (results[1].status == 0);
    ASSERT_EQ(winners, 1) << results[0].err << results[1].err;
    const int winner = results[0].status == 0 ? 0 : 1;
    const test::ProcessResult& loser = results[1 - winner];
    EXPECT_EQ(loser.status, 3);
    // The loser saw the file either before reading or when it came to put its own in place.
    const std::string exists = unable(inputs[1 - winner], out) + "\t\"" + out + "\" already exists\n";
    EXPECT_TRUE(loser.err == exists || loser.err == converting(inputs[1 - winner], out) + exists)
        << loser.err;
    EXPECT_EQ(test::read_file(out), test::read_file(expected[winner]));
    EXPECT_EQ(listing(dir.path()).size(), 5u);
  }
}

}  // namespace
