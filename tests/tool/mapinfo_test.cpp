// mapinfo from the outside: the real executables on generated files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mapconv/conversion.h>
#include <mapconv/data_file_writer.h>
#include <mapconv/version.h>
#include <png.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <map>
#include <regex>
#include <string>
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

// A 4 x 3 data file of counts first, first + step, ... (point 5 without
// data) under its own wavelength and scale factor.
std::string scaled_data_file(const test::TempDir& dir, const std::string& name, float wavelength,
                             float scale_factor, std::int32_t first = 0, std::int32_t step = 1) {
  DataFileHeader header;
  build_header(4, 3, 1e-6f, &header);
  header.wavelength = wavelength;
  header.scale_factor = scale_factor;
  std::vector<std::int32_t> counts(12);
  for (std::size_t i = 0; i < counts.size(); ++i)
    counts[i] = i == 5 ? PHASE_INVALID : first + step * static_cast<std::int32_t>(i);
  const PhaseMap phase{12, 0, 0, 4, 3, counts.data()};
  const std::string path = dir.file(name);
  EXPECT_EQ(write_data_file(path.c_str(), nullptr, &header, nullptr, &phase), NO_ERROR) << name;
  return path;
}

// Pairs of data files whose counts have no height scale: NAME-a.dat holds
// 0, 1, 2, ..., NAME-b.dat 5, 1005, 2005, ...
void write_unscaled_files(const test::TempDir& dir) {
  const struct {
    const char* name;
    float wavelength, scale_factor;
  } files[] = {
      {"nan-wavelength", NAN, 0.5f},   {"inf-wavelength", std::numeric_limits<float>::infinity(), 0.5f},
      {"zero-wavelength", 0.0f, 0.5f}, {"zero-scale", 6.328e-7f, 0.0f},
      {"nan-scale", 6.328e-7f, NAN},
  };
  for (const auto& f : files) {
    scaled_data_file(dir, std::string(f.name) + "-a.dat", f.wavelength, f.scale_factor);
    scaled_data_file(dir, std::string(f.name) + "-b.dat", f.wavelength, f.scale_factor, 5, 1000);
  }
}

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

  // A plane (heights exact in float) levelled is flat, all one colour.
  test::write_file(
      dir.file("plane.xdt"),
      test::xdt_bytes(5, 3, test::grid(5, 3, 1e-6f, [](int row, int column) {
                        return row == 1 && column == 1 ? -1.0f : std::ldexp(float(row * 5 - column), -30);
                      })));
  ASSERT_EQ(
      mapinfo(dir, {"--level", "plane", "-f", "--png", dir.file("ramp.png"), dir.file("plane.xdt")}).status,
      0);
  const Picture levelled = decode(dir.file("ramp.png"));
  EXPECT_EQ(levelled.at(0, 0), colour_map[colour_map.size() / 2]);
  EXPECT_EQ(levelled.at(4, 2), colour_map[colour_map.size() / 2]);
  EXPECT_EQ(levelled.at(1, 1), NO_DATA_COLOUR);
}

