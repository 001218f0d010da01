#include <fcntl.h>
#include <gtest/gtest.h>
#include <mapconv/xdt_reader.h>
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace {

using test::Bytes;
using test::XdtPoint;

constexpr float QUIET_NAN = std::numeric_limits<float>::quiet_NaN();
constexpr float INFINITE = std::numeric_limits<float>::infinity();

struct Outcome {
  ErrorCode code = -1;
  std::int32_t columns = -1;
  std::int32_t rows = -1;
  std::vector<std::uint32_t> height_bits;  // compared bit for bit, NaN included
  float resolution = -1.0f;
  std::string errors;  // everything printed on stderr
};

// Reads path with counting hooks, checks that a failure leaves 0, 0, null,
// 0.0 and that nothing stays allocated once the caller releases the heights.
// A mark other than -1.0 goes to read_xdt_file_marked.
Outcome read(const std::string& path, bool swap = false, float no_data = -1.0f) {
  test::CountingHooks hooks;
  Outcome out;
  static float sentinel = 0.0f;
  float* heights = &sentinel;  // must be overwritten on every path
  testing::internal::CaptureStderr();
  out.code = no_data == -1.0f
                 ? read_xdt_file(path.c_str(), &out.columns, &out.rows, &heights, &out.resolution, swap)
                 : read_xdt_file_marked(path.c_str(), &out.columns, &out.rows, &heights, &out.resolution,
                                        swap, no_data);
  out.errors = testing::internal::GetCapturedStderr();
  if (out.code == NO_ERROR) {
    const std::size_t count = static_cast<std::size_t>(out.columns) * static_cast<std::size_t>(out.rows);
    for (std::size_t i = 0; i < count; ++i)
      out.height_bits.push_back(std::bit_cast<std::uint32_t>(heights[i]));
    memory_hooks.release(heights);
  } else {
    EXPECT_EQ(out.columns, 0);
    EXPECT_EQ(out.rows, 0);
    EXPECT_EQ(heights, nullptr);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(out.resolution), 0u);
  }
  EXPECT_EQ(hooks.live_blocks(), 0u);
  return out;
}

class XdtReader : public testing::Test {
 protected:
  std::string write(const Bytes& bytes) {
    const std::string path = dir_.file("grid" + std::to_string(++files_) + ".xdt");
    test::write_file(path, bytes);
    return path;
  }
  Outcome read_bytes(const Bytes& bytes, bool swap = false) { return read(write(bytes), swap); }

  // Reads the grid from a file in host order, from one in big-endian order
  // (swapped), and through a pipe, whose size is unknown, so that the block
  // grows as points arrive; each must give the plain reading's outcome.
  void expect_every_way_reads(int columns, int rows, const std::vector<XdtPoint>& points,
                              const Outcome& expected) {
    const std::string fifo = dir_.file("pipe" + std::to_string(++files_));
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const int way : {0, 1, 2}) {
      const bool big_endian = way == 1;
      SCOPED_TRACE(way == 2 ? "through a pipe" : big_endian ? "big-endian, swapped" : "host order");
      const Bytes bytes = test::xdt_bytes(columns, rows, points, big_endian);
      std::thread writer;
      if (way == 2) writer = std::thread([&] { test::write_to_pipe(fifo, bytes); });
      const Outcome out = way == 2 ? read(fifo) : read_bytes(bytes, big_endian);
      if (writer.joinable()) writer.join();
      ASSERT_EQ(out.code, NO_ERROR);
      EXPECT_EQ(out.errors, "");
      EXPECT_EQ(out.columns, columns);
      EXPECT_EQ(out.rows, rows);
      EXPECT_EQ(std::bit_cast<std::uint32_t>(out.resolution),
                std::bit_cast<std::uint32_t>(expected.resolution));
      ASSERT_EQ(out.height_bits.size(), expected.height_bits.size());
      for (std::size_t i = 0; i < expected.height_bits.size(); ++i) {
        ASSERT_EQ(out.height_bits[i], expected.height_bits[i]) << "element " << i;
      }
    }
  }

  test::TempDir dir_;
  int files_ = 0;
};

// Points with x = column * spacing where valid(row, column), else z = -1.
std::vector<XdtPoint> pattern(int columns, int rows, float spacing,
                              const std::function<bool(int, int)>& valid) {
  return test::grid(columns, rows, spacing, [&](int r, int k) { return valid(r, k) ? 0.5f : -1.0f; });
}

float expected_resolution(float first_x, float last_x, int first, int last) {
  return static_cast<float>(static_cast<double>(last_x - first_x) / static_cast<double>(last - first));
}

TEST_F(XdtReader, CountLimitsOnBothSides) {
  struct Case {
    int columns;
    int rows;
    ErrorCode code;
    const char* errors;
  };
  const Case cases[] = {
      {0, 2, ERR_PARAM_OUT_OF_RANGE, "Num Cols = 0 is too small\n"},
      {1, 2, ERR_PARAM_OUT_OF_RANGE, "Num Cols = 1 is too small\n"},
      {2, 2, NO_ERROR, ""},
      {32767, 2, NO_ERROR, ""},
      {32768, 2, ERR_PARAM_OUT_OF_RANGE, "Num Cols = 32768 is too large\n"},
      {65535, 2, ERR_PARAM_OUT_OF_RANGE, "Num Cols = 65535 is too large\n"},
      {2, 1, ERR_PARAM_OUT_OF_RANGE, "Num Rows = 1 is too small\n"},
      {2, 32767, NO_ERROR, ""},
      {2, 32768, ERR_PARAM_OUT_OF_RANGE, "Num Rows = 32768 is too large\n"},
      {2, 65535, ERR_PARAM_OUT_OF_RANGE, "Num Rows = 65535 is too large\n"},
      {65535, 1, ERR_PARAM_OUT_OF_RANGE, "Num Cols = 65535 is too large\n"},
      {1, 65535, ERR_PARAM_OUT_OF_RANGE, "Num Cols = 1 is too small\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.columns << " x " << c.rows);
    // Accepted sizes get all their points; refused ones must not need them.
    const auto points = c.code == NO_ERROR
                            ? test::grid(c.columns, c.rows, 1.0f, [](int, int) { return 0.0f; })
                            : std::vector<XdtPoint>{};
    const Outcome out = read_bytes(test::xdt_bytes(c.columns, c.rows, points));
    EXPECT_EQ(out.code, c.code);
    EXPECT_EQ(out.errors, c.errors);
    if (c.code == NO_ERROR) {
      EXPECT_EQ(out.columns, c.columns);
      EXPECT_EQ(out.rows, c.rows);
      EXPECT_EQ(out.resolution, 1.0f);
    }
  }
}

TEST_F(XdtReader, FileShorterThanItsCountsFailsSilently) {
  const Bytes whole = test::xdt_bytes(2, 2, {});
  for (std::size_t size = 0; size < 4; ++size) {
    const Outcome out = read_bytes(Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(size)));
    EXPECT_EQ(out.code, ERR_PREMATURE_EOF) << size;
    EXPECT_EQ(out.errors, "") << size;
  }
}

