#include "programs/mapinfo/figure_scale.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "programs/mapinfo/map_summary.h"

namespace {

// Ten to the power e; exact up to 1e22, correctly rounded below 1.
double power_of_ten(int e) { return e >= 0 ? std::pow(10.0, e) : 1.0 / std::pow(10.0, -e); }

// multiple x 10^exponent written in a unit of 10^unit_exponent, with the
// digits the exponent asks for and no more, so "0.05" and never "0.0500001".
std::string round_label(double multiple, int exponent, int unit_exponent) {
  char text[64];
  const int decimals = unit_exponent - exponent;
  if (decimals <= 0) {
    std::snprintf(text, sizeof text, "%.0f", multiple * power_of_ten(-decimals));
  } else {
    std::snprintf(text, sizeof text, "%.*f", std::min(decimals, 20), multiple / power_of_ten(decimals));
  }
  return text;
}

struct Unit {
  const char* name;
  int exponent;  // of ten, against the value's own unit
};

}  // namespace

double RoundNumber::value() const { return mantissa * power_of_ten(exponent); }

HeightTicks height_ticks(double min, double max) {
  const auto unit_for = [](double magnitude) {
    return magnitude < 1e3 ? Unit{"nm", 0} : magnitude < 1e6 ? Unit{"µm", 3} : Unit{"mm", 6};
  };
  HeightTicks ticks{};
  const double span = max - min;
  // A range too narrow for its own magnitude has no distinct round steps.
  if (!(span > std::max(std::fabs(min), std::fabs(max)) * 1e-12) || !(span > 1e-200) || !std::isfinite(span)) {
    const Unit unit = unit_for(std::fabs(min));
    char text[64];
    std::snprintf(text, sizeof text, "%.6g", min / power_of_ten(unit.exponent));
    ticks.unit = unit.name;
    ticks.heights = {min};
    ticks.labels = {text};
    return ticks;
  }
  // About five steps: the raw step rounded to 1, 2 or 5 keeps three to
  // nine ticks within the range.
  const double raw = span / 5;
  int exponent = static_cast<int>(std::floor(std::log10(raw)));
  const double fraction = raw / power_of_ten(exponent);
  int mantissa = fraction < 1.5 ? 1 : fraction < 3.5 ? 2 : fraction < 7.5 ? 5 : 10;
  if (mantissa == 10) {
    mantissa = 1;
    ++exponent;
  }
  const RoundNumber step{mantissa, exponent};
  const double size = step.value();
  // Whole steps within the range, a hair's tolerance at either end.
  const double first = std::ceil(min / size - 1e-9) + 0.0;
  const double last = std::floor(max / size + 1e-9) + 0.0;
  const Unit unit = unit_for(std::max(std::fabs(first), std::fabs(last)) * size);
  ticks.unit = unit.name;
  for (double n = first; n <= last; ++n) {
    ticks.heights.push_back(std::clamp(n * size, min, max));
    ticks.labels.push_back(round_label(n * mantissa, exponent, unit.exponent));
  }
  return ticks;
}

ScaleBar scale_bar(double metres_per_pixel, std::uint32_t map_pixels) {
  const double limit = 0.3 * map_pixels * metres_per_pixel;
  if (!(metres_per_pixel > 0) || !std::isfinite(limit) || !(limit >= metres_per_pixel)) return {0, {}};
  int exponent = static_cast<int>(std::floor(std::log10(limit)));
  const double fraction = limit / power_of_ten(exponent);
  // The fraction is at least 1 (up to rounding at an exact power of ten).
  const int mantissa = fraction >= 5 ? 5 : fraction >= 2 ? 2 : 1;
  if (fraction < 1) --exponent;
  const RoundNumber length{mantissa, exponent};
  const auto pixels = static_cast<std::uint32_t>(std::lround(length.value() / metres_per_pixel));
  if (pixels == 0) return {0, {}};
  const Unit unit = length.value() < 1e-3 ? Unit{"µm", -6} : Unit{"mm", -3};
  return {pixels, round_label(mantissa, exponent, unit.exponent) + " " + unit.name};
}

std::string figure_title(std::string_view source, std::int32_t columns, std::int32_t rows,
                         const HeightParameters* parameters, bool levelled) {
  // The name escaped as on the terminal, and then any byte that is not
  // well-formed UTF-8 as \xNN, since the text renderer takes UTF-8 only.
  std::string escaped;
  append_escaped(&escaped, source);
  std::string title;
  for (std::size_t i = 0; i < escaped.size();) {
    const std::size_t length = utf8_sequence_length(std::string_view(escaped).substr(i));
    if (length == 0) {
      append_format(&title, "\\x%02X", static_cast<unsigned char>(escaped[i]));
      ++i;
    } else {
      title.append(escaped, i, length);
      i += length;
    }
  }
  append_format(&title, "   %d × %d points", static_cast<int>(columns), static_cast<int>(rows));
  const char* form = nullptr;
  if (parameters != nullptr) {
    form = parameters->level == HEIGHT_LEVEL_PLANE ? "least-squares plane" : "mean height";
    if (std::isfinite(parameters->sa) && std::isfinite(parameters->sq)) {
      append_format(&title, "\nSa %.4f nm   Sq %.4f nm (%s removed)", parameters->sa, parameters->sq, form);
    } else {
      title += "\nSa n/a   Sq n/a";
    }
  }
  title += parameters != nullptr ? "   " : "\n";
  if (levelled && form != nullptr) {
    append_format(&title, "map less the %s", form);
  } else {
    title += "map as measured";
  }
  return title;
}

bool colour_range_valid(double min, double max) {
  constexpr double LIMIT = 1e12;  // a kilometre in nanometres
  return std::isfinite(min) && std::isfinite(max) && std::fabs(min) <= LIMIT && std::fabs(max) <= LIMIT &&
         min < max;
}
