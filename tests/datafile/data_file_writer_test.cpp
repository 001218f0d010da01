#include <gtest/gtest.h>
#include <mapconv/data_file_writer.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "header_layout.h"
#include "test_support.h"

namespace {

using test::Bytes;

Bytes big_endian(std::uint64_t value, int width) {
  Bytes out;
  for (int i = width - 1; i >= 0; --i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
  return out;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

Bytes slice(const Bytes& bytes, std::size_t offset, std::size_t length) {
  if (offset + length > bytes.size()) return {};
  return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
               bytes.begin() + static_cast<std::ptrdiff_t>(offset + length));
}

// A map with its own values; value i is a distinct pattern in every byte.
struct TestPhase {
  std::vector<std::int32_t> values;
  PhaseMap map{};
  TestPhase(std::int16_t width, std::int16_t height) {
    values.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<std::int32_t>(i * 0x9E3779B1u);
    map = {static_cast<std::uint32_t>(values.size()), 0, 0, width, height, values.data()};
  }
  Bytes block() const {
    Bytes out;
    for (const std::int32_t v : values) {
      const Bytes b = big_endian(static_cast<std::uint32_t>(v), 4);
      out.insert(out.end(), b.begin(), b.end());
    }
    return out;
  }
};

struct TestIntensity {
  std::vector<std::uint16_t> values;
  IntensityMap map{};
  TestIntensity(std::int16_t width, std::int16_t height, std::int16_t buckets) {
    values.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) *
                  static_cast<std::size_t>(buckets));
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<std::uint16_t>(i * 0x9E37u + 1);
    map = {static_cast<std::uint32_t>(values.size()), 7, 8, width, height, buckets, 0xABCD, values.data()};
  }
  Bytes block() const {
    Bytes out;
    for (const std::uint16_t v : values) {
      const Bytes b = big_endian(v, 2);
      out.insert(out.end(), b.begin(), b.end());
    }
    return out;
  }
};

struct Written {
  ErrorCode code;
  Bytes bytes;
};

Written write_and_read(const SoftwareInfo* software, const DataFileHeader* header,
                       const IntensityMap* intensity, const PhaseMap* phase) {
  test::TempDir dir;
  const std::string path = dir.file("out.dat");
  const ErrorCode code = write_data_file(path.c_str(), software, header, intensity, phase);
  return {code, std::filesystem::exists(path) ? test::read_file(path) : Bytes{}};
}

DataFileHeader zero_header() {
  DataFileHeader header;
  std::memset(&header, 0, sizeof header);
  return header;
}

unsigned char* record_bytes(DataFileHeader& header) { return reinterpret_cast<unsigned char*>(&header); }

