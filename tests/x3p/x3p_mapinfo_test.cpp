// mapinfo on X3P files from the outside: summaries of written files,
// comparisons across the three kinds with files made part by part, round
// trips. The real files' summaries, and the messages, are golden cases
// (tests/cli/cases/mapinfo-x3p).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "cli_support.h"
#include "test_support.h"
#include "x3p_files.h"

namespace {

using test::TempDir;

// Runs program in dir, so that files are named as a user names them.
test::ProcessResult run(const TempDir& dir, const std::string& program,
                        const std::vector<std::string>& args) {
  std::vector<std::string> words = {"-c", "cd \"$0\" && exec \"$@\"", dir.path(), program};
  words.insert(words.end(), args.begin(), args.end());
  return test::run_program("/bin/sh", words, dir);
}

std::string little_floats(const std::vector<float>& values) {
  std::string bytes(values.size() * 4, '\0');
  std::memcpy(bytes.data(), values.data(), bytes.size());
  return bytes;
}

// The files the rows use: an XDT grid, its X3P and data file, the data
// file's X3P, and X3P files made part by part.
void write_files(const TempDir& dir) {
  ASSERT_EQ(run(dir, XDTGEN_EXECUTABLE, {"-m", "0.05", "40", "30", dir.file("s.xdt")}).status, 0);
  ASSERT_EQ(
      run(dir, XDTGEN_EXECUTABLE, {"-m", "0.05", "-r", "1e-6", "40", "30", dir.file("other.xdt")}).status, 0);
  for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{
           {"s.xdt", "s.x3p"}, {"s.x3p", "s.dat"}, {"s.dat", "d.x3p"}, {"other.xdt", "other.x3p"}}) {
    const test::ProcessResult made = run(dir, X3PCONV_EXECUTABLE, {dir.file(from), dir.file(to)});
    ASSERT_EQ(made.status, 0) << from << " to " << to << ": " << made.err;
  }
  x3ptest::Description flat;
  flat.x_increment = flat.y_increment = "1e-6";
  x3ptest::write_x3p(dir.file("flat.x3p"), flat, little_floats({1e-6f, 2e-6f, NAN, 4e-6f, 5e-6f, 6e-6f}));
  x3ptest::write_x3p(dir.file("flat-off.x3p"), flat,
                     little_floats({1e-6f, 2e-6f, NAN, 4e-6f, 5e-6f, 6.1e-6f}));
  x3ptest::write_x3p(dir.file("flat-hole.x3p"), flat,
                     little_floats({1e-6f, 2e-6f, 3e-6f, 4e-6f, 5e-6f, 6e-6f}));
  x3ptest::Description wide = flat;
  wide.y_increment = "2e-6";
  x3ptest::write_x3p(dir.file("flat-wide.x3p"), wide,
                     little_floats({1e-6f, 2e-6f, NAN, 4e-6f, 5e-6f, 6e-6f}));
}

TEST(MapinfoX3p, ComparesAcrossTheThreeKinds) {
  TempDir dir;
  write_files(dir);
  if (HasFatalFailure()) return;
  struct Row {
    const char* a;
    const char* b;
    int status;
    const char* says;  // on standard output
  };
  const Row rows[] = {
      {"s.x3p", "s.xdt", 0, "B: s.xdt (XDT surface file, 40 columns x 30 rows)"},
      {"d.x3p", "s.dat", 0, "largest difference         0 phase counts of B"},
      {"s.x3p", "s.x3p", 0, "result: the maps agree (every height equal)"},
      {"s.x3p", "other.x3p", 1, "result: the grids differ"},
      {"other.x3p", "s.xdt", 1, "result: the grids differ"},
      {"flat.x3p", "flat.x3p", 0, "points with data in both   5"},
      {"flat.x3p", "flat-off.x3p", 1,
       "heights differ beyond the tolerance (rule: every height equal), first at "
       "column 2, row 1"},
      {"flat.x3p", "flat-hole.x3p", 1,
       "the points without data differ (rule: points without data coincide), "
       "first at column 2, row 0"},
      {"flat.x3p", "flat-wide.x3p", 1, "result: the grids differ"},
  };
  for (const Row& row : rows) {
    const test::ProcessResult r = run(dir, MAPINFO_EXECUTABLE, {"--compare", row.a, row.b});
    EXPECT_EQ(r.status, row.status) << row.a << " " << row.b << "\n" << r.out << r.err;
    EXPECT_NE(r.out.find(row.says), std::string::npos) << row.a << " " << row.b << "\n" << r.out << r.err;
  }
}