struct Truncation {
  int columns;
  int rows;
  std::size_t bytes;  // file size after the cut
  const char* errors;
};

// The same cuts must give the same report whether or not the size is known
// up front, and a partial record counts as missing.
const Truncation kTruncations[] = {
    {2, 2, 4, "EOF reading point 1 of 4\n"},
    {2, 2, 4 + 2 * 12, "EOF reading point 3 of 4\n"},
    {2, 2, 4 + 2 * 12 + 5, "EOF reading point 3 of 4\n"},
    {2, 2, 4 + 4 * 12 - 1, "EOF reading point 4 of 4\n"},
    // Around one and two read buffers of a grid that needs three.
    {700, 300, 4 + 87381 * 12, "EOF reading point 87382 of 210000\n"},
    {700, 300, 4 + 87381 * 12 + 11, "EOF reading point 87382 of 210000\n"},
    {700, 300, 4 + 87382 * 12 + 1, "EOF reading point 87383 of 210000\n"},
    {700, 300, 4 + 174762 * 12 + 3, "EOF reading point 174763 of 210000\n"},
    {700, 300, 4 + 209999 * 12 + 11, "EOF reading point 210000 of 210000\n"},
};

Bytes truncated(const Truncation& t) {
  Bytes bytes =
      test::xdt_bytes(t.columns, t.rows, test::grid(t.columns, t.rows, 1.0f, [](int, int) { return 1.0f; }));
  bytes.resize(t.bytes);
  return bytes;
}

TEST_F(XdtReader, TruncatedFileNamesTheFirstMissingPoint) {
  for (const Truncation& t : kTruncations) {
    const Outcome out = read_bytes(truncated(t));
    EXPECT_EQ(out.code, ERR_PREMATURE_EOF) << t.bytes;
    EXPECT_EQ(out.errors, t.errors);
  }
}

TEST_F(XdtReader, TruncatedStreamOfUnknownSizeIsReportedWhileReading) {
  const std::string fifo = dir_.file("pipe");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const Truncation& t : kTruncations) {
    const Bytes bytes = truncated(t);
    std::thread writer([&] { test::write_to_pipe(fifo, bytes); });
    const Outcome out = read(fifo);
    writer.join();
    EXPECT_EQ(out.code, ERR_PREMATURE_EOF) << t.bytes;
    EXPECT_EQ(out.errors, t.errors);
  }
}

// A file cut or failing after the open checked its size: the whole read,
// in two halves, names the first missing point as the stream would.
TEST_F(XdtReader, FileChangingAfterItsSizeWasCheckedIsReportedAsTheStreamWould) {
  static std::string path;
  static std::size_t cut;  // 0: every read fails instead
  static int allocations;
  std::vector<Truncation> cases;
  std::copy_if(std::begin(kTruncations), std::end(kTruncations), std::back_inserter(cases),
               [](const Truncation& t) { return t.columns == 700; });
  cases.push_back({700, 300, 0, "Error reading point 1 of 210000: Input/output error\n"});
  for (const Truncation& t : cases) {
    path = write(test::xdt_bytes(700, 300, test::grid(700, 300, 1.0f, [](int, int) { return 1.0f; })));
    cut = t.bytes;
    allocations = 0;
    const MemoryHooks saved = memory_hooks;
    memory_hooks.allocate = [](std::size_t size) {
      if (++allocations == 2 && cut != 0) {
        EXPECT_EQ(truncate(path.c_str(), static_cast<off_t>(cut)), 0);
      } else if (allocations == 2) {
        test::fail_reads_after(test::descriptor_of(path), 0);
      }
      return std::malloc(size);
    };
    std::int32_t columns, rows;
    float* heights;
    float resolution;
    testing::internal::CaptureStderr();
    errno = 0;
    const ErrorCode code = read_xdt_file(path.c_str(), &columns, &rows, &heights, &resolution, false);
    const int reason = errno;
    memory_hooks = saved;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), t.errors);
    EXPECT_EQ(code, cut == 0 ? ERR_CANT_READ_FILE : ERR_PREMATURE_EOF);
    if (cut == 0) {
      EXPECT_EQ(reason, EIO);
    }
  }
}

// The second half failing alone, after the first was read whole: its
// reason is the one left in errno. No thread can be had here (every new
// thread asks for an impossible stack), so the halves are read one after
// the other, and the check asked before each half's one read makes the
// descriptor fail between them.
TEST_F(XdtReader, SecondHalfFailingAloneLeavesItsReasonInErrno) {
  static std::string path;
  static int checks;
  // 200 x 200 points: two halves of 20000, each one read buffer.
  path = write(test::xdt_bytes(200, 200, test::grid(200, 200, 1.0f, [](int, int) { return 1.0f; })));
  checks = 0;
  const auto fail_second_half = [](void*, bool signalled) {
    if (!signalled && ++checks == 2) test::fail_reads_after(test::descriptor_of(path), 0);
    return false;
  };
  const InterruptCheck check{fail_second_half, nullptr};
  pthread_attr_t saved;
  pthread_attr_t huge;
  ASSERT_EQ(pthread_getattr_default_np(&saved), 0);
  ASSERT_EQ(pthread_attr_init(&huge), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&huge, std::size_t{1} << 62), 0);
  ASSERT_EQ(pthread_setattr_default_np(&huge), 0);
  std::int32_t columns, rows;
  float* heights;
  float resolution;
  testing::internal::CaptureStderr();
  errno = 0;
  const ErrorCode code =
      read_xdt_file_watched(path.c_str(), &columns, &rows, &heights, &resolution, false, -1.0f, &check);
  const int reason = errno;
  EXPECT_EQ(pthread_setattr_default_np(&saved), 0);
  pthread_attr_destroy(&huge);
  pthread_attr_destroy(&saved);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Error reading point 20001 of 40000: Input/output error\n");
  EXPECT_EQ(code, ERR_CANT_READ_FILE);
  EXPECT_EQ(reason, EIO);
  EXPECT_EQ(checks, 2);
  EXPECT_EQ(heights, nullptr);
}

