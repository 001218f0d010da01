// The X3P library against the two real files, the schema, containers made
// part by part (x3p_files.h), damaged containers and failing allocations.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <mapconv/conversion.h>
#include <mapconv/data_file_reader.h>
#include <mapconv/data_file_writer.h>
#include <mapconv/map_records.h>
#include <mapconv/output_file.h>
#include <mapconv/print.h>
#include <mapconv/x3p.h>
#include <mapconv/xdt_reader.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "test_support.h"
#include "x3p_files.h"

// GCC 12 warns of an overlapping copy, wrongly, where a short literal is
// assigned to a std::string in an inlined lambda (its bug 105329).
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic ignored "-Wrestrict"
#endif

namespace {

using test::TempDir;
using x3ptest::Description;

std::string samples() {
  const char* given = std::getenv("MAPCONV_X3P_SAMPLES");
  return given != nullptr ? given : MAPCONV_X3P_SAMPLES;
}

#define NEED_SAMPLE(name)                                                                              \
  if (!std::filesystem::exists(samples() + "/" + (name))) {                                            \
    GTEST_SKIP() << "no " << samples() << "/" << (name) << " (../shared/x3p beside the project root)"; \
  }

struct Read {
  ErrorCode open = -1;
  ErrorCode read = -1;
  ErrorCode finish = -1;
  X3pSurface surface{};
  std::vector<double> values;
  std::string messages;
};

// Opens, reads every point in pieces of piece and finishes, capturing what
// the reader printed.
Read read_all(const std::string& path, bool stored = false, std::size_t piece = 1000) {
  Read result;
  test::StderrCapture capture;
  X3pReader reader;
  result.open = x3p_reader_open(path.c_str(), &reader);
  if (result.open == NO_ERROR) {
    result.surface = reader.surface;
    std::vector<double> buffer(piece);
    for (;;) {
      std::size_t count = 0;
      result.read = stored ? x3p_reader_read_stored(&reader, buffer.data(), piece, &count)
                           : x3p_reader_read_heights(&reader, buffer.data(), piece, &count);
      if (result.read != NO_ERROR || count == 0) break;
      result.values.insert(result.values.end(), buffer.begin(), buffer.begin() + static_cast<long>(count));
    }
    if (result.read == NO_ERROR) result.finish = x3p_reader_finish(&reader);
  }
  x3p_reader_close(&reader);
  result.messages = capture.text();
  return result;
}

TEST(X3pSamples, FocusVariationMeasurementReadsAsItsMainXmlDescribes) {
  NEED_SAMPLE("SkiInfiniteFocus.x3p");
  const Read r = read_all(samples() + "/SkiInfiniteFocus.x3p", false, 65536);
  ASSERT_EQ(r.open, NO_ERROR) << r.messages;
  EXPECT_EQ(r.read, NO_ERROR);
  EXPECT_EQ(r.finish, NO_ERROR) << r.messages;
  EXPECT_EQ(r.surface.columns, 1197u);
  EXPECT_EQ(r.surface.rows, 940u);
  EXPECT_EQ(r.surface.data_type, X3P_FLOAT32);
  EXPECT_EQ(r.surface.x_increment, 0.000003678887926);
  EXPECT_EQ(r.surface.y_increment, 0.000003680270397);
  EXPECT_FALSE(r.surface.has_valid_points);
  EXPECT_STREQ(r.surface.metadata.manufacturer, "Alicona Imaging GmbH");
  EXPECT_STREQ(r.surface.metadata.date, "2009-06-09T13:51:45");
  EXPECT_STREQ(r.surface.metadata.comment, "Alicona OpenGPS Export");
  ASSERT_EQ(r.values.size(), 1197u * 940u);
  // No ValidPointsLink and no NaN: every point is valid, the instrument's
  // infinities included, and the heights are the float32 values as stored.
  std::size_t infinite = 0, not_a_number = 0;
  double lowest = INFINITY, highest = -INFINITY;
  for (double v : r.values) {
    if (std::isnan(v)) ++not_a_number;
    if (std::isinf(v)) ++infinite;
    if (std::isfinite(v)) lowest = std::min(lowest, v), highest = std::max(highest, v);
  }
  EXPECT_EQ(not_a_number, 0u);
  EXPECT_EQ(infinite, 4272u);
  EXPECT_EQ(static_cast<float>(lowest), -5.193006e-05f);
  EXPECT_EQ(static_cast<float>(highest), 3.2306263e-05f);
}

TEST(X3pSamples, IntegerSampleIsScaledAndItsInvalidPointIsNoData) {
  NEED_SAMPLE("ISO5436-sample4_bin.x3p");
  const Read heights = read_all(samples() + "/ISO5436-sample4_bin.x3p", false, 3);
  ASSERT_EQ(heights.open, NO_ERROR) << heights.messages;
  EXPECT_EQ(heights.finish, NO_ERROR) << heights.messages;
  EXPECT_EQ(heights.surface.data_type, X3P_INT16);
  EXPECT_EQ(heights.surface.x_increment, 1.6016e-2);
  EXPECT_EQ(heights.surface.z_increment, 0.001);
  EXPECT_EQ(heights.surface.z_offset, -0.5);
  EXPECT_TRUE(heights.surface.has_valid_points);
  EXPECT_STREQ(heights.surface.metadata.serial, "12345abc");
  const std::vector<int> stored{986,  503,  -308, -80, 1358, 1548, 1519, 0,
                                1324, 1298, -57,  267, 1175, 921,  1142, 284};
  ASSERT_EQ(heights.values.size(), 16u);
  for (std::size_t i = 0; i < 16; ++i) {
    if (i == 7) {
      EXPECT_TRUE(std::isnan(heights.values[i]));
    } else {
      EXPECT_DOUBLE_EQ(heights.values[i], stored[i] * 0.001 - 0.5) << i;
    }
  }
  const Read raw = read_all(samples() + "/ISO5436-sample4_bin.x3p", true);
  ASSERT_EQ(raw.values.size(), 16u);
  EXPECT_EQ(raw.values[0], 986.0);
  EXPECT_TRUE(std::isnan(raw.values[7]));
}

// --- written files -------------------------------------------------------------

struct Written {
  ErrorCode code;
  std::string path;
};

ErrorCode write_heights(const std::string& path, X3pDataType type, std::uint64_t columns, std::uint64_t rows,
                        const std::vector<double>& heights, unsigned flags = 0) {
  X3pLayout layout{columns, rows, type, 1.5e-6, 2.5e-6, 0.0, nullptr};
  X3pWriter writer;
  ErrorCode code = x3p_writer_begin(path.c_str(), flags, nullptr, &layout, &writer);
  if (code != NO_ERROR) return code;
  for (std::size_t done = 0; done < heights.size() && code == NO_ERROR; done += 7) {
    code = x3p_writer_write_heights(&writer, heights.data() + done,
                                    std::min<std::size_t>(7, heights.size() - done));
  }
  if (code != NO_ERROR) {
    x3p_writer_discard(&writer);
    return code;
  }
  return x3p_writer_commit(&writer);
}

ErrorCode write_counts(const std::string& path, std::uint64_t columns, std::uint64_t rows,
                       const std::vector<std::int32_t>& counts, double increment) {
  X3pLayout layout{columns, rows, X3P_INT32, 1e-6, 1e-6, increment, nullptr};
  X3pWriter writer;
  ErrorCode code = x3p_writer_begin(path.c_str(), 0, nullptr, &layout, &writer);
  if (code != NO_ERROR) return code;
  code = x3p_writer_write_counts(&writer, counts.data(), counts.size());
  if (code != NO_ERROR) {
    x3p_writer_discard(&writer);
    return code;
  }
  return x3p_writer_commit(&writer);
}

std::string part(const std::vector<x3ptest::Entry>& entries, const std::string& name) {
  for (const auto& e : entries) {
    if (e.name == name) return e.bytes;
  }
  return "(absent)";
}

// main.xml against the published schema, with xmllint; an empty text when it validates.
std::string schema_faults(const TempDir& dir, const std::string& xml) {
  const std::string schema = samples() + "/iso5436_2.xsd";
  if (!std::filesystem::exists(schema) || std::system("command -v xmllint >/dev/null 2>&1") != 0)
    return "skip";
  std::ofstream(dir.file("main.xml"), std::ios::binary) << xml;
  const std::string command =
      "xmllint --noout --schema '" + schema + "' '" + dir.file("main.xml") + "' 2>'" + dir.file("lint") + "'";
  if (std::system(command.c_str()) == 0) return {};
  std::ifstream lint(dir.file("lint"));
  return std::string(std::istreambuf_iterator<char>(lint), {});
}

// Both sums of a written file, recomputed from its parts.
void expect_sums_right(const std::vector<x3ptest::Entry>& entries) {
  const std::string xml = part(entries, "main.xml");
  EXPECT_EQ(part(entries, "md5checksum.hex"), x3ptest::md5_hex(xml) + " *main.xml\n");
  EXPECT_NE(xml.find("<MD5ChecksumPointData>" + x3ptest::md5_hex(part(entries, "bindata/data.bin"))),
            std::string::npos);
}

TEST(X3pWriter, HeightsComeBackBitForBitInAFileTheSchemaTakes) {
  for (X3pDataType type : {X3P_FLOAT32, X3P_FLOAT64}) {
    TempDir dir;
    const std::vector<double> heights{0.0,       -1.25e-7, NAN,    3.0e-6, -0.0,
                                      1.0 / 3.0, 1e-300,   2.5e-9, -7e-8,  4.0};
    ASSERT_EQ(write_heights(dir.file("s.x3p"), type, 5, 2, heights), NO_ERROR);
    const Read r = read_all(dir.file("s.x3p"), false, 3);
    ASSERT_EQ(r.open, NO_ERROR) << r.messages;
    EXPECT_EQ(r.finish, NO_ERROR) << r.messages;
    EXPECT_EQ(r.surface.columns, 5u);
    EXPECT_EQ(r.surface.rows, 2u);
    EXPECT_EQ(r.surface.x_increment, 1.5e-6);
    EXPECT_EQ(r.surface.y_increment, 2.5e-6);
    EXPECT_EQ(r.surface.data_type, type);
    ASSERT_EQ(r.values.size(), heights.size());
    for (std::size_t i = 0; i < heights.size(); ++i) {
      const double expected =
          type == X3P_FLOAT32 ? static_cast<double>(static_cast<float>(heights[i])) : heights[i];
      EXPECT_EQ(std::bit_cast<std::uint64_t>(r.values[i]), std::bit_cast<std::uint64_t>(expected)) << i;
    }
    const auto entries = x3ptest::read_zip(dir.file("s.x3p"));
    expect_sums_right(entries);
    EXPECT_EQ(part(entries, "bindata/valid.bin"), "(absent)");
    const std::string faults = schema_faults(dir, part(entries, "main.xml"));
    if (faults == "skip") GTEST_SKIP() << "no xmllint or no iso5436_2.xsd: the schema check is skipped";
    EXPECT_EQ(faults, "");
  }
}

TEST(X3pWriter, CountsAreStoredExactlyWithTheirInvalidPointsInValidBin) {
  TempDir dir;
  std::vector<std::int32_t> counts(19);
  for (std::size_t i = 0; i < counts.size(); ++i)
    counts[i] = static_cast<std::int32_t>(i * 1000003) - 9000000;
  counts[0] = INT32_MIN;
  counts[1] = PHASE_INVALID - 1;
  counts[8] = PHASE_INVALID;
  counts[18] = PHASE_INVALID;
  const double increment = 0.5 * 6.328e-7 / 32768;
  ASSERT_EQ(write_counts(dir.file("c.x3p"), 19, 1, counts, increment), NO_ERROR);
  const Read r = read_all(dir.file("c.x3p"), true, 4);
  ASSERT_EQ(r.open, NO_ERROR) << r.messages;
  EXPECT_EQ(r.finish, NO_ERROR) << r.messages;
  EXPECT_EQ(r.surface.data_type, X3P_INT32);
  EXPECT_EQ(r.surface.z_increment, increment);
  EXPECT_TRUE(r.surface.has_valid_points);
  ASSERT_EQ(r.values.size(), counts.size());
  for (std::size_t i = 0; i < counts.size(); ++i) {
    if (counts[i] == PHASE_INVALID) {
      EXPECT_TRUE(std::isnan(r.values[i])) << i;
    } else {
      EXPECT_EQ(r.values[i], counts[i]) << i;
    }
  }
  const auto entries = x3ptest::read_zip(dir.file("c.x3p"));
  expect_sums_right(entries);
  // Least significant bit first: points 8 and 18 invalid of 19.
  EXPECT_EQ(part(entries, "bindata/valid.bin"), std::string("\xff\xfe\x03", 3));
  const std::string faults = schema_faults(dir, part(entries, "main.xml"));
  if (faults != "skip") {
    EXPECT_EQ(faults, "");
  }
}

TEST(X3pWriter, Record2GivenWholeIsWrittenAndReadBack) {
  TempDir dir;
  X3pMetadata m{};
  m.present = true;
  std::strcpy(m.date, "2026-12-09T09:00:00");
  std::strcpy(m.manufacturer, "A & B <Ltd>");
  std::strcpy(m.model, "M");
  std::strcpy(m.serial, "1");
  std::strcpy(m.version, "2");
  std::strcpy(m.calibration_date, "2026-01-01T00:00:00");
  std::strcpy(m.probing_type, "NonContacting");
  std::strcpy(m.probing_identification, "lens 20x");
  std::strcpy(m.comment, "\xc3\xa9t\xc3\xa9 \"quoted\"");
  X3pLayout layout{2, 1, X3P_FLOAT64, 1e-6, 1e-6, 0.0, &m};
  X3pWriter writer;
  ASSERT_EQ(x3p_writer_begin(dir.file("m.x3p").c_str(), 0, nullptr, &layout, &writer), NO_ERROR);
  const double two[2] = {1e-6, 2e-6};
  ASSERT_EQ(x3p_writer_write_heights(&writer, two, 2), NO_ERROR);
  ASSERT_EQ(x3p_writer_commit(&writer), NO_ERROR);
  // A record the schema would refuse is refused.
  X3pMetadata partial = m;
  partial.calibration_date[0] = '\0';
  layout.metadata = &partial;
  EXPECT_EQ(x3p_writer_begin(dir.file("p.x3p").c_str(), 0, nullptr, &layout, &writer), ERR_INVALID_PARAM);
  partial = m;
  std::strcpy(partial.probing_type, "Optical");
  EXPECT_EQ(x3p_writer_begin(dir.file("p.x3p").c_str(), 0, nullptr, &layout, &writer), ERR_INVALID_PARAM);
  EXPECT_FALSE(std::filesystem::exists(dir.file("p.x3p")));
  const Read r = read_all(dir.file("m.x3p"));
  ASSERT_EQ(r.finish, NO_ERROR) << r.messages;
  EXPECT_TRUE(r.surface.metadata.present);
  EXPECT_STREQ(r.surface.metadata.manufacturer, m.manufacturer);
  EXPECT_STREQ(r.surface.metadata.comment, m.comment);
  EXPECT_STREQ(r.surface.metadata.probing_identification, m.probing_identification);
  EXPECT_STREQ(r.surface.metadata.creator, "");
  const std::string faults = schema_faults(dir, part(x3ptest::read_zip(dir.file("m.x3p")), "main.xml"));
  if (faults != "skip") {
    EXPECT_EQ(faults, "");
  }
}

TEST(X3pWriter, RefusesToReplaceAFileUnaskedAndLeavesNothingOnFailure) {
  TempDir dir;
  test::write_file(dir.file("old.x3p"), test::Bytes{'o', 'l', 'd'});
  X3pLayout layout{2, 2, X3P_FLOAT32, 1e-6, 1e-6, 0.0, nullptr};
  X3pWriter writer;
  EXPECT_EQ(x3p_writer_begin(dir.file("old.x3p").c_str(), 0, nullptr, &layout, &writer),
            ERR_CANT_CREATE_FILE);
  EXPECT_TRUE(writer.name_taken);
  EXPECT_EQ(test::read_file(dir.file("old.x3p")), (test::Bytes{'o', 'l', 'd'}));
  // Too few heights: commit refuses and the folder stays as it was.
  ASSERT_EQ(x3p_writer_begin(dir.file("new.x3p").c_str(), 0, nullptr, &layout, &writer), NO_ERROR);
  const double three[3] = {1, 2, 3};
  ASSERT_EQ(x3p_writer_write_heights(&writer, three, 3), NO_ERROR);
  EXPECT_EQ(x3p_writer_write_heights(&writer, three, 2), ERR_INVALID_PARAM);
  EXPECT_EQ(x3p_writer_commit(&writer), ERR_INVALID_PARAM);
  EXPECT_EQ(test::listing(dir.path()), (std::set<std::string>{"old.x3p"}));
  // A float32 file cannot hold a height beyond float range.
  EXPECT_EQ(write_heights(dir.file("big.x3p"), X3P_FLOAT32, 1, 1, {1e39}), ERR_PARAM_OUT_OF_RANGE);
  EXPECT_EQ(test::listing(dir.path()), (std::set<std::string>{"old.x3p"}));
  EXPECT_EQ(write_heights(dir.file("old.x3p"), X3P_FLOAT64, 1, 1, {1e39}, OUTPUT_REPLACE), NO_ERROR);
  EXPECT_EQ(write_heights("/dev/full", X3P_FLOAT64, 1, 1, {1.0}, OUTPUT_REPLACE), ERR_CANT_WRITE_FILE);
}

// --- containers made part by part -------------------------------------------

std::string little_floats(const std::vector<float>& values) {
  std::string bytes(values.size() * 4, '\0');
  std::memcpy(bytes.data(), values.data(), bytes.size());
  return bytes;
}

TEST(X3pReader, InlineDataListWithEmptyDatumAndIntegerScaling) {
  TempDir dir;
  Description d;
  d.data_type = "L";
  d.z_scaling = "<Increment>0.5</Increment><Offset>10</Offset>";
  d.record3_data =
      "<DataList><Datum>2</Datum><Datum/><Datum> -4 </Datum><Datum></Datum>"
      "<Datum>6</Datum><Datum>+1e1</Datum></DataList>";
  x3ptest::write_x3p(dir.file("i.x3p"), d, "");
  const Read r = read_all(dir.file("i.x3p"), false, 4);
  ASSERT_EQ(r.open, NO_ERROR) << r.messages;
  EXPECT_EQ(r.finish, NO_ERROR) << r.messages;
  EXPECT_TRUE(r.surface.inline_data);
  ASSERT_EQ(r.values.size(), 6u);
  EXPECT_EQ(r.values[0], 11.0);
  EXPECT_TRUE(std::isnan(r.values[1]));
  EXPECT_EQ(r.values[2], 8.0);
  EXPECT_TRUE(std::isnan(r.values[3]));
  EXPECT_EQ(r.values[4], 13.0);
  EXPECT_EQ(r.values[5], 15.0);
}

TEST(X3pReader, DeflatedPartsAndAnyOrderOfParts) {
  TempDir dir;
  const Description d;
  const std::string data = little_floats({1, 2, 3, 4, 5, 6});
  const std::string xml = x3ptest::main_xml(d, x3ptest::md5_hex(data), "");
  x3ptest::write_zip(dir.file("d.x3p"),
                     {{"bindata/data.bin", data},
                      {"md5checksum.hex", x3ptest::md5_hex(xml) + "  main.xml"},
                      {"main.xml", xml}},
                     true);
  const Read r = read_all(dir.file("d.x3p"));
  ASSERT_EQ(r.open, NO_ERROR) << r.messages;
  EXPECT_EQ(r.finish, NO_ERROR) << r.messages;
  EXPECT_EQ(r.values, (std::vector<double>{1, 2, 3, 4, 5, 6}));
}

// One fault at a time: the code and the words that say what is wrong.
struct Fault {
  const char* name;
  std::function<void(const std::string& path)> make;
  ErrorCode code;
  const char* says;
};

void good(const std::string& path) {
  x3ptest::write_x3p(path, Description{}, little_floats({1, 2, 3, 4, 5, 6}));
}

Description with(std::function<void(Description&)> change) {
  Description d;
  change(d);
  return d;
}

std::string cut(const std::string& path, std::size_t keep) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes(std::istreambuf_iterator<char>(in), {});
  bytes.resize(std::min(keep, bytes.size()));
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  return bytes;
}

