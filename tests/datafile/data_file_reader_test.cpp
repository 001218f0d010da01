#include <fcntl.h>
#include <gtest/gtest.h>
#include <mapconv/data_file_reader.h>
#include <mapconv/data_file_writer.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "header_layout.h"
#include "test_support.h"

namespace {

// Which record bytes a file of the given format carries: the bytes of every
// field from offset 76 to the end of that format's header, not the holes.
std::vector<bool> carried_record_bytes(int format) {
  std::vector<bool> carried(sizeof(DataFileHeader), false);
  const std::size_t record_start = HEADER_RECORD_POSITION;
  const std::size_t header_end = format == 3 ? HEADER_SIZE_LONG : HEADER_SIZE_SHORT;
  for (const HeaderField& field : header_layout) {
    if (field.file_offset < HEADER_RECORD_FILE_OFFSET || field.file_offset >= header_end) continue;
    for (std::size_t i = 0; i < field.width; ++i) {
      carried[header_image_position(field.file_offset + i) - record_start] = true;
    }
  }
  return carried;
}

// Random contents that a file of the given format can hold.
struct RandomFile {
  SoftwareInfo software{};
  DataFileHeader header{};
  IntensityMap intensity{};
  PhaseMap phase{};
  std::vector<std::uint16_t> intensity_values;
  std::vector<std::int32_t> phase_values;

