#include "programs/mapinfo/map_summary.h"

#include <mapconv/map_compare.h>
#include <mapconv/map_records.h>
#include <mapconv/terminal_text.h>

#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <system_error>
#include <thread>
#include <utility>

namespace {

constexpr double NANOMETRES_PER_METRE = 1e9;

// Count, mean, squared deviation and range of a run of heights. Runs are
// summed on their own and merged pairwise (Chan, Golub and LeVeque), which
// stays accurate over a billion points without a division per point.
struct Moments {
  std::uint64_t count = 0;
  double mean = 0.0;
  double squares = 0.0;
  double min = 0.0;
  double max = 0.0;

  void merge(const Moments& other) {
    if (other.count == 0) return;
    if (count == 0) {
      *this = other;
      return;
    }
    const double total = static_cast<double>(count + other.count);
    const double delta = other.mean - mean;
    mean += delta * (static_cast<double>(other.count) / total);
    squares += other.squares +
               delta * delta * (static_cast<double>(count) / total) * static_cast<double>(other.count);
    min = other.min < min ? other.min : min;
    max = other.max > max ? other.max : max;
    count += other.count;
  }
};

// Heights gathered before their run is summed: small enough for the cache.
constexpr std::size_t RUN_LENGTH = 4096;

// The moments of count finite values. Four partial sums each, so that the
// additions do not wait on one another.
Moments run_moments(const double* values, std::size_t count) {
  Moments run;
  if (count == 0) return run;
  double sum[4] = {0.0, 0.0, 0.0, 0.0};
  double low[4] = {values[0], values[0], values[0], values[0]};
  double high[4] = {values[0], values[0], values[0], values[0]};
  std::size_t i = 0;
  for (; i + 4 <= count; i += 4) {
    for (std::size_t lane = 0; lane < 4; ++lane) {
      const double value = values[i + lane];
      sum[lane] += value;
      low[lane] = value < low[lane] ? value : low[lane];
      high[lane] = value > high[lane] ? value : high[lane];
    }
  }
  for (; i < count; ++i) {
    sum[0] += values[i];
    low[0] = values[i] < low[0] ? values[i] : low[0];
    high[0] = values[i] > high[0] ? values[i] : high[0];
  }
  run.count = count;
  run.mean = ((sum[0] + sum[1]) + (sum[2] + sum[3])) / static_cast<double>(count);
  double squares[4] = {0.0, 0.0, 0.0, 0.0};
  for (i = 0; i + 4 <= count; i += 4) {
    for (std::size_t lane = 0; lane < 4; ++lane) {
      const double deviation = values[i + lane] - run.mean;
      squares[lane] += deviation * deviation;
    }
  }
  for (; i < count; ++i) squares[0] += (values[i] - run.mean) * (values[i] - run.mean);
  run.squares = (squares[0] + squares[1]) + (squares[2] + squares[3]);
  run.min = std::fmin(std::fmin(low[0], low[1]), std::fmin(low[2], low[3]));
  run.max = std::fmax(std::fmax(high[0], high[1]), std::fmax(high[2], high[3]));
  return run;
}

// A number for JSON: non-finite values have no JSON form and become null.
void append_json_number(std::string* out, double value, int digits) {
  if (!std::isfinite(value)) {
    out->append("null");
    return;
  }
  append_format(out, "%.*g", digits, value);
}

const char* const height_names[] = {"min", "max", "mean", "rms", "peak_to_valley"};

void height_values(const HeightStatistics& heights, double (&values)[5]) {
  values[0] = heights.min;
  values[1] = heights.max;
  values[2] = heights.mean;
  values[3] = heights.rms;
  values[4] = heights.max - heights.min;
}

// An X3P file's record lines: only the fields it has.
void append_record_text(std::string* out, const X3pDetails& x3p) {
  append_format(out, "  data type            %s\n", x3p.data_type);
  if (!x3p.has_record) {
    out->append("  record               none\n");
    return;
  }
  const auto line = [&](const char* label, std::string_view text) {
    if (text.empty()) return;
    append_format(out, "  %-20s ", label);
    append_escaped(out, text);
    out->push_back('\n');
  };
  line("date", x3p.date);
  line("creator", x3p.creator);
  std::string instrument(x3p.manufacturer);
  for (const std::string_view part : {x3p.model, x3p.serial, x3p.version}) {
    if (part.empty()) continue;
    instrument += instrument.empty() ? "" : ", ";
    instrument += part;
  }
  line("instrument", instrument);
  line("comment", x3p.comment);
}

void append_record_json(std::string* out, const X3pDetails& x3p) {
  out->append(",\"x3p\":{\"data_type\":");
  append_json_string(out, x3p.data_type);
  out->append(",\"row_spacing\":");
  append_json_number(out, x3p.row_spacing, 9);
  out->append(",\"record\":");
  if (!x3p.has_record) {
    out->append("null}");
    return;
  }
  const std::pair<const char*, std::string_view> fields[] = {
      {"date", x3p.date},      {"creator", x3p.creator}, {"manufacturer", x3p.manufacturer},
      {"model", x3p.model},    {"serial", x3p.serial},   {"version", x3p.version},
      {"comment", x3p.comment}};
  for (std::size_t i = 0; i < std::size(fields); ++i) {
    append_format(out, "%s\"%s\":", i == 0 ? "{" : ",", fields[i].first);
    append_json_string(out, fields[i].second);
  }
  out->append("}}");
}

const char* level_name(std::int32_t level) { return level == HEIGHT_LEVEL_PLANE ? "plane" : "mean"; }

struct ParameterValue {
  const char* name;
  double value;
  const char* unit;  // null: a plain number
};

constexpr std::size_t PARAMETER_COUNT = 7;

void parameter_values(const HeightParameters& p, ParameterValue (&values)[PARAMETER_COUNT]) {
  values[0] = {"Sa", p.sa, "nm"};
  values[1] = {"Sq", p.sq, "nm"};
  values[2] = {"Ssk", p.ssk, nullptr};
  values[3] = {"Sku", p.sku, nullptr};
  values[4] = {"Sp", p.sp, "nm"};
  values[5] = {"Sv", p.sv, "nm"};
  values[6] = {"Sz", p.sz, "nm"};
}

void append_parameters_text(std::string* out, const HeightParameters& p) {
  append_format(out, "  form removed         %s\n",
                p.level == HEIGHT_LEVEL_PLANE ? "least-squares plane" : "mean height");
  if (p.level == HEIGHT_LEVEL_PLANE) {
    const char* const labels[] = {"plane slope x", "plane slope y"};
    const double slopes[] = {p.slope_x, p.slope_y};
    for (std::size_t i = 0; i < 2; ++i) {
      if (std::isfinite(slopes[i])) {
        append_format(out, "  %-20s %.6g nm/m\n", labels[i], slopes[i]);
      } else {
        append_format(out, "  %-20s n/a\n", labels[i]);
      }
    }
  }
  ParameterValue values[PARAMETER_COUNT];
  parameter_values(p, values);
  for (const ParameterValue& v : values) {
    if (!std::isfinite(v.value)) {
      append_format(out, "  %-20s n/a\n", v.name);
    } else if (v.unit != nullptr) {
      append_format(out, "  %-20s %.4f %s\n", v.name, v.value, v.unit);
    } else {
      append_format(out, "  %-20s %.4f\n", v.name, v.value);
    }
  }
}

void append_parameters_json(std::string* out, const HeightParameters& p) {
  append_format(out, ",\"parameters\":{\"level\":\"%s\",\"slope_x_nm_per_m\":", level_name(p.level));
  append_json_number(out, p.level == HEIGHT_LEVEL_PLANE ? p.slope_x : NAN, 10);
  out->append(",\"slope_y_nm_per_m\":");
  append_json_number(out, p.level == HEIGHT_LEVEL_PLANE ? p.slope_y : NAN, 10);
  ParameterValue values[PARAMETER_COUNT];
  parameter_values(p, values);
  for (const ParameterValue& v : values) {
    append_format(out, ",\"%s\":", v.name);
    append_json_number(out, v.value, 12);
  }
  out->push_back('}');
}

}  // namespace

