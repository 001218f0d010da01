// The streaming writer against the whole-map one: the same maps written in
// pieces of any length, with the header first or last, give the same bytes;
// misuse and failures leave no file behind.
#include <gtest/gtest.h>
#include <mapconv/data_file_writer.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using test::Bytes;

struct Maps {
  std::vector<std::uint16_t> intensity_values;
  std::vector<std::int32_t> phase_values;
  IntensityMap intensity{};
  PhaseMap phase{};
  DataFileHeader header{};
  SoftwareInfo software{};

  Maps(std::int16_t width, std::int16_t height, std::int16_t buckets, std::int16_t phase_resolution,
       bool long_header) {
    intensity_values.resize(static_cast<std::size_t>(width * height * buckets));
    phase_values.resize(static_cast<std::size_t>(width * height));
    for (std::size_t i = 0; i < intensity_values.size(); ++i)
      intensity_values[i] = static_cast<std::uint16_t>(i * 40503u);
    for (std::size_t i = 0; i < phase_values.size(); ++i)
      phase_values[i] = static_cast<std::int32_t>(i * 0x9E3779B1u);
    intensity = {static_cast<std::uint32_t>(intensity_values.size()), 3, 4, width, height, buckets, 4095,
                 buckets > 0 ? intensity_values.data() : nullptr};
    phase = {static_cast<std::uint32_t>(phase_values.size()), 1, 2, width, height, phase_values.data()};
    header.wavelength = 6.328e-7f;
    header.phase_resolution = phase_resolution;
    if (long_header) reinterpret_cast<unsigned char*>(&header)[sizeof header - 3] = 9;
    software.first_value = 7;
  }
};

// Writes the maps through a stream in pieces of the given length.
ErrorCode write_in_pieces(const std::string& path, const Maps& maps, std::size_t piece, bool header_first) {
  DataFileStream stream;
  const IntensityMap* intensity = maps.intensity.data != nullptr ? &maps.intensity : nullptr;
  ErrorCode code = data_file_stream_begin(path.c_str(), 0, choose_header_format(&maps.header), intensity,
                                          &maps.phase, &stream);
  if (code != NO_ERROR) return code;
  if (header_first) code = data_file_stream_write_header(&stream, &maps.software, &maps.header);
  for (std::size_t at = 0; code == NO_ERROR && intensity != nullptr && at < maps.intensity_values.size();
       at += piece) {
    const std::size_t n = std::min(piece, maps.intensity_values.size() - at);
    code = data_file_stream_write_intensity(&stream, maps.intensity_values.data() + at, n);
  }
  for (std::size_t at = 0; code == NO_ERROR && at < maps.phase_values.size(); at += piece) {
    const std::size_t n = std::min(piece, maps.phase_values.size() - at);
    code = data_file_stream_write_phase(&stream, maps.phase_values.data() + at, n);
  }
  if (code == NO_ERROR && !header_first)
    code = data_file_stream_write_header(&stream, &maps.software, &maps.header);
  if (code == NO_ERROR) return data_file_stream_commit(&stream);
  data_file_stream_discard(&stream);
  return code;
}

TEST(DataFileStream, PiecesGiveTheWholeMapBytes) {
  const test::TempDir dir;
  const struct {
    std::int16_t width, height, buckets, phase_resolution;
    bool long_header;
  } shapes[] = {{3, 2, 0, 1, false}, {5, 4, 3, 2, false}, {300, 250, 1, 1, true}, {600, 500, 0, 1, false}};
  for (const auto& shape : shapes) {
    const Maps maps(shape.width, shape.height, shape.buckets, shape.phase_resolution, shape.long_header);
    const std::string whole = dir.file("whole.dat");
    ASSERT_EQ(write_data_file(whole.c_str(), &maps.software, &maps.header,
                              maps.intensity.data != nullptr ? &maps.intensity : nullptr, &maps.phase),
              NO_ERROR);
    const Bytes expected = test::read_file(whole);
    const std::string atomic = dir.file("atomic.dat");
    ASSERT_EQ(write_data_file_atomic(atomic.c_str(), OUTPUT_REPLACE, &maps.software, &maps.header,
                                     maps.intensity.data != nullptr ? &maps.intensity : nullptr, &maps.phase),
              NO_ERROR);
    EXPECT_EQ(test::read_file(atomic), expected);
    for (const std::size_t piece :
         {std::size_t{1}, std::size_t{7}, std::size_t{65536}, std::size_t{1} << 20}) {
      for (const bool header_first : {true, false}) {
        SCOPED_TRACE(std::to_string(shape.width) + " x " + std::to_string(shape.height) + ", pieces of " +
                     std::to_string(piece) + (header_first ? ", header first" : ", header last"));
        const std::string path = dir.file("pieces.dat");
        std::filesystem::remove(path);
        ASSERT_EQ(write_in_pieces(path, maps, piece, header_first), NO_ERROR);
        EXPECT_EQ(test::read_file(path), expected);
      }
    }
  }
}

