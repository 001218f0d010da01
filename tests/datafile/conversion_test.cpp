// The height-to-phase conversion: rounding, the representable range and
// allocation failures.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <mapconv/conversion.h>
#include <mapconv/data_file_format.h>
#include <mapconv/data_file_writer.h>
#include <mapconv/interrupt.h>
#include <mapconv/memory_hooks.h>
#include <mapconv/xdt_reader.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace {

constexpr std::int32_t UNTOUCHED = 0x5A5A5A5A;

struct RoundingCase {
  double counts;  // factor x height, with the height 1.0
  std::int32_t expected;
  bool representable;
};

// With a height of 1.0 the factor is the unrounded count itself, so every
// rounding edge can be reached exactly.
TEST(ConvertHeights, RoundsHalfAwayFromZeroAndKeepsOnlyCountsBelowTheMarker) {
  const RoundingCase cases[] = {
      {2.5, 3, true},
      {-2.5, -3, true},
      {2.4999999, 2, true},
      {-2.4999999, -2, true},
      {0.5, 1, true},
      {-0.5, -1, true},
      {0.4999999, 0, true},
      {-0.4999999, 0, true},
      {2147483639.4, 2147483639, true},  // the highest count kept
      {2147483639.5, PHASE_INVALID, false},
      {2147483647.0, PHASE_INVALID, false},
      {4.0e12, PHASE_INVALID, false},
      {-2147483648.4, -2147483647 - 1, true},  // the lowest count
      {-2147483648.5, PHASE_INVALID, false},
      {-4.0e12, PHASE_INVALID, false},
      {std::numeric_limits<double>::infinity(), PHASE_INVALID, false},
      {std::numeric_limits<double>::quiet_NaN(), PHASE_INVALID, false},
  };
  for (const RoundingCase& c : cases) {
    const float height = 1.0f;
    std::int32_t phase = UNTOUCHED;
    const std::size_t unrepresentable = convert_heights({&height, 1}, c.counts, {&phase, 1});
    EXPECT_EQ(phase, c.expected) << c.counts;
    EXPECT_EQ(unrepresentable, c.representable ? 0u : 1u) << c.counts;
  }
}

TEST(ConvertHeights, NoDataBecomesTheMarkerAndIsNotCounted) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<float> heights = {-1.0f, -1.5f, -inf, -0.999f, nan, inf, 0.25f, -0.0f};
  std::vector<std::int32_t> phases(heights.size(), UNTOUCHED);
  EXPECT_EQ(convert_heights(heights, 4.0, phases), 2u);
  const std::vector<std::int32_t> expected = {
      PHASE_INVALID, PHASE_INVALID, PHASE_INVALID, -4, PHASE_INVALID, PHASE_INVALID, 1, 0};
  EXPECT_EQ(phases, expected);
}

TEST(BuildHeader, SetsTheSevenFieldsAndNothingElse) {
  DataFileHeader header;
  std::memset(&header, 0xEE, sizeof header);
  build_header(300, 2, 0.125f, &header);

  DataFileHeader expected;
  std::memset(&expected, 0, sizeof expected);
  expected.scale_factor = 0.5f;
  expected.wavelength = 6.328e-7f;
  expected.obliquity = 1.0f;
  expected.lateral_resolution = 0.125f;
  expected.phase_resolution = 1;
  expected.frame_width = 300;
  expected.frame_height = 2;
  EXPECT_EQ(std::memcmp(&header, &expected, sizeof header), 0);
  EXPECT_EQ(std::bit_cast<std::uint32_t>(header.wavelength), 0x3529DDAFu);
}

TEST(BuildHeader, FactorComesFromTheStoredSinglePrecisionValues) {
  DataFileHeader header;
  build_header(2, 2, 1.0f, &header);
  const double factor = phase_counts_per_metre(&header);
  EXPECT_NEAR(factor, 1.03565110518759e11, 1.0);
  // 0.02 m is where the decimal wavelength would give another count.
  const float height = 0.02f;
  std::int32_t phase = 0;
  convert_heights({&height, 1}, factor, {&phase, 1});
  EXPECT_EQ(phase, 2071302164);
}

