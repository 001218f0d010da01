// mapconv and xdtgen driven from the outside, where the bytes written count:
// the messages of each run are golden cases in tests/cli/cases.

#include <gtest/gtest.h>
#include <mapconv/map_records.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "cli_support.h"
#include "test_support.h"

namespace {

using test::Bytes;
using test::TempDir;

const std::string MAPCONV = MAPCONV_EXECUTABLE;
const std::string XDTGEN = XDTGEN_EXECUTABLE;

// The report of a successful run, from the messages' data file.
std::string success(const TempDir& dir) {
  const std::string in = dir.file("in.xdt"), out = dir.file("out.dat");
  return test::mapconv_message("converting", in, out) + test::mapconv_message("success", in, out);
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
  const std::string in = dir.file("in.xdt"), out = dir.file("out.dat");
  EXPECT_EQ(result.err,
            test::mapconv_message("converting", in, out) + "Warning: " + std::to_string(unrepresentable) +
                " heights could not be represented as phase counts and were written as no data\n" +
                test::mapconv_message("success", in, out));
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
  EXPECT_EQ(result.err, success(dir));
  EXPECT_EQ(std::filesystem::file_size(dir.file("out.dat")), 834u + 4u * 300u * 200u);
}

}  // namespace
