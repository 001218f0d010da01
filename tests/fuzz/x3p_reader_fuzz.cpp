// Fuzz target: the X3P reader on arbitrary bytes, in pieces of a size the
// bytes' length picks. It must end with one of its codes, never a crash,
// and a read that succeeds hands out exactly the grid's points.
#include <mapconv/errors.h>
#include <mapconv/x3p.h>

#include <cstdint>
#include <span>
#include <vector>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::count_input();
  const char* path = fuzz::memory_file(std::span<const std::uint8_t>(data, size));
  X3pReader reader;
  ErrorCode code = x3p_reader_open(path, &reader);
  if (code == NO_ERROR) {
    fuzz::check(reader.points == reader.surface.columns * reader.surface.rows, "points");
    fuzz::check(reader.surface.x_increment > 0.0 && reader.surface.y_increment > 0.0, "increments");
    std::vector<double> piece(1 + size % 5000);
    std::uint64_t handed_out = 0;
    for (;;) {
      std::size_t count = 0;
      code = x3p_reader_read_heights(&reader, piece.data(), piece.size(), &count);
      if (code != NO_ERROR || count == 0) break;
      handed_out += count;
    }
    if (code == NO_ERROR) {
      fuzz::check(handed_out == reader.points, "points handed out");
      code = x3p_reader_finish(&reader);
    }
  }
  x3p_reader_close(&reader);
  fuzz::check(code == NO_ERROR || code == ERR_NOT_A_DATA_FILE || code == ERR_CORRUPT_DATA_FILE ||
                  code == ERR_PARAM_OUT_OF_RANGE || code == ERR_CANT_READ_FILE,
              "unexpected code");
  return 0;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quiet_stderr("x3p_reader_fuzz");
  return 0;
}