TEST(Mapinfo, ReportsEveryFailureAndGoesOnWithTheOtherFiles) {
  test::TempDir dir;
  test::write_file(dir.file("good.xdt"), surface_xdt());
  // As an XDT file: 26740 x 29545 points, and far too short for them.
  const unsigned char garbage[] = "this is not a surface map at all";
  test::write_file(dir.file("garbage"), garbage);
  const unsigned char wide_grid[] = {0xFF, 0xFF, 0x02, 0x00, 1, 2, 3};
  test::write_file(dir.file("wide.xdt"), wide_grid);
  write_unscaled_files(dir);
  const unsigned char short_magic[] = {0x88, 0x1B, 0x03, 0x6F, 0x00, 0x01};
  test::write_file(dir.file("short.dat"), short_magic);
  const unsigned char one_column[] = {0x01, 0x00, 0x05, 0x00, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  test::write_file(dir.file("one.xdt"), one_column);
  test::Bytes cut = surface_xdt();
  cut.resize(4 + 12 * 20 + 7);  // 20 whole points of 54
  test::write_file(dir.file("cut.xdt"), cut);
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
       "mapinfo: " + dir.file("wide.xdt") +
           ": not a data file, and not a valid XDT file: Num Cols = 65535 is too large "
           "(ERR_PARAM_OUT_OF_RANGE)\n",
       false},
      {{dir.file("one.xdt")},
       1,
       "mapinfo: " + dir.file("one.xdt") +
           ": not a data file, and not a valid XDT file: Num Cols = 1 is too small "
           "(ERR_PARAM_OUT_OF_RANGE)\n",
       false},
      {{"--compare", good, dir.file("cut.xdt")},
       1,
       "mapinfo: " + dir.file("cut.xdt") +
           ": not a data file, and cut short as an XDT file: EOF reading point 21 of 54 "
           "(ERR_PREMATURE_EOF)\n",
       false},
      {{"--compare", dir.file("one.xdt"), good},
       1,
       "mapinfo: " + dir.file("one.xdt") +
           ": not a data file, and not a valid XDT file: Num Cols = 1 is too small",
       false},
      {{dir.file("short.dat")}, 1, "data file is cut short (ERR_PREMATURE_EOF)", false},
      {{dir.path()}, 1, dir.path() + ": is a directory (ERR_CANT_OPEN_FILE)", false},
      {{"/proc/self/mem", good},
       1,
       "mapinfo: /proc/self/mem: cannot read the file: Input/output error (ERR_CANT_READ_FILE)",
       true},
      // Endless, and no valid file from its first bytes on: the copy stops there.
      {{"/dev/zero", good},
       1,
       "mapinfo: /dev/zero: not a data file, and not a valid XDT file: Num Cols = 0 is too small (",
       true},
      {{"--png", dir.path() + "/no/such/dir.png", good},
       1,
       dir.path() +
           "/no/such/dir.png: cannot create the picture: No such file or directory (ERR_CANT_CREATE_FILE)",
       true},
      {{"--png", "/dev/full", good},
       1,
       "mapinfo: /dev/full: cannot write the picture: No space left on device (ERR_CANT_WRITE_FILE)",
       true},
      {{}, 2, "mapinfo: no input file", false},
      {{"--png", dir.file("x.png"), good, good}, 2, "--png draws one file", false},
      {{"--colour", good}, 2, "mapinfo: --colour: unknown option", false},
      {{"--png"}, 2, "needs one picture file name", false},
      {{"--", "--json"}, 1, "--json: No such file or directory", false},
      {{"--png", dir.file("x.png"), dir.file("nan-wavelength-a.dat")},
       1,
       "mapinfo: " + dir.file("nan-wavelength-a.dat") +
           ": the wavelength (nan) gives no height scale, so there are no heights to draw\n",
       false},
  };
  for (const Case& c : cases) {
    const test::ProcessResult result = mapinfo(dir, c.arguments);
    EXPECT_EQ(result.status, c.status) << c.err;
    EXPECT_NE(result.err.find(c.err), std::string::npos) << result.err;
    EXPECT_EQ(result.out.find("9 columns x 6 rows") != std::string::npos, c.summary) << c.err;
    // One fault, one line: the reader's words are in it, not before it.
    if (c.status == 1) {
      EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    }
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

TEST(Mapinfo, GuardsThePictureAndItsInput) {
  test::TempDir dir;
  const std::string input = dir.file("surface.xdt");
  test::write_file(input, surface_xdt());
  const std::string pictures = dir.file("pictures");
  std::filesystem::create_directory(pictures);
  const std::string old_picture = pictures + "/old.png";
  const unsigned char old_bytes[] = "an older picture";
  const std::string fifo = pictures + "/fifo.png";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string hard_link = pictures + "/hard.xdt";
  ASSERT_EQ(link(input.c_str(), hard_link.c_str()), 0);
  const std::string soft_link = pictures + "/soft.png";
  ASSERT_EQ(symlink(input.c_str(), soft_link.c_str()), 0);
  // A link to nothing is refused rather than followed to create its target.
  const std::string dangling = pictures + "/dangling.png";
  ASSERT_EQ(symlink("made.png", dangling.c_str()), 0);
  struct Case {
    std::vector<std::string> arguments;
    int status;
    std::string err;
    bool drawn;  // old.png holds a new picture afterwards
  };
  // A disk counts as an existing picture.
  const test::LoopDevice device(dir.file("disk.img"), test::Bytes{'d', 'i', 's', 'k'}, dir.file("disk"));
  const std::string disk = device.node.empty() ? old_picture : device.node;
  const Case cases[] = {
      {{"--png", old_picture, input},
       1,
       "mapinfo: " + old_picture + ": already exists (use -f to replace it)\n",
       false},
      {{"--png", disk, input}, 1, "mapinfo: " + disk + ": already exists (use -f to replace it)\n", false},
      {{"-f", "--png", old_picture, input}, 0, "", true},
      {{"--force", "--png=" + old_picture, input}, 0, "", true},
      {{"--force", "--png", input, input}, 1, input + ": is the input file", false},
      {{"-f", "--png", hard_link, input}, 1, hard_link + ": is the input file", false},
      {{"-f", "--png", soft_link, input}, 1, soft_link + ": is the input file", false},
      {{"--png", input, input}, 1, input + ": is the input file", false},
      {{"-f", "--png", fifo, input}, 1, fifo + ": is a FIFO or socket", false},
      {{"-f", "--png", dangling, input},
       1,
       "mapinfo: " + dangling +
           ": cannot create the picture: the symbolic link points nowhere (ERR_CANT_CREATE_FILE)\n",
       false},
      {{"-f", "--png", "/dev/full", input},
       1,
       "mapinfo: /dev/full: cannot write the picture: No space left on device (ERR_CANT_WRITE_FILE)\n",
       false},
  };
  for (const Case& c : cases) {
    test::write_file(old_picture, old_bytes);
    const test::ProcessResult result = mapinfo(dir, c.arguments);
    EXPECT_EQ(result.status, c.status) << c.arguments[2];
    EXPECT_NE(result.err.find(c.err), std::string::npos) << result.err;
    EXPECT_NE(result.out.find("9 columns x 6 rows"), std::string::npos) << c.arguments[2];
    EXPECT_EQ(test::read_file(input), surface_xdt()) << c.arguments[2];
    if (!device.node.empty()) {
      EXPECT_EQ(device.first_bytes(4), (test::Bytes{'d', 'i', 's', 'k'}));
    }
    if (c.drawn) {
      EXPECT_EQ(decode(old_picture).width, 9u);
    } else {
      EXPECT_EQ(test::read_file(old_picture), test::Bytes(std::begin(old_bytes), std::end(old_bytes)));
    }
    // Nothing left behind: no temporary beside the pictures.
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(pictures))
      names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names,
              (std::vector<std::string>{"dangling.png", "fifo.png", "hard.xdt", "old.png", "soft.png"}));
  }
  // Stopped while it waits for its input, it dies by the signal (128 + n in
  // a shell) and the old picture stays.
  const std::string waiting = dir.file("waiting.xdt");
  ASSERT_EQ(mkfifo(waiting.c_str(), 0600), 0);
  for (const int number : {SIGTERM, SIGINT, SIGHUP}) {
    test::write_file(old_picture, old_bytes);
    const test::RunningProgram running =
        test::start_program(MAPINFO_EXECUTABLE, {"-f", "--png", old_picture, waiting}, dir);
    int writer = -1;
    for (int attempt = 0; attempt < 10000 && writer < 0; ++attempt) {
      writer = open(waiting.c_str(), O_WRONLY | O_NONBLOCK);  // once mapinfo reads
      if (writer < 0) usleep(1000);
    }
    kill(running.pid, number);
    const test::ProcessResult result = test::finish_program(running);
    if (writer >= 0) close(writer);
    EXPECT_EQ(result.status, 128 + number);
    EXPECT_EQ(test::read_file(old_picture), test::Bytes(std::begin(old_bytes), std::end(old_bytes)));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(pictures), {}), 5);
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
                        {"-c", "cat " + quoted(dat) + " | " + program + " --png " +
                                   quoted(dir.file("piped.png")) + " /dev/stdin"},
                        dir);
  ASSERT_EQ(drawn.status, 0) << drawn.err;
  ASSERT_EQ(mapinfo(dir, {"--png", dir.file("direct.png"), dat}).status, 0);
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
    ASSERT_EQ(mapinfo(dir, {"--png", dir.file("full.png"), "-f", dir.file(input)}).status, 0);
    const Picture full = decode(dir.file("full.png"));
    ASSERT_EQ(full.width, 8u);
    for (const Case& c : cases) {
      const std::string name = std::string(input) + " --size " + c.size;
      const test::ProcessResult result =
          mapinfo(dir, {"-f", "--size", c.size, "--png", dir.file("picture.png"), dir.file(input)});
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
    for (const char* word : {"-f", "--png"}) arguments.push_back(word);
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

TEST(Mapinfo, RefusesBadSizesAndPrintsHelpAndVersion) {
  test::TempDir dir;
  const std::string good = dir.file("good.xdt");
  test::write_file(good, surface_xdt());
  const std::string png = dir.file("x.png");
  write_unscaled_files(dir);
  // Counts are counted but give no heights: no statistics, no parameters.
  const auto unknown_text = [](const std::string& reason) {
    return "  points with data     11\n  points without data  1\n  non-finite heights   0\n"
           "  heights              unknown: " +
           reason + "\n  lateral resolution   1e-06\n";
  };
  const auto unknown_json = [](const std::string& reason) {
    return "\"points_with_data\":11,\"points_without_data\":1,\"non_finite_heights\":0,\"heights_nm\":null,"
           "\"heights_unknown\":\"" +
           reason + "\",\"lateral_resolution\":";
  };
  struct Case {
    std::vector<std::string> arguments;
    int status;
    std::string out;  // what standard output must hold
    std::string err;  // what standard error must hold
  };
  const Case cases[] = {
      {{"--help"}, 0, "usage: mapinfo", ""},
      {{"-h", "--bogus"}, 0, "  --size PIXELS", ""},
      {{"--version"}, 0, "mapinfo " MAPCONV_VERSION "\n", ""},
      {{"--size", "0", "--png", png, good}, 2, "", "mapinfo: --size: needs one picture size from 1 to 65535"},
      {{"--size", "65536", "--png", png, good}, 2, "", "needs one picture size"},
      {{"--size", "12x", "--png", png, good}, 2, "", "needs one picture size"},
      {{"--size", "-5", "--png", png, good}, 2, "", "needs one picture size"},
      {{"--size=+5", "--png", png, good}, 2, "", "needs one picture size"},
      {{"--size=", "--png", png, good}, 2, "", "needs one picture size"},
      {{"--size", "5", "--size", "6", "--png", png, good}, 2, "", "needs one picture size"},
      {{"--png", png, good, "--size"}, 2, "", "needs one picture size"},
      {{"--size", "5", good}, 2, "", "--size is the size of a picture; give --png as well"},
      {{"--pngx", good}, 2, "", "mapinfo: --pngx: unknown option"},
      {{"--level", "cubic", good}, 2, "", "mapinfo: --level: needs plane or mean, given once"},
      {{"--level=mean", "--level=mean", good}, 2, "", "needs plane or mean"},
      {{"--compare", good}, 2, "", "--compare takes exactly two files and no other option"},
      {{"--compare", "--json", good, good}, 2, "", "--compare takes exactly two files"},
      {{"--level=mean", good}, 0, "  form removed         mean height\n  Sa ", ""},
      {{dir.file("nan-wavelength-a.dat")}, 0, unknown_text("the wavelength (nan) gives no height scale"), ""},
      {{"--json", dir.file("nan-wavelength-a.dat")},
       0,
       unknown_json("the wavelength (nan) gives no height scale"),
       ""},
      {{dir.file("inf-wavelength-a.dat")}, 0, unknown_text("the wavelength (inf) gives no height scale"), ""},
      {{"--json", dir.file("inf-wavelength-a.dat")},
       0,
       unknown_json("the wavelength (inf) gives no height scale"),
       ""},
      {{dir.file("zero-wavelength-a.dat")}, 0, unknown_text("the wavelength (0) gives no height scale"), ""},
      {{"--json", dir.file("zero-wavelength-b.dat")},
       0,
       "\"phase_resolution\":1,\"intensity\":{\"width\":0,"
       "\"height\":0,\"frames\":0},\"parameters\":null}\n",
       ""},
      {{"--level=mean", dir.file("zero-scale-a.dat")},
       0,
       unknown_text("the scale factor (0) gives no height scale") + "  wavelength ",
       ""},
      {{"--json", dir.file("zero-scale-a.dat")},
       0,
       unknown_json("the scale factor (0) gives no height scale"),
       ""},
      {{dir.file("nan-scale-a.dat")}, 0, unknown_text("the scale factor (nan) gives no height scale"), ""},
      {{"--json", dir.file("nan-scale-b.dat")},
       0,
       unknown_json("the scale factor (nan) gives no height scale"),
       ""},
  };
  for (const Case& c : cases) {
    const test::ProcessResult result = mapinfo(dir, c.arguments);
    EXPECT_EQ(result.status, c.status) << c.arguments[0];
    EXPECT_NE(result.out.find(c.out), std::string::npos) << result.out;
    EXPECT_NE(result.err.find(c.err), std::string::npos) << result.err;
    if (c.status == 0) {
      EXPECT_EQ(result.err, "") << c.arguments[0];
    } else {
      EXPECT_EQ(result.out, "") << c.arguments[0];
    }
  }
  const std::string usage = mapinfo(dir, {"--help"}).out;
  for (const char* option : {"--json", "--png PICTURE", "--size PIXELS", "-f, --force", "--help", "--version",
                             "--level FORM", "--compare A B"})
    EXPECT_NE(usage.find(option), std::string::npos) << option;
  EXPECT_EQ(mapinfo(dir, {"--version"}).out, "mapinfo " MAPCONV_VERSION "\n");
  // Text that cannot reach standard output fails the run, and says so.
  const struct {
    std::string arguments;
    std::string err;
  } unwritten[] = {
      {"--help", "mapinfo: cannot write to standard output: No space left on device\n"},
      {"--version", "mapinfo: cannot write to standard output: No space left on device\n"},
      {quoted(good), "mapinfo: cannot write to standard output\n"},
  };
  for (const auto& c : unwritten) {
    const std::string command = quoted(MAPINFO_EXECUTABLE) + " " + c.arguments + " > /dev/full";
    const test::ProcessResult result = test::run_program("/bin/sh", {"-c", command}, dir);
    EXPECT_EQ(result.status, 1) << command;
    EXPECT_EQ(result.err, c.err) << command;
  }
}

// mapinfo --compare on XDT files and their conversions by mapconv.
TEST(Mapinfo, ComparesMapsAndFailsOnEveryLostOrChangedHeight) {
  test::TempDir dir;
  const double counts_per_metre = 32768.0 / (static_cast<double>(6.328e-7f) * 0.5);
  const auto at_count = [&](double count) { return static_cast<float>(count / counts_per_metre); };
  // Heights near the rounding halves and the largest storable counts.
  const std::vector<float> edges = {
      at_count(0.5),          at_count(-0.5),          at_count(1e6 + 0.5),        at_count(-12345.5),
      at_count(2147483000.0), at_count(-2147483000.0), std::nextafter(0.0f, 1.0f), -1.0f};
  const auto edge_grid = [&](float extra) {
    return test::xdt_bytes(
        4, 3, test::grid(4, 3, 1e-6f, [&](int row, int column) {
          const std::size_t i = static_cast<std::size_t>(row * 4 + column);
          return i < edges.size() ? edges[i] : i == 11 ? extra : 1e-9f * static_cast<float>(i);
        }));
  };
  test::write_file(dir.file("edges.xdt"), edge_grid(2e-9f));
  test::write_file(dir.file("lost.xdt"), edge_grid(0.03f));  // beyond the counts: stored as no data
  test::write_file(dir.file("nan.xdt"), edge_grid(NAN));
  test::write_file(dir.file("changed.xdt"), edge_grid(std::nextafter(2e-9f, 1.0f)));
  test::write_file(dir.file("small.xdt"), test::xdt_bytes(3, 4, test::grid(3, 4, 1e-6f, surface_height)));
  test::write_file(
      dir.file("wider.xdt"),
      test::xdt_bytes(4, 3, test::grid(4, 3, 2e-6f, [&](int row, int column) {
                        const std::size_t i = static_cast<std::size_t>(row * 4 + column);
                        return i < edges.size() ? edges[i] : i == 11 ? 2e-9f : 1e-9f * static_cast<float>(i);
                      })));
  ASSERT_EQ(
      test::run_program(XDTGEN_EXECUTABLE, {"-s", "5", "-m", "0.2", "300", "257", dir.file("gen.xdt")}, dir)
          .status,
      0);
  // Nine points: the last is tallied apart from the groups of four.
  test::write_file(dir.file("odd.xdt"), test::xdt_bytes(3, 3, test::grid(3, 3, 1e-6f, surface_height)));
  for (const char* name : {"edges", "lost", "nan", "changed", "gen", "odd"})
    ASSERT_EQ(
        test::run_program(MAPCONV_EXECUTABLE,
                          {dir.file(std::string(name) + ".xdt"), dir.file(std::string(name) + ".dat")}, dir)
            .status,
        0);
  // One count one off, in a copy of a conversion.
  test::Bytes bytes = test::read_file(dir.file("edges.dat"));
  bytes[834 + 11 * 4 + 3] ^= 1;
  test::write_file(dir.file("edges-off.dat"), bytes);
  bytes = test::read_file(dir.file("odd.dat"));
  bytes[834 + 8 * 4 + 3] ^= 1;
  test::write_file(dir.file("odd-off.dat"), bytes);
  write_unscaled_files(dir);
  struct Case {
    const char* first;
    const char* second;
    int status;
    std::string out;
    std::string err = {};  // a line standard error must hold
  };
  const std::string cannot = ", so its heights cannot be compared\n";
  const Case cases[] = {
      {"gen.xdt", "gen.dat", 0, "result: the maps agree (every height within half a phase count"},
      {"edges.xdt", "edges.dat", 0, "result: the maps agree"},
      {"edges.dat", "edges.xdt", 0, "result: the maps agree"},
      {"gen.dat", "gen.dat", 0, "largest difference         0 phase counts of B"},
      {"gen.xdt", "gen.xdt", 0, "result: the maps agree (every height equal)"},
      {"nan.xdt", "nan.xdt", 0, "result: the maps agree"},
      {"lost.xdt", "lost.dat", 1, "data in A only             1\n"},
      {"nan.xdt", "nan.dat", 1,
       "result: the points without data differ (rule: points without data coincide), "
       "first at column 3, row 2"},
      {"changed.xdt", "edges.xdt", 1, "heights differ beyond the tolerance (rule: every height equal)"},
      {"edges.xdt", "edges-off.dat", 1,
       "heights differ beyond the tolerance (rule: every height within half"},
      {"edges.dat", "edges-off.dat", 1, "heights differ"},
      {"odd.xdt", "odd.dat", 0, "result: the maps agree"},
      {"odd.xdt", "odd-off.dat", 1, "heights differ beyond the tolerance (rule: every height within half"},
      {"odd-off.dat", "odd.dat", 1, "heights differ"},
      {"small.xdt", "edges.xdt", 1, "result: the grids differ"},
      {"wider.xdt", "edges.dat", 1, "lateral resolution         2e-06 in A, 1e-06 in B"},
      // No verdict on counts that are no heights.
      {"nan-wavelength-a.dat", "nan-wavelength-b.dat", 2, "",
       "mapinfo: " + dir.file("nan-wavelength-a.dat") + ": the wavelength (nan) gives no height scale" +
           cannot},
      {"inf-wavelength-a.dat", "inf-wavelength-b.dat", 2, "",
       "mapinfo: " + dir.file("inf-wavelength-a.dat") + ": the wavelength (inf) gives no height scale" +
           cannot},
      {"zero-wavelength-a.dat", "zero-wavelength-b.dat", 2, "",
       "mapinfo: " + dir.file("zero-wavelength-a.dat") + ": the wavelength (0) gives no height scale" +
           cannot},
      {"zero-scale-a.dat", "zero-scale-b.dat", 2, "",
       "mapinfo: " + dir.file("zero-scale-a.dat") + ": the scale factor (0) gives no height scale" + cannot},
      {"nan-scale-a.dat", "nan-scale-b.dat", 2, "",
       "mapinfo: " + dir.file("nan-scale-a.dat") + ": the scale factor (nan) gives no height scale" + cannot},
      {"edges.xdt", "zero-wavelength-b.dat", 2, "",
       "mapinfo: " + dir.file("zero-wavelength-b.dat") + ": the wavelength (0) gives no height scale" +
           cannot},
  };
  for (const Case& c : cases) {
    const test::ProcessResult result = mapinfo(dir, {"--compare", dir.file(c.first), dir.file(c.second)});
    EXPECT_EQ(result.status, c.status) << c.first << " " << c.second << result.err;
    EXPECT_NE(result.out.find(c.out), std::string::npos) << c.first << " " << c.second << "\n" << result.out;
    EXPECT_NE(result.err.find(c.err), std::string::npos) << c.first << " " << c.second << "\n" << result.err;
    if (c.status == 2) {
      EXPECT_EQ(result.out, "") << c.first;
    }
  }
  const test::ProcessResult missing = mapinfo(dir, {"--compare", dir.file("gen.xdt"), dir.file("none.dat")});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("none.dat: No such file or directory (ERR_CANT_OPEN_FILE)"), std::string::npos)
      << missing.err;
}