TEST(DataFileWriter, HeaderFormatFollowsTheRecord) {
  struct Case {
    const char* name;
    bool with_header;
    std::function<void(DataFileHeader&)> set;
    int format;
  };
  const Case cases[] = {
      {"no record", false, [](DataFileHeader&) {}, 1},
      {"zero record", true, [](DataFileHeader&) {}, 1},
      {"resolution 1", true, [](DataFileHeader& h) { h.phase_resolution = 1; }, 1},
      {"resolution 2", true, [](DataFileHeader& h) { h.phase_resolution = 2; }, 2},
      {"resolution 32767", true, [](DataFileHeader& h) { h.phase_resolution = 32767; }, 2},
      {"resolution 0", true, [](DataFileHeader& h) { h.phase_resolution = 0; }, 1},
      {"resolution -1", true, [](DataFileHeader& h) { h.phase_resolution = -1; }, 1},
      {"last field before 834", true, [](DataFileHeader& h) { h.bytes_818[15] = 9; }, 1},
      {"offsets 834-837 only", true, [](DataFileHeader& h) { std::memset(h.bytes_834, 0x5A, 4); }, 1},
      {"offsets 834-837, resolution 2", true,
       [](DataFileHeader& h) {
         std::memset(h.bytes_834, 0x5A, 4);
         h.phase_resolution = 2;
       },
       2},
      {"alignment holes", true,
       [](DataFileHeader& h) {
         for (const std::size_t hole : header_hole_positions()) {
           if (hole >= HEADER_RECORD_POSITION)
             std::memset(record_bytes(h) + hole - HEADER_RECORD_POSITION, 0xEE, 2);
         }
       },
       1},
      {"field at 838", true, [](DataFileHeader& h) { h.fields_838[0] = 1; }, 3},
      {"file offset 4095", true,
       [](DataFileHeader& h) {
         h.bytes_1454[2641] = 1;
         h.phase_resolution = -1;
       },
       3},
      {"record's trailing bytes", true, [](DataFileHeader& h) { h.trailing[1] = 1; }, 3},
  };
  const TestPhase phase(3, 2);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DataFileHeader header = zero_header();
    c.set(header);
    const Written out = write_and_read(nullptr, c.with_header ? &header : nullptr, nullptr, &phase.map);
    ASSERT_EQ(out.code, NO_ERROR);
    const HeaderFormat& format = header_formats[static_cast<std::size_t>(c.format - 1)];
    const auto size = static_cast<std::size_t>(format.header_size);
    EXPECT_EQ(slice(out.bytes, 0, 10),
              concat({big_endian(format.magic_number, 4), big_endian(static_cast<std::uint16_t>(c.format), 2),
                      big_endian(size, 4)}));
    ASSERT_EQ(out.bytes.size(), size + 24);
    EXPECT_EQ(slice(out.bytes, size, 24), phase.block());
    if (c.format == 3) {
      EXPECT_EQ(out.bytes[4095], header.bytes_1454[2641]);
      continue;
    }
    // Only the fields the case set below offset 834 reach the file; holes
    // and offsets 834-837 never do.
    Bytes expected(size - 76, 0);
    expected[218 - 76] = static_cast<unsigned char>(header.phase_resolution >> 8);
    expected[219 - 76] = static_cast<unsigned char>(header.phase_resolution);
    expected[833 - 76] = header.bytes_818[15];
    EXPECT_EQ(slice(out.bytes, 76, size - 76), expected);
  }
}

TEST(DataFileWriter, ConversionToolFileByteByByte) {
  DataFileHeader header = zero_header();
  header.scale_factor = 0.5f;
  header.wavelength = 6.328e-7f;
  header.obliquity = 1.0f;
  header.lateral_resolution = 0.25f;
  header.phase_resolution = 1;
  header.frame_width = 3;
  header.frame_height = 2;
  std::int32_t counts[6] = {PHASE_INVALID, -1, 0, 1, 0x01020304, -32768};
  const PhaseMap phase{6, 0, 0, 3, 2, counts};
  const Written out = write_and_read(nullptr, &header, nullptr, &phase);
  ASSERT_EQ(out.code, NO_ERROR);

  Bytes expected(858, 0);
  const auto put = [&](std::size_t offset, std::initializer_list<unsigned char> bytes) {
    std::copy(bytes.begin(), bytes.end(), expected.begin() + static_cast<std::ptrdiff_t>(offset));
  };
  put(0, {0x88, 0x1B, 0x03, 0x6F, 0x00, 0x01, 0x00, 0x00, 0x03, 0x42});
  put(64, {0, 0, 0, 0, 0, 3, 0, 2, 0, 0, 0, 0x18});
  put(164, {0x3F, 0, 0, 0, 0x35, 0x29, 0xDD, 0xAF});
  put(176, {0x3F, 0x80, 0, 0});
  put(184, {0x3E, 0x80, 0, 0});
  put(218, {0, 1});
  put(234, {0, 3, 0, 2});
  put(834, {0x7F, 0xFF, 0xFF, 0xF8, 0xFF, 0xFF, 0xFF, 0xFF, 0,    0,    0,    0,
            0,    0,    0,    1,    1,    2,    3,    4,    0xFF, 0xFF, 0x80, 0});
  EXPECT_EQ(out.bytes, expected);
}

