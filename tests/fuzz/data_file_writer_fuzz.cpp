// Fuzz target: the data file writer on arbitrary software information, header
// record and map geometry (sides below 128, so every block stays small),
// writing after a short prefix into a memory stream. The file must hold the
// prefix, then exactly the header and the blocks, and the caller's records
// must come back untouched.
#include <mapconv/data_file_writer.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_support.h"

namespace {

// Bytes of the header record whose file offsets are 838 and on.
constexpr std::size_t LONG_FORMAT_FIRST_BYTE = 776;
static_assert(sizeof(DataFileHeader) == 4036);

enum Flag : std::uint8_t {
  SOFTWARE = 1,
  HEADER = 2,
  INTENSITY = 4,
  INTENSITY_WITHOUT_DATA = 8,
  PHASE = 16,
  PHASE_WITHOUT_DATA = 32,
  INTENSITY_SHORT = 64,  // capacity one value below the geometry
  PHASE_SHORT = 128,
};

std::uint32_t big_endian(const std::uint8_t* bytes, std::size_t width) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < width; ++i) value = (value << 8) | bytes[i];
  return value;
}

// Values of a block: count, or -1 for a negative side.
long long block_values(std::initializer_list<std::int16_t> sides) {
  long long count = 1;
  for (const std::int16_t side : sides) {
    if (side < 0) return -1;
    count *= side;
  }
  return count;
}

struct Input {
  std::uint8_t flags = 0;
  std::vector<std::uint8_t> prefix;
  SoftwareInfo software{};
  DataFileHeader header{};
  IntensityMap intensity{};
  PhaseMap phase{};
  std::vector<std::uint16_t> intensity_values;
  std::vector<std::int32_t> phase_values;
};

void fill_map_values(fuzz::ByteReader& reader, Input* in, long long intensity_count, long long phase_count) {
  const auto seed = reader.rest();
  auto value = [&](std::size_t i) -> std::uint8_t { return seed.empty() ? 0x5A : seed[i % seed.size()]; };
  in->intensity_values.resize(static_cast<std::size_t>(std::max(intensity_count, 1LL)));
  for (std::size_t i = 0; i < in->intensity_values.size(); ++i) {
    in->intensity_values[i] = static_cast<std::uint16_t>(value(i) * 257u + i);
  }
  in->phase_values.resize(static_cast<std::size_t>(std::max(phase_count, 1LL)));
  for (std::size_t i = 0; i < in->phase_values.size(); ++i) {
    in->phase_values[i] = static_cast<std::int32_t>(value(i) * 0x01010101u ^ static_cast<std::uint32_t>(i));
  }
}

Input parse(fuzz::ByteReader& reader) {
  Input in;
  in.flags = reader.byte();
  in.prefix.resize(reader.byte() % 16);
  for (auto& byte : in.prefix) byte = reader.byte();

  in.intensity.origin_x = static_cast<std::int16_t>(reader.u16());
  in.intensity.origin_y = static_cast<std::int16_t>(reader.u16());
  in.intensity.width = static_cast<std::int8_t>(reader.byte());
  in.intensity.height = static_cast<std::int8_t>(reader.byte());
  in.intensity.buckets = static_cast<std::int16_t>(static_cast<std::int8_t>(reader.byte()) / 16);
  in.intensity.range = reader.u16();
  in.phase.origin_x = static_cast<std::int16_t>(reader.u16());
  in.phase.origin_y = static_cast<std::int16_t>(reader.u16());
  in.phase.width = static_cast<std::int8_t>(reader.byte());
  in.phase.height = static_cast<std::int8_t>(reader.byte());

  if (in.flags & SOFTWARE) {
    auto* bytes = reinterpret_cast<std::uint8_t*>(&in.software);
    for (std::size_t i = 0; i < sizeof in.software; ++i) bytes[i] = reader.byte();
  }
  if (in.flags & HEADER) {
    // A few bytes set anywhere in the record, holes and trailing bytes
    // included: enough to reach every header format.
    auto* bytes = reinterpret_cast<std::uint8_t*>(&in.header);
    for (int pokes = reader.byte() % 8; pokes > 0; --pokes) {
      const std::size_t at = reader.u16() % sizeof in.header;
      bytes[at] = reader.byte();
    }
  }

  const long long intensity_count =
      block_values({in.intensity.width, in.intensity.height, in.intensity.buckets});
  const long long phase_count = block_values({in.phase.width, in.phase.height});
  fill_map_values(reader, &in, intensity_count, phase_count);
  in.intensity.capacity = static_cast<std::uint32_t>(std::max(intensity_count, 0LL));
  if ((in.flags & INTENSITY_SHORT) && in.intensity.capacity > 0) --in.intensity.capacity;
  in.phase.capacity = static_cast<std::uint32_t>(std::max(phase_count, 0LL));
  if ((in.flags & PHASE_SHORT) && in.phase.capacity > 0) --in.phase.capacity;
  if (!(in.flags & INTENSITY_WITHOUT_DATA)) in.intensity.data = in.intensity_values.data();
  if (!(in.flags & PHASE_WITHOUT_DATA)) in.phase.data = in.phase_values.data();
  return in;
}

