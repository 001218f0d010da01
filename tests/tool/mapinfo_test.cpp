// mapinfo from the outside: the real executables on generated files, where
// the numbers, the pixels or a signal count. Its messages and summaries are
// golden cases (tests/cli/cases/mapinfo).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mapconv/conversion.h>
#include <png.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "cli_support.h"
#include "programs/mapinfo/colour_map.h"
#include "test_support.h"

namespace {

// No run may write more than this: an input copied without end fails.
test::RunOptions bounded() {
  test::RunOptions options;
  options.file_size_limit = 256ul << 20;
  return options;
}

test::ProcessResult mapinfo(const test::TempDir& dir, const std::vector<std::string>& arguments) {
  return test::run_program(MAPINFO_EXECUTABLE, arguments, dir, bounded());
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
  EXPECT_EQ(from_xdt.at("kind"), "\"xdt_file\"");
  EXPECT_EQ(from_dat.at("kind"), "\"data_file\"");
  EXPECT_EQ(from_dat.at("header_format"), "1");
  EXPECT_EQ(from_dat.at("header_size"), "834");
  for (const char* key :
       {"columns", "rows", "points_with_data", "points_without_data", "lateral_resolution"}) {
    EXPECT_EQ(from_xdt.at(key), from_dat.at(key)) << key;
  }
  EXPECT_EQ(from_xdt.at("points_without_data"), "3");
  const double one_count_nm = 0.5 * 6.328e-7 / 32768 * 1e9;
  for (const char* key : {"min", "max", "mean", "rms", "peak_to_valley", "Sa", "Sq", "Sp", "Sv", "Sz"}) {
    EXPECT_NEAR(number(from_xdt, key), number(from_dat, key), one_count_nm) << key;
  }
  EXPECT_EQ(from_dat.at("level"), "\"plane\"");
  EXPECT_NEAR(number(from_xdt, "Ssk"), number(from_dat, "Ssk"), 1e-3);
  // 2e-8 m of height per row of 2.5e-6 m, less what the sine leans.
  EXPECT_NEAR(number(from_xdt, "slope_y_nm_per_m"), 2e-8 / 2.5e-6 * 1e9, 1e6);
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
  const test::ProcessResult result = mapinfo(dir, {"--no-legend", "--png", dir.file("ramp.png"), dir.file("ramp.xdt")});
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

  // A plane (heights exact in float) levelled is flat, all one colour.
  test::write_file(
      dir.file("plane.xdt"),
      test::xdt_bytes(5, 3, test::grid(5, 3, 1e-6f, [](int row, int column) {
                        return row == 1 && column == 1 ? -1.0f : std::ldexp(float(row * 5 - column), -30);
                      })));
  ASSERT_EQ(
      mapinfo(dir, {"--level", "plane", "--no-legend", "-f", "--png", dir.file("ramp.png"), dir.file("plane.xdt")}).status,
      0);
  const Picture levelled = decode(dir.file("ramp.png"));
  EXPECT_EQ(levelled.at(0, 0), colour_map[colour_map.size() / 2]);
  EXPECT_EQ(levelled.at(4, 2), colour_map[colour_map.size() / 2]);
  EXPECT_EQ(levelled.at(1, 1), NO_DATA_COLOUR);
}

// The tEXt chunks of a PNG file, by key.
std::map<std::string, std::string> picture_text(const std::string& path) {
  std::map<std::string, std::string> text;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return text;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  if (info != nullptr && setjmp(png_jmpbuf(png)) == 0) {
    png_init_io(png, file);
    png_read_info(png, info);
    png_textp entries = nullptr;
    const int count = png_get_text(png, info, &entries, nullptr);
    for (int i = 0; i < count; ++i)
      text[entries[i].key] = std::string(entries[i].text, entries[i].text_length);
  }
  png_destroy_read_struct(&png, info != nullptr ? &info : nullptr, nullptr);
  std::fclose(file);
  return text;
}

std::string quoted(const std::string& text) { return "'" + text + "'"; }

// Stopped while it waits for its input, it dies by the signal (128 + n in
// a shell) and the old picture stays. The test holds the FIFO's writer open,
// so a run that ignored the signal would wait for ever: the run's time limit
// makes that a failure.
TEST(Mapinfo, StoppedWhileWaitingForItsInputKeepsTheOldPicture) {
  test::TempDir dir;
  test::TempDir scratch;
  const std::string old_picture = dir.file("old.png");
  const unsigned char old_bytes[] = "an older picture";
  const std::string waiting = dir.file("waiting.xdt");
  ASSERT_EQ(mkfifo(waiting.c_str(), 0600), 0);
  for (const int number : {SIGTERM, SIGINT, SIGHUP}) {
    test::write_file(old_picture, old_bytes);
    test::RunOptions options = bounded();
    options.time_limit_seconds = 20;
    const test::RunningProgram running =
        test::start_program(MAPINFO_EXECUTABLE, {"-f", "--png", old_picture, waiting}, scratch, options);
    int writer = -1;
    for (int attempt = 0; attempt < 10000 && writer < 0; ++attempt) {
      writer = open(waiting.c_str(), O_WRONLY | O_NONBLOCK);  // once mapinfo reads
      if (writer < 0) usleep(1000);
    }
    kill(running.pid, number);
    test::ProcessResult result;
    EXPECT_NO_THROW(result = test::finish_program(running)) << "signal " << number;
    if (writer >= 0) close(writer);
    EXPECT_EQ(result.status, 128 + number);
    EXPECT_EQ(test::read_file(old_picture), test::Bytes(std::begin(old_bytes), std::end(old_bytes)));
    EXPECT_EQ(test::listing(dir.path()), (std::set<std::string>{"old.png", "waiting.xdt"}));
  }
}

TEST(Mapinfo, SummarisesAPipeAsTheSameFileOnDisk) {
  test::TempDir dir;
  const std::string xdt = dir.file("surface.xdt"), dat = dir.file("surface.dat");
  test::write_file(xdt, surface_xdt());
  ASSERT_EQ(test::run_program(MAPCONV_EXECUTABLE, {xdt, dat}, dir).status, 0);
  const std::string program = quoted(MAPINFO_EXECUTABLE);
  for (const std::string& file : {xdt, dat}) {
    for (const char* format : {"", "--json "}) {
      const test::ProcessResult on_disk = mapinfo(dir, {format[0] != '\0' ? "--json" : "--", file});
      ASSERT_EQ(on_disk.status, 0) << on_disk.err;
      std::string expected = on_disk.out;
      const std::string name = format[0] != '\0' ? "\"" + file + "\"" : file;
      expected.replace(expected.find(name), name.size(), format[0] != '\0' ? "\"/dev/stdin\"" : "/dev/stdin");
      for (const std::string& command :
           {"cat " + quoted(file) + " | " + program + " " + format + "/dev/stdin",
            program + " " + format + "/dev/stdin < " + quoted(file)}) {
        const test::ProcessResult piped = test::run_program("/bin/sh", {"-c", command}, dir);
        EXPECT_EQ(piped.status, 0) << command << piped.err;
        EXPECT_EQ(piped.out, expected) << command;
      }
    }
  }
  // The same picture from the pipe as from the file.
  const test::ProcessResult drawn =
      test::run_program("/bin/sh",
                        {"-c", "cat " + quoted(dat) + " | " + program + " --no-legend --png " +
                                   quoted(dir.file("piped.png")) + " /dev/stdin"},
                        dir);
  ASSERT_EQ(drawn.status, 0) << drawn.err;
  ASSERT_EQ(mapinfo(dir, {"--no-legend", "--png", dir.file("direct.png"), dat}).status, 0);
  EXPECT_EQ(decode(dir.file("piped.png")).rgb, decode(dir.file("direct.png")).rgb);
  EXPECT_EQ(picture_text(dir.file("piped.png")).at("Source"), "/dev/stdin");
  // Endless inputs are copied only as far as the file they begin: an XDT
  // grid ignores what follows, a data file must end after its blocks. yes
  // begins a valid grid ("y\ny\n" is 2681 x 2681) and is summarised.
  const struct {
    std::string command;
    int status;
    std::string text;
  } endless[] = {
      {"yes | " + program + " /dev/stdin", 0, "2681 columns x 2681 rows"},
      {"cat " + quoted(xdt) + " /dev/zero | " + program + " /dev/stdin", 0, "9 columns x 6 rows"},
      {"cat " + quoted(dat) + " /dev/zero | " + program + " /dev/stdin", 1, "not a valid data file"},
  };
  for (const auto& c : endless) {
    const test::ProcessResult run = test::run_program("/bin/sh", {"-c", c.command}, dir, bounded());
    EXPECT_EQ(run.status, c.status) << c.command << run.err;
    EXPECT_NE((run.out + run.err).find(c.text), std::string::npos) << c.command << run.err;
  }
  // An empty input (standard input is /dev/null here) is cut short.
  const test::ProcessResult empty = mapinfo(dir, {"/dev/stdin"});
  EXPECT_EQ(empty.status, 1);
  EXPECT_NE(empty.err.find("mapinfo: /dev/stdin: not a data file, and cut short"), std::string::npos)
      << empty.err;
}

// 100 phase counts of mapconv's conversion, so that the data file holds
// heights in the same proportions as the XDT file.
constexpr double HEIGHT_UNIT_M = 100 * 0.5 * 6.328e-7 / 32768;

// An 8 x 4 map of 2 x 2 blocks whose means, in units, are known; no mean
// falls near the border between two colours.
float block_height(int row, int column) {
  const int block = (row / 2) * 4 + column / 2;
  const int corner = (row % 2) * 2 + column % 2;
  const int units[4][4] = {{3, 6, 3, 6}, {0, 0, 0, 0}, {9, 0, 0, 0}, {10, 10, 12, 14}};
  switch (block) {
    case 0:  // the lowest point: 1 unit
      return static_cast<float>(HEIGHT_UNIT_M);
    case 1:  // mean 4.5
      return static_cast<float>(units[0][corner] * HEIGHT_UNIT_M);
    case 2:  // no data at all: grey
      return -1.0f;
    case 3:  // one valid point among gaps and a NaN
      return corner == 0 ? static_cast<float>(9 * HEIGHT_UNIT_M) : corner == 1 ? NAN : -1.0f;
    case 7:  // the highest point
      return static_cast<float>(21 * HEIGHT_UNIT_M);
    default:  // mean 11.5
      return static_cast<float>(units[3][corner] * HEIGHT_UNIT_M);
  }
}

TEST(Mapinfo, ReducesByBlockMeansAndEnlargesByRepeating) {
  test::TempDir dir;
  test::write_file(dir.file("blocks.xdt"), test::xdt_bytes(8, 4, test::grid(8, 4, 1e-6f, block_height)));
  ASSERT_EQ(
      test::run_program(MAPCONV_EXECUTABLE, {dir.file("blocks.xdt"), dir.file("blocks.dat")}, dir).status, 0);
  const auto colour = [](double nm) { return colour_for_height(nm, 1.0, 21.0); };
  const Rgb grey = NO_DATA_COLOUR;
  struct Case {
    std::string size;
    png_uint_32 width, height;
    std::vector<Rgb> pixels;  // row by row; empty: check against the map itself
  };
  const Case cases[] = {
      {"4",
       4,
       2,
       {colour(1), colour(4.5), grey, colour(9), colour(11.5), colour(11.5), colour(11.5), colour(21)}},
      // Two blocks of 4 x 4 points; the second has 9 valid ones.
      {"2", 2, 1, {colour((4 * 1 + 18 + 46 + 46) / 16.0), colour((9 + 46 + 4 * 21) / 9.0)}},
      {"1", 1, 1, {colour((4 + 18 + 46 + 46 + 9 + 46 + 84) / 25.0)}},
      {"8", 8, 4, {}},
      {"16", 16, 8, {}},
      {"20", 20, 10, {}},
  };
  for (const char* input : {"blocks.xdt", "blocks.dat"}) {
    ASSERT_EQ(mapinfo(dir, {"--no-legend", "--png", dir.file("full.png"), "-f", dir.file(input)}).status, 0);
    const Picture full = decode(dir.file("full.png"));
    ASSERT_EQ(full.width, 8u);
    for (const Case& c : cases) {
      const std::string name = std::string(input) + " --size " + c.size;
      const test::ProcessResult result =
          mapinfo(dir, {"--no-legend", "-f", "--size", c.size, "--png", dir.file("picture.png"), dir.file(input)});
      ASSERT_EQ(result.status, 0) << name << result.err;
      const Picture picture = decode(dir.file("picture.png"));
      ASSERT_EQ(picture.width, c.width) << name;
      ASSERT_EQ(picture.height, c.height) << name;
      for (png_uint_32 y = 0; y < c.height; ++y) {
        for (png_uint_32 x = 0; x < c.width; ++x) {
          const Rgb expected =
              c.pixels.empty() ? full.at(x * 8 / c.width, y * 4 / c.height) : c.pixels[y * c.width + x];
          EXPECT_EQ(picture.at(x, y), expected) << name << " at " << x << "," << y;
        }
      }
    }
  }
  const std::map<std::string, std::string> text = picture_text(dir.file("picture.png"));
  EXPECT_NEAR(std::stod(text.at("Height minimum")), HEIGHT_UNIT_M * 1e9, 1e-6);
  EXPECT_NEAR(std::stod(text.at("Height maximum")), 21 * HEIGHT_UNIT_M * 1e9, 1e-6);
  EXPECT_EQ(text.at("Height unit"), "nm");
  EXPECT_NE(text.at("Colour scale").find("height minimum"), std::string::npos);
  EXPECT_EQ(text.at("Source"), dir.file("blocks.dat"));
}

TEST(Mapinfo, ChoosesTheDefaultSizeByTheLongerSide) {
  test::TempDir dir;
  struct Case {
    int columns, rows;
    std::vector<std::string> options;
    png_uint_32 width, height;
  };
  const Case cases[] = {
      {300, 200, {}, 300, 200},
      {2048, 3, {}, 2048, 3},
      {2, 2100, {}, 2, 2048},
      {2100, 3, {}, 2048, 3},
      {3, 4096, {}, 2, 2048},
      {3, 4096, {"--size", "4096"}, 3, 4096},
      {30000, 2, {"--size=65535"}, 65535, 4},
      {30000, 2, {"--size", "3"}, 3, 1},
  };
  for (const Case& c : cases) {
    const std::string name = std::to_string(c.columns) + "x" + std::to_string(c.rows);
    test::write_file(
        dir.file("map.xdt"),
        test::xdt_bytes(c.columns, c.rows, test::grid(c.columns, c.rows, 1e-6f, [](int r, int col) {
                          return static_cast<float>((r + col) * 1e-9);
                        })));
    std::vector<std::string> arguments = c.options;
    for (const char* word : {"--no-legend", "-f", "--png"}) arguments.push_back(word);
    arguments.push_back(dir.file("map.png"));
    arguments.push_back(dir.file("map.xdt"));
    const test::ProcessResult result = mapinfo(dir, arguments);
    ASSERT_EQ(result.status, 0) << name << result.err;
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&image, dir.file("map.png").c_str())) << name;
    EXPECT_EQ(image.width, c.width) << name;
    EXPECT_EQ(image.height, c.height) << name;
    png_image_free(&image);
  }
}

}  // namespace