TEST_F(XdtReader, TinyFileClaimingTheLargestGridFailsWithoutAllocating) {
  const std::vector<XdtPoint> two(2, XdtPoint{0.0f, 0.0f, 1.0f});
  const std::string path = write(test::xdt_bytes(32767, 32767, two));
  test::CountingHooks hooks;
  std::int32_t columns, rows;
  float* heights;
  float resolution;
  const auto start = std::chrono::steady_clock::now();
  testing::internal::CaptureStderr();
  EXPECT_EQ(read_xdt_file(path.c_str(), &columns, &rows, &heights, &resolution, false), ERR_PREMATURE_EOF);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "EOF reading point 3 of 1073676289\n");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  EXPECT_EQ(hooks.allocations(), 0u);

  // From a pipe the size is unknown: memory follows the points that arrive.
  const std::string fifo = dir_.file("pipe");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::thread writer([&] { test::write_to_pipe(fifo, test::xdt_bytes(32767, 32767, two)); });
  testing::internal::CaptureStderr();
  EXPECT_EQ(read_xdt_file(fifo.c_str(), &columns, &rows, &heights, &resolution, false), ERR_PREMATURE_EOF);
  writer.join();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "EOF reading point 3 of 1073676289\n");
  EXPECT_LE(hooks.largest_request(), std::size_t{1} << 20);
  EXPECT_EQ(hooks.live_blocks(), 0u);
}

// A read the system fails is no short file: its reason is printed and left
// in errno, and the code is ERR_CANT_READ_FILE.
TEST_F(XdtReader, ReadErrorsAreReportedWithTheSystemsReason) {
  const Outcome counts = read("/proc/self/mem");
  EXPECT_EQ(counts.code, ERR_CANT_READ_FILE);
  EXPECT_EQ(counts.errors, "Error reading the grid size: Input/output error\n");
  const struct {
    std::size_t good_bytes;
    const char* errors;
  } cases[] = {
      {0, "Error reading point 1 of 4: Input/output error\n"},
      {2 * 12 + 5, "Error reading point 3 of 4: Input/output error\n"},
  };
  const std::string path =
      write(test::xdt_bytes(2, 2, test::grid(2, 2, 1.0f, [](int, int) { return 0.0f; })));
  for (const auto& c : cases) {
    XdtStream stream;
    ASSERT_EQ(xdt_stream_open(path.c_str(), false, &stream), NO_ERROR);
    test::fail_reads_after(fileno(stream.file), c.good_bytes);
    float heights[4];
    std::size_t count = 9;
    testing::internal::CaptureStderr();
    errno = 0;
    EXPECT_EQ(xdt_stream_read(&stream, heights, 4, &count), ERR_CANT_READ_FILE);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.errors);
    EXPECT_EQ(count, 0u);
    xdt_stream_close(&stream);
  }
}

TEST_F(XdtReader, BytesAfterTheLastPointAreIgnored) {
  Bytes bytes = test::xdt_bytes(2, 2, test::grid(2, 2, 0.25f, [](int r, int k) { return float(r * 2 + k); }));
  bytes.insert(bytes.end(), {1, 2, 3, 4, 5, 6, 7});
  const Outcome out = read_bytes(bytes);
  EXPECT_EQ(out.code, NO_ERROR);
  EXPECT_EQ(out.errors, "");
  const float expected[] = {0.0f, 1.0f, 2.0f, 3.0f};
  ASSERT_EQ(out.height_bits.size(), 4u);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(std::bit_cast<float>(out.height_bits[i]), expected[i]);
  EXPECT_EQ(out.resolution, 0.25f);
}

