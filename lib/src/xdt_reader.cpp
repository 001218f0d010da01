#include <fcntl.h>
#include <mapconv/byte_order.h>
#include <mapconv/data_file_format.h>
#include <mapconv/memory_hooks.h>
#include <mapconv/print.h>
#include <mapconv/xdt_reader.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>

#include "byte_blocks.h"
#include "cpu_dispatch.h"
#include "hooked_block.h"
#include "native_path.h"
#include "quiet_thread.h"
#include "retrying_io.h"
#include "xdt_stream_internal.h"

namespace {

constexpr std::int32_t MIN_COUNT = 2;
constexpr std::int32_t MAX_COUNT = 32767;
constexpr std::size_t RECORD_SIZE = XDT_RECORD_SIZE;
constexpr std::size_t COUNTS_SIZE = 4;
constexpr float NO_DATA = -1.0f;

// Records per read: about 256 KiB, always whole records, so the chunk is
// still in the processor's cache when it is parsed after the kernel's copy.
constexpr std::size_t RECORDS_PER_BUFFER = (std::size_t{1} << 18) / RECORD_SIZE;

using Span = XdtStream::Span;

template <bool Swap>
float load_float(const unsigned char* bytes) {
  std::uint32_t bits;
  std::memcpy(&bits, bytes, sizeof bits);
  if constexpr (Swap) bits = reversed(bits);
  return std::bit_cast<float>(bits);
}

bool is_valid(float stored) {
  // NaN compares false, so a NaN height counts as valid and is kept.
  return !(stored <= NO_DATA);
}

// Stores the heights of count records: z, or no_data for a point without data.
template <bool Swap>
void store_heights(const unsigned char* records, std::size_t count, float no_data, float* out) {
  for (std::size_t i = 0; i < count; ++i) {
    const float z = load_float<Swap>(records + i * RECORD_SIZE + 8);
    out[i] = is_valid(z) ? z : no_data;
  }
}

MAPCONV_HOT_LOOP void store_heights_native(const unsigned char* records, std::size_t count, float no_data,
                                           float* out) {
  store_heights<false>(records, count, no_data, out);
}

MAPCONV_HOT_LOOP void store_heights_swapped(const unsigned char* records, std::size_t count, float no_data,
                                            float* out) {
  store_heights<true>(records, count, no_data, out);
}

template <bool Swap>
bool record_is_valid(const unsigned char* record) {
  return is_valid(load_float<Swap>(record + 8));
}

// Updates the row's span with the valid points of count records of one row;
// column is the grid column of the first record.
template <bool Swap>
void span_records(const unsigned char* records, std::size_t count, std::int32_t column,
                  std::int32_t column_count, Span& row) {
  // Only the row's first valid point and its last one after that matter to
  // the span: look for them from either end of the piece. Validity comes
  // from the records, since a NaN mark cannot be told from a NaN height.
  std::size_t after_first = 0;
  if (row.first == column_count) {
    while (after_first < count && !record_is_valid<Swap>(records + after_first * RECORD_SIZE)) ++after_first;
    if (after_first == count) return;
    row.first = column + static_cast<std::int32_t>(after_first);
    row.first_x = load_float<Swap>(records + after_first * RECORD_SIZE);
    ++after_first;
  }
  for (std::size_t i = count; i > after_first; --i) {
    if (record_is_valid<Swap>(records + (i - 1) * RECORD_SIZE)) {
      row.last = column + static_cast<std::int32_t>(i - 1);
      row.last_x = load_float<Swap>(records + (i - 1) * RECORD_SIZE);
      return;
    }
  }
}

// Stores the heights of count records of one row and updates the row's span.
template <bool Swap>
void take_records(const unsigned char* records, std::size_t count, std::int32_t column,
                  std::int32_t column_count, float no_data, float* out, Span& row) {
  if constexpr (Swap) {
    store_heights_swapped(records, count, no_data, out);
  } else {
    store_heights_native(records, count, no_data, out);
  }
  span_records<Swap>(records, count, column, column_count, row);
}

// The number of whole point records the file holds after its counts, or
// nothing when its size cannot be known (a pipe, for instance).
bool records_in_file(std::FILE* file, std::uint64_t* records) {
  struct stat status {};
  if (fstat(fileno(file), &status) != 0 || !S_ISREG(status.st_mode)) return false;
  const auto size = static_cast<std::uint64_t>(std::max<off_t>(status.st_size, 0));
  *records = size > COUNTS_SIZE ? (size - COUNTS_SIZE) / RECORD_SIZE : 0;
  return true;
}

bool is_directory(std::FILE* file) {
  struct stat status {};
  return fstat(fileno(file), &status) == 0 && S_ISDIR(status.st_mode);
}

// A short read is the end of the file (read_error 0), or a failure the
// system names; the reason is left in errno for the caller. The message goes
// into note when one is given (see xdt_stream_read_noted), else to u_print.
ErrorCode report_missing_point(std::uint64_t point, std::uint64_t total, int read_error,
                               XdtNote* note = nullptr) {
  char text[sizeof note->text];
  // Both fit in int: the total is at most 32767 * 32767.
  if (read_error != 0) {
    std::snprintf(text, sizeof text, "Error reading point %d of %d: %s\n", static_cast<int>(point),
                  static_cast<int>(total), std::strerror(read_error));
  } else {
    std::snprintf(text, sizeof text, "EOF reading point %d of %d\n", static_cast<int>(point),
                  static_cast<int>(total));
  }
  if (note != nullptr) {
    std::memcpy(note->text, text, sizeof text);
  } else {
    u_print("%s", text);
  }
  if (read_error == 0) return ERR_PREMATURE_EOF;
  errno = read_error;
  return ERR_CANT_READ_FILE;
}

// The rule that picks the span a resolution comes from: a row replaces it
// whole when it reaches further on either side, even on one side only.
void widen(Span* chosen, const Span& row) {
  if (row.first < chosen->first || row.last > chosen->last) *chosen = row;
}

// Hands count records, from grid column `column` on, to take one row's part
// at a time (the part, its length, its first column); at the end of each row
// the row's span may replace the chosen one.
template <typename Take>
void by_rows(const unsigned char* records, std::size_t count, std::int32_t column_count, std::int32_t& column,
             Span& row, Span& chosen, Take take) {
  const Span none{column_count, -1, 0.0f, 0.0f};
  while (count > 0) {
    const std::size_t in_row = std::min(count, static_cast<std::size_t>(column_count - column));
    take(records, in_row, column);
    records += in_row * RECORD_SIZE;
    count -= in_row;
    column += static_cast<std::int32_t>(in_row);
    if (column == column_count) {
      widen(&chosen, row);
      row = none;
      column = 0;
    }
  }
}

// The lateral resolution of the chosen span, or false (with the message)
// when there is none.
bool resolution_of(const Span& chosen, float* lateral_resolution) {
  const bool resolved = xdt_span_resolution(chosen.first, chosen.last, chosen.first_x, chosen.last_x,
                                            lateral_resolution) == NO_ERROR;
  if (!resolved) u_print("Could not calculate lateral resolution\n");
  return resolved;
}

bool count_in_range(const char* name, std::int32_t count) {
  if (count < MIN_COUNT) {
    u_print("Num %s = %d is too small\n", name, static_cast<int>(count));
    return false;
  }
  if (count > MAX_COUNT) {
    u_print("Num %s = %d is too large\n", name, static_cast<int>(count));
    return false;
  }
  return true;
}

}  // namespace

