#include "datafile/data_file_writer.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <memory>

#include "common/byte_order.h"
#include "common/cpu_dispatch.h"
#include "common/memory_hooks.h"
#include "common/path.h"

namespace {

// Intensity values staged per write call (64 KiB).
constexpr std::uint32_t INTENSITY_CHUNK_VALUES = 32768;
// Phase counts staged per write call (1 MiB): the block is never copied whole.
constexpr std::uint32_t PHASE_CHUNK_VALUES = 262144;

// Byte sizes of the blocks, worked out and checked before anything is written.
struct BlockSizes {
  std::uint32_t intensity_bytes = 0;
  std::uint32_t phase_bytes = 0;
};

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

ErrorCode check_maps(const IntensityMap* intensity, const PhaseMap* phase, BlockSizes* sizes) {
  std::uint64_t values = 0;
  if (intensity != nullptr) {
    if (!block_values({intensity->width, intensity->height, intensity->buckets}, 2, &values) ||
        intensity->capacity < values) {
      return ERR_PARAM_OUT_OF_RANGE;
    }
    sizes->intensity_bytes = static_cast<std::uint32_t>(values * 2);
  }
  if (phase != nullptr) {
    if (!block_values({phase->width, phase->height}, 4, &values) || phase->capacity < values) {
      return ERR_PARAM_OUT_OF_RANGE;
    }
    sizes->phase_bytes = static_cast<std::uint32_t>(values * 4);
  }
  return NO_ERROR;
}

// The header in file form: formats 1 and 2 use its first 834 bytes, format 3
// its first 4096.
void build_header(std::uint8_t* image, int format, const SoftwareInfo* software, const DataFileHeader* header,
                  const IntensityMap* intensity, const PhaseMap* phase, const BlockSizes& sizes) {
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
    leading.intensity_bytes = sizes.intensity_bytes;
  }
  if (phase != nullptr) {
    leading.phase_origin_x = phase->origin_x;
    leading.phase_origin_y = phase->origin_y;
    leading.phase_width = phase->width;
    leading.phase_height = phase->height;
    leading.phase_bytes = sizes.phase_bytes;
  }
  std::memset(image, 0, HEADER_IMAGE_SIZE);
  std::memcpy(image, &leading, sizeof leading);
  if (header != nullptr) std::memcpy(image + HEADER_RECORD_POSITION, header, sizeof *header);
  swap_header_image(image);
  compact_header_image(image);
}

// Copies count phase counts into the staging buffer, big-endian.
MAPCONV_HOT_LOOP void reverse_phase_counts(const std::int32_t* values, std::uint32_t count,
                                           std::uint32_t* staging) {
  for (std::uint32_t i = 0; i < count; ++i)
    staging[i] = __builtin_bswap32(static_cast<std::uint32_t>(values[i]));
}

// Writes the phase counts big-endian through a fixed staging buffer, so the
// memory used does not grow with the map.
ErrorCode write_int32_block(const std::int32_t* values, std::uint32_t count, std::FILE* stream) {
  if (count == 0) return NO_ERROR;
  const std::uint32_t chunk_values = std::min(count, PHASE_CHUNK_VALUES);
  const auto staging = hooked_allocate<std::uint32_t>(chunk_values);
  if (staging == nullptr) return ERR_NO_MEM;
  std::uint32_t* const buffer = staging.get();
  for (std::uint32_t remaining = count; remaining != 0;) {
    const std::uint32_t n = std::min(remaining, chunk_values);
    reverse_phase_counts(values, n, buffer);
    if (std::fwrite(buffer, sizeof *buffer, n, stream) != n) return ERR_CANT_WRITE_FILE;
    values += n;
    remaining -= n;
  }
  return NO_ERROR;
}

}  // namespace

ErrorCode write_int16_block(const std::uint16_t* values, std::uint32_t count, std::FILE* stream) {
  if (stream == nullptr || (values == nullptr && count != 0)) return ERR_INVALID_PARAM;
  const auto staging = hooked_allocate<std::uint16_t>(INTENSITY_CHUNK_VALUES);
  if (staging == nullptr) return ERR_NO_MEM;
  std::uint16_t* const buffer = staging.get();
  for (std::uint32_t remaining = count; remaining != 0;) {
    const std::uint32_t n = std::min(remaining, INTENSITY_CHUNK_VALUES);
    u_copy_words(buffer, values, static_cast<std::int32_t>(n));
    for (std::uint32_t i = 0; i < n; ++i) buffer[i] = __builtin_bswap16(buffer[i]);
    if (std::fwrite(buffer, sizeof *buffer, n, stream) != n) return ERR_CANT_WRITE_FILE;
    values += n;
    remaining -= n;
  }
  return NO_ERROR;
}

ErrorCode write_data_stream(std::FILE* stream, const SoftwareInfo* software, const DataFileHeader* header,
                            const IntensityMap* intensity, const PhaseMap* phase) {
  // A map without a block counts as absent.
  if (intensity != nullptr && intensity->data == nullptr) intensity = nullptr;
  if (phase != nullptr && phase->data == nullptr) phase = nullptr;
  if (stream == nullptr || (intensity == nullptr && phase == nullptr)) return ERR_INVALID_PARAM;

  BlockSizes sizes;
  if (const ErrorCode result = check_maps(intensity, phase, &sizes); result != NO_ERROR) return result;
  if (std::fseek(stream, 0, SEEK_END) != 0) return ERR_CANT_WRITE_FILE;

  const int format = choose_header_format(header);
  alignas(4) std::array<std::uint8_t, HEADER_IMAGE_SIZE> image;
  build_header(image.data(), format, software, header, intensity, phase, sizes);
  const auto header_size =
      static_cast<std::size_t>(header_formats[static_cast<std::size_t>(format - 1)].header_size);
  if (std::fwrite(image.data(), header_size, 1, stream) != 1) return ERR_CANT_WRITE_FILE;

  if (intensity != nullptr) {
    const ErrorCode result = write_int16_block(intensity->data, sizes.intensity_bytes / 2, stream);
    if (result != NO_ERROR) return result;
  }
  if (phase != nullptr) return write_int32_block(phase->data, sizes.phase_bytes / 4, stream);
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
  // Data still in the stream's buffer is only known to be on disk once the
  // flush and the close succeed.
  const bool flushed = std::fflush(file.get()) == 0;
  const bool closed = std::fclose(file.release()) == 0;
  if (result == NO_ERROR && !(flushed && closed)) result = ERR_CANT_WRITE_FILE;
  return result;
}