namespace {

// Where the bare picture of the same map sits in figure, or {-1, -1}.
std::pair<long, long> place_of(const Picture& map, const Picture& figure) {
  const auto row_at = [](const Picture& p, png_uint_32 x, png_uint_32 y) { return &p.rgb[(y * p.width + x) * 3]; };
  const std::size_t row_bytes = map.width * std::size_t{3};
  for (png_uint_32 y = 0; y + map.height <= figure.height; ++y) {
    for (png_uint_32 x = 0; x + map.width <= figure.width; ++x) {
      bool all = true;
      for (png_uint_32 r = 0; r < map.height && all; ++r)
        all = std::equal(row_at(map, 0, r), row_at(map, 0, r) + row_bytes, row_at(figure, x, y + r));
      if (all) return {x, y};
    }
  }
  return {-1, -1};
}

}  // namespace

// Scripts rely on the bare map staying byte for byte what it was; the
// figure holds those very pixels, and the text chunks of both are the same.
TEST(MapinfoFigure, BareMapAsBeforeAndInsideTheFigure) {
  test::TempDir dir;
  struct Case {
    std::vector<std::string> options;
    const char* golden;
  };
  const Case cases[] = {{{"--size", "96"}, "surface-96.png"}, {{"--level", "mean", "--size", "33"}, "surface-mean-33.png"}};
  // Under the name the golden pictures record as their source.
  std::filesystem::create_directory(dir.file("examples"));
  std::filesystem::copy_file(EXAMPLE_SURFACE, dir.file("examples/surface.xdt"));
  const std::string example = "examples/surface.xdt";
  // mapinfo run from dir, so that it is given the name relative to it.
  const auto mapinfo_here = [&](const std::vector<std::string>& arguments) {
    std::string command = "cd";
    for (const std::string& word : {dir.path(), std::string("&&"), std::string("exec"), std::string(MAPINFO_EXECUTABLE)})
      command.append(" ").append(word == "&&" || word == "exec" ? word : quoted(word));
    for (const std::string& word : arguments) command.append(" ").append(quoted(word));
    return test::run_program("/bin/sh", {"-c", command}, dir, bounded());
  };
  for (const Case& c : cases) {
    std::vector<std::string> bare = c.options, figure = c.options;
    for (const std::string& word : {std::string("--no-legend"), std::string("--png"), dir.file("bare.png"), example})
      bare.push_back(word);
    for (const std::string& word : {std::string("--png"), dir.file("figure.png"), example})
      figure.push_back(word);
    const test::ProcessResult plain = mapinfo_here(bare);
    ASSERT_EQ(plain.status, 0) << c.golden << plain.err;
    const test::ProcessResult drawn = mapinfo_here(figure);
    ASSERT_EQ(drawn.status, 0) << c.golden << drawn.err;
    EXPECT_EQ(drawn.err, "");
    EXPECT_EQ(test::read_file(dir.file("bare.png")), test::read_file(std::string(GOLDEN_DIR "/") + c.golden))
        << c.golden;
    const Picture map = decode(dir.file("bare.png")), whole = decode(dir.file("figure.png"));
    EXPECT_GT(whole.width, map.width + 20) << c.golden;
    EXPECT_GT(whole.height, map.height + 20) << c.golden;
    const auto [x, y] = place_of(map, whole);
    EXPECT_GT(x, 0) << c.golden;
    EXPECT_GT(y, 0) << c.golden;
    EXPECT_EQ(picture_text(dir.file("figure.png")), picture_text(dir.file("bare.png"))) << c.golden;
    // The colour bar beside the map: the scale's top colour level with the
    // map's first row, its bottom colour with the last.
    const auto beside = [&](png_uint_32 row, Rgb colour) {
      for (png_uint_32 column = static_cast<png_uint_32>(x) + map.width; column < whole.width; ++column)
        if (whole.at(column, row) == colour) return true;
      return false;
    };
    if (x > 0 && y > 0) {
      EXPECT_TRUE(beside(static_cast<png_uint_32>(y), colour_map.back())) << c.golden;
      EXPECT_TRUE(beside(static_cast<png_uint_32>(y) + map.height - 1, colour_map.front())) << c.golden;
      EXPECT_FALSE(beside(static_cast<png_uint_32>(y), colour_map.front())) << c.golden;
    }
    std::filesystem::remove(dir.file("bare.png"));
    std::filesystem::remove(dir.file("figure.png"));
  }
}