std::size_t utf8_sequence_length(std::string_view bytes) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  const auto continuation = [&](std::size_t i, unsigned low = 0x80, unsigned high = 0xBF) {
    return i < bytes.size() && byte(i) >= low && byte(i) <= high;
  };
  const unsigned lead = byte(0);
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return continuation(1) ? 2 : 0;
  if (lead >= 0xE0 && lead <= 0xEF) {
    // No overlong forms (E0) and no surrogates (ED).
    const unsigned low = lead == 0xE0 ? 0xA0 : 0x80;
    const unsigned high = lead == 0xED ? 0x9F : 0xBF;
    return continuation(1, low, high) && continuation(2) ? 3 : 0;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    // No overlong forms (F0) and nothing above U+10FFFF (F4).
    const unsigned low = lead == 0xF0 ? 0x90 : 0x80;
    const unsigned high = lead == 0xF4 ? 0x8F : 0xBF;
    return continuation(1, low, high) && continuation(2) && continuation(3) ? 4 : 0;
  }
  return 0;
}

void append_escaped(std::string* out, std::string_view text) {
  // The terminal's own escaping, through a stream into memory.
  const std::string whole(text);
  char* bytes = nullptr;
  std::size_t size = 0;
  std::FILE* stream = open_memstream(&bytes, &size);
  if (stream == nullptr) {
    out->append("?");
    return;
  }
  u_write_escaped(stream, whole.c_str());
  std::fclose(stream);
  out->append(bytes, size);
  std::free(bytes);
}