// Every misuse is refused, and a stream that is not committed leaves nothing.
TEST(DataFileStream, MisuseIsRefusedAndLeavesNoFile) {
  const test::TempDir dir;
  const Maps maps(4, 3, 2, 1, false);
  const std::string path = dir.file("out.dat");
  const struct {
    const char* name;
    ErrorCode (*misuse)(DataFileStream*, const Maps&);
  } cases[] = {
      {"phase before intensity",
       [](DataFileStream* s, const Maps& m) {
         return data_file_stream_write_phase(s, m.phase_values.data(), 1);
       }},
      {"too many values",
       [](DataFileStream* s, const Maps& m) {
         return data_file_stream_write_intensity(s, m.intensity_values.data(), m.intensity_values.size() + 1);
       }},
      {"header of another format",
       [](DataFileStream* s, const Maps& m) {
         DataFileHeader other = m.header;
         other.phase_resolution = 2;
         return data_file_stream_write_header(s, nullptr, &other);
       }},
      {"commit with blocks missing",
       [](DataFileStream* s, const Maps& m) {
         data_file_stream_write_header(s, nullptr, &m.header);
         return data_file_stream_commit(s);
       }},
      {"commit with the phase block one value short",
       [](DataFileStream* s, const Maps& m) {
         data_file_stream_write_header(s, nullptr, &m.header);
         data_file_stream_write_intensity(s, m.intensity_values.data(), m.intensity_values.size());
         data_file_stream_write_phase(s, m.phase_values.data(), m.phase_values.size() - 1);
         return data_file_stream_commit(s);
       }},
      {"commit without a header",
       [](DataFileStream* s, const Maps& m) {
         data_file_stream_write_intensity(s, m.intensity_values.data(), m.intensity_values.size());
         data_file_stream_write_phase(s, m.phase_values.data(), m.phase_values.size());
         return data_file_stream_commit(s);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DataFileStream stream;
    ASSERT_EQ(data_file_stream_begin(path.c_str(), 0, 1, &maps.intensity, &maps.phase, &stream), NO_ERROR);
    EXPECT_EQ(c.misuse(&stream, maps), ERR_INVALID_PARAM);
    data_file_stream_discard(&stream);
    data_file_stream_discard(&stream);
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
  }
  DataFileStream stream;
  EXPECT_EQ(data_file_stream_begin(path.c_str(), 0, 4, nullptr, &maps.phase, &stream), ERR_INVALID_PARAM);
  EXPECT_EQ(data_file_stream_begin(path.c_str(), 0, 1, nullptr, nullptr, &stream), ERR_INVALID_PARAM);
}

// The name is checked again at the commit; a device takes the header first.
TEST(DataFileStream, NameTakenMeanwhileAndDevices) {
  const test::TempDir dir;
  const Maps maps(4, 3, 0, 1, false);
  const std::string path = dir.file("out.dat");
  DataFileStream stream;
  ASSERT_EQ(data_file_stream_begin(path.c_str(), 0, 1, nullptr, &maps.phase, &stream), NO_ERROR);
  ASSERT_EQ(data_file_stream_write_phase(&stream, maps.phase_values.data(), maps.phase_values.size()),
            NO_ERROR);
  ASSERT_EQ(data_file_stream_write_header(&stream, nullptr, &maps.header), NO_ERROR);
  test::write_file(path, Bytes{'m', 'i', 'n', 'e'});
  EXPECT_EQ(data_file_stream_commit(&stream), ERR_CANT_CREATE_FILE);
  EXPECT_TRUE(stream.name_taken);
  EXPECT_EQ(test::read_file(path), (Bytes{'m', 'i', 'n', 'e'}));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);

  ASSERT_EQ(data_file_stream_begin("/dev/null", 0, 1, nullptr, &maps.phase, &stream), NO_ERROR);
  EXPECT_TRUE(stream.in_order);
  EXPECT_EQ(data_file_stream_write_phase(&stream, maps.phase_values.data(), 1), ERR_INVALID_PARAM);
  EXPECT_EQ(data_file_stream_write_header(&stream, nullptr, &maps.header), NO_ERROR);
  EXPECT_EQ(data_file_stream_write_phase(&stream, maps.phase_values.data(), maps.phase_values.size()),
            NO_ERROR);
  EXPECT_EQ(data_file_stream_commit(&stream), NO_ERROR);

  ASSERT_EQ(data_file_stream_begin("/dev/full", 0, 1, nullptr, &maps.phase, &stream), NO_ERROR);
  EXPECT_EQ(data_file_stream_write_header(&stream, nullptr, &maps.header), ERR_CANT_WRITE_FILE);
  EXPECT_EQ(data_file_stream_commit(&stream), ERR_CANT_WRITE_FILE);
}

// Every allocation of a whole write failing in turn: ERR_NO_MEM, no file,
// nothing held.
TEST(DataFileStream, AllocationFailuresLeaveNothing) {
  const test::TempDir dir;
  const Maps maps(4, 3, 2, 1, false);
  const std::string path = dir.file("out.dat");
  for (std::size_t fail_at = 1;; ++fail_at) {
    SCOPED_TRACE("allocation " + std::to_string(fail_at));
    const test::CountingHooks hooks(fail_at);
    const ErrorCode code =
        write_data_file_atomic(path.c_str(), 0, nullptr, &maps.header, &maps.intensity, &maps.phase);
    EXPECT_EQ(hooks.live_blocks(), 0u);
    if (code == NO_ERROR) break;
    EXPECT_EQ(code, ERR_NO_MEM);
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
  }
}

}  // namespace
