#include <mapconv/height_parameters.h>
#include <mapconv/map_records.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "cpu_dispatch.h"

namespace {

constexpr double NOT_DEFINED = std::numeric_limits<double>::quiet_NaN();

// Points summed on their own before they join the totals.
constexpr std::size_t RUN_LENGTH = 4096;

// Levelled heights this small beside the heights themselves are what the
// arithmetic of the fit leaves behind, not texture: such a map is flat.
constexpr double FLAT_RELATIVE = 1e-12;

enum FirstPass { MEAN_X, MEAN_Y, MEAN_Z, CXX, CXY, CYY, CXZ, CYZ, CZZ };
enum SecondPass { SUM_ABS, SUM_2, SUM_3, SUM_4, SUM_1 };

// Neumaier's compensated addition: totals of a billion points keep their
// digits whatever the order of the runs.
void add_compensated(double* total, double* compensation, double value) {
  const double sum = *total + value;
  *compensation += std::fabs(*total) >= std::fabs(value) ? (*total - sum) + value : (value - sum) + *total;
  *total = sum;
}

constexpr double LARGEST = std::numeric_limits<double>::max();
constexpr double INFINITE = std::numeric_limits<double>::infinity();
// Four heights at a time in vector registers (two halves where the
// processor has no 256-bit ones); the arithmetic is the same IEEE
// arithmetic, lane by lane. Vectors never pass by value between functions,
// whose calling convention would then depend on the instruction set.
using Vec = double __attribute__((vector_size(32)));
using Mask = decltype(Vec{} < Vec{});
constexpr std::size_t LANES = 4;

// Heights as given: doubles (NaN or infinite: no data), or phase counts
// times a scale (PHASE_INVALID: no data).
struct Piece {
  const double* heights;
  const std::int32_t* counts;
  double scale;

