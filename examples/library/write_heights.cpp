// Writes a data file from a height map the program computes itself, one row
// at a time, through the streaming writer: the file appears complete under
// its name at the commit, or not at all.
#include <mapconv/conversion.h>
#include <mapconv/data_file_writer.h>
#include <mapconv/errors.h>

#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
  const char* path = argc > 1 ? argv[1] : "heights.dat";
  constexpr std::int16_t columns = 64;
  constexpr std::int16_t rows = 48;
  constexpr float spacing = 1e-5f;  // metres between points

  // The header of a converted file: the fixed interferometer settings, the
  // grid and the lateral resolution.
  DataFileHeader header;
  build_header(columns, rows, spacing, &header);
  const double counts_per_metre = phase_counts_per_metre(&header);

  PhaseMap geometry;
  phase_map_clear(&geometry);
  geometry.width = columns;
  geometry.height = rows;
  DataFileStream stream;
  ErrorCode code = data_file_stream_begin(path, OUTPUT_REPLACE, choose_header_format(&header), nullptr,
                                          &geometry, &stream);
  if (code != NO_ERROR) {
    std::fprintf(stderr, "%s: cannot start the file: %s\n", path, u_error_string(code));
    return 1;
  }

  std::vector<float> heights(columns);
  std::vector<std::int32_t> counts(columns);
  std::size_t unrepresentable = 0;
  for (int row = 0; row < rows && code == NO_ERROR; ++row) {
    for (int column = 0; column < columns; ++column) {
      const float x = static_cast<float>(column - columns / 2) * spacing;
      const float y = static_cast<float>(row - rows / 2) * spacing;
      // A paraboloid rising 100 nm over 32 points from the centre; -1.0 (or
      // less) marks a point without data.
      heights[column] = column == row ? -1.0f : 1e-7f * (x * x + y * y) / (32 * 32 * spacing * spacing);
    }
    unrepresentable += convert_heights(heights, counts_per_metre, counts);
    code = data_file_stream_write_phase(&stream, counts.data(), counts.size());
  }
  // The header may come last: here it is known from the start, but a reader
  // of another format may learn the lateral resolution only at the end.
  if (code == NO_ERROR) code = data_file_stream_write_header(&stream, nullptr, &header);
  if (code == NO_ERROR) {
    code = data_file_stream_commit(&stream);
  } else {
    data_file_stream_discard(&stream);
  }
  if (code != NO_ERROR) {
    std::fprintf(stderr, "%s: not written: %s\n", path, u_error_string(code));
    return 1;
  }
  std::printf("%s: %d x %d points, %zu heights beyond the phase range\n", path, columns, rows,
              unrepresentable);
  return 0;
}
