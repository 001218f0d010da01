// Writes a data file from a height map the program computes itself, one row
// at a time, through a conversion session: the file appears complete under
// its name at the commit, or not at all.
#include <mapconv/conversion.h>
#include <mapconv/errors.h>
#include <mapconv/output_file.h>

#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
  const char* path = argc > 1 ? argv[1] : "heights.dat";
  constexpr std::int16_t columns = 64;
  constexpr std::int16_t rows = 48;
  constexpr float spacing = 1e-5f;  // metres between points

  // The session writes the header of a converted file: the fixed
  // interferometer settings, the grid and the lateral resolution.
  ConversionSession session;
  ErrorCode code = conversion_session_open(path, OUTPUT_REPLACE, columns, rows, spacing, &session);
  if (code != NO_ERROR) {
    std::fprintf(stderr, "%s: cannot start the file: %s\n", path, u_error_string(code));
    return 1;
  }

  std::vector<float> heights(columns);
  for (int row = 0; row < rows && code == NO_ERROR; ++row) {
    for (int column = 0; column < columns; ++column) {
      const float x = static_cast<float>(column - columns / 2) * spacing;
      const float y = static_cast<float>(row - rows / 2) * spacing;
      // A paraboloid rising 100 nm over 32 points from the centre; -1.0 (or
      // less) marks a point without data.
      heights[column] = column == row ? -1.0f : 1e-7f * (x * x + y * y) / (32 * 32 * spacing * spacing);
    }
    code = conversion_session_write(&session, heights.data(), heights.size());
  }
  if (code == NO_ERROR) {
    code = conversion_session_commit(&session);
  } else {
    conversion_session_discard(&session);
  }
  if (code != NO_ERROR) {
    std::fprintf(stderr, "%s: not written: %s\n", path, u_error_string(code));
    return 1;
  }
  std::printf("%s: %d x %d points, %zu heights beyond the phase range\n", path, columns, rows,
              session.unrepresentable);
  return 0;
}