TEST_F(XdtReader, SpanComesFromTheLastRowThatWidenedIt) {
  struct Case {
    const char* name;
    int columns;
    int rows;
    std::function<bool(int, int)> valid;
    std::function<float(int, int)> x;  // x of the point at (row, column)
    bool resolved;
    float resolution;
  };
  const auto by_row = [](float first_row, float later) {
    return [=](int r, int k) { return static_cast<float>(k) * (r == 0 ? first_row : later); };
  };
  const Case cases[] = {
      {"every point without data", 4, 3, [](int, int) { return false; }, by_row(1, 1), false, 0},
      {"one valid point per row", 4, 3, [](int r, int k) { return k == r; }, by_row(1, 1), false, 0},
      {"a later single point narrows the span to one column", 12, 3,
       [](int r, int k) { return (r == 0 && k >= 5 && k <= 10) || (r == 1 && k == 2); }, by_row(1, 1), false,
       0},
      {"a row with two points after the single one takes over", 12, 3,
       [](int r, int k) {
         return (r == 0 && k >= 5 && k <= 10) || (r == 1 && k == 2) || (r == 2 && (k == 4 || k == 6));
       },
       by_row(1, 3), true, 3.0f},
      {"narrower rows keep the first row", 10, 3, [](int r, int k) { return r == 0 || (k >= 2 && k <= 7); },
       [](int r, int k) { return r == 0 ? 0.1f * static_cast<float>(k) : 5.0f * static_cast<float>(k); },
       true, expected_resolution(0.0f, 0.1f * 9, 0, 9)},
      {"a wider last column replaces the whole span", 10, 2,
       [](int r, int k) { return r == 0 ? k <= 5 : (k >= 3 && k <= 8); }, by_row(1, 2), true, 2.0f},
      {"a wider first column alone replaces the whole span", 10, 2,
       [](int r, int k) { return r == 0 ? (k >= 2 && k <= 9) : (k >= 1 && k <= 3); }, by_row(1, 0.5f), true,
       0.5f},
      {"a single point beyond the span does not replace it", 8, 2,
       [](int r, int k) { return r == 0 ? k <= 3 : k == 6; }, by_row(1, 5), true, 1.0f},
      {"an equal row does not replace", 6, 2, [](int, int) { return true; }, by_row(1, 7), true, 1.0f},
      {"x falling along the row", 5, 2, [](int, int) { return true; }, by_row(-0.5f, -0.5f), true, -0.5f},
      {"middle points do not count", 5, 2, [](int, int) { return true; },
       [](int, int k) { return k == 0   ? 0.0f
                               : k == 4 ? 8.0f
                                        : 1000.0f; }, true, 2.0f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<XdtPoint> points = pattern(c.columns, c.rows, 1.0f, c.valid);
    for (int r = 0; r < c.rows; ++r) {
      for (int k = 0; k < c.columns; ++k) points[r * c.columns + k].x = c.x(r, k);
    }
    const Outcome out = read_bytes(test::xdt_bytes(c.columns, c.rows, points));
    if (c.resolved) {
      EXPECT_EQ(out.code, NO_ERROR);
      EXPECT_EQ(out.errors, "");
      EXPECT_EQ(std::bit_cast<std::uint32_t>(out.resolution), std::bit_cast<std::uint32_t>(c.resolution));
    } else {
      EXPECT_EQ(out.code, ERR_PARAM_OUT_OF_RANGE);
      EXPECT_EQ(out.errors, "Could not calculate lateral resolution\n");
    }
  }
}

TEST_F(XdtReader, ResolutionIsTheFloatDifferenceOverTheColumnSpan) {
  const struct {
    float first_x;
    float last_x;
    int columns;
    std::uint32_t bits;
  } cases[] = {
      {0.0f, 0.9f, 10, 0x3DCCCCCCu},  // one step below 0.1f
      {1e-8f, 1.0f, 8, 0x3E124925u},  // a double difference would give ...924
      // A float difference would overflow: the span is then taken in double.
      {-3e38f, 3e38f, 3, std::bit_cast<std::uint32_t>(3e38f)},
      {3e38f, -3e38f, 3, std::bit_cast<std::uint32_t>(-3e38f)},
  };
  for (const auto& c : cases) {
    std::vector<XdtPoint> points = pattern(c.columns, 2, 1.0f, [](int r, int) { return r == 0; });
    points[0].x = c.first_x;
    points[c.columns - 1].x = c.last_x;
    const Outcome out = read_bytes(test::xdt_bytes(c.columns, 2, points));
    ASSERT_EQ(out.code, NO_ERROR);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(out.resolution), c.bits) << c.last_x;
  }
}

TEST_F(XdtReader, NonFiniteResolutionIsRefused) {
  const struct {
    float first_x;
    float last_x;
    int columns = 3;
  } cases[] = {{QUIET_NAN, 1.0f},    {0.0f, QUIET_NAN},  {0.0f, INFINITE},  {-INFINITE, 0.0f},
               {INFINITE, INFINITE}, {-3e38f, 3e38f, 2}, {3e38f, -3e38f, 2}};
  for (const auto& c : cases) {
    const int n = c.columns;
    std::vector<XdtPoint> points = pattern(n, 2, 1.0f, [](int, int) { return true; });
    points[0].x = points[n].x = c.first_x;
    points[n - 1].x = points[2 * n - 1].x = c.last_x;
    const Outcome out = read_bytes(test::xdt_bytes(n, 2, points));
    EXPECT_EQ(out.code, ERR_PARAM_OUT_OF_RANGE) << c.first_x << " " << c.last_x;
    EXPECT_EQ(out.errors, "Could not calculate lateral resolution\n");
  }
}

TEST_F(XdtReader, HeightsKeepValidValuesBitForBitAndMarkTheRest) {
  const float payload_nan = std::bit_cast<float>(0x7FC01234u);
  const float negative_nan = std::bit_cast<float>(0xFFC00001u);
  const float z[] = {-1.0f,     -0.999f,  -5.0f, payload_nan, negative_nan,
                     -INFINITE, INFINITE, -0.0f, 2.5e-39f,    -1.0000001f};
  const float stored[] = {-1.0f, -0.999f,  -1.0f, payload_nan, negative_nan,
                          -1.0f, INFINITE, -0.0f, 2.5e-39f,    -1.0f};
  std::vector<XdtPoint> points;
  for (int k = 0; k < 10; ++k) points.push_back({static_cast<float>(k), 0.0f, 0.0f});
  for (int k = 0; k < 10; ++k) points.push_back({static_cast<float>(k), 1.0f, z[k]});
  const Outcome out = read_bytes(test::xdt_bytes(10, 2, points));
  ASSERT_EQ(out.code, NO_ERROR);
  for (int k = 0; k < 10; ++k) {
    EXPECT_EQ(out.height_bits[10 + k], std::bit_cast<std::uint32_t>(stored[k])) << k;
  }
}

// The whole grid read one record at a time, the plain way.
Outcome reference(int columns, int rows, const std::vector<XdtPoint>& points) {
  Outcome out{NO_ERROR, columns, rows, {}, 0.0f, ""};
  int first = columns, last = -1;
  float first_x = 0, last_x = 0;
  for (int r = 0; r < rows; ++r) {
    int row_first = columns, row_last = -1;
    float row_first_x = 0, row_last_x = 0;
    for (int k = 0; k < columns; ++k) {
      const XdtPoint& p = points[static_cast<std::size_t>(r) * columns + k];
      if (p.z <= -1.0f) {
        out.height_bits.push_back(std::bit_cast<std::uint32_t>(-1.0f));
        continue;
      }
      out.height_bits.push_back(std::bit_cast<std::uint32_t>(p.z));
      if (row_first == columns) {
        row_first = k;
        row_first_x = p.x;
      } else {
        row_last = k;
        row_last_x = p.x;
      }
    }
    if (row_first < first || row_last > last) {
      first = row_first, last = row_last, first_x = row_first_x, last_x = row_last_x;
    }
  }
  out.resolution = expected_resolution(first_x, last_x, first, last);
  return out;
}