ErrorCode xdt_span_resolution(std::int32_t first, std::int32_t last, float first_x, float last_x,
                              float* lateral_resolution) {
  if (lateral_resolution == nullptr) return ERR_INVALID_PARAM;
  bool resolved = last > first;
  float resolution = 0.0f;
  if (resolved) {
    // The difference in float, as it always was; only where that overflows
    // (x near the ends of the float range) is it taken in double, so that
    // every file that gave a spacing before gives the same bits.
    const float float_difference = last_x - first_x;
    const double x_difference = std::isfinite(float_difference)
                                    ? static_cast<double>(float_difference)
                                    : static_cast<double>(last_x) - static_cast<double>(first_x);
    const double spacing = x_difference / (static_cast<double>(last) - static_cast<double>(first));
    // NaN or infinite x values, or a spacing beyond float range, give no
    // usable spacing (and a float of it would be undefined).
    resolved = fits_header_float(spacing);
    if (resolved) resolution = static_cast<float>(spacing);
  }
  *lateral_resolution = resolution;
  return resolved ? NO_ERROR : ERR_PARAM_OUT_OF_RANGE;
}

ErrorCode xdt_grid_size(const unsigned char (&first_bytes)[4], bool swap, std::int32_t* columns,
                        std::int32_t* rows) {
  std::uint16_t counts[2];
  std::memcpy(counts, first_bytes, sizeof counts);
  if (swap) {
    u_swap_bytes(&counts[0], 2);
    u_swap_bytes(&counts[1], 2);
  }
  *columns = counts[0];
  *rows = counts[1];
  const auto in_range = [](std::int32_t count) { return count >= MIN_COUNT && count <= MAX_COUNT; };
  return in_range(*columns) && in_range(*rows) ? NO_ERROR : ERR_PARAM_OUT_OF_RANGE;
}