// A fixed colour range: the map's own range changes nothing, a wider one
// moves the lowest and highest points off the scale's ends, and the text
// chunks give the range used.
TEST(MapinfoFigure, RangeFixesTheColourScale) {
  test::TempDir dir;
  const auto points = test::grid(5, 3, 1e-6f, [](int row, int column) {
    return static_cast<float>((row * 5 + column) * 1e-9);
  });
  test::write_file(dir.file("ramp.xdt"), test::xdt_bytes(5, 3, points));
  const auto draw = [&](const std::vector<std::string>& range) {
    std::vector<std::string> arguments = range;
    for (const std::string& word : {std::string("--no-legend"), std::string("-f"), std::string("--png"),
                                    dir.file("ramp.png"), dir.file("ramp.xdt")})
      arguments.push_back(word);
    EXPECT_EQ(mapinfo(dir, arguments).status, 0);
    return decode(dir.file("ramp.png"));
  };
  const Picture own = draw({});
  EXPECT_EQ(draw({"--range", "0", "14"}).rgb, own.rgb);
  const Picture wider = draw({"--range", "-14", "28"});
  EXPECT_EQ(wider.at(0, 0), colour_map[static_cast<std::size_t>(14.0 / 42.0 * 255 + 0.5)]);
  EXPECT_EQ(wider.at(4, 2), colour_map[static_cast<std::size_t>(28.0 / 42.0 * 255 + 0.5)]);
  const auto text = picture_text(dir.file("ramp.png"));
  EXPECT_EQ(text.at("Height minimum"), "-14");
  EXPECT_EQ(text.at("Height maximum"), "28");
}
