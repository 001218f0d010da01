// Reader of binary measurement data files: the inverse of write_data_file.
// It accepts exactly the files the writer can produce, so that writing back
// what it read reproduces the file byte for byte.
#pragma once

#include <mapconv/api.h>
#include <mapconv/data_file_format.h>
#include <mapconv/errors.h>
#include <mapconv/interrupt.h>
#include <mapconv/map_records.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Everything a data file holds. The maps own their blocks (through
// memory_hooks); a map whose block is absent from the file has null data and
// zero geometry.
struct DataFileContents {
  std::int16_t header_format;  // 1, 2 or 3
  std::int32_t header_size;    // 834 or 4096
  SoftwareInfo software;
  DataFileHeader header;  // holes and bytes the format does not carry are zero
  IntensityMap intensity;
  PhaseMap phase;
};

// Sets every field to zero; releases nothing.
MAPCONV_API void data_file_contents_clear(DataFileContents* contents);

// Returns both map blocks, if any, and clears the record; harmless on a
// cleared record and when repeated.
MAPCONV_API void data_file_contents_release(DataFileContents* contents);

// Reads the data file at path (library path convention) into *contents,
// which must not own blocks. Returns 0, ERR_INVALID_PARAM (null argument),
// ERR_CANT_OPEN_FILE (errno tells why), ERR_CANT_READ_FILE (the system failed
// a read; errno then tells why), ERR_PREMATURE_EOF (the file is cut short),
// ERR_NOT_A_DATA_FILE (wrong magic number, inconsistent header, block
// lengths that do not match the geometry, or bytes after the last block) or
// ERR_NO_MEM. After a failure *contents is cleared and owns nothing. A
// regular file's length is checked before anything is allocated; from a pipe
// or a device, memory grows with the bytes that arrive, never with what the
// header claims. A read or open a signal interrupts is retried.
MAPCONV_API ErrorCode read_data_file(const char* path, DataFileContents* contents);

// As read_data_file, asking interrupt (see interrupt.h; may be null) while it
// reads, from the caller's thread and the reader's second one:
// ERR_INTERRUPTED when it said stop, and *contents then owns nothing.
MAPCONV_API ErrorCode read_data_file_watched(const char* path, DataFileContents* contents,
                                             const InterruptCheck* interrupt);

// The length a data file must have, from its first size bytes (at least its
// whole header, 834 or 4096 bytes as its magic number says), checked as
// read_data_file checks the header. Returns 0 with *length set,
// ERR_INVALID_PARAM (null argument), ERR_NOT_A_DATA_FILE, or
// ERR_PREMATURE_EOF when the bytes are fewer than the header needs (*length
// then holds the header's size, or 0 before the magic number is complete).
MAPCONV_API ErrorCode data_file_length(const unsigned char* first_bytes, std::size_t size,
                                       std::uint64_t* length);

// Reads and checks the header of the data file open in stream, which is left
// at the first block: *contents gets everything but the blocks (the maps
// have their geometry and null data). Returns 0, ERR_INVALID_PARAM,
// ERR_CANT_READ_FILE (errno tells why), ERR_PREMATURE_EOF or
// ERR_NOT_A_DATA_FILE; the block lengths are not
// checked against the file.
MAPCONV_API ErrorCode read_data_file_header(std::FILE* stream, DataFileContents* contents);

// True when the four bytes, read big-endian, are one of the three magic
// numbers.
MAPCONV_API bool is_data_file_magic(const unsigned char (&first_bytes)[4]);

// True when the file at path (library path convention) is a regular file
// whose first four bytes are a magic number: a data file, sound or not, and
// no XDT grid (file_kind_of_path's FILE_KIND_DATA_FILE). False for anything else, a file that cannot be opened or read
// included. A pipe or a device is not even opened, so that its bytes stay
// for the reader that follows. errno is left as it was.
MAPCONV_API bool starts_as_data_file(const char* path);