  RandomFile(int format, std::mt19937& random) {
    std::uniform_int_distribution<int> byte(0, 255);
    const auto small = [&](int low, int high) {
      return std::uniform_int_distribution<int>(low, high)(random);
    };
    std::vector<std::uint8_t> record(sizeof header, 0);
    const std::vector<bool> carried = carried_record_bytes(format);
    for (std::size_t i = 0; i < record.size(); ++i) {
      if (carried[i]) record[i] = static_cast<std::uint8_t>(byte(random));
    }
    if (format == 3) record[record.size() - 3] |= 1;  // the format rule's witness
    std::memcpy(&header, record.data(), sizeof header);
    if (format == 1) header.phase_resolution = static_cast<std::int16_t>(small(-32768, 1));
    if (format == 2) header.phase_resolution = static_cast<std::int16_t>(small(2, 32767));

    auto* software_bytes = reinterpret_cast<std::uint8_t*>(&software);
    for (std::size_t i = 0; i < sizeof software; ++i)
      software_bytes[i] = static_cast<std::uint8_t>(byte(random));

    const int blocks = small(1, 3);  // bit 0: intensity, bit 1: phase
    if (blocks & 1) {
      intensity = {0,
                   static_cast<std::int16_t>(small(-32768, 32767)),
                   static_cast<std::int16_t>(small(-5, 5)),
                   static_cast<std::int16_t>(small(1, 6)),
                   static_cast<std::int16_t>(small(1, 5)),
                   static_cast<std::int16_t>(small(1, 4)),
                   static_cast<std::uint16_t>(small(0, 65535)),
                   nullptr};
      intensity_values.resize(std::size_t(intensity.width) * intensity.height * intensity.buckets);
      for (auto& value : intensity_values) value = static_cast<std::uint16_t>(small(0, 65535));
      intensity.capacity = static_cast<std::uint32_t>(intensity_values.size());
      intensity.data = intensity_values.data();
    }
    if (blocks & 2) {
      phase = {0,
               static_cast<std::int16_t>(small(-5, 5)),
               static_cast<std::int16_t>(small(-32768, 32767)),
               static_cast<std::int16_t>(small(1, 7)),
               static_cast<std::int16_t>(small(1, 6)),
               nullptr};
      phase_values.resize(std::size_t(phase.width) * phase.height);
      for (auto& value : phase_values) {
        value = small(0, 3) == 0 ? PHASE_INVALID : static_cast<std::int32_t>(random());
      }
      phase.capacity = static_cast<std::uint32_t>(phase_values.size());
      phase.data = phase_values.data();
    }
  }
};

template <typename T>
bool same_bytes(const T& a, const T& b) {
  return std::memcmp(&a, &b, sizeof(T)) == 0;
}

TEST(DataFileReader, ReadsBackWhatTheWriterWroteAndWritesItAgainUnchanged) {
  std::mt19937 random(20261208);
  test::TempDir dir;
  for (int format = 1; format <= 3; ++format) {
    for (int trial = 0; trial < 40; ++trial) {
      SCOPED_TRACE(testing::Message() << "format " << format << " trial " << trial);
      const RandomFile file(format, random);
      const std::string first = dir.file("first.dat"), second = dir.file("second.dat");
      ASSERT_EQ(write_data_file(first.c_str(), &file.software, &file.header, &file.intensity, &file.phase),
                0);

      DataFileContents contents;
      ASSERT_EQ(read_data_file(first.c_str(), &contents), 0);
      EXPECT_EQ(contents.header_format, format);
      EXPECT_EQ(contents.header_size, format == 3 ? 4096 : 834);
      EXPECT_TRUE(same_bytes(contents.software, file.software));
      EXPECT_TRUE(same_bytes(contents.header, file.header));
      const IntensityMap& intensity = contents.intensity;
      EXPECT_EQ(intensity.origin_x, file.intensity.origin_x);
      EXPECT_EQ(intensity.origin_y, file.intensity.origin_y);
      EXPECT_EQ(intensity.width, file.intensity.width);
      EXPECT_EQ(intensity.height, file.intensity.height);
      EXPECT_EQ(intensity.buckets, file.intensity.buckets);
      EXPECT_EQ(intensity.range, file.intensity.range);
      EXPECT_EQ(intensity.capacity, file.intensity_values.size());
      EXPECT_EQ(std::vector<std::uint16_t>(intensity.data, intensity.data + intensity.capacity),
                file.intensity_values);
      const PhaseMap& phase = contents.phase;
      EXPECT_EQ(phase.origin_x, file.phase.origin_x);
      EXPECT_EQ(phase.origin_y, file.phase.origin_y);
      EXPECT_EQ(phase.width, file.phase.width);
      EXPECT_EQ(phase.height, file.phase.height);
      EXPECT_EQ(phase.capacity, file.phase_values.size());
      EXPECT_EQ(std::vector<std::int32_t>(phase.data, phase.data + phase.capacity), file.phase_values);

      EXPECT_EQ(write_data_file(second.c_str(), &contents.software, &contents.header, &contents.intensity,
                                &contents.phase),
                0);
      EXPECT_EQ(test::read_file(second), test::read_file(first));
      data_file_contents_release(&contents);
    }
  }
}

// A small valid file: format 1, a 2 x 2 x 1 intensity map and a 3 x 2 phase
// map (834 + 8 + 24 bytes).
test::Bytes small_file(const test::TempDir& dir) {
  DataFileHeader header{};
  header.phase_resolution = 1;
  header.wavelength = 6.328e-7f;
  std::uint16_t intensity_values[4] = {1, 2, 3, 4};
  std::int32_t phase_values[6] = {-1, 0, 1, PHASE_INVALID, 5, 6};
  const IntensityMap intensity{4, 0, 0, 2, 2, 1, 0, intensity_values};
  const PhaseMap phase{6, 0, 0, 3, 2, phase_values};
  const std::string path = dir.file("small.dat");
  EXPECT_EQ(write_data_file(path.c_str(), nullptr, &header, &intensity, &phase), 0);
  return test::read_file(path);
}

ErrorCode read_bytes(const test::TempDir& dir, const test::Bytes& bytes) {
  const std::string path = dir.file("input.dat");
  test::write_file(path, bytes);
  test::CountingHooks hooks;
  DataFileContents contents;
  const ErrorCode code = read_data_file(path.c_str(), &contents);
  if (code != NO_ERROR) {
    EXPECT_EQ(contents.phase.data, nullptr);
    EXPECT_EQ(contents.intensity.data, nullptr);
  }
  data_file_contents_release(&contents);
  EXPECT_EQ(hooks.live_blocks(), 0u);
  return code;
}

TEST(DataFileReader, FileCutAnywhereIsPrematureEnd) {
  test::TempDir dir;
  const test::Bytes whole = small_file(dir);
  ASSERT_EQ(whole.size(), 866u);
  ASSERT_EQ(read_bytes(dir, whole), NO_ERROR);
  for (std::size_t length = 0; length < whole.size(); ++length) {
    EXPECT_EQ(read_bytes(dir, test::Bytes(whole.begin(), whole.begin() + length)), ERR_PREMATURE_EOF)
        << length;
  }
}

TEST(DataFileReader, RejectsInconsistentFiles) {
  test::TempDir dir;
  const test::Bytes good = small_file(dir);
  struct Case {
    const char* what;
    std::size_t offset;
    std::vector<unsigned char> bytes;
  };
  const Case patches[] = {
      {"unknown magic number", 0, {0x88, 0x1B, 0x03, 0x72}},
      {"text file", 0, {'h', 'e', 'l', 'l', 'o'}},
      {"header_format 2 under magic 1", 4, {0x00, 0x02}},
      {"magic 2 over header_format 1", 0, {0x88, 0x1B, 0x03, 0x70}},
      {"header_size 4096 in a short header", 6, {0x00, 0x00, 0x10, 0x00}},
      {"negative phase width", 68, {0xFF, 0xFD}},
      {"negative intensity buckets", 56, {0xFF, 0xFF}},
      {"phase_bytes too large", 72, {0x00, 0x00, 0x00, 0x1C}},
      {"intensity_bytes too small", 60, {0x00, 0x00, 0x00, 0x06}},
      {"phase_resolution 2 in format 1", 218, {0x00, 0x02}},
      {"intensity range without an intensity block", 0, {}},
  };
  for (const Case& c : patches) {
    test::Bytes bad = good;
    std::copy(c.bytes.begin(), c.bytes.end(), bad.begin() + static_cast<std::ptrdiff_t>(c.offset));
    if (c.bytes.empty()) {
      // Drop the intensity block but keep a range value.
      bad.erase(bad.begin() + 834, bad.begin() + 842);
      std::fill(bad.begin() + 48, bad.begin() + 64, 0);
      bad[59] = 7;
    }
    EXPECT_EQ(read_bytes(dir, bad), ERR_NOT_A_DATA_FILE) << c.what;
  }

  test::Bytes trailing = good;
  trailing.push_back(0);
  EXPECT_EQ(read_bytes(dir, trailing), ERR_NOT_A_DATA_FILE) << "trailing byte";

  test::Bytes header_only(good.begin(), good.begin() + 834);
  std::fill(header_only.begin() + 48, header_only.begin() + 76, 0);
  EXPECT_EQ(read_bytes(dir, header_only), ERR_NOT_A_DATA_FILE) << "no block";

  // Format 3 whose extension is all zero, as the writer makes it for a record
  // whose trailing bytes alone ask for format 3: read, and written back the same.
  test::Bytes long_header = good;
  long_header.insert(long_header.begin() + 834, 4096 - 834, 0);
  const unsigned char format_3[] = {0x88, 0x1B, 0x03, 0x71, 0x00, 0x03, 0x00, 0x00, 0x10, 0x00};
  std::copy(std::begin(format_3), std::end(format_3), long_header.begin());
  for (const std::size_t set_byte : {std::size_t{0}, std::size_t{4095}}) {
    test::Bytes bytes = long_header;
    if (set_byte != 0) bytes[set_byte] = 1;
    const std::string path = dir.file("format3.dat"), again = dir.file("again.dat");
    test::write_file(path, bytes);
    DataFileContents contents;
    ASSERT_EQ(read_data_file(path.c_str(), &contents), NO_ERROR) << set_byte;
    std::remove(again.c_str());
    EXPECT_EQ(write_data_file(again.c_str(), &contents.software, &contents.header, &contents.intensity,
                              &contents.phase),
              NO_ERROR);
    EXPECT_EQ(test::read_file(again), bytes) << "format 3, byte " << set_byte;
    data_file_contents_release(&contents);
  }
}

TEST(DataFileReader, EveryFailedAllocationIsReportedWithoutLeaks) {
  test::TempDir dir;
  const test::Bytes good = small_file(dir);
  const std::string path = dir.file("good.dat");
  test::write_file(path, good);
  for (std::size_t fail_at = 1;; ++fail_at) {
    test::CountingHooks hooks(fail_at);
    DataFileContents contents;
    const ErrorCode code = read_data_file(path.c_str(), &contents);
    data_file_contents_release(&contents);
    EXPECT_EQ(hooks.live_blocks(), 0u);
    if (code == NO_ERROR) {
      EXPECT_GT(fail_at, 2u);  // both blocks were allocated
      break;
    }
    ASSERT_EQ(code, ERR_NO_MEM) << fail_at;
  }
}

TEST(DataFileReader, ReportsMissingFilesAndArguments) {
  test::TempDir dir;
  DataFileContents contents;
  EXPECT_EQ(read_data_file(dir.file("missing.dat").c_str(), &contents), ERR_CANT_OPEN_FILE);
  EXPECT_EQ(read_data_file(nullptr, &contents), ERR_INVALID_PARAM);
  EXPECT_EQ(read_data_file(dir.file("missing.dat").c_str(), nullptr), ERR_INVALID_PARAM);
  // A read the system fails, in the header and in a block: errno says why.
  errno = 0;
  EXPECT_EQ(read_data_file("/proc/self/mem", &contents), ERR_CANT_READ_FILE);
  EXPECT_EQ(errno, EIO);
  test::Bytes large = small_file(dir);
  large.resize(834);
  large[69] = 40;  // phase map 40 x 40, past the stream's first buffer
  large[71] = 40;
  large[72] = large[73] = 0;
  large[74] = 0x19;
  large[75] = 0x00;
  std::fill(large.begin() + 48, large.begin() + 64, 0);
  large.resize(834 + 40 * 40 * 4, 0);
  const std::string path = dir.file("large.dat");
  test::write_file(path, large);
  ASSERT_EQ(read_bytes(dir, large), NO_ERROR);
  test::CountingHooks hooks;
  // The first block is allocated once the header was read.
  static std::string failing;
  failing = path;
  memory_hooks.allocate = [](std::size_t size) {
    if (!failing.empty()) test::fail_reads_after(test::descriptor_of(std::exchange(failing, "")), 0);
    return std::malloc(size);
  };
  errno = 0;
  EXPECT_EQ(read_data_file(path.c_str(), &contents), ERR_CANT_READ_FILE);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(contents.phase.data, nullptr);
}

// A phase block large enough to be read in two halves side by side, whose
// second half the system fails to read: its reason is reported as a failure
// of the first half would be. Once the intensity block is read, the file's
// descriptor is pointed at this process's memory, where pages are mapped at
// the addresses of the first half's file offsets and none after.
TEST(DataFileReader, AReadFailureInTheSecondHalfKeepsItsReason) {
  test::TempDir dir;
  const std::string path = dir.file("halves.dat");
  std::vector<std::uint16_t> intensity(256 * 256, 7);
  std::vector<std::int32_t> counts(256 * 256, 5);
  const IntensityMap intensity_map{
      static_cast<std::uint32_t>(intensity.size()), 0, 0, 256, 256, 1, 0, intensity.data()};
  const PhaseMap phase{static_cast<std::uint32_t>(counts.size()), 0, 0, 256, 256, counts.data()};
  ASSERT_EQ(write_data_file(path.c_str(), nullptr, nullptr, &intensity_map, &phase), NO_ERROR);
  const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  const std::size_t phase_offset = 834 + intensity.size() * 2;
  const std::size_t first_half_end = phase_offset + counts.size() / 2 * 4;
  const std::size_t start = phase_offset / page * page;
  const std::size_t length = (first_half_end + page - 1) / page * page - start;
  void* const area = mmap(reinterpret_cast<void*>(start), length, PROT_READ,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
  if (area != reinterpret_cast<void*>(start)) {
    if (area != MAP_FAILED) munmap(area, length);
    GTEST_SKIP() << "the addresses of the file offsets are taken here";
  }
  static std::string failing;
  failing = path;
  const MemoryHooks saved = memory_hooks;
  memory_hooks.allocate = [](std::size_t size) {
    // The phase block, allocated after the intensity block was read.
    if (size == 256 * 256 * 4 && !failing.empty()) {
      const int fd = test::descriptor_of(std::exchange(failing, ""));
      const int memory = open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
      if (fd < 0 || memory < 0 || dup2(memory, fd) < 0) std::abort();
      close(memory);
    }
    return std::malloc(size);
  };
  DataFileContents contents;
  errno = 0;
  const ErrorCode code = read_data_file(path.c_str(), &contents);
  const int reason = errno;
  memory_hooks = saved;
  munmap(area, length);
  EXPECT_TRUE(failing.empty()) << "the phase block was never allocated";
  EXPECT_EQ(code, ERR_CANT_READ_FILE);
  EXPECT_EQ(reason, EIO);
  EXPECT_EQ(contents.phase.data, nullptr);
}

// From a pipe the length is unknown: the blocks grow with the bytes that
// arrive, so a header claiming the largest block costs little, and a whole
// file reads as it does from disk.
TEST(DataFileReader, PipeReadsGrowWithTheBytesThatArrive) {
  test::TempDir dir;
  // Large enough that a file on disk is read in halves of several pieces.
  test::Bytes whole(834 + 500 * 301 * 4, 0);
  const test::Bytes small = small_file(dir);
  std::copy(small.begin(), small.begin() + 834, whole.begin());
  std::fill(whole.begin() + 48, whole.begin() + 64, 0);
  const unsigned char geometry[] = {0x01, 0xF4, 0x01, 0x2D, 0x00, 0x09, 0x2F, 0x90};  // 500 x 301
  std::copy(std::begin(geometry), std::end(geometry), whole.begin() + 68);
  for (std::size_t i = 834; i < whole.size(); ++i)
    whole[i] = static_cast<unsigned char>((i * 7) ^ (i >> 9));  // no short period
  test::Bytes huge(whole.begin(), whole.begin() + 834);
  const unsigned char largest[] = {0x7F, 0xFF, 0x7F, 0xFF, 0xFF, 0xFC, 0x00, 0x04};  // 32767 x 32767
  std::copy(std::begin(largest), std::end(largest), huge.begin() + 68);
  const std::string pipe = dir.file("pipe");
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  const std::string on_disk = dir.file("whole.dat");
  test::write_file(on_disk, whole);
  DataFileContents expected;
  ASSERT_EQ(read_data_file(on_disk.c_str(), &expected), NO_ERROR);
  for (const test::Bytes* bytes : {&whole, &huge}) {
    test::CountingHooks hooks;
    std::thread writer([&] { test::write_to_pipe(pipe, *bytes); });
    DataFileContents contents;
    const ErrorCode code = read_data_file(pipe.c_str(), &contents);
    writer.join();
    if (bytes == &huge) {
      EXPECT_EQ(code, ERR_PREMATURE_EOF);
      EXPECT_LE(hooks.largest_request(), std::size_t{1} << 20);
    } else {
      ASSERT_EQ(code, NO_ERROR);
      EXPECT_EQ(std::vector<std::int32_t>(contents.phase.data, contents.phase.data + 150500),
                std::vector<std::int32_t>(expected.phase.data, expected.phase.data + 150500));
    }
    data_file_contents_release(&contents);
    EXPECT_EQ(hooks.live_blocks(), 0u);
  }
  data_file_contents_release(&expected);
}

// The length a header promises, from the first bytes alone.
TEST(DataFileReader, LengthFromTheFirstBytes) {
  test::TempDir dir;
  const test::Bytes good = small_file(dir);
  test::Bytes bad = good;
  bad[72] = 1;  // phase_bytes no longer the geometry's
  const struct {
    const test::Bytes* bytes;
    std::size_t size;
    ErrorCode code;
    std::uint64_t length;
  } cases[] = {
      {&good, 3, ERR_PREMATURE_EOF, 0}, {&good, 833, ERR_PREMATURE_EOF, 834},  {&good, 834, NO_ERROR, 866},
      {&good, 866, NO_ERROR, 866},      {&bad, 834, ERR_NOT_A_DATA_FILE, 834},
  };
  for (const auto& c : cases) {
    std::uint64_t length = 99;
    EXPECT_EQ(data_file_length(c.bytes->data(), c.size, &length), c.code) << c.size;
    EXPECT_EQ(length, c.length) << c.size;
  }
  const unsigned char text[] = "XDT?";
  std::uint64_t length = 0;
  EXPECT_EQ(data_file_length(text, 4, &length), ERR_NOT_A_DATA_FILE);
}

// A data file is told by its magic number, and nothing but a regular file is
// opened: a FIFO would wait for its writer, and lose its bytes to the look.
TEST(DataFileReader, TellsADataFileByItsFirstBytesAlone) {
  test::TempDir dir;
  const test::Bytes good = small_file(dir);
  test::write_file(dir.file("whole.dat"), good);
  test::write_file(dir.file("magic.dat"), test::Bytes(good.begin(), good.begin() + 4));
  test::write_file(dir.file("three.dat"), test::Bytes(good.begin(), good.begin() + 3));
  test::write_file(dir.file("grid.xdt"),
                   test::xdt_bytes(2, 2, test::grid(2, 2, 1e-6f, [](int, int) { return 0.0f; })));
  ASSERT_EQ(mkfifo(dir.file("pipe").c_str(), 0600), 0);
  const struct {
    std::string path;
    bool data_file;
  } cases[] = {
      {dir.file("whole.dat"), true}, {dir.file("magic.dat"), true}, {dir.file("three.dat"), false},
      {dir.file("grid.xdt"), false}, {dir.file("missing"), false},  {dir.path(), false},
      {dir.file("pipe"), false},
  };
  for (const auto& c : cases) {
    errno = ERANGE;
    EXPECT_EQ(starts_as_data_file(c.path.c_str()), c.data_file) << c.path;
    EXPECT_EQ(errno, ERANGE) << c.path;
  }
}

}  // namespace
