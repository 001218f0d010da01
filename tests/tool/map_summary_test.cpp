#include "programs/mapinfo/map_summary.h"

#include <gtest/gtest.h>
#include <mapconv/conversion.h>
#include <mapconv/height_parameters.h>
#include <mapconv/map_records.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "programs/mapinfo/colour_map.h"

namespace {

TEST(JsonString, EscapesWhatJsonForbidsAndKeepsWellFormedUtf8) {
  struct Case {
    std::string text;
    const char* json;
  };
  const Case cases[] = {
      {"plain.xdt", R"("plain.xdt")"},
      {"a\"b\\c", R"("a\"b\\c")"},
      {"tab\tnew\nret\r", R"("tab\tnew\nret\r")"},
      {std::string("nul\0bell\x07 del\x7f", 14), R"("nul\u0000bell\u0007 del\u007f")"},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},
      {"latin1 \xe9!", R"("latin1 \u00e9!")"},
      {"overlong \xc0\x80", R"("overlong \u00c0\u0080")"},
      {"surrogate \xed\xa0\x80", R"("surrogate \u00ed\u00a0\u0080")"},
      {"too high \xf4\x90\x80\x80", R"("too high \u00f4\u0090\u0080\u0080")"},
      {"cut \xe2\x82", R"("cut \u00e2\u0082")"},
  };
  for (const Case& c : cases) {
    std::string out;
    append_json_string(&out, c.text);
    EXPECT_EQ(out, c.json) << c.text;
  }
}

TEST(HeightParameters, StreamsInAnyPiecesAndRefusesMisuse) {
  constexpr int columns = 37, rows = 23;
  std::vector<double> z(columns * rows);
  for (std::size_t i = 0; i < z.size(); ++i)
    z[i] = i % 11 == 3 ? NAN
                       : 5e3 + 0.3 * double(i % columns) - 2.0 * double(i / columns) + std::sin(0.1 * i * i);
  HeightParameters whole{};
  ASSERT_EQ(compute_height_parameters(z.data(), columns, rows, 1e-6, HEIGHT_LEVEL_PLANE, &whole), NO_ERROR);
  for (const std::size_t piece : {std::size_t{1}, std::size_t{5}, std::size_t{300}}) {
    HeightParameterStream stream;
    ASSERT_EQ(height_parameters_start(columns, rows, 1e-6, HEIGHT_LEVEL_PLANE, &stream), NO_ERROR);
    for (int pass = 0; pass < 2; ++pass) {
      for (std::size_t at = 0; at < z.size(); at += piece)
        ASSERT_EQ(height_parameters_feed(&stream, z.data() + at, std::min(piece, z.size() - at)), NO_ERROR);
      if (pass == 0) {
        ASSERT_EQ(height_parameters_next_pass(&stream), NO_ERROR);
      }
    }
    HeightParameters p{};
    ASSERT_EQ(height_parameters_finish(&stream, &p), NO_ERROR);
    EXPECT_EQ(p.points, whole.points);
    for (const auto& [got, want] :
         {std::pair{p.sq, whole.sq}, {p.ssk, whole.ssk}, {p.sz, whole.sz}, {p.slope_y, whole.slope_y}})
      EXPECT_NEAR(got, want, 1e-10 * std::fabs(want)) << piece;
  }
  EXPECT_NEAR(whole.slope_x_per_step, 0.3, 0.01);
  HeightParameterStream stream;
  EXPECT_EQ(height_parameters_start(0, rows, 1.0, HEIGHT_LEVEL_MEAN, &stream), ERR_INVALID_PARAM);
  EXPECT_EQ(height_parameters_start(columns, rows, 1.0, HeightLevel{7}, &stream), ERR_INVALID_PARAM);
  ASSERT_EQ(height_parameters_start(columns, rows, 1.0, HEIGHT_LEVEL_MEAN, &stream), NO_ERROR);
  EXPECT_EQ(height_parameters_feed(&stream, z.data(), z.size() + 1), ERR_INVALID_PARAM);
  EXPECT_EQ(height_parameters_feed(&stream, z.data(), 10), NO_ERROR);
  EXPECT_EQ(height_parameters_next_pass(&stream), ERR_INVALID_PARAM);
  EXPECT_EQ(height_parameters_feed(&stream, z.data() + 10, z.size() - 10), NO_ERROR);
  HeightParameters p{};
  EXPECT_EQ(height_parameters_finish(&stream, &p), ERR_INVALID_PARAM);
  EXPECT_EQ(height_parameters_next_pass(&stream), NO_ERROR);
  z[3] = 1.0;  // a point the first pass did not count
  EXPECT_EQ(height_parameters_feed(&stream, z.data(), z.size()), NO_ERROR);
  EXPECT_EQ(height_parameters_finish(&stream, &p), ERR_INVALID_PARAM);
}

