// Conversions between X3P and the data file or XDT grid, a piece at a
// time through the core's streams and the X3P reader and writer.
#include <mapconv/terminal_text.h>
#include <mapconv/conversion.h>
#include <mapconv/data_file_reader.h>
#include <mapconv/data_file_writer.h>
#include <mapconv/memory_hooks.h>
#include <mapconv/output_file.h>
#include <mapconv/path.h>
#include <mapconv/print.h>
#include <mapconv/x3p.h>
#include <mapconv/xdt_reader.h>
#include <sys/stat.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>

#include "retrying_io.h"
#include "x3p_parts.h"

namespace {

constexpr std::size_t PIECE = x3p::PIECE_POINTS;

struct Blocks {
  double* values = nullptr;
  float* heights = nullptr;
  std::int32_t* counts = nullptr;
  unsigned char* bytes = nullptr;
  bool allocate() {
    values = static_cast<double*>(memory_hooks.allocate(PIECE * sizeof(double)));
    heights = static_cast<float*>(memory_hooks.allocate(PIECE * sizeof(float)));
    counts = static_cast<std::int32_t*>(memory_hooks.allocate(PIECE * sizeof(std::int32_t)));
    bytes = static_cast<unsigned char*>(memory_hooks.allocate(PIECE * sizeof(std::int32_t)));
    return values != nullptr && heights != nullptr && counts != nullptr && bytes != nullptr;
  }
  ~Blocks() {
    memory_hooks.release(values);
    memory_hooks.release(heights);
    memory_hooks.release(counts);
    memory_hooks.release(bytes);
  }
};

void clear(X3pConversionResult* result) { std::memset(result, 0, sizeof *result); }

// The input's name for a message, escaped (one thread's at a time suffices:
// a message is printed before the next is made).
const char* shown(const char* path) {
  thread_local char name[512];
  u_escape_text(u_path_is_wide(path) ? "(wide path)" : path, name, sizeof name);
  return name;
}

// The status of the input, for refusing it as the output.
bool input_status(const char* input, struct stat* status) { return u_stat_path(input, status) == 0; }

// A stored value of the reader's as a phase count: NaN is no data; the
// callers take this only for integer data, whose values fit.
std::int32_t as_count(double value) {
  return std::isnan(value) ? PHASE_INVALID : static_cast<std::int32_t>(value);
}

// A height in metres as the XDT reader gives it: -1.0 for no data, and a
// value beyond float range as an infinity, which the conversion stores as
// no data and counts.
float as_height(double value) {
  if (std::isnan(value)) return -1.0f;
  if (std::fabs(value) > std::numeric_limits<float>::max()) {
    return value > 0 ? std::numeric_limits<float>::infinity() : -std::numeric_limits<float>::infinity();
  }
  return static_cast<float>(value);
}

// Stored counts of another increment, such as those of a data file made
// with another wavelength, are kept as they are where a wavelength gives
// exactly that increment with the header's scale factor: the header takes
// it, and the phase block comes back unchanged instead of converted again.
void keep_count_increment(double metres_per_count, DataFileHeader* header) {
  if (metres_per_count == metres_per_phase_count(header)) return;
  const double wavelength = metres_per_count * 32768.0 / static_cast<double>(header->scale_factor);
  if (!(wavelength > 0.0) || !fits_header_float(wavelength)) return;
  DataFileHeader trial = *header;
  trial.wavelength = static_cast<float>(wavelength);
  if (metres_per_phase_count(&trial) == metres_per_count) *header = trial;
}

// Opens the X3P input of a conversion to another kind, its increments noted
// in result; on failure nothing is left open.
ErrorCode open_x3p_input(const char* input, const char* output, X3pConversionResult* result,
                         X3pReader* reader) {
  if (result == nullptr) return ERR_INVALID_PARAM;
  clear(result);
  if (input == nullptr || output == nullptr) return result->read_failure = ERR_INVALID_PARAM;
  const ErrorCode code = x3p_reader_open(input, reader);
  if (code != NO_ERROR) return result->read_failure = code;
  result->x_increment = reader->surface.x_increment;
  result->y_increment = reader->surface.y_increment;
  return NO_ERROR;
}

}  // namespace

