// Writer of binary measurement data files: header (834 or 4096 bytes), then
// the optional intensity block, then the optional phase block, big-endian.
// When a function below meets ERR_CANT_CREATE_FILE or ERR_CANT_WRITE_FILE
// (not one an earlier call on the same stream met), errno holds the system's
// reason afterwards (ENOENT for a missing folder, ENOSPC for a full disk, ...):
// the clean-up after the failure keeps it.
#pragma once

#include <mapconv/api.h>
#include <mapconv/data_file_format.h>
#include <mapconv/errors.h>
#include <mapconv/map_records.h>
#include <mapconv/output_file.h>

#include <cstdint>
#include <cstdio>

// Creates (or truncates) the file at path, under the library's path
// convention, and writes one data file. software, header and the maps may be
// null; a map with null data counts as absent. A null path, or no map, gives
// ERR_INVALID_PARAM (the file, if opened, stays empty). Returns 0, ERR_INVALID_PARAM,
// ERR_PARAM_OUT_OF_RANGE, ERR_CANT_CREATE_FILE, ERR_CANT_WRITE_FILE or
// ERR_NO_MEM (also when the file cannot be opened for lack of memory). The
// caller's records are only read.
MAPCONV_API ErrorCode write_data_file(const char* path, const SoftwareInfo* software,
                                      const DataFileHeader* header, const IntensityMap* intensity,
                                      const PhaseMap* phase);

// Writes one data file at the end of a stream opened for binary writing; the
// caller closes it. Same codes as write_data_file but ERR_CANT_CREATE_FILE.
// A map with a negative side or bucket count, a block too large for the
// header's 32-bit size field, or a capacity below its value count gives
// ERR_PARAM_OUT_OF_RANGE before anything is written.
MAPCONV_API ErrorCode write_data_stream(std::FILE* stream, const SoftwareInfo* software,
                                        const DataFileHeader* header, const IntensityMap* intensity,
                                        const PhaseMap* phase);

// Writes count 16-bit values big-endian through a 64 KiB staging buffer.
// Returns 0, ERR_CANT_WRITE_FILE, ERR_NO_MEM, or ERR_INVALID_PARAM for a
// null stream or null values with a non-zero count.
MAPCONV_API ErrorCode write_int16_block(const std::uint16_t* values, std::uint32_t count, std::FILE* stream);

// A data file written in pieces and put in place atomically: the blocks go
// out as the caller produces them (the intensity block, then the phase block),
// the header whenever it is known, and the file appears under its name only at
// a successful commit. Until then, and after any failure or a discard, the
// folder holds what it held before. A plain record so that it can live on
// the caller's stack: the caller reads the three flags below, and never
// writes any field; the fields after them are the functions' own state and
// may change meaning between versions.
struct DataFileStream {
  bool in_order;    // a character device: the header must be written before any block
  bool name_taken;  // begin or commit found an existing file of that name (no OUTPUT_REPLACE)
  bool is_input;    // begin_apart found that the name leads to the input

  // The functions' own state.
  OutputFile output;
  std::int32_t header_format;
  std::uint32_t header_size;
  IntensityMap intensity;  // geometry only; buckets 0 when absent
  PhaseMap phase;          // geometry only; width 0 when absent
  bool has_intensity;
  bool has_phase;
  std::uint64_t intensity_values;  // the blocks' lengths, from the geometry
  std::uint64_t phase_values;
  std::uint64_t intensity_written;
  std::uint64_t phase_written;
  bool header_written;
  ErrorCode failure;  // the first failed write, returned by every later call
  void* staging;      // through memory_hooks, sized at begin
  std::size_t staging_bytes;
};

// Sets every field to zero (no file, no block).
MAPCONV_API void data_file_stream_clear(DataFileStream* stream);

// Starts a data file at path (library path convention) with the given header
// format (1, 2 or 3, which fixes where the blocks start) and the geometry of
// its blocks: only the origins, sides, bucket count and range of the maps are
// used, a null map is an absent block, and at least one must be present.
// flags are those of output_file_open (OUTPUT_REPLACE to allow replacing an
// existing file). Allocates every buffer the stream needs, then opens the
// output. Returns 0, ERR_INVALID_PARAM, ERR_PARAM_OUT_OF_RANGE (a geometry the
// format cannot hold), ERR_NO_MEM or ERR_CANT_CREATE_FILE (with name_taken set
// when the name is taken). After a failure the stream owns nothing.
MAPCONV_API ErrorCode data_file_stream_begin(const char* path, unsigned flags, std::int32_t header_format,
                                             const IntensityMap* intensity, const PhaseMap* phase,
                                             DataFileStream* stream);

// data_file_stream_begin for a file made from the input that input describes
// (its fstat status): an output that is that file is refused as
// output_file_open_apart refuses it (ERR_CANT_CREATE_FILE, is_input set).
MAPCONV_API ErrorCode data_file_stream_begin_apart(const char* path, unsigned flags, const struct stat* input,
                                                   std::int32_t header_format, const IntensityMap* intensity,
                                                   const PhaseMap* phase, DataFileStream* stream);

// Appends count values to the intensity block, or to the phase block once the
// intensity block is complete; big-endian in the file. Returns 0,
// ERR_CANT_WRITE_FILE, or ERR_INVALID_PARAM for more values than the block
// holds, a block out of turn, or a block before the header of an in_order
// stream.
MAPCONV_API ErrorCode data_file_stream_write_intensity(DataFileStream* stream, const std::uint16_t* values,
                                                       std::size_t count);
MAPCONV_API ErrorCode data_file_stream_write_phase(DataFileStream* stream, const std::int32_t* values,
                                                   std::size_t count);

// Writes the header once: before the blocks (required when in_order) or after
// them. software and header may be null; the header's format must be the one
// given at begin. Returns 0, ERR_CANT_WRITE_FILE or ERR_INVALID_PARAM.
MAPCONV_API ErrorCode data_file_stream_write_header(DataFileStream* stream, const SoftwareInfo* software,
                                                    const DataFileHeader* header);

// Puts the complete file in place and releases the stream. Returns 0, an
// earlier write's code, ERR_INVALID_PARAM (header or values missing; the file
// is discarded), ERR_CANT_WRITE_FILE, or ERR_CANT_CREATE_FILE (name_taken set
// when a file of that name appeared without OUTPUT_REPLACE: it is left as it
// was and the new data is dropped).
MAPCONV_API ErrorCode data_file_stream_commit(DataFileStream* stream);

// Drops the file being written and releases the stream; harmless on a
// cleared stream and when repeated.
MAPCONV_API void data_file_stream_discard(DataFileStream* stream);

// write_data_file through a DataFileStream: the file at path appears complete
// or not at all, and an existing one is replaced only with OUTPUT_REPLACE
// (keeping its permission bits). Same codes as data_file_stream_begin and
// commit, and those of write_data_file for the maps. *name_taken (when not
// null) tells ERR_CANT_CREATE_FILE because an existing file of that name
// exists from any other reason (a missing folder, no permission: see errno).
MAPCONV_API ErrorCode write_data_file_atomic(const char* path, unsigned flags, const SoftwareInfo* software,
                                             const DataFileHeader* header, const IntensityMap* intensity,
                                             const PhaseMap* phase, bool* name_taken = nullptr);
