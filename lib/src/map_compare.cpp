#include <mapconv/conversion.h>
#include <mapconv/data_file_reader.h>
#include <mapconv/file_kind.h>
#include <mapconv/map_compare.h>
#include <mapconv/map_records.h>
#include <mapconv/memory_hooks.h>
#include <mapconv/path.h>
#include <mapconv/xdt_reader.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>

#include "byte_blocks.h"
#include "cpu_dispatch.h"
#include "hooked_block.h"
#include "native_path.h"
#include "piece_reader.h"
#include "retrying_io.h"

namespace {

// Points read from each map at a time: 128 KiB of heights and counts, the
// ring of XDT pieces 512 KiB. Smaller pieces stay in the cache between the
// two threads (32767²: as fast as 65,536 points, 1.6 MiB less; 8,192 points
// are slower).
constexpr std::size_t PIECE = std::size_t{1} << 14;

// One map read piece by piece, as an XDT stream, as the phase block of a
// data file or through a height source of another library.
struct MapReader {
  bool data_file = false;
  FileKind map_kind = FILE_KIND_UNKNOWN;
  MapHeightSource source{};
  bool source_open = false;
  HookedBlock<double[]> metres;  // source: the piece at hand, NaN for no data
  XdtStream xdt{};
  FileHandle file;
  std::int32_t columns = 0;
  std::int32_t rows = 0;
  float lateral_resolution = 0.0f;
  float lateral_resolution_y = 0.0f;  // a source's between rows; else lateral_resolution
  double counts_per_metre = 0.0;
  std::uint64_t remaining = 0;
  int reason = 0;  // errno of a failed read
  HeightScaleFault height_scale = HEIGHT_SCALE_USABLE;
  char height_scale_text[sizeof MapComparison{}.height_scale_text] = {};
  HookedBlock<float[]> buffers;        // XDT: the pieces being read ahead
  const float* heights = nullptr;      // XDT: the piece at hand, metres, -1.0 for no data
  std::optional<PieceReader> pieces;   // XDT: reads ahead on a second thread
  HookedBlock<std::int32_t[]> counts;  // data file: host order

  MapReader() { xdt_stream_clear(&xdt); }
  ~MapReader() {
    pieces.reset();
    xdt_stream_close(&xdt);
    if (source_open) source.close(source.context);
  }
  MapReader(const MapReader&) = delete;
  MapReader& operator=(const MapReader&) = delete;

  ErrorCode open(const char* path, const MapSourceOpener* opener) {
    file.reset(u_open_path(path, "rb"));
    if (file == nullptr) return ERR_CANT_OPEN_FILE;
    struct stat status {};
    if (fstat(fileno(file.get()), &status) != 0 || S_ISDIR(status.st_mode)) return ERR_CANT_OPEN_FILE;
    unsigned char head[FILE_KIND_HEAD_SIZE];
    FileKindInfo kind{};
    const ErrorCode told = file_kind_of_bytes(head, read_retrying(file.get(), head, sizeof head), &kind);
    map_kind = static_cast<FileKind>(kind.kind);
    data_file = kind.kind == FILE_KIND_DATA_FILE;
    if (kind.kind == FILE_KIND_X3P) return open_source(path, opener);
    return data_file ? open_data_file(status, told, kind.length) : open_xdt(path);
  }

  ErrorCode open_source(const char* path, const MapSourceOpener* opener) {
    file.reset();
    if (opener == nullptr || opener->kind != map_kind) return ERR_NOT_IMPLEMENTED;
    const ErrorCode code = opener->open(path, &source);
    if (code != NO_ERROR) return code;
    source_open = true;
    columns = source.columns;
    rows = source.rows;
    remaining = std::uint64_t(columns) * std::uint64_t(rows);
    metres = hooked_allocate<double>(PIECE);
    return metres == nullptr ? ERR_NO_MEM : NO_ERROR;
  }

