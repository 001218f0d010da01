#include <fcntl.h>
#include <gtest/gtest.h>
#include <mapconv/data_file_writer.h>
#include <mapconv/file_kind.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <string>
#include <thread>

#include "test_support.h"

namespace {

// A data file with a 2 x 2 phase map: of format 1 (834 + 16 bytes), or of
// the format the header's fields select.
test::Bytes small_data_file(const test::TempDir& dir, DataFileHeader header = {}) {
  header.wavelength = 6.328e-7f;
  std::int32_t phase_values[4] = {0, 1, 2, 3};
  const PhaseMap phase{4, 0, 0, 2, 2, phase_values};
  const std::string path = dir.file("small.dat");
  EXPECT_EQ(write_data_file(path.c_str(), nullptr, &header, nullptr, &phase), 0);
  return test::read_file(path);
}

void put_be(test::Bytes* bytes, std::size_t offset, std::uint32_t value, int width) {
  for (int i = 0; i < width; ++i)
    (*bytes)[offset + i] = static_cast<unsigned char>(value >> (8 * (width - 1 - i)));
}

// The largest maps a header can describe: 32767 x 32767 phase counts and as
// many intensities in two buckets, block lengths just within 32 bits, the
// file's length beyond them.
test::Bytes largest_header(test::Bytes bytes) {
  put_be(&bytes, 52, 32767, 2);  // intensity width, height, buckets
  put_be(&bytes, 54, 32767, 2);
  put_be(&bytes, 56, 2, 2);
  put_be(&bytes, 60, 4294705156u, 4);  // intensity bytes
  put_be(&bytes, 68, 32767, 2);        // phase width, height
  put_be(&bytes, 70, 32767, 2);
  put_be(&bytes, 72, 4294705156u, 4);  // phase bytes
  bytes.resize(834);
  return bytes;
}

test::Bytes bytes_of(std::initializer_list<unsigned char> list) { return test::Bytes(list); }

}  // namespace

TEST(FileKind, FromTheFirstBytes) {
  test::TempDir dir;
  const test::Bytes data = small_data_file(dir);
  test::Bytes bad = data;
  bad[73] ^= 1;  // phase bytes no longer the geometry's
  DataFileHeader header{};
  header.phase_resolution = 2;
  const test::Bytes format_2 = small_data_file(dir, header);
  header.fields_838[0] = 1;  // a field only format 3 carries
  const test::Bytes format_3 = small_data_file(dir, header);
  test::Bytes past_format_3(format_3.begin(), format_3.begin() + 4);
  ++past_format_3[3];  // the magic numbers are consecutive: one past the last is none
  const test::Bytes largest = largest_header(data);
  const test::Bytes grid = test::xdt_bytes(2, 3, test::grid(2, 3, 1e-6f, [](int, int) { return 0.0f; }));
  const struct {
    const char* what;
    test::Bytes bytes;
    std::size_t size;  // of bytes, the first ones
    ErrorCode code;
    std::int32_t kind;
    std::uint64_t length;
    std::int32_t columns, rows;
  } cases[] = {
      {"nothing", {}, 0, ERR_PREMATURE_EOF, FILE_KIND_UNKNOWN, 0, 0, 0},
      {"three bytes of a magic number", data, 3, ERR_PREMATURE_EOF, FILE_KIND_UNKNOWN, 0, 0, 0},
      {"format 1 magic alone", data, 4, ERR_PREMATURE_EOF, FILE_KIND_DATA_FILE, 834, 0, 0},
      {"format 1 header but one byte", data, 833, ERR_PREMATURE_EOF, FILE_KIND_DATA_FILE, 834, 0, 0},
      {"format 1 header", data, 834, NO_ERROR, FILE_KIND_DATA_FILE, 850, 0, 0},
      {"format 1 whole file", data, data.size(), NO_ERROR, FILE_KIND_DATA_FILE, 850, 0, 0},
      {"format 2 magic alone", format_2, 4, ERR_PREMATURE_EOF, FILE_KIND_DATA_FILE, 834, 0, 0},
      {"format 3 magic alone", format_3, 4, ERR_PREMATURE_EOF, FILE_KIND_DATA_FILE, 4096, 0, 0},
      {"format 3 whole file", format_3, format_3.size(), NO_ERROR, FILE_KIND_DATA_FILE, 4096 + 16, 0, 0},
      {"inconsistent header", bad, 834, ERR_NOT_A_DATA_FILE, FILE_KIND_DATA_FILE, 0, 0, 0},
      {"largest maps", largest, 834, NO_ERROR, FILE_KIND_DATA_FILE, 834 + 2 * 4294705156ull, 0, 0},
      {"XDT counts alone", grid, 4, NO_ERROR, FILE_KIND_XDT, 4 + 12 * 6, 2, 3},
      // A ZIP local header is X3P whatever follows; its length is in its directory.
      {"ZIP local header", bytes_of({'P', 'K', 3, 4, 20, 0}), 6, NO_ERROR, FILE_KIND_X3P, 0, 0, 0},
      {"ZIP header alone", bytes_of({'P', 'K', 3, 4}), 4, NO_ERROR, FILE_KIND_X3P, 0, 0, 0},
      {"ZIP central directory first", bytes_of({'P', 'K', 1, 2}), 4, NO_ERROR, FILE_KIND_XDT,
       4 + 12ull * 0x4B50 * 0x0201, 0x4B50, 0x0201},
      {"XDT whole grid", grid, grid.size(), NO_ERROR, FILE_KIND_XDT, 4 + 12 * 6, 2, 3},
      {"largest XDT grid", bytes_of({0xFF, 0x7F, 0xFF, 0x7F}), 4, NO_ERROR, FILE_KIND_XDT,
       4 + 12ull * 32767 * 32767, 32767, 32767},
      {"XDT with one column", bytes_of({1, 0, 2, 0}), 4, ERR_PARAM_OUT_OF_RANGE, FILE_KIND_XDT, 0, 1, 2},
      {"XDT with 32768 rows", bytes_of({2, 0, 0x00, 0x80}), 4, ERR_PARAM_OUT_OF_RANGE, FILE_KIND_XDT, 0, 2,
       32768},
      {"one past a magic number", past_format_3, 4, NO_ERROR, FILE_KIND_XDT, 4 + 12ull * 0x1B88 * 0x7203,
       0x1B88, 0x7203},
  };
  for (const auto& c : cases) {
    FileKindInfo info{FILE_KIND_XDT, 99, 99, 99};
    EXPECT_EQ(file_kind_of_bytes(c.bytes.data(), c.size, &info), c.code) << c.what;
    EXPECT_EQ(info.kind, c.kind) << c.what;
    EXPECT_EQ(info.length, c.length) << c.what;
    EXPECT_EQ(info.columns, c.columns) << c.what;
    EXPECT_EQ(info.rows, c.rows) << c.what;
  }
  FileKindInfo info{};
  EXPECT_EQ(file_kind_of_bytes(nullptr, 4, &info), ERR_INVALID_PARAM);
  EXPECT_EQ(file_kind_of_bytes(data.data(), 4, nullptr), ERR_INVALID_PARAM);
}

