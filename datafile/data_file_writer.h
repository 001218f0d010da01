// Writer of binary measurement data files: header (834 or 4096 bytes), then
// the optional intensity block, then the optional phase block, big-endian.
#pragma once

#include <cstdint>
#include <cstdio>

#include "common/errors.h"
#include "datafile/data_file_format.h"
#include "datafile/map_records.h"

// Creates (or truncates) the file at path, under the library's path
// convention, and writes one data file. software, header and the maps may be
// null; a map with null data counts as absent. A null path, or no map, gives
// ERR_INVALID_PARAM (the file, if opened, stays empty). Returns 0, ERR_INVALID_PARAM,
// ERR_PARAM_OUT_OF_RANGE, ERR_CANT_CREATE_FILE, ERR_CANT_WRITE_FILE or
// ERR_NO_MEM (also when the file cannot be opened for lack of memory). The
// caller's records are only read.
ErrorCode write_data_file(const char* path, const SoftwareInfo* software, const DataFileHeader* header,
                          const IntensityMap* intensity, const PhaseMap* phase);

// Writes one data file at the end of a stream opened for binary writing; the
// caller closes it. Same codes as write_data_file but ERR_CANT_CREATE_FILE.
// A map with a negative side or bucket count, a block too large for the
// header's 32-bit size field, or a capacity below its value count gives
// ERR_PARAM_OUT_OF_RANGE before anything is written.
ErrorCode write_data_stream(std::FILE* stream, const SoftwareInfo* software, const DataFileHeader* header,
                            const IntensityMap* intensity, const PhaseMap* phase);

// Writes count 16-bit values big-endian through a 64 KiB staging buffer.
// Returns 0, ERR_CANT_WRITE_FILE, ERR_NO_MEM, or ERR_INVALID_PARAM for a
// null stream or null values with a non-zero count.
ErrorCode write_int16_block(const std::uint16_t* values, std::uint32_t count, std::FILE* stream);