TEST(DataFileWriter, SoftwareInfoPlacement) {
  SoftwareInfo software{};
  software.first_value = 0x0102;
  std::memcpy(software.text, "AB", 2);
  software.text[29] = 0x5A;
  software.last_values[0] = 0x0304;
  software.last_values[1] = 0x0506;
  software.last_values[2] = 0x0708;
  const TestPhase phase(1, 1);
  const Written out = write_and_read(&software, nullptr, nullptr, &phase.map);
  ASSERT_EQ(out.code, NO_ERROR);
  EXPECT_EQ(slice(out.bytes, 10, 4), (Bytes{0x01, 0x02, 0x41, 0x42}));
  EXPECT_EQ(out.bytes[41], 0x5A);
  EXPECT_EQ(slice(out.bytes, 42, 6), (Bytes{3, 4, 5, 6, 7, 8}));
}

// Where each record member goes in the file, written out here rather than
// taken from the writer's layout: width 2 and 4 are big-endian units, width
// 1 a run of count bytes copied as they stand.
struct RecordPlace {
  std::size_t file_offset;
  std::size_t member;  // offset in DataFileHeader
  std::size_t width;
  std::size_t count;
};

const RecordPlace RECORD_PLACES[] = {
    {76, offsetof(DataFileHeader, field_76), 4, 1},
    {80, offsetof(DataFileHeader, bytes_80), 1, 82},
    {162, offsetof(DataFileHeader, field_162), 2, 1},
    {164, offsetof(DataFileHeader, scale_factor), 4, 1},
    {168, offsetof(DataFileHeader, wavelength), 4, 1},
    {172, offsetof(DataFileHeader, field_172), 4, 1},
    {176, offsetof(DataFileHeader, obliquity), 4, 1},
    {180, offsetof(DataFileHeader, field_180), 4, 1},
    {184, offsetof(DataFileHeader, lateral_resolution), 4, 1},
    {188, offsetof(DataFileHeader, fields_188), 2, 5},
    {198, offsetof(DataFileHeader, field_198), 4, 1},
    {202, offsetof(DataFileHeader, field_202), 2, 1},
    {204, offsetof(DataFileHeader, field_204), 4, 1},
    {208, offsetof(DataFileHeader, bytes_208), 1, 2},
    {210, offsetof(DataFileHeader, fields_210), 4, 2},
    {218, offsetof(DataFileHeader, phase_resolution), 2, 1},
    {220, offsetof(DataFileHeader, field_220), 4, 1},
    {224, offsetof(DataFileHeader, field_224), 2, 1},
    {226, offsetof(DataFileHeader, field_226), 4, 1},
    {230, offsetof(DataFileHeader, fields_230), 2, 2},
    {234, offsetof(DataFileHeader, frame_width), 2, 1},
    {236, offsetof(DataFileHeader, frame_height), 2, 1},
    {238, offsetof(DataFileHeader, fields_238), 2, 4},
    {246, offsetof(DataFileHeader, bytes_246), 1, 52},
    {298, offsetof(DataFileHeader, fields_298), 2, 3},
    {304, offsetof(DataFileHeader, bytes_304), 1, 56},
    {360, offsetof(DataFileHeader, field_360), 4, 1},
    {364, offsetof(DataFileHeader, fields_364), 2, 2},
    {368, offsetof(DataFileHeader, field_368), 4, 1},
    {372, offsetof(DataFileHeader, fields_372), 2, 2},
    {376, offsetof(DataFileHeader, fields_376), 4, 2},
    {384, offsetof(DataFileHeader, field_384), 2, 1},
    {386, offsetof(DataFileHeader, fields_386), 4, 3},
    {398, offsetof(DataFileHeader, bytes_398), 1, 8},
    {406, offsetof(DataFileHeader, field_406), 2, 1},
    {408, offsetof(DataFileHeader, bytes_408), 1, 20},
    {428, offsetof(DataFileHeader, field_428), 2, 1},
    {430, offsetof(DataFileHeader, fields_430), 4, 18},
    {502, offsetof(DataFileHeader, bytes_502), 1, 232},
    {734, offsetof(DataFileHeader, field_734), 2, 1},
    {736, offsetof(DataFileHeader, bytes_736), 1, 80},
    {816, offsetof(DataFileHeader, field_816), 2, 1},
    {818, offsetof(DataFileHeader, bytes_818), 1, 16},
    {834, offsetof(DataFileHeader, bytes_834), 1, 4},
    {838, offsetof(DataFileHeader, fields_838), 2, 2},
    {842, offsetof(DataFileHeader, fields_842), 4, 7},
    {870, offsetof(DataFileHeader, bytes_870), 1, 30},
    {900, offsetof(DataFileHeader, fields_900), 2, 2},
    {904, offsetof(DataFileHeader, bytes_904), 1, 30},
    {934, offsetof(DataFileHeader, field_934), 4, 1},
    {938, offsetof(DataFileHeader, bytes_938), 1, 60},
    {998, offsetof(DataFileHeader, fields_998), 4, 10},
    {1038, offsetof(DataFileHeader, bytes_1038), 1, 88},
    {1126, offsetof(DataFileHeader, fields_1126), 4, 23},
    {1218, offsetof(DataFileHeader, bytes_1218), 1, 32},
    {1250, offsetof(DataFileHeader, fields_1250), 4, 3},
    {1262, offsetof(DataFileHeader, groups_1262) + 0, 1, 2},
    {1264, offsetof(DataFileHeader, groups_1262) + 0 + 2, 2, 1},
    {1266, offsetof(DataFileHeader, groups_1262) + 0 + 4, 4, 14},
    {1322, offsetof(DataFileHeader, groups_1262) + 60, 1, 2},
    {1324, offsetof(DataFileHeader, groups_1262) + 60 + 2, 2, 1},
    {1326, offsetof(DataFileHeader, groups_1262) + 60 + 4, 4, 14},
    {1382, offsetof(DataFileHeader, groups_1262) + 120, 1, 2},
    {1384, offsetof(DataFileHeader, groups_1262) + 120 + 2, 2, 1},
    {1386, offsetof(DataFileHeader, groups_1262) + 120 + 4, 4, 14},
    {1442, offsetof(DataFileHeader, bytes_1442), 1, 4},
    {1446, offsetof(DataFileHeader, fields_1446), 4, 2},
    {1454, offsetof(DataFileHeader, bytes_1454), 1, 2642},
};