const std::string six = little_floats({1, 2, 3, 4, 5, 6});

const Fault faults[] = {
    {"not a zip", [](const std::string& p) { std::ofstream(p) << "hello"; }, ERR_NOT_A_DATA_FILE,
     "no ZIP container"},
    {"empty file", [](const std::string& p) { std::ofstream{p}; }, ERR_NOT_A_DATA_FILE, "no ZIP container"},
    {"zip without main.xml",
     [](const std::string& p) {
       x3ptest::write_zip(p, {{"other.txt", "x"}});
     },
     ERR_NOT_A_DATA_FILE, "holds no main.xml"},
    {"cut in half",
     [](const std::string& p) {
       good(p);
       cut(p, 300);
     },
     ERR_NOT_A_DATA_FILE, "no ZIP container"},
    {"last byte cut",
     [](const std::string& p) {
       good(p);
       cut(p, std::filesystem::file_size(p) - 1);
     },
     ERR_NOT_A_DATA_FILE, "no ZIP container"},
    {"main.xml not XML",
     [](const std::string& p) {
       x3ptest::write_zip(p, {{"main.xml", "<a><b></a>"}, {"md5checksum.hex", ""}});
     },
     ERR_NOT_A_DATA_FILE, "not well-formed"},
    {"other root",
     [](const std::string& p) {
       x3ptest::write_zip(p, {{"main.xml", "<ISO5436_2/>"}, {"md5checksum.hex", ""}});
     },
     ERR_NOT_A_DATA_FILE, "root element"},
    {"profile",
     [](const std::string& p) { x3ptest::write_x3p(p, with([](auto& d) { d.feature = "PRF"; }), six); },
     ERR_NOT_A_DATA_FILE, "is a profile"},
    {"point cloud",
     [](const std::string& p) { x3ptest::write_x3p(p, with([](auto& d) { d.feature = "PCL"; }), six); },
     ERR_NOT_A_DATA_FILE, "is a point cloud"},
    {"absolute x axis",
     [](const std::string& p) { x3ptest::write_x3p(p, with([](auto& d) { d.x_axis = "A"; }), six); },
     ERR_NOT_A_DATA_FILE, "CX axis is absolute"},
    {"absolute y axis",
     [](const std::string& p) { x3ptest::write_x3p(p, with([](auto& d) { d.y_axis = "A"; }), six); },
     ERR_NOT_A_DATA_FILE, "CY axis is absolute"},
    {"two layers",
     [](const std::string& p) { x3ptest::write_x3p(p, with([](auto& d) { d.size_z = "2"; }), six); },
     ERR_NOT_A_DATA_FILE, "2 layers"},
    {"unknown data type",
     [](const std::string& p) { x3ptest::write_x3p(p, with([](auto& d) { d.data_type = "Q"; }), six); },
     ERR_NOT_A_DATA_FILE, "DataType \"Q\""},
    {"increment not a number",
     [](const std::string& p) {
       x3ptest::write_x3p(p, with([](auto& d) { d.x_increment = "1,5e-6"; }), six);
     },
     ERR_NOT_A_DATA_FILE, "CX Increment \"1,5e-6\""},
    {"zero increment",
     [](const std::string& p) { x3ptest::write_x3p(p, with([](auto& d) { d.y_increment = "0"; }), six); },
     ERR_NOT_A_DATA_FILE, "no Increment above 0"},
    {"no size",
     [](const std::string& p) { x3ptest::write_x3p(p, with([](auto& d) { d.size_x = ""; }), six); },
     ERR_NOT_A_DATA_FILE, "no SizeX"},
    {"huge grid",
     [](const std::string& p) {
       x3ptest::write_x3p(p, with([](auto& d) { d.size_x = d.size_y = "18446744073709551615"; }), six);
     },
     ERR_PARAM_OUT_OF_RANGE, "too large"},
    {"data.bin too short",
     [](const std::string& p) { x3ptest::write_x3p(p, Description{}, six.substr(0, 20)); },
     ERR_CORRUPT_DATA_FILE, "bindata/data.bin holds 20 bytes where the grid of 3 x 2 float32 needs 24"},
    {"wrong SizeY",
     [](const std::string& p) { x3ptest::write_x3p(p, with([](auto& d) { d.size_y = "3"; }), six); },
     ERR_CORRUPT_DATA_FILE, "needs 36"},
    {"missing data.bin",
     [](const std::string& p) {
       const std::string xml = x3ptest::main_xml(Description{}, x3ptest::md5_hex(six), "");
       x3ptest::write_zip(p, {{"main.xml", xml}, {"md5checksum.hex", x3ptest::md5_hex(xml) + " *main.xml"}});
     },
     ERR_CORRUPT_DATA_FILE, "bindata/data.bin, which main.xml links, is missing"},
    {"missing md5checksum.hex",
     [](const std::string& p) {
       x3ptest::write_zip(p, {{"main.xml", x3ptest::main_xml(Description{}, x3ptest::md5_hex(six), "")},
                              {"bindata/data.bin", six}});
     },
     ERR_CORRUPT_DATA_FILE, "checksum file md5checksum.hex of main.xml is missing"},
    {"wrong main.xml sum",
     [](const std::string& p) {
       const std::string xml = x3ptest::main_xml(Description{}, x3ptest::md5_hex(six), "");
       x3ptest::write_zip(p, {{"main.xml", xml},
                              {"md5checksum.hex", x3ptest::md5_hex(xml + " ") + " *main.xml"},
                              {"bindata/data.bin", six}});
     },
     ERR_CORRUPT_DATA_FILE, "main.xml does not match its MD5 sum"},
    {"wrong data.bin sum",
     [](const std::string& p) {
       const std::string xml = x3ptest::main_xml(Description{}, x3ptest::md5_hex(six + "x"), "");
       x3ptest::write_zip(p, {{"main.xml", xml},
                              {"md5checksum.hex", x3ptest::md5_hex(xml) + " *main.xml"},
                              {"bindata/data.bin", six}});
     },
     ERR_CORRUPT_DATA_FILE, "point data does not match its MD5 sum"},
    {"wrong valid.bin sum",
     [](const std::string& p) {
       const std::string xml = x3ptest::main_xml(Description{}, x3ptest::md5_hex(six), x3ptest::md5_hex("!"));
       x3ptest::write_zip(p, {{"main.xml", xml},
                              {"md5checksum.hex", x3ptest::md5_hex(xml) + " *main.xml"},
                              {"bindata/data.bin", six},
                              {"bindata/valid.bin", "\x3f"}});
     },
     ERR_CORRUPT_DATA_FILE, "valid points do not match their MD5 sum"},
    {"valid.bin too long",
     [](const std::string& p) { x3ptest::write_x3p(p, Description{}, six, std::string("\x3f\x00", 2)); },
     ERR_CORRUPT_DATA_FILE, "bindata/valid.bin holds 2 bytes"},
    {"datum of three values",
     [](const std::string& p) {
       x3ptest::write_x3p(
           p, with([](auto& d) { d.record3_data = "<DataList><Datum>1;2;3</Datum></DataList>"; }), "");
     },
     ERR_CORRUPT_DATA_FILE, "Datum 1 (\"1;2;3\") is not one height"},
    {"data list too short",
     [](const std::string& p) {
       x3ptest::write_x3p(p, with([](auto& d) { d.record3_data = "<DataList><Datum>1</Datum></DataList>"; }),
                          "");
     },
     ERR_CORRUPT_DATA_FILE, "DataList ends before the grid does"},
    {"data list too long",
     [](const std::string& p) {
       x3ptest::write_x3p(p, with([](auto& d) {
                            d.size_x = d.size_y = "1";
                            d.record3_data = "<DataList><Datum>1</Datum><Datum>2</Datum></DataList>";
                          }),
                          "");
     },
     ERR_CORRUPT_DATA_FILE, "more points than the grid"},
    {"folder", [](const std::string& p) { std::filesystem::create_directory(p); }, ERR_CANT_OPEN_FILE,
     "Is a directory"},
    {"absent", [](const std::string&) {}, ERR_CANT_OPEN_FILE, "No such file"},
};