ErrorCode convert_x3p_to_data_file(const char* input, const char* output, unsigned flags,
                                   X3pConversionResult* result,
                                   const InterruptCheck* interrupt) {
  X3pReader reader;
  ErrorCode code = open_x3p_input(input, output, result, &reader);
  if (code != NO_ERROR) return code;
  std::unique_ptr<X3pReader, void (*)(X3pReader*)> closing(&reader, x3p_reader_close);
  const X3pSurface& s = reader.surface;
  result->increments_differ = s.x_increment != s.y_increment;
  if (s.columns > 32767 || s.rows > 32767) {
    u_print("%s: its grid of %llu x %llu points is larger than a data file holds (32767 a side)\n",
            shown(input), static_cast<unsigned long long>(s.columns),
            static_cast<unsigned long long>(s.rows));
    return result->read_failure = ERR_PARAM_OUT_OF_RANGE;
  }
  if (!fits_header_float(s.x_increment)) {
    u_print("%s: its CX increment %g does not fit a data file's lateral resolution\n", shown(input),
            s.x_increment);
    return result->read_failure = ERR_PARAM_OUT_OF_RANGE;
  }
  const auto columns = static_cast<std::int16_t>(s.columns);
  const auto rows = static_cast<std::int16_t>(s.rows);
  DataFileHeader header;
  build_header(columns, rows, static_cast<float>(s.x_increment), &header);
  const bool integer = s.data_type == X3P_INT16 || s.data_type == X3P_INT32;
  if (integer && s.z_offset == 0.0) keep_count_increment(s.z_increment, &header);
  result->exact_counts = integer && s.z_offset == 0.0 && s.z_increment == metres_per_phase_count(&header);
  const double counts_per_metre = phase_counts_per_metre(&header);

  Blocks blocks;
  if (!blocks.allocate()) return result->write_failure = ERR_NO_MEM;
  struct stat status;
  const bool have_status = input_status(input, &status);
  PhaseMap geometry;
  phase_map_clear(&geometry);
  geometry.width = columns;
  geometry.height = rows;
  DataFileStream stream;
  code = data_file_stream_begin_apart(output, flags, have_status ? &status : nullptr,
                                      choose_header_format(&header), nullptr, &geometry, &stream);
  result->name_taken = stream.name_taken;
  result->same_file = stream.is_input;
  if (code != NO_ERROR) return result->write_failure = code;
  std::unique_ptr<DataFileStream, void (*)(DataFileStream*)> discarding(&stream, data_file_stream_discard);
  code = data_file_stream_write_header(&stream, nullptr, &header);
  if (code != NO_ERROR) return result->write_failure = code;
  // Stopping would leave an old file written in place cut short.
  if (stream.output.in_place) interrupt = nullptr;
  for (;;) {
    if (stop_asked(interrupt)) return result->read_failure = ERR_INTERRUPTED;
    std::size_t count = 0;
    code = result->exact_counts ? x3p_reader_read_stored(&reader, blocks.values, PIECE, &count)
                                : x3p_reader_read_heights(&reader, blocks.values, PIECE, &count);
    if (code != NO_ERROR) return result->read_failure = code;
    if (count == 0) break;
    if (result->exact_counts) {
      for (std::size_t i = 0; i < count; ++i) blocks.counts[i] = as_count(blocks.values[i]);
    } else {
      for (std::size_t i = 0; i < count; ++i) blocks.heights[i] = as_height(blocks.values[i]);
      result->unrepresentable +=
          convert_heights({blocks.heights, count}, counts_per_metre, {blocks.counts, count});
    }
    code = data_file_stream_write_phase(&stream, blocks.counts, count);
    if (code != NO_ERROR) return result->write_failure = code;
  }
  code = x3p_reader_finish(&reader);
  if (code != NO_ERROR) return result->read_failure = code;
  discarding.release();
  code = data_file_stream_commit(&stream);
  result->name_taken = stream.name_taken;
  if (code != NO_ERROR) return result->write_failure = code;
  return NO_ERROR;
}

