#include "tool/xdt_reader.h"

#include <sys/stat.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>

#include "common/byte_order.h"
#include "common/cpu_dispatch.h"
#include "common/memory_hooks.h"
#include "common/path.h"

namespace {

constexpr std::int32_t kMinCount = 2;
constexpr std::int32_t kMaxCount = 32767;
constexpr std::size_t kRecordSize = 12;
constexpr std::size_t kCountsSize = 4;
constexpr float kNoData = -1.0f;

// Records per read: about 256 KiB, always whole records, so the chunk is
// still in the processor's cache when it is parsed after the kernel's copy.
constexpr std::size_t kRecordsPerBuffer = (std::size_t{1} << 18) / kRecordSize;

// Columns of the outermost valid points of one row, with their x values.
// first == columns means none; last == -1 means fewer than two valid points.
struct Span {
  std::int32_t first;
  std::int32_t last;
  float first_x;
  float last_x;
};

constexpr std::uint32_t reverse32(std::uint32_t v) {
  return (v >> 24) | ((v >> 8) & 0x0000FF00u) | ((v << 8) & 0x00FF0000u) | (v << 24);
}

template <bool Swap>
float load_float(const unsigned char* bytes) {
  std::uint32_t bits;
  std::memcpy(&bits, bytes, sizeof bits);
  if constexpr (Swap) bits = reverse32(bits);
  return std::bit_cast<float>(bits);
}

bool is_valid(float stored) {
  // NaN compares false, so a NaN height counts as valid and is kept.
  return !(stored <= kNoData);
}

// Stores the heights of count records: z, or -1.0 for a no-data point.
template <bool Swap>
void store_heights(const unsigned char* records, std::size_t count, float* out) {
  for (std::size_t i = 0; i < count; ++i) {
    const float z = load_float<Swap>(records + i * kRecordSize + 8);
    out[i] = is_valid(z) ? z : kNoData;
  }
}

MAPCONV_HOT_LOOP void store_heights_native(const unsigned char* records, std::size_t count, float* out) {
  store_heights<false>(records, count, out);
}

MAPCONV_HOT_LOOP void store_heights_swapped(const unsigned char* records, std::size_t count, float* out) {
  store_heights<true>(records, count, out);
}

// Stores the heights of count records of one row and updates the row's span
// with their valid points; column is the grid column of the first record.
template <bool Swap>
void take_records(const unsigned char* records, std::size_t count, std::int32_t column,
                  std::int32_t column_count, float* out, Span& row) {
  if constexpr (Swap) {
    store_heights_swapped(records, count, out);
  } else {
    store_heights_native(records, count, out);
  }
  // Only the row's first valid point and its last one after that matter to
  // the span: look for them from either end of the piece.
  std::size_t after_first = 0;
  if (row.first == column_count) {
    while (after_first < count && !is_valid(out[after_first])) ++after_first;
    if (after_first == count) return;
    row.first = column + static_cast<std::int32_t>(after_first);
    row.first_x = load_float<Swap>(records + after_first * kRecordSize);
    ++after_first;
  }
  for (std::size_t i = count; i > after_first; --i) {
    if (is_valid(out[i - 1])) {
      row.last = column + static_cast<std::int32_t>(i - 1);
      row.last_x = load_float<Swap>(records + (i - 1) * kRecordSize);
      return;
    }
  }
}

// The number of whole point records the file holds after its counts, or
// nothing when its size cannot be known (a pipe, for instance).
bool records_in_file(std::FILE* file, std::uint64_t* records) {
  struct stat status {};
  if (fstat(fileno(file), &status) != 0 || !S_ISREG(status.st_mode)) return false;
  const auto size = static_cast<std::uint64_t>(std::max<off_t>(status.st_size, 0));
  *records = size > kCountsSize ? (size - kCountsSize) / kRecordSize : 0;
  return true;
}

bool is_directory(std::FILE* file) {
  struct stat status {};
  return fstat(fileno(file), &status) == 0 && S_ISDIR(status.st_mode);
}

void report_missing_point(std::uint64_t point, std::uint64_t total) {
  // Both fit in int: the total is at most 32767 * 32767.
  std::fprintf(stderr, "EOF reading point %d of %d\n", static_cast<int>(point), static_cast<int>(total));
}

bool count_in_range(const char* name, std::int32_t count) {
  if (count < kMinCount) {
    std::fprintf(stderr, "Num %s = %d is too small\n", name, static_cast<int>(count));
    return false;
  }
  if (count > kMaxCount) {
    std::fprintf(stderr, "Num %s = %d is too large\n", name, static_cast<int>(count));
    return false;
  }
  return true;
}

}  // namespace

