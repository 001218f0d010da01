// The data-file stream's functions for the library's own writers. Not
// installed.
#pragma once

#include <mapconv/data_file_writer.h>

#include <cstddef>
#include <cstdint>

// As data_file_stream_write_phase, for counts already in the file's byte
// order: they are written as they are, without the staging copy.
ErrorCode data_file_stream_write_phase_file_order(DataFileStream* stream, const std::uint32_t* values,
                                                  std::size_t count);