void xdt_stream_clear(XdtStream* stream) { *stream = XdtStream{}; }

void xdt_stream_close(XdtStream* stream) {
  if (stream->file != nullptr) std::fclose(stream->file);
  if (stream->buffer != nullptr) memory_hooks.release(stream->buffer);
  xdt_stream_clear(stream);
}

ErrorCode xdt_stream_open(const char* path, bool swap, XdtStream* stream) {
  return xdt_stream_open_watched(path, swap, nullptr, stream);
}

ErrorCode xdt_stream_open_watched(const char* path, bool swap, const InterruptCheck* interrupt,
                                  XdtStream* stream) {
  if (stream == nullptr) return ERR_INVALID_PARAM;
  xdt_stream_clear(stream);
  if (path == nullptr || path[0] == '\0') return ERR_INVALID_PARAM;

  FileHandle file(std::fopen(path, "rb"));
  // Opening a FIFO waits for its writer; a signal meanwhile is no failure.
  while (file == nullptr && errno == EINTR) {
    if (stop_asked(interrupt, true)) return ERR_INTERRUPTED;
    file.reset(std::fopen(path, "rb"));
  }
  // A folder opens as a stream on some systems, but it is no file to read.
  if (file == nullptr) return ERR_CANT_OPEN_FILE;
  if (is_directory(file.get())) {
    file.reset();
    errno = EISDIR;
    return ERR_CANT_OPEN_FILE;
  }
  // The records are read in large chunks straight into the reader's own
  // buffer; a stream buffer would only add a copy and a second call per chunk.
  std::setvbuf(file.get(), nullptr, _IONBF, 0);

  unsigned char counts[COUNTS_SIZE];
  // The stream is unbuffered: its descriptor is read directly.
  bool stopped = false;
  int reason = 0;
  if (read_descriptor(fileno(file.get()), counts, sizeof counts, interrupt, &reason, &stopped) !=
      sizeof counts) {
    if (stopped) return ERR_INTERRUPTED;
    if (reason == 0) return ERR_PREMATURE_EOF;
    file.reset();
    u_print("Error reading the grid size: %s\n", std::strerror(reason));
    errno = reason;
    return ERR_CANT_READ_FILE;
  }
  std::int32_t column_count = 0;
  std::int32_t row_count = 0;
  if (xdt_grid_size(counts, swap, &column_count, &row_count) != NO_ERROR) {
    // Says which count is wrong; the first one found is reported.
    if (count_in_range("Cols", column_count)) count_in_range("Rows", row_count);
    return ERR_PARAM_OUT_OF_RANGE;
  }

  const std::uint64_t total =
      static_cast<std::uint64_t>(column_count) * static_cast<std::uint64_t>(row_count);
  // A short file is found out before anything is allocated, so a few bytes
  // claiming a huge grid cost nothing; the message is the one reading would
  // have given.
  std::uint64_t available = 0;
  const bool regular = records_in_file(file.get(), &available);
  if (regular && available < total) return report_missing_point(available + 1, total, 0);

  const std::size_t buffer_records =
      static_cast<std::size_t>(std::min<std::uint64_t>(total, RECORDS_PER_BUFFER));
  HookedBlock<unsigned char[]> buffer = hooked_allocate<unsigned char>(buffer_records * RECORD_SIZE);
  if (buffer == nullptr) return ERR_NO_MEM;

  const Span none{column_count, -1, 0.0f, 0.0f};
  stream->columns = column_count;
  stream->rows = row_count;
  stream->points = total;
  stream->file = file.release();
  stream->buffer = buffer.release();
  stream->buffer_records = buffer_records;
  stream->row = none;
  stream->chosen = none;
  stream->interrupt = interrupt;
  stream->swap = swap;
  // The kernel reads further ahead for a file read from start to end.
  if (regular) posix_fadvise(fileno(stream->file), 0, 0, POSIX_FADV_SEQUENTIAL);
  return NO_ERROR;
}

