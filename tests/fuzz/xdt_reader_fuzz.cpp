// Fuzz target: the XDT reader on arbitrary bytes, in host order and swapped.
// Every outcome is checked against what the bytes say.
#include <mapconv/errors.h>
#include <mapconv/memory_hooks.h>
#include <mapconv/xdt_reader.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>

#include "fuzz_support.h"

namespace {

constexpr std::size_t RECORD_SIZE = 12;

std::uint32_t load(std::span<const std::uint8_t> bytes, std::size_t offset, std::size_t width, bool swap) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < width; ++i) {
    const std::size_t from = swap ? offset + width - 1 - i : offset + i;
    value |= static_cast<std::uint32_t>(bytes[from]) << (8 * i);
  }
  return value;
}

void check_success(std::span<const std::uint8_t> bytes, bool swap, std::int32_t columns, std::int32_t rows,
                   const float* heights, float resolution) {
  fuzz::check(bytes.size() >= 4, "success on a file without counts");
  fuzz::check(columns == static_cast<std::int32_t>(load(bytes, 0, 2, swap)), "column count");
  fuzz::check(rows == static_cast<std::int32_t>(load(bytes, 2, 2, swap)), "row count");
  fuzz::check(columns >= 2 && columns <= 32767 && rows >= 2 && rows <= 32767, "count out of range accepted");
  const std::size_t total = static_cast<std::size_t>(columns) * static_cast<std::size_t>(rows);
  fuzz::check(bytes.size() >= 4 + total * RECORD_SIZE, "success on a short file");
  fuzz::check(heights != nullptr, "no heights");
  fuzz::check(std::isfinite(resolution), "resolution not finite");
  for (std::size_t i = 0; i < total; ++i) {
    const float z = std::bit_cast<float>(load(bytes, 4 + i * RECORD_SIZE + 8, 4, swap));
    const float expected = z <= -1.0f ? -1.0f : z;
    fuzz::check(std::bit_cast<std::uint32_t>(heights[i]) == std::bit_cast<std::uint32_t>(expected),
                "height differs from the file");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quiet_stderr("xdt_reader_fuzz");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::count_input();
  const std::span<const std::uint8_t> bytes(data, size);
  const char* path = fuzz::memory_file(bytes);
  for (const bool swap : {false, true}) {
    std::int32_t columns = -1;
    std::int32_t rows = -1;
    float* heights = nullptr;
    float resolution = -1.0f;
    const ErrorCode code = read_xdt_file(path, &columns, &rows, &heights, &resolution, swap);
    if (code == NO_ERROR) {
      check_success(bytes, swap, columns, rows, heights, resolution);
      memory_hooks.release(heights);
      continue;
    }
    fuzz::check(code == ERR_PREMATURE_EOF || code == ERR_PARAM_OUT_OF_RANGE, "unexpected code");
    fuzz::check(columns == 0 && rows == 0 && heights == nullptr && resolution == 0.0f,
                "out-parameters not reset after a failure");
    fuzz::check(
        code != ERR_PREMATURE_EOF || bytes.size() < 4 ||
            bytes.size() < 4 + std::size_t{load(bytes, 0, 2, swap)} * load(bytes, 2, 2, swap) * RECORD_SIZE,
        "premature end reported on a whole file");
  }
  return 0;
}