void append_format(std::string* out, const char* format, ...) {
  char buffer[256];
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (length > 0)
    out->append(buffer, static_cast<std::size_t>(length) < sizeof buffer ? length : sizeof buffer - 1);
}

PointKind height_at(const HeightGrid& grid, std::size_t index, double* nanometres) {
  double height = 0.0;
  if (grid.metres != nullptr) {
    if (std::isnan(grid.metres[index])) return PointKind::no_data;
    height = grid.metres[index] * NANOMETRES_PER_METRE;
  } else if (grid.float_metres != nullptr) {
    const float z = grid.float_metres[index];
    if (std::isnan(z)) return PointKind::no_data;
    height = static_cast<double>(z) * NANOMETRES_PER_METRE;
  } else if (grid.xdt_heights != nullptr) {
    const float z = grid.xdt_heights[index];
    if (z <= -1.0f) return PointKind::no_data;
    height = static_cast<double>(z) * NANOMETRES_PER_METRE;
  } else {
    const std::int32_t count = grid.phase_counts[index];
    if (count == PHASE_INVALID) return PointKind::no_data;
    height = static_cast<double>(count) * grid.nanometres_per_count;
  }
  if (!std::isfinite(height)) return PointKind::non_finite;
  if (grid.form != nullptr) {
    const auto columns = static_cast<std::size_t>(grid.columns);
    height = levelled_height(grid.form, height, static_cast<std::int32_t>(index % columns),
                             static_cast<std::int32_t>(index / columns));
  }
  *nanometres = height;
  return PointKind::valid;
}