int expected_format(const Input& in) {
  if (!(in.flags & HEADER)) return 1;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&in.header);
  if (std::any_of(bytes + LONG_FORMAT_FIRST_BYTE, bytes + sizeof in.header,
                  [](std::uint8_t b) { return b != 0; })) {
    return 3;
  }
  return in.header.phase_resolution >= 2 ? 2 : 1;
}

// The leading fields of the written header, worked out from the input alone.
void check_leading_fields(const Input& in, const std::uint8_t* file, bool intensity, bool phase) {
  static constexpr std::uint8_t FIRST_TEN[3][10] = {
      {0x88, 0x1B, 0x03, 0x6F, 0x00, 0x01, 0x00, 0x00, 0x03, 0x42},
      {0x88, 0x1B, 0x03, 0x70, 0x00, 0x02, 0x00, 0x00, 0x03, 0x42},
      {0x88, 0x1B, 0x03, 0x71, 0x00, 0x03, 0x00, 0x00, 0x10, 0x00},
  };
  fuzz::check(std::memcmp(file, FIRST_TEN[expected_format(in) - 1], 10) == 0, "first ten bytes");
  const SoftwareInfo& software = in.software;  // zero when not given
  fuzz::check(big_endian(file + 10, 2) == static_cast<std::uint16_t>(software.first_value), "software value");
  fuzz::check(std::memcmp(file + 12, software.text, sizeof software.text) == 0, "software text");
  for (int i = 0; i < 3; ++i) {
    fuzz::check(big_endian(file + 42 + 2 * i, 2) == static_cast<std::uint16_t>(software.last_values[i]),
                "software values");
  }
  const IntensityMap& m = in.intensity;
  const std::int16_t intensity_fields[6] = {m.origin_x, m.origin_y, m.width,
                                            m.height,   m.buckets,  static_cast<std::int16_t>(m.range)};
  for (int i = 0; i < 6; ++i) {
    const auto expected = intensity ? static_cast<std::uint16_t>(intensity_fields[i]) : 0u;
    fuzz::check(big_endian(file + 48 + 2 * i, 2) == expected, "intensity geometry");
  }
  const auto intensity_bytes =
      intensity ? static_cast<std::uint32_t>(m.width * m.height * m.buckets * 2) : 0u;
  fuzz::check(big_endian(file + 60, 4) == intensity_bytes, "intensity_bytes");
  const PhaseMap& p = in.phase;
  const std::int16_t phase_fields[4] = {p.origin_x, p.origin_y, p.width, p.height};
  for (int i = 0; i < 4; ++i) {
    const auto expected = phase ? static_cast<std::uint16_t>(phase_fields[i]) : 0u;
    fuzz::check(big_endian(file + 64 + 2 * i, 2) == expected, "phase geometry");
  }
  const auto phase_bytes = phase ? static_cast<std::uint32_t>(p.width * p.height * 4) : 0u;
  fuzz::check(big_endian(file + 72, 4) == phase_bytes, "phase_bytes");
}