ErrorCode convert_data_file_to_x3p(const char* input, const char* output, unsigned flags,
                                   X3pConversionResult* result,
                                   const InterruptCheck* interrupt) {
  if (result == nullptr) return ERR_INVALID_PARAM;
  clear(result);
  if (input == nullptr || output == nullptr) return result->read_failure = ERR_INVALID_PARAM;
  std::FILE* file = u_open_path(input, "rb");
  if (file == nullptr) {
    u_print("%s: cannot open: %s\n", shown(input), std::strerror(errno));
    return result->read_failure = ERR_CANT_OPEN_FILE;
  }
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> closing(file, std::fclose);
  DataFileContents contents;
  ErrorCode code = read_data_file_header(file, &contents);
  if (code != NO_ERROR) {
    u_print("%s: not a data file whose header can be read (%s)\n", shown(input), error_names[code]);
    return result->read_failure = code;
  }
  const PhaseMap& phase = contents.phase;
  if (phase.width <= 0 || phase.height <= 0) {
    u_print("%s: has no phase block, so no heights\n", shown(input));
    return result->read_failure = ERR_NO_DATA;
  }
  char reason[160];
  if (describe_height_scale_fault(&contents.header, reason, sizeof reason) != HEIGHT_SCALE_USABLE) {
    u_print("%s: %s\n", shown(input), reason);
    return result->read_failure = ERR_PARAM_OUT_OF_RANGE;
  }
  const double lateral = contents.header.lateral_resolution;
  if (!(std::isfinite(lateral) && lateral > 0.0)) {
    u_print("%s: its lateral resolution (%g) gives no spacing of the points\n", shown(input), lateral);
    return result->read_failure = ERR_PARAM_OUT_OF_RANGE;
  }
  const std::uint64_t intensity_bytes =
      2ull * static_cast<std::uint64_t>(contents.intensity.buckets > 0 ? contents.intensity.buckets : 0) *
      static_cast<std::uint64_t>(contents.intensity.width > 0 ? contents.intensity.width : 0) *
      static_cast<std::uint64_t>(contents.intensity.height > 0 ? contents.intensity.height : 0);
  if (intensity_bytes > 0 && fseeko(file, static_cast<off_t>(intensity_bytes), SEEK_CUR) != 0) {
    u_print("%s: cannot pass its intensity block: %s\n", shown(input), std::strerror(errno));
    return result->read_failure = ERR_CANT_READ_FILE;
  }
  result->x_increment = result->y_increment = lateral;
  Blocks blocks;
  if (!blocks.allocate()) return result->write_failure = ERR_NO_MEM;
  const X3pLayout layout{static_cast<std::uint64_t>(phase.width),
                         static_cast<std::uint64_t>(phase.height),
                         X3P_INT32,
                         lateral,
                         lateral,
                         metres_per_phase_count(&contents.header),
                         nullptr};
  struct stat status;
  const bool have_status = input_status(input, &status);
  X3pWriter writer;
  code = x3p_writer_begin(output, flags, have_status ? &status : nullptr, &layout, &writer);
  result->name_taken = writer.name_taken;
  result->same_file = writer.is_input;
  if (code != NO_ERROR) return result->write_failure = code;
  std::unique_ptr<X3pWriter, void (*)(X3pWriter*)> discarding(&writer, x3p_writer_discard);
  if (x3p_writer_in_place(&writer)) interrupt = nullptr;
  std::uint64_t left = layout.columns * layout.rows;
  while (left > 0) {
    if (stop_asked(interrupt)) return result->read_failure = ERR_INTERRUPTED;
    const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(left, PIECE));
    const std::size_t got = std::fread(blocks.bytes, 4, piece, file);
    if (got != piece) {
      const bool failed = std::ferror(file) != 0;
      u_print("%s: %s\n", shown(input), failed ? std::strerror(errno) : "cut short in its phase block");
      return result->read_failure = failed ? ERR_CANT_READ_FILE : ERR_PREMATURE_EOF;
    }
    for (std::size_t i = 0; i < piece; ++i) {
      const unsigned char* b = blocks.bytes + 4 * i;
      const std::uint32_t raw =
          std::uint32_t{b[0]} << 24 | std::uint32_t{b[1]} << 16 | std::uint32_t{b[2]} << 8 | b[3];
      blocks.counts[i] = static_cast<std::int32_t>(raw);
    }
    code = x3p_writer_write_counts(&writer, blocks.counts, piece);
    if (code != NO_ERROR) return result->write_failure = code;
    left -= piece;
  }
  discarding.release();
  code = x3p_writer_commit(&writer);
  result->name_taken = writer.name_taken;
  if (code != NO_ERROR) return result->write_failure = code;
  return NO_ERROR;
}

