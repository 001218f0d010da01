#include <fcntl.h>
#include <mapconv/byte_order.h>
#include <mapconv/data_file_writer.h>
#include <mapconv/memory_hooks.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <memory>

#include "byte_blocks.h"
#include "data_file_stream_internal.h"
#include "header_layout.h"
#include "hooked_block.h"
#include "native_path.h"
#include "retrying_io.h"

namespace {

// Intensity values staged per write call (64 KiB).
constexpr std::uint32_t INTENSITY_CHUNK_VALUES = 32768;
// Phase counts staged per write call (1 MiB): the block is never copied whole.
constexpr std::uint32_t PHASE_CHUNK_VALUES = 262144;

// Values in a block of the given geometry, or nothing when a side is
// negative or the block's byte size does not fit the header's 32-bit field.
bool block_values(std::initializer_list<std::int16_t> sides, std::uint64_t value_width,
                  std::uint64_t* values) {
  std::uint64_t count = 1;
  for (const std::int16_t side : sides) {
    if (side < 0) return false;
    count *= static_cast<std::uint64_t>(side);  // at most 32767^3: no wrap
  }
  if (count * value_width > UINT32_MAX) return false;
  *values = count;
  return true;
}

// The blocks' sizes for the maps' geometry, checked before anything is
// written; with blocks_given, each map's block must also hold that many
// values.
ErrorCode check_maps(const IntensityMap* intensity, const PhaseMap* phase, bool blocks_given,
                     BlockSizes* sizes) {
  *sizes = BlockSizes{};
  std::uint64_t values = 0;
  if (intensity != nullptr) {
    if (!block_values({intensity->width, intensity->height, intensity->buckets}, 2, &values) ||
        (blocks_given && intensity->capacity < values)) {
      return ERR_PARAM_OUT_OF_RANGE;
    }
    sizes->intensity_values = values;
  }
  if (phase != nullptr) {
    if (!block_values({phase->width, phase->height}, 4, &values) ||
        (blocks_given && phase->capacity < values)) {
      return ERR_PARAM_OUT_OF_RANGE;
    }
    sizes->phase_values = values;
  }
  return NO_ERROR;
}

std::size_t header_bytes(std::int32_t format) {
  return static_cast<std::size_t>(header_formats[static_cast<std::size_t>(format - 1)].header_size);
}

// The header in file form: formats 1 and 2 use its first 834 bytes, format 3
// its first 4096.
void assemble_header_image(std::uint8_t* image, int format, const SoftwareInfo* software,
                           const DataFileHeader* header, const IntensityMap* intensity, const PhaseMap* phase,
                           const BlockSizes& sizes) {
  HeaderLeadingFields leading{};
  const HeaderFormat& chosen = header_formats[static_cast<std::size_t>(format - 1)];
  leading.magic_number = chosen.magic_number;
  leading.header_format = chosen.header_format;
  leading.header_size = chosen.header_size;
  if (software != nullptr) leading.software_info = *software;
  if (intensity != nullptr) {
    leading.intensity_origin_x = intensity->origin_x;
    leading.intensity_origin_y = intensity->origin_y;
    leading.intensity_width = intensity->width;
    leading.intensity_height = intensity->height;
    leading.intensity_buckets = intensity->buckets;
    leading.intensity_range = intensity->range;
    leading.intensity_bytes = static_cast<std::uint32_t>(sizes.intensity_values * 2);
  }
  if (phase != nullptr) {
    leading.phase_origin_x = phase->origin_x;
    leading.phase_origin_y = phase->origin_y;
    leading.phase_width = phase->width;
    leading.phase_height = phase->height;
    leading.phase_bytes = static_cast<std::uint32_t>(sizes.phase_values * 4);
  }
  std::memset(image, 0, HEADER_IMAGE_SIZE);
  std::memcpy(image, &leading, sizeof leading);
  if (header != nullptr) std::memcpy(image + HEADER_RECORD_POSITION, header, sizeof *header);
  swap_header_image(image);
  compact_header_image(image);
}

// The one path from a block to big-endian bytes, for whole maps and streams
// alike: the values go reversed through a staging buffer of staging_values,
// and put(bytes, size) sends each piece on, false when it could not.
template <typename Value, typename Put>
ErrorCode put_block(const Value* values, std::uint64_t count, Value* staging, std::size_t staging_values,
                    Put&& put) {
  while (count != 0) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(count, staging_values));
    copy_reversed(values, n, staging);
    if (!put(staging, n * sizeof *staging)) return ERR_CANT_WRITE_FILE;
    values += n;
    count -= n;
  }
  return NO_ERROR;
}

