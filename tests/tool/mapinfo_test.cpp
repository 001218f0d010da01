// mapinfo from the outside: the real executables on generated files.
#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "cli_support.h"
#include "test_support.h"
#include "tool/colour_map.h"

namespace {

test::ProcessResult mapinfo(const test::TempDir& dir, const std::vector<std::string>& arguments) {
  return test::run_program(MAPINFO_EXECUTABLE, arguments, dir);
}

// The numbers of one flat JSON line, plus its string fields, by key.
std::map<std::string, std::string> json_fields(const std::string& line) {
  std::map<std::string, std::string> fields;
  static const std::regex field(R"re("(\w+)":("(?:[^"\\]|\\.)*"|[-+0-9.eE]+|null))re");
  for (auto it = std::sregex_iterator(line.begin(), line.end(), field); it != std::sregex_iterator(); ++it) {
    fields[(*it)[1]] = (*it)[2];
  }
  return fields;
}

double number(const std::map<std::string, std::string>& fields, const std::string& key) {
  const auto it = fields.find(key);
  return it == fields.end() || it->second == "null" ? NAN : std::stod(it->second);
}

// A 9 x 6 surface in metres with three points without data.
float surface_height(int row, int column) {
  if ((row == 1 && column == 4) || (row == 5 && column < 2)) return -1.0f;
  return static_cast<float>(1e-7 * std::sin(0.7 * column) * std::cos(0.5 * row) + 2e-8 * row);
}

test::Bytes surface_xdt() { return test::xdt_bytes(9, 6, test::grid(9, 6, 2.5e-6f, surface_height)); }

TEST(Mapinfo, DataFileAgreesWithTheXdtItWasConvertedFrom) {
  test::TempDir dir;
  const std::string xdt = dir.file("surface.xdt"), dat = dir.file("surface.dat");
  test::write_file(xdt, surface_xdt());
  ASSERT_EQ(test::run_program(MAPCONV_EXECUTABLE, {xdt, dat}, dir).status, 0);

  const test::ProcessResult result = mapinfo(dir, {"--json", xdt, dat});
  ASSERT_EQ(result.status, 0) << result.err;
  const auto newline = result.out.find('\n');
  ASSERT_NE(newline, std::string::npos);
  const auto from_xdt = json_fields(result.out.substr(0, newline));
  const auto from_dat = json_fields(result.out.substr(newline + 1));
  EXPECT_EQ(from_xdt.at("kind"), "\"xdt\"");
  EXPECT_EQ(from_dat.at("kind"), "\"data file\"");
  EXPECT_EQ(from_dat.at("header_format"), "1");
  EXPECT_EQ(from_dat.at("header_size"), "834");
  for (const char* key :
       {"columns", "rows", "points_with_data", "points_without_data", "lateral_resolution"}) {
    EXPECT_EQ(from_xdt.at(key), from_dat.at(key)) << key;
  }
  EXPECT_EQ(from_xdt.at("points_without_data"), "3");
  const double one_count_nm = 0.5 * 6.328e-7 / 32768 * 1e9;
  for (const char* key : {"min", "max", "mean", "rms", "peak_to_valley"}) {
    EXPECT_NEAR(number(from_xdt, key), number(from_dat, key), one_count_nm) << key;
  }
  float highest = -1.0f;
  for (int i = 0; i < 9 * 6; ++i) highest = std::max(highest, surface_height(i / 9, i % 9));
  EXPECT_NEAR(number(from_xdt, "max"), highest * 1e9, 1e-6);
  EXPECT_EQ(static_cast<float>(number(from_dat, "wavelength_m")), 6.328e-7f);
  EXPECT_EQ(from_dat.at("scale_factor"), "0.5");
  EXPECT_EQ(from_dat.at("phase_resolution"), "1");
  EXPECT_EQ(from_xdt.at("wavelength_m"), "null");

  const test::ProcessResult text = mapinfo(dir, {dat});
  EXPECT_EQ(text.status, 0);
  for (const char* line :
       {": data file, header format 1 (834-byte header)\n", "  grid                 9 columns x 6 rows\n",
        "  points with data     51\n", "  points without data  3\n", "  scale factor         0.5\n",
        "  intensity            none\n"}) {
    EXPECT_NE(text.out.find(line), std::string::npos) << line << text.out;
  }
}

struct Picture {
  png_uint_32 width = 0, height = 0;
  std::vector<png_byte> rgb;
  Rgb at(png_uint_32 x, png_uint_32 y) const {
    const png_byte* p = &rgb[(y * width + x) * 3];
    return {p[0], p[1], p[2]};
  }
};

Picture decode(const std::string& path) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  Picture picture;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return picture;
  image.format = PNG_FORMAT_RGB;
  picture.rgb.resize(PNG_IMAGE_SIZE(image));
  if (png_image_finish_read(&image, nullptr, picture.rgb.data(), 0, nullptr)) {
    picture.width = image.width;
    picture.height = image.height;
  }
  png_image_free(&image);
  return picture;
}

TEST(Mapinfo, DrawsOnePixelPerPointWithRowZeroAtTheTop) {
  test::TempDir dir;
  // Lowest point top left, highest bottom right; one gap and one NaN.
  const auto points = test::grid(5, 3, 1e-6f, [](int row, int column) {
    if (row == 1 && column == 1) return -1.0f;
    if (row == 1 && column == 3) return NAN;
    return static_cast<float>((row * 5 + column) * 1e-9);
  });
  test::write_file(dir.file("ramp.xdt"), test::xdt_bytes(5, 3, points));
  const test::ProcessResult result = mapinfo(dir, {"--png", dir.file("ramp.png"), dir.file("ramp.xdt")});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_NE(result.out.find("  non-finite heights   1\n"), std::string::npos) << result.out;

  const Picture picture = decode(dir.file("ramp.png"));
  ASSERT_EQ(picture.width, 5u);
  ASSERT_EQ(picture.height, 3u);
  EXPECT_EQ(picture.at(0, 0), colour_map.front());
  EXPECT_EQ(picture.at(4, 2), colour_map.back());
  EXPECT_EQ(picture.at(1, 1), NO_DATA_COLOUR);
  EXPECT_EQ(picture.at(3, 1), NO_DATA_COLOUR);
  EXPECT_EQ(picture.at(2, 1), colour_map[static_cast<std::size_t>(7.0 / 14.0 * 255 + 0.5)]);
}

TEST(Mapinfo, ReportsEveryFailureAndGoesOnWithTheOtherFiles) {
  test::TempDir dir;
  test::write_file(dir.file("good.xdt"), surface_xdt());
  // As an XDT file: 26740 x 29545 points, and far too short for them.
  const unsigned char garbage[] = "this is not a surface map at all";
  test::write_file(dir.file("garbage"), garbage);
  const unsigned char wide_grid[] = {0xFF, 0xFF, 0x02, 0x00, 1, 2, 3};
  test::write_file(dir.file("wide.xdt"), wide_grid);
  const unsigned char short_magic[] = {0x88, 0x1B, 0x03, 0x6F, 0x00, 0x01};
  test::write_file(dir.file("short.dat"), short_magic);
  struct Case {
    std::vector<std::string> arguments;
    int status;
    std::string err;  // a line standard error must hold
    bool summary;     // good.xdt's summary on standard output
  };
  const std::string good = dir.file("good.xdt");
  const Case cases[] = {
      {{dir.file("missing"), good},
       1,
       dir.file("missing") + ": No such file or directory (ERR_CANT_OPEN_FILE)",
       true},
      {{dir.file("garbage")},
       1,
       dir.file("garbage") + ": not a data file, and too short for the XDT grid of 26740 x 29545 points",
       false},
      {{dir.file("wide.xdt")},
       1,
       "Num Cols = 65535 is too large\nmapinfo: " + dir.file("wide.xdt") +
           ": not a data file, and not a valid XDT file",
       false},
      {{dir.file("short.dat")}, 1, "data file is cut short (ERR_PREMATURE_EOF)", false},
      {{dir.path()}, 1, dir.path() + ": is a directory (ERR_CANT_OPEN_FILE)", false},
      {{"--png", dir.path() + "/no/such/dir.png", good}, 1, "cannot create the picture", true},
      {{"--png", "/dev/full", good}, 1, "(ERR_CANT_WRITE_FILE)", true},
      {{}, 2, "mapinfo: no input file", false},
      {{"--png", dir.file("x.png"), good, good}, 2, "--png draws one file", false},
      {{"--colour", good}, 2, "mapinfo: --colour: unknown option", false},
      {{"--png"}, 2, "needs one picture file name", false},
      {{"--", "--json"}, 1, "--json: No such file or directory", false},
  };
  for (const Case& c : cases) {
    const test::ProcessResult result = mapinfo(dir, c.arguments);
    EXPECT_EQ(result.status, c.status) << c.err;
    EXPECT_NE(result.err.find(c.err), std::string::npos) << result.err;
    EXPECT_EQ(result.out.find("9 columns x 6 rows") != std::string::npos, c.summary) << c.err;
  }
}

TEST(Mapinfo, EscapesAnOddFileNameInJson) {
  test::TempDir dir;
  const std::string name = "we\"ird\\na\tme\x01\xff\xc3\xa9.xdt";
  test::write_file(dir.file(name), surface_xdt());
  const test::ProcessResult result = mapinfo(dir, {"--json", dir.file(name)});
  ASSERT_EQ(result.status, 0) << result.err;
  const std::string expected =
      "{\"file\":\"" + dir.path() + "/we\\\"ird\\\\na\\tme\\u0001\\u00ff\xc3\xa9.xdt\",";
  EXPECT_EQ(result.out.substr(0, expected.size()), expected);
  EXPECT_EQ(std::count(result.out.begin(), result.out.end(), '\n'), 1);
}

}  // namespace