TEST_F(XdtReader, GridSpanningSeveralBuffersMatchesAPlainReadingInBothByteOrders) {
  const int columns = 700, rows = 300;
  // A mix of valid, no-data and NaN heights; rows of varying valid spans so
  // the chosen span changes at a row that straddles a buffer boundary.
  std::vector<XdtPoint> points = test::grid(columns, rows, 0.013f, [](int r, int k) {
    const unsigned h = static_cast<unsigned>(r * 7919 + k * 104729) % 1000u;
    if (h < 150) return -1.0f - static_cast<float>(h);
    if (h == 999) return QUIET_NAN;
    return static_cast<float>(h) * 0.37f - 30.0f;
  });
  for (int r = 0; r < rows; ++r) {
    const int margin = r == 124 ? 0 : r == 250 ? 1 : 3;  // row 124 holds records 86800-87499
    for (int k = 0; k < margin; ++k) points[static_cast<std::size_t>(r) * columns + k].z = -1.0f;
    points[static_cast<std::size_t>(r) * columns + columns - 1 - margin].z = 1.0f;
    points[static_cast<std::size_t>(r) * columns + margin].z = 1.0f;
    if (r == 124) points[static_cast<std::size_t>(r) * columns + columns - 1].x = 99.0f;
  }
  const Outcome expected = reference(columns, rows, points);
  ASSERT_EQ(std::bit_cast<std::uint32_t>(expected.resolution),
            std::bit_cast<std::uint32_t>(expected_resolution(0.0f, 99.0f, 0, columns - 1)));
  expect_every_way_reads(columns, rows, points, expected);
}

TEST_F(XdtReader, SwappedFailuresMatchTheirHostOrderTwins) {
  const struct {
    int columns;
    int rows;
    std::size_t points;
    const char* errors;
  } cases[] = {
      {1, 3, 0, "Num Cols = 1 is too small\n"},
      {3, 40000, 0, "Num Rows = 40000 is too large\n"},
      {3, 2, 4, "EOF reading point 5 of 6\n"},
  };
  for (const auto& c : cases) {
    const std::vector<XdtPoint> points(c.points, XdtPoint{1.0f, 2.0f, 3.0f});
    const Outcome little = read_bytes(test::xdt_bytes(c.columns, c.rows, points, false), false);
    const Outcome big = read_bytes(test::xdt_bytes(c.columns, c.rows, points, true), true);
    EXPECT_EQ(little.errors, c.errors);
    EXPECT_EQ(big.errors, c.errors);
    EXPECT_EQ(big.code, little.code);
  }
}

TEST_F(XdtReader, InvalidParametersAreRefusedBeforeAnythingIsTouched) {
  const std::string path =
      write(test::xdt_bytes(2, 2, test::grid(2, 2, 1.0f, [](int, int) { return 0.0f; })));
  std::int32_t columns = 7, rows = 8;
  float value = 0.0f;
  float* heights = &value;
  float resolution = 9.0f;
  const struct {
    const char* path;
    std::int32_t* columns;
    std::int32_t* rows;
    float** heights;
    float* resolution;
  } cases[] = {
      {nullptr, &columns, &rows, &heights, &resolution},
      {"", &columns, &rows, &heights, &resolution},
      {path.c_str(), nullptr, &rows, &heights, &resolution},
      {path.c_str(), &columns, nullptr, &heights, &resolution},
      {path.c_str(), &columns, &rows, nullptr, &resolution},
      {path.c_str(), &columns, &rows, &heights, nullptr},
  };
  for (const auto& c : cases) {
    test::CountingHooks hooks;
    EXPECT_EQ(read_xdt_file(c.path, c.columns, c.rows, c.heights, c.resolution, false), ERR_INVALID_PARAM);
    EXPECT_EQ(hooks.allocations(), 0u);
    EXPECT_EQ(columns, 7);
    EXPECT_EQ(rows, 8);
    EXPECT_EQ(heights, &value);
    EXPECT_EQ(resolution, 9.0f);
  }
}

TEST_F(XdtReader, PathsThatAreNoReadableFileCannotBeOpened) {
  EXPECT_EQ(read(dir_.file("missing.xdt")).code, ERR_CANT_OPEN_FILE);
  EXPECT_EQ(read(dir_.path()).code, ERR_CANT_OPEN_FILE);
  // A byte-order mark is not honoured here: the name is taken as it is.
  const std::string marked = dir_.file(
      "\xFF\xFE"
      "a");
  test::write_file(marked, test::xdt_bytes(2, 2, test::grid(2, 2, 1.0f, [](int, int) { return 0.0f; })));
  EXPECT_EQ(read(marked).code, NO_ERROR);
}

TEST_F(XdtReader, AllocationFailureLeavesNothingBehind) {
  const std::string path =
      write(test::xdt_bytes(3, 2, test::grid(3, 2, 1.0f, [](int, int) { return 0.0f; })));
  for (std::size_t fail_at = 1; fail_at <= 3; ++fail_at) {
    test::CountingHooks hooks(fail_at);
    std::int32_t columns = 7, rows = 8;
    float value = 0.0f;
    float* heights = &value;
    float resolution = 9.0f;
    testing::internal::CaptureStderr();
    EXPECT_EQ(read_xdt_file(path.c_str(), &columns, &rows, &heights, &resolution, false), ERR_NO_MEM)
        << fail_at;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(columns, 0);
    EXPECT_EQ(rows, 0);
    EXPECT_EQ(heights, nullptr);
    EXPECT_EQ(resolution, 0.0f);
    EXPECT_EQ(hooks.live_blocks(), 0u);
  }
  // The read buffer comes first, with the open, then the height block (one
  // float per point), once the file is known to hold every point.
  const struct {
    std::size_t fail_at;
    std::size_t size;
  } requests[] = {{1, 6 * 12}, {2, 6 * sizeof(float)}};
  for (const auto& [fail_at, size] : requests) {
    test::CountingHooks hooks(fail_at);
    std::int32_t columns, rows;
    float* heights;
    float resolution;
    read_xdt_file(path.c_str(), &columns, &rows, &heights, &resolution, false);
    EXPECT_EQ(hooks.last_request(), size) << fail_at;
  }
}