// Sends bytes to the end of a stream.
auto stream_sink(std::FILE* stream) {
  return [stream](const void* bytes, std::size_t size) { return write_retrying(stream, bytes, size); };
}

// Writes the phase counts big-endian through a fixed staging buffer, so the
// memory used does not grow with the map.
ErrorCode write_int32_block(const std::int32_t* values, std::uint64_t count, std::FILE* stream) {
  if (count == 0) return NO_ERROR;
  const auto chunk_values = static_cast<std::size_t>(std::min<std::uint64_t>(count, PHASE_CHUNK_VALUES));
  const auto staging = hooked_allocate<std::uint32_t>(chunk_values);
  if (staging == nullptr) return ERR_NO_MEM;
  return put_block(reinterpret_cast<const std::uint32_t*>(values), count, staging.get(), chunk_values,
                   stream_sink(stream));
}

}  // namespace

ErrorCode write_int16_block(const std::uint16_t* values, std::uint32_t count, std::FILE* stream) {
  if (stream == nullptr || (values == nullptr && count != 0)) return ERR_INVALID_PARAM;
  const auto staging = hooked_allocate<std::uint16_t>(INTENSITY_CHUNK_VALUES);
  if (staging == nullptr) return ERR_NO_MEM;
  return put_block(values, count, staging.get(), INTENSITY_CHUNK_VALUES, stream_sink(stream));
}

ErrorCode write_data_stream(std::FILE* stream, const SoftwareInfo* software, const DataFileHeader* header,
                            const IntensityMap* intensity, const PhaseMap* phase) {
  // A map without a block counts as absent.
  if (intensity != nullptr && intensity->data == nullptr) intensity = nullptr;
  if (phase != nullptr && phase->data == nullptr) phase = nullptr;
  if (stream == nullptr || (intensity == nullptr && phase == nullptr)) return ERR_INVALID_PARAM;

  BlockSizes sizes;
  if (const ErrorCode result = check_maps(intensity, phase, true, &sizes); result != NO_ERROR) return result;
  if (std::fseek(stream, 0, SEEK_END) != 0) return ERR_CANT_WRITE_FILE;

  const int format = choose_header_format(header);
  alignas(4) std::array<std::uint8_t, HEADER_IMAGE_SIZE> image;
  assemble_header_image(image.data(), format, software, header, intensity, phase, sizes);
  if (!write_retrying(stream, image.data(), header_bytes(format))) return ERR_CANT_WRITE_FILE;

  if (intensity != nullptr) {
    const ErrorCode result =
        write_int16_block(intensity->data, static_cast<std::uint32_t>(sizes.intensity_values), stream);
    if (result != NO_ERROR) return result;
  }
  if (phase != nullptr) return write_int32_block(phase->data, sizes.phase_values, stream);
  return NO_ERROR;
}