TEST(BuildPhaseMap, GeometryFillAndCountsInIndexOrder) {
  const float heights[] = {0.0f, 2e-6f, -1.0f, 1e-6f, 0.5f, -1e-6f};
  DataFileHeader header;
  build_header(3, 2, 1.0f, &header);
  PhaseMap map;
  phase_map_clear(&map);
  std::size_t unrepresentable = 99;
  test::CountingHooks hooks;
  ASSERT_EQ(build_phase_map(3, 2, heights, phase_counts_per_metre(&header), &map, &unrepresentable),
            NO_ERROR);
  EXPECT_EQ(hooks.last_request(), 24u);
  EXPECT_EQ(map.origin_x, 0);
  EXPECT_EQ(map.origin_y, 0);
  EXPECT_EQ(map.width, 3);
  EXPECT_EQ(map.height, 2);
  EXPECT_EQ(map.capacity, 6u);
  EXPECT_EQ(std::vector<std::int32_t>(map.data, map.data + 6),
            (std::vector<std::int32_t>{0, 207130, PHASE_INVALID, 103565, PHASE_INVALID, -103565}));
  EXPECT_EQ(unrepresentable, 1u);
  phase_map_release(&map);
  EXPECT_EQ(hooks.live_blocks(), 0u);
}

TEST(BuildPhaseMap, CreationFailureLeavesNoBlock) {
  const float heights[4] = {};
  PhaseMap map;
  phase_map_clear(&map);
  std::size_t unrepresentable = 99;
  test::CountingHooks hooks(1);
  EXPECT_EQ(build_phase_map(2, 2, heights, 1.0, &map, &unrepresentable), ERR_NO_MEM);
  EXPECT_EQ(map.data, nullptr);
  EXPECT_EQ(unrepresentable, 0u);
  phase_map_release(&map);
  EXPECT_EQ(hooks.live_blocks(), 0u);
}

// The conversion rule written out plainly, one height at a time, to check the
// branch-free pass against.
std::int32_t reference_count(float height, double factor, std::size_t* unrepresentable) {
  const double z = height;
  if (z <= -1.0) return PHASE_INVALID;
  const double p = factor * z;
  const double q = p < 0 ? p - 0.5 : p + 0.5;
  if (std::isnan(q) || q >= 2147483640.0 || q <= -2147483649.0) {
    ++*unrepresentable;
    return PHASE_INVALID;
  }
  return static_cast<std::int32_t>(q);
}

// Heights that land on every rounding edge and limit for the factor 1.0, and
// a seeded spread of ordinary ones.
std::vector<float> awkward_heights() {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  std::vector<float> heights = {
      0.0f,           -0.0f,          0.5f,   -0.5f,   1.5f,    -1.5f,   2.5f,          -0.999999f,
      -1.0f,          -1.0000001f,    nan,    -nan,    inf,     -inf,    2147483520.0f, 2147483648.0f,
      -2147483648.0f, -2147483904.0f, 1e-45f, -1e-45f, 3.4e38f, -3.4e38f};
  std::uint32_t state = 12345;
  for (int i = 0; i < 200; ++i) {
    state = state * 1664525u + 1013904223u;
    heights.push_back(static_cast<float>(static_cast<std::int32_t>(state)) * 1e-11f);
  }
  return heights;
}

// Every length up to a few vector widths, so the vector body and each tail
// length are both exercised, at both the test factor and the real one.
TEST(ConvertHeights, MatchesTheRuleOneHeightAtATime) {
  const std::vector<float> all = awkward_heights();
  DataFileHeader header;
  build_header(2, 2, 1.0f, &header);
  for (const double factor : {1.0, phase_counts_per_metre(&header), 4.0e11}) {
    for (std::size_t start = 0; start < 8; ++start) {
      for (std::size_t length = 0; start + length <= all.size(); length += (length < 40 ? 1 : 37)) {
        const std::span<const float> heights(all.data() + start, length);
        std::size_t expected_unrepresentable = 0;
        std::vector<std::int32_t> expected;
        for (const float height : heights)
          expected.push_back(reference_count(height, factor, &expected_unrepresentable));

        std::vector<std::int32_t> every(length + 1, UNTOUCHED);
        EXPECT_EQ(convert_heights(heights, factor, std::span(every.data(), length)),
                  expected_unrepresentable);
        EXPECT_EQ(every.back(), UNTOUCHED) << "wrote past the end";
        every.pop_back();
        EXPECT_EQ(every, expected) << "factor " << factor << ", start " << start << ", length " << length;
      }
    }
  }
}

