// What a figure's legend says: the colour bar's ticks, the scale bar's
// length and the title line. Plain rules, apart from any drawing, so that
// the pictures and the tests share them.
#pragma once

#include <mapconv/height_parameters.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// A round number: mantissa (1, 2 or 5) times ten to the exponent.
struct RoundNumber {
  int mantissa;
  int exponent;
  double value() const;
};

// The colour bar's labelled heights for a colour range of min..max nm (both
// finite, min <= max): steps of 1, 2 or 5 times a power of ten, about five
// of them across the range, written in nm, µm or mm as the largest of them
// asks. A flat range has one tick, at its height.
struct HeightTicks {
  const char* unit;                 // "nm", "µm" or "mm"
  std::vector<double> heights;      // nanometres, ascending, within min..max
  std::vector<std::string> labels;  // the heights in unit, without it
};

HeightTicks height_ticks(double min, double max);

// The lateral scale bar: the longest round length, in µm or mm, that covers
// at most 30 % of a map map_pixels wide whose pixels are metres_per_pixel
// apart. None (pixels 0) when the spacing is not a positive finite number.
struct ScaleBar {
  std::uint32_t pixels;
  std::string label;  // such as "200 µm" or "1 mm"
};

ScaleBar scale_bar(double metres_per_pixel, std::uint32_t map_pixels);

// The title above the map, two lines: the file name escaped as on the
// terminal and the grid; Sa and Sq (when parameters is not null) with the
// form they are measured from, and what the map shows (levelled or not).
std::string figure_title(std::string_view source, std::int32_t columns, std::int32_t rows,
                         const HeightParameters* parameters, bool levelled);

// Whether min..max (nanometres) may be a request's colour range: both finite
// and at most a kilometre either way (so that the span stays finite), min
// below max.
bool colour_range_valid(double min, double max);