ErrorCode write_data_file(const char* path, const SoftwareInfo* software, const DataFileHeader* header,
                          const IntensityMap* intensity, const PhaseMap* phase) {
  if (path == nullptr) return ERR_INVALID_PARAM;
  FileHandle file(u_open_path(path, "wb"));
  // Out of memory (for the converted name, or inside the runtime) is no
  // verdict on the name.
  if (file == nullptr) return errno == ENOMEM ? ERR_NO_MEM : ERR_CANT_CREATE_FILE;
  // The header and the staged blocks go out in a few large writes; a stream
  // buffer would only copy them once more and split each write in two.
  std::setvbuf(file.get(), nullptr, _IONBF, 0);
  ErrorCode result = write_data_stream(file.get(), software, header, intensity, phase);
  // The reason of a failed write, which the flush and close must not hide.
  int reason = errno;
  // Data still in the stream's buffer is only known to be on disk once the
  // flush and the close succeed.
  const bool flushed = std::fflush(file.get()) == 0;
  if (result == NO_ERROR && !flushed) reason = errno;
  const bool closed = std::fclose(file.release()) == 0;
  if (result == NO_ERROR && flushed && !closed) reason = errno;
  if (result == NO_ERROR && !(flushed && closed)) result = ERR_CANT_WRITE_FILE;
  if (result != NO_ERROR) errno = reason;
  return result;
}

namespace {

// Remembers the first failed write: the file is then only good for discarding.
ErrorCode fail(DataFileStream* stream, ErrorCode code) {
  stream->failure = code;
  return code;
}

auto output_sink(OutputFile* output) {
  return [output](const void* bytes, std::size_t size) {
    return output_file_write(output, bytes, size) == NO_ERROR;
  };
}

// Checks a call that adds values to a block; 0 when they may be written.
ErrorCode check_block_write(const DataFileStream* stream, std::uint64_t written, std::uint64_t values,
                            std::size_t count) {
  if (stream->output.fd < 0) return ERR_INVALID_PARAM;
  if (stream->failure != NO_ERROR) return stream->failure;
  if (stream->in_order && !stream->header_written) return ERR_INVALID_PARAM;
  if (count > values - written) return ERR_INVALID_PARAM;
  return NO_ERROR;
}

}  // namespace

void data_file_stream_clear(DataFileStream* stream) {
  std::memset(stream, 0, sizeof *stream);
  output_file_clear(&stream->output);
}

ErrorCode data_file_stream_begin(const char* path, unsigned flags, std::int32_t header_format,
                                 const IntensityMap* intensity, const PhaseMap* phase,
                                 DataFileStream* stream) {
  return data_file_stream_begin_apart(path, flags, nullptr, header_format, intensity, phase, stream);
}