// A block straight from the allocator may hold anything: every element must
// still come out right without a fill beforehand.
TEST(BuildPhaseMap, WritesEveryElementOfAGarbageBlock) {
  const MemoryHooks saved = memory_hooks;
  memory_hooks.allocate = [](std::size_t size) {
    void* block = std::malloc(size);
    if (block != nullptr) std::memset(block, 0x5A, size);
    return block;
  };
  std::vector<float> heights(7 * 5, -1.0f);
  heights[3] = 1e-6f;
  heights[34] = -1e-6f;
  PhaseMap map;
  phase_map_clear(&map);
  std::size_t unrepresentable = 99;
  const ErrorCode code = build_phase_map(7, 5, heights.data(), 1.03565110518759e11, &map, &unrepresentable);
  memory_hooks = saved;
  ASSERT_EQ(code, NO_ERROR);
  std::vector<std::int32_t> expected(heights.size(), PHASE_INVALID);
  expected[3] = 103565;
  expected[34] = -103565;
  EXPECT_EQ(std::vector<std::int32_t>(map.data, map.data + heights.size()), expected);
  EXPECT_EQ(unrepresentable, 0u);
  phase_map_release(&map);
}

// Counts back to heights: within half a count of the height converted, NaN
// where there is none.
TEST(ConvertPhaseCounts, UndoesTheConversionWithTheHeadersSettings) {
  DataFileHeader header;
  build_header(2, 2, 1.0f, &header);
  header.scale_factor = 0.25f;  // the file's own settings, not the fixed ones
  const double per_count = metres_per_phase_count(&header);
  EXPECT_DOUBLE_EQ(per_count * phase_counts_per_metre(&header), 1.0);
  const std::vector<float> heights = {0.0f, 1e-6f, -2.5e-9f, 0.004f, -1.0f, 0.03f};
  std::vector<std::int32_t> counts(heights.size());
  convert_heights(heights, phase_counts_per_metre(&header), counts);
  std::vector<double> back(heights.size() + 1, 7.0);
  convert_phase_counts(counts, per_count, std::span(back.data(), heights.size()));
  for (std::size_t i = 0; i < heights.size(); ++i) {
    if (counts[i] == PHASE_INVALID) {
      EXPECT_TRUE(std::isnan(back[i])) << i;
    } else {
      EXPECT_NEAR(back[i], heights[i], per_count / 2 + 1e-18) << i;
    }
  }
  EXPECT_TRUE(std::isnan(back[4]) && std::isnan(back[5]));
  EXPECT_EQ(back.back(), 7.0) << "wrote past the end";
}

