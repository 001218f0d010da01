// What mapconv must never do, whatever fails: lose or damage a file. The
// failures a run meets by itself are golden cases (tests/cli/cases/mapconv,
// safety-*); here are the runs that are killed or race each other.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
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
using test::TempDir;

const std::string MAPCONV = MAPCONV_EXECUTABLE;
const std::string XDTGEN = XDTGEN_EXECUTABLE;

const Bytes OLD_OUTPUT = {'o', 'l', 'd', ' ', 'd', 'a', 't', 'a'};

// The names in a folder and below it.
std::set<std::string> listing(const std::string& dir) { return test::listing(dir, test::Depth::whole_tree); }

// Runs xdtgen; the files of the larger cases are made, not committed.
void generate(int columns, int rows, int seed, const std::string& path, const TempDir& scratch) {
  const test::ProcessResult made = test::run_program(
      XDTGEN, {"-s", std::to_string(seed), std::to_string(columns), std::to_string(rows), path}, scratch);
  ASSERT_EQ(made.status, 0) << made.err;
}

// How far a process has read the file input: the position of its descriptor
// there, or -1 while it has none open. (The output says nothing of progress:
// its whole length is reserved at the start.)
long long position_in(int pid, const std::string& input) {
  const std::string proc = "/proc/" + std::to_string(pid);
  for (const test::OpenFile& file : test::open_files_of(pid).value_or(std::vector<test::OpenFile>{})) {
    if (file.target != input) continue;
    std::ifstream info(proc + "/fdinfo/" + std::to_string(file.descriptor));
    std::string key;
    long long position = -1;
    if (!(info >> key >> position) || key != "pos:") continue;
    // The file is read with read(), so its position is how far the reading
    // has come; at its size, the input has been read whole, although the
    // run may keep it open until the output is committed.
    return position;
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
        // A loaded machine may let the run end before it is first seen.
        siginfo_t ended{};
        if (waitid(P_PID, running.pid, &ended, WEXITED | WNOHANG | WNOWAIT) == 0 && ended.si_pid == running.pid) {
          read = input_size;
          break;
        }
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

// A signal the run was started with ignored (nohup, a background job) stays
// ignored: it comes while the input is read, and the run goes on to the end.
TEST(DataSafetyKill, SignalsIgnoredAtTheStartStayIgnored) {
  const TempDir dir;
  const TempDir scratch;
  const std::string in = dir.file("in.xdt");
  const std::string out = dir.file("out.dat");
  generate(1500, 1500, 7, in, scratch);
  ASSERT_EQ(test::run_program(MAPCONV, {in, scratch.file("converted.dat")}, scratch).status, 0);
  const Bytes converted = test::read_file(scratch.file("converted.dat"));
  for (const int signal : {SIGHUP, SIGINT, SIGTERM}) {
    SCOPED_TRACE("signal " + std::to_string(signal));
    test::write_file(out, OLD_OUTPUT);
    test::RunOptions options;
    options.ignored_signals = {signal};
    const test::RunningProgram running = test::start_program(MAPCONV, {"-f", in, out}, scratch, options);
    // Sent once the input is open, or at the latest after a few seconds.
    for (int attempt = 0; attempt < 5000 && position_in(running.pid, in) < 0; ++attempt) usleep(1000);
    kill(running.pid, signal);
    const test::ProcessResult run = test::finish_program(running);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(test::read_file(out), converted);
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
    const std::string& in = inputs[1 - winner];
    const std::string exists =
        test::mapconv_message("unable", in, out) + test::mapconv_message("exists", in, out);
    EXPECT_TRUE(loser.err == exists || loser.err == test::mapconv_message("converting", in, out) + exists)
        << loser.err;
    EXPECT_EQ(test::read_file(out), test::read_file(expected[winner]));
    EXPECT_EQ(listing(dir.path()).size(), 5u);
  }
}

}  // namespace
