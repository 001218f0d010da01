// Reads a data file and prints its grid and its first heights in nanometres,
// worked out with the file's own settings.
#include <mapconv/conversion.h>
#include <mapconv/data_file_reader.h>
#include <mapconv/errors.h>

#include <cmath>
#include <cstddef>
#include <cstdio>
#include <span>
#include <vector>

int main(int argc, char** argv) {
  const char* path = argc > 1 ? argv[1] : "heights.dat";
  DataFileContents contents;
  data_file_contents_clear(&contents);
  const ErrorCode code = read_data_file(path, &contents);
  if (code != NO_ERROR) {
    std::fprintf(stderr, "%s: %s\n", path, u_error_string(code));
    return 1;
  }
  const PhaseMap& phase = contents.phase;
  std::printf("%s: header format %d, %d x %d phase counts\n", path, contents.header_format, phase.width,
              phase.height);

  // 32768 counts stand for wavelength x scale factor of height, from the
  // values the header stores; PHASE_INVALID becomes NaN.
  const double metres_per_count = metres_per_phase_count(&contents.header);
  const std::size_t points = static_cast<std::size_t>(phase.width) * static_cast<std::size_t>(phase.height);
  std::vector<double> heights(points);
  if (phase.data != nullptr) {  // null when the file has no phase block
    convert_phase_counts(std::span<const std::int32_t>(phase.data, points), metres_per_count, heights);
  }
  data_file_contents_release(&contents);

  for (std::size_t i = 0; i < 4 && i < heights.size(); ++i) {
    if (std::isnan(heights[i])) {
      std::printf("  point %zu: no data\n", i);
    } else {
      std::printf("  point %zu: %.4f nm\n", i, heights[i] * 1e9);
    }
  }
  return 0;
}