// Heights handed to a session in pieces of any length give the file of the
// conversion from the XDT path (mapconv's) byte for byte, and the same count
// of heights beyond the phase range.
TEST(ConversionSession, PiecesGiveMapconvsFile) {
  test::TempDir dir;
  const std::string input = dir.file("in.xdt");
  const std::string expected_path = dir.file("mapconv.dat");
  test::write_file(input, test::xdt_bytes(300, 250, test::grid(300, 250, 1e-5f, [](int r, int k) {
                                            return (r + k) % 97 == 0   ? -1.0f
                                                   : (r * k) % 89 == 0 ? 0.03f
                                                                       : static_cast<float>(r - k) * 1e-8f;
                                          })));
  const ConversionOptions options{0, 0, nullptr};
  ConversionResult result{};
  ASSERT_EQ(convert_xdt_file(input.c_str(), expected_path.c_str(), &options, &result), NO_ERROR);
  ASSERT_GT(result.unrepresentable, 0u);
  const test::Bytes expected = test::read_file(expected_path);
  std::int32_t columns = 0;
  std::int32_t rows = 0;
  float* heights = nullptr;
  float resolution = 0.0f;
  ASSERT_EQ(read_xdt_file(input.c_str(), &columns, &rows, &heights, &resolution, false), NO_ERROR);
  const std::size_t total = static_cast<std::size_t>(columns) * static_cast<std::size_t>(rows);
  for (const std::size_t piece : {std::size_t{7}, std::size_t{65536} + 3, total}) {
    SCOPED_TRACE(piece);
    const std::string path = dir.file("session.dat");
    std::filesystem::remove(path);
    ConversionSession session;
    ASSERT_EQ(conversion_session_open(path.c_str(), 0, columns, rows, resolution, &session), NO_ERROR);
    for (std::size_t at = 0; at < total; at += piece)
      ASSERT_EQ(conversion_session_write(&session, heights + at, std::min(piece, total - at)), NO_ERROR);
    // Beyond the grid: refused, and not counted even where it has no count.
    const float beyond = 0.03f;
    EXPECT_EQ(conversion_session_write(&session, &beyond, 1), ERR_INVALID_PARAM);
    EXPECT_EQ(session.unrepresentable, result.unrepresentable);
    EXPECT_EQ(conversion_session_commit(&session), NO_ERROR);
    EXPECT_EQ(test::read_file(path), expected);
    EXPECT_EQ(session.unrepresentable, result.unrepresentable);
  }
  memory_hooks.release(heights);
}

// The whole-map writer and the session tell a taken name from the other
// reasons a file cannot be made, and leave the system's reason in errno.
TEST(ConversionSession, TakenNameAndReasonsOfFailure) {
  test::TempDir dir;
  test::write_file(dir.file("taken.dat"), test::Bytes{'o', 'l', 'd'});
  const struct {
    const char* name;
    std::string path;
    unsigned flags;
    ErrorCode code;
    bool taken;
    int reason;
  } cases[] = {
      {"taken", dir.file("taken.dat"), 0, ERR_CANT_CREATE_FILE, true, EEXIST},
      {"missing folder", dir.file("no/x.dat"), OUTPUT_REPLACE, ERR_CANT_CREATE_FILE, false, ENOENT},
      {"full device", "/dev/full", OUTPUT_REPLACE, ERR_CANT_WRITE_FILE, false, ENOSPC},
      {"replaced", dir.file("taken.dat"), OUTPUT_REPLACE, NO_ERROR, false, 0},
  };
  const std::vector<float> heights(6, 1e-7f);
  DataFileHeader header;
  build_header(3, 2, 1e-5f, &header);
  PhaseMap map;
  phase_map_clear(&map);
  std::size_t unrepresentable = 0;
  ASSERT_EQ(build_phase_map(3, 2, heights.data(), phase_counts_per_metre(&header), &map, &unrepresentable),
            NO_ERROR);
  // A caller's release hook may touch errno: the reason must survive it.
  const MemoryHooks saved = memory_hooks;
  memory_hooks.release = [](void* block) {
    std::free(block);
    errno = EBADF;
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.path == "/dev/full" && !std::filesystem::exists(c.path)) continue;
    bool taken = !c.taken;
    errno = 0;
    EXPECT_EQ(write_data_file_atomic(c.path.c_str(), c.flags, nullptr, &header, nullptr, &map, &taken),
              c.code);
    EXPECT_EQ(taken, c.taken);
    if (c.code != NO_ERROR) {
      EXPECT_EQ(errno, c.reason);
    }

    errno = 0;
    ConversionSession session;
    ErrorCode code = conversion_session_open(c.path.c_str(), c.flags, 3, 2, 1e-5f, &session);
    if (code == NO_ERROR) code = conversion_session_write(&session, heights.data(), heights.size());
    if (code == NO_ERROR) code = conversion_session_commit(&session);
    conversion_session_discard(&session);
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(session.name_taken, c.taken);
    if (c.code != NO_ERROR) {
      EXPECT_EQ(errno, c.reason);
    }
  }
  memory_hooks = saved;
  phase_map_release(&map);
}

