// Map records handed to the data file writer. Each owns one element block
// obtained through memory_hooks.
#pragma once

#include <mapconv/api.h>
#include <mapconv/errors.h>

#include <cstddef>
#include <cstdint>

// Phase count of a pixel without data.
inline constexpr std::int32_t PHASE_INVALID = 0x7FFFFFF8;

// Signed 32-bit phase counts, row after row. While data is non-null,
// capacity >= width * height.
struct PhaseMap {
  std::uint32_t capacity;
  std::int16_t origin_x;
  std::int16_t origin_y;
  std::int16_t width;
  std::int16_t height;
  std::int32_t* data;
};

// buckets frames of width * height 16-bit intensity counts in one block.
struct IntensityMap {
  std::uint32_t capacity;
  std::int16_t origin_x;
  std::int16_t origin_y;
  std::int16_t width;
  std::int16_t height;
  std::int16_t buckets;
  std::uint16_t range;  // copied unchanged into the header's intensity_range
  std::uint16_t* data;
};

// Optional record copied whole into the header's software_info block; only
// the 30-byte text is kept byte for byte, the 16-bit values are big-endian
// in the file.
struct SoftwareInfo {
  std::int16_t first_value;
  std::uint8_t text[30];
  std::int16_t last_values[3];
};
static_assert(sizeof(SoftwareInfo) == 38);
static_assert(offsetof(SoftwareInfo, text) == 2);
static_assert(offsetof(SoftwareInfo, last_values) == 32);

// Sets every field to zero and data to null; releases nothing.
MAPCONV_API void phase_map_clear(PhaseMap* map);

// Allocates width * height elements (uninitialised) for the geometry the
// caller has set. Returns 0, ERR_PARAM_OUT_OF_RANGE for an empty or
// negative size (record untouched), or ERR_NO_MEM (no block).
MAPCONV_API ErrorCode phase_map_create(PhaseMap* map);

// Stores value into each of the width * height elements; nothing for an
// empty map.
MAPCONV_API void phase_map_fill(PhaseMap* map, std::int32_t value);

// Returns the block, if any, and zeroes capacity, width and height; harmless
// on a cleared record and when repeated.
MAPCONV_API void phase_map_release(PhaseMap* map);
