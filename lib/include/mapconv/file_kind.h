// What a file is, told from its first bytes: a binary data file (by its
// magic number), an X3P file (a ZIP container's first local header) or an
// XDT grid (which has none: whatever no other kind claims), with the length
// such a file must have; and the words for a read
// of one that failed. The programs and the Python module decide the kind
// here alone.
#pragma once

#include <mapconv/api.h>
#include <mapconv/errors.h>

#include <cstddef>
#include <cstdint>

enum FileKind : std::int32_t {
  FILE_KIND_UNKNOWN = 0,    // not told: too few bytes, or a file that was not looked at
  FILE_KIND_DATA_FILE = 1,  // a data file's magic number, whatever follows it
  FILE_KIND_XDT = 2,        // any other first four bytes
  FILE_KIND_X3P = 3,        // a ZIP local header ("PK\3\4"): read by the X3P library
};

// First bytes that are always enough to tell the kind and the length: a
// data file's longest header.
inline constexpr std::size_t FILE_KIND_HEAD_SIZE = 4096;

struct FileKindInfo {
  std::int32_t kind;     // a FileKind
  std::uint64_t length;  // the length the file must have; 0 when the bytes do not give it
  std::int32_t columns;  // an XDT grid's counts as its first bytes give them (also out of
  std::int32_t rows;     // range); 0 for other kinds
};

// Tells the kind of a file from its first size bytes and, when they give
// it, the length the whole file must have: for a data file the length its
// header promises (data_file_length), for an XDT grid the two counts and
// 12 bytes per point; an X3P file's length is not in its first bytes (0).
// Returns 0, or with *info still set:
// ERR_INVALID_PARAM (null info, or null bytes with a size), ERR_PREMATURE_EOF (fewer than four
// bytes, kind unknown; or a data file's header cut short, length then the
// header's size), ERR_NOT_A_DATA_FILE (a data file whose header is
// inconsistent; length 0) or ERR_PARAM_OUT_OF_RANGE (an XDT grid whose
// counts are out of range; length 0). An XDT grid is told unswapped.
MAPCONV_API ErrorCode file_kind_of_bytes(const unsigned char* first_bytes, std::size_t size,
                                         FileKindInfo* info);

// As file_kind_of_bytes, for the first FILE_KIND_HEAD_SIZE bytes of the file
// at path (library path convention), fewer when the file is shorter. A pipe
// or a device is not even opened, so that its bytes stay for the reader
// that follows: 0 with kind FILE_KIND_UNKNOWN. Also returns
// ERR_CANT_OPEN_FILE (errno tells why; EISDIR for a folder) or
// ERR_CANT_READ_FILE (errno tells why); errno is left as it was otherwise.
MAPCONV_API ErrorCode file_kind_of_path(const char* path, FileKindInfo* info);

// Why reading a file of the given kind failed with code, in words for a
// message, written into text (size bytes with the NUL; cut to fit):
// "data file is cut short", "cannot read the file: " and system_error's
// text, and the like. For an XDT grid the words say that it is no data
// file either, since that is how it was told. said, when not null or empty,
// is what the reader printed about it (its lines joined), which says more
// exactly what is wrong: it follows the words, or for FILE_KIND_UNKNOWN
// and FILE_KIND_X3P stands alone. FILE_KIND_UNKNOWN gives words that hold for any file. For
// an X3P file ERR_NOT_IMPLEMENTED says the X3P library is needed.
MAPCONV_API void describe_read_failure(ErrorCode code, FileKind kind, int system_error, const char* said,
                                       char* text, std::size_t size);