  // told, expected: the code and length file_kind_of_bytes gave.
  ErrorCode open_data_file(const struct stat& status, ErrorCode told, std::uint64_t expected) {
    DataFileContents contents;
    std::rewind(file.get());
    ErrorCode code = read_data_file_header(file.get(), &contents);
    if (code == NO_ERROR) code = told;
    if (code != NO_ERROR) return code;
    const std::uint64_t intensity_bytes = std::uint64_t(contents.intensity.width) *
                                          std::uint64_t(contents.intensity.height) *
                                          std::uint64_t(contents.intensity.buckets) * 2;
    columns = contents.phase.width;
    rows = contents.phase.height;
    remaining = std::uint64_t(columns) * std::uint64_t(rows);
    // A data file without a phase block has no heights to compare.
    if (remaining == 0) return ERR_NOT_A_DATA_FILE;
    if (S_ISREG(status.st_mode) && static_cast<std::uint64_t>(status.st_size) != expected)
      return static_cast<std::uint64_t>(status.st_size) < expected ? ERR_PREMATURE_EOF : ERR_NOT_A_DATA_FILE;
    if (intensity_bytes > static_cast<std::uint64_t>(std::numeric_limits<long>::max()) ||
        std::fseek(file.get(), static_cast<long>(contents.header_size + intensity_bytes), SEEK_SET) != 0)
      return ERR_PREMATURE_EOF;
    lateral_resolution = contents.header.lateral_resolution;
    // Counts without a height scale would all compare alike, or all unlike.
    height_scale = describe_height_scale_fault(&contents.header, height_scale_text, sizeof height_scale_text);
    if (height_scale != HEIGHT_SCALE_USABLE) return ERR_PARAM_OUT_OF_RANGE;
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
    buffers = hooked_allocate<float>(PIECE_READER_SLOTS * PIECE);
    if (buffers == nullptr) return ERR_NO_MEM;
    pieces.emplace(&xdt, buffers.get(), PIECE);
    // A grid of one piece has nothing to overlap.
    if (remaining > PIECE) pieces->start();
    return NO_ERROR;
  }

  // The next count points (count <= PIECE and <= remaining).
  ErrorCode read(std::size_t count) {
    if (source_open) {
      std::size_t got = 0;
      const ErrorCode code = source.read(source.context, metres.get(), count, &got);
      if (code != NO_ERROR) {
        reason = errno;
        return code;
      }
      if (got != count) return ERR_PREMATURE_EOF;
    } else if (data_file) {
      if (read_retrying(file.get(), counts.get(), 4 * count) != 4 * count) {
        reason = errno;
        return std::ferror(file.get()) ? ERR_CANT_READ_FILE : ERR_PREMATURE_EOF;
      }
      // A signed value may be reached through its unsigned type.
      reverse_each(reinterpret_cast<std::uint32_t*>(counts.get()), count);
    } else {
      std::size_t got = 0;
      const ErrorCode code = pieces->next(&heights, &got);
      if (code != NO_ERROR) {
        reason = errno;
        return code;
      }
      if (got != count) return ERR_PREMATURE_EOF;
    }
    remaining -= count;
    return NO_ERROR;
  }