TEST(MapinfoX3p, RoundTripsAgreeAtEachStep) {
  TempDir dir;
  ASSERT_EQ(run(dir, XDTGEN_EXECUTABLE, {"-m", "0.05", "-r", "3.3e-6", "61", "47", "t.xdt"}).status, 0);
  ASSERT_EQ(run(dir, MAPCONV_EXECUTABLE, {"t.xdt", "t.dat"}).status, 0);
  const std::vector<std::vector<std::string>> chains = {{"t.xdt", "t.x3p", "back.xdt"},
                                                        {"t.dat", "t2.x3p", "back.dat"}};
  for (const auto& chain : chains) {
    for (std::size_t i = 1; i < chain.size(); ++i) {
      const std::string& from = chain[i - 1];
      const std::string& to = chain[i];
      ASSERT_EQ(run(dir, X3PCONV_EXECUTABLE, {from, to}).status, 0) << from << " to " << to;
      const test::ProcessResult step = run(dir, MAPINFO_EXECUTABLE, {"--compare", from, to});
      EXPECT_EQ(step.status, 0) << from << " against " << to << "\n" << step.out << step.err;
    }
    // The ends of the chain agree too: the same kind, so exactly.
    const test::ProcessResult ends = run(dir, MAPINFO_EXECUTABLE, {"--compare", chain.front(), chain.back()});
    EXPECT_EQ(ends.status, 0) << ends.out << ends.err;
    EXPECT_NE(ends.out.find("every height equal"), std::string::npos) << ends.out;
  }
}

TEST(MapinfoX3p, SummariesOfWrittenFiles) {
  TempDir dir;
  write_files(dir);
  if (HasFatalFailure()) return;
  x3ptest::Description recorded;
  recorded.x_increment = recorded.y_increment = "1e-6";
  recorded.record2 =
      "<Record2><Date>2026-12-09T10:00:00</Date><Creator>Tess\t\xc2\x9b"
      "2J</Creator><Instrument>"
      "<Manufacturer>Maker</Manufacturer><Model>M1</Model><Serial>7</Serial><Version>v2</Version>"
      "</Instrument><CalibrationDate>2026-01-01T00:00:00</CalibrationDate><ProbingSystem>"
      "<Type>NonContacting</Type><Identification>lens</Identification></ProbingSystem>"
      "<Comment>line one\nline \"two\"</Comment></Record2>";
  x3ptest::write_x3p(dir.file("recorded.x3p"), recorded,
                     little_floats({1e-6f, 2e-6f, NAN, 4e-6f, 5e-6f, 6e-6f}));
  struct Row {
    std::string file;
    bool json;
    std::vector<std::string> says;
  };
  const std::vector<Row> rows = {
      {"recorded.x3p",
       false,
       {": X3P surface file\n", "  points with data     5\n", "  points without data  1\n",
        "  height max           6000.0002 nm\n", "  data type            float32\n",
        "  date                 2026-12-09T10:00:00\n",
        // Text from the file never reaches the terminal raw.
        "  creator              Tess\\t\\xC2\\x9B2J\n", "  instrument           Maker, M1, 7, v2\n",
        "  comment              line one\\nline \"two\"\n"}},
      {"recorded.x3p",
       true,
       {"\"kind\":\"x3p_file\"", "\"points_without_data\":1", "\"data_type\":\"float32\"",
        "\"creator\":\"Tess\\t\xc2\x9b"
        "2J\"",
        "\"comment\":\"line one\\nline \\\"two\\\"\"", "\"model\":\"M1\""}},
      {"s.x3p", false, {"  record               none\n", "  grid                 40 columns x 30 rows\n"}},
      {"d.x3p", true, {"\"data_type\":\"int32\"", "\"record\":null", "\"columns\":40"}},
  };
  for (const Row& row : rows) {
    std::vector<std::string> args;
    if (row.json) args.push_back("--json");
    args.push_back(row.file);
    const test::ProcessResult r = run(dir, MAPINFO_EXECUTABLE, args);
    EXPECT_EQ(r.status, 0) << row.file << r.err;
    for (const std::string& says : row.says)
      EXPECT_NE(r.out.find(says), std::string::npos) << row.file << " lacks " << says << "\n" << r.out;
  }
}