ErrorCode data_file_stream_begin_apart(const char* path, unsigned flags, const struct stat* input,
                                       std::int32_t header_format, const IntensityMap* intensity,
                                       const PhaseMap* phase, DataFileStream* stream) {
  if (stream == nullptr) return ERR_INVALID_PARAM;
  data_file_stream_clear(stream);
  if (path == nullptr || header_format < 1 || header_format > 3 ||
      (intensity == nullptr && phase == nullptr)) {
    return ERR_INVALID_PARAM;
  }
  BlockSizes sizes;
  if (const ErrorCode code = check_maps(intensity, phase, false, &sizes); code != NO_ERROR) return code;
  stream->header_format = header_format;
  stream->header_size = static_cast<std::uint32_t>(header_bytes(header_format));
  if (intensity != nullptr) {
    stream->intensity = *intensity;
    stream->has_intensity = true;
  }
  if (phase != nullptr) {
    stream->phase = *phase;
    stream->has_phase = true;
  }
  stream->intensity.data = nullptr;
  stream->intensity.capacity = 0;
  stream->phase.data = nullptr;
  stream->phase.capacity = 0;
  stream->intensity_values = sizes.intensity_values;
  stream->phase_values = sizes.phase_values;

  // One staging buffer serves both blocks, in turn; at least one value wide
  // so that an empty block still gets a real allocation.
  stream->staging_bytes =
      std::max({std::min<std::uint64_t>(stream->intensity_values, INTENSITY_CHUNK_VALUES) * 2,
                std::min<std::uint64_t>(stream->phase_values, PHASE_CHUNK_VALUES) * 4, std::uint64_t{4}});
  stream->staging = memory_hooks.allocate(stream->staging_bytes);
  if (stream->staging == nullptr) {
    data_file_stream_clear(stream);
    return ERR_NO_MEM;
  }
  if (const ErrorCode code = output_file_open_apart(path, flags, input, &stream->output); code != NO_ERROR) {
    const bool taken = stream->output.name_taken;
    const bool is_input = stream->output.is_input;
    data_file_stream_discard(stream);
    stream->name_taken = taken;
    stream->is_input = is_input;
    return code;
  }
  stream->in_order = stream->output.in_order;
  if (stream->in_order) return NO_ERROR;
  // The whole file's space is taken at once: a disk too full fails here,
  // before any work, and the file system need not allocate, nor flush when
  // the file replaces another, piece by piece. Where it cannot be reserved
  // the writes find out.
  const auto length =
      static_cast<off_t>(stream->header_size + sizes.intensity_values * 2 + sizes.phase_values * 4);
  if (!stream->output.in_place && fallocate(stream->output.fd, 0, 0, length) != 0 && errno != EOPNOTSUPP &&
      errno != ENOSYS && errno != EINTR) {
    data_file_stream_discard(stream);
    return ERR_CANT_WRITE_FILE;
  }
  // The blocks go after the header's place; the header fills it last.
  if (lseek(stream->output.fd, static_cast<off_t>(stream->header_size), SEEK_SET) < 0) {
    data_file_stream_discard(stream);
    return ERR_CANT_WRITE_FILE;
  }
  return NO_ERROR;
}

ErrorCode data_file_stream_write_intensity(DataFileStream* stream, const std::uint16_t* values,
                                           std::size_t count) {
  if (stream == nullptr || (values == nullptr && count != 0)) return ERR_INVALID_PARAM;
  const ErrorCode check =
      check_block_write(stream, stream->intensity_written, stream->intensity_values, count);
  if (check != NO_ERROR) return check;
  const ErrorCode code = put_block(values, count, static_cast<std::uint16_t*>(stream->staging),
                                   stream->staging_bytes / 2, output_sink(&stream->output));
  if (code != NO_ERROR) return fail(stream, code);
  stream->intensity_written += count;
  return NO_ERROR;
}

namespace {

// Writes count phase counts, through the staging buffer reversed or, with
// file_order, as they are.
ErrorCode write_phase(DataFileStream* stream, const std::uint32_t* values, std::size_t count,
                      bool file_order) {
  if (stream == nullptr || (values == nullptr && count != 0)) return ERR_INVALID_PARAM;
  if (stream->intensity_written != stream->intensity_values) return ERR_INVALID_PARAM;
  const ErrorCode check = check_block_write(stream, stream->phase_written, stream->phase_values, count);
  if (check != NO_ERROR) return check;
  ErrorCode code = NO_ERROR;
  if (!file_order) {
    code = put_block(values, count, static_cast<std::uint32_t*>(stream->staging), stream->staging_bytes / 4,
                     output_sink(&stream->output));
  } else if (count != 0 && output_file_write(&stream->output, values, count * sizeof *values) != NO_ERROR) {
    code = ERR_CANT_WRITE_FILE;
  }
  if (code != NO_ERROR) return fail(stream, code);
  stream->phase_written += count;
  return NO_ERROR;
}

}  // namespace

ErrorCode data_file_stream_write_phase(DataFileStream* stream, const std::int32_t* values,
                                       std::size_t count) {
  // A signed value may be read through its unsigned type.
  return write_phase(stream, reinterpret_cast<const std::uint32_t*>(values), count, false);
}

ErrorCode data_file_stream_write_phase_file_order(DataFileStream* stream, const std::uint32_t* values,
                                                  std::size_t count) {
  return write_phase(stream, values, count, true);
}