ErrorCode xdt_stream_read(XdtStream* stream, float* heights, std::size_t capacity, std::size_t* count) {
  XdtNote note;
  const ErrorCode code = xdt_stream_read_noted(stream, heights, capacity, count, &note);
  if (note.text[0] != '\0') {
    const int reason = errno;
    u_print("%s", note.text);
    errno = reason;
  }
  return code;
}

ErrorCode xdt_stream_read_noted(XdtStream* stream, float* heights, std::size_t capacity, std::size_t* count,
                                XdtNote* note) {
  note->text[0] = '\0';
  if (count != nullptr) *count = 0;
  if (stream == nullptr || stream->file == nullptr || heights == nullptr || capacity == 0 ||
      count == nullptr) {
    return ERR_INVALID_PARAM;
  }
  if (stream->failure != NO_ERROR) return stream->failure;
  const bool swap = stream->swap;

  // The state lives in locals while the loop runs, so the compiler need not
  // reload it after every store of heights.
  const std::int32_t column_count = stream->columns;
  const std::uint64_t total = stream->points;
  const unsigned char* records = stream->buffer + stream->next * RECORD_SIZE;
  std::size_t buffered = stream->buffered;
  std::uint64_t done = stream->handed_out;
  std::int32_t column = stream->column;
  Span row = stream->row;
  Span chosen = stream->chosen;
  // Never more than the points left, which also keeps stores inside a huge
  // capacity's array.
  const std::size_t wanted_points = static_cast<std::size_t>(std::min<std::uint64_t>(capacity, total - done));
  std::size_t stored = 0;
  while (stored < wanted_points) {
    if (buffered == 0) {
      // The buffer is refilled only once empty, so the file is read in the
      // same chunks whatever the callers' pieces.
      const std::size_t wanted =
          static_cast<std::size_t>(std::min<std::uint64_t>(total - done, stream->buffer_records));
      bool stopped = stop_asked(stream->interrupt);
      int read_error = 0;
      const std::size_t got =
          stopped ? 0
                  : read_descriptor(fileno(stream->file), stream->buffer, wanted * RECORD_SIZE,
                                    stream->interrupt, &read_error, &stopped);
      if (stopped) {
        stream->failure = ERR_INTERRUPTED;
        stream->buffered = 0;
        return stream->failure;
      }
      // The read comes up short only at the end of the file or on an error.
      if (got < wanted * RECORD_SIZE) {
        stream->failure = report_missing_point(done + got / RECORD_SIZE + 1, total, read_error, note);
        stream->buffered = 0;
        return stream->failure;
      }
      records = stream->buffer;
      buffered = wanted;
    }
    const std::size_t taken = std::min(buffered, wanted_points - stored);
    float* out = heights + stored;
    by_rows(records, taken, column_count, column, row, chosen,
            [&](const unsigned char* part, std::size_t length, std::int32_t first) {
              if (swap) {
                take_records<true>(part, length, first, column_count, NO_DATA, out, row);
              } else {
                take_records<false>(part, length, first, column_count, NO_DATA, out, row);
              }
              out += length;
            });
    records += taken * RECORD_SIZE;
    buffered -= taken;
    stored += taken;
    done += taken;
  }
  stream->next = static_cast<std::size_t>(records - stream->buffer) / RECORD_SIZE;
  stream->buffered = buffered;
  stream->handed_out = done;
  stream->column = column;
  stream->row = row;
  stream->chosen = chosen;
  *count = stored;
  return NO_ERROR;
}

