// Reads a whole XDT grid into memory and prints its size, its points with
// data, the range of their heights and the lateral resolution.
#include <mapconv/errors.h>
#include <mapconv/memory_hooks.h>
#include <mapconv/xdt_reader.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  const char* path = argc > 1 ? argv[1] : "surface.xdt";
  std::int32_t columns = 0;
  std::int32_t rows = 0;
  float* heights = nullptr;  // handed to us: given back through memory_hooks.release
  float lateral_resolution = 0.0f;
  // false: the file is little-endian, as XDT files are; true reads one whose
  // every number is byte-reversed.
  const ErrorCode code = read_xdt_file(path, &columns, &rows, &heights, &lateral_resolution, false);
  const int reason = errno;  // before any other call can change it
  if (code != NO_ERROR) {
    // The reader has explained the problem through u_print already.
    std::fprintf(stderr, "%s: %s", path, u_error_string(code));
    if (code == ERR_CANT_OPEN_FILE || code == ERR_CANT_READ_FILE) std::fprintf(stderr, " (%s)", std::strerror(reason));
    std::fprintf(stderr, "\n");
    return 1;
  }

  std::int64_t with_data = 0;
  float lowest = 0.0f;
  float highest = 0.0f;
  const std::int64_t points = static_cast<std::int64_t>(columns) * rows;
  for (std::int64_t i = 0; i < points; ++i) {
    const float z = heights[i];  // row by row; -1.0 marks a point without data
    if (z <= -1.0f) continue;
    if (with_data == 0 || z < lowest) lowest = z;
    if (with_data == 0 || z > highest) highest = z;
    ++with_data;
  }
  memory_hooks.release(heights);

  std::printf("%s: %d x %d points, %lld with data\n", path, columns, rows, static_cast<long long>(with_data));
  if (with_data > 0) std::printf("  heights from %.4f nm to %.4f nm\n", lowest * 1e9, highest * 1e9);
  std::printf("  lateral resolution %g m\n", lateral_resolution);
  return 0;
}