HeightStatistics compute_height_statistics(const HeightGrid& grid) {
  HeightStatistics statistics{};
  Moments total;
  const std::size_t points = static_cast<std::size_t>(grid.columns) * static_cast<std::size_t>(grid.rows);
  // Every count but the marker gives a finite height when the largest does.
  const bool counts_finite =
      grid.phase_counts != nullptr && std::isfinite(grid.nanometres_per_count * 2147483648.0);
  double values[RUN_LENGTH];
  for (std::size_t first = 0; first < points; first += RUN_LENGTH) {
    const std::size_t end = points - first < RUN_LENGTH ? points : first + RUN_LENGTH;
    std::size_t valid = 0;
    if (counts_finite) {
      // The common case without a call or a branch per point.
      for (std::size_t i = first; i < end; ++i) {
        const std::int32_t count = grid.phase_counts[i];
        values[valid] = static_cast<double>(count) * grid.nanometres_per_count;
        valid += count != PHASE_INVALID;
      }
      statistics.no_data += (end - first) - valid;
    } else {
      for (std::size_t i = first; i < end; ++i) {
        switch (height_at(grid, i, &values[valid])) {
          case PointKind::valid:
            ++valid;
            break;
          case PointKind::no_data:
            ++statistics.no_data;
            break;
          case PointKind::non_finite:
            ++statistics.non_finite;
            break;
        }
      }
    }
    total.merge(run_moments(values, valid));
  }
  statistics.valid = total.count;
  statistics.min = total.min;
  statistics.max = total.max;
  statistics.mean = total.mean;
  statistics.rms = total.count == 0 ? 0.0 : std::sqrt(total.squares / static_cast<double>(total.count));
  return statistics;
}

ErrorCode compute_map_parameters(const HeightGrid& grid, float lateral_resolution, HeightLevel level,
                                 HeightParameters* parameters) {
  HeightParameterStream stream;
  ErrorCode code = height_parameters_start(grid.columns, grid.rows, lateral_resolution, level, &stream);
  const std::size_t points = static_cast<std::size_t>(grid.columns) * static_cast<std::size_t>(grid.rows);
  const bool counts_finite =
      grid.phase_counts != nullptr && std::isfinite(grid.nanometres_per_count * 2147483648.0);
  double values[RUN_LENGTH];
  for (int pass = 0; pass < 2 && code == NO_ERROR; ++pass) {
    if (counts_finite) {
      code = height_parameters_feed_counts(&stream, grid.phase_counts, points, grid.nanometres_per_count);
    } else {
      for (std::size_t first = 0; first < points && code == NO_ERROR; first += RUN_LENGTH) {
        const std::size_t count = points - first < RUN_LENGTH ? points - first : RUN_LENGTH;
        for (std::size_t i = 0; i < count; ++i) {
          if (height_at(grid, first + i, &values[i]) != PointKind::valid) values[i] = NAN;
        }
        code = height_parameters_feed(&stream, values, count);
      }
    }
    if (code == NO_ERROR && pass == 0) code = height_parameters_next_pass(&stream);
  }
  if (code == NO_ERROR) code = height_parameters_finish(&stream, parameters);
  return code;
}

std::string summary_text(const MapSummary& summary) {
  std::string out;
  out.append(summary.file);
  if (summary.data_file != nullptr) {
    append_format(&out, ": data file, header format %" PRId32 " (%" PRId32 "-byte header)\n",
                  summary.data_file->header_format, summary.data_file->header_size);
  } else if (summary.x3p != nullptr) {
    out.append(": X3P surface file\n");
  } else {
    out.append(": XDT surface file\n");
  }
  const HeightStatistics& heights = summary.heights;
  append_format(&out, "  grid                 %" PRId32 " columns x %" PRId32 " rows\n", summary.columns,
                summary.rows);
  append_format(&out, "  points with data     %" PRIu64 "\n", heights.valid);
  append_format(&out, "  points without data  %" PRIu64 "\n", heights.no_data);
  append_format(&out, "  non-finite heights   %" PRIu64 "\n", heights.non_finite);
  const char* const labels[] = {"height min", "height max", "height mean", "height RMS", "peak-to-valley"};
  double values[5];
  height_values(heights, values);
  for (std::size_t i = 0; i < std::size(labels) && summary.heights_unknown == nullptr; ++i) {
    if (heights.valid == 0) {
      append_format(&out, "  %-20s n/a\n", labels[i]);
    } else {
      append_format(&out, "  %-20s %.4f nm\n", labels[i], values[i]);
    }
  }
  if (summary.heights_unknown != nullptr)
    append_format(&out, "  heights              unknown: %s\n", summary.heights_unknown);
  append_format(&out, "  lateral resolution   %.7g\n", static_cast<double>(summary.lateral_resolution));
  if (summary.x3p != nullptr) {
    if (summary.x3p->row_spacing != summary.lateral_resolution)
      append_format(&out, "  row spacing          %.7g\n", static_cast<double>(summary.x3p->row_spacing));
    append_record_text(&out, *summary.x3p);
  }
  if (const DataFileSettings* settings = summary.data_file) {
    append_format(&out, "  wavelength           %.7g m\n", static_cast<double>(settings->wavelength));
    append_format(&out, "  scale factor         %.7g\n", static_cast<double>(settings->scale_factor));
    append_format(&out, "  phase resolution     %d\n", settings->phase_resolution);
    if (settings->intensity_buckets == 0 && settings->intensity_width == 0 &&
        settings->intensity_height == 0) {
      out.append("  intensity            none\n");
    } else {
      append_format(&out, "  intensity            %d x %d, %d frames\n", settings->intensity_width,
                    settings->intensity_height, settings->intensity_buckets);
    }
  }
  if (const HeightParameters* parameters = summary.parameters;
      parameters != nullptr && summary.heights_unknown == nullptr)
    append_parameters_text(&out, *parameters);
  return out;
}