void check_file(const Input& in, const std::uint8_t* file, std::size_t length, bool intensity, bool phase) {
  const std::size_t header_size = expected_format(in) == 3 ? 4096 : 834;
  const std::size_t intensity_values =
      intensity ? static_cast<std::size_t>(in.intensity.width * in.intensity.height * in.intensity.buckets)
                : 0;
  const std::size_t phase_values = phase ? static_cast<std::size_t>(in.phase.width * in.phase.height) : 0;
  fuzz::check(length == header_size + 2 * intensity_values + 4 * phase_values, "file length");
  check_leading_fields(in, file, intensity, phase);
  const std::uint8_t* block = file + header_size;
  for (std::size_t i = 0; i < intensity_values; ++i, block += 2) {
    fuzz::check(big_endian(block, 2) == in.intensity_values[i], "intensity value");
  }
  for (std::size_t i = 0; i < phase_values; ++i, block += 4) {
    fuzz::check(big_endian(block, 4) == static_cast<std::uint32_t>(in.phase_values[i]), "phase value");
  }
}

bool map_fits(long long values, std::uint32_t capacity) { return values >= 0 && capacity >= values; }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quiet_stderr("data_file_writer_fuzz");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::count_input();
  fuzz::ByteReader reader({data, size});
  const Input in = parse(reader);
  const Input copy = in;

  char* buffer = nullptr;
  std::size_t length = 0;
  std::FILE* stream = open_memstream(&buffer, &length);
  fuzz::check(stream != nullptr, "open_memstream");
  for (const std::uint8_t byte : in.prefix) fuzz::check(std::fputc(byte, stream) == byte, "prefix");
  const ErrorCode code = write_data_stream(
      stream, (in.flags & SOFTWARE) ? &in.software : nullptr, (in.flags & HEADER) ? &in.header : nullptr,
      (in.flags & INTENSITY) ? &in.intensity : nullptr, (in.flags & PHASE) ? &in.phase : nullptr);
  fuzz::check(std::fclose(stream) == 0, "fclose");

  fuzz::check(std::memcmp(&in.software, &copy.software, sizeof in.software) == 0, "software changed");
  fuzz::check(std::memcmp(&in.header, &copy.header, sizeof in.header) == 0, "header changed");
  fuzz::check(std::memcmp(&in.intensity, &copy.intensity, sizeof in.intensity) == 0 &&
                  std::memcmp(&in.phase, &copy.phase, sizeof in.phase) == 0,
              "map record changed");
  fuzz::check(in.intensity_values == copy.intensity_values && in.phase_values == copy.phase_values,
              "map values changed");

  const bool intensity = (in.flags & INTENSITY) && in.intensity.data != nullptr;
  const bool phase = (in.flags & PHASE) && in.phase.data != nullptr;
  const auto* file = reinterpret_cast<const std::uint8_t*>(buffer);
  fuzz::check(length >= in.prefix.size() && std::equal(in.prefix.begin(), in.prefix.end(), file),
              "prefix overwritten");
  ErrorCode expected = NO_ERROR;
  if (!intensity && !phase) {
    expected = ERR_INVALID_PARAM;
  } else if ((intensity &&
              !map_fits(block_values({in.intensity.width, in.intensity.height, in.intensity.buckets}),
                        in.intensity.capacity)) ||
             (phase && !map_fits(block_values({in.phase.width, in.phase.height}), in.phase.capacity))) {
    expected = ERR_PARAM_OUT_OF_RANGE;
  }
  fuzz::check(code == expected, "unexpected code");
  if (code == NO_ERROR) {
    check_file(in, file + in.prefix.size(), length - in.prefix.size(), intensity, phase);
  } else {
    fuzz::check(length == in.prefix.size(), "bytes written on a failure found before writing");
  }
  std::free(buffer);
  return 0;
}
