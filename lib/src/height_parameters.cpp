#include <mapconv/height_parameters.h>

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

enum FirstPass { MEAN_X, MEAN_Y, MEAN_Z, CXX, CXY, CYY, CXZ, CYZ };
enum SecondPass { SUM_ABS, SUM_2, SUM_3, SUM_4, SUM_1 };

// Grid position of the point at index, as column and row.
struct Cursor {
  std::int32_t column;
  std::int32_t row;
  std::int32_t columns;
  void step() {
    if (++column == columns) {
      column = 0;
      ++row;
    }
  }
};

Cursor cursor_at(const HeightParameterStream& stream) {
  const auto columns = static_cast<std::uint64_t>(stream.columns);
  return {static_cast<std::int32_t>(stream.position % columns),
          static_cast<std::int32_t>(stream.position / columns), stream.columns};
}

// Neumaier's compensated addition: totals of a billion points keep their
// digits whatever the order of the runs.
void add_compensated(double* total, double* compensation, double value) {
  const double sum = *total + value;
  *compensation += std::fabs(*total) >= std::fabs(value) ? (*total - sum) + value : (value - sum) + *total;
  *total = sum;
}

// One run of the first pass: means of x, y, z over the valid points, then
// co-moments about those means, merged into the totals (Chan, Golub and
// LeVeque), so that no sum of large squares is ever differenced.
void fit_run(HeightParameterStream* stream, const double* heights, std::size_t count) {
  const Cursor start = cursor_at(*stream);
  Cursor at = start;
  double n = 0, sx = 0, sy = 0, sz = 0;
  double low = stream->sums.low, high = stream->sums.high;
  for (std::size_t i = 0; i < count; ++i, at.step()) {
    const double z = heights[i];
    if (!std::isfinite(z)) continue;
    n += 1;
    sx += at.column;
    sy += at.row;
    sz += z;
    low = z < low ? z : low;
    high = z > high ? z : high;
  }
  stream->sums.low = low;
  stream->sums.high = high;
  if (n == 0) return;
  const double mx = sx / n, my = sy / n, mz = sz / n;
  double cxx = 0, cxy = 0, cyy = 0, cxz = 0, cyz = 0;
  at = start;
  for (std::size_t i = 0; i < count; ++i, at.step()) {
    const double z = heights[i];
    if (!std::isfinite(z)) continue;
    const double dx = at.column - mx, dy = at.row - my, dz = z - mz;
    cxx += dx * dx;
    cxy += dx * dy;
    cyy += dy * dy;
    cxz += dx * dz;
    cyz += dy * dz;
  }
  double* v = stream->sums.values;
  const double total = stream->sums.count + n;
  const double before = stream->sums.count;
  const double ddx = mx - v[MEAN_X], ddy = my - v[MEAN_Y], ddz = mz - v[MEAN_Z];
  const double weight = before * n / total;
  v[CXX] += cxx + ddx * ddx * weight;
  v[CXY] += cxy + ddx * ddy * weight;
  v[CYY] += cyy + ddy * ddy * weight;
  v[CXZ] += cxz + ddx * ddz * weight;
  v[CYZ] += cyz + ddy * ddz * weight;
  v[MEAN_X] += ddx * (n / total);
  v[MEAN_Y] += ddy * (n / total);
  v[MEAN_Z] += ddz * (n / total);
  stream->sums.count = total;
}

// One run of the second pass: powers of the levelled heights.
MAPCONV_HOT_LOOP void level_run(HeightParameterStream* stream, const double* heights, std::size_t count) {
  Cursor at = cursor_at(*stream);
  double n = 0, s0 = 0, s1 = 0, s2 = 0, s3 = 0, s4 = 0;
  double low = stream->sums.low, high = stream->sums.high;
  for (std::size_t i = 0; i < count; ++i, at.step()) {
    const double z = heights[i];
    if (!std::isfinite(z)) continue;
    const double r = (z - stream->centre_z) - stream->slope_x * (at.column - stream->centre_x) -
                     stream->slope_y * (at.row - stream->centre_y);
    const double r2 = r * r;
    n += 1;
    s0 += r;
    s1 += std::fabs(r);
    s2 += r2;
    s3 += r2 * r;
    s4 += r2 * r2;
    low = r < low ? r : low;
    high = r > high ? r : high;
  }
  stream->sums.low = low;
  stream->sums.high = high;
  stream->sums.count += n;
  const double run[] = {s1, s2, s3, s4, s0};
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

ErrorCode height_parameters_feed(HeightParameterStream* stream, const double* heights, std::size_t count) {
  if (stream == nullptr || stream->pass == 0 || (heights == nullptr && count > 0)) return ERR_INVALID_PARAM;
  const std::uint64_t points =
      static_cast<std::uint64_t>(stream->columns) * static_cast<std::uint64_t>(stream->rows);
  if (count > points - stream->position) return ERR_INVALID_PARAM;
  for (std::size_t done = 0; done < count;) {
    const std::size_t n = count - done < RUN_LENGTH ? count - done : RUN_LENGTH;
    if (stream->pass == 1) {
      fit_run(stream, heights + done, n);
    } else {
      level_run(stream, heights + done, n);
    }
    stream->position += n;
    done += n;
  }
  return NO_ERROR;
}

ErrorCode height_parameters_next_pass(HeightParameterStream* stream) {
  if (stream == nullptr || stream->pass != 1 || !pass_complete(*stream)) return ERR_INVALID_PARAM;
  const double* v = stream->sums.values;
  stream->centre_x = v[MEAN_X];
  stream->centre_y = v[MEAN_Y];
  stream->centre_z = v[MEAN_Z];
  stream->scale =
      std::fmax(std::fabs(stream->sums.high - v[MEAN_Z]), std::fabs(stream->sums.low - v[MEAN_Z]));
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
  // centre; the moments are taken about their actual mean m.
  const double m = raw[SUM_1];
  const double m2 = std::fmax(raw[SUM_2] - m * m, 0.0);
  const double m3 = raw[SUM_3] - 3 * m * raw[SUM_2] + 2 * m * m * m;
  const double m4 = raw[SUM_4] - 4 * m * raw[SUM_3] + 6 * m * m * raw[SUM_2] - 3 * m * m * m * m;
  p.mean = stream->centre_z + m;
  p.sa = raw[SUM_ABS];
  p.sq = std::sqrt(m2);
  p.sp = sums.high - m;
  p.sv = m - sums.low;
  if (p.sq <= FLAT_RELATIVE * stream->scale) {
    p.sa = p.sq = p.sp = p.sv = 0.0;
    p.ssk = p.sku = NOT_DEFINED;
  } else {
    p.ssk = m3 / (p.sq * p.sq * p.sq);
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