TEST(X3pReader, DamagedOrForeignFilesGiveTheirCodeAndSayWhy) {
  for (const Fault& fault : faults) {
    TempDir dir;
    const std::string path = dir.file("f.x3p");
    fault.make(path);
    const Read r = read_all(path);
    const ErrorCode got = r.open != NO_ERROR ? r.open : r.read != NO_ERROR ? r.read : r.finish;
    EXPECT_EQ(got, fault.code) << fault.name << ": " << r.messages;
    EXPECT_THAT(r.messages, testing::HasSubstr(fault.says)) << fault.name;
    EXPECT_THAT(r.messages, testing::StartsWith(path + ": ")) << fault.name;
  }
}

TEST(X3pReader, NamesInMessagesHaveTheirControlBytesEscaped) {
  TempDir dir;
  const std::string name = dir.file("a\x1b[2J\nb\xc2\x9b\xc3\xa9.x3p");
  std::ofstream(name) << "not a zip";
  const Read r = read_all(name);
  EXPECT_EQ(r.open, ERR_NOT_A_DATA_FILE);
  EXPECT_THAT(r.messages, testing::HasSubstr("a\\x1B[2J\\nb\\xC2\\x9B\xc3\xa9.x3p: not an X3P file"));
}

TEST(X3pReader, FlippedByteInAStoredPartIsFound) {
  TempDir dir;
  const std::string path = dir.file("s.x3p");
  ASSERT_EQ(write_heights(path, X3P_FLOAT32, 100, 100, std::vector<double>(10000, 1e-6)), NO_ERROR);
  std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
  file.seekp(20000);
  file.put('\x55');
  file.close();
  const Read r = read_all(path);
  const ErrorCode got = r.open != NO_ERROR ? r.open : r.read != NO_ERROR ? r.read : r.finish;
  EXPECT_EQ(got, ERR_CORRUPT_DATA_FILE) << r.messages;
}

