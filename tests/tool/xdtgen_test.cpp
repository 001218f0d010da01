// xdtgen stopped or raced from the outside: a run killed while it writes,
// and a name taken while it runs, both leave the old file as it was. The
// messages of the other runs are golden cases (tests/cli/cases/xdtgen).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cli_support.h"
#include "test_support.h"

namespace {

using test::Bytes;
using test::listing;
using test::TempDir;

const std::string XDTGEN = XDTGEN_EXECUTABLE;
const Bytes OLD = {'o', 'l', 'd', '\n'};
constexpr mode_t OLD_MODE = 0640;

// True once the process has a file open in folder, false if it ends first.
bool wait_until_writing(int pid, const std::string& folder) {
  for (int attempt = 0; attempt < 10000; ++attempt) {
    const auto open = test::open_files_of(pid);
    if (!open) return false;
    for (const test::OpenFile& file : *open) {
      if (file.target.rfind(folder + "/", 0) == 0) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

// The old file, whole and with its mode, and no other name in the folder.
void expect_old_file(const TempDir& dir, const std::string& out) {
  EXPECT_EQ(listing(dir.path()), std::set<std::string>{"out.xdt"});
  EXPECT_EQ(test::read_file(out), OLD);
  struct stat status {};
  ASSERT_EQ(stat(out.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, OLD_MODE);
}

TEST(Xdtgen, TerminatedWhileWritingKeepsTheOldFile) {
  const TempDir dir;
  const TempDir scratch;
  const std::string out = dir.file("out.xdt");
  test::write_file(out, OLD);
  ASSERT_EQ(chmod(out.c_str(), OLD_MODE), 0);
  const test::RunningProgram running = test::start_program(XDTGEN, {"-f", "1500", "1500", out}, scratch);
  ASSERT_TRUE(wait_until_writing(running.pid, dir.path()));
  kill(running.pid, SIGTERM);
  const test::ProcessResult result = test::finish_program(running);
  EXPECT_EQ(result.status, 128 + SIGTERM);
  EXPECT_EQ(result.err + result.out, "");
  expect_old_file(dir, out);
}

TEST(Xdtgen, NameTakenDuringTheRunIsKept) {
  const TempDir dir;
  const TempDir scratch;
  const std::string out = dir.file("out.xdt");
  const test::RunningProgram running = test::start_program(XDTGEN, {"1500", "1500", out}, scratch);
  // Once xdtgen writes, the name is taken by a file linked in whole, so
  // that a run that finished first could not have been overwritten.
  test::write_file(scratch.file("old.xdt"), OLD);
  chmod(scratch.file("old.xdt").c_str(), OLD_MODE);
  if (!wait_until_writing(running.pid, dir.path()) ||
      link(scratch.file("old.xdt").c_str(), out.c_str()) != 0) {
    test::finish_program(running);
    GTEST_SKIP() << "xdtgen finished before the name was taken";
  }
  const test::ProcessResult result = test::finish_program(running);
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.err, "xdtgen: \"" + out + "\" already exists (use -f to replace it)\n");
  expect_old_file(dir, out);
}

}  // namespace