TEST(MapinfoX3p, HeightsAndPictureAsTheXdtItCameFrom) {
  TempDir dir, as_xdt, as_x3p;
  write_files(dir);
  if (HasFatalFailure()) return;
  // Under one name in two folders, so that the pictures' text is the same.
  test::write_file(as_xdt.file("m"), test::read_file(dir.file("s.xdt")));
  test::write_file(as_x3p.file("m"), test::read_file(dir.file("s.x3p")));
  const test::ProcessResult xdt = run(as_xdt, MAPINFO_EXECUTABLE, {"--level", "mean", "--png", "p.png", "m"});
  const test::ProcessResult x3p = run(as_x3p, MAPINFO_EXECUTABLE, {"--level", "mean", "--png", "p.png", "m"});
  ASSERT_EQ(xdt.status, 0) << xdt.err;
  ASSERT_EQ(x3p.status, 0) << x3p.err;
  // Every line from the grid to the parameters, but the kind and what only X3P has.
  const auto body = [](const std::string& out, bool x3p_file) {
    std::string kept;
    std::size_t start = out.find('\n') + 1;
    while (start < out.size()) {
      const std::size_t end = out.find('\n', start) + 1;
      const std::string line = out.substr(start, end - start);
      if (!x3p_file ||
          (line.find("data type") == std::string::npos && line.find("record") == std::string::npos))
        kept += line;
      start = end;
    }
    return kept;
  };
  EXPECT_EQ(body(xdt.out, false), body(x3p.out, true));
  EXPECT_FALSE(x3p.out.empty());
  EXPECT_EQ(test::read_file(as_xdt.file("p.png")), test::read_file(as_x3p.file("p.png")));
}

#if defined(__SANITIZE_ADDRESS__)
#define MAPINFO_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MAPINFO_UNDER_ASAN 1
#endif
#endif

TEST(MapinfoX3p, Float32HeightsAreHeldInFourBytesAPoint) {
#ifdef MAPINFO_UNDER_ASAN
  GTEST_SKIP() << "the sanitizer's own memory would hide the grid's";
#endif
  TempDir dir;
  x3ptest::Description big;
  big.size_x = "3000";
  big.size_y = "2000";
  std::vector<float> heights(3000 * 2000);
  for (std::size_t i = 0; i < heights.size(); ++i) heights[i] = static_cast<float>(i % 977) * 1e-9f;
  x3ptest::write_x3p(dir.file("big.x3p"), big, little_floats(heights));
  // mapinfo the only child of a fresh interpreter, whose children's peak
  // resident set is then mapinfo's own.
  const std::string peak =
      "import resource, subprocess, sys\n"
      "done = subprocess.run([sys.argv[1], 'big.x3p'], stdout=subprocess.DEVNULL)\n"
      "print(done.returncode, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)\n";
  const test::ProcessResult r = run(dir, "/usr/bin/python3", {"-c", peak, MAPINFO_EXECUTABLE});
  ASSERT_EQ(r.status, 0) << r.err;
  int status = -1;
  long kib = 0;
  ASSERT_EQ(std::sscanf(r.out.c_str(), "%d %ld", &status, &kib), 2) << r.out;
  EXPECT_EQ(status, 0);
  // 6 million points: 23 MiB as floats, 46 MiB as doubles.
  EXPECT_LT(kib, 23 * 1024 + 16 * 1024) << "peak resident set " << kib << " KiB";
}