TEST(X3pReader, LooksLikeX3pOnlyForAContainerWithMainXml) {
  TempDir dir;
  good(dir.file("g.x3p"));
  x3ptest::write_zip(dir.file("z.zip"), {{"a", "b"}});
  std::ofstream(dir.file("t")) << "PK not really";
  EXPECT_TRUE(looks_like_x3p(dir.file("g.x3p").c_str()));
  EXPECT_FALSE(looks_like_x3p(dir.file("z.zip").c_str()));
  EXPECT_FALSE(looks_like_x3p(dir.file("t").c_str()));
  EXPECT_FALSE(looks_like_x3p(dir.path().c_str()));
  EXPECT_FALSE(looks_like_x3p(dir.file("absent").c_str()));
}

// Every allocation of the library's own fails in turn: each run ends with
// ERR_NO_MEM or success, and nothing stays allocated.
TEST(X3pMemory, FailedAllocationsEndCleanly) {
  TempDir dir;
  x3ptest::write_x3p(dir.file("v.x3p"), Description{}, six, "\x3d");
  PrintFunction saved = u_print;
  u_print = u_print_none;
  for (std::size_t fail_at = 1;; ++fail_at) {
    test::CountingHooks hooks(fail_at);
    X3pReader reader;
    ErrorCode code = x3p_reader_open(dir.file("v.x3p").c_str(), &reader);
    double values[6];
    std::size_t count = 0;
    if (code == NO_ERROR) code = x3p_reader_read_heights(&reader, values, 6, &count);
    if (code == NO_ERROR) code = x3p_reader_finish(&reader);
    x3p_reader_close(&reader);
    EXPECT_TRUE(code == NO_ERROR || code == ERR_NO_MEM) << fail_at << ": " << code;
    EXPECT_EQ(hooks.live_blocks(), 0u) << fail_at;
    if (hooks.allocations() < fail_at) break;
  }
  for (std::size_t fail_at = 1;; ++fail_at) {
    test::CountingHooks hooks(fail_at);
    const ErrorCode code = write_counts(dir.file("w.x3p"), 2, 2, {1, PHASE_INVALID, 3, 4}, 1e-9);
    EXPECT_TRUE(code == NO_ERROR || code == ERR_NO_MEM) << fail_at << ": " << code;
    EXPECT_EQ(hooks.live_blocks(), 0u) << fail_at;
    if (code != NO_ERROR) {
      EXPECT_FALSE(std::filesystem::exists(dir.file("w.x3p"))) << fail_at;
    }
    std::filesystem::remove(dir.file("w.x3p"));
    if (hooks.allocations() < fail_at) break;
  }
  u_print = saved;
}

}  // namespace