// Every record field from offset 76 on is at its place in the file, the
// units reversed to big-endian.
TEST(DataFileWriter, EveryMultiByteFieldIsReversed) {
  DataFileHeader header;
  for (std::size_t i = 0; i < sizeof header; ++i)
    record_bytes(header)[i] = static_cast<unsigned char>(i * 7 + 3);
  const TestPhase phase(1, 1);
  const Written out = write_and_read(nullptr, &header, nullptr, &phase.map);
  ASSERT_EQ(out.code, NO_ERROR);
  ASSERT_EQ(out.bytes.size(), 4096u + 4);
  int checked = 0;
  for (const RecordPlace& place : RECORD_PLACES) {
    const unsigned char* source = record_bytes(header) + place.member;
    if (place.width == 1) {
      EXPECT_EQ(slice(out.bytes, place.file_offset, place.count), Bytes(source, source + place.count))
          << "file offset " << place.file_offset;
      ++checked;
      continue;
    }
    for (std::size_t i = 0; i < place.count; ++i) {
      std::uint32_t value = 0;
      if (place.width == 2) {
        std::uint16_t unit;
        std::memcpy(&unit, source + 2 * i, 2);
        value = unit;
      } else {
        std::memcpy(&value, source + 4 * i, 4);
      }
      const std::size_t at = place.file_offset + place.width * i;
      EXPECT_EQ(slice(out.bytes, at, place.width), big_endian(value, static_cast<int>(place.width)))
          << "file offset " << at;
      ++checked;
    }
  }
  EXPECT_EQ(checked, 202 - 20);
  EXPECT_EQ(slice(out.bytes, 164, 4), big_endian(std::bit_cast<std::uint32_t>(header.scale_factor), 4));
  EXPECT_EQ(slice(out.bytes, 218, 2), big_endian(static_cast<std::uint16_t>(header.phase_resolution), 2));
}

