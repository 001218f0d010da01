// The legend's rules: round ticks, their unit, the scale bar and the title.
#include "programs/mapinfo/figure_scale.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

TEST(HeightTicks, RoundStepsInTheUnitTheRangeAsks) {
  struct Case {
    double min, max;  // nm
    const char* unit;
    std::vector<std::string> labels;
  };
  const Case cases[] = {
      // The example surface: steps of 50 nm.
      {-79.9995, 281.6799, "nm", {"-50", "0", "50", "100", "150", "200", "250"}},
      {0, 10, "nm", {"0", "2", "4", "6", "8", "10"}},
      // Each side of the 1-2-5 steps' borders (a fifth of the range 1.5,
      // 3.5 and 7.5 times a power of ten).
      {0, 7.4, "nm", {"0", "1", "2", "3", "4", "5", "6", "7"}},
      {0, 7.6, "nm", {"0", "2", "4", "6"}},
      {0, 17.4, "nm", {"0", "2", "4", "6", "8", "10", "12", "14", "16"}},
      {0, 17.6, "nm", {"0", "5", "10", "15"}},
      {0, 37.4, "nm", {"0", "5", "10", "15", "20", "25", "30", "35"}},
      {0, 37.6, "nm", {"0", "10", "20", "30"}},
      {0.31, 0.97, "nm", {"0.4", "0.5", "0.6", "0.7", "0.8", "0.9"}},
      {0, 1, "nm", {"0.0", "0.2", "0.4", "0.6", "0.8", "1.0"}},
      // Past a micrometre the labels turn to µm, past a millimetre to mm.
      {0, 1200, "µm", {"0.0", "0.2", "0.4", "0.6", "0.8", "1.0", "1.2"}},
      {0, 999, "nm", {"0", "200", "400", "600", "800"}},
      {0, 1000, "µm", {"0.0", "0.2", "0.4", "0.6", "0.8", "1.0"}},
      {-2500, 2500, "µm", {"-2", "-1", "0", "1", "2"}},
      {-999, 999, "nm", {"-500", "0", "500"}},
      {12e3, 17e3, "µm", {"12", "13", "14", "15", "16", "17"}},
      {0, 3e6, "mm", {"0.0", "0.5", "1.0", "1.5", "2.0", "2.5", "3.0"}},
      {-0.7, -0.2, "nm", {"-0.7", "-0.6", "-0.5", "-0.4", "-0.3", "-0.2"}},
      // No tick outside the range, however close.
      {0.001, 0.999, "nm", {"0.2", "0.4", "0.6", "0.8"}},
      // A flat map: one tick at its height.
      {42.5, 42.5, "nm", {"42.5"}},
      {-3e6, -3e6, "mm", {"-3"}},
  };
  for (const Case& c : cases) {
    const HeightTicks ticks = height_ticks(c.min, c.max);
    const std::string name = std::to_string(c.min) + ".." + std::to_string(c.max);
    EXPECT_STREQ(ticks.unit, c.unit) << name;
    EXPECT_EQ(ticks.labels, c.labels) << name;
    ASSERT_EQ(ticks.heights.size(), ticks.labels.size()) << name;
    for (const double height : ticks.heights) {
      EXPECT_GE(height, c.min) << name;
      EXPECT_LE(height, c.max) << name;
    }
    // Three to nine ticks for any range that is not flat.
    if (c.max > c.min) {
      EXPECT_GE(ticks.heights.size(), 3u) << name;
      EXPECT_LE(ticks.heights.size(), 9u) << name;
    }
  }
}

TEST(HeightTicks, ExtremeRangesStayFewAndFinite) {
  for (const auto& [min, max] : {std::pair{-1e12, 1e12}, std::pair{1e12, 1e12 + 1e-3}, std::pair{0.0, 1e-250},
                                 std::pair{-3.4e47, 3.4e47}}) {
    const HeightTicks ticks = height_ticks(min, max);
    EXPECT_GE(ticks.heights.size(), 1u) << min << ".." << max;
    EXPECT_LE(ticks.heights.size(), 9u) << min << ".." << max;
    for (const double height : ticks.heights) EXPECT_TRUE(std::isfinite(height));
  }
}

TEST(ScaleBar, LongestRoundLengthWithinThirtyPercentOfTheMap) {
  struct Case {
    double metres_per_pixel;
    std::uint32_t map_pixels;
    std::uint32_t pixels;
    const char* label;
  };
  const Case cases[] = {
      // The example: 160 points 10 µm apart, 0.48 mm of room.
      {10e-6, 160, 20, "200 µm"},
      {1e-5, 1600, 200, "2 mm"},
      {1e-5, 400, 100, "1 mm"},
      {1e-5, 300, 50, "500 µm"},
      {1e-6, 1000, 200, "200 µm"},
      {1e-6, 100, 20, "20 µm"},
      {0.5e-6, 100, 20, "10 µm"},
      {0.5e-6, 60, 10, "5 µm"},
      {1e-9, 1000, 200, "0.2 µm"},
      {2e-3, 1000, 250, "500 mm"},
      {1e-3, 1000, 200, "200 mm"},
      {3.3e-6, 1000, 152, "500 µm"},
      // No spacing, or a map too narrow for one pixel of bar: none.
      {0, 100, 0, ""},
      {-1e-6, 100, 0, ""},
      {NAN, 100, 0, ""},
      {1e-6, 3, 0, ""},
  };
  for (const Case& c : cases) {
    const ScaleBar bar = scale_bar(c.metres_per_pixel, c.map_pixels);
    const std::string name = std::to_string(c.metres_per_pixel) + " x " + std::to_string(c.map_pixels);
    EXPECT_EQ(bar.pixels, c.pixels) << name;
    EXPECT_EQ(bar.label, c.label) << name;
  }
}

TEST(FigureTitle, NamesTheFileGridParametersAndWhatTheMapShows) {
  HeightParameters plane{};
  plane.level = HEIGHT_LEVEL_PLANE;
  plane.sa = 46.12321;
  plane.sq = 59.62304;
  HeightParameters mean = plane;
  mean.level = HEIGHT_LEVEL_MEAN;
  HeightParameters empty = plane;
  empty.sa = NAN;
  struct Case {
    const char* source;
    const HeightParameters* parameters;
    bool levelled;
    const char* title;
  };
  const Case cases[] = {
      {"surface.xdt", &plane, false,
       "surface.xdt   160 × 120 points\nSa 46.1232 nm   Sq 59.6230 nm (least-squares plane removed)   "
       "map as measured"},
      {"surface.xdt", &mean, true,
       "surface.xdt   160 × 120 points\nSa 46.1232 nm   Sq 59.6230 nm (mean height removed)   "
       "map less the mean height"},
      {"surface.xdt", &empty, true, "surface.xdt   160 × 120 points\nSa n/a   Sq n/a   map less the least-squares plane"},
      {"surface.xdt", nullptr, false, "surface.xdt   160 × 120 points\nmap as measured"},
      // Control bytes escaped as on the terminal, bytes that are not UTF-8 too.
      {"red\x1b[31m\nline\xe9.xdt", nullptr, false, "red\\x1B[31m\\nline\\xE9.xdt   160 × 120 points\nmap as measured"},
      {"caf\xc3\xa9.xdt", nullptr, false, "caf\xc3\xa9.xdt   160 × 120 points\nmap as measured"},
  };
  for (const Case& c : cases) EXPECT_EQ(figure_title(c.source, 160, 120, c.parameters, c.levelled), c.title);
}

}  // namespace