ErrorCode convert_xdt_to_x3p(const char* input, const char* output, unsigned flags,
                             X3pConversionResult* result,
                             const InterruptCheck* interrupt) {
  if (result == nullptr) return ERR_INVALID_PARAM;
  clear(result);
  if (input == nullptr || output == nullptr) return result->read_failure = ERR_INVALID_PARAM;
  XdtStream xdt;
  ErrorCode code = xdt_stream_open(input, false, &xdt);
  if (code != NO_ERROR) return result->read_failure = code;
  std::unique_ptr<XdtStream, void (*)(XdtStream*)> closing(&xdt, xdt_stream_close);
  Blocks blocks;
  if (!blocks.allocate()) return result->write_failure = ERR_NO_MEM;
  // The spacing is known at the end of the grid; main.xml is written then.
  const X3pLayout layout{static_cast<std::uint64_t>(xdt.columns),
                         static_cast<std::uint64_t>(xdt.rows),
                         X3P_FLOAT32,
                         1.0,
                         1.0,
                         0.0,
                         nullptr};
  struct stat status;
  const bool have_status = input_status(input, &status);
  X3pWriter writer;
  code = x3p_writer_begin(output, flags, have_status ? &status : nullptr, &layout, &writer);
  result->name_taken = writer.name_taken;
  result->same_file = writer.is_input;
  if (code != NO_ERROR) return result->write_failure = code;
  std::unique_ptr<X3pWriter, void (*)(X3pWriter*)> discarding(&writer, x3p_writer_discard);
  // The reader asks before each chunk, and while it waits for a pipe.
  if (!x3p_writer_in_place(&writer)) xdt.interrupt = interrupt;
  for (;;) {
    std::size_t count = 0;
    code = xdt_stream_read(&xdt, blocks.heights, PIECE, &count);
    if (code != NO_ERROR) return result->read_failure = code;
    if (count == 0) break;
    for (std::size_t i = 0; i < count; ++i) {
      // The reader's no-data mark; NaN heights of the file stay NaN.
      blocks.values[i] = blocks.heights[i] == -1.0f ? std::nan("") : static_cast<double>(blocks.heights[i]);
    }
    code = x3p_writer_write_heights(&writer, blocks.values, count);
    if (code != NO_ERROR) return result->write_failure = code;
  }
  float lateral = 0.0f;
  code = xdt_stream_finish(&xdt, &lateral);
  if (code == NO_ERROR && !(lateral > 0.0f)) {
    u_print("%s: its lateral resolution (%g) gives no spacing of the points\n", shown(input), lateral);
    code = ERR_PARAM_OUT_OF_RANGE;
  }
  if (code != NO_ERROR) return result->read_failure = code;
  result->x_increment = result->y_increment = lateral;
  code = x3p_writer_set_increments(&writer, lateral, lateral);
  if (code != NO_ERROR) return result->write_failure = code;
  discarding.release();
  code = x3p_writer_commit(&writer);
  result->name_taken = writer.name_taken;
  if (code != NO_ERROR) return result->write_failure = code;
  return NO_ERROR;
}

namespace {

// Writes to an output, on a helper thread: the first failure is kept and
// the writes after it are skipped.
struct FileWrites {
  OutputFile* output = nullptr;
  ErrorCode code = NO_ERROR;
  int reason = 0;  // errno of the failure
  void add(const void* bytes, std::size_t size) {
    if (code != NO_ERROR) return;
    code = output_file_write(output, bytes, size);
    if (code != NO_ERROR) reason = errno;
  }
};

// Little-endian XDT records collected into large writes of the output, made
// on a helper thread from one buffer while the other fills: the write's copy
// into the kernel costs as much as reading and converting.
class XdtOut {
 public:
  explicit XdtOut(OutputFile* output) {
    writer_.worker().output = output;
    buffers_[0] = static_cast<unsigned char*>(memory_hooks.allocate(CAPACITY));
    buffers_[1] = static_cast<unsigned char*>(memory_hooks.allocate(CAPACITY));
    buffer_ = buffers_[0];
  }
  ~XdtOut() {
    writer_.wait();  // no write may still be reading a buffer
    memory_hooks.release(buffers_[0]);
    memory_hooks.release(buffers_[1]);
  }
  XdtOut(const XdtOut&) = delete;
  XdtOut& operator=(const XdtOut&) = delete;
  bool ok() const { return buffers_[0] != nullptr && buffers_[1] != nullptr; }

