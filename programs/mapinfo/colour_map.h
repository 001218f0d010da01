// False-colour table for height pictures: 256 colours from dark violet
// through blue, teal and green to yellow, with lightness rising all the way,
// so that a higher point always looks brighter, also in grey-scale print.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>

struct Rgb {
  std::uint8_t red;
  std::uint8_t green;
  std::uint8_t blue;
  friend constexpr bool operator==(const Rgb&, const Rgb&) = default;
};

// Points without a usable height.
inline constexpr Rgb NO_DATA_COLOUR{128, 128, 128};

namespace colour_map_detail {

// Our own anchors, evenly spaced; each has a higher luminance than the one
// before it, so the interpolated table is monotonic in luminance too.
inline constexpr Rgb anchors[] = {
    {48, 18, 72}, {58, 80, 140}, {34, 140, 140}, {90, 196, 96}, {246, 230, 40},
};
inline constexpr std::size_t anchor_count = std::size(anchors);

constexpr std::uint8_t blend(std::uint8_t low, std::uint8_t high, int step, int steps) {
  // Integer rounding of low + (high - low) * step / steps; never leaves 0..255.
  const int numerator = low * (steps - step) + high * step;
  return static_cast<std::uint8_t>((numerator + steps / 2) / steps);
}

// Relative luminance in units of 1/10000 (Rec. 709 weights on the stored
// values), enough to keep the table's brightness from ever stepping back.
constexpr int luminance(Rgb colour) { return 2126 * colour.red + 7152 * colour.green + 722 * colour.blue; }

constexpr std::array<Rgb, 256> make_table() {
  std::array<Rgb, 256> table{};
  constexpr int last = 255;
  constexpr int segments = static_cast<int>(anchor_count) - 1;
  for (int i = 0; i <= last; ++i) {
    // Position along the anchors in units of 1/last of a segment.
    const int scaled = i * segments;
    const int segment = scaled / last < segments ? scaled / last : segments - 1;
    const int step = scaled - segment * last;
    const Rgb& low = anchors[segment];
    const Rgb& high = anchors[segment + 1];
    table[i] = Rgb{blend(low.red, high.red, step, last), blend(low.green, high.green, step, last),
                   blend(low.blue, high.blue, step, last)};
    // Rounding each channel on its own can dim an entry by less than one
    // step of green; one step of green makes up for it.
    if (i > 0 && luminance(table[i]) < luminance(table[i - 1])) ++table[i].green;
  }
  return table;
}

}  // namespace colour_map_detail

inline constexpr std::array<Rgb, 256> colour_map = colour_map_detail::make_table();

static_assert(colour_map.front() == colour_map_detail::anchors[0]);
static_assert(colour_map.back() == colour_map_detail::anchors[colour_map_detail::anchor_count - 1]);

// The colour of a height between min and max (both finite, min <= max).
// A flat map (min == max) takes the middle colour.
inline Rgb colour_for_height(double height, double min, double max) {
  constexpr double last = static_cast<double>(colour_map.size() - 1);
  if (!(max > min)) return colour_map[colour_map.size() / 2];
  // Halved so that a span wider than the double range cannot overflow.
  double position = (height / 2 - min / 2) / (max / 2 - min / 2);
  if (!(position >= 0.0)) position = 0.0;
  if (position > 1.0) position = 1.0;
  return colour_map[static_cast<std::size_t>(position * last + 0.5)];
}
