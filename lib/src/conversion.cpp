#include <mapconv/conversion.h>

#include <cmath>
#include <cstdio>
#include <cstring>

#include "byte_blocks.h"
#include "conversion_internal.h"
#include "cpu_dispatch.h"
#include "xdt_stream_internal.h"

namespace {

// A rounded count q is kept only when its truncation lies from -2147483648 to
// 2147483639; testing q against these open bounds before the conversion keeps
// the float-to-int conversion in range. A NaN fails both tests.
constexpr double LOWEST_KEPT_EXCLUSIVE = -2147483649.0;
constexpr double HIGHEST_KEPT_EXCLUSIVE = static_cast<double>(PHASE_INVALID);

}  // namespace

void set_conversion_settings(DataFileHeader* header) {
  header->scale_factor = CONVERSION_SCALE_FACTOR;
  header->wavelength = CONVERSION_WAVELENGTH;
  header->obliquity = CONVERSION_OBLIQUITY;
  header->phase_resolution = CONVERSION_PHASE_RESOLUTION;
}

void build_header(std::int32_t columns, std::int32_t rows, float lateral_resolution, DataFileHeader* header) {
  std::memset(header, 0, sizeof *header);
  set_conversion_settings(header);
  header->lateral_resolution = lateral_resolution;
  header->frame_width = static_cast<std::int16_t>(columns);
  header->frame_height = static_cast<std::int16_t>(rows);
}

double phase_counts_per_metre(const DataFileHeader* header) {
  return 32768.0 / (static_cast<double>(header->wavelength) * static_cast<double>(header->scale_factor));
}

namespace {

// The heights come from an array, or straight from the z of XDT records: a
// height at -1.0 or below is a point without data either way.
struct FromHeights {
  const float* heights;
  float operator()(std::size_t i) const { return heights[i]; }
};
struct FromRecords {
  const unsigned char* records;
  float operator()(std::size_t i) const {
    float z;
    std::memcpy(&z, records + i * XDT_RECORD_SIZE + 8, sizeof z);
    return z;
  }
};

// One pass over the heights, written without branches so the compiler can
// convert several heights per instruction; with FileOrder each count is
// stored with its bytes reversed into the data file's big-endian order, so
// that no second pass over the counts is needed before they are written.
template <bool FileOrder, typename Source>
inline __attribute__((always_inline)) std::size_t convert_each(Source height, std::size_t count,
                                                               double counts_per_metre,
                                                               std::uint32_t* phases) {
  std::size_t unrepresentable = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const double z = height(i);
    const bool valid = !(z <= -1.0);
    const double p = counts_per_metre * z;
    // p - 0.5 for a negative p, p + 0.5 otherwise: copysign gives the same
    // sum, and -0.0 + -0.5 truncates to 0 as 0.5 does.
    const double q = p + std::copysign(0.5, p);
    const bool kept = (q > LOWEST_KEPT_EXCLUSIVE) & (q < HIGHEST_KEPT_EXCLUSIVE);
    // Only an in-range value is converted, so the conversion is defined.
    const auto rounded = static_cast<std::int32_t>(kept ? q : 0.0);
    unrepresentable += static_cast<std::size_t>(valid & !kept);
    const auto phase = static_cast<std::uint32_t>((valid & kept) ? rounded : PHASE_INVALID);
    if constexpr (FileOrder) {
      phases[i] = reversed(phase);
    } else {
      phases[i] = phase;
    }
  }
  return unrepresentable;
}

// Compiled for the processor at hand.
MAPCONV_HOT_LOOP std::size_t convert(const float* heights, std::size_t count, double counts_per_metre,
                                     std::uint32_t* phases) {
  return convert_each<false>(FromHeights{heights}, count, counts_per_metre, phases);
}
MAPCONV_HOT_LOOP std::size_t convert_to_file_order(const float* heights, std::size_t count,
                                                   double counts_per_metre, std::uint32_t* phases) {
  return convert_each<true>(FromHeights{heights}, count, counts_per_metre, phases);
}
MAPCONV_HOT_LOOP std::size_t convert_records_to_file_order(const unsigned char* records, std::size_t count,
                                                           double counts_per_metre, std::uint32_t* phases) {
  return convert_each<true>(FromRecords{records}, count, counts_per_metre, phases);
}

}  // namespace

std::size_t convert_heights(std::span<const float> heights, double counts_per_metre,
                            std::span<std::int32_t> phases) {
  // A signed value may be stored through its unsigned type.
  return convert(heights.data(), heights.size(), counts_per_metre,
                 reinterpret_cast<std::uint32_t*>(phases.data()));
}

std::size_t convert_heights_file_order(const float* heights, std::size_t count, double counts_per_metre,
                                       std::uint32_t* phases) {
  return convert_to_file_order(heights, count, counts_per_metre, phases);
}

std::size_t convert_records_file_order(const unsigned char* records, std::size_t count,
                                       double counts_per_metre, std::uint32_t* phases) {
  return convert_records_to_file_order(records, count, counts_per_metre, phases);
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
  // Every element is written once by the conversion itself: filling the
  // fresh block with PHASE_INVALID first would only touch it twice.
  const std::size_t count = static_cast<std::size_t>(columns) * static_cast<std::size_t>(rows);
  *unrepresentable =
      convert_heights(std::span(heights, count), counts_per_metre, std::span(map->data, count));
  return NO_ERROR;
}

double metres_per_phase_count(const DataFileHeader* header) {
  return static_cast<double>(header->scale_factor) * static_cast<double>(header->wavelength) / 32768.0;
}

HeightScaleFault height_scale_fault(const DataFileHeader* header) {
  const double metres = metres_per_phase_count(header);
  if (std::isfinite(metres) && metres != 0.0) return HEIGHT_SCALE_USABLE;
  const double wavelength = header->wavelength;
  return std::isfinite(wavelength) && wavelength != 0.0 ? HEIGHT_SCALE_SCALE_FACTOR : HEIGHT_SCALE_WAVELENGTH;
}

HeightScaleFault describe_height_scale_fault(const DataFileHeader* header, char* text, std::size_t size) {
  const HeightScaleFault fault = height_scale_fault(header);
  if (size == 0) return fault;
  text[0] = '\0';
  if (fault == HEIGHT_SCALE_USABLE) return fault;
  const bool wavelength = fault == HEIGHT_SCALE_WAVELENGTH;
  std::snprintf(text, size, "the %s (%.7g) gives no height scale", wavelength ? "wavelength" : "scale factor",
                static_cast<double>(wavelength ? header->wavelength : header->scale_factor));
  return fault;
}

void convert_phase_counts(std::span<const std::int32_t> counts, double metres_per_count,
                          std::span<double> heights) {
  for (std::size_t i = 0; i < counts.size(); ++i) {
    heights[i] = counts[i] == PHASE_INVALID ? std::nan("") : counts[i] * metres_per_count;
  }
}
