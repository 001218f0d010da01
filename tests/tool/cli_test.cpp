// mapconv and xdtgen driven from the outside: arguments in, exit status,
// standard error, standard output and output file bytes out.

#include <gtest/gtest.h>
#include <mapconv/map_records.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "cli_support.h"
#include "test_support.h"

namespace {

using test::Bytes;
using test::TempDir;

const std::string MAPCONV = MAPCONV_EXECUTABLE;
const std::string XDTGEN = XDTGEN_EXECUTABLE;

const std::string USAGE =
    "\nUsage:  mapconv [options] input output\n"
    "\tinput  = existing XDT data file\n"
    "\toutput = Ondrel binary data file to create\n"
    "\n\tOptions:\n"
    "\t\t-f\twrites output even if file already exists\n";
const std::string CONVERTING = "Converting \"{in}\" to \"{out}\"\n";
const std::string SUCCESS = CONVERTING + "Conversion from \"{in}\" to \"{out}\" successful\n";
const std::string UNABLE = "Unable to convert \"{in}\" to \"{out}\" because...\n";

// Replaces {in}, {out} and {dir} with the case's paths.
std::string expand(std::string text, const TempDir& dir) {
  const std::pair<std::string, std::string> names[] = {
      {"{in}", dir.file("in.xdt")}, {"{out}", dir.file("out.dat")}, {"{dir}", dir.path()}};
  for (const auto& [token, value] : names) text = test::replace_all(std::move(text), token, value);
  return text;
}

Bytes xdt(std::uint16_t columns, std::uint16_t rows, const std::vector<test::XdtPoint>& points) {
  return test::xdt_bytes(columns, rows, points);
}

// Row 0: 0.0 and 2e-6; row 1: no data and 1e-6; unit spacing.
Bytes small_grid() {
  const float heights[2][2] = {{0.0f, 2e-6f}, {-1.0f, 1e-6f}};
  return xdt(2, 2, test::grid(2, 2, 1.0f, [&](int r, int k) { return heights[r][k]; }));
}

Bytes small_grid_output() { return test::expected_data_file(2, 2, 1.0f, {0, 207130, PHASE_INVALID, 103565}); }

const Bytes OLD_OUTPUT = {'o', 'l', 'd'};

enum class Output { Absent, Unchanged, Converted };

struct CliCase {
  const char* name;
  std::vector<std::string> arguments;
  std::optional<Bytes> input;            // written to {in}
  std::optional<Bytes> existing_output;  // written to {out} before the run
  int status;
  std::string err;
  Output output;
};

void PrintTo(const CliCase& c, std::ostream* out) { *out << c.name; }

class MapconvCli : public testing::TestWithParam<CliCase> {};

TEST_P(MapconvCli, StatusMessagesAndOutput) {
  const CliCase& c = GetParam();
  TempDir dir;
  TempDir scratch;
  if (c.input) test::write_file(dir.file("in.xdt"), *c.input);
  if (c.existing_output) test::write_file(dir.file("out.dat"), *c.existing_output);
  std::vector<std::string> arguments;
  for (const std::string& argument : c.arguments) arguments.push_back(expand(argument, dir));

  const test::ProcessResult result = test::run_program(MAPCONV, arguments, scratch);

  EXPECT_EQ(result.status, c.status);
  EXPECT_EQ(result.err, expand(c.err, dir));
  EXPECT_EQ(result.out, "");
  const std::string output = dir.file("out.dat");
  switch (c.output) {
    case Output::Absent:
      EXPECT_FALSE(std::filesystem::exists(output));
      break;
    case Output::Unchanged:
      EXPECT_EQ(test::read_file(output), OLD_OUTPUT);
      break;
    case Output::Converted:
      EXPECT_EQ(test::read_file(output), small_grid_output());
      break;
  }
}

const Bytes GRID = small_grid();

INSTANTIATE_TEST_SUITE_P(
    Grammar, MapconvCli,
    testing::Values(
        CliCase{"NoArguments", {}, GRID, {}, 1, USAGE, Output::Absent},
        CliCase{"OneArgument", {"{in}"}, GRID, {}, 1, USAGE, Output::Absent},
        CliCase{"ForceAlone", {"-f"}, GRID, {}, 1, USAGE, Output::Absent},
        CliCase{"ForceAndOnePath", {"-f", "{in}"}, GRID, {}, 1, USAGE, Output::Absent},
        CliCase{"ForceTwiceAndOnePath", {"-f", "-f", "{in}"}, GRID, {}, 1, USAGE, Output::Absent},
        CliCase{"UnknownOptionAfterPaths", {"{in}", "{out}", "-x"}, GRID, {}, 1, USAGE, Output::Absent},
        CliCase{"ThirdPositional", {"{in}", "{out}", "{dir}/third"}, GRID, {}, 1, USAGE, Output::Absent},
        CliCase{"LoneDash", {"-", "{in}", "{out}"}, GRID, {}, 1, USAGE, Output::Absent},
        CliCase{"UpperCaseForce", {"-F", "{in}", "{out}"}, GRID, {}, 1, USAGE, Output::Absent},
        // The scan stops at the first error: the missing input is never examined.
        CliCase{"ErrorBeforePathChecks", {"{dir}/none.xdt", "{out}", "-q"}, {}, {}, 1, USAGE, Output::Absent},
        CliCase{"TwoPaths", {"{in}", "{out}"}, GRID, {}, 0, SUCCESS, Output::Converted},
        CliCase{
            "ForceWithoutExistingOutput", {"-f", "{in}", "{out}"}, GRID, {}, 0, SUCCESS, Output::Converted},
        CliCase{"ForceAfterPathsReplaces",
                {"{in}", "{out}", "-f"},
                GRID,
                OLD_OUTPUT,
                0,
                SUCCESS,
                Output::Converted},
        CliCase{"ForceWithTrailingLetters",
                {"-fast", "{in}", "{out}"},
                GRID,
                OLD_OUTPUT,
                0,
                SUCCESS,
                Output::Converted},
        CliCase{"ForceRepeatedBetweenPaths",
                {"{in}", "-f", "{out}", "-fx"},
                GRID,
                OLD_OUTPUT,
                0,
                SUCCESS,
                Output::Converted}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Paths, MapconvCli,
    testing::Values(
        CliCase{"ExistingOutputWithoutForce",
                {"{in}", "{out}"},
                GRID,
                OLD_OUTPUT,
                3,
                UNABLE + "\t\"{out}\" already exists\n",
                Output::Unchanged},
        CliCase{"MissingInput",
                {"{in}", "{out}"},
                {},
                {},
                2,
                UNABLE + "\t\"{in}\" does not exist\n",
                Output::Absent},
        CliCase{"InputIsADirectory",
                {"{dir}", "{out}"},
                {},
                {},
                2,
                "Unable to convert \"{dir}\" to \"{out}\" because...\n\t\"{dir}\" does not exist\n",
                Output::Absent},
        CliCase{"EmptyInput",
                {"", "{out}"},
                {},
                {},
                2,
                "Unable to convert \"\" to \"{out}\" because...\n\t\"\" does not exist\n",
                Output::Absent},
        CliCase{"OutputIsADirectory",
                {"{in}", "{dir}"},
                GRID,
                {},
                5,
                "Converting \"{in}\" to \"{dir}\"\nUnable to convert \"{in}\" to \"{dir}\" because...\n"
                "\tthere was an error writing to the file \"{dir}\"\n\tERR_CANT_CREATE_FILE\n",
                Output::Absent},
        CliCase{"OutputInMissingFolder",
                {"{in}", "{dir}/no/out.dat"},
                GRID,
                {},
                5,
                "Converting \"{in}\" to \"{dir}/no/out.dat\"\n"
                "Unable to convert \"{in}\" to \"{dir}/no/out.dat\" because...\n"
                "\tthere was an error writing to the file \"{dir}/no/out.dat\"\n\tERR_CANT_CREATE_FILE\n",
                Output::Absent},
        CliCase{"EmptyOutput",
                {"{in}", ""},
                GRID,
                {},
                5,
                "Converting \"{in}\" to \"\"\nUnable to convert \"{in}\" to \"\" because...\n"
                "\tthere was an error writing to the file \"\"\n\tERR_CANT_CREATE_FILE\n",
                Output::Absent},
        // A device is not a regular file, so the run goes on; the full disk
        // must surface as a write failure, not as success.
        CliCase{
            "FullDisk",
            {"{in}", "/dev/full"},
            GRID,
            {},
            5,
            "Converting \"{in}\" to \"/dev/full\"\nUnable to convert \"{in}\" to \"/dev/full\" because...\n"
            "\tthere was an error writing to the file \"/dev/full\"\n\tERR_CANT_WRITE_FILE\n",
            Output::Absent}),
    [](const auto& info) { return std::string(info.param.name); });

std::string read_failure(const std::string& diagnostic, const std::string& error) {
  return CONVERTING + diagnostic + UNABLE + "\tthere was an error reading the file \"{in}\"\n\t" + error +
         "\n";
}

const test::XdtPoint FLAT[4] = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}};