ErrorCode xdt_stream_read_records_noted(XdtStream* stream, unsigned char* records, std::size_t capacity,
                                        std::size_t* count, XdtNote* note) {
  note->text[0] = '\0';
  if (count != nullptr) *count = 0;
  if (stream == nullptr || stream->file == nullptr || records == nullptr || capacity == 0 ||
      count == nullptr) {
    return ERR_INVALID_PARAM;
  }
  if (stream->failure != NO_ERROR) return stream->failure;
  const std::uint64_t total = stream->points;
  const std::uint64_t done = stream->handed_out;
  const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(capacity, total - done));
  if (wanted == 0) return NO_ERROR;
  // Records an earlier xdt_stream_read left in the stream's buffer come first.
  const std::size_t in = std::min(stream->buffered, wanted);
  std::memcpy(records, stream->buffer + stream->next * RECORD_SIZE, in * RECORD_SIZE);
  stream->next += in;
  stream->buffered -= in;
  if (in < wanted) {
    const std::size_t bytes = (wanted - in) * RECORD_SIZE;
    bool stopped = stop_asked(stream->interrupt);
    int read_error = 0;
    const std::size_t got = stopped ? 0
                                    : read_descriptor(fileno(stream->file), records + in * RECORD_SIZE, bytes,
                                                      stream->interrupt, &read_error, &stopped);
    if (stopped) return stream->failure = ERR_INTERRUPTED;
    if (got < bytes) {
      stream->failure = report_missing_point(done + in + got / RECORD_SIZE + 1, total, read_error, note);
      return stream->failure;
    }
  }
  const std::int32_t column_count = stream->columns;
  std::int32_t column = stream->column;
  Span row = stream->row;
  Span chosen = stream->chosen;
  by_rows(records, wanted, column_count, column, row, chosen,
          [&](const unsigned char* part, std::size_t length, std::int32_t first) {
            if (stream->swap) {
              span_records<true>(part, length, first, column_count, row);
            } else {
              span_records<false>(part, length, first, column_count, row);
            }
          });
  stream->handed_out = done + wanted;
  stream->column = column;
  stream->row = row;
  stream->chosen = chosen;
  *count = wanted;
  return NO_ERROR;
}

ErrorCode xdt_stream_finish(XdtStream* stream, float* lateral_resolution) {
  if (stream == nullptr || lateral_resolution == nullptr || stream->file == nullptr ||
      stream->handed_out < stream->points) {
    return ERR_INVALID_PARAM;
  }
  if (resolution_of(stream->chosen, lateral_resolution)) return NO_ERROR;
  *lateral_resolution = 0.0f;
  return ERR_PARAM_OUT_OF_RANGE;
}