// The powers are summed in a unit near the heights' spread: Ssk and Sku do
// not depend on the unit of the heights, even where z^4 overflows or
// underflows a double, and Sq scales with it.
TEST(HeightParameters, KeepsEveryParameterFiniteAtAnyHeightScale) {
  constexpr int columns = 7, rows = 5;
  std::vector<std::int32_t> counts(columns * rows);
  for (std::size_t i = 0; i < counts.size(); ++i)
    counts[i] =
        i == 9 ? PHASE_INVALID : static_cast<std::int32_t>((i * i * 7) % 101 + (i % 6 == 0 ? 400 : 0));
  const auto parameters = [&](double height_per_count) {
    HeightParameterStream stream;
    HeightParameters p{};
    EXPECT_EQ(height_parameters_start(columns, rows, 1e-6, HEIGHT_LEVEL_PLANE, &stream), NO_ERROR);
    EXPECT_EQ(height_parameters_feed_counts(&stream, counts.data(), counts.size(), height_per_count),
              NO_ERROR);
    EXPECT_EQ(height_parameters_next_pass(&stream), NO_ERROR);
    EXPECT_EQ(height_parameters_feed_counts(&stream, counts.data(), counts.size(), height_per_count),
              NO_ERROR);
    EXPECT_EQ(height_parameters_finish(&stream, &p), NO_ERROR);
    return p;
  };
  DataFileHeader huge{};
  huge.wavelength = 3e38f;
  huge.scale_factor = 3e38f;
  struct Case {
    const char* name;
    double nanometres_per_count;
  };
  const Case cases[] = {
      {"wavelength and scale factor 3e38", metres_per_phase_count(&huge) * 1e9},  // z^4 above 1e330
      {"1e80 per count", 1e80},
      {"1e150 per count", 1e150},
      {"1e-150 per count", 1e-150},  // z^4 below the subnormals
  };
  const HeightParameters unit = parameters(1.0);
  ASSERT_TRUE(std::isfinite(unit.ssk) && std::isfinite(unit.sku));
  for (const Case& c : cases) {
    const HeightParameters p = parameters(c.nanometres_per_count);
    EXPECT_NEAR(p.ssk, unit.ssk, 1e-12 * std::fabs(unit.ssk)) << c.name;
    EXPECT_NEAR(p.sku, unit.sku, 1e-12 * unit.sku) << c.name;
    for (const auto& [got, want] :
         {std::pair{p.sq, unit.sq}, {p.sa, unit.sa}, {p.sp, unit.sp}, {p.sv, unit.sv}, {p.sz, unit.sz}})
      EXPECT_NEAR(got / c.nanometres_per_count, want, 1e-12 * want) << c.name;
  }
}

TEST(HeightStatistics, CountsEachKindOfPointAndSummarisesTheValidOnes) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  // Metres; -1.0 and below mean no data, -0.999 is a valid (deep) point.
  const float xdt[] = {1e-9f, -1.0f, 3e-9f, nan, -2.0f, inf, -inf, 5e-9f, 7e-9f};
  const HeightGrid grid{3, 3, xdt, nullptr, 0.0, nullptr};
  const HeightStatistics stats = compute_height_statistics(grid);
  EXPECT_EQ(stats.valid, 4u);
  EXPECT_EQ(stats.no_data, 3u);  // -1.0, -2.0 and -inf
  EXPECT_EQ(stats.non_finite, 2u);
  EXPECT_NEAR(stats.min, 1.0, 1e-6);
  EXPECT_NEAR(stats.max, 7.0, 1e-6);
  EXPECT_NEAR(stats.mean, 4.0, 1e-6);
  EXPECT_NEAR(stats.rms, std::sqrt(5.0), 1e-6);  // deviations -3, -1, 1, 3
}