CliCase read_case(const char* name, Bytes input, const std::string& diagnostic, const std::string& error) {
  return {name, {"{in}", "{out}"}, std::move(input), {}, 4, read_failure(diagnostic, error), Output::Absent};
}

INSTANTIATE_TEST_SUITE_P(
    ReadFailures, MapconvCli,
    testing::Values(read_case("OneColumn", xdt(1, 4, {FLAT, FLAT + 4}), "Num Cols = 1 is too small\n",
                              "ERR_PARAM_OUT_OF_RANGE"),
                    read_case("ColumnsCheckedBeforeRows", xdt(65535, 1, {}),
                              "Num Cols = 65535 is too large\n", "ERR_PARAM_OUT_OF_RANGE"),
                    read_case("OneRow", xdt(4, 1, {FLAT, FLAT + 4}), "Num Rows = 1 is too small\n",
                              "ERR_PARAM_OUT_OF_RANGE"),
                    read_case("TooManyRows", xdt(2, 32768, {}), "Num Rows = 32768 is too large\n",
                              "ERR_PARAM_OUT_OF_RANGE"),
                    read_case("ThreeByteFile", Bytes{2, 0, 2}, "", "ERR_PREMATURE_EOF"),
                    read_case("CutInThirdPoint", Bytes(GRID.begin(), GRID.end() - 18),
                              "EOF reading point 3 of 4\n", "ERR_PREMATURE_EOF"),
                    read_case("NoValidPoint",
                              xdt(2, 2, test::grid(2, 2, 1.0f, [](int, int) { return -1.0f; })),
                              "Could not calculate lateral resolution\n", "ERR_PARAM_OUT_OF_RANGE")),
    [](const auto& info) { return std::string(info.param.name); });

