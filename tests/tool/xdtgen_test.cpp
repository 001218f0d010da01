// xdtgen's output and messages from the outside: an existing file is kept
// unless -f is given, a failed run leaves the folder as it was, names are
// escaped on the terminal, and help and version go to standard output.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mapconv/version.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
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
using test::listing;
using test::replace_all;
using test::TempDir;

const std::string XDTGEN = XDTGEN_EXECUTABLE;
const Bytes OLD = {'o', 'l', 'd', '\n'};
constexpr mode_t OLD_MODE = 0640;

enum class Setup {
  none,
  old_file,             // {out} holds OLD with mode 0640
  fifo,                 // {out} is a FIFO
  socket,               // {out} is a bound Unix socket
  appears,              // {out} is made, holding OLD, just after xdtgen starts
  dangling,             // {out} is a symbolic link to {dir}/made.xdt, which does not exist
  old_file_terminated,  // old_file, and SIGTERM comes while xdtgen writes
  block_device,         // {out} is a block device (a loop device) that starts with OLD
  protected_file,       // {out} holds OLD, mode 0444, in a folder anyone may write; run unprivileged
};
enum class Expect { nothing, old_file, new_file };

struct Case {
  const char* name;
  Setup setup;
  std::vector<std::string> arguments;  // {out} is {dir}/ plus the case's file name
  int status;
  std::string err;  // {dir}, {out} and {usage} (the help text) are replaced
  std::string out;
  Expect expect;
  unsigned long file_size_limit = 0;
  std::string file = "out.xdt";
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

const std::string EXISTS = "xdtgen: \"{out}\" already exists (use -f to replace it)\n";
const std::string TOO_LARGE = "xdtgen: cannot write \"{out}\": File too large\n";
const std::string FULL = "xdtgen: cannot write \"/dev/full\": No space left on device\n";
const std::string NOT_A_FILE = "xdtgen: cannot create \"{out}\": No such device or address\n";

const Case kCases[] = {
    {"new file", Setup::none, {"4", "3", "{out}"}, 0, "", "", Expect::new_file},
    {"existing file", Setup::old_file, {"4", "3", "{out}"}, 2, EXISTS, "", Expect::old_file},
    {"existing file with -f", Setup::old_file, {"-f", "4", "3", "{out}"}, 0, "", "", Expect::new_file},
    {"existing file with --force last",
     Setup::old_file,
     {"4", "3", "{out}", "--force"},
     0,
     "",
     "",
     Expect::new_file},
    {"dangling symbolic link with -f",
     Setup::dangling,
     {"-f", "4", "3", "{out}"},
     2,
     "xdtgen: cannot create \"{out}\": the symbolic link points nowhere\n",
     "",
     Expect::nothing},
    {"terminated while writing",
     Setup::old_file_terminated,
     {"-f", "1500", "1500", "{out}"},
     128 + SIGTERM,
     "",
     "",
     Expect::old_file},
    {"existing block device", Setup::block_device, {"4", "3", "{out}"}, 2, EXISTS, "", Expect::old_file},
    {"write-protected file with -f",
     Setup::protected_file,
     {"-f", "4", "3", "{out}"},
     2,
     "xdtgen: cannot create \"{out}\": Permission denied\n",
     "",
     Expect::old_file},
    {"name taken during the run", Setup::appears, {"1500", "1500", "{out}"}, 2, EXISTS, "", Expect::old_file},
    {"full device", Setup::none, {"300", "300", "/dev/full"}, 2, FULL, "", Expect::nothing},
    {"null device", Setup::none, {"300", "300", "/dev/null"}, 0, "", "", Expect::nothing},
    {"FIFO", Setup::fifo, {"4", "4", "{out}"}, 2, NOT_A_FILE, "", Expect::nothing},
    {"socket with -f", Setup::socket, {"-f", "4", "4", "{out}"}, 2, NOT_A_FILE, "", Expect::nothing},
    {"folder",
     Setup::none,
     {"-f", "4", "4", "{dir}"},
     2,
     "xdtgen: cannot create \"{dir}\": Is a directory\n",
     "",
     Expect::nothing},
    {"file-size limit with -f",
     Setup::old_file,
     {"-f", "100", "100", "{out}"},
     2,
     TOO_LARGE,
     "",
     Expect::old_file,
     4096},
    {"file-size limit", Setup::none, {"100", "100", "{out}"}, 2, TOO_LARGE, "", Expect::nothing, 4096},
    {"control characters in an existing name",
     Setup::old_file,
     {"4", "4", "{out}"},
     2,
     "xdtgen: \"{dir}/a\\x1B[2J\\n\\x7F\xC3\xA9.xdt\" already exists (use -f to replace it)\n",
     "",
     Expect::old_file,
     0,
     "a\x1B[2J\n\x7F\xC3\xA9.xdt"},
    {"control characters in a missing folder",
     Setup::none,
     {"4", "4", "{dir}/no\tfolder/x.xdt"},
     2,
     "xdtgen: cannot create \"{dir}/no\\tfolder/x.xdt\": No such file or directory\n",
     "",
     Expect::nothing},
    {"control characters in a bad value",
     Setup::none,
     {"-s", "\x1B]0;x\a", "4", "4", "{out}"},
     1,
     "xdtgen: invalid value \"\\x1B]0;x\\a\" for -s\n{usage}",
     "",
     Expect::nothing},
    {"--help", Setup::none, {"--help"}, 0, "", "{usage}", Expect::nothing},
    {"-h", Setup::none, {"-h"}, 0, "", "{usage}", Expect::nothing},
    {"--help among other arguments",
     Setup::none,
     {"-f", "4", "4", "{out}", "--help"},
     0,
     "",
     "{usage}",
     Expect::nothing},
    {"--version", Setup::none, {"--version"}, 0, "", "xdtgen " MAPCONV_VERSION "\n", Expect::nothing},
};

const std::string& usage() {
  static const std::string text = [] {
    TempDir scratch;
    return test::run_program(XDTGEN, {"--help"}, scratch).out;
  }();
  return text;
}

// True once the process has ended (a zombie not yet waited for).
bool ended_within(int pid, std::chrono::seconds limit) {
  const auto give_up = std::chrono::steady_clock::now() + limit;
  for (;;) {
    std::ifstream stat_file("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat_file, line);
    const std::size_t after_name = line.rfind(") ");
    if (after_name != std::string::npos && line[after_name + 2] == 'Z') return true;
    if (std::chrono::steady_clock::now() > give_up) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// True once the process has a file open in folder, false if it ends first.
bool wait_until_writing(int pid, const std::string& folder) {
  const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
  for (int attempt = 0; attempt < 10000; ++attempt) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(fds, error)) {
      const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
      if (!error && target.rfind(folder + "/", 0) == 0) return true;
    }
    if (error) return false;  // gone, or a zombie whose descriptors are closed
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

class Xdtgen : public testing::TestWithParam<Case> {};

TEST_P(Xdtgen, KeepsFilesAndReportsAsExpected) {
  const Case& c = GetParam();
  const TempDir dir;
  const TempDir scratch;
  const std::string out = dir.file(c.file);
  int socket_fd = -1;
  std::optional<test::LoopDevice> device;
  test::RunOptions options;
  mode_t old_mode = OLD_MODE;
  switch (c.setup) {
    case Setup::block_device:
      device.emplace(dir.file("disk.img"), OLD, out);
      if (device->node.empty()) GTEST_SKIP() << "no loop device here (needs root and losetup)";
      break;
    case Setup::protected_file:
      test::write_file(out, OLD);
      old_mode = 0444;
      ASSERT_EQ(chmod(out.c_str(), old_mode), 0);
      ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
      options.unprivileged = true;
      break;
    case Setup::none:
    case Setup::appears:
      break;
    case Setup::dangling:
      std::filesystem::create_symlink("made.xdt", out);
      break;
    case Setup::old_file:
    case Setup::old_file_terminated:
      test::write_file(out, OLD);
      ASSERT_EQ(chmod(out.c_str(), OLD_MODE), 0);
      break;
    case Setup::fifo:
      ASSERT_EQ(mkfifo(out.c_str(), 0600), 0);
      break;
    case Setup::socket: {
      socket_fd = socket(AF_UNIX, SOCK_STREAM, 0);
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      ASSERT_LT(out.size(), sizeof address.sun_path);
      std::memcpy(address.sun_path, out.c_str(), out.size() + 1);
      ASSERT_EQ(bind(socket_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
      break;
    }
  }
  std::set<std::string> expected_names = listing(dir.path());
  if (c.expect == Expect::new_file || c.setup == Setup::appears) expected_names.insert(c.file);
  std::vector<std::string> arguments;
  for (const std::string& argument : c.arguments) {
    arguments.push_back(replace_all(replace_all(argument, "{out}", out), "{dir}", dir.path()));
  }
  options.file_size_limit = c.file_size_limit;

  const test::RunningProgram running = test::start_program(XDTGEN, arguments, scratch, options);
  int fifo_reader = -1;
  if (c.setup == Setup::fifo && !ended_within(running.pid, std::chrono::seconds(10))) {
    // xdtgen waits for a reader: give it one, so that the case fails instead
    // of hanging.
    ADD_FAILURE() << "xdtgen opened the FIFO";
    fifo_reader = open(out.c_str(), O_RDONLY | O_NONBLOCK);
  }
  if (c.setup == Setup::appears) {
    // Once xdtgen writes, the name is taken by a file linked in whole, so
    // that a run that finished first could not have been overwritten.
    test::write_file(scratch.file("old.xdt"), OLD);
    chmod(scratch.file("old.xdt").c_str(), OLD_MODE);
    if (!wait_until_writing(running.pid, dir.path()) ||
        link(scratch.file("old.xdt").c_str(), out.c_str()) != 0) {
      test::finish_program(running);
      GTEST_SKIP() << "xdtgen finished before the name was taken";
    }
  }
  if (c.setup == Setup::old_file_terminated) {
    ASSERT_TRUE(wait_until_writing(running.pid, dir.path()));
    kill(running.pid, SIGTERM);
  }
  const test::ProcessResult result = test::finish_program(running);
  if (fifo_reader >= 0) close(fifo_reader);
  if (socket_fd >= 0) close(socket_fd);

  const auto expand = [&](const std::string& text) {
    return replace_all(replace_all(replace_all(text, "{usage}", usage()), "{out}", out), "{dir}", dir.path());
  };
  EXPECT_EQ(result.status, c.status);
  EXPECT_EQ(result.err, expand(c.err));
  EXPECT_EQ(result.out, expand(c.out));
  EXPECT_EQ(listing(dir.path()), expected_names);
  struct stat status {};
  if (device) {
    EXPECT_EQ(device->first_bytes(OLD.size()), OLD);
  } else if (c.expect == Expect::old_file) {
    EXPECT_EQ(test::read_file(out), OLD);
    ASSERT_EQ(stat(out.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, old_mode);
  } else if (c.expect == Expect::new_file) {
    // The same arguments into a fresh folder give the expected bytes.
    const TempDir fresh;
    std::vector<std::string> plain;
    for (const std::string& argument : c.arguments) {
      if (argument != "-f" && argument != "--force")
        plain.push_back(replace_all(argument, "{out}", fresh.file("x")));
    }
    ASSERT_EQ(test::run_program(XDTGEN, plain, scratch).status, 0);
    EXPECT_EQ(test::read_file(out), test::read_file(fresh.file("x")));
    if (c.setup == Setup::old_file) {
      ASSERT_EQ(stat(out.c_str(), &status), 0);
      EXPECT_EQ(status.st_mode & 07777, OLD_MODE) << "the permission bits were not kept";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, Xdtgen, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& info) {
                           return test::test_name(info.param.name);
                         });

TEST(XdtgenHelp, NamesEveryOption) {
  for (const char* option : {"Usage: xdtgen", "-f, --force", "-s seed", "-m ", "-z ", "-r ", "-h, --help",
                             "--version", "columns rows output"}) {
    EXPECT_NE(usage().find(option), std::string::npos) << option;
  }
}

}  // namespace
