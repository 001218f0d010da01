// The comparison's seam for kinds the core does not read: a height source
// stands in for the X3P library, so the rules are tested on the core alone.
#include <gtest/gtest.h>
#include <mapconv/file_kind.h>
#include <mapconv/map_compare.h>

#include <cmath>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

// What the fake source serves and how it ends.
struct Fake {
  std::vector<double> metres;
  ErrorCode read_code = NO_ERROR;
  ErrorCode finish_code = NO_ERROR;
  std::size_t at = 0;
  int closed = 0;
};
Fake fake;

ErrorCode fake_read(void* context, double* out, std::size_t capacity, std::size_t* count) {
  auto* f = static_cast<Fake*>(context);
  if (f->read_code != NO_ERROR) return f->read_code;
  *count = std::min(capacity, f->metres.size() - f->at);
  for (std::size_t i = 0; i < *count; ++i) out[i] = f->metres[f->at + i];
  f->at += *count;
  return NO_ERROR;
}
ErrorCode fake_finish(void* context) { return static_cast<Fake*>(context)->finish_code; }
void fake_close(void* context) { ++static_cast<Fake*>(context)->closed; }

ErrorCode fake_open(const char*, MapHeightSource* source) {
  fake.at = 0;
  *source = {&fake, 3, 2, 1e-6f, 1e-6f, fake_read, fake_finish, fake_close};
  return NO_ERROR;
}

float xdt_height(int row, int column) {
  return row == 1 && column == 2 ? -1.0f : 1e-7f * float(row * 3 + column);
}

TEST(MapSource, ComparedByTheRulesOfTheKindsItMeets) {
  test::TempDir dir;
  const std::string xdt = dir.file("g.xdt"), x3p = dir.file("s.x3p");
  test::write_file(xdt, test::xdt_bytes(3, 2, test::grid(3, 2, 1e-6f, xdt_height)));
  test::write_file(x3p, test::Bytes{'P', 'K', 3, 4, 0, 0, 0, 0});
  std::vector<double> same;
  for (int i = 0; i < 6; ++i) same.push_back(i == 5 ? NAN : double(1e-7f * float(i)));
  const MapSourceOpener opener{FILE_KIND_X3P, fake_open};
  struct Row {
    const char* what;
    std::vector<double> metres;
    ErrorCode read_code, finish_code, code;
    std::int32_t verdict;
    std::uint64_t first_mismatch;
  };
  std::vector<double> off = same, hole = same, filled = same;
  off[4] = std::nextafter(off[4], 1.0);
  hole[1] = NAN;
  filled[5] = 5e-7;
  const Row rows[] = {
      {"equal, NaN where the grid has -1", same, NO_ERROR, NO_ERROR, NO_ERROR, MAPS_AGREE, 0},
      {"one unit in the last place", off, NO_ERROR, NO_ERROR, NO_ERROR, MAPS_HEIGHTS_DIFFER, 4},
      {"a point without data more", hole, NO_ERROR, NO_ERROR, NO_ERROR, MAPS_NO_DATA_DIFFERS, 1},
      {"data where the grid has none", filled, NO_ERROR, NO_ERROR, NO_ERROR, MAPS_NO_DATA_DIFFERS, 5},
      {"a read that fails", same, ERR_CORRUPT_DATA_FILE, NO_ERROR, ERR_CORRUPT_DATA_FILE, MAPS_AGREE, 0},
      {"a finish that fails", same, NO_ERROR, ERR_CORRUPT_DATA_FILE, ERR_CORRUPT_DATA_FILE, MAPS_AGREE, 0},
  };
  for (const Row& row : rows) {
    fake = Fake{row.metres, row.read_code, row.finish_code};
    MapComparison result{};
    EXPECT_EQ(compare_map_files_through(xdt.c_str(), x3p.c_str(), &opener, &result), row.code) << row.what;
    EXPECT_EQ(fake.closed, 1) << row.what;
    EXPECT_EQ(result.kind[1], FILE_KIND_X3P) << row.what;
    if (row.code != NO_ERROR) {
      EXPECT_EQ(result.failed_file, 2) << row.what;
      continue;
    }
    EXPECT_EQ(result.verdict, row.verdict) << row.what;
    if (row.verdict != MAPS_AGREE) {
      EXPECT_EQ(result.first_mismatch, row.first_mismatch) << row.what;
    }
    EXPECT_EQ(result.tolerance_counts, 0.0) << row.what;
  }
}

TEST(MapSource, WithoutItsLibraryTheKindIsNamedNotReadAsXdt) {
  test::TempDir dir;
  const std::string xdt = dir.file("g.xdt"), x3p = dir.file("s.x3p");
  test::write_file(xdt, test::xdt_bytes(3, 2, test::grid(3, 2, 1e-6f, xdt_height)));
  test::write_file(x3p, test::Bytes{'P', 'K', 3, 4, 0, 0, 0, 0});
  MapComparison result{};
  EXPECT_EQ(compare_map_files(x3p.c_str(), xdt.c_str(), &result), ERR_NOT_IMPLEMENTED);
  EXPECT_EQ(result.failed_file, 1);
  EXPECT_EQ(result.kind[0], FILE_KIND_X3P);
  // An opener of another kind is no opener for this one.
  const MapSourceOpener other{FILE_KIND_XDT, fake_open};
  EXPECT_EQ(compare_map_files_through(x3p.c_str(), xdt.c_str(), &other, &result), ERR_NOT_IMPLEMENTED);
  const MapSourceOpener empty{FILE_KIND_X3P, nullptr};
  EXPECT_EQ(compare_map_files_through(x3p.c_str(), xdt.c_str(), &empty, &result), ERR_INVALID_PARAM);
}

}  // namespace
