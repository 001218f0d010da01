#include "tool/conversion.h"

#include <cstring>

namespace {

// A rounded count q is kept only when its truncation lies from -2147483648 to
// 2147483639; testing q against these open bounds before the conversion keeps
// the float-to-int conversion in range. A NaN fails both tests.
constexpr double LOWEST_KEPT_EXCLUSIVE = -2147483649.0;
constexpr double HIGHEST_KEPT_EXCLUSIVE = static_cast<double>(PHASE_INVALID);

}  // namespace

void build_header(std::int32_t columns, std::int32_t rows, float lateral_resolution, DataFileHeader* header) {
  std::memset(header, 0, sizeof *header);
  header->scale_factor = CONVERSION_SCALE_FACTOR;
  header->wavelength = CONVERSION_WAVELENGTH;
  header->obliquity = CONVERSION_OBLIQUITY;
  header->lateral_resolution = lateral_resolution;
  header->phase_resolution = CONVERSION_PHASE_RESOLUTION;
  header->frame_width = static_cast<std::int16_t>(columns);
  header->frame_height = static_cast<std::int16_t>(rows);
}

double phase_counts_per_metre(const DataFileHeader* header) {
  return 32768.0 / (static_cast<double>(header->wavelength) * static_cast<double>(header->scale_factor));
}

std::size_t convert_heights(std::span<const float> heights, double counts_per_metre,
                            std::span<std::int32_t> phases) {
  std::size_t unrepresentable = 0;
  const std::size_t count = heights.size();
  for (std::size_t i = 0; i < count; ++i) {
    const double z = heights[i];
    if (z <= -1.0) continue;
    const double p = counts_per_metre * z;
    const double q = p < 0 ? p - 0.5 : p + 0.5;
    if (q > LOWEST_KEPT_EXCLUSIVE && q < HIGHEST_KEPT_EXCLUSIVE) {
      phases[i] = static_cast<std::int32_t>(q);
    } else {
      phases[i] = PHASE_INVALID;
      ++unrepresentable;
    }
  }
  return unrepresentable;
}

ErrorCode build_phase_map(std::int32_t columns, std::int32_t rows, const float* heights,
                          double counts_per_metre, PhaseMap* map, std::size_t* unrepresentable) {
  *unrepresentable = 0;
  map->origin_x = 0;
  map->origin_y = 0;
  map->width = static_cast<std::int16_t>(columns);
  map->height = static_cast<std::int16_t>(rows);
  const ErrorCode code = phase_map_create(map);
  if (code != NO_ERROR) return code;
  phase_map_fill(map, PHASE_INVALID);
  const std::size_t count = static_cast<std::size_t>(columns) * static_cast<std::size_t>(rows);
  *unrepresentable =
      convert_heights(std::span(heights, count), counts_per_metre, std::span(map->data, count));
  return NO_ERROR;
}