// Rows as wide as the format allows span several read buffers, so a row's
// first and last valid points can lie in different chunks, with chunks of
// nothing but no-data points between them. Each row has its own spacing, so
// the resolution tells which row's span was chosen.
TEST_F(XdtReader, RowsWiderThanAReadBufferMatchAPlainReading) {
  const int columns = 32767, rows = 14;
  const auto kind_of = [](int r) { return r % 7; };
  std::vector<XdtPoint> points = test::grid(columns, rows, 1.0f, [&](int r, int k) {
    const int a = (r * 2741) % 1000;
    const int b = columns - 1 - (r * 977) % 3000;
    switch (kind_of(r)) {
      case 0:
        return -1.0f;  // nothing valid
      case 1:
        return k == (r * 7919) % columns ? 0.25f : -1.0f;  // one point
      case 2:
        return k == a || k == b ? 0.5f : -1.0f;  // both ends only
      case 3:
        return k >= 21000 && k < 22900 ? 0.75f : -2.0f;  // a band
      case 4:
        return (k * 7 + r) % 11 == 0 ? QUIET_NAN : 1e-3f * (k % 5);  // all valid, some NaN
      case 5:
        return k > 40 && (k * 31 + r) % 3 == 0 ? 1e-4f : -1.0f;  // scattered
      default:
        return k > columns - 3 ? 0.1f : -1.0f;  // two at the very end
    }
  });
  for (int r = 0; r < rows; ++r) {
    for (int k = 0; k < columns; ++k) {
      points[static_cast<std::size_t>(r) * columns + k].x = static_cast<float>(k) * (1.0f + 0.125f * r);
    }
  }
  const Outcome expected = reference(columns, rows, points);
  expect_every_way_reads(columns, rows, points, expected);
}

// Reads path through the stream in pieces of at most capacity heights, with
// the outcome normalised to what read_xdt_file hands back. Every piece must
// be as long as it may be and nothing may be stored past it.
Outcome read_in_pieces(const std::string& path, bool swap, std::size_t capacity) {
  constexpr std::uint32_t UNTOUCHED = 0x7FA5A5A5u;  // a NaN no reader stores
  test::CountingHooks hooks;
  Outcome out;
  XdtStream stream;
  testing::internal::CaptureStderr();
  out.code = xdt_stream_open(path.c_str(), swap, &stream);
  out.columns = stream.columns;
  out.rows = stream.rows;
  std::vector<float> piece;
  for (std::size_t count = 1; out.code == NO_ERROR && count > 0;) {
    const std::uint64_t expected = std::min<std::uint64_t>(capacity, stream.points - out.height_bits.size());
    piece.assign(std::min<std::uint64_t>(capacity, stream.points) + 1, std::bit_cast<float>(UNTOUCHED));
    out.code = xdt_stream_read(&stream, piece.data(), capacity, &count);
    if (out.code != NO_ERROR) break;
    EXPECT_EQ(count, expected);
    if (count != expected) break;
    EXPECT_EQ(std::bit_cast<std::uint32_t>(piece[count]), UNTOUCHED);
    for (std::size_t i = 0; i < count; ++i) out.height_bits.push_back(std::bit_cast<std::uint32_t>(piece[i]));
  }
  if (out.code == NO_ERROR) out.code = xdt_stream_finish(&stream, &out.resolution);
  if (out.code != NO_ERROR) out = Outcome{out.code, 0, 0, {}, 0.0f, ""};
  xdt_stream_close(&stream);
  out.errors = testing::internal::GetCapturedStderr();
  EXPECT_EQ(hooks.live_blocks(), 0u);
  return out;
}

// Heights mixing no data, NaN and values; rows narrow and widen by a margin
// without data, and each row has its own spacing, so the resolution tells
// which row's span was chosen.
float mixed_height(int columns, int r, int k) {
  const int margin = std::min((r * 3) % 4, columns / 3);
  if (k < margin || k >= columns - margin) return -1.0f;
  const unsigned h = static_cast<unsigned>(r * 7919 + k * 104729) % 1000u;
  return h < 150    ? -1.0f - static_cast<float>(h)
         : h == 999 ? QUIET_NAN
                    : static_cast<float>(h) * 0.37f - 30.0f;
}

TEST_F(XdtReader, StreamInPiecesMatchesTheWholeRead) {
  const struct {
    const char* name;
    int columns;
    int rows;
    std::function<float(int, int)> z;
    std::size_t cut;  // file size after a cut, 0 for the whole file
    bool pipe;        // sent through a pipe, so its size is not known up front
  } cases[] = {
      {"small grid", 7, 5, [](int r, int k) { return mixed_height(7, r, k); }, 0, false},
      {"several buffers", 700, 300, [](int r, int k) { return mixed_height(700, r, k); }, 0, false},
      {"odd rows, halves apart", 331, 257, [](int r, int k) { return mixed_height(331, r, k); }, 0, false},
      {"rows wider than a buffer", 32767, 4,
       [](int r, int k) { return (r < 3 && (k + r * 7) % 10007 == 0) || k == 32766 - r ? 0.5f : -1.0f; }, 0,
       false},
      {"no row with two valid points", 6, 3, [](int r, int k) { return k == r ? 1.0f : -1.0f; }, 0, false},
      {"truncated", 700, 300, [](int, int) { return 1.0f; }, 4 + 87382 * 12 + 1, false},
      {"truncated pipe", 700, 300, [](int r, int k) { return mixed_height(700, r, k); }, 4 + 174762 * 12 + 3,
       true},
  };
  for (const auto& c : cases) {
    std::vector<XdtPoint> points = test::grid(c.columns, c.rows, 1.0f, c.z);
    for (std::size_t i = 0; i < points.size(); ++i) {
      points[i].x *= 1.0f + 0.125f * static_cast<float>(i / static_cast<std::size_t>(c.columns));
    }
    for (const bool swap : {false, true}) {
      Bytes bytes = test::xdt_bytes(c.columns, c.rows, points, swap);
      if (c.cut != 0) bytes.resize(c.cut);
      const std::string path = c.pipe ? dir_.file("pipe" + std::to_string(++files_)) : write(bytes);
      if (c.pipe) {
        ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
      }
      // A pipe is read to its end by both readers, so its writer never blocks.
      const auto outcome = [&](const std::function<Outcome()>& reader) {
        std::thread writer([&] {
          if (c.pipe) test::write_file(path, bytes);
        });
        Outcome out = reader();
        writer.join();
        return out;
      };
      const Outcome whole = outcome([&] { return read(path, swap); });
      // NaN for no data: the same heights and span, however a NaN height reads.
      if (!c.pipe) {
        const Outcome marked = read(path, swap, QUIET_NAN);
        EXPECT_EQ(marked.code, whole.code);
        EXPECT_EQ(std::bit_cast<std::uint32_t>(marked.resolution),
                  std::bit_cast<std::uint32_t>(whole.resolution));
        ASSERT_EQ(marked.height_bits.size(), whole.height_bits.size());
        for (std::size_t i = 0; i < whole.height_bits.size(); ++i) {
          const bool no_data = whole.height_bits[i] == std::bit_cast<std::uint32_t>(-1.0f);
          EXPECT_EQ(marked.height_bits[i],
                    no_data ? std::bit_cast<std::uint32_t>(QUIET_NAN) : whole.height_bits[i]);
        }
      }
      const std::size_t n = static_cast<std::size_t>(c.columns);
      const std::size_t capacities[] = {1, 2, 3, n - 1, n, n + 1, 21839, 21851, SIZE_MAX};
      for (const std::size_t capacity : capacities) {
        SCOPED_TRACE(testing::Message() << c.name << (swap ? ", swapped" : "") << ", pieces of " << capacity);
        const Outcome out = outcome([&] { return read_in_pieces(path, swap, capacity); });
        EXPECT_EQ(out.code, whole.code);
        EXPECT_EQ(out.errors, whole.errors);
        EXPECT_EQ(out.columns, whole.columns);
        EXPECT_EQ(out.rows, whole.rows);
        EXPECT_EQ(std::bit_cast<std::uint32_t>(out.resolution),
                  std::bit_cast<std::uint32_t>(whole.resolution));
        EXPECT_TRUE(out.height_bits == whole.height_bits);
      }
    }
  }
}

