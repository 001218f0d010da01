#include <gtest/gtest.h>
#include <mapconv/print.h>
#include <unistd.h>

#include <cstdlib>
#include <regex>
#include <string>

namespace {

// Restores the hook when a test has changed it.
class PrintHook : public testing::Test {
 protected:
  ~PrintHook() override { u_print = u_print_stderr; }
};

int host_writer(const char*, ...) { return 0; }

TEST_F(PrintHook, StreamFollowsTheWriter) {
  EXPECT_EQ(u_print_stream(), stderr);
  const struct {
    PrintFunction writer;
    std::FILE* stream;
  } cases[] = {{u_print_stdout, stdout},
               {u_print_stderr, stderr},
               {u_print_none, nullptr},
               {u_print_timestamped, nullptr},
               {host_writer, nullptr}};
  for (const auto& c : cases) {
    u_print = c.writer;
    EXPECT_EQ(u_print_stream(), c.stream);
  }
}

// Each writer flushes: the child makes its stream fully buffered and leaves
// without flushing, so only what the writer flushed comes out.
TEST(PrintDeathTest, StderrWriterFlushes) {
  EXPECT_EXIT(
      {
        std::setvbuf(stderr, nullptr, _IOFBF, 4096);
        u_print_stderr("flushed %d%%\n", 100);
        std::_Exit(0);
      },
      testing::ExitedWithCode(0), "^flushed 100%\n$");
}

TEST(PrintDeathTest, StdoutWriterFlushes) {
  EXPECT_EXIT(
      {
        dup2(STDERR_FILENO, STDOUT_FILENO);
        std::setvbuf(stdout, nullptr, _IOFBF, 4096);
        u_print_stdout("to %s\n", "stdout");
        std::_Exit(0);
      },
      testing::ExitedWithCode(0), "^to stdout\n$");
}

TEST(Print, FileWriterFlushes) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  u_print_file(file, "%s-%d", "a", 5);
  char bytes[8] = {};
  EXPECT_EQ(pread(fileno(file), bytes, sizeof bytes, 0), 3);
  EXPECT_STREQ(bytes, "a-5");
  std::fclose(file);
}

TEST_F(PrintHook, NoneWriterPrintsNothing) {
  u_print = u_print_none;
  testing::internal::CaptureStderr();
  EXPECT_EQ(u_print("lost %d\n", 1), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

std::string timestamped(const char* format, const char* argument) {
  testing::internal::CaptureStderr();
  u_print_timestamped(format, argument);
  return testing::internal::GetCapturedStderr();
}

const std::regex kStamp("^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} (.*)$");

TEST_F(PrintHook, TimestampedPrefixesDateAndTimeAndKeepsPercentSigns) {
  // Also as the hook itself, which must not call itself for ever.
  for (const PrintFunction hook : {u_print_stderr, u_print_timestamped}) {
    u_print = hook;
    std::smatch match;
    const std::string out = timestamped("%s done 5%%", "100%");
    ASSERT_TRUE(std::regex_match(out, match, kStamp)) << out;
    EXPECT_EQ(match[1], "100% done 5%");
  }
}

TEST_F(PrintHook, TimestampedCutsALongMessageAt511Characters) {
  const std::string long_message(600, 'm');
  const std::string out = timestamped("%s", long_message.c_str());
  std::smatch match;
  ASSERT_TRUE(std::regex_match(out, match, kStamp));
  EXPECT_EQ(match[1], std::string(511, 'm'));
}

}  // namespace
