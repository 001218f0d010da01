// Height-to-phase conversion: turns the heights of an XDT grid into a phase
// map and the header of a data file, under fixed interferometer settings.
#pragma once

#include <mapconv/api.h>
#include <mapconv/data_file_format.h>
#include <mapconv/errors.h>
#include <mapconv/map_records.h>

#include <cstddef>
#include <cstdint>
#include <span>

// The measurement that every converted file describes.
inline constexpr float CONVERSION_WAVELENGTH = 6.328e-7f;  // metres
inline constexpr float CONVERSION_SCALE_FACTOR = 0.5f;
inline constexpr float CONVERSION_OBLIQUITY = 1.0f;
inline constexpr std::int16_t CONVERSION_PHASE_RESOLUTION = 1;

// Zeroes *header and sets the seven fields a converted file carries: the
// settings above, the grid size and the lateral resolution (unchanged).
MAPCONV_API void build_header(std::int32_t columns, std::int32_t rows, float lateral_resolution,
                              DataFileHeader* header);

// Phase counts per metre of height for a header: 32768 / (wavelength *
// scale_factor), from the single-precision values as stored.
MAPCONV_API double phase_counts_per_metre(const DataFileHeader* header);

// Converts every height above -1.0 into a phase count, rounded half away from
// zero, and stores it at the same index of phases; a no-data height (<= -1.0)
// stores PHASE_INVALID, so every element is written and phases needs no
// filling beforehand. A height whose count is not a number or falls outside
// -2147483648 to 2147483639 (the counts below PHASE_INVALID) is stored as
// PHASE_INVALID too. Returns the number of heights so stored (no-data heights
// not included). phases must be at least as long as heights.
MAPCONV_API std::size_t convert_heights(std::span<const float> heights, double counts_per_metre,
                                        std::span<std::int32_t> phases);

// Gives *map the grid's geometry, creates it and converts the columns * rows
// heights into it, PHASE_INVALID where a height has no data: every element
// is written exactly once. *unrepresentable receives the
// number of heights stored as PHASE_INVALID because their count does not fit.
// Returns 0 or the code of phase_map_create (the map then has no block).
MAPCONV_API ErrorCode build_phase_map(std::int32_t columns, std::int32_t rows, const float* heights,
                                      double counts_per_metre, PhaseMap* map, std::size_t* unrepresentable);