// Value counts on both sides of each staging buffer's size.
TEST(DataFileWriter, BlocksAcrossChunkBoundaries) {
  struct Case {
    std::int16_t intensity_width, intensity_height, buckets;  // 0: no intensity map
    std::int16_t phase_width, phase_height;
  };
  const Case cases[] = {
      {4, 3, 5, 3, 2},       // 60 values, then the phase block
      {255, 257, 1, 1, 1},   // 32767 + 1 + 32767 values
      {256, 128, 1, 1, 1},   // 32768
      {3, 10923, 1, 1, 1},   // 32769
      {256, 256, 1, 1, 1},   // 65536
      {0, 0, 0, 511, 513},   // 262143 phase counts
      {0, 0, 0, 512, 512},   // 262144
      {0, 0, 0, 481, 545},   // 262145
      {0, 0, 0, 1024, 513},  // 2 * 262144 + 512
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.intensity_width << "x" << c.intensity_height << "x" << c.buckets
                                    << " / " << c.phase_width << "x" << c.phase_height);
    const TestIntensity intensity(c.intensity_width, c.intensity_height, c.buckets);
    const TestPhase phase(c.phase_width, c.phase_height);
    const bool with_intensity = c.buckets != 0;
    test::CountingHooks hooks;
    const Written out =
        write_and_read(nullptr, nullptr, with_intensity ? &intensity.map : nullptr, &phase.map);
    ASSERT_EQ(out.code, NO_ERROR);
    EXPECT_EQ(hooks.live_blocks(), 0u);
    EXPECT_LE(hooks.last_request(), 1u << 20) << "the phase block is staged in bounded chunks";
    const Bytes intensity_block = intensity.block();
    const std::size_t intensity_bytes = with_intensity ? intensity_block.size() : 0;
    Bytes geometry(12, 0);
    if (with_intensity) {
      geometry = concat({big_endian(7, 2), big_endian(8, 2),
                         big_endian(static_cast<std::uint16_t>(c.intensity_width), 2),
                         big_endian(static_cast<std::uint16_t>(c.intensity_height), 2),
                         big_endian(static_cast<std::uint16_t>(c.buckets), 2), big_endian(0xABCD, 2)});
    }
    EXPECT_EQ(slice(out.bytes, 48, 12), geometry);
    EXPECT_EQ(slice(out.bytes, 60, 4), big_endian(intensity_bytes, 4));
    ASSERT_EQ(out.bytes.size(), 834 + intensity_bytes + phase.values.size() * 4);
    if (with_intensity) {
      EXPECT_TRUE(slice(out.bytes, 834, intensity_bytes) == intensity_block);
    }
    EXPECT_TRUE(slice(out.bytes, 834 + intensity_bytes, phase.values.size() * 4) == phase.block());
  }
}

// A write-only stream over memory that takes at most limit bytes (short
// writes, then failures) and keeps the first keep bytes it takes.
struct Sink {
  std::uint64_t limit = std::numeric_limits<std::uint64_t>::max();
  std::size_t keep = std::numeric_limits<std::size_t>::max();
  bool seekable = true;
  std::uint64_t total = 0;
  Bytes head;
};

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

File open_sink(Sink& sink) {
  cookie_io_functions_t io{};
  io.write = [](void* cookie, const char* data, std::size_t size) -> ssize_t {
    auto& s = *static_cast<Sink*>(cookie);
    size = static_cast<std::size_t>(std::min<std::uint64_t>(size, s.limit - s.total));
    if (size == 0) return -1;
    const std::size_t kept = std::min(size, s.keep - std::min(s.keep, s.head.size()));
    s.head.insert(s.head.end(), data, data + kept);
    s.total += size;
    return static_cast<ssize_t>(size);
  };
  io.seek = [](void* cookie, off64_t* offset, int whence) {
    auto& s = *static_cast<Sink*>(cookie);
    if (!s.seekable || whence != SEEK_END || *offset != 0) return -1;
    *offset = static_cast<off64_t>(s.total);
    return 0;
  };
  File file(fopencookie(&sink, "w", io));
  if (file != nullptr) std::setvbuf(file.get(), nullptr, _IONBF, 0);
  return file;
}

