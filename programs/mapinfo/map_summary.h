// What mapinfo reports about one surface map: counts, height statistics in
// nanometres and the instrument settings of a data file, as text or JSON.
#pragma once

#include <mapconv/height_parameters.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The heights of one map, point by point, row after row. Exactly one of the
// three arrays is set.
struct HeightGrid {
  std::int32_t columns;
  std::int32_t rows;
  const float* xdt_heights;          // metres; -1.0 or below: no data
  const std::int32_t* phase_counts;  // PHASE_INVALID: no data
  double nanometres_per_count;       // for phase_counts
  // When set, heights are given less this form (in nanometres, fitted to
  // this grid): the levelled map.
  const HeightParameters* form;
  const double* metres = nullptr;        // an X3P file's heights; NaN: no data
  const float* float_metres = nullptr;  // the same, for a file that stores float32
};

enum class PointKind { valid, no_data, non_finite };

// Classifies point index and, for a valid point, stores its height in
// nanometres.
PointKind height_at(const HeightGrid& grid, std::size_t index, double* nanometres);

// The three counts are disjoint and add up to the number of points; the
// statistics cover the valid points only and are meaningful when valid > 0.
struct HeightStatistics {
  std::uint64_t valid;
  std::uint64_t no_data;
  std::uint64_t non_finite;
  double min;
  double max;
  double mean;
  double rms;  // root mean square deviation from the mean
};

HeightStatistics compute_height_statistics(const HeightGrid& grid);

// The areal height parameters of the grid's heights in nanometres, levelled
// as asked, in two passes over it; lateral_resolution in metres.
ErrorCode compute_map_parameters(const HeightGrid& grid, float lateral_resolution, HeightLevel level,
                                 HeightParameters* parameters);

// Both the statistics and the parameters of the grid: they read the same
// map and nothing else, so on two cores they take the time of the longer.
// Returns the code of compute_map_parameters.
ErrorCode measure_heights(const HeightGrid& grid, float lateral_resolution, HeightLevel level,
                          HeightStatistics* heights, HeightParameters* parameters);

// The data file part of a summary.
struct DataFileSettings {
  std::int32_t header_format;
  std::int32_t header_size;
  float wavelength;  // metres
  float scale_factor;
  std::int16_t phase_resolution;
  std::int16_t intensity_width;  // zero when there is no intensity block
  std::int16_t intensity_height;
  std::int16_t intensity_buckets;
};

// What an X3P file's summary adds: the stored type, the row spacing and
// Record2's text (empty where the file has none).
struct X3pDetails {
  const char* data_type;  // "int16", "int32", "float32" or "float64"
  float row_spacing;      // CY's increment; the lateral resolution is CX's
  bool has_record;        // Record2 present
  std::string_view date;
  std::string_view creator;
  std::string_view manufacturer;
  std::string_view model;
  std::string_view serial;
  std::string_view version;
  std::string_view comment;
};

struct MapSummary {
  std::string_view file;
  const DataFileSettings* data_file;  // null for an XDT file
  std::int32_t columns;
  std::int32_t rows;
  HeightStatistics heights;
  float lateral_resolution;
  const HeightParameters* parameters;  // null: none to report
  // Why the heights are not known (a data file whose counts have no height
  // scale), or null. Only the counts of heights are reported then.
  const char* heights_unknown = nullptr;
  const X3pDetails* x3p = nullptr;  // an X3P file's, else null
};

// Several indented lines, ending with a newline.
std::string summary_text(const MapSummary& summary);

// One JSON object on one line, ending with a newline.
std::string summary_json(const MapSummary& summary);

// Appends text as a quoted JSON string. Quotes, backslashes and control
// characters are escaped; a byte that is not part of well-formed UTF-8 is
// written as \u00XX, the code point of the same number.
void append_json_string(std::string* out, std::string_view text);

// Length of the well-formed UTF-8 sequence at the start of bytes (not
// empty), 0 if none.
std::size_t utf8_sequence_length(std::string_view bytes);

// Appends text with its control bytes escaped as on the terminal
// (u_write_escaped): text from a file never moves the cursor.
void append_escaped(std::string* out, std::string_view text);

// Appends printf-style text to out (at most 255 bytes a call).
void append_format(std::string* out, const char* format, ...) __attribute__((format(printf, 2, 3)));

struct MapComparison;

// The lines of a comparison's outcome after the two maps' own: the counts,
// the largest difference and the result with the rule it was judged by.
std::string comparison_text(const MapComparison& result);