std::string summary_json(const MapSummary& summary) {
  std::string out = "{\"file\":";
  append_json_string(&out, summary.file);
  const DataFileSettings* settings = summary.data_file;
  out.append(settings != nullptr      ? ",\"kind\":\"data_file\""
             : summary.x3p != nullptr ? ",\"kind\":\"x3p_file\""
                                      : ",\"kind\":\"xdt_file\"");
  out.append(",\"header_format\":");
  if (settings != nullptr) {
    append_format(&out, "%" PRId32 ",\"header_size\":%" PRId32, settings->header_format,
                  settings->header_size);
  } else {
    out.append("null,\"header_size\":null");
  }
  const HeightStatistics& heights = summary.heights;
  append_format(&out, ",\"columns\":%" PRId32 ",\"rows\":%" PRId32, summary.columns, summary.rows);
  append_format(&out, ",\"points_with_data\":%" PRIu64 ",\"points_without_data\":%" PRIu64, heights.valid,
                heights.no_data);
  append_format(&out, ",\"non_finite_heights\":%" PRIu64 ",\"heights_nm\":", heights.non_finite);
  if (summary.heights_unknown != nullptr) {
    out.append("null,\"heights_unknown\":");
    append_json_string(&out, summary.heights_unknown);
  } else {
    double values[5];
    height_values(heights, values);
    for (std::size_t i = 0; i < std::size(height_names); ++i) {
      append_format(&out, "%s\"%s\":", i == 0 ? "{" : ",", height_names[i]);
      append_json_number(&out, heights.valid == 0 ? NAN : values[i], 10);
    }
    out.push_back('}');
  }
  out.append(",\"lateral_resolution\":");
  append_json_number(&out, summary.lateral_resolution, 9);
  out.append(",\"wavelength_m\":");
  append_json_number(&out, settings != nullptr ? settings->wavelength : NAN, 9);
  out.append(",\"scale_factor\":");
  append_json_number(&out, settings != nullptr ? settings->scale_factor : NAN, 9);
  out.append(",\"phase_resolution\":");
  if (settings != nullptr) {
    append_format(&out, "%d", settings->phase_resolution);
    append_format(&out, ",\"intensity\":{\"width\":%d,\"height\":%d,\"frames\":%d}",
                  settings->intensity_width, settings->intensity_height, settings->intensity_buckets);
  } else {
    out.append("null,\"intensity\":null");
  }
  if (summary.x3p != nullptr) append_record_json(&out, *summary.x3p);
  if (summary.heights_unknown != nullptr) {
    out.append(",\"parameters\":null");
  } else if (summary.parameters != nullptr) {
    append_parameters_json(&out, *summary.parameters);
  }
  out.append("}\n");
  return out;
}

