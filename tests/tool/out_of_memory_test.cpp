// Out-of-memory testing of a whole conversion: the 1st, 2nd, ... allocation
// fails in turn until a run needs no more than were made. Every run must end
// with the status and report that belong to the step that was refused, and
// hold no block afterwards.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "programs/mapconv/run_flow.h"
#include "test_support.h"

namespace {

struct Outcome {
  int status = -1;
  std::string err;
  std::size_t allocations = 0;
  std::size_t live_blocks = 0;
};

Outcome run_with_failure(std::vector<std::string> arguments, std::size_t fail_at) {
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  Outcome outcome;
  const test::StderrCapture capture;
  {
    const test::CountingHooks hooks(fail_at);
    outcome.status = run_mapconv(static_cast<int>(argv.size() - 1), argv.data());
    outcome.allocations = hooks.allocations();
    outcome.live_blocks = hooks.live_blocks();
  }
  outcome.err = capture.text();
  return outcome;
}

// The reports a refused allocation may end in, by the step that made it.
enum class Step { path_check, read, phase_map, write };

std::string report(Step step, const std::string& in, const std::string& out) {
  const auto message = [&](const char* key) { return test::mapconv_message(key, in, out); };
  switch (step) {
    case Step::path_check:
      return message("unable") + "\tERR_NO_MEM\n";
    case Step::read:
      return message("converting") + message("unable") + message("reading") + "\tERR_NO_MEM\n";
    case Step::phase_map:
      return message("converting") + message("unable") + "\tERR_NO_MEM\n";
    case Step::write:
      return message("converting") + message("unable") + message("writing") + "\tERR_NO_MEM\n";
  }
  return {};
}

int status_of(Step step) {
  switch (step) {
    case Step::read:
      return 4;
    case Step::write:
      return 5;
    default:
      return 9;
  }
}

class OutOfMemory : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = std::filesystem::current_path();
    // A wide path holds no ASCII unit, so names are relative to the folder.
    std::filesystem::current_path(dir_.path());
    const auto points = test::grid(3, 2, 0.5f, [](int r, int k) { return k == 1 ? -1.0f : 1e-7f * (r + k); });
    test::write_file("in.xdt", test::xdt_bytes(3, 2, points));
  }
  void TearDown() override { std::filesystem::current_path(previous_); }

  test::TempDir dir_;
  std::filesystem::path previous_;
};

// U+4E2D U+6587 after the mark FF FE: the file is named in UTF-8.
const std::string kWideOutput = test::wide_path(u"\u4E2D\u6587");
const std::string kWideOutputName = "\xE4\xB8\xAD\xE6\x96\x87";
// The wide path as messages show it: its byte 0x87 is a C1 control.
const std::string kWideOutputShown = "\xFF\xFE\x2D\x4E\\x87\x65";

TEST_F(OutOfMemory, EveryAllocationOfAConversion) {
  const struct {
    const char* name;
    std::string output;
    std::string file;
    std::string shown;     // the output in messages
    std::set<Step> steps;  // every one must be reached
  } cases[] = {
      {"narrow output", "out.dat", "out.dat", "out.dat", {Step::read, Step::phase_map, Step::write}},
      {"wide output",
       kWideOutput,
       kWideOutputName,
       kWideOutputShown,
       {Step::path_check, Step::read, Step::phase_map, Step::write}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome clean = run_with_failure({"mapconv", "in.xdt", c.output}, 0);
    ASSERT_EQ(clean.status, 0) << clean.err;
    const std::size_t sites = clean.allocations;
    std::set<Step> reached;
    for (std::size_t fail_at = 1; fail_at <= sites + 1; ++fail_at) {
      SCOPED_TRACE("allocation " + std::to_string(fail_at) + " of " + std::to_string(sites));
      std::filesystem::remove(c.file);
      const Outcome run = run_with_failure({"mapconv", "in.xdt", c.output}, fail_at);
      EXPECT_EQ(run.live_blocks, 0u);
      if (fail_at > sites) {
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(std::filesystem::file_size(c.file), 834u + 24u);
        continue;
      }
      bool matched = false;
      for (const Step step : {Step::path_check, Step::read, Step::phase_map, Step::write}) {
        if (run.status == status_of(step) && run.err == report(step, "in.xdt", c.shown)) {
          matched = true;
          // The steps come in this order, so the failures must too.
          EXPECT_TRUE(reached.empty() || *reached.rbegin() <= step);
          reached.insert(step);
        }
      }
      EXPECT_TRUE(matched) << "status " << run.status << "\n" << run.err;
    }
    EXPECT_EQ(reached, c.steps);
    std::printf("[ sites    ] %s: %zu allocation sites\n", c.name, sites);
  }
}

// Whether the output exists must not be guessed: a check that runs out of
// memory must not let an existing file be replaced without -f.
TEST_F(OutOfMemory, ExistingOutputIsNeverReplacedWithoutForce) {
  const test::Bytes precious{'k', 'e', 'e', 'p'};
  for (std::size_t fail_at = 0; fail_at <= 2; ++fail_at) {
    SCOPED_TRACE("allocation " + std::to_string(fail_at));
    test::write_file(kWideOutputName, precious);
    const Outcome run = run_with_failure({"mapconv", "in.xdt", kWideOutput}, fail_at);
    EXPECT_EQ(run.live_blocks, 0u);
    const std::string exists = test::mapconv_message("unable", "in.xdt", kWideOutputShown) +
                               test::mapconv_message("exists", "in.xdt", kWideOutputShown);
    if (fail_at == 1) {
      EXPECT_EQ(run.status, 9);
      EXPECT_EQ(run.err, report(Step::path_check, "in.xdt", kWideOutputShown));
    } else {
      EXPECT_EQ(run.status, 3);
      EXPECT_EQ(run.err, exists);
    }
    EXPECT_EQ(test::read_file(kWideOutputName), precious);
  }
}

}  // namespace