TEST(HeightStatistics, ConvertsPhaseCountsWithTheFileSettings) {
  const std::int32_t counts[] = {PHASE_INVALID, -100, 300, PHASE_INVALID};
  const HeightGrid grid{2, 2, nullptr, counts, 0.5, nullptr};
  const HeightStatistics stats = compute_height_statistics(grid);
  EXPECT_EQ(stats.valid, 2u);
  EXPECT_EQ(stats.no_data, 2u);
  EXPECT_EQ(stats.min, -50.0);
  EXPECT_EQ(stats.max, 150.0);
  EXPECT_EQ(stats.mean, 50.0);
  EXPECT_EQ(stats.rms, 100.0);
}

TEST(HeightStatistics, StaysAccurateForALargeOffset) {
  // A naive sum of squares loses the spread entirely at this offset.
  std::vector<std::int32_t> counts(10000);
  for (std::size_t i = 0; i < counts.size(); ++i) counts[i] = 2000000000 + (i % 2 == 0 ? 1 : -1);
  const HeightGrid grid{100, 100, nullptr, counts.data(), 1.0, nullptr};
  EXPECT_NEAR(compute_height_statistics(grid).rms, 1.0, 1e-6);
}

// Points are summed in runs and the runs merged: runs whose means differ
// must merge to the mean and spread of the whole grid, weighted by count.
TEST(HeightStatistics, MergesRunsWithDifferentMeans) {
  struct Case {
    std::size_t zeros;
    std::size_t others;
    std::int32_t other;
    double mean, rms;
  };
  const Case cases[] = {
      {4096, 4096, 2, 1.0, 1.0},
      {4096, 2048, 3, 1.0, std::sqrt(2.0)},
  };
  for (const Case& c : cases) {
    std::vector<std::int32_t> counts(c.zeros, 0);
    counts.resize(c.zeros + c.others, c.other);
    const HeightGrid grid{static_cast<std::int32_t>(counts.size()), 1, nullptr, counts.data(), 1.0, nullptr};
    const HeightStatistics stats = compute_height_statistics(grid);
    EXPECT_NEAR(stats.mean, c.mean, 1e-12) << c.zeros << " zeros, " << c.others << " x " << c.other;
    EXPECT_NEAR(stats.rms, c.rms, 1e-12) << c.zeros << " zeros, " << c.others << " x " << c.other;
  }
}

TEST(ColourMap, RisesInLuminanceFromEndToEnd) {
  const auto luminance = [](Rgb c) { return 0.2126 * c.red + 0.7152 * c.green + 0.0722 * c.blue; };
  for (std::size_t i = 1; i < colour_map.size(); ++i) {
    EXPECT_GE(luminance(colour_map[i]), luminance(colour_map[i - 1])) << i;
  }
  EXPECT_GT(luminance(colour_map.back()) - luminance(colour_map.front()), 150.0);
}

TEST(ColourMap, ScalesHeightsOntoTheTable) {
  struct Case {
    double height, min, max;
    std::size_t entry;
  };
  const double huge = std::numeric_limits<double>::max();
  const Case cases[] = {
      {0.0, 0.0, 10.0, 0},      {10.0, 0.0, 10.0, 255},  {5.0, 0.0, 10.0, 128},
      {-4.0, -4.0, 4.0, 0},     {3.0, 3.0, 3.0, 128},    {-huge, -huge, huge, 0},
      {huge, -huge, huge, 255}, {0.0, -huge, huge, 128}, {11.0, 0.0, 10.0, 255},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(colour_for_height(c.height, c.min, c.max), colour_map[c.entry]) << c.height;
  }
}

TEST(Summary, ShowsNoStatisticsWithoutValidPoints) {
  const float xdt[] = {-1.0f, -1.0f, -1.0f, -1.0f};
  const HeightGrid grid{2, 2, xdt, nullptr, 0.0, nullptr};
  const MapSummary summary{"empty.xdt", nullptr, 2, 2, compute_height_statistics(grid), 1.5f, nullptr};
  const std::string json = summary_json(summary);
  EXPECT_NE(json.find(R"("heights_nm":{"min":null,"max":null,"mean":null,"rms":null,"peak_to_valley":null})"),
            std::string::npos)
      << json;
  EXPECT_NE(summary_text(summary).find("height min           n/a\n"), std::string::npos);
}

}  // namespace