ErrorCode data_file_stream_write_header(DataFileStream* stream, const SoftwareInfo* software,
                                        const DataFileHeader* header) {
  if (stream == nullptr || stream->output.fd < 0) return ERR_INVALID_PARAM;
  if (stream->failure != NO_ERROR) return stream->failure;
  if (stream->header_written || choose_header_format(header) != stream->header_format)
    return ERR_INVALID_PARAM;
  const BlockSizes sizes{stream->intensity_values, stream->phase_values};
  alignas(4) std::array<std::uint8_t, HEADER_IMAGE_SIZE> image;
  assemble_header_image(image.data(), stream->header_format, software, header,
                        stream->has_intensity ? &stream->intensity : nullptr,
                        stream->has_phase ? &stream->phase : nullptr, sizes);
  const ErrorCode code = stream->in_order
                             ? output_file_write(&stream->output, image.data(), stream->header_size)
                             : output_file_write_at(&stream->output, image.data(), stream->header_size, 0);
  if (code != NO_ERROR) return fail(stream, ERR_CANT_WRITE_FILE);
  stream->header_written = true;
  return NO_ERROR;
}

ErrorCode data_file_stream_commit(DataFileStream* stream) {
  if (stream == nullptr) return ERR_INVALID_PARAM;
  ErrorCode code = stream->failure;
  if (code == NO_ERROR && (stream->output.fd < 0 || !stream->header_written ||
                           stream->intensity_written != stream->intensity_values ||
                           stream->phase_written != stream->phase_values)) {
    code = ERR_INVALID_PARAM;
  }
  if (code != NO_ERROR) {
    data_file_stream_discard(stream);
    return code;
  }
  code = output_file_commit(&stream->output);
  const bool taken = stream->output.name_taken;
  data_file_stream_discard(stream);
  stream->name_taken = taken;
  return code;
}

void data_file_stream_discard(DataFileStream* stream) {
  if (stream == nullptr) return;
  // A caller's release hook may touch errno; the reason of the failure that
  // led here must survive.
  const int reason = errno;
  output_file_discard(&stream->output);
  if (stream->staging != nullptr) memory_hooks.release(stream->staging);
  data_file_stream_clear(stream);
  errno = reason;
}

ErrorCode write_data_file_atomic(const char* path, unsigned flags, const SoftwareInfo* software,
                                 const DataFileHeader* header, const IntensityMap* intensity,
                                 const PhaseMap* phase, bool* name_taken) {
  if (name_taken != nullptr) *name_taken = false;
  if (intensity != nullptr && intensity->data == nullptr) intensity = nullptr;
  if (phase != nullptr && phase->data == nullptr) phase = nullptr;
  if (path == nullptr || (intensity == nullptr && phase == nullptr)) return ERR_INVALID_PARAM;
  BlockSizes sizes;
  if (const ErrorCode code = check_maps(intensity, phase, true, &sizes); code != NO_ERROR) return code;

  DataFileStream stream;
  ErrorCode code =
      data_file_stream_begin(path, flags, choose_header_format(header), intensity, phase, &stream);
  if (name_taken != nullptr) *name_taken = stream.name_taken;
  if (code != NO_ERROR) return code;
  // The whole header is known, so it goes first: any output takes it then.
  code = data_file_stream_write_header(&stream, software, header);
  if (code == NO_ERROR && intensity != nullptr) {
    code = data_file_stream_write_intensity(&stream, intensity->data, sizes.intensity_values);
  }
  if (code == NO_ERROR && phase != nullptr) {
    code = data_file_stream_write_phase(&stream, phase->data, sizes.phase_values);
  }
  if (code == NO_ERROR) {
    code = data_file_stream_commit(&stream);
    if (name_taken != nullptr) *name_taken = stream.name_taken;
    return code;
  }
  data_file_stream_discard(&stream);
  return code;
}