  ErrorCode finish() {
    if (source_open) {
      lateral_resolution = source.lateral_resolution;
      lateral_resolution_y = source.lateral_resolution_y;
      return source.finish(source.context);
    }
    if (!data_file) {
      pieces->stop();
      const ErrorCode code = xdt_stream_finish(&xdt, &lateral_resolution);
      lateral_resolution_y = lateral_resolution;
      return code;
    }
    const ErrorCode code = getc_retrying(file.get()) == EOF ? NO_ERROR : ERR_NOT_A_DATA_FILE;
    lateral_resolution_y = lateral_resolution;
    return code;
  }
};

// A piece of both maps on one scale: values in units per metre (the data
// file's counts in a mixed pair), and whether each point has data.
struct Scaled {
  HookedBlock<double[]> values[2];
  HookedBlock<double[]> valid[2];  // 1.0 or 0.0
  double units_per_metre = 1.0;
  double tolerance = 0.0;  // in units, plus relative_slack of the data file's value
  double relative_slack = 0.0;
  int data_side = -1;  // the data file of a mixed pair
};

MAPCONV_HOT_LOOP void scale_xdt(const float* heights, std::size_t count, double factor, double* values,
                                double* valid) {
  for (std::size_t i = 0; i < count; ++i) {
    valid[i] = heights[i] <= -1.0f ? 0.0 : 1.0;
    values[i] = static_cast<double>(heights[i]) * factor;
  }
}

MAPCONV_HOT_LOOP void scale_metres(const double* metres, std::size_t count, double factor, double* values,
                                   double* valid) {
  for (std::size_t i = 0; i < count; ++i) {
    valid[i] = metres[i] != metres[i] ? 0.0 : 1.0;
    values[i] = metres[i] * factor;
  }
}

MAPCONV_HOT_LOOP void scale_counts(const std::int32_t* counts, std::size_t count, double factor,
                                   double* values, double* valid) {
  for (std::size_t i = 0; i < count; ++i) {
    valid[i] = counts[i] != PHASE_INVALID ? 1.0 : 0.0;
    values[i] = static_cast<double>(counts[i]) * factor;
  }
}

// What one piece adds to the comparison, without a branch per point.
struct PieceTally {
  std::uint64_t both, only_first, only_second, bad;
  double largest;  // -1 when no point is valid in both with a difference that is a number
};

// Four doubles, and the masks their comparisons give, as the compiler's
// vectors: one AVX2 register each, or two SSE2 ones.
using Doubles = double __attribute__((vector_size(32)));
using Masks = std::int64_t __attribute__((vector_size(32)));
constexpr std::size_t LANES = 4;

using Floats = float __attribute__((vector_size(16)));
using Ints = std::int32_t __attribute__((vector_size(16)));

// One map's points of the pieces at hand, as the tally reads them: XDT
// heights (metres, -1.0 or below for no data) or host-order phase counts,
// and the factor that puts them on the pair's scale.
struct Side {
  const float* heights;
  const std::int32_t* counts;
  double factor;
  const double* metres = nullptr;  // a height source's piece
};

// What a side's piece holds: an XDT grid's heights, a data file's counts or
// a height source's metres (NaN for no data).
enum class Stored { HEIGHTS, COUNTS, METRES };

// Four points of one map from index i on, scaled, with 1.0 or 0.0 for
// whether each has data: the rule of scale_xdt and scale_counts, for a
// vector at a time.
template <Stored KIND>
[[gnu::always_inline]] inline void load_four(const Side& side, std::size_t i, Doubles* values,
                                             Doubles* valid) {
  const Doubles zero = {0.0, 0.0, 0.0, 0.0};
  const Doubles one = {1.0, 1.0, 1.0, 1.0};
  Doubles raw;
  if constexpr (KIND == Stored::COUNTS) {
    Ints counts;
    std::memcpy(&counts, side.counts + i, sizeof counts);
    raw = __builtin_convertvector(counts, Doubles);
    // Every int32 is exact in a double: the test is the counts' own.
    *valid = raw != static_cast<double>(PHASE_INVALID) ? one : zero;
  } else if constexpr (KIND == Stored::METRES) {
    std::memcpy(&raw, side.metres + i, sizeof raw);
    *valid = raw != raw ? zero : one;
  } else {
    Floats heights;
    std::memcpy(&heights, side.heights + i, sizeof heights);
    raw = __builtin_convertvector(heights, Doubles);
    *valid = raw <= -1.0 ? zero : one;
  }
  *values = raw * side.factor;
}

// Reads the two maps straight from their pieces, converting, scaling and
// tallying four points at a time, with nothing stored between. EXACT: two
// maps of one kind, which must hold equal heights; else the tolerance
// applies, relative to the data file's value. A separate body for each
// pairing, so that no test of the rule stands in the loop. Counts are kept
// in doubles (0.0 and 1.0 add exactly).
template <Stored A, Stored B>
[[gnu::always_inline]] inline PieceTally tally_piece(const Side& first, const Side& second, std::size_t at,
                                                     std::size_t count, double tolerance,
                                                     double relative_slack) {
  constexpr bool EXACT = (A == Stored::COUNTS) == (B == Stored::COUNTS);
  // Vectors are loaded and their magnitudes taken in place: no function
  // returns one, since that would change the calling convention without AVX.
  const Masks no_sign = {INT64_MAX, INT64_MAX, INT64_MAX, INT64_MAX};
  const Doubles zero = {0.0, 0.0, 0.0, 0.0};
  const Doubles none = {-1.0, -1.0, -1.0, -1.0};
  Doubles both_count = zero, in_first = zero, in_second = zero, bad = zero, largest = none;
  const auto add = [&](const Side& a, const Side& b, std::size_t i) {
    Doubles x, y, valid_x, valid_y;
    load_four<A>(a, i, &x, &valid_x);
    load_four<B>(b, i, &y, &valid_y);
    const Doubles both = valid_x * valid_y;
    const Doubles difference = reinterpret_cast<Doubles>(reinterpret_cast<Masks>(y - x) & no_sign);
    Masks agree;
    if constexpr (EXACT) {
      // Two NaN heights (XDT files) are the same height.
      agree = (x == y) | ((x != x) & (y != y));
    } else {
      const Doubles kept = A == Stored::COUNTS ? x : y;
      const Doubles kept_magnitude = reinterpret_cast<Doubles>(reinterpret_cast<Masks>(kept) & no_sign);
      agree = difference <= tolerance + kept_magnitude * relative_slack;
    }
    both_count += both;
    in_first += valid_x;
    in_second += valid_y;
    bad += agree ? zero : both;
    const Doubles candidate = both != zero ? difference : none;
    largest = candidate > largest ? candidate : largest;
  };
  std::size_t i = 0;
  for (; i + LANES <= count; i += LANES) add(first, second, at + i);
  if (i < count) {
    // The last points padded with points without data, which add nothing.
    float heights[2][LANES] = {{-1.0f, -1.0f, -1.0f, -1.0f}, {-1.0f, -1.0f, -1.0f, -1.0f}};
    std::int32_t counts[2][LANES] = {{PHASE_INVALID, PHASE_INVALID, PHASE_INVALID, PHASE_INVALID},
                                     {PHASE_INVALID, PHASE_INVALID, PHASE_INVALID, PHASE_INVALID}};
    const double nan = std::numeric_limits<double>::quiet_NaN();
    double metres[2][LANES] = {{nan, nan, nan, nan}, {nan, nan, nan, nan}};
    const Side* sides[2] = {&first, &second};
    for (int k = 0; k < 2; ++k) {
      for (std::size_t j = 0; i + j < count; ++j) {
        if (sides[k]->counts != nullptr) counts[k][j] = sides[k]->counts[at + i + j];
        if (sides[k]->heights != nullptr) heights[k][j] = sides[k]->heights[at + i + j];
        if (sides[k]->metres != nullptr) metres[k][j] = sides[k]->metres[at + i + j];
      }
    }
    add(Side{heights[0], counts[0], first.factor, metres[0]}, Side{heights[1], counts[1], second.factor, metres[1]},
        0);
  }
  double both = 0, in_a = 0, in_b = 0, wrong = 0;
  PieceTally t{0, 0, 0, 0, -1.0};
  for (std::size_t lane = 0; lane < LANES; ++lane) {
    both += both_count[lane];
    in_a += in_first[lane];
    in_b += in_second[lane];
    wrong += bad[lane];
    t.largest = largest[lane] > t.largest ? largest[lane] : t.largest;
  }
  t.both = static_cast<std::uint64_t>(both);
  t.only_first = static_cast<std::uint64_t>(in_a - both);
  t.only_second = static_cast<std::uint64_t>(in_b - both);
  t.bad = static_cast<std::uint64_t>(wrong);
  return t;
}

MAPCONV_HOT_LOOP PieceTally tally_heights(const Side& a, const Side& b, std::size_t at, std::size_t count) {
  return tally_piece<Stored::HEIGHTS, Stored::HEIGHTS>(a, b, at, count, 0.0, 0.0);
}

MAPCONV_HOT_LOOP PieceTally tally_counts(const Side& a, const Side& b, std::size_t at, std::size_t count) {
  return tally_piece<Stored::COUNTS, Stored::COUNTS>(a, b, at, count, 0.0, 0.0);
}

MAPCONV_HOT_LOOP PieceTally tally_counts_heights(const Side& a, const Side& b, std::size_t at,
                                                 std::size_t count, double tolerance, double relative_slack) {
  return tally_piece<Stored::COUNTS, Stored::HEIGHTS>(a, b, at, count, tolerance, relative_slack);
}

MAPCONV_HOT_LOOP PieceTally tally_heights_counts(const Side& a, const Side& b, std::size_t at,
                                                 std::size_t count, double tolerance, double relative_slack) {
  return tally_piece<Stored::HEIGHTS, Stored::COUNTS>(a, b, at, count, tolerance, relative_slack);
}

// The pairings with a height source, rarer: one body each, chosen here.
template <Stored A>
PieceTally tally_against(Stored b, const Side& first, const Side& second, std::size_t at, std::size_t count,
                         double tolerance, double relative_slack) {
  switch (b) {
    case Stored::HEIGHTS:
      return tally_piece<A, Stored::HEIGHTS>(first, second, at, count, tolerance, relative_slack);
    case Stored::COUNTS:
      return tally_piece<A, Stored::COUNTS>(first, second, at, count, tolerance, relative_slack);
    case Stored::METRES:
      break;
  }
  return tally_piece<A, Stored::METRES>(first, second, at, count, tolerance, relative_slack);
}

MAPCONV_HOT_LOOP PieceTally tally_with_source(Stored a, Stored b, const Side& first, const Side& second,
                                              std::size_t at, std::size_t count, double tolerance,
                                              double relative_slack) {
  switch (a) {
    case Stored::HEIGHTS:
      return tally_against<Stored::HEIGHTS>(b, first, second, at, count, tolerance, relative_slack);
    case Stored::COUNTS:
      return tally_against<Stored::COUNTS>(b, first, second, at, count, tolerance, relative_slack);
    case Stored::METRES:
      break;
  }
  return tally_against<Stored::METRES>(b, first, second, at, count, tolerance, relative_slack);
}

Stored stored_of(const MapReader& map) {
  return map.source_open ? Stored::METRES : map.data_file ? Stored::COUNTS : Stored::HEIGHTS;
}

// Points scaled and then tallied at a time: few enough that the scaled
// values are still in the cache for the tally.
constexpr std::size_t BLOCK = 4096;

// One map's side of the pieces at hand.
Side side_of(const MapReader& map, const Scaled& scaled) {
  if (map.source_open) return Side{nullptr, nullptr, scaled.units_per_metre, map.metres.get()};
  if (map.data_file) return Side{nullptr, map.counts.get(), scaled.units_per_metre / map.counts_per_metre};
  return Side{map.heights, nullptr, scaled.units_per_metre};
}

// Compares count points of the pieces at hand, from index at within them,
// point first of the map. The tally reads the pieces themselves; only a
// block that holds a new largest difference or the first mismatch is
// scaled into the blocks of doubles, to find the point.
void compare_block(const MapReader (&readers)[2], Scaled* scaled, std::size_t at, std::uint64_t first,
                   std::size_t count, MapComparison* result) {
  const Side sides[2] = {side_of(readers[0], *scaled), side_of(readers[1], *scaled)};
  PieceTally t;
  if (readers[0].source_open || readers[1].source_open) {
    t = tally_with_source(stored_of(readers[0]), stored_of(readers[1]), sides[0], sides[1], at, count,
                          scaled->tolerance, scaled->relative_slack);
  } else if (readers[0].data_file == readers[1].data_file) {
    t = readers[0].data_file ? tally_counts(sides[0], sides[1], at, count)
                             : tally_heights(sides[0], sides[1], at, count);
  } else {
    t = readers[0].data_file
            ? tally_counts_heights(sides[0], sides[1], at, count, scaled->tolerance, scaled->relative_slack)
            : tally_heights_counts(sides[0], sides[1], at, count, scaled->tolerance, scaled->relative_slack);
  }
  result->points_in_both += t.both;
  result->only_in_first += t.only_first;
  result->only_in_second += t.only_second;
  const double largest = t.largest / scaled->units_per_metre;
  const bool new_largest = t.largest >= 0 && !(largest <= result->largest_difference);
  const bool no_data_differs = t.only_first + t.only_second > 0;
  const bool first_no_data = no_data_differs && result->verdict != MAPS_NO_DATA_DIFFERS;
  const bool first_bad = !no_data_differs && t.bad > 0 && result->verdict == MAPS_AGREE;
  if (!new_largest && !first_no_data && !first_bad) return;
  for (int k = 0; k < 2; ++k) {
    const MapReader& map = readers[k];
    if (map.source_open) {
      scale_metres(map.metres.get() + at, count, sides[k].factor, scaled->values[k].get(),
                   scaled->valid[k].get());
    } else if (map.data_file) {
      scale_counts(map.counts.get() + at, count, sides[k].factor, scaled->values[k].get(),
                   scaled->valid[k].get());
    } else {
      scale_xdt(map.heights + at, count, sides[k].factor, scaled->values[k].get(), scaled->valid[k].get());
    }
  }
  const double* a = scaled->values[0].get();
  const double* b = scaled->values[1].get();
  const double* valid_a = scaled->valid[0].get();
  const double* valid_b = scaled->valid[1].get();
  if (new_largest) {
    for (std::size_t i = 0; i < count; ++i) {
      if (valid_a[i] * valid_b[i] != 0.0 && std::fabs(b[i] - a[i]) == t.largest) {
        result->largest_difference = largest;
        result->largest_at = first + i;
        break;
      }
    }
  }
  // The rule of lowest number wins, at its first point.
  if (first_no_data) {
    for (std::size_t i = 0; i < count; ++i) {
      if (valid_a[i] != valid_b[i]) {
        result->verdict = MAPS_NO_DATA_DIFFERS;
        result->first_mismatch = first + i;
        break;
      }
    }
  } else if (first_bad) {
    result->verdict = MAPS_HEIGHTS_DIFFER;
    for (std::size_t i = 0; i < count; ++i) {
      const bool same = a[i] == b[i] || (a[i] != a[i] && b[i] != b[i]);
      const double* stored = scaled->values[scaled->data_side < 0 ? 1 : scaled->data_side].get();
      if (valid_a[i] * valid_b[i] != 0.0 && !same &&
          !(std::fabs(b[i] - a[i]) <= scaled->tolerance + std::fabs(stored[i]) * scaled->relative_slack)) {
        result->first_mismatch = first + i;
        break;
      }
    }
  }
}

// Compares one piece of count points starting at point first.
void compare_piece(const MapReader (&readers)[2], Scaled* scaled, std::uint64_t first, std::size_t count,
                   MapComparison* result) {
  for (std::size_t at = 0; at < count; at += BLOCK)
    compare_block(readers, scaled, at, first + at, std::min(BLOCK, count - at), result);
}

// The comparison; *reason receives errno of a failed read, which closing
// the files may overwrite.
ErrorCode compare_files(const char* first, const char* second, const MapSourceOpener* opener,
                        MapComparison* result, int* reason) {
  std::memset(result, 0, sizeof *result);
  result->largest_difference = std::numeric_limits<double>::quiet_NaN();
  result->largest_difference_counts = std::numeric_limits<double>::quiet_NaN();
  MapReader readers[2];
  const char* paths[2] = {first, second};
  for (int k = 0; k < 2; ++k) {
    const ErrorCode code = readers[k].open(paths[k], opener);
    result->kind[k] = readers[k].map_kind;
    if (code != NO_ERROR) {
      result->failed_file = k + 1;
      result->data_file[k] = readers[k].data_file;
      result->height_scale_fault = readers[k].height_scale;
      std::memcpy(result->height_scale_text, readers[k].height_scale_text, sizeof result->height_scale_text);
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
  // The scale the pair is compared on: counts of the data file when there
  // is one and, for two data files, counts when both count alike.
  Scaled scaled;
  const bool mixed = readers[0].data_file != readers[1].data_file;
  if (mixed) {
    scaled.data_side = readers[0].data_file ? 0 : 1;
    scaled.units_per_metre = readers[scaled.data_side].counts_per_metre;
    scaled.tolerance = 0.5;
    scaled.relative_slack = 0x1p-50;
  } else if (readers[0].data_file && readers[0].counts_per_metre == readers[1].counts_per_metre) {
    scaled.units_per_metre = readers[0].counts_per_metre;
  }
  for (int k = 0; k < 2; ++k) {
    scaled.values[k] = hooked_allocate<double>(BLOCK);
    scaled.valid[k] = hooked_allocate<double>(BLOCK);
    if (scaled.values[k] == nullptr || scaled.valid[k] == nullptr) {
      result->failed_file = k + 1;
      return ERR_NO_MEM;
    }
  }
  const std::uint64_t points = readers[0].remaining;
  for (std::uint64_t done = 0; done < points;) {
    const std::size_t count = points - done < PIECE ? static_cast<std::size_t>(points - done) : PIECE;
    for (int k = 0; k < 2; ++k) {
      const ErrorCode code = readers[k].read(count);
      if (code != NO_ERROR) {
        result->failed_file = k + 1;
        *reason = readers[k].reason;
        return code;
      }
    }
    compare_piece(readers, &scaled, done, count, result);
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
  if (std::memcmp(&result->lateral_resolution[0], &result->lateral_resolution[1], sizeof(float)) != 0 ||
      std::memcmp(&readers[0].lateral_resolution_y, &readers[1].lateral_resolution_y, sizeof(float)) != 0)
    result->verdict = MAPS_GRIDS_DIFFER;
  if (readers[1].data_file && !std::isnan(result->largest_difference))
    result->largest_difference_counts = result->largest_difference * readers[1].counts_per_metre;
  result->tolerance_counts = readers[0].data_file != readers[1].data_file ? 0.5 : 0.0;
  return NO_ERROR;
}
}  // namespace

ErrorCode compare_map_files(const char* first, const char* second, MapComparison* result) {
  return compare_map_files_through(first, second, nullptr, result);
}

ErrorCode compare_map_files_through(const char* first, const char* second, const MapSourceOpener* opener,
                                    MapComparison* result) {
  if (first == nullptr || second == nullptr || result == nullptr) return ERR_INVALID_PARAM;
  if (opener != nullptr && opener->open == nullptr) return ERR_INVALID_PARAM;
  int reason = 0;
  const ErrorCode code = compare_files(first, second, opener, result, &reason);
  if (code == ERR_CANT_READ_FILE) errno = reason;
  return code;
}