void append_json_string(std::string* out, std::string_view text) {
  out->push_back('"');
  while (!text.empty()) {
    const unsigned char byte = static_cast<unsigned char>(text.front());
    const std::size_t length = utf8_sequence_length(text);
    if (byte == '"' || byte == '\\') {
      out->push_back('\\');
      out->push_back(static_cast<char>(byte));
    } else if (byte == '\n') {
      out->append("\\n");
    } else if (byte == '\t') {
      out->append("\\t");
    } else if (byte == '\r') {
      out->append("\\r");
    } else if (byte < 0x20 || byte == 0x7F || length == 0) {
      append_format(out, "\\u%04x", byte);
    } else {
      out->append(text.substr(0, length));
      text.remove_prefix(length);
      continue;
    }
    text.remove_prefix(1);
  }
  out->push_back('"');
}

namespace {

const char* const verdict_text[] = {
    "the maps agree",
    "the grids differ",
    "the points without data differ",
    "heights differ beyond the tolerance",
};

}  // namespace

std::string comparison_text(const MapComparison& result) {
  std::string out;
  if (result.verdict != MAPS_GRIDS_DIFFER || result.columns[0] == result.columns[1]) {
    append_format(&out, "  points with data in both   %" PRIu64 "\n", result.points_in_both);
    append_format(&out, "  data in A only             %" PRIu64 "\n", result.only_in_first);
    append_format(&out, "  data in B only             %" PRIu64 "\n", result.only_in_second);
    if (std::isnan(result.largest_difference)) {
      append_format(&out, "  largest difference         n/a\n");
    } else {
      append_format(&out, "  largest difference         %.6g nm at column %" PRIu64 ", row %" PRIu64 "\n",
                    result.largest_difference * 1e9,
                    result.largest_at % static_cast<std::uint64_t>(result.columns[0]),
                    result.largest_at / static_cast<std::uint64_t>(result.columns[0]));
    }
    if (!std::isnan(result.largest_difference_counts))
      append_format(&out, "  largest difference         %.6g phase counts of B\n",
                    result.largest_difference_counts);
  }
  if (result.verdict == MAPS_GRIDS_DIFFER && result.columns[0] == result.columns[1] &&
      result.rows[0] == result.rows[1]) {
    append_format(&out, "  lateral resolution         %.7g in A, %.7g in B\n",
                  static_cast<double>(result.lateral_resolution[0]),
                  static_cast<double>(result.lateral_resolution[1]));
  }
  const char* rule = result.data_file[0] != result.data_file[1]
                         ? "every height within half a phase count of the data file"
                         : "every height equal";
  if (result.verdict == MAPS_AGREE) {
    append_format(&out, "  result: the maps agree (%s)\n", rule);
  } else if (result.verdict == MAPS_GRIDS_DIFFER) {
    append_format(&out, "  result: %s\n", verdict_text[result.verdict]);
  } else {
    const auto columns = static_cast<std::uint64_t>(result.columns[0]);
    append_format(&out, "  result: %s (rule: %s), first at column %" PRIu64 ", row %" PRIu64 "\n",
                  verdict_text[result.verdict],
                  result.verdict == MAPS_NO_DATA_DIFFERS ? "points without data coincide" : rule,
                  result.first_mismatch % columns, result.first_mismatch / columns);
  }
  return out;
}

ErrorCode measure_heights(const HeightGrid& grid, float lateral_resolution, HeightLevel level,
                          HeightStatistics* heights, HeightParameters* parameters) {
  const auto statistics = [&] { *heights = compute_height_statistics(grid); };
  std::thread beside;
  try {
    beside = std::thread(statistics);
  } catch (const std::system_error&) {
    statistics();
  }
  const ErrorCode code = compute_map_parameters(grid, lateral_resolution, level, parameters);
  if (beside.joinable()) beside.join();
  return code;
}