void expect_bytes(const Bytes& file, std::size_t offset, const Bytes& expected) {
  ASSERT_GE(file.size(), offset + expected.size());
  EXPECT_EQ(Bytes(file.begin() + offset, file.begin() + offset + expected.size()), expected)
      << "at " << offset;
}

TEST(MapconvOutput, SmallGridByteForByte) {
  TempDir dir;
  TempDir scratch;
  test::write_file(dir.file("in.xdt"), small_grid());
  const auto result = test::run_program(MAPCONV, {dir.file("in.xdt"), dir.file("out.dat")}, scratch);
  ASSERT_EQ(result.status, 0) << result.err;
  const Bytes file = test::read_file(dir.file("out.dat"));

  ASSERT_EQ(file.size(), 834u + 16u);
  expect_bytes(file, 0, {0x88, 0x1B, 0x03, 0x6F, 0x00, 0x01, 0x00, 0x00, 0x03, 0x42});
  expect_bytes(file, 64, {0, 0, 0, 0, 0, 2, 0, 2, 0, 0, 0, 16});
  expect_bytes(file, 164, {0x3F, 0x00, 0x00, 0x00, 0x35, 0x29, 0xDD, 0xAF});
  expect_bytes(file, 176, {0x3F, 0x80, 0x00, 0x00});
  expect_bytes(file, 184, {0x3F, 0x80, 0x00, 0x00});  // lateral resolution 1.0
  expect_bytes(file, 218, {0x00, 0x01});
  expect_bytes(file, 234, {0, 2, 0, 2});
  // 0, 207130, no data, 103565.
  expect_bytes(file, 834, {0, 0, 0, 0, 0, 3, 0x29, 0x1A, 0x7F, 0xFF, 0xFF, 0xF8, 0, 1, 0x94, 0x8D});
  EXPECT_EQ(file, small_grid_output());
}

