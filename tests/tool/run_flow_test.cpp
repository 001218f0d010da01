// mapconv's run flow in process: every allocation failure of a run and the
// path check.

#include "programs/mapconv/run_flow.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"

namespace {

// Runs run_mapconv in this process and returns its status and stderr.
std::pair<int, std::string> run_in_process(std::vector<std::string> arguments) {
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  testing::internal::CaptureStderr();
  const int status = run_mapconv(static_cast<int>(argv.size() - 1), argv.data());
  return {status, testing::internal::GetCapturedStderr()};
}

// Fails every allocation of a run in turn. Each run must end with the report
// of the stage that failed and hold nothing afterwards; exactly one of them,
// the conversion's buffer, is the status-9 failure with no reason line.
TEST(RunMapconv, EveryAllocationFailureIsReportedAndNothingLeaks) {
  test::TempDir dir;
  const std::string input = dir.file("in.xdt");
  const std::string output = dir.file("out.dat");
  test::write_file(input, test::xdt_bytes(3, 2, test::grid(3, 2, 1.0f, [](int r, int k) {
                                            return static_cast<float>(r * 3 + k) * 1e-7f;
                                          })));
  std::size_t allocations = 0;
  {
    test::CountingHooks hooks;
    ASSERT_EQ(run_in_process({"mapconv", input, output}).first, EXIT_CONVERTED);
    allocations = hooks.allocations();
    EXPECT_EQ(hooks.live_blocks(), 0u);
  }
  ASSERT_GE(allocations, 3u);  // the reader's buffer, the conversion's, the writer's staging

  const auto message = [&](const char* key) { return test::mapconv_message(key, input, output); };
  const std::string failed = message("converting") + message("unable");
  const std::string reading = failed + message("reading") + "\tERR_NO_MEM\n";
  const std::string phase_map = failed + "\tERR_NO_MEM\n";
  const std::string writing = failed + message("writing") + "\tERR_NO_MEM\n";
  int phase_map_failures = 0;
  for (std::size_t fail_at = 1; fail_at <= allocations; ++fail_at) {
    std::filesystem::remove(output);
    test::CountingHooks hooks(fail_at);
    const auto [status, err] = run_in_process({"mapconv", "-f", input, output});
    switch (status) {
      case EXIT_READ_FAILED:
        EXPECT_EQ(err, reading) << fail_at;
        EXPECT_FALSE(std::filesystem::exists(output)) << fail_at;
        break;
      case EXIT_OTHER_FAILURE:
        ++phase_map_failures;
        EXPECT_EQ(err, phase_map) << fail_at;
        EXPECT_FALSE(std::filesystem::exists(output)) << fail_at;
        break;
      case EXIT_WRITE_FAILED:
        EXPECT_EQ(err, writing) << fail_at;
        break;
      default:
        ADD_FAILURE() << "allocation " << fail_at << " failed, yet status " << status << ":\n" << err;
    }
    EXPECT_EQ(hooks.live_blocks(), 0u) << fail_at;
  }
  EXPECT_EQ(phase_map_failures, 1);
}

std::string wide_name(std::u16string_view units, bool reversed_mark = false) {
  return test::wide_path(units, reversed_mark);
}

TEST(FileExists, OnlyRegularFiles) {
  test::TempDir dir;
  const std::string file = dir.file("data.xdt");
  test::write_file(file, test::Bytes{1});
  std::filesystem::create_directory(dir.file("folder"));
  std::filesystem::create_symlink(file, dir.file("link"));

  EXPECT_TRUE(file_exists(file.c_str()));
  EXPECT_TRUE(file_exists(dir.file("link").c_str()));
  EXPECT_FALSE(file_exists(dir.file("folder").c_str()));
  EXPECT_FALSE(file_exists(dir.file("none").c_str()));
  EXPECT_FALSE(file_exists(""));
  EXPECT_FALSE(file_exists("/dev/null"));
}

TEST(FileExists, WidePathsNameTheirUtf8Twins) {
  test::TempDir dir;
  test::write_file(dir.file("\u4E2D\u6587"), test::Bytes{1});
  std::filesystem::create_directory(dir.file("\u76EE\u5F55"));
  const std::filesystem::path saved = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());

  const bool file = file_exists(wide_name(u"\u4E2D\u6587").c_str());
  const bool folder = file_exists(wide_name(u"\u76EE\u5F55").c_str());
  const bool missing = file_exists(wide_name(u"\u65E0").c_str());
  const bool reversed_mark = file_exists(wide_name(u"\u4E2D\u6587", true).c_str());
  std::filesystem::current_path(saved);

  EXPECT_TRUE(file);
  EXPECT_FALSE(folder);
  EXPECT_FALSE(missing);
  EXPECT_TRUE(reversed_mark);
  // ASCII units (high byte zero) name absolute paths, after either mark.
  for (const bool reversed : {false, true}) {
    EXPECT_TRUE(file_exists(wide_name(test::widen(dir.path()) + u"/\u4E2D\u6587", reversed).c_str()));
    EXPECT_FALSE(file_exists(wide_name(test::widen(dir.path()) + u"/\u76EE\u5F55", reversed).c_str()));
    test::write_file(dir.file("plain.xdt"), test::Bytes{1});
    EXPECT_TRUE(file_exists(wide_name(test::widen(dir.file("plain.xdt")), reversed).c_str()));
  }
}

}  // namespace
