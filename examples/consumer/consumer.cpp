// A program outside the tree that uses the installed library: it reads an
// XDT grid, converts its heights itself and writes the data file, which must
// be byte for byte the file mapconv writes for the same grid.
#include <mapconv/conversion.h>
#include <mapconv/data_file_writer.h>
#include <mapconv/errors.h>
#include <mapconv/memory_hooks.h>
#include <mapconv/version.h>
#include <mapconv/xdt_reader.h>

#include <cstdio>
#include <span>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: consumer input.xdt output.dat (mapconv library %s)\n", MAPCONV_VERSION);
    return 2;
  }
  std::int32_t columns = 0;
  std::int32_t rows = 0;
  float* heights = nullptr;
  float resolution = 0.0f;
  ErrorCode code = read_xdt_file(argv[1], &columns, &rows, &heights, &resolution, false);
  if (code != NO_ERROR) {
    std::fprintf(stderr, "%s: %s\n", argv[1], u_error_string(code));
    return 1;
  }
  DataFileHeader header;
  build_header(columns, rows, resolution, &header);
  PhaseMap map;
  phase_map_clear(&map);
  std::size_t unrepresentable = 0;
  code = build_phase_map(columns, rows, heights, phase_counts_per_metre(&header), &map, &unrepresentable);
  memory_hooks.release(heights);
  if (code == NO_ERROR)
    code = write_data_file_atomic(argv[2], OUTPUT_REPLACE, nullptr, &header, nullptr, &map);
  phase_map_release(&map);
  if (code != NO_ERROR) {
    std::fprintf(stderr, "%s: %s\n", argv[2], u_error_string(code));
    return 1;
  }
  std::printf("%s: %d x %d points (%zu beyond the phase range), library %s\n", argv[2], columns, rows,
              unrepresentable, MAPCONV_VERSION);
  return 0;
}