ErrorCode read_xdt_file(const char* path, std::int32_t* columns, std::int32_t* rows, float** heights,
                        float* lateral_resolution, bool swap) {
  if (path == nullptr || path[0] == '\0' || columns == nullptr || rows == nullptr || heights == nullptr ||
      lateral_resolution == nullptr) {
    return ERR_INVALID_PARAM;
  }
  *columns = 0;
  *rows = 0;
  *heights = nullptr;
  *lateral_resolution = 0.0f;

  const FileHandle file(std::fopen(path, "rb"));
  // A folder opens as a stream on some systems, but it is no file to read.
  if (file == nullptr || is_directory(file.get())) return ERR_CANT_OPEN_FILE;
  // The records are read in large chunks straight into the reader's own
  // buffer; a stream buffer would only add a copy and a second call per chunk.
  std::setvbuf(file.get(), nullptr, _IONBF, 0);

  std::uint16_t counts[2];
  if (std::fread(counts, 1, sizeof counts, file.get()) != sizeof counts) return ERR_PREMATURE_EOF;
  if (swap) {
    u_swap_bytes(&counts[0], 2);
    u_swap_bytes(&counts[1], 2);
  }
  const std::int32_t column_count = counts[0];
  const std::int32_t row_count = counts[1];
  if (!count_in_range("Cols", column_count) || !count_in_range("Rows", row_count)) {
    return ERR_PARAM_OUT_OF_RANGE;
  }

  const std::uint64_t total =
      static_cast<std::uint64_t>(column_count) * static_cast<std::uint64_t>(row_count);
  // A short file is found out before the height block is allocated, so a few
  // bytes claiming a huge grid cost nothing; the message is the one reading
  // would have given.
  std::uint64_t available = 0;
  if (records_in_file(file.get(), &available) && available < total) {
    report_missing_point(available + 1, total);
    return ERR_PREMATURE_EOF;
  }

  if constexpr (sizeof(std::size_t) < sizeof(std::uint64_t)) {
    if (total > std::numeric_limits<std::size_t>::max() / sizeof(float)) return ERR_NO_MEM;
  }
  HookedBlock<float[]> block = hooked_allocate<float>(static_cast<std::size_t>(total));
  if (block == nullptr) return ERR_NO_MEM;
  prefault_block(block.get(), static_cast<std::size_t>(total) * sizeof(float));
  const std::size_t buffer_records =
      static_cast<std::size_t>(std::min<std::uint64_t>(total, kRecordsPerBuffer));
  const HookedBlock<unsigned char[]> buffer = hooked_allocate<unsigned char>(buffer_records * kRecordSize);
  if (buffer == nullptr) return ERR_NO_MEM;

  const Span none{column_count, -1, 0.0f, 0.0f};
  Span chosen = none;
  Span row = none;
  std::int32_t column = 0;
  std::uint64_t done = 0;
  while (done < total) {
    const std::size_t wanted =
        static_cast<std::size_t>(std::min<std::uint64_t>(total - done, buffer_records));
    const std::size_t got = std::fread(buffer.get(), 1, wanted * kRecordSize, file.get());
    const std::size_t whole = got / kRecordSize;
    const unsigned char* records = buffer.get();
    std::size_t left = whole;
    while (left > 0) {
      const std::size_t in_row = std::min<std::size_t>(left, static_cast<std::size_t>(column_count - column));
      float* out = block.get() + done;
      if (swap) {
        take_records<true>(records, in_row, column, column_count, out, row);
      } else {
        take_records<false>(records, in_row, column, column_count, out, row);
      }
      records += in_row * kRecordSize;
      left -= in_row;
      done += in_row;
      column += static_cast<std::int32_t>(in_row);
      if (column == column_count) {
        // The whole span moves, even when only one end widens.
        if (row.first < chosen.first || row.last > chosen.last) chosen = row;
        row = none;
        column = 0;
      }
    }
    // fread comes up short only at the end of the file or on an error.
    if (got < wanted * kRecordSize) {
      report_missing_point(done + 1, total);
      return ERR_PREMATURE_EOF;
    }
  }

  bool resolved = chosen.last > chosen.first;
  float resolution = 0.0f;
  if (resolved) {
    const float x_difference = chosen.last_x - chosen.first_x;
    resolution = static_cast<float>(static_cast<double>(x_difference) /
                                    static_cast<double>(chosen.last - chosen.first));
    // NaN or infinite x values, or a difference beyond float range, give no
    // usable spacing.
    resolved = std::isfinite(resolution);
  }
  if (!resolved) {
    std::fputs("Could not calculate lateral resolution\n", stderr);
    return ERR_PARAM_OUT_OF_RANGE;
  }

  *columns = column_count;
  *rows = row_count;
  *heights = block.release();
  *lateral_resolution = resolution;
  return NO_ERROR;
}