  Piece offset(std::size_t by) const {
    return {heights != nullptr ? heights + by : nullptr, counts != nullptr ? counts + by : nullptr, scale};
  }
  double at(std::size_t i) const {
    if (heights != nullptr) return heights[i];
    return counts[i] == PHASE_INVALID ? NOT_DEFINED : counts[i] * scale;
  }
};

using Counts = std::int32_t __attribute__((vector_size(16)));

// Four heights from index at of count into *out, NaN (no data) past the
// end.
[[gnu::always_inline]] inline void load(const Piece& piece, std::size_t at, std::size_t count, Vec* out) {
  const std::size_t whole = at + LANES <= count ? LANES : count - at;
  if (piece.heights != nullptr) {
    double padded[LANES] = {NOT_DEFINED, NOT_DEFINED, NOT_DEFINED, NOT_DEFINED};
    if (whole == LANES) {
      std::memcpy(out, piece.heights + at, sizeof *out);
    } else {
      std::memcpy(padded, piece.heights + at, whole * sizeof(double));
      std::memcpy(out, padded, sizeof *out);
    }
    return;
  }
  Counts c = {PHASE_INVALID, PHASE_INVALID, PHASE_INVALID, PHASE_INVALID};
  if (whole == LANES) {
    std::memcpy(&c, piece.counts + at, sizeof c);
  } else {
    std::memcpy(&c, piece.counts + at, whole * sizeof(std::int32_t));
  }
  const Vec h = __builtin_convertvector(c, Vec) * piece.scale;
  // Widened to the lanes' width, the marker test selects NaN for no data.
  const Mask no_data = __builtin_convertvector(c == PHASE_INVALID, Mask);
  *out = (Vec)(((Mask)h & ~no_data) | ((Mask)(Vec{} + NOT_DEFINED) & no_data));
}

// Sums of one segment of a row about its first column and the provisional
// height: small numbers whose centred forms lose nothing worth having.
struct SegmentSums {
  double n, x, xx, z, xz, zz;
};

MAPCONV_HOT_LOOP SegmentSums segment_sums(const Piece& heights, std::size_t count, double origin) {
  Vec n{}, x{}, xx{}, z{}, xz{}, zz{};
  // Columns counted in doubles: a conversion from an integer per point
  // would cost more than the sums.
  Vec column{0.0, 1.0, 2.0, 3.0};
  for (std::size_t i = 0; i < count; i += LANES, column += static_cast<double>(LANES)) {
    Vec h;
    load(heights, i, count, &h);
    // False for NaN and infinities.
    const Mask valid = (h >= -LARGEST) & (h <= LARGEST);
    const Vec w = (Vec)((Mask)(Vec{} + 1.0) & valid);
    const Vec dz = (Vec)((Mask)(h - origin) & valid);
    n += w;
    x += w * column;
    xx += w * column * column;
    z += dz;
    xz += column * dz;
    zz += dz * dz;
  }
  const auto sum = [](const Vec& v) { return (v[0] + v[1]) + (v[2] + v[3]); };
  return {sum(n), sum(x), sum(xx), sum(z), sum(xz), sum(zz)};
}

// One segment of the first pass, within one row: its means and co-moments
// merged into the totals (Chan, Golub and LeVeque), so that no sum of large
// squares is ever differenced. Within a row y is constant: its co-moments
// are zero.
void fit_segment(HeightParameterStream* stream, std::int32_t column, std::int32_t row, const Piece& heights,
                 std::size_t count) {
  if (!stream->origin_known) {
    for (std::size_t i = 0; i < count && !stream->origin_known; ++i) {
      if (std::fabs(heights.at(i)) <= LARGEST) {
        stream->origin_z = heights.at(i);
        stream->origin_known = true;
      }
    }
  }
  const SegmentSums s = segment_sums(heights, count, stream->origin_z);
  if (s.n == 0) return;
  const double local_x = s.x / s.n, local_z = s.z / s.n;
  const double cxx = s.xx - s.x * local_x;
  const double cxz = s.xz - s.x * local_z;
  const double czz = s.zz - s.z * local_z;
  const double mx = column + local_x, my = row, mz = stream->origin_z + local_z;
  double* v = stream->sums.values;
  const double before = stream->sums.count;
  const double total = before + s.n;
  const double ddx = mx - v[MEAN_X], ddy = my - v[MEAN_Y], ddz = mz - v[MEAN_Z];
  const double weight = before * s.n / total;
  v[CXX] += cxx + ddx * ddx * weight;
  v[CXY] += ddx * ddy * weight;
  v[CYY] += ddy * ddy * weight;
  v[CXZ] += cxz + ddx * ddz * weight;
  v[CYZ] += ddy * ddz * weight;
  v[CZZ] += czz + ddz * ddz * weight;
  v[MEAN_X] += ddx * (s.n / total);
  v[MEAN_Y] += ddy * (s.n / total);
  v[MEAN_Z] += ddz * (s.n / total);
  stream->sums.count = total;
}

struct PowerSums {
  double n, s0, s1, s2, s3, s4, low, high;
};

// Powers of the levelled heights r = (z - centre) - (slope * (column -
// centre_x) + row_term) over one segment of a row; the squares and higher
// in units of 1 / per_unit.
MAPCONV_HOT_LOOP PowerSums power_sums(const Piece& heights, std::size_t count, double first_column,
                                      double centre_z, double slope_x, double row_term, double per_unit) {
  Vec n{}, s0{}, s1{}, s2{}, s3{}, s4{};
  Vec low = Vec{} + INFINITE, high = Vec{} - INFINITE;
  Vec column = Vec{0.0, 1.0, 2.0, 3.0} + first_column;
  const Mask magnitude = Mask{} + std::numeric_limits<std::int64_t>::max();  // every bit but the sign
  for (std::size_t i = 0; i < count; i += LANES, column += static_cast<double>(LANES)) {
    Vec h;
    load(heights, i, count, &h);
    const Mask valid = (h >= -LARGEST) & (h <= LARGEST);
    const Vec r = (Vec)((Mask)((h - centre_z) - (slope_x * column + row_term)) & valid);
    const Vec u = r * per_unit;
    const Vec u2 = u * u;
    n += (Vec)((Mask)(Vec{} + 1.0) & valid);
    s0 += r;
    s1 += (Vec)((Mask)r & magnitude);
    s2 += u2;
    s3 += u2 * u;
    s4 += u2 * u2;
    const Mask lower = valid & (r < low), higher = valid & (r > high);
    low = (Vec)(((Mask)r & lower) | ((Mask)low & ~lower));
    high = (Vec)(((Mask)r & higher) | ((Mask)high & ~higher));
  }
  const auto sum = [](const Vec& v) { return (v[0] + v[1]) + (v[2] + v[3]); };
  return {sum(n),
          sum(s0),
          sum(s1),
          sum(s2),
          sum(s3),
          sum(s4),
          std::fmin(std::fmin(low[0], low[1]), std::fmin(low[2], low[3])),
          std::fmax(std::fmax(high[0], high[1]), std::fmax(high[2], high[3]))};
}

// The unit the powers of the second pass are summed in: a power of two
// near the spread of the heights, so that z^4 stays finite (and above the
// subnormals) wherever z^2 does, and the scaling itself is exact.
double moment_unit(const HeightParameterStream& stream) {
  if (!(stream.scale > 0.0) || !std::isfinite(stream.scale)) return 1.0;
  return std::ldexp(1.0, std::clamp(std::ilogb(stream.scale), -1000, 1000));
}

void level_segment(HeightParameterStream* stream, std::int32_t column, std::int32_t row, const Piece& heights,
                   std::size_t count) {
  // The centre in x goes into the first column, which stays a small
  // difference: the two are of one size.
  const PowerSums s = power_sums(heights, count, column - stream->centre_x, stream->centre_z, stream->slope_x,
                                 stream->slope_y * (row - stream->centre_y), 1.0 / moment_unit(*stream));
  stream->sums.low = std::fmin(stream->sums.low, s.low);
  stream->sums.high = std::fmax(stream->sums.high, s.high);
  stream->sums.count += s.n;
  const double run[] = {s.s1, s.s2, s.s3, s.s4, s.s0};
  for (int k = SUM_ABS; k <= SUM_1; ++k)
    add_compensated(&stream->sums.values[k], &stream->sums.compensation[k], run[k]);
}

bool pass_complete(const HeightParameterStream& stream) {
  return stream.position ==
         static_cast<std::uint64_t>(stream.columns) * static_cast<std::uint64_t>(stream.rows);
}

void start_sums(HeightSums* sums) {
  std::memset(sums, 0, sizeof *sums);
  sums->low = std::numeric_limits<double>::infinity();
  sums->high = -std::numeric_limits<double>::infinity();
}

}  // namespace

