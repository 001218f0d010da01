#include "tool/height_picture.h"

#include <png.h>

#include <cstdio>
#include <memory>

#include "common/memory_hooks.h"
#include "common/path.h"
#include "tool/colour_map.h"

namespace {

// Where libpng's error callback leaves its message before it jumps back.
struct PngFailure {
  std::string* reason;
};

[[noreturn]] void on_png_error(png_structp png, png_const_charp message) {
  auto* failure = static_cast<PngFailure*>(png_get_error_ptr(png));
  if (failure != nullptr && failure->reason != nullptr && message != nullptr) *failure->reason = message;
  png_longjmp(png, 1);
}

void on_png_warning(png_structp, png_const_charp) {}

// Owns the write and info structures.
class PngWriter {
 public:
  explicit PngWriter(PngFailure* failure)
      : png_(png_create_write_struct(PNG_LIBPNG_VER_STRING, failure, on_png_error, on_png_warning)) {
    if (png_ != nullptr) info_ = png_create_info_struct(png_);
  }
  ~PngWriter() { png_destroy_write_struct(&png_, info_ != nullptr ? &info_ : nullptr); }
  PngWriter(const PngWriter&) = delete;
  PngWriter& operator=(const PngWriter&) = delete;
  bool ok() const { return png_ != nullptr && info_ != nullptr; }
  png_structp png() const { return png_; }
  png_infop info() const { return info_; }

 private:
  png_structp png_ = nullptr;
  png_infop info_ = nullptr;
};

void fill_row(const HeightGrid& grid, const HeightStatistics& heights, std::int32_t row, png_bytep pixels) {
  const std::size_t first = static_cast<std::size_t>(row) * static_cast<std::size_t>(grid.columns);
  for (std::int32_t column = 0; column < grid.columns; ++column) {
    double height = 0.0;
    const Rgb colour = height_at(grid, first + static_cast<std::size_t>(column), &height) == PointKind::valid
                           ? colour_for_height(height, heights.min, heights.max)
                           : NO_DATA_COLOUR;
    *pixels++ = colour.red;
    *pixels++ = colour.green;
    *pixels++ = colour.blue;
  }
}

// Everything that may end in a longjmp from libpng. Only trivially
// destructible objects live here, so the jump skips no destructor.
bool encode(const PngWriter& writer, std::FILE* file, const HeightGrid& grid, const HeightStatistics& heights,
            png_bytep row_pixels) {
  png_structp png = writer.png();
  png_infop info = writer.info();
  if (setjmp(png_jmpbuf(png)) != 0) return false;
  png_init_io(png, file);
  png_set_IHDR(png, info, static_cast<png_uint_32>(grid.columns), static_cast<png_uint_32>(grid.rows), 8,
               PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (std::int32_t row = 0; row < grid.rows; ++row) {
    fill_row(grid, heights, row, row_pixels);
    png_write_row(png, row_pixels);
  }
  png_write_end(png, info);
  return true;
}

ErrorCode write_picture(std::FILE* file, const HeightGrid& grid, const HeightStatistics& heights,
                        std::string* reason) {
  auto row = hooked_allocate<png_byte>(static_cast<std::size_t>(grid.columns) * 3);
  if (row == nullptr) return ERR_NO_MEM;
  PngFailure failure{reason};
  const PngWriter writer(&failure);
  if (!writer.ok()) return ERR_NO_MEM;
  return encode(writer, file, grid, heights, row.get()) ? NO_ERROR : ERR_CANT_WRITE_FILE;
}

}  // namespace

ErrorCode write_height_picture(const char* path, const HeightGrid& grid, const HeightStatistics& heights,
                               std::string* reason) {
  FileHandle file(std::fopen(path, "wb"));
  if (file == nullptr) return ERR_CANT_CREATE_FILE;
  ErrorCode result = write_picture(file.get(), grid, heights, reason);
  if (std::fclose(file.release()) != 0 && result == NO_ERROR) result = ERR_CANT_WRITE_FILE;
  return result;
}
