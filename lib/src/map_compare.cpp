#include <mapconv/conversion.h>
#include <mapconv/data_file_reader.h>
#include <mapconv/map_compare.h>
#include <mapconv/map_records.h>
#include <mapconv/memory_hooks.h>
#include <mapconv/path.h>
#include <mapconv/xdt_reader.h>
#include <sys/stat.h>

#include <cmath>
#include <cstring>
#include <limits>

namespace {

// Points read from each map at a time: 512 KiB of heights and counts.
constexpr std::size_t PIECE = std::size_t{1} << 16;

// One map read piece by piece, as an XDT stream or as the phase block of a
// data file.
struct MapReader {
  bool data_file = false;
  XdtStream xdt{};
  FileHandle file;
  std::int32_t columns = 0;
  std::int32_t rows = 0;
  float lateral_resolution = 0.0f;
  double counts_per_metre = 0.0;
  std::uint64_t remaining = 0;
  HookedBlock<float[]> heights;        // XDT: metres, -1.0 for no data
  HookedBlock<std::int32_t[]> counts;  // data file: host order

  MapReader() { xdt_stream_clear(&xdt); }
  ~MapReader() { xdt_stream_close(&xdt); }
  MapReader(const MapReader&) = delete;
  MapReader& operator=(const MapReader&) = delete;

  ErrorCode open(const char* path) {
    file.reset(u_open_path(path, "rb"));
    if (file == nullptr) return ERR_CANT_OPEN_FILE;
    struct stat status {};
    if (fstat(fileno(file.get()), &status) != 0 || S_ISDIR(status.st_mode)) return ERR_CANT_OPEN_FILE;
    unsigned char magic[4] = {};
    data_file = std::fread(magic, 1, sizeof magic, file.get()) == sizeof magic && is_data_file_magic(magic);
    return data_file ? open_data_file(status) : open_xdt(path);
  }

  ErrorCode open_data_file(const struct stat& status) {
    DataFileContents contents;
    std::rewind(file.get());
    ErrorCode code = read_data_file_header(file.get(), &contents);
    if (code != NO_ERROR) return code;
    const std::uint64_t intensity_bytes = std::uint64_t(contents.intensity.width) *
                                          std::uint64_t(contents.intensity.height) *
                                          std::uint64_t(contents.intensity.buckets) * 2;
    columns = contents.phase.width;
    rows = contents.phase.height;
    remaining = std::uint64_t(columns) * std::uint64_t(rows);
    // A data file without a phase block has no heights to compare.
    if (remaining == 0) return ERR_NOT_A_DATA_FILE;
    const auto expected = static_cast<std::uint64_t>(contents.header_size) + intensity_bytes + remaining * 4;
    if (S_ISREG(status.st_mode) && static_cast<std::uint64_t>(status.st_size) != expected)
      return static_cast<std::uint64_t>(status.st_size) < expected ? ERR_PREMATURE_EOF : ERR_NOT_A_DATA_FILE;
    if (intensity_bytes > static_cast<std::uint64_t>(std::numeric_limits<long>::max()) ||
        std::fseek(file.get(), static_cast<long>(contents.header_size + intensity_bytes), SEEK_SET) != 0)
      return ERR_PREMATURE_EOF;
    lateral_resolution = contents.header.lateral_resolution;
    counts_per_metre = phase_counts_per_metre(&contents.header);
    counts = hooked_allocate<std::int32_t>(PIECE);
    return counts == nullptr ? ERR_NO_MEM : NO_ERROR;
  }

  ErrorCode open_xdt(const char* path) {
    file.reset();
    const ErrorCode code = xdt_stream_open(path, false, &xdt);
    if (code != NO_ERROR) return code;
    columns = xdt.columns;
    rows = xdt.rows;
    remaining = xdt.points;
    heights = hooked_allocate<float>(PIECE);
    return heights == nullptr ? ERR_NO_MEM : NO_ERROR;
  }

  // The next count points (count <= PIECE and <= remaining).
  ErrorCode read(std::size_t count) {
    if (data_file) {
      if (std::fread(counts.get(), 4, count, file.get()) != count) return ERR_PREMATURE_EOF;
      for (std::size_t i = 0; i < count; ++i)
        counts[i] = static_cast<std::int32_t>(__builtin_bswap32(static_cast<std::uint32_t>(counts[i])));
    } else {
      std::size_t got = 0;
      const ErrorCode code = xdt_stream_read(&xdt, heights.get(), count, &got);
      if (code != NO_ERROR) return code;
      if (got != count) return ERR_PREMATURE_EOF;
    }
    remaining -= count;
    return NO_ERROR;
  }