namespace {

// Closes a stream however read_xdt_file leaves.
struct StreamCloser {
  XdtStream* stream;
  ~StreamCloser() { xdt_stream_close(stream); }
};

// Where a point without data gets a mark other than -1.0, the stream's
// heights are marked again.
void mark_no_data(float* heights, std::size_t count, float no_data) {
  if (std::bit_cast<std::uint32_t>(no_data) == std::bit_cast<std::uint32_t>(NO_DATA)) return;
  // Valid heights are above -1.0 or NaN, so -1.0 is only ever the mark.
  for (std::size_t i = 0; i < count; ++i) {
    if (heights[i] == NO_DATA) heights[i] = no_data;
  }
}

// Reads every point of a stream whose size is not known (a pipe, a device)
// into a block that grows with the points that actually arrive, so a few
// bytes claiming a huge grid cost little. On ERR_CANT_READ_FILE, *reason
// holds the system's.
ErrorCode read_growing(XdtStream* stream, float no_data, HookedBlock<float[]>* block, int* reason) {
  const auto points = static_cast<std::size_t>(stream->points);
  std::size_t capacity = std::min(points, RECORDS_PER_BUFFER);
  *block = hooked_allocate<float>(capacity);
  if (*block == nullptr) return ERR_NO_MEM;
  for (std::size_t stored = 0;;) {
    std::size_t count = 0;
    const ErrorCode code = xdt_stream_read(stream, block->get() + stored, capacity - stored, &count);
    if (code != NO_ERROR) {
      *reason = errno;
      return code;
    }
    mark_no_data(block->get() + stored, count, no_data);
    stored += count;
    if (stored == points) return NO_ERROR;
    const std::size_t grown = std::min(points, capacity * 2);
    void* moved = memory_hooks.reallocate(block->get(), grown * sizeof(float));
    if (moved == nullptr) return ERR_NO_MEM;
    static_cast<void>(block->release());
    block->reset(static_cast<float*>(moved));
    capacity = grown;
  }
}

// Whole rows of a grid whose file size is known, read at their own offsets
// and parsed straight into the height block, each row's span kept apart so
// that the rule choosing among them can run over the rows in order later.
struct GridPart {
  int descriptor;
  bool swap;
  float no_data;
  std::int32_t columns;
  std::int32_t first_row;
  std::int32_t end_row;
  unsigned char* buffer;  // buffer_records whole records, the part's own
  std::size_t buffer_records;
  float* heights;  // the whole grid's
  Span* spans;     // one per row of the whole grid
  const InterruptCheck* interrupt;
  // A short read: the first point missing (counted from 1) and the
  // system's reason, 0 at the end of the file.
  std::uint64_t missing_point = 0;
  int read_error = 0;
  bool stopped = false;  // the check said stop
};

template <bool Swap>
void parse_part(GridPart* part) {
  const std::int32_t columns = part->columns;
  const Span none{columns, -1, 0.0f, 0.0f};
  const auto row_points = static_cast<std::uint64_t>(columns);
  const std::uint64_t end = static_cast<std::uint64_t>(part->end_row) * row_points;
  std::uint64_t point = static_cast<std::uint64_t>(part->first_row) * row_points;
  // Each part makes its own pages resident, so the two halves of the block
  // are faulted in side by side.
  prefault_block(part->heights + point, static_cast<std::size_t>(end - point) * sizeof(float));
  Span* span = part->spans + part->first_row;
  Span row = none;
  std::int32_t column = 0;
  while (point < end) {
    const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(end - point, part->buffer_records));
    part->stopped = stop_asked(part->interrupt);
    const std::size_t got =
        part->stopped ? 0
                      : read_descriptor_at(part->descriptor, part->buffer, wanted * RECORD_SIZE,
                                           COUNTS_SIZE + point * RECORD_SIZE, part->interrupt, &part->read_error,
                                           &part->stopped);
    if (part->stopped) return;
    if (got < wanted * RECORD_SIZE) {
      part->missing_point = point + got / RECORD_SIZE + 1;
      return;
    }
    const unsigned char* records = part->buffer;
    for (std::size_t left = wanted; left > 0;) {
      const std::size_t in_row = std::min(left, static_cast<std::size_t>(columns - column));
      take_records<Swap>(records, in_row, column, columns, part->no_data, part->heights + point, row);
      records += in_row * RECORD_SIZE;
      left -= in_row;
      point += in_row;
      column += static_cast<std::int32_t>(in_row);
      if (column == columns) {
        *span++ = row;
        row = none;
        column = 0;
      }
    }
  }
}

void* run_part(void* part) {
  auto* grid_part = static_cast<GridPart*>(part);
  if (grid_part->swap) {
    parse_part<true>(grid_part);
  } else {
    parse_part<false>(grid_part);
  }
  return nullptr;
}

