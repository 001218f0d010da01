// Areal height parameters of a surface map after form removal (a
// least-squares plane or the mean), computed over the points with data, and
// the comparison of two maps of the same grid. Both work on whole arrays or
// stream over pieces of a map, so a map of any size needs little memory.
#pragma once

#include <mapconv/api.h>
#include <mapconv/errors.h>

#include <cstddef>
#include <cstdint>

// The form taken away before the parameters are computed.
enum HeightLevel : std::int32_t {
  HEIGHT_LEVEL_MEAN = 0,   // the mean height only
  HEIGHT_LEVEL_PLANE = 1,  // the least-squares plane z = a + b x + c y
};

// The parameters, in the unit of the heights given. A value that is not
// defined (Ssk and Sku of a flat map, everything without points) is NaN.
struct HeightParameters {
  std::int32_t level;    // a HeightLevel
  std::uint64_t points;  // points with data
  double mean;           // mean height before levelling
  // The plane's slopes in height units per unit of lateral resolution (NaN
  // when the resolution is not positive and finite), and per grid step.
  // Zero for HEIGHT_LEVEL_MEAN.
  double slope_x;
  double slope_y;
  double slope_x_per_step;
  double slope_y_per_step;
  double plane_origin;  // the form's height at column 0, row 0
  double sa;            // arithmetic mean height
  double sq;            // root mean square height
  double ssk;           // skewness: mean of z^3 / Sq^3
  double sku;           // kurtosis: mean of z^4 / Sq^4
  double sp;            // maximum peak height
  double sv;            // maximum pit height, positive
  double sz;            // Sp + Sv
};

// Running sums of one pass; private by convention. The first pass keeps
// means and co-moments about them (x, y, z); the second power sums of the
// levelled heights with their compensation terms.
struct HeightSums {
  double count;
  double values[9];
  double compensation[9];
  double low;
  double high;
};

// The parameters of a map streamed over twice: every point, in grid order,
// through height_parameters_feed; then height_parameters_next_pass; then
// every point again; then height_parameters_finish. The first pass fits
// the form (centred sums merged run by run, which keeps every digit the
// heights have), the second sums the powers of the levelled heights. Fields
// are private by convention.
struct HeightParameterStream {
  std::int32_t columns;
  std::int32_t rows;
  double lateral_resolution;
  std::int32_t level;
  std::int32_t pass;       // 1 or 2
  std::uint64_t position;  // grid index of the next point
  HeightSums sums;
  double centre_x, centre_y;  // of the points with data, in grid steps
  double centre_z;
  double slope_x, slope_y;  // per grid step
  double scale;             // RMS of the heights about their mean: flatness test, unit of the powers
  double fitted_points;     // points with data in the first pass
  double origin_z;          // the first valid height: first-pass sums are taken about it
  bool origin_known;
};

// Starts a stream for a columns x rows grid. ERR_INVALID_PARAM for a null
// stream, a grid without points or a level that is not a HeightLevel.
MAPCONV_API ErrorCode height_parameters_start(std::int32_t columns, std::int32_t rows,
                                              double lateral_resolution, HeightLevel level,
                                              HeightParameterStream* stream);

// Takes the next count heights in grid order (NaN or infinite: no data).
// ERR_INVALID_PARAM when they run past the end of the grid or heights is
// null with count > 0.
MAPCONV_API ErrorCode height_parameters_feed(HeightParameterStream* stream, const double* heights,
                                             std::size_t count);

// The same for phase counts: the heights are count * height_per_count, and
// PHASE_INVALID marks a point without data.
MAPCONV_API ErrorCode height_parameters_feed_counts(HeightParameterStream* stream, const std::int32_t* counts,
                                                    std::size_t count, double height_per_count);

// Ends the first pass, which must have seen every point, and fits the form.
MAPCONV_API ErrorCode height_parameters_next_pass(HeightParameterStream* stream);

// Ends the second pass, which must have seen every point, and fills
// *parameters.
MAPCONV_API ErrorCode height_parameters_finish(HeightParameterStream* stream, HeightParameters* parameters);

// The parameters of a whole array of columns * rows heights, row by row (NaN:
// no data), in two passes over it.
MAPCONV_API ErrorCode compute_height_parameters(const double* heights, std::int32_t columns,
                                                std::int32_t rows, double lateral_resolution,
                                                HeightLevel level, HeightParameters* parameters);

// The height at column, row less the form that parameters describe: what
// the parameters were computed over (up to rounding).
MAPCONV_API double levelled_height(const HeightParameters* parameters, double height, std::int32_t column,
                                   std::int32_t row);
