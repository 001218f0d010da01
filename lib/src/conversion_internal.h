// The conversion's loop for the library's own writers. Not installed.
#pragma once

#include <cstddef>
#include <cstdint>

// As convert_heights, with each count stored in the data file's byte order
// (big-endian), ready to be written as it is.
std::size_t convert_heights_file_order(const float* heights, std::size_t count, double counts_per_metre,
                                       std::uint32_t* phases);

// As convert_heights_file_order, for the heights of count XDT records in the
// host's byte order: the z of each, a point without data at -1.0 or below.
std::size_t convert_records_file_order(const unsigned char* records, std::size_t count,
                                       double counts_per_metre, std::uint32_t* phases);