// Reads every point of a stream whose file size is known (and was checked
// against the grid at the open) into a block taken whole. A grid larger than
// a read buffer is read in two halves of rows, the second on a thread of its
// own with a buffer of its own; where no thread can be started, both halves
// are read here. The heights, the resolution and every message are the
// stream's own.
ErrorCode read_in_parts(XdtStream* stream, float no_data, HookedBlock<float[]>* block, float* resolution,
                        int* reason) {
  const auto points = static_cast<std::size_t>(stream->points);
  *block = hooked_allocate<float>(points);
  if (*block == nullptr) return ERR_NO_MEM;
  // Huge pages make the block resident several times faster.
  advise_huge_pages(block->get(), points * sizeof(float));
  HookedBlock<Span[]> spans = hooked_allocate<Span>(static_cast<std::size_t>(stream->rows));
  if (spans == nullptr) return ERR_NO_MEM;
  const bool halves = points > stream->buffer_records;
  HookedBlock<unsigned char[]> second_buffer;
  if (halves) {
    second_buffer = hooked_allocate<unsigned char>(stream->buffer_records * RECORD_SIZE);
    if (second_buffer == nullptr) return ERR_NO_MEM;
  }
  const GridPart whole{
      fileno(stream->file),   stream->swap, no_data,     stream->columns,  0, stream->rows, stream->buffer,
      stream->buffer_records, block->get(), spans.get(), stream->interrupt};
  GridPart parts[2] = {whole, whole};
  if (halves) {
    parts[0].end_row = stream->rows / 2;
    parts[1].first_row = parts[0].end_row;
    parts[1].buffer = second_buffer.get();
  }
  pthread_t thread{};
  const bool started = halves && start_quiet_thread(&thread, &run_part, &parts[1]);
  run_part(&parts[0]);
  if (started) {
    pthread_join(thread, nullptr);
  } else if (halves) {
    run_part(&parts[1]);
  }

  for (const GridPart& part : parts) {
    if (part.stopped) return ERR_INTERRUPTED;
  }
  // A failure in the first half comes first, as it does in the file.
  for (const GridPart& part : parts) {
    if (part.missing_point == 0) continue;
    const ErrorCode code = report_missing_point(part.missing_point, stream->points, part.read_error);
    *reason = part.read_error;
    return code;
  }
  Span chosen{stream->columns, -1, 0.0f, 0.0f};
  for (std::int32_t row = 0; row < stream->rows; ++row) widen(&chosen, spans[static_cast<std::size_t>(row)]);
  return resolution_of(chosen, resolution) ? NO_ERROR : ERR_PARAM_OUT_OF_RANGE;
}

ErrorCode read_grid(const char* path, bool swap, float no_data, const InterruptCheck* interrupt,
                    std::int32_t* columns, std::int32_t* rows, float** heights, float* lateral_resolution,
                    int* reason) {
  XdtStream stream;
  ErrorCode code = xdt_stream_open_watched(path, swap, interrupt, &stream);
  if (code != NO_ERROR) {
    *reason = errno;
    return code;
  }
  const StreamCloser closer{&stream};
  if constexpr (sizeof(std::size_t) < sizeof(std::uint64_t)) {
    if (stream.points > std::numeric_limits<std::size_t>::max() / sizeof(float)) return ERR_NO_MEM;
  }
  HookedBlock<float[]> block;
  float resolution = 0.0f;
  std::uint64_t available = 0;
  if (records_in_file(stream.file, &available)) {
    code = read_in_parts(&stream, no_data, &block, &resolution, reason);
  } else {
    code = read_growing(&stream, no_data, &block, reason);
    if (code == NO_ERROR) code = xdt_stream_finish(&stream, &resolution);
  }
  if (code != NO_ERROR) return code;

  *columns = stream.columns;
  *rows = stream.rows;
  *heights = block.release();
  *lateral_resolution = resolution;
  return NO_ERROR;
}

}  // namespace

ErrorCode read_xdt_file_marked(const char* path, std::int32_t* columns, std::int32_t* rows, float** heights,
                               float* lateral_resolution, bool swap, float no_data) {
  return read_xdt_file_watched(path, columns, rows, heights, lateral_resolution, swap, no_data, nullptr);
}

ErrorCode read_xdt_file_watched(const char* path, std::int32_t* columns, std::int32_t* rows, float** heights,
                                float* lateral_resolution, bool swap, float no_data,
                                const InterruptCheck* interrupt) {
  if (path == nullptr || path[0] == '\0' || columns == nullptr || rows == nullptr || heights == nullptr ||
      lateral_resolution == nullptr) {
    return ERR_INVALID_PARAM;
  }
  *columns = 0;
  *rows = 0;
  *heights = nullptr;
  *lateral_resolution = 0.0f;
  int reason = 0;
  const ErrorCode code =
      read_grid(path, swap, no_data, interrupt, columns, rows, heights, lateral_resolution, &reason);
  // Closing the file and releasing the blocks may touch errno after the read.
  if (code == ERR_CANT_READ_FILE) errno = reason;
  return code;
}

ErrorCode read_xdt_file(const char* path, std::int32_t* columns, std::int32_t* rows, float** heights,
                        float* lateral_resolution, bool swap) {
  return read_xdt_file_marked(path, columns, rows, heights, lateral_resolution, swap, NO_DATA);
}