  ErrorCode finish() {
    if (!data_file) return xdt_stream_finish(&xdt, &lateral_resolution);
    return std::fgetc(file.get()) == EOF ? NO_ERROR : ERR_NOT_A_DATA_FILE;
  }

  bool valid(std::size_t i) const { return data_file ? counts[i] != PHASE_INVALID : !(heights[i] <= -1.0f); }
  // Metres, for a valid point.
  double height(std::size_t i) const {
    return data_file ? static_cast<double>(counts[i]) / counts_per_metre : static_cast<double>(heights[i]);
  }
};

// Compares one piece of count points starting at point first.
void compare_piece(const MapReader& a, const MapReader& b, std::uint64_t first, std::size_t count,
                   MapComparison* result) {
  const bool mixed = a.data_file != b.data_file;
  const MapReader& stored = a.data_file ? a : b;  // the data file of a mixed pair
  const MapReader& source = a.data_file ? b : a;
  // The rule of lowest number wins, at its first point.
  const auto mismatch = [&](std::int32_t verdict, std::size_t i) {
    if (result->verdict == MAPS_AGREE || verdict < result->verdict) {
      result->verdict = verdict;
      result->first_mismatch = first + i;
    }
  };
  for (std::size_t i = 0; i < count; ++i) {
    const bool in_a = a.valid(i), in_b = b.valid(i);
    if (in_a != in_b) {
      ++(in_a ? result->only_in_first : result->only_in_second);
      mismatch(MAPS_NO_DATA_DIFFERS, i);
      continue;
    }
    if (!in_a) continue;
    ++result->points_in_both;
    const double first_height = a.height(i), second_height = b.height(i);
    bool agree;
    if (mixed) {
      const double count_stored = static_cast<double>(stored.counts[i]);
      const double off = std::fabs(source.height(i) * stored.counts_per_metre - count_stored);
      agree = off <= 0.5 + std::fabs(count_stored) * 0x1p-50;
    } else {
      // NaN heights of two XDT files agree with each other.
      agree = first_height == second_height || (std::isnan(first_height) && std::isnan(second_height));
    }
    if (!agree) mismatch(MAPS_HEIGHTS_DIFFER, i);
    const double difference = std::fabs(second_height - first_height);
    if (difference > result->largest_difference ||
        (std::isnan(result->largest_difference) && difference >= 0)) {
      result->largest_difference = difference;
      result->largest_at = first + i;
    }
  }
}

}  // namespace

ErrorCode compare_map_files(const char* first, const char* second, MapComparison* result) {
  if (first == nullptr || second == nullptr || result == nullptr) return ERR_INVALID_PARAM;
  std::memset(result, 0, sizeof *result);
  result->largest_difference = std::numeric_limits<double>::quiet_NaN();
  result->largest_difference_counts = std::numeric_limits<double>::quiet_NaN();
  MapReader readers[2];
  const char* paths[2] = {first, second};
  for (int k = 0; k < 2; ++k) {
    const ErrorCode code = readers[k].open(paths[k]);
    if (code != NO_ERROR) {
      result->failed_file = k + 1;
      return code;
    }
    result->data_file[k] = readers[k].data_file;
    result->columns[k] = readers[k].columns;
    result->rows[k] = readers[k].rows;
  }
  if (readers[0].columns != readers[1].columns || readers[0].rows != readers[1].rows) {
    result->verdict = MAPS_GRIDS_DIFFER;
    return NO_ERROR;
  }
  const std::uint64_t points = readers[0].remaining;
  for (std::uint64_t done = 0; done < points;) {
    const std::size_t count = points - done < PIECE ? static_cast<std::size_t>(points - done) : PIECE;
    for (int k = 0; k < 2; ++k) {
      const ErrorCode code = readers[k].read(count);
      if (code != NO_ERROR) {
        result->failed_file = k + 1;
        return code;
      }
    }
    compare_piece(readers[0], readers[1], done, count, result);
    done += count;
  }
  for (int k = 0; k < 2; ++k) {
    const ErrorCode code = readers[k].finish();
    if (code != NO_ERROR) {
      result->failed_file = k + 1;
      return code;
    }
    result->lateral_resolution[k] = readers[k].lateral_resolution;
  }
  if (std::memcmp(&result->lateral_resolution[0], &result->lateral_resolution[1], sizeof(float)) != 0)
    result->verdict = MAPS_GRIDS_DIFFER;
  if (readers[1].data_file && !std::isnan(result->largest_difference))
    result->largest_difference_counts = result->largest_difference * readers[1].counts_per_metre;
  result->tolerance_counts = readers[0].data_file != readers[1].data_file ? 0.5 : 0.0;
  return NO_ERROR;
}