// --- conversions ----------------------------------------------------------------

namespace round_trips {

std::vector<test::XdtPoint> surface() {
  auto points = test::grid(37, 23, 2.5e-6f, [](int row, int column) {
    return static_cast<float>(1e-7 * std::sin(row * 0.3) * (column - 11) + 3e-9 * row);
  });
  points[40].z = -1.0f;  // no data
  points[41].z = NAN;
  return points;
}

TEST(X3pConversions, XdtThroughX3pGivesTheDataFileMapconvMakes) {
  TempDir dir;
  test::write_file(dir.file("s.xdt"), test::xdt_bytes(37, 23, surface()));
  X3pConversionResult result;
  ASSERT_EQ(convert_xdt_to_x3p(dir.file("s.xdt").c_str(), dir.file("s.x3p").c_str(), 0, &result), NO_ERROR);
  EXPECT_EQ(result.x_increment, 2.5e-6f);
  // The heights come back bit for bit, the no-data point as NaN.
  const Read r = read_all(dir.file("s.x3p"));
  ASSERT_EQ(r.finish, NO_ERROR) << r.messages;
  EXPECT_EQ(r.surface.data_type, X3P_FLOAT32);
  EXPECT_EQ(r.surface.x_increment, static_cast<double>(2.5e-6f));
  EXPECT_EQ(r.surface.y_increment, static_cast<double>(2.5e-6f));
  const auto points = surface();
  ASSERT_EQ(r.values.size(), points.size());
  for (std::size_t i = 0; i < points.size(); ++i) {
    if (i == 40 || i == 41) {
      EXPECT_TRUE(std::isnan(r.values[i])) << i;
    } else {
      EXPECT_EQ(std::bit_cast<std::uint32_t>(static_cast<float>(r.values[i])),
                std::bit_cast<std::uint32_t>(points[i].z))
          << i;
    }
  }
  const std::string faults = schema_faults(dir, part(x3ptest::read_zip(dir.file("s.x3p")), "main.xml"));
  if (faults != "skip") {
    EXPECT_EQ(faults, "");
  }
  // X3P to data file is the XDT's own conversion, byte for byte.
  ASSERT_EQ(convert_x3p_to_data_file(dir.file("s.x3p").c_str(), dir.file("via.dat").c_str(), 0, &result),
            NO_ERROR);
  EXPECT_FALSE(result.exact_counts);
  EXPECT_FALSE(result.increments_differ);
  ConversionOptions options{0, 0, nullptr};
  ConversionResult direct;
  ASSERT_EQ(convert_xdt_file(dir.file("s.xdt").c_str(), dir.file("direct.dat").c_str(), &options, &direct),
            NO_ERROR);
  EXPECT_EQ(test::read_file(dir.file("via.dat")), test::read_file(dir.file("direct.dat")));
}

TEST(X3pConversions, DataFileThroughX3pKeepsItsPhaseBlockAndSettings) {
  TempDir dir;
  test::write_file(dir.file("s.xdt"), test::xdt_bytes(37, 23, surface()));
  ConversionOptions options{0, 0, nullptr};
  ConversionResult direct;
  ASSERT_EQ(convert_xdt_file(dir.file("s.xdt").c_str(), dir.file("a.dat").c_str(), &options, &direct),
            NO_ERROR);
  X3pConversionResult result;
  ASSERT_EQ(convert_data_file_to_x3p(dir.file("a.dat").c_str(), dir.file("a.x3p").c_str(), 0, &result),
            NO_ERROR);
  const auto entries = x3ptest::read_zip(dir.file("a.x3p"));
  expect_sums_right(entries);
  EXPECT_NE(part(entries, "bindata/valid.bin"), "(absent)");
  const std::string faults = schema_faults(dir, part(entries, "main.xml"));
  if (faults != "skip") {
    EXPECT_EQ(faults, "");
  }
  ASSERT_EQ(convert_x3p_to_data_file(dir.file("a.x3p").c_str(), dir.file("b.dat").c_str(), 0, &result),
            NO_ERROR);
  EXPECT_TRUE(result.exact_counts);
  EXPECT_EQ(test::read_file(dir.file("b.dat")), test::read_file(dir.file("a.dat")));
}

TEST(X3pConversions, CountsOfAnotherWavelengthComeBackUnchanged) {
  TempDir dir;
  // A data file of another interferometer: its counts, mark included, and
  // its wavelength survive the trip; another scale factor cannot be told
  // from the increment alone, so those counts are converted again.
  const struct {
    float wavelength;
    float scale_factor;
    bool exact;
  } cases[] = {{532.0e-9f, CONVERSION_SCALE_FACTOR, true},
               {1.0e-6f, CONVERSION_SCALE_FACTOR, true},
               {CONVERSION_WAVELENGTH, CONVERSION_SCALE_FACTOR * 3.0f, false}};
  std::vector<std::int32_t> counts(6 * 4);
  for (std::size_t i = 0; i < counts.size(); ++i) counts[i] = static_cast<std::int32_t>(i * 977) - 9000;
  counts[5] = PHASE_INVALID;
  for (const auto& c : cases) {
    DataFileHeader header;
    build_header(6, 4, 1.0e-6f, &header);
    header.wavelength = c.wavelength;
    header.scale_factor = c.scale_factor;
    PhaseMap phase;
    phase_map_clear(&phase);
    phase.width = 6;
    phase.height = 4;
    phase.capacity = static_cast<std::uint32_t>(counts.size());
    phase.data = counts.data();
    ASSERT_EQ(write_data_file(dir.file("a.dat").c_str(), nullptr, &header, nullptr, &phase), NO_ERROR);
    X3pConversionResult result;
    ASSERT_EQ(convert_data_file_to_x3p(dir.file("a.dat").c_str(), dir.file("a.x3p").c_str(), OUTPUT_REPLACE,
                                       &result),
              NO_ERROR);
    ASSERT_EQ(convert_x3p_to_data_file(dir.file("a.x3p").c_str(), dir.file("b.dat").c_str(), OUTPUT_REPLACE,
                                       &result),
              NO_ERROR);
    EXPECT_EQ(result.exact_counts, c.exact) << c.wavelength;
    DataFileContents back;
    ASSERT_EQ(read_data_file(dir.file("b.dat").c_str(), &back), NO_ERROR);
    if (c.exact) {
      EXPECT_EQ(back.header.wavelength, c.wavelength);
      EXPECT_EQ(std::vector<std::int32_t>(back.phase.data, back.phase.data + counts.size()), counts);
    } else {
      EXPECT_EQ(back.header.wavelength, CONVERSION_WAVELENGTH);
    }
    data_file_contents_release(&back);
  }
}

TEST(X3pConversions, RefusalsAndFailuresLeaveNoOutput) {
  TempDir dir;
  test::write_file(dir.file("s.xdt"), test::xdt_bytes(37, 23, surface()));
  X3pConversionResult result;
  // The input as the output, and an existing output without OUTPUT_REPLACE.
  EXPECT_EQ(convert_xdt_to_x3p(dir.file("s.xdt").c_str(), dir.file("s.xdt").c_str(), OUTPUT_REPLACE, &result),
            ERR_CANT_CREATE_FILE);
  EXPECT_TRUE(result.same_file);
  EXPECT_EQ(test::read_file(dir.file("s.xdt")), test::xdt_bytes(37, 23, surface()));
  // A grid cut short: nothing appears.
  auto bytes = test::xdt_bytes(37, 23, surface());
  bytes.resize(bytes.size() - 5);
  test::write_file(dir.file("cut.xdt"), bytes);
  {
    test::StderrCapture quiet;
    EXPECT_EQ(convert_xdt_to_x3p(dir.file("cut.xdt").c_str(), dir.file("cut.x3p").c_str(), 0, &result),
              ERR_PREMATURE_EOF);
  }
  EXPECT_FALSE(std::filesystem::exists(dir.file("cut.x3p")));
  // A damaged X3P found only at its end (a wrong data sum): no data file.
  const std::string xml = x3ptest::main_xml(Description{}, x3ptest::md5_hex(six + "x"), "");
  x3ptest::write_zip(dir.file("bad.x3p"), {{"main.xml", xml},
                                           {"md5checksum.hex", x3ptest::md5_hex(xml) + " *main.xml"},
                                           {"bindata/data.bin", six}});
  {
    test::StderrCapture quiet;
    EXPECT_EQ(convert_x3p_to_data_file(dir.file("bad.x3p").c_str(), dir.file("bad.dat").c_str(), 0, &result),
              ERR_CORRUPT_DATA_FILE);
  }
  EXPECT_FALSE(std::filesystem::exists(dir.file("bad.dat")));
}

}  // namespace round_trips