TEST_F(XdtReader, StreamRefusesMisuseAndClosesHarmlessly) {
  const std::string path =
      write(test::xdt_bytes(3, 2, test::grid(3, 2, 0.5f, [](int, int) { return 0.0f; })));
  XdtStream stream;
  xdt_stream_clear(&stream);
  xdt_stream_close(&stream);
  float heights[8];
  std::size_t count = 9;
  float resolution = 7.0f;
  EXPECT_EQ(xdt_stream_read(&stream, heights, 8, &count), ERR_INVALID_PARAM);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(xdt_stream_finish(&stream, &resolution), ERR_INVALID_PARAM);
  // The resolution is there only once every point was handed out.
  for (const std::size_t first_piece : {0, 1, 5, 6}) {
    test::CountingHooks hooks;
    testing::internal::CaptureStderr();
    ASSERT_EQ(xdt_stream_open(path.c_str(), false, &stream), NO_ERROR);
    EXPECT_EQ(xdt_stream_read(&stream, heights, 0, &count), ERR_INVALID_PARAM);
    if (first_piece > 0) {
      EXPECT_EQ(xdt_stream_read(&stream, heights, first_piece, &count), NO_ERROR);
    }
    EXPECT_EQ(xdt_stream_finish(&stream, &resolution), first_piece == 6 ? NO_ERROR : ERR_INVALID_PARAM);
    EXPECT_EQ(resolution, first_piece == 6 ? 0.5f : 7.0f);
    xdt_stream_close(&stream);
    xdt_stream_close(&stream);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(stream.file, nullptr);
    EXPECT_EQ(hooks.live_blocks(), 0u);
  }
}

TEST_F(XdtReader, StreamOpenWithoutMemoryLeavesNothing) {
  const std::string path =
      write(test::xdt_bytes(3, 2, test::grid(3, 2, 1.0f, [](int, int) { return 0.0f; })));
  test::CountingHooks hooks(1);
  XdtStream stream;
  testing::internal::CaptureStderr();
  EXPECT_EQ(xdt_stream_open(path.c_str(), false, &stream), ERR_NO_MEM);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_TRUE(stream.columns == 0 && stream.file == nullptr && stream.buffer == nullptr);
  EXPECT_EQ(hooks.live_blocks(), 0u);
}

}  // namespace

// A signal handler installed without SA_RESTART interrupts reads blocked on
// a FIFO that gets its grid in two bursts: the reads carry on, unless the
// caller's check says stop after a signal, and then nothing is left held.
namespace interrupted_reads {

volatile sig_atomic_t alarms = 0;
void count_alarm(int) { alarms = alarms + 1; }

bool stop_after_a_signal(void*, bool signalled) { return signalled; }
bool never_stop(void*, bool) { return false; }

}  // namespace interrupted_reads

TEST_F(XdtReader, SignalsInterruptingAFifoReadAreRetriedOrStopWhenAsked) {
  using namespace interrupted_reads;
  const std::string fifo = dir_.file("pipe");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const auto points =
      test::grid(300, 200, 1e-5f, [](int row, int column) { return 1e-7f * float(row + column); });
  const Bytes bytes = test::xdt_bytes(300, 200, points);
  const Outcome expected = read_bytes(bytes);
  ASSERT_EQ(expected.code, NO_ERROR);

  struct sigaction action {};
  struct sigaction before {};
  action.sa_handler = count_alarm;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: blocked reads fail with EINTR
  ASSERT_EQ(sigaction(SIGALRM, &action, &before), 0);
  const InterruptCheck retry{never_stop, nullptr};
  const InterruptCheck stop{stop_after_a_signal, nullptr};
  struct Case {
    const char* name;
    const InterruptCheck* check;  // null: read_xdt_file
    ErrorCode code;
  };
  for (const Case& c : {Case{"plain", nullptr, NO_ERROR}, Case{"check that never stops", &retry, NO_ERROR},
                        Case{"check that stops", &stop, ERR_INTERRUPTED}}) {
    alarms = 0;
    std::thread writer([&] {
      // Alarms go to the reading thread only; a reader that stopped early
      // makes the second burst fail (EPIPE), not end the process.
      sigset_t signals;
      sigemptyset(&signals);
      sigaddset(&signals, SIGALRM);
      sigaddset(&signals, SIGPIPE);
      pthread_sigmask(SIG_BLOCK, &signals, nullptr);
      std::ofstream out(fifo, std::ios::binary);
      out.write(reinterpret_cast<const char*>(bytes.data()), 100000);
      out.flush();
      std::this_thread::sleep_for(std::chrono::milliseconds(400));
      out.write(reinterpret_cast<const char*>(bytes.data()) + 100000, std::streamsize(bytes.size() - 100000));
    });
    const itimerval every_50ms{{0, 50000}, {0, 50000}};
    setitimer(ITIMER_REAL, &every_50ms, nullptr);
    Outcome out;
    if (c.check == nullptr) {
      out = read(fifo);
    } else {
      test::CountingHooks hooks;
      float* heights = nullptr;
      out.code = read_xdt_file_watched(fifo.c_str(), &out.columns, &out.rows, &heights, &out.resolution,
                                       false, -1.0f, c.check);
      if (heights != nullptr) {
        for (std::size_t i = 0; i < points.size(); ++i)
          out.height_bits.push_back(std::bit_cast<std::uint32_t>(heights[i]));
        memory_hooks.release(heights);
      }
      EXPECT_EQ(hooks.live_blocks(), 0u) << c.name;
    }
    const itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    writer.join();
    EXPECT_GT(alarms, 0) << c.name;
    EXPECT_EQ(out.code, c.code) << c.name;
    if (c.code == NO_ERROR) {
      EXPECT_EQ(out.height_bits, expected.height_bits) << c.name;
      EXPECT_EQ(out.resolution, expected.resolution) << c.name;
    }
  }
  sigaction(SIGALRM, &before, nullptr);
}