TEST(DataFileWriter, ShortAndFailedStreamWrites) {
  struct Case {
    const char* name;
    std::uint64_t limit;
    bool seekable;
    ErrorCode code;
    std::size_t staging_buffers;  // fewer when the writer stops before a block
  };
  // 834 header bytes, two intensity chunks of 65536 bytes, 24 phase bytes.
  const Case cases[] = {
      {"no seek", 1u << 30, false, ERR_CANT_WRITE_FILE, 0},
      {"short header", 833, true, ERR_CANT_WRITE_FILE, 0},
      {"second intensity chunk", 834 + 65536 + 65535, true, ERR_CANT_WRITE_FILE, 1},
      {"phase block", 834 + 131072 + 23, true, ERR_CANT_WRITE_FILE, 2},
      {"exact fit", 834 + 131072 + 24, true, NO_ERROR, 2},
  };
  const TestIntensity intensity(256, 256, 1);
  const TestPhase phase(3, 2);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::CountingHooks hooks;
    Sink sink;
    sink.limit = c.limit;
    sink.seekable = c.seekable;
    const File stream = open_sink(sink);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(write_data_stream(stream.get(), nullptr, nullptr, &intensity.map, &phase.map), c.code);
    EXPECT_EQ(hooks.allocations(), c.staging_buffers);
    EXPECT_EQ(sink.total, c.seekable ? c.limit : 0);
    EXPECT_EQ(hooks.live_blocks(), 0u);
  }

  test::TempDir dir;
  test::write_file(dir.file("existing"), Bytes{1, 2, 3});
  const File read_only(std::fopen(dir.file("existing").c_str(), "rb"));
  EXPECT_EQ(write_data_stream(read_only.get(), nullptr, nullptr, nullptr, &phase.map), ERR_CANT_WRITE_FILE);
  EXPECT_EQ(write_data_stream(nullptr, nullptr, nullptr, nullptr, &phase.map), ERR_INVALID_PARAM);
}

TEST(DataFileWriter, FailuresOfWriteDataFile) {
  enum class Path { normal, null, empty, missing_folder, full_device };
  const TestPhase good(3, 2);
  const TestIntensity small(4, 3, 5);
  PhaseMap no_data = good.map;
  no_data.data = nullptr;
  PhaseMap negative_width = good.map;
  negative_width.width = -3;
  PhaseMap negative_height = good.map;
  negative_height.height = -2;
  PhaseMap short_phase = good.map;
  short_phase.capacity = 5;
  IntensityMap negative_buckets = small.map;
  negative_buckets.buckets = -5;
  IntensityMap short_intensity = small.map;
  short_intensity.capacity = 59;
  IntensityMap huge_intensity = small.map;  // 32767 * 32767 * 3 * 2 bytes: no 32-bit size
  huge_intensity.width = huge_intensity.height = 32767;
  huge_intensity.buckets = 3;
  huge_intensity.capacity = std::numeric_limits<std::uint32_t>::max();

  struct Case {
    const char* name;
    Path path;
    const IntensityMap* intensity;
    const PhaseMap* phase;
    ErrorCode code;
    bool empty_file;
    int reason = 0;  // errno after a failure the system names
  };
  const Case cases[] = {
      {"null path", Path::null, nullptr, &good.map, ERR_INVALID_PARAM, false},
      {"empty path", Path::empty, nullptr, &good.map, ERR_CANT_CREATE_FILE, false, ENOENT},
      {"missing folder", Path::missing_folder, nullptr, &good.map, ERR_CANT_CREATE_FILE, false, ENOENT},
      {"full device", Path::full_device, nullptr, &good.map, ERR_CANT_WRITE_FILE, false, ENOSPC},
      {"no maps", Path::normal, nullptr, nullptr, ERR_INVALID_PARAM, true},
      {"phase without data", Path::normal, nullptr, &no_data, ERR_INVALID_PARAM, true},
      {"negative width", Path::normal, nullptr, &negative_width, ERR_PARAM_OUT_OF_RANGE, true},
      {"negative height", Path::normal, nullptr, &negative_height, ERR_PARAM_OUT_OF_RANGE, true},
      {"phase capacity", Path::normal, nullptr, &short_phase, ERR_PARAM_OUT_OF_RANGE, true},
      {"negative buckets", Path::normal, &negative_buckets, &good.map, ERR_PARAM_OUT_OF_RANGE, true},
      {"intensity capacity", Path::normal, &short_intensity, nullptr, ERR_PARAM_OUT_OF_RANGE, true},
      {"intensity too large", Path::normal, &huge_intensity, &good.map, ERR_PARAM_OUT_OF_RANGE, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.path == Path::full_device && !std::filesystem::exists("/dev/full")) continue;
    test::TempDir dir;
    const std::string normal = dir.file("out.dat");
    const std::string missing = dir.file("no/such/folder/out.dat");
    const char* path = c.path == Path::normal           ? normal.c_str()
                       : c.path == Path::null           ? nullptr
                       : c.path == Path::empty          ? ""
                       : c.path == Path::missing_folder ? missing.c_str()
                                                        : "/dev/full";
    test::CountingHooks hooks;
    errno = 0;
    EXPECT_EQ(write_data_file(path, nullptr, nullptr, c.intensity, c.phase), c.code);
    if (c.reason != 0) {
      EXPECT_EQ(errno, c.reason);
    }
    EXPECT_EQ(hooks.live_blocks(), 0u);
    if (c.path != Path::normal) {
      EXPECT_FALSE(std::filesystem::exists(normal));
    } else if (c.empty_file) {
      EXPECT_TRUE(test::read_file(normal).empty());
    }
  }
}