  ErrorCode put_counts(std::uint16_t columns, std::uint16_t rows) {
    put16(columns);
    put16(rows);
    return NO_ERROR;
  }
  // One row of heights (no data as -1.0), its x values column times
  // x_step except at its last valid point, moved by the fewest units in the
  // last place that make the row give resolution back to the XDT reader,
  // whichever row it picks.
  ErrorCode put_row(const float* z, std::size_t columns, double x_step, float y, float resolution) {
    std::size_t first = columns;
    std::size_t last = 0;
    for (std::size_t c = 0; c < columns; ++c) {
      if (!(z[c] <= -1.0f)) {
        first = std::min(first, c);
        last = c;
      }
    }
    const auto x_of = [x_step](std::size_t c) { return static_cast<float>(static_cast<double>(c) * x_step); };
    float last_x = last > first ? x_of(last) : 0.0f;
    if (last > first) last_x = matching_x(first, last, x_of(first), last_x, resolution);
    // A row (at most 32767 points) fits the buffer whole.
    if (used_ + 12 * columns > CAPACITY) {
      const ErrorCode code = hand_over();
      if (code != NO_ERROR) return code;
    }
    unsigned char* bytes = buffer_ + used_;
    const std::uint32_t y_bits = std::bit_cast<std::uint32_t>(y);
    for (std::size_t c = 0; c < columns; ++c, bytes += 12) {
      const float x = c == last && last > first ? last_x : x_of(c);
      x3p::store_little(std::bit_cast<std::uint32_t>(x), bytes);
      x3p::store_little(y_bits, bytes + 4);
      x3p::store_little(std::bit_cast<std::uint32_t>(z[c]), bytes + 8);
    }
    used_ += 12 * columns;
    return NO_ERROR;
  }

  // Everything put written, or the first failure (errno set).
  ErrorCode flush() {
    const ErrorCode code = hand_over();
    if (code != NO_ERROR) return code;
    return failure();
  }

 private:
  static constexpr std::size_t CAPACITY = std::size_t{1} << 20;

  // The writes so far: the first failure (errno set), or 0.
  ErrorCode failure() {
    const FileWrites& writes = writer_.worker();
    if (writes.code != NO_ERROR) errno = writes.reason;
    return writes.code;
  }
  // The filled buffer to the writer, the other one to fill.
  ErrorCode hand_over() {
    const ErrorCode code = failure();
    if (code != NO_ERROR || used_ == 0) return code;
    writer_.add(buffer_, used_);
    buffer_ = buffer_ == buffers_[0] ? buffers_[1] : buffers_[0];
    used_ = 0;
    return NO_ERROR;
  }

  static float matching_x(std::size_t first, std::size_t last, float first_x, float last_x,
                          float resolution) {
    const auto gives = [&](float x) {
      float got = 0.0f;
      return xdt_span_resolution(static_cast<std::int32_t>(first), static_cast<std::int32_t>(last), first_x,
                                 x, &got) == NO_ERROR &&
             std::bit_cast<std::uint32_t>(got) == std::bit_cast<std::uint32_t>(resolution);
    };
    float up = last_x;
    float down = last_x;
    for (int step = 0; step < 64; ++step) {
      if (gives(up)) return up;
      if (gives(down)) return down;
      up = std::nextafter(up, std::numeric_limits<float>::infinity());
      down = std::nextafter(down, -std::numeric_limits<float>::infinity());
    }
    return last_x;  // none near: as xdtgen places it
  }

  void put16(std::uint16_t value) {
    buffer_[used_++] = static_cast<unsigned char>(value);
    buffer_[used_++] = static_cast<unsigned char>(value >> 8);
  }
  x3p::PieceThread<FileWrites> writer_;
  unsigned char* buffers_[2] = {nullptr, nullptr};
  unsigned char* buffer_ = nullptr;
  std::size_t used_ = 0;
};

}  // namespace

