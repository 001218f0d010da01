// Reader for XDT surface files: two 16-bit counts (columns, rows), then
// columns * rows records of three 32-bit floats (x, y, z), row by row.
// After ERR_CANT_OPEN_FILE or ERR_CANT_READ_FILE, errno holds the system's
// reason (EISDIR for a folder); closing the file on the way out keeps it.
#pragma once

#include <mapconv/api.h>
#include <mapconv/errors.h>
#include <mapconv/interrupt.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

// An XDT file being read piece by piece. A plain record so that it can live
// on the caller's stack: the caller reads columns, rows and points, and
// never writes any field; every field after points is the functions' own
// state and may change meaning between versions.
struct XdtStream {
  std::int32_t columns;  // valid after a successful open
  std::int32_t rows;
  std::uint64_t points;  // columns * rows

  // The functions' own state. Columns of the outermost valid points of one row, with their x values.
  // first == columns means none; last == -1 means fewer than two valid points.
  struct Span {
    std::int32_t first;
    std::int32_t last;
    float first_x;
    float last_x;
  };
  std::FILE* file;
  unsigned char* buffer;  // hooked block of buffer_records whole records
  std::size_t buffer_records;
  std::size_t buffered;             // records read but not yet handed out
  std::size_t next;                 // the first of them, as a record index into buffer
  std::uint64_t handed_out;         // points handed out so far
  std::int32_t column;              // grid column of the next point
  Span row;                         // valid points of the current row so far
  Span chosen;                      // the span the resolution comes from
  ErrorCode failure;                // a read failure, returned again by later reads
  const InterruptCheck* interrupt;  // asked before each chunk and after each interruption; may be null
  bool swap;
};

// The grid size that an XDT file's first four bytes give: two 16-bit
// counts, columns then rows, byte-reversed with swap. Returns 0, or
// ERR_PARAM_OUT_OF_RANGE when a count is below 2 or above 32767; *columns
// and *rows are set either way. Prints nothing.
MAPCONV_API ErrorCode xdt_grid_size(const unsigned char (&first_bytes)[4], bool swap, std::int32_t* columns,
                                    std::int32_t* rows);

// The lateral resolution the reader works out from a row's outermost
// valid points, columns first < last with x values first_x and last_x: 0
// with it, or ERR_PARAM_OUT_OF_RANGE (and 0.0) when they give none (last
// not above first, or a spacing that is not finite or beyond float range).
// For a writer whose x values must give a resolution back. Prints nothing.
MAPCONV_API ErrorCode xdt_span_resolution(std::int32_t first, std::int32_t last, float first_x, float last_x,
                                          float* lateral_resolution);

// Makes the record all zero, owning nothing (a state close accepts).
MAPCONV_API void xdt_stream_clear(XdtStream* stream);

// Opens path, reads and checks the counts ("Num Cols = N is too small" and
// the like, through u_print), checks a regular file's size against the grid
// before allocating anything ("EOF reading point N of M"), and allocates the
// read buffer, which the stream owns until xdt_stream_close. With swap set,
// every number in the file is byte-reversed. Whatever *stream held is
// overwritten, not released. Returns 0, ERR_INVALID_PARAM,
// ERR_CANT_OPEN_FILE, ERR_CANT_READ_FILE (the system failed the read of the
// counts: "Error reading the grid size: REASON", and errno tells why),
// ERR_PREMATURE_EOF, ERR_PARAM_OUT_OF_RANGE or ERR_NO_MEM; after a failure
// the stream is closed and cleared.
MAPCONV_API ErrorCode xdt_stream_open(const char* path, bool swap, XdtStream* stream);

// Stores the next heights into the caller's array, at most capacity of them
// and fewer only when the grid ends, -1.0 where a point has no data, and sets
// *count; returns 0 with *count 0 once every point was handed out. A file
// that ends early prints "EOF reading point N of M" and returns
// ERR_PREMATURE_EOF with *count 0 (the array then holds nothing of use; later
// reads fail the same way, silently). Signals interrupting the read are
// retried; the stream's interrupt check, when set, may stop the read instead:
// ERR_INTERRUPTED, silently. A read the system fails prints "Error
// reading point N of M: REASON" and returns ERR_CANT_READ_FILE, with errno
// telling why. ERR_INVALID_PARAM for a stream that is not open, a null array
// or count, or capacity 0. Diagnostics go through u_print.
MAPCONV_API ErrorCode xdt_stream_read(XdtStream* stream, float* heights, std::size_t capacity,
                                      std::size_t* count);

// After the last point: sets the lateral resolution worked out from the x
// coordinates and returns 0, or prints "Could not calculate lateral
// resolution" (a value that is not finite counts as none) and returns
// ERR_PARAM_OUT_OF_RANGE with 0.0. ERR_INVALID_PARAM while points remain.
MAPCONV_API ErrorCode xdt_stream_finish(XdtStream* stream, float* lateral_resolution);

// Closes the file, releases the read buffer and clears the record; harmless
// on a cleared record and when repeated.
MAPCONV_API void xdt_stream_close(XdtStream* stream);

// Reads the whole grid at path through a stream. On success hands back the
// counts, a block of columns * rows heights (-1.0 where a point has no data)
// that the caller releases through memory_hooks.release, and the lateral
// resolution worked out from the x coordinates. With swap set, every number in the file is
// byte-reversed. Returns 0, ERR_INVALID_PARAM, ERR_CANT_OPEN_FILE,
// ERR_CANT_READ_FILE (errno tells why), ERR_PREMATURE_EOF,
// ERR_PARAM_OUT_OF_RANGE or ERR_NO_MEM; after a failure (other than
// ERR_INVALID_PARAM) the out-parameters hold 0, 0, null, 0.0. A folder gives
// ERR_CANT_OPEN_FILE; a lateral resolution that is not finite counts as one
// that cannot be worked out. A regular file's size is checked before the
// height block is allocated; from a pipe or a device the block grows with
// the points that arrive, never with what the counts claim. A regular file
// larger than one read buffer is read in two halves side by side.
MAPCONV_API ErrorCode read_xdt_file(const char* path, std::int32_t* columns, std::int32_t* rows,
                                    float** heights, float* lateral_resolution, bool swap);

// As read_xdt_file, but a point without data gets no_data instead of -1.0
// (NaN, for a caller whose arrays mark missing values so; a NaN mark cannot
// be told from a NaN height in the file).
MAPCONV_API ErrorCode read_xdt_file_marked(const char* path, std::int32_t* columns, std::int32_t* rows,
                                           float** heights, float* lateral_resolution, bool swap,
                                           float no_data);

// As read_xdt_file_marked, asking interrupt (see interrupt.h; may be null)
// while it reads, from the caller's thread and the reader's second one:
// ERR_INTERRUPTED when it said stop, with nothing handed back.
MAPCONV_API ErrorCode read_xdt_file_watched(const char* path, std::int32_t* columns, std::int32_t* rows,
                                            float** heights, float* lateral_resolution, bool swap,
                                            float no_data, const InterruptCheck* interrupt);
