// Computes the areal height parameters of a data file's heights after
// taking away the least-squares plane, as mapinfo reports them.
#include <mapconv/conversion.h>
#include <mapconv/data_file_reader.h>
#include <mapconv/errors.h>
#include <mapconv/height_parameters.h>

#include <cstddef>
#include <cstdio>
#include <span>
#include <vector>

int main(int argc, char** argv) {
  const char* path = argc > 1 ? argv[1] : "surface.dat";
  DataFileContents contents;
  data_file_contents_clear(&contents);
  ErrorCode code = read_data_file(path, &contents);
  if (code == NO_ERROR && contents.phase.data == nullptr) code = ERR_NOT_A_DATA_FILE;
  if (code != NO_ERROR) {
    std::fprintf(stderr, "%s: no heights: %s\n", path, u_error_string(code));
    data_file_contents_release(&contents);
    return 1;
  }

  // The heights in metres, row by row, NaN where a point has no data: what
  // compute_height_parameters takes.
  const PhaseMap& phase = contents.phase;
  const std::int32_t columns = phase.width;
  const std::int32_t rows = phase.height;
  const std::size_t points = static_cast<std::size_t>(columns) * static_cast<std::size_t>(rows);
  std::vector<double> heights(points);
  convert_phase_counts(std::span<const std::int32_t>(phase.data, points), metres_per_phase_count(&contents.header),
                       heights);
  // The spacing of the points, in metres; the plane's slopes are per metre.
  const double lateral_resolution = contents.header.lateral_resolution;
  data_file_contents_release(&contents);

  HeightParameters parameters{};
  code = compute_height_parameters(heights.data(), columns, rows, lateral_resolution, HEIGHT_LEVEL_PLANE,
                                   &parameters);
  if (code != NO_ERROR) {
    std::fprintf(stderr, "%s: %s\n", path, u_error_string(code));
    return 1;
  }
  // Heights in metres give parameters in metres; Ssk and Sku have no unit
  // and are NaN for a flat map.
  std::printf("%s: %llu points with data, plane slopes %.6g and %.6g nm/m\n", path,
              static_cast<unsigned long long>(parameters.points), parameters.slope_x * 1e9,
              parameters.slope_y * 1e9);
  std::printf("  Sa %.4f nm  Sq %.4f nm  Ssk %.4f  Sku %.4f\n", parameters.sa * 1e9, parameters.sq * 1e9,
              parameters.ssk, parameters.sku);
  std::printf("  Sp %.4f nm  Sv %.4f nm  Sz %.4f nm\n", parameters.sp * 1e9, parameters.sv * 1e9,
              parameters.sz * 1e9);
  return 0;
}