// Both steps fail: the input, from a FIFO, is cut short, and the output meets
// the file-size limit at once. The read failure is the one returned, as it
// comes first in what the caller must know, and both are in the result.
TEST(ConvertXdtFile, ReadFailureComesBeforeWriteFailure) {
  test::TempDir dir;
  const std::string input = dir.file("in.xdt");
  ASSERT_EQ(mkfifo(input.c_str(), 0600), 0);
  test::Bytes bytes = test::xdt_bytes(
      300, 200, test::grid(300, 200, 1e-5f, [](int r, int k) { return 1e-8f * static_cast<float>(r - k); }));
  bytes.resize(bytes.size() * 4 / 5);
  std::thread writer([&] { test::write_to_pipe(input, bytes); });
  const ConversionOptions options{0, 4096, nullptr};
  ConversionResult result{};
  ErrorCode code = NO_ERROR;
  rlimit before{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
  const auto previous = signal(SIGXFSZ, SIG_IGN);  // writes past the limit fail with EFBIG
  {
    const test::StderrCapture capture;
    rlimit small = before;
    small.rlim_cur = 64 << 10;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    code = convert_xdt_file(input.c_str(), dir.file("out.dat").c_str(), &options, &result);
    setrlimit(RLIMIT_FSIZE, &before);
  }
  writer.join();
  signal(SIGXFSZ, previous);
  EXPECT_EQ(code, ERR_PREMATURE_EOF);
  EXPECT_EQ(result.read_failure, ERR_PREMATURE_EOF);
  EXPECT_EQ(result.write_failure, ERR_CANT_WRITE_FILE);
  EXPECT_FALSE(std::filesystem::exists(dir.file("out.dat")));
}

// The conversion never writes over the file it reads, whatever name leads
// to it and whatever the flags; the input is then left as it was, and
// nothing else appears.
TEST(ConvertXdtFile, RefusesAnOutputThatIsItsInput) {
  test::TempDir dir;
  const std::string input = dir.file("in.xdt");
  test::write_file(
      input, test::xdt_bytes(3, 2, test::grid(3, 2, 1e-5f, [](int r, int k) { return 1e-8f * (r + k); })));
  const test::Bytes before = test::read_file(input);
  std::filesystem::create_hard_link(input, dir.file("hard.xdt"));
  std::filesystem::create_symlink("in.xdt", dir.file("soft.xdt"));
  const int fd = open(input.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  const std::string through_fd = "/proc/self/fd/" + std::to_string(fd);
  const std::set<std::string> names = test::listing(dir.path());
  for (const std::string& output : {input, dir.file("hard.xdt"), dir.file("soft.xdt"), through_fd}) {
    for (const unsigned flags : {0u, unsigned{OUTPUT_REPLACE}}) {
      SCOPED_TRACE(output + " flags " + std::to_string(flags));
      const ConversionOptions options{flags, 0, nullptr};
      ConversionResult result{};
      EXPECT_EQ(convert_xdt_file(dir.file("soft.xdt").c_str(), output.c_str(), &options, &result),
                ERR_CANT_CREATE_FILE);
      EXPECT_TRUE(result.same_file);
      EXPECT_FALSE(result.name_taken);
      EXPECT_EQ(result.read_failure, NO_ERROR);
      EXPECT_EQ(test::read_file(input), before);
      EXPECT_EQ(test::listing(dir.path()), names);
    }
  }
  close(fd);
  // Another file is no input: replaced with the flag, kept without it.
  test::write_file(dir.file("other.dat"), test::Bytes{'o', 'l', 'd'});
  for (const unsigned flags : {0u, unsigned{OUTPUT_REPLACE}}) {
    const ConversionOptions options{flags, 0, nullptr};
    ConversionResult result{};
    EXPECT_EQ(convert_xdt_file(input.c_str(), dir.file("other.dat").c_str(), &options, &result),
              flags == 0 ? ERR_CANT_CREATE_FILE : NO_ERROR);
    EXPECT_FALSE(result.same_file);
    EXPECT_EQ(result.name_taken, flags == 0);
  }
}

// However the grid is cut into pieces, from one point each (the reader's
// thread then runs far ahead of the conversion, many times round its ring of
// pieces) to one piece for the whole grid, the file is the same.
TEST(ConvertXdtFile, EveryPieceSizeGivesTheSameFile) {
  test::TempDir dir;
  const std::string input = dir.file("in.xdt");
  test::write_file(input, test::xdt_bytes(37, 23, test::grid(37, 23, 1e-5f, [](int r, int k) {
                                            return (r * 37 + k) % 11 == 3 ? -2.0f
                                                                           : 1e-8f * static_cast<float>(r * k - 40);
                                          })));
  const auto convert = [&](std::size_t piece_points) {
    const std::string output = dir.file("out-" + std::to_string(piece_points) + ".dat");
    const ConversionOptions options{0, piece_points, nullptr};
    ConversionResult result{};
    const test::StderrCapture capture;
    EXPECT_EQ(convert_xdt_file(input.c_str(), output.c_str(), &options, &result), NO_ERROR);
    return test::read_file(output);
  };
  const test::Bytes whole = convert(0);
  ASSERT_EQ(whole.size(), 834u + 4u * 37u * 23u);
  for (const std::size_t piece_points : {1u, 2u, 7u, 8u, 9u, 100u, 851u, 5000u}) {
    SCOPED_TRACE(piece_points);
    EXPECT_EQ(convert(piece_points), whole);
  }
}

// The input cut short by another process while the second thread reads it
// ahead: a short file, reported as such, and no output.
TEST(ConvertXdtFile, InputCutShortWhileBeingConvertedIsAShortFile) {
  test::TempDir dir;
  static std::string input;
  static int checks;
  input = dir.file("in.xdt");
  test::write_file(input, test::xdt_bytes(700, 300, test::grid(700, 300, 1e-5f, [](int r, int k) {
                                            return 1e-8f * static_cast<float>(r + k);
                                          })));
  checks = 0;
  // Pieces of 1000 points: the file is cut to 5000 records (and a part of
  // one) while the reader's thread may be a few pieces ahead.
  const InterruptCheck cut{[](void*, bool) {
                             if (++checks == 3) {
                               EXPECT_EQ(truncate(input.c_str(), 4 + 5000 * 12 + 5), 0);
                             }
                             return false;
                           },
                           nullptr};
  const ConversionOptions options{0, 1000, &cut};
  ConversionResult result{};
  testing::internal::CaptureStderr();
  EXPECT_EQ(convert_xdt_file(input.c_str(), dir.file("out.dat").c_str(), &options, &result),
            ERR_PREMATURE_EOF);
  // The first point not read: past the cut, wherever the reader was then.
  const std::string said = testing::internal::GetCapturedStderr();
  int point = 0;
  char end = 0;
  ASSERT_EQ(std::sscanf(said.c_str(), "EOF reading point %d of 210000%c", &point, &end), 2) << said;
  EXPECT_EQ(end, '\n');
  EXPECT_GT(point, 5000);
  EXPECT_LE(point, 210000);
  EXPECT_FALSE(std::filesystem::exists(dir.file("out.dat")));
}

}  // namespace

// mapconv's settings, set over a header without touching its other fields.
TEST(Conversion, SettingsLeaveTheRestOfAHeaderAlone) {
  DataFileHeader header{};
  header.frame_width = 7;
  header.lateral_resolution = 2.5f;
  set_conversion_settings(&header);
  EXPECT_EQ(header.wavelength, 6.328e-7f);
  EXPECT_EQ(header.scale_factor, 0.5f);
  EXPECT_EQ(header.obliquity, 1.0f);
  EXPECT_EQ(header.phase_resolution, 1);
  EXPECT_EQ(header.frame_width, 7);
  EXPECT_EQ(header.lateral_resolution, 2.5f);
}