TEST(DataFileWriter, StagingAllocationFailures) {
  const TestIntensity intensity(4, 3, 5);
  const TestPhase phase(3, 2);
  struct Case {
    std::size_t fail_at;
    ErrorCode code;
    std::size_t file_size;  // the header, then whatever was written before the failure
  };
  const Case cases[] = {{1, ERR_NO_MEM, 834}, {2, ERR_NO_MEM, 834 + 120}, {0, NO_ERROR, 834 + 120 + 24}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fail_at);
    test::CountingHooks hooks(c.fail_at);
    const Written out = write_and_read(nullptr, nullptr, &intensity.map, &phase.map);
    EXPECT_EQ(out.code, c.code);
    EXPECT_EQ(out.bytes.size(), c.file_size);
    EXPECT_EQ(hooks.allocations(), c.fail_at == 0 ? 2u : c.fail_at);
    EXPECT_EQ(hooks.live_blocks(), 0u);
  }
}

// The largest map, 32767 x 32767 counts read from zero pages: its 32-bit
// block size is exact and the whole block goes through the staging chunks.
TEST(DataFileWriter, LargestPhaseMap) {
  constexpr std::size_t count = std::size_t{32767} * 32767;
  void* pages = mmap(nullptr, count * 4, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (pages == MAP_FAILED) GTEST_SKIP() << "no address space for 4 GiB";
  const PhaseMap phase{static_cast<std::uint32_t>(count), 0, 0, 32767, 32767,
                       static_cast<std::int32_t*>(pages)};
  Sink sink;
  sink.keep = 834;
  const File stream = open_sink(sink);
  EXPECT_EQ(write_data_stream(stream.get(), nullptr, nullptr, nullptr, &phase), NO_ERROR);
  munmap(pages, count * 4);
  EXPECT_EQ(slice(sink.head, 68, 8), (Bytes{0x7F, 0xFF, 0x7F, 0xFF, 0xFF, 0xFC, 0x00, 0x04}));
  EXPECT_EQ(sink.total, 834 + 4294705156u);
}

TEST(DataFileWriter, CallerRecordsUnchanged) {
  TestIntensity intensity(4, 3, 5);
  TestPhase phase(3, 2);
  DataFileHeader header;
  for (std::size_t i = 0; i < sizeof header; ++i) record_bytes(header)[i] = static_cast<unsigned char>(i + 1);
  SoftwareInfo software;
  std::memset(&software, 0x31, sizeof software);
  const DataFileHeader header_copy = header;
  const SoftwareInfo software_copy = software;
  const IntensityMap intensity_copy = intensity.map;
  const PhaseMap phase_copy = phase.map;
  const auto intensity_values = intensity.values;
  const auto phase_values = phase.values;
  ASSERT_EQ(write_and_read(&software, &header, &intensity.map, &phase.map).code, NO_ERROR);
  EXPECT_EQ(std::memcmp(&header, &header_copy, sizeof header), 0);
  EXPECT_EQ(std::memcmp(&software, &software_copy, sizeof software), 0);
  EXPECT_EQ(std::memcmp(&intensity.map, &intensity_copy, sizeof intensity_copy), 0);
  EXPECT_EQ(std::memcmp(&phase.map, &phase_copy, sizeof phase_copy), 0);
  EXPECT_EQ(intensity.values, intensity_values);
  EXPECT_EQ(phase.values, phase_values);
}

// "\xFF\xFE" then UTF-16LE units: the file gets the UTF-8 name.
TEST(DataFileWriter, ByteOrderMarkPath) {
  test::TempDir dir;
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  const std::string wide_name = test::wide_path(u"\u4E2D\u6587\u0141");
  const char* const wide = wide_name.c_str();
  const TestPhase phase(3, 2);
  ErrorCode no_memory = NO_ERROR;
  {
    // Without memory for the converted name the file cannot be opened: that
    // is a shortage of memory, not a name the system refused.
    test::CountingHooks hooks(1);
    no_memory = write_data_file(wide, nullptr, nullptr, nullptr, &phase.map);
  }
  const bool created_without_memory = !std::filesystem::is_empty(dir.path());
  const ErrorCode code = write_data_file(wide, nullptr, nullptr, nullptr, &phase.map);
  std::filesystem::current_path(previous);
  EXPECT_EQ(no_memory, ERR_NO_MEM);
  EXPECT_FALSE(created_without_memory);
  EXPECT_EQ(code, NO_ERROR);
  const std::string name = dir.file("\xE4\xB8\xAD\xE6\x96\x87\xC5\x81");
  ASSERT_TRUE(std::filesystem::exists(name));
  EXPECT_EQ(std::filesystem::file_size(name), 858u);
}

// Either mark, and names of ASCII units (whose high byte is zero), through
// both writers.
TEST(DataFileWriter, WidePathsAfterEitherMark) {
  test::TempDir dir;
  const TestPhase phase(3, 2);
  const struct {
    std::u16string units;
    std::string file;
  } names[] = {{u"wide.dat", "wide.dat"},
               {u"d\u00E9j\u00E0 \u4E2D.dat", "d\xC3\xA9j\xC3\xA0 \xE4\xB8\xAD.dat"}};
  for (const auto& name : names) {
    for (const bool reversed_mark : {false, true}) {
      for (const bool atomic : {false, true}) {
        SCOPED_TRACE(name.file + (reversed_mark ? ", FE FF" : ", FF FE") + (atomic ? ", atomic" : ""));
        const std::string path = test::wide_path(test::widen(dir.path()) + u"/" + name.units, reversed_mark);
        const ErrorCode code = atomic ? write_data_file_atomic(path.c_str(), OUTPUT_REPLACE, nullptr, nullptr,
                                                               nullptr, &phase.map)
                                      : write_data_file(path.c_str(), nullptr, nullptr, nullptr, &phase.map);
        EXPECT_EQ(code, NO_ERROR);
        EXPECT_EQ(test::listing(dir.path()), std::set<std::string>{name.file});
        std::filesystem::remove(dir.file(name.file));
      }
    }
  }
}

}  // namespace

// Reopening the holes puts every file byte back at its image position, and
// compacting again gives the file bytes back.
TEST(HeaderImage, ExpandIsTheInverseOfCompact) {
  for (const std::size_t size : {HEADER_SIZE_SHORT, HEADER_SIZE_LONG}) {
    SCOPED_TRACE(size);
    Bytes file(size);
    for (std::size_t i = 0; i < size; ++i) file[i] = static_cast<unsigned char>(i * 7 + 1);
    std::array<std::uint8_t, HEADER_IMAGE_SIZE> image;
    image.fill(0xAA);
    expand_header_image(file.data(), size, image.data());
    for (std::size_t offset = 0; offset < size; ++offset) {
      ASSERT_EQ(image[header_image_position(offset)], file[offset]) << offset;
    }
    for (const std::size_t hole : header_hole_positions()) {
      EXPECT_EQ(image[hole], 0);
      EXPECT_EQ(image[hole + 1], 0);
    }
    compact_header_image(image.data());
    EXPECT_TRUE(std::equal(file.begin(), file.end(), image.begin()));
  }
}