TEST(MapconvOutput, LateralResolutionIsWrittenBitForBit) {
  TempDir dir;
  TempDir scratch;
  // Row 0 spans columns 0 to 2 with x from 0.0 to 0.9: (0.9f - 0.0f) / 2.
  const float xs[3] = {0.0f, 0.45f, 0.9f};
  std::vector<test::XdtPoint> points;
  for (int r = 0; r < 2; ++r) {
    for (int k = 0; k < 3; ++k) points.push_back({xs[k], static_cast<float>(r), r == 0 ? 0.0f : -1.0f});
  }
  test::write_file(dir.file("in.xdt"), xdt(3, 2, points));
  const auto result = test::run_program(MAPCONV, {dir.file("in.xdt"), dir.file("out.dat")}, scratch);
  ASSERT_EQ(result.status, 0) << result.err;
  const float resolution = static_cast<float>(static_cast<double>(0.9f - 0.0f) / 2.0);
  EXPECT_EQ(
      test::read_file(dir.file("out.dat")),
      test::expected_data_file(3, 2, resolution, {0, 0, 0, PHASE_INVALID, PHASE_INVALID, PHASE_INVALID}));
}

// Heights on either side of what a phase count can hold. Values from an
// independent computation of round-half-away(32768 / (0.5 * 6.328e-7f) * z).
struct HeightCase {
  float height;
  std::int32_t count;
  bool unrepresentable;
};

const float NAN_HEIGHT = std::numeric_limits<float>::quiet_NaN();
const float INF = std::numeric_limits<float>::infinity();

const HeightCase HEIGHTS[] = {
    {0.0f, 0, false},
    {-0.0f, 0, false},
    {1e-6f, 103565, false},
    {-1e-6f, -103565, false},
    {2e-6f, 207130, false},
    {0.02f, 2071302164, false},
    {-1.0f, PHASE_INVALID, false},  // no data, not counted
    {-7.5f, PHASE_INVALID, false},
    {-0.999f, PHASE_INVALID, true},                            // valid, far out of range
    {std::bit_cast<float>(0x3CA9DDAEu), 2147483455, false},    // largest height that fits
    {std::bit_cast<float>(0x3CA9DDAFu), PHASE_INVALID, true},  // the next float: 2^31 counts
    {std::bit_cast<float>(0xBCA9DDAFu), -2147483648, false},   // lowest count exactly
    {std::bit_cast<float>(0xBCA9DDB0u), PHASE_INVALID, true},
    {NAN_HEIGHT, PHASE_INVALID, true},
    {INF, PHASE_INVALID, true},
    {-INF, PHASE_INVALID, false},  // at or below -1.0: no data
    {0.03f, PHASE_INVALID, true},
    {-0.03f, PHASE_INVALID, true},
};

TEST(MapconvOutput, HeightsBecomeCountsAndUnrepresentableOnesAreReported) {
  TempDir dir;
  TempDir scratch;
  constexpr int columns = std::size(HEIGHTS);
  // Row 0 holds the heights under test, row 1 zeros.
  test::write_file(dir.file("in.xdt"), xdt(columns, 2, test::grid(columns, 2, 0.5f, [](int r, int k) {
                                             return r == 0 ? HEIGHTS[k].height : 0.0f;
                                           })));
  std::vector<std::int32_t> counts(2 * columns, 0);
  int unrepresentable = 0;
  for (int k = 0; k < columns; ++k) {
    counts[k] = HEIGHTS[k].count;
    unrepresentable += HEIGHTS[k].unrepresentable;
  }

  const auto result = test::run_program(MAPCONV, {dir.file("in.xdt"), dir.file("out.dat")}, scratch);

  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err,
            expand(CONVERTING, dir) + "Warning: " + std::to_string(unrepresentable) +
                " heights could not be represented as phase counts and were written as no data\n" +
                expand(SUCCESS.substr(CONVERTING.size()), dir));
  EXPECT_EQ(result.out, "");
  const Bytes file = test::read_file(dir.file("out.dat"));
  const Bytes expected = test::expected_data_file(columns, 2, 0.5f, counts);
  ASSERT_EQ(file.size(), expected.size());
  for (int k = 0; k < columns; ++k) {
    const std::size_t at = 834 + 4 * k;
    EXPECT_EQ(Bytes(file.begin() + at, file.begin() + at + 4),
              Bytes(expected.begin() + at, expected.begin() + at + 4))
        << "height " << HEIGHTS[k].height;
  }
  EXPECT_EQ(file, expected);
}