// Only a regular file is opened: a FIFO would wait for its writer, and lose
// its bytes to the look.
TEST(FileKind, OfAFileAtAPath) {
  test::TempDir dir;
  const test::Bytes data = small_data_file(dir);
  test::write_file(dir.file("whole.dat"), data);
  test::write_file(dir.file("cut.dat"), test::Bytes(data.begin(), data.begin() + 100));
  test::write_file(dir.file("two.xdt"), bytes_of({2, 0}));
  test::write_file(dir.file("grid.xdt"),
                   test::xdt_bytes(3, 2, test::grid(3, 2, 1e-6f, [](int, int) { return 0.0f; })));
  ASSERT_EQ(mkfifo(dir.file("pipe").c_str(), 0600), 0);
  // Should the FIFO be opened after all, a writer comes and feeds it a data
  // file, so that the row fails rather than waits.
  std::signal(SIGPIPE, SIG_IGN);
  bool opened = false;
  std::thread writer([&] {
    for (int tries = 0; tries < 50; ++tries) {
      const int fd = open(dir.file("pipe").c_str(), O_WRONLY | O_NONBLOCK);
      if (fd >= 0) {
        opened = true;
        EXPECT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
        close(fd);
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  const struct {
    std::string path;
    ErrorCode code;
    std::int32_t kind;
    std::uint64_t length;
    int error;  // errno after a failure
  } cases[] = {
      {dir.file("whole.dat"), NO_ERROR, FILE_KIND_DATA_FILE, 850, 0},
      {dir.file("cut.dat"), ERR_PREMATURE_EOF, FILE_KIND_DATA_FILE, 834, 0},
      {dir.file("two.xdt"), ERR_PREMATURE_EOF, FILE_KIND_UNKNOWN, 0, 0},
      {dir.file("grid.xdt"), NO_ERROR, FILE_KIND_XDT, 4 + 12 * 6, 0},
      {dir.file("pipe"), NO_ERROR, FILE_KIND_UNKNOWN, 0, 0},
      {dir.file("missing"), ERR_CANT_OPEN_FILE, FILE_KIND_UNKNOWN, 0, ENOENT},
      {dir.path(), ERR_CANT_OPEN_FILE, FILE_KIND_UNKNOWN, 0, EISDIR},
      {"/proc/self/mem", ERR_CANT_READ_FILE, FILE_KIND_UNKNOWN, 0, EIO},  // a regular file whose reads fail
  };
  for (const auto& c : cases) {
    errno = ERANGE;
    FileKindInfo info{FILE_KIND_XDT, 99, 99, 99};
    EXPECT_EQ(file_kind_of_path(c.path.c_str(), &info), c.code) << c.path;
    EXPECT_EQ(errno, c.error != 0 ? c.error : ERANGE) << c.path;
    EXPECT_EQ(info.kind, c.kind) << c.path;
    EXPECT_EQ(info.length, c.length) << c.path;
  }
  writer.join();
  EXPECT_FALSE(opened) << "the FIFO was opened";
  FileKindInfo info{};
  EXPECT_EQ(file_kind_of_path(nullptr, &info), ERR_INVALID_PARAM);
}

// The words mapinfo and the Python module give for a failed read.
TEST(FileKind, WordsForAFailedRead) {
  const struct {
    ErrorCode code;
    FileKind kind;
    int error;
    const char* said;
    const char* words;
  } cases[] = {
      {ERR_CANT_READ_FILE, FILE_KIND_XDT, EIO, nullptr, "cannot read the file: Input/output error"},
      {ERR_CANT_READ_FILE, FILE_KIND_XDT, 0, nullptr, "cannot read the file"},
      {ERR_CANT_READ_FILE, FILE_KIND_XDT, EIO, "Error reading point 3 of 4: Input/output error",
       "cannot read the file: Error reading point 3 of 4: Input/output error"},
      {ERR_PREMATURE_EOF, FILE_KIND_DATA_FILE, 0, "", "data file is cut short"},
      {ERR_PREMATURE_EOF, FILE_KIND_XDT, 0, "EOF reading point 2 of 4",
       "not a data file, and cut short as an XDT file: EOF reading point 2 of 4"},
      {ERR_PREMATURE_EOF, FILE_KIND_UNKNOWN, 0, nullptr, "the file ends early"},
      {ERR_PREMATURE_EOF, FILE_KIND_UNKNOWN, 0, "EOF reading point 2 of 4", "EOF reading point 2 of 4"},
      {ERR_PARAM_OUT_OF_RANGE, FILE_KIND_XDT, 0, "Num Cols = 1 is too small",
       "not a data file, and not a valid XDT file: Num Cols = 1 is too small"},
      {ERR_PARAM_OUT_OF_RANGE, FILE_KIND_XDT, 0, nullptr,
       "not a data file, and not a valid XDT file (grid size or lateral resolution out of range)"},
      {ERR_NOT_A_DATA_FILE, FILE_KIND_DATA_FILE, 0, nullptr,
       "not a valid data file (inconsistent header or block lengths)"},
      {ERR_NOT_A_DATA_FILE, FILE_KIND_UNKNOWN, 0, nullptr, "not a data file"},
      {ERR_NO_MEM, FILE_KIND_DATA_FILE, 0, nullptr, "not enough memory"},
      {ERR_CANT_WRITE_FILE, FILE_KIND_UNKNOWN, 0, nullptr, "failed"},
      {ERR_NOT_IMPLEMENTED, FILE_KIND_X3P, 0, nullptr,
       "an X3P file, which needs the X3P library (built where libarchive, libxml2 and libcrypto are found)"},
      {ERR_CORRUPT_DATA_FILE, FILE_KIND_X3P, 0, nullptr, "a damaged X3P file"},
      // The X3P reader's line says it all; no XDT words for its range.
      {ERR_PARAM_OUT_OF_RANGE, FILE_KIND_X3P, 0, "its increments do not fit", "its increments do not fit"},
      {ERR_CANT_READ_FILE, FILE_KIND_X3P, EIO, nullptr, "cannot read the file: Input/output error"},
  };
  for (const auto& c : cases) {
    char text[200];
    describe_read_failure(c.code, c.kind, c.error, c.said, text, sizeof text);
    EXPECT_STREQ(text, c.words) << c.code << " " << c.kind;
  }
  // Cut to fit, and nothing written where there is no room.
  char small[8] = "xxxxxxx";
  describe_read_failure(ERR_PREMATURE_EOF, FILE_KIND_DATA_FILE, 0, nullptr, small, sizeof small);
  EXPECT_STREQ(small, "data fi");
  describe_read_failure(ERR_PREMATURE_EOF, FILE_KIND_DATA_FILE, 0, nullptr, small, 0);
  EXPECT_STREQ(small, "data fi");
}