ErrorCode height_parameters_start(std::int32_t columns, std::int32_t rows, double lateral_resolution,
                                  HeightLevel level, HeightParameterStream* stream) {
  if (stream == nullptr || columns < 1 || rows < 1 ||
      (level != HEIGHT_LEVEL_MEAN && level != HEIGHT_LEVEL_PLANE))
    return ERR_INVALID_PARAM;
  std::memset(stream, 0, sizeof *stream);
  stream->columns = columns;
  stream->rows = rows;
  stream->lateral_resolution = lateral_resolution;
  stream->level = level;
  stream->pass = 1;
  start_sums(&stream->sums);
  return NO_ERROR;
}

namespace {

ErrorCode feed(HeightParameterStream* stream, const Piece& heights, std::size_t count) {
  if (stream == nullptr || stream->pass == 0 ||
      (heights.heights == nullptr && heights.counts == nullptr && count > 0))
    return ERR_INVALID_PARAM;
  const std::uint64_t points =
      static_cast<std::uint64_t>(stream->columns) * static_cast<std::uint64_t>(stream->rows);
  if (count > points - stream->position) return ERR_INVALID_PARAM;
  const auto columns = static_cast<std::uint64_t>(stream->columns);
  for (std::size_t done = 0; done < count;) {
    const auto column = static_cast<std::int32_t>(stream->position % columns);
    const auto row = static_cast<std::int32_t>(stream->position / columns);
    std::size_t n = static_cast<std::size_t>(columns - static_cast<std::uint64_t>(column));
    n = n < count - done ? n : count - done;
    n = n < RUN_LENGTH ? n : RUN_LENGTH;
    if (stream->pass == 1) {
      fit_segment(stream, column, row, heights.offset(done), n);
    } else {
      level_segment(stream, column, row, heights.offset(done), n);
    }
    stream->position += n;
    done += n;
  }
  return NO_ERROR;
}

}  // namespace

ErrorCode height_parameters_feed(HeightParameterStream* stream, const double* heights, std::size_t count) {
  return feed(stream, Piece{heights, nullptr, 0.0}, count);
}

ErrorCode height_parameters_feed_counts(HeightParameterStream* stream, const std::int32_t* counts,
                                        std::size_t count, double height_per_count) {
  return feed(stream, Piece{nullptr, counts, height_per_count}, count);
}

ErrorCode height_parameters_next_pass(HeightParameterStream* stream) {
  if (stream == nullptr || stream->pass != 1 || !pass_complete(*stream)) return ERR_INVALID_PARAM;
  const double* v = stream->sums.values;
  stream->centre_x = v[MEAN_X];
  stream->centre_y = v[MEAN_Y];
  stream->centre_z = v[MEAN_Z];
  stream->scale = std::sqrt(std::fmax(v[CZZ], 0.0) / stream->sums.count);
  stream->slope_x = 0.0;
  stream->slope_y = 0.0;
  if (stream->level == HEIGHT_LEVEL_PLANE) {
    const double determinant = v[CXX] * v[CYY] - v[CXY] * v[CXY];
    if (determinant > FLAT_RELATIVE * v[CXX] * v[CYY]) {
      stream->slope_x = (v[CXZ] * v[CYY] - v[CYZ] * v[CXY]) / determinant;
      stream->slope_y = (v[CYZ] * v[CXX] - v[CXZ] * v[CXY]) / determinant;
    } else if (v[CXX] > 0) {
      // The points lie on one line: only the slope along it is known.
      stream->slope_x = v[CXZ] / v[CXX];
    } else if (v[CYY] > 0) {
      stream->slope_y = v[CYZ] / v[CYY];
    }
  }
  stream->fitted_points = stream->sums.count;
  start_sums(&stream->sums);
  stream->pass = 2;
  stream->position = 0;
  return NO_ERROR;
}