TEST(Xdtgen, SameSeedSameFileAndTheGridIsAsAsked) {
  TempDir dir;
  TempDir scratch;
  const auto make = [&](const std::string& seed, const std::string& name) {
    const auto result = test::run_program(
        XDTGEN, {"-s", seed, "-m", "0.25", "-r", "0.5", "16", "9", dir.file(name)}, scratch);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err + result.out, "");
    return test::read_file(dir.file(name));
  };
  const Bytes first = make("7", "a.xdt");
  const Bytes again = make("7", "b.xdt");
  const Bytes other = make("8", "c.xdt");
  EXPECT_EQ(first, again);
  EXPECT_NE(first, other);

  ASSERT_EQ(first.size(), 4u + 12u * 16u * 9u);
  expect_bytes(first, 0, {16, 0, 9, 0});
  int missing = 0;
  for (std::size_t i = 0; i < 16 * 9; ++i) {
    float point[3];
    std::memcpy(point, first.data() + 4 + 12 * i, sizeof point);  // the host is little-endian
    EXPECT_EQ(point[0], static_cast<float>((i % 16) * 0.5)) << i;
    EXPECT_EQ(point[1], static_cast<float>((i / 16) * 0.5)) << i;
    if (point[2] == -1.0f) {
      ++missing;
    } else {
      EXPECT_LT(std::fabs(point[2]), 1e-6f) << i;
    }
  }
  EXPECT_GT(missing, 10);  // about a quarter of 144
  EXPECT_LT(missing, 70);
}

// Makes {in} with xdtgen and the given arguments, then converts it to {out}.
test::ProcessResult generate_and_convert(const TempDir& dir, std::vector<std::string> xdtgen_arguments) {
  TempDir scratch;
  xdtgen_arguments.push_back(dir.file("in.xdt"));
  const auto generated = test::run_program(XDTGEN, xdtgen_arguments, scratch);
  EXPECT_EQ(generated.status, 0) << generated.err;
  return test::run_program(MAPCONV, {dir.file("in.xdt"), dir.file("out.dat")}, scratch);
}

TEST(Xdtgen, ItsSurfacesConvertWithoutLoss) {
  TempDir dir;
  const auto result = generate_and_convert(dir, {"-s", "3", "300", "200"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, expand(SUCCESS, dir));
  EXPECT_EQ(std::filesystem::file_size(dir.file("out.dat")), 834u + 4u * 300u * 200u);
}

TEST(Xdtgen, EveryPointMissingGivesNoLateralResolution) {
  TempDir dir;
  const auto result = generate_and_convert(dir, {"-m", "1", "5", "5"});
  EXPECT_EQ(result.status, 4);
  EXPECT_EQ(result.err,
            expand(read_failure("Could not calculate lateral resolution\n", "ERR_PARAM_OUT_OF_RANGE"), dir));
}

TEST(Xdtgen, MakesOutOfRangeGridSizes) {
  TempDir dir;
  const auto result = generate_and_convert(dir, {"0", "65535"});
  EXPECT_EQ(test::read_file(dir.file("in.xdt")), (Bytes{0, 0, 0xFF, 0xFF}));
  EXPECT_EQ(result.status, 4);
  EXPECT_EQ(result.err, expand(read_failure("Num Cols = 0 is too small\n", "ERR_PARAM_OUT_OF_RANGE"), dir));
}

TEST(Xdtgen, RejectsBadArgumentsWithoutWritingAFile) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"4", "4"},
      {"65536", "4", "{out}"},
      {"4", "-1", "{out}"},
      {"4x", "4", "{out}"},
      {"-m", "1.5", "4", "4", "{out}"},
      {"-m", "nan", "4", "4", "{out}"},
      {"-s", "seven", "4", "4", "{out}"},
      {"-z", "inf", "4", "4", "{out}"},
      {"-r"},
      {"-q", "1", "4", "4", "{out}"},
      {"4", "4", "{out}", "extra"},
      {"4", "4", ""},
  };
  for (const auto& arguments : bad) {
    TempDir dir;
    TempDir scratch;
    std::vector<std::string> expanded;
    for (const std::string& argument : arguments) expanded.push_back(expand(argument, dir));
    const auto result = test::run_program(XDTGEN, expanded, scratch);
    const std::string shown = testing::PrintToString(arguments);
    EXPECT_EQ(result.status, 1) << shown;
    EXPECT_NE(result.err.find("Usage: xdtgen"), std::string::npos) << shown;
    EXPECT_EQ(result.out, "") << shown;
    EXPECT_FALSE(std::filesystem::exists(dir.file("out.dat"))) << shown;
  }
}

TEST(Xdtgen, ReportsAFullDisk) {
  TempDir scratch;
  const auto result = test::run_program(XDTGEN, {"300", "300", "/dev/full"}, scratch);
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.err.rfind("xdtgen: cannot write \"/dev/full\"", 0), 0u) << result.err;
}

}  // namespace