ErrorCode convert_x3p_to_xdt(const char* input, const char* output, unsigned flags,
                             X3pConversionResult* result,
                             const InterruptCheck* interrupt) {
  X3pReader reader;
  ErrorCode code = open_x3p_input(input, output, result, &reader);
  if (code != NO_ERROR) return code;
  std::unique_ptr<X3pReader, void (*)(X3pReader*)> closing(&reader, x3p_reader_close);
  const X3pSurface& s = reader.surface;
  if (s.columns < 2 || s.rows < 2 || s.columns > 32767 || s.rows > 32767) {
    u_print("%s: its grid of %llu x %llu points is not one an XDT file holds (2 to 32767 a side)\n",
            shown(input), static_cast<unsigned long long>(s.columns),
            static_cast<unsigned long long>(s.rows));
    return result->read_failure = ERR_PARAM_OUT_OF_RANGE;
  }
  if (!fits_header_float(s.x_increment) || !fits_header_float(s.y_increment)) {
    u_print("%s: its increments do not fit an XDT file's float coordinates\n", shown(input));
    return result->read_failure = ERR_PARAM_OUT_OF_RANGE;
  }
  Blocks blocks;
  if (!blocks.allocate()) return result->write_failure = ERR_NO_MEM;
  struct stat status;
  const bool have_status = input_status(input, &status);
  OutputFile file;
  code = output_file_open_apart(output, flags, have_status ? &status : nullptr, &file);
  result->name_taken = file.name_taken;
  result->same_file = file.is_input;
  if (code != NO_ERROR) return result->write_failure = code;
  std::unique_ptr<OutputFile, void (*)(OutputFile*)> discarding(&file, output_file_discard);
  XdtOut out(&file);
  if (!out.ok()) return result->write_failure = ERR_NO_MEM;
  out.put_counts(static_cast<std::uint16_t>(s.columns), static_cast<std::uint16_t>(s.rows));
  if (file.in_place) interrupt = nullptr;
  // As xdtgen spaces its points: column times the spacing, then to float;
  // a row at a time (at most 32767 heights), for the x of its last point.
  const auto x_step = static_cast<double>(static_cast<float>(s.x_increment));
  const auto y_step = static_cast<double>(static_cast<float>(s.y_increment));
  const auto resolution = static_cast<float>(s.x_increment);
  const auto columns = static_cast<std::size_t>(s.columns);
  float* row = static_cast<float*>(memory_hooks.allocate(columns * sizeof(float)));
  if (row == nullptr) return result->write_failure = ERR_NO_MEM;
  std::unique_ptr<float, void (*)(float*)> releasing(row, [](float* block) { memory_hooks.release(block); });
  std::uint64_t point = 0;
  std::size_t column = 0;
  std::uint64_t row_index = 0;
  for (;;) {
    if (stop_asked(interrupt)) return result->read_failure = ERR_INTERRUPTED;
    std::size_t count = 0;
    code = x3p_reader_read_heights(&reader, blocks.values, PIECE, &count);
    if (code != NO_ERROR) return result->read_failure = code;
    if (count == 0) break;
    // A row's stretch of the piece at a time, in two passes: any height
    // beyond a float, then the floats.
    for (std::size_t i = 0; i < count;) {
      const std::size_t n = std::min(count - i, columns - column);
      const double* heights = blocks.values + i;
      bool beyond = false;
      for (std::size_t k = 0; k < n; ++k) {
        const double size = std::fabs(heights[k]);
        beyond |= size > std::numeric_limits<float>::max() && size != std::numeric_limits<double>::infinity();
      }
      if (beyond) {
        std::size_t k = 0;
        while (!(std::isfinite(heights[k]) && std::fabs(heights[k]) > std::numeric_limits<float>::max())) ++k;
        u_print("%s: height %llu (%g m) is beyond what an XDT file's float holds\n", shown(input),
                static_cast<unsigned long long>(point + k + 1), heights[k]);
        return result->read_failure = ERR_PARAM_OUT_OF_RANGE;
      }
      float* z = row + column;
      for (std::size_t k = 0; k < n; ++k) z[k] = std::isnan(heights[k]) ? -1.0f : static_cast<float>(heights[k]);
      i += n;
      point += n;
      column += n;
      if (column == columns) {
        const auto y = static_cast<float>(static_cast<double>(row_index++) * y_step);
        code = out.put_row(row, columns, x_step, y, resolution);
        if (code != NO_ERROR) return result->write_failure = code;
        column = 0;
      }
    }
  }
  code = x3p_reader_finish(&reader);
  if (code != NO_ERROR) return result->read_failure = code;
  code = out.flush();
  if (code != NO_ERROR) return result->write_failure = code;
  discarding.release();
  code = output_file_commit(&file);
  result->name_taken = file.name_taken;
  if (code != NO_ERROR) return result->write_failure = code;
  return NO_ERROR;
}