TEST(Mapinfo, EscapesControlBytesOfNamesOnTheTerminal) {
  test::TempDir dir;
  const std::string odd = "red\x1b[31m\nline\x7f\xc3\xa9.xdt";
  const std::string shown = "red\\x1B[31m\\nline\\x7F\xc3\xa9.xdt";
  test::write_file(dir.file(odd), surface_xdt());
  test::write_file(dir.file(odd + ".png"), surface_xdt());
  struct Case {
    std::vector<std::string> arguments;
    std::string out;
    std::string err;
  };
  const Case cases[] = {
      {{dir.file(odd)}, dir.file(shown) + ": XDT surface file\n", ""},
      {{dir.file("missing\x1b]0;title\x07")},
       "",
       "mapinfo: " + dir.file("missing\\x1B]0;title\\a") + ": No such file"},
      {{"--png", dir.file(odd + ".png"), dir.file(odd)},
       dir.file(shown) + ": XDT surface file\n",
       "mapinfo: " + dir.file(shown) + ".png: already exists"},
      {{"--\x1b[2J"}, "", "mapinfo: --\\x1B[2J: unknown option"},
  };
  for (const Case& c : cases) {
    const test::ProcessResult result = mapinfo(dir, c.arguments);
    EXPECT_EQ(result.out.substr(0, c.out.size()), c.out);
    EXPECT_NE(result.err.find(c.err), std::string::npos) << result.err;
    EXPECT_EQ(result.out.find('\x1b'), std::string::npos);
    EXPECT_EQ(result.err.find('\x1b'), std::string::npos);
  }
}

}  // namespace