// A file cut short by another process while its points are being read
// reads as a short file does, naming the first point the reader could not
// read: points already in its chunk of 21845 records were read while the
// file was whole. Cuts within that chunk, before the counts, within a later
// chunk and within a record.
TEST_F(XdtReader, FileCutShortWhileBeingReadNamesTheFirstMissingPoint) {
  const struct {
    off_t length;
    const char* errors;
  } cases[] = {
      {4 + 5000 * 12 + 5, "EOF reading point 21846 of 210000\n"},
      {0, "EOF reading point 21846 of 210000\n"},
      {4 + 200000 * 12, "EOF reading point 200001 of 210000\n"},
      {4 + 209995 * 12 + 7, "EOF reading point 209996 of 210000\n"},
  };
  const std::vector<XdtPoint> points =
      test::grid(700, 300, 1.0f, [](int r, int k) { return mixed_height(700, r, k); });
  const Outcome whole = read_in_pieces(write(test::xdt_bytes(700, 300, points)), false, SIZE_MAX);
  ASSERT_EQ(whole.code, NO_ERROR);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.errors);
    const std::string path = write(test::xdt_bytes(700, 300, points));
    XdtStream stream;
    ASSERT_EQ(xdt_stream_open(path.c_str(), false, &stream), NO_ERROR);
    std::vector<float> heights(1000);
    std::size_t count = 0;
    ASSERT_EQ(xdt_stream_read(&stream, heights.data(), heights.size(), &count), NO_ERROR);
    ASSERT_EQ(count, 1000u);
    ASSERT_EQ(truncate(path.c_str(), c.length), 0);
    std::vector<std::uint32_t> bits;
    for (const float h : heights) bits.push_back(std::bit_cast<std::uint32_t>(h));
    testing::internal::CaptureStderr();
    ErrorCode code = NO_ERROR;
    heights.resize(3000);
    for (count = 1; code == NO_ERROR && count != 0;) {
      code = xdt_stream_read(&stream, heights.data(), heights.size(), &count);
      for (std::size_t i = 0; code == NO_ERROR && i < count; ++i)
        bits.push_back(std::bit_cast<std::uint32_t>(heights[i]));
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.errors);
    EXPECT_EQ(code, ERR_PREMATURE_EOF);
    // Every point handed out before the end is the whole file's.
    ASSERT_LE(bits.size(), whole.height_bits.size());
    EXPECT_TRUE(std::equal(bits.begin(), bits.end(), whole.height_bits.begin()));
    xdt_stream_close(&stream);
  }
}

// The library takes no SIGBUS for itself: a fault while a stream is open
// still reaches the host's handler, or ends the process as it would have.
std::sig_atomic_t host_faults = 0;
sigjmp_buf host_jump;
void host_handler(int) {
  host_faults = host_faults + 1;
  siglongjmp(host_jump, 1);
}

#if defined(__SANITIZE_ADDRESS__)
#define FAULTS_GO_TO_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FAULTS_GO_TO_ASAN 1
#endif
#endif
#ifndef FAULTS_GO_TO_ASAN
#define FAULTS_GO_TO_ASAN 0
#endif

// Touches a mapped page of a file cut short after the mapping was made:
// SIGBUS.
void touch_page_past_the_end(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 8192), 0);
  void* area = mmap(nullptr, 8192, PROT_READ, MAP_SHARED, fd, 0);
  ASSERT_NE(area, MAP_FAILED);
  ASSERT_EQ(ftruncate(fd, 0), 0);
  close(fd);
  *static_cast<volatile const char*>(area);
  munmap(area, 8192);
}

TEST_F(XdtReader, FaultsOutsideTheReadingGoWhereTheyWentBefore) {
  const std::string grid =
      write(test::xdt_bytes(3, 2, test::grid(3, 2, 0.5f, [](int, int) { return 0.0f; })));
  const std::string other = dir_.file("other");
  struct sigaction host {};
  host.sa_handler = &host_handler;
  sigemptyset(&host.sa_mask);
  host.sa_flags = SA_NODEFER;
  struct sigaction saved {};
  ASSERT_EQ(sigaction(SIGBUS, &host, &saved), 0);
  XdtStream stream;
  ASSERT_EQ(xdt_stream_open(grid.c_str(), false, &stream), NO_ERROR);
  host_faults = 0;
  if (sigsetjmp(host_jump, 1) == 0) touch_page_past_the_end(other);
  EXPECT_EQ(host_faults, 1);
  xdt_stream_close(&stream);
  struct sigaction after {};
  ASSERT_EQ(sigaction(SIGBUS, &saved, &after), 0);
  EXPECT_EQ(after.sa_handler, &host_handler);

  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        XdtStream open_stream;
        if (xdt_stream_open(grid.c_str(), false, &open_stream) == NO_ERROR) touch_page_past_the_end(other);
        std::exit(0);
      },
#if FAULTS_GO_TO_ASAN
      // The handler before ours is AddressSanitizer's, which reports and exits.
      testing::ExitedWithCode(1), "AddressSanitizer: BUS");
#else
      testing::KilledBySignal(SIGBUS), "");
#endif
}