TEST(MapinfoX3p, PipedX3pIsReadWhole) {
  TempDir dir;
  write_files(dir);
  if (HasFatalFailure()) return;
  const test::ProcessResult r =
      run(dir, "/bin/sh", {"-c", "cat s.x3p | " + std::string(MAPINFO_EXECUTABLE) + " /dev/stdin"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("  points with data     1134\n"), std::string::npos) << r.out;
}

// The X3P reader and the pictures are modules mapinfo loads only for a file
// that needs them: a mapinfo copied alone still reads and compares XDT and
// data files, and says what an X3P file or a picture lacks; installed, the
// modules are found in the library folder before mapinfo's own.
TEST(MapinfoModules, LoadedOnlyWhereAFileNeedsThem) {
  namespace fs = std::filesystem;
  TempDir dir;
  write_files(dir);
  if (HasFatalFailure()) return;
  fs::create_directories(dir.file("bin"));
  const std::string alone = dir.file("bin/mapinfo");
  fs::copy_file(MAPINFO_EXECUTABLE, alone);
  const auto said = [](const test::ProcessResult& r, const std::string& words) {
    return r.err.find(words) != std::string::npos;
  };
  EXPECT_EQ(run(dir, alone, {"s.xdt", "s.dat"}).status, 0);
  EXPECT_EQ(run(dir, alone, {"--compare", "s.xdt", "s.dat"}).status, 0);

  const std::string missing = "mapinfo's X3P module: no mapinfo-x3p.so in " + dir.file("bin/");
  test::ProcessResult r = run(dir, alone, {"s.x3p"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(said(r, "mapinfo: s.x3p: an X3P file, which needs " + missing)) << r.err;
  r = run(dir, alone, {"--compare", "s.dat", "s.x3p"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(said(r, "mapinfo: s.x3p: an X3P file, which needs " + missing)) << r.err;
  r = run(dir, alone, {"--png", "s.png", "s.dat"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("  points with data     1134\n"), std::string::npos) << r.out;
  EXPECT_TRUE(said(r, "mapinfo: s.png: cannot draw the picture without mapinfo's picture module: "
                      "no mapinfo-picture.so in"))
      << r.err;
  EXPECT_FALSE(fs::exists(dir.file("s.png")));

  // A file of the module's name that is not that module is refused, not called.
  fs::copy_file(MAPINFO_PICTURE_MODULE, dir.file("bin/mapinfo-x3p.so"));
  r = run(dir, alone, {"s.x3p"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(said(r, dir.file("bin/mapinfo-x3p.so") + " is not a module of mapinfo")) << r.err;

  const fs::path installed = fs::path(dir.file("bin")) / MAPINFO_PLUGIN_FOLDER;
  fs::create_directories(installed);
  fs::copy_file(MAPINFO_X3P_MODULE, installed / "mapinfo-x3p.so");
  fs::copy_file(MAPINFO_PICTURE_MODULE, installed / "mapinfo-picture.so");
  r = run(dir, alone, {"s.x3p"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, run(dir, MAPINFO_EXECUTABLE, {"s.x3p"}).out);
  EXPECT_EQ(run(dir, alone, {"--compare", "s.dat", "s.x3p"}).status, 0);
  r = run(dir, alone, {"--png", "s.png", "s.x3p"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(fs::exists(dir.file("s.png")));
}

}  // namespace
