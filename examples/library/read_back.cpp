// Reads a data file and prints its grid and a few heights in nanometres,
// worked out with the file's own settings.
#include <mapconv/conversion.h>
#include <mapconv/data_file_reader.h>
#include <mapconv/errors.h>

#include <cstdio>

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
  // 32768 counts stand for wavelength x scale factor of height.
  const double metres_per_count = metres_per_phase_count(&contents.header);
  for (int column = 0; column < 4 && phase.data != nullptr; ++column) {
    const std::int32_t count = phase.data[column];
    if (count == PHASE_INVALID) {
      std::printf("  point %d: no data\n", column);
    } else {
      std::printf("  point %d: %.4f nm\n", column, count * metres_per_count * 1e9);
    }
  }
  data_file_contents_release(&contents);
  return 0;
}
