#include "programs/mapinfo/height_picture.h"

#include <mapconv/map_records.h>
#include <mapconv/output_file.h>
#include <mapconv/path.h>
#include <png.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "programs/mapinfo/colour_map.h"
#ifndef MAPINFO_LEGEND
#define MAPINFO_LEGEND 0
#endif
#if MAPINFO_LEGEND
#include "programs/mapinfo/picture_legend.h"
#else
class FigureCanvas {};  // never made without the legend
#endif

namespace {

// Chosen by measurement (docs/performance.md, "Pictures"): zlib's fastest
// level, and no filter, which costs nothing and leaves the repeats of a
// 256-colour picture for zlib to find (smaller files than any filter here).
constexpr int ZLIB_LEVEL = 1;
constexpr int ROW_FILTERS = PNG_FILTER_NONE;
// libpng's output gathered into large writes, and its zlib output buffer
// (one IDAT chunk each), so that a picture needs few system calls.
constexpr std::size_t WRITE_BUFFER_SIZE = std::size_t{1} << 20;
constexpr std::size_t IDAT_SIZE = std::size_t{256} << 10;

// Where libpng's bytes go. Plain data only: libpng leaves its callbacks by
// longjmp, which runs no destructor.
struct Sink {
  OutputFile* file;
  unsigned char* buffer;
  std::size_t used;
  int system_error;   // errno of a failed write
  bool interrupted;   // the request's check said stop
  char message[256];  // libpng's own complaint
};

bool drain(Sink* sink) {
  if (sink->used == 0) return true;
  if (output_file_write(sink->file, sink->buffer, sink->used) != NO_ERROR) {
    sink->system_error = errno != 0 ? errno : EIO;
    return false;
  }
  sink->used = 0;
  return true;
}

void on_png_write(png_structp png, png_bytep data, png_size_t length) {
  auto* sink = static_cast<Sink*>(png_get_io_ptr(png));
  while (length > 0) {
    if (sink->used == WRITE_BUFFER_SIZE && !drain(sink)) png_error(png, "write failed");
    const std::size_t room = WRITE_BUFFER_SIZE - sink->used;
    const std::size_t part = length < room ? length : room;
    std::memcpy(sink->buffer + sink->used, data, part);
    sink->used += part;
    data += part;
    length -= part;
  }
}

// Everything is written out once, after the last chunk.
void on_png_flush(png_structp) {}

[[noreturn]] void on_png_error(png_structp png, png_const_charp message) {
  auto* sink = static_cast<Sink*>(png_get_error_ptr(png));
  if (sink != nullptr && message != nullptr)
    std::snprintf(sink->message, sizeof sink->message, "%s", message);
  png_longjmp(png, 1);
}

void on_png_warning(png_structp, png_const_charp) {}

// Owns the write and info structures.
class PngWriter {
 public:
  explicit PngWriter(Sink* sink)
      : png_(png_create_write_struct(PNG_LIBPNG_VER_STRING, sink, on_png_error, on_png_warning)) {
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

// The first of the count source items that picture item i of size covers,
// and the end of them: a block when the map is reduced, a single item
// repeated when it is enlarged.
struct Span {
  std::int32_t first;
  std::int32_t end;
};

Span span_of(std::uint32_t i, std::int32_t count, std::uint32_t size) {
  const auto scaled = [&](std::uint64_t at) {
    return static_cast<std::int32_t>(at * static_cast<std::uint64_t>(count) / size);
  };
  const std::int32_t first = scaled(i);
  const std::int32_t end = scaled(i + std::uint64_t{1});
  return {first, end > first ? end : first + 1};
}

// How the points are read: data-file counts whose heights are all finite
// (summed exactly as integers), XDT heights in metres, or anything else
// through height_at.
enum class Source { counts, xdt, other };

// Draws the picture's rows, top to bottom, from the blocks of points they
// cover. Holds one row of block sums and one row of pixels.
class RowPainter {
 public:
  RowPainter(const HeightGrid& grid, const HeightStatistics& heights, PictureSize size)
      : grid_(grid),
        heights_(heights),
        size_(size),
        columns_(size.width),
        pixels_(size.width * std::size_t{3}) {
    if (grid.phase_counts != nullptr) {
      source_ = grid.form == nullptr && std::isfinite(grid.nanometres_per_count * 2147483648.0)
                    ? Source::counts
                    : Source::other;
    } else {
      source_ = grid.form == nullptr && grid.xdt_heights != nullptr ? Source::xdt : Source::other;
    }
    for (std::uint32_t x = 0; x < size.width; ++x) columns_[x] = span_of(x, grid.columns, size.width);
    if (source_ == Source::counts) {
      count_sums_.resize(size.width);
    } else {
      height_sums_.resize(size.width);
    }
    valid_.resize(size.width);
  }

  // The pixels of row y; rows are asked for in order.
  const png_byte* row(std::uint32_t y) {
    const Span rows = span_of(y, grid_.rows, size_.height);
    // An enlarged map repeats the row it drew last.
    if (rows.first == drawn_.first && rows.end == drawn_.end) return pixels_.data();
    drawn_ = rows;
    std::fill(valid_.begin(), valid_.end(), 0u);
    std::fill(count_sums_.begin(), count_sums_.end(), 0);
    std::fill(height_sums_.begin(), height_sums_.end(), 0.0);
    for (std::int32_t r = rows.first; r < rows.end; ++r) add_row(static_cast<std::size_t>(r));
    png_byte* pixel = pixels_.data();
    for (std::uint32_t x = 0; x < size_.width; ++x, pixel += 3) {
      const Rgb colour =
          valid_[x] == 0 ? NO_DATA_COLOUR : colour_for_height(mean(x), heights_.min, heights_.max);
      pixel[0] = colour.red;
      pixel[1] = colour.green;
      pixel[2] = colour.blue;
    }
    return pixels_.data();
  }

 private:
  void add_row(std::size_t r) {
    const std::size_t first = r * static_cast<std::size_t>(grid_.columns);
    switch (source_) {
      case Source::counts: {
        const std::int32_t* line = grid_.phase_counts + first;
        for (std::uint32_t x = 0; x < size_.width; ++x) {
          std::int64_t sum = 0;
          std::uint32_t valid = 0;
          for (std::int32_t c = columns_[x].first; c < columns_[x].end; ++c) {
            const bool ok = line[c] != PHASE_INVALID;
            sum += ok ? line[c] : 0;
            valid += ok;
          }
          count_sums_[x] += sum;
          valid_[x] += valid;
        }
        break;
      }
      case Source::xdt: {
        const float* line = grid_.xdt_heights + first;
        for (std::uint32_t x = 0; x < size_.width; ++x) {
          double sum = 0.0;
          std::uint32_t valid = 0;
          for (std::int32_t c = columns_[x].first; c < columns_[x].end; ++c) {
            // Above the no-data mark and finite (a NaN fails both tests).
            const bool ok = line[c] > -1.0f && line[c] < HUGE_VALF;
            sum += ok ? static_cast<double>(line[c]) : 0.0;
            valid += ok;
          }
          height_sums_[x] += sum;
          valid_[x] += valid;
        }
        break;
      }
      case Source::other:
        for (std::uint32_t x = 0; x < size_.width; ++x) {
          for (std::int32_t c = columns_[x].first; c < columns_[x].end; ++c) {
            double height = 0.0;
            if (height_at(grid_, first + static_cast<std::size_t>(c), &height) != PointKind::valid) continue;
            height_sums_[x] += height;
            ++valid_[x];
          }
        }
        break;
    }
  }

  // The mean height of block x in nanometres; for a single point exactly
  // what height_at gives.
  double mean(std::uint32_t x) const {
    const double valid = static_cast<double>(valid_[x]);
    switch (source_) {
      case Source::counts:
        return static_cast<double>(count_sums_[x]) / valid * grid_.nanometres_per_count;
      case Source::xdt:
        return height_sums_[x] / valid * 1e9;
      case Source::other:
        break;
    }
    return height_sums_[x] / valid;
  }

  const HeightGrid& grid_;
  const HeightStatistics& heights_;
  PictureSize size_;
  Source source_ = Source::other;
  std::vector<Span> columns_;  // the map columns of each picture column
  std::vector<std::int64_t> count_sums_;
  std::vector<double> height_sums_;
  std::vector<std::uint32_t> valid_;  // at most 32767 x 32767 points a block
  std::vector<png_byte> pixels_;
  Span drawn_{-1, -1};
};

// Pango's default font map is the process's, and FigureCanvas::create gives
// it back after each figure: one figure is laid out at a time (the Python
// module draws from any thread).
std::mutex layout_lock;

// The picture's rows: the map's, or the figure's around them.
class PictureRows {
 public:
  // The rows of the picture of grid that request asks for, coloured over
  // range (both outlive the rows). Null when memory ran out.
  static std::unique_ptr<PictureRows> create(const PictureRequest& request, const HeightGrid& grid,
                                             const HeightStatistics& range) {
    const PictureSize map = picture_size(grid.columns, grid.rows, request.longer_side);
    // An output may be open: running out of memory is a result, not a throw.
    try {
      std::unique_ptr<PictureRows> rows(new PictureRows(request, grid, range, map));
#if MAPINFO_LEGEND
      if (request.title != nullptr) {
        const double metres_per_pixel = request.lateral_resolution * grid.columns / map.width;
        const std::lock_guard<std::mutex> locked(layout_lock);
        rows->figure_ = FigureCanvas::create(*request.title, map, range, metres_per_pixel);
        if (rows->figure_ == nullptr) return nullptr;
      }
#endif
      return rows;
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
  }

  PictureSize size() const {
#if MAPINFO_LEGEND
    if (figure_ != nullptr) return figure_->size();
#endif
    return map_;
  }

  const png_byte* row(std::uint32_t y) {
#if MAPINFO_LEGEND
    if (figure_ != nullptr) {
      const std::int64_t map_row = figure_->map_row(y);
      return figure_->row(y, map_row >= 0 ? painter_.row(static_cast<std::uint32_t>(map_row)) : nullptr);
    }
#endif
    return painter_.row(y);
  }

  // Whether the request's check says stop.
  bool stop() const {
    return interrupt_ != nullptr && interrupt_->stop != nullptr && interrupt_->stop(interrupt_->context, false);
  }

 private:
  PictureRows(const PictureRequest& request, const HeightGrid& grid, const HeightStatistics& range,
              PictureSize map)
      : painter_(grid, range, map), map_(map), interrupt_(request.interrupt) {}

  RowPainter painter_;
  PictureSize map_;
  const InterruptCheck* interrupt_;
  std::unique_ptr<FigureCanvas> figure_;  // null: the bare map
};

// The tEXt chunks, as plain arrays (they live through the longjmp).
struct PictureText {
  char minimum[32];
  char maximum[32];
  png_text entries[6];
  int count;
};

void describe(const HeightStatistics& heights, const char* source, PictureText* text) {
  static char key_minimum[] = "Height minimum", key_maximum[] = "Height maximum", key_unit[] = "Height unit",
              key_scale[] = "Colour scale", key_blank[] = "No data", key_source[] = "Source";
  static char unit[] = "nm";
  static char scale[] =
      "dark violet (48,18,72) is the height minimum, yellow (246,230,40) the height maximum, "
      "through blue, teal and green; each pixel shows the mean of the valid heights it covers";
  static char blank[] = "grey (128,128,128): no valid height in the pixel's block";
  text->count = 0;
  const auto add = [&](char* key, const char* value) {
    png_text& entry = text->entries[text->count++];
    entry = png_text{};
    entry.compression = PNG_TEXT_COMPRESSION_NONE;
    entry.key = key;
    entry.text = const_cast<char*>(value);  // libpng only reads it
    entry.text_length = std::strlen(value);
  };
  // A map without valid heights has no range; its picture is all grey.
  if (heights.valid > 0) {
    std::snprintf(text->minimum, sizeof text->minimum, "%.10g", heights.min);
    std::snprintf(text->maximum, sizeof text->maximum, "%.10g", heights.max);
    add(key_minimum, text->minimum);
    add(key_maximum, text->maximum);
  }
  add(key_unit, unit);
  add(key_scale, scale);
  add(key_blank, blank);
  add(key_source, source);
}

// Everything that may end in a longjmp from libpng. Only trivially
// destructible objects live here, so the jump skips no destructor.
// The check is not asked when interruptible is false.
bool encode(const PngWriter& writer, Sink* sink, PictureSize size, PictureText* text, PictureRows* rows,
            bool interruptible) {
  png_structp png = writer.png();
  png_infop info = writer.info();
  if (setjmp(png_jmpbuf(png)) != 0) return false;
  png_set_write_fn(png, sink, on_png_write, on_png_flush);
  png_set_compression_level(png, ZLIB_LEVEL);
  png_set_filter(png, PNG_FILTER_TYPE_BASE, ROW_FILTERS);
  png_set_compression_buffer_size(png, IDAT_SIZE);
  png_set_IHDR(png, info, size.width, size.height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_set_text(png, info, text->entries, text->count);
  png_write_info(png, info);
  for (std::uint32_t y = 0; y < size.height; ++y) {
    if (interruptible && rows->stop()) {
      sink->interrupted = true;
      png_error(png, "interrupted");
    }
    png_write_row(png, rows->row(y));
  }
  png_write_end(png, info);
  if (!drain(sink)) png_error(png, "write failed");
  return true;
}

}  // namespace

bool picture_legend_available() { return MAPINFO_LEGEND != 0; }

PictureSize picture_size(std::int32_t columns, std::int32_t rows, std::uint32_t longer_side) {
  const std::uint64_t longer = static_cast<std::uint64_t>(columns > rows ? columns : rows);
  if (longer == 0) return {0, 0};
  const std::uint64_t side =
      longer_side != 0 ? longer_side : (longer < DEFAULT_PICTURE_SIDE ? longer : DEFAULT_PICTURE_SIDE);
  const auto scaled = [&](std::int32_t count) {
    const std::uint64_t pixels = (static_cast<std::uint64_t>(count) * side + longer / 2) / longer;
    return static_cast<std::uint32_t>(pixels > 0 ? pixels : 1);
  };
  return {scaled(columns), scaled(rows)};
}

ErrorCode write_height_picture(const PictureRequest& request, const HeightGrid& grid,
                               const HeightStatistics& heights, PictureFailure* failure) {
  *failure = PictureFailure{};
  const auto fail = [&](ErrorCode code, int error) {
    failure->code = code;
    failure->system_error = error;
    return code;
  };
  std::vector<unsigned char> buffer(WRITE_BUFFER_SIZE);
  PictureText text{};
  describe(heights, request.source, &text);

  OutputFile file;
  output_file_clear(&file);
  const ErrorCode opened =
      output_file_open_apart(request.path, request.replace ? OUTPUT_REPLACE : 0u, request.input, &file);
  failure->name_taken = file.name_taken;
  failure->dangling_link = file.dangling_link;
  failure->is_input = file.is_input;
  if (opened != NO_ERROR) return fail(opened, errno);

  // The legend is laid out once the picture can be written at all.
  const std::unique_ptr<PictureRows> rows = PictureRows::create(request, grid, heights);
  if (rows == nullptr) {
    output_file_discard(&file);
    return fail(ERR_NO_MEM, 0);
  }

  Sink sink{&file, buffer.data(), 0, 0, false, {}};
  ErrorCode result = NO_ERROR;
  {
    const PngWriter writer(&sink);
    if (!writer.ok()) {
      result = ERR_NO_MEM;
    } else if (!encode(writer, &sink, rows->size(), &text, rows.get(), !file.in_place)) {
      result = sink.interrupted ? ERR_INTERRUPTED : ERR_CANT_WRITE_FILE;
    }
  }
  if (result != NO_ERROR) {
    output_file_discard(&file);
    if (sink.system_error == 0 && !sink.interrupted) failure->detail = sink.message;
    return fail(result, sink.system_error);
  }
  result = output_file_commit(&file);
  failure->name_taken = file.name_taken;
  return result == NO_ERROR ? NO_ERROR : fail(result, errno);
}

namespace {

// The grid and the colour range a picture is drawn from: levelled when
// levelled is set, over the request's range when it gives one.
void drawn_map(const PictureRequest& request, const HeightGrid& grid, const HeightStatistics& heights,
               const HeightParameters* levelled, HeightGrid* drawn, HeightStatistics* range) {
  *drawn = grid;
  *range = heights;
  if (levelled != nullptr) {
    drawn->form = levelled;
    range->valid = levelled->points;
    range->min = -levelled->sv;
    range->max = levelled->sp;
  }
  if (request.range != nullptr) {
    range->min = request.range[0];
    range->max = request.range[1];
  }
}

}  // namespace

ErrorCode write_map_picture(const PictureRequest& request, const HeightGrid& grid,
                            const HeightStatistics& heights, const HeightParameters* levelled,
                            PictureFailure* failure) {
  struct stat status {};
  if (u_stat_path(request.path, &status) == 0 && (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode))) {
    *failure = PictureFailure{};
    failure->code = ERR_CANT_CREATE_FILE;
    failure->not_a_file = true;
    return ERR_CANT_CREATE_FILE;
  }
  HeightGrid drawn{};
  HeightStatistics range{};
  drawn_map(request, grid, heights, levelled, &drawn, &range);
  return write_height_picture(request, drawn, range, failure);
}

ErrorCode draw_map_pixels(const PictureRequest& request, const HeightGrid& grid, const HeightStatistics& heights,
                          const HeightParameters* levelled, PictureSize* size,
                          std::unique_ptr<unsigned char[]>* pixels) {
  HeightGrid drawn{};
  HeightStatistics range{};
  drawn_map(request, grid, heights, levelled, &drawn, &range);
  const std::unique_ptr<PictureRows> rows = PictureRows::create(request, drawn, range);
  if (rows == nullptr) return ERR_NO_MEM;
  const PictureSize drawn_size = rows->size();
  const std::size_t line = std::size_t{drawn_size.width} * 3;
  std::unique_ptr<unsigned char[]> out(new (std::nothrow) unsigned char[line * drawn_size.height]);
  if (out == nullptr) return ERR_NO_MEM;
  for (std::uint32_t y = 0; y < drawn_size.height; ++y) {
    if (rows->stop()) return ERR_INTERRUPTED;
    std::memcpy(out.get() + line * y, rows->row(y), line);
  }
  *size = drawn_size;
  *pixels = std::move(out);
  return NO_ERROR;
}

namespace {

// Why a picture was not written, in words for the message, and the code it
// names (*named): NO_ERROR for a refusal.
std::string picture_failure_reason(ErrorCode code, const PictureFailure& failure, ErrorCode* named) {
  *named = NO_ERROR;
  if (failure.not_a_file) {
    *named = code;
    return "is a FIFO or socket; a picture goes to a file or a device";
  }
  if (failure.is_input) return "is the input file; a picture never replaces its input";
  if (failure.name_taken) return "already exists (use -f to replace it)";
  *named = code;
  std::string reason = code == ERR_CANT_CREATE_FILE ? "cannot create the picture"
                       : code == ERR_NO_MEM         ? "not enough memory for the picture"
                                                    : "cannot write the picture";
  if (failure.dangling_link) {
    reason += ": the symbolic link points nowhere";
  } else if (failure.system_error != 0) {
    reason += std::string(": ") + std::strerror(failure.system_error);
  } else if (!failure.detail.empty()) {
    reason += ": " + failure.detail;
  }
  return reason;
}

}  // namespace

bool draw_height_picture(const PictureRequest& request, const HeightGrid& grid,
                         const HeightStatistics& heights, const HeightParameters* levelled,
                         Failure* failure) {
  if (grid.columns == 0 || grid.rows == 0) {
    *failure = {ERR_INVALID_PARAM, "no phase map to draw"};
    return false;
  }
  PictureFailure problem{};
  const ErrorCode code = write_map_picture(request, grid, heights, levelled, &problem);
  if (code == NO_ERROR) return true;
  ErrorCode named = NO_ERROR;
  std::string reason = picture_failure_reason(code, problem, &named);
  *failure = {named, std::move(reason), request.path};
  return false;
}
