// The figure around a height picture: title above the map, colour bar with
// labelled heights to its right, lateral scale bar below. Its text is drawn
// by pango through cairo, so this unit is built only where they are found
// (MAPINFO_LEGEND); the rules of what it says are figure_scale's.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "programs/mapinfo/height_picture.h"

class FigureCanvas {
 public:
  // Lays out the figure of a map of map pixels, coloured over range (valid
  // heights from range.min to range.max, none when range.valid is 0), whose
  // pixels are metres_per_pixel apart. Null when memory ran out.
  static std::unique_ptr<FigureCanvas> create(const std::string& title, PictureSize map,
                                              const HeightStatistics& range, double metres_per_pixel);

  PictureSize size() const { return size_; }
  // The map row that figure row y shows, or -1 above and below the map.
  std::int64_t map_row(std::uint32_t y) const;
  // Figure row y as RGB pixels; map_pixels is the map's row for it (null
  // outside the map). Rows are asked for in order.
  const unsigned char* row(std::uint32_t y, const unsigned char* map_pixels);

  // A piece of rendered text, RGB, placed in the figure.
  struct Stamp {
    std::int64_t x, y;
    std::uint32_t width, height;
    std::vector<unsigned char> rgb;
  };

 private:
  FigureCanvas() = default;
  static std::unique_ptr<FigureCanvas> lay_out(const std::string& title, PictureSize map,
                                               const HeightStatistics& range, double metres_per_pixel);

  PictureSize size_{};
  PictureSize map_{};
  std::uint32_t map_x_ = 0, map_y_ = 0;
  HeightStatistics range_{};
  std::uint32_t bar_x_ = 0, bar_width_ = 0;
  std::uint32_t tick_length_ = 0, tick_thickness_ = 0;
  std::vector<std::uint32_t> tick_rows_;
  std::uint32_t scale_y_ = 0, scale_thickness_ = 0, scale_pixels_ = 0;
  std::vector<Stamp> stamps_;
  std::vector<unsigned char> pixels_;
};