ErrorCode height_parameters_finish(HeightParameterStream* stream, HeightParameters* parameters) {
  if (stream == nullptr || parameters == nullptr || stream->pass != 2 || !pass_complete(*stream))
    return ERR_INVALID_PARAM;
  HeightSums& sums = stream->sums;
  // A different count means the second pass was given other heights.
  if (sums.count != stream->fitted_points) return ERR_INVALID_PARAM;
  HeightParameters& p = *parameters;
  p.level = stream->level;
  p.points = static_cast<std::uint64_t>(sums.count);
  p.slope_x_per_step = stream->slope_x;
  p.slope_y_per_step = stream->slope_y;
  const bool lateral_known = std::isfinite(stream->lateral_resolution) && stream->lateral_resolution > 0;
  p.slope_x = lateral_known ? stream->slope_x / stream->lateral_resolution : NOT_DEFINED;
  p.slope_y = lateral_known ? stream->slope_y / stream->lateral_resolution : NOT_DEFINED;
  p.plane_origin = stream->centre_z + (sums.values[SUM_1] + sums.compensation[SUM_1]) / sums.count -
                   stream->slope_x * stream->centre_x - stream->slope_y * stream->centre_y;
  stream->pass = 0;
  if (sums.count == 0) {
    p.mean = p.sa = p.sq = p.ssk = p.sku = p.sp = p.sv = p.sz = NOT_DEFINED;
    p.plane_origin = NOT_DEFINED;
    return NO_ERROR;
  }
  double raw[5];
  for (int k = SUM_ABS; k <= SUM_1; ++k) raw[k] = (sums.values[k] + sums.compensation[k]) / sums.count;
  // The levelled heights average zero but for the rounding of the fit's
  // centre; the moments are taken about their actual mean m, u in the
  // moments' unit.
  const double unit = moment_unit(*stream);
  const double m = raw[SUM_1], u = m / unit;
  const double m2 = std::fmax(raw[SUM_2] - u * u, 0.0);
  const double m3 = raw[SUM_3] - 3 * u * raw[SUM_2] + 2 * u * u * u;
  const double m4 = raw[SUM_4] - 4 * u * raw[SUM_3] + 6 * u * u * raw[SUM_2] - 3 * u * u * u * u;
  const double deviation = std::sqrt(m2);
  p.mean = stream->centre_z + m;
  p.sa = raw[SUM_ABS];
  p.sq = deviation * unit;
  p.sp = sums.high - m;
  p.sv = m - sums.low;
  if (p.sq <= FLAT_RELATIVE * stream->scale) {
    p.sa = p.sq = p.sp = p.sv = 0.0;
    p.ssk = p.sku = NOT_DEFINED;
  } else {
    p.ssk = m3 / (deviation * deviation * deviation);
    p.sku = m4 / (m2 * m2);
  }
  p.sz = p.sp + p.sv;
  return NO_ERROR;
}

ErrorCode compute_height_parameters(const double* heights, std::int32_t columns, std::int32_t rows,
                                    double lateral_resolution, HeightLevel level,
                                    HeightParameters* parameters) {
  if (heights == nullptr || parameters == nullptr) return ERR_INVALID_PARAM;
  HeightParameterStream stream;
  ErrorCode code = height_parameters_start(columns, rows, lateral_resolution, level, &stream);
  const std::size_t points = static_cast<std::size_t>(columns) * static_cast<std::size_t>(rows);
  if (code == NO_ERROR) code = height_parameters_feed(&stream, heights, points);
  if (code == NO_ERROR) code = height_parameters_next_pass(&stream);
  if (code == NO_ERROR) code = height_parameters_feed(&stream, heights, points);
  if (code == NO_ERROR) code = height_parameters_finish(&stream, parameters);
  return code;
}

double levelled_height(const HeightParameters* parameters, double height, std::int32_t column,
                       std::int32_t row) {
  return height - parameters->plane_origin - parameters->slope_x_per_step * column -
         parameters->slope_y_per_step * row;
}