namespace round_trips {

// XDT to X3P to XDT: the heights bit for bit and the lateral resolution the
// XDT reader works out, over spacings and widths whose products round.
TEST(X3pConversions, XdtThroughX3pAndBackKeepsHeightsAndResolution) {
  const float spacings[] = {2.5e-6f, 1e-6f, 3.678887926e-6f, 0.1f, 7.3e-9f, 1.2345678e-4f};
  const int widths[] = {2, 37, 1001, 4093};
  for (float spacing : spacings) {
    for (int columns : widths) {
      TempDir dir;
      const int rows = 3;
      auto points = test::grid(columns, rows, spacing, [&](int row, int column) {
        return static_cast<float>(1e-6 * std::cos(column * 0.01 + row));
      });
      // The rows start late and end early, as masked edges do: x is
      // column times spacing, rounded, and the reader divides the rounded
      // span of the row it picks.
      for (int r = 0; r < rows && columns > 2; ++r) {
        points[static_cast<std::size_t>(r * columns)].z = -1.0f;
        if (r % 2 == 1) points[static_cast<std::size_t>(r * columns + 1)].z = -1.0f;
        points[static_cast<std::size_t>(r * columns + columns - 1)].z = -1.0f;
      }
      test::write_file(dir.file("a.xdt"), test::xdt_bytes(static_cast<std::uint16_t>(columns), rows, points));
      X3pConversionResult result;
      ASSERT_EQ(convert_xdt_to_x3p(dir.file("a.xdt").c_str(), dir.file("a.x3p").c_str(), 0, &result),
                NO_ERROR);
      ASSERT_EQ(convert_x3p_to_xdt(dir.file("a.x3p").c_str(), dir.file("b.xdt").c_str(), 0, &result),
                NO_ERROR);
      std::int32_t c1, r1, c2, r2;
      float *h1 = nullptr, *h2 = nullptr;
      float res1 = 0, res2 = 0;
      ASSERT_EQ(read_xdt_file(dir.file("a.xdt").c_str(), &c1, &r1, &h1, &res1, false), NO_ERROR);
      ASSERT_EQ(read_xdt_file(dir.file("b.xdt").c_str(), &c2, &r2, &h2, &res2, false), NO_ERROR);
      EXPECT_EQ(c1, c2);
      EXPECT_EQ(r1, r2);
      EXPECT_EQ(std::bit_cast<std::uint32_t>(res1), std::bit_cast<std::uint32_t>(res2))
          << spacing << " x " << columns << ": " << res1 << " then " << res2;
      EXPECT_EQ(std::memcmp(h1, h2, sizeof(float) * static_cast<std::size_t>(c1 * r1)), 0) << spacing;
      memory_hooks.release(h1);
      memory_hooks.release(h2);
    }
  }
}

// X3P of doubles to XDT over rows that cross the reader's pieces: each
// height the float it rounds to, no data as -1; one height beyond a float
// is refused by its number, and no XDT appears.
TEST(X3pConversions, DoublesToXdtAcrossPiecesAndOneBeyondAFloat) {
  const std::uint64_t columns = 300, rows = 300;  // 65536 points a piece end mid-row
  std::vector<double> heights(columns * rows);
  for (std::size_t i = 0; i < heights.size(); ++i) heights[i] = 1e-6 * std::sin(0.001 * static_cast<double>(i));
  heights[65535] = NAN;
  heights[65536] = 1.0 / 3.0;
  heights[89999] = INFINITY;
  TempDir dir;
  ASSERT_EQ(write_heights(dir.file("d.x3p"), X3P_FLOAT64, columns, rows, heights), NO_ERROR);
  X3pConversionResult result;
  ASSERT_EQ(convert_x3p_to_xdt(dir.file("d.x3p").c_str(), dir.file("d.xdt").c_str(), 0, &result), NO_ERROR);
  std::int32_t c = 0, r = 0;
  float* z = nullptr;
  float resolution = 0;
  ASSERT_EQ(read_xdt_file(dir.file("d.xdt").c_str(), &c, &r, &z, &resolution, false), NO_ERROR);
  ASSERT_EQ(static_cast<std::uint64_t>(c) * static_cast<std::uint64_t>(r), heights.size());
  std::size_t wrong = 0;
  for (std::size_t i = 0; i < heights.size(); ++i) {
    const float expected = std::isnan(heights[i]) ? -1.0f : static_cast<float>(heights[i]);
    wrong += std::bit_cast<std::uint32_t>(z[i]) != std::bit_cast<std::uint32_t>(expected);
  }
  memory_hooks.release(z);
  EXPECT_EQ(wrong, 0u);

  heights[70000] = 1e39;
  ASSERT_EQ(write_heights(dir.file("big.x3p"), X3P_FLOAT64, columns, rows, heights), NO_ERROR);
  test::StderrCapture said;
  EXPECT_EQ(convert_x3p_to_xdt(dir.file("big.x3p").c_str(), dir.file("big.xdt").c_str(), 0, &result),
            ERR_PARAM_OUT_OF_RANGE);
  EXPECT_NE(said.text().find("height 70001 (1e+39 m) is beyond what an XDT file's float holds"),
            std::string::npos)
      << said.text();
  EXPECT_FALSE(std::filesystem::exists(dir.file("big.xdt")));
}

// A check that says stop after a number of asks.
struct StopAfter {
  int asks_left;
  int asked = 0;
  static bool stop(void* context, bool) {
    auto* me = static_cast<StopAfter*>(context);
    ++me->asked;
    return me->asks_left-- <= 0;
  }
};

// Every conversion asks its check between pieces; told to stop it returns
// ERR_INTERRUPTED and the old output is as it was, with nothing beside it.
TEST(X3pConversions, EachStopsWhenAskedAndKeepsTheOldOutput) {
  using Convert = ErrorCode (*)(const char*, const char*, unsigned, X3pConversionResult*, const InterruptCheck*);
  const struct {
    const char* name;
    Convert convert;
    const char* input;
    const char* output;
  } rows[] = {
      {"XDT to X3P", convert_xdt_to_x3p, "a.xdt", "old.x3p"},
      {"data file to X3P", convert_data_file_to_x3p, "a.dat", "old.x3p"},
      {"X3P to data file", convert_x3p_to_data_file, "a.x3p", "old.dat"},
      {"X3P to XDT", convert_x3p_to_xdt, "a.x3p", "old.xdt"},
  };
  // 90000 points: two pieces of each reader.
  const auto points = test::grid(300, 300, 1e-6f, [](int row, int column) {
    return static_cast<float>(1e-7 * std::sin(0.1 * column + 0.01 * row));
  });
  for (const auto& row : rows) {
    TempDir dir;
    test::write_file(dir.file("a.xdt"), test::xdt_bytes(300, 300, points));
    X3pConversionResult result;
    ASSERT_EQ(convert_xdt_to_x3p(dir.file("a.xdt").c_str(), dir.file("a.x3p").c_str(), 0, &result), NO_ERROR);
    ASSERT_EQ(convert_x3p_to_data_file(dir.file("a.x3p").c_str(), dir.file("a.dat").c_str(), 0, &result),
              NO_ERROR);
    std::ofstream(dir.file(row.output), std::ios::binary) << "old";
    const auto old = test::read_file(dir.file(row.output));
    const auto before = test::listing(dir.path());
    for (int asks : {0, 1}) {
      StopAfter stopping{asks};
      const InterruptCheck check{StopAfter::stop, &stopping};
      EXPECT_EQ(row.convert(dir.file(row.input).c_str(), dir.file(row.output).c_str(), OUTPUT_REPLACE, &result,
                            &check),
                ERR_INTERRUPTED)
          << row.name << " stopped at ask " << asks + 1;
      EXPECT_EQ(result.read_failure, ERR_INTERRUPTED) << row.name;
      EXPECT_EQ(test::read_file(dir.file(row.output)), old) << row.name;
      EXPECT_EQ(test::listing(dir.path()), before) << row.name;
    }
    StopAfter never{1 << 30};
    const InterruptCheck check{StopAfter::stop, &never};
    EXPECT_EQ(row.convert(dir.file(row.input).c_str(), dir.file(row.output).c_str(), OUTPUT_REPLACE, &result,
                          &check),
              NO_ERROR)
        << row.name;
    EXPECT_GE(never.asked, 2) << row.name;
  }
}

}  // namespace round_trips
