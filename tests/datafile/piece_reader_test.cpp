// The reader's thread hands a piece over as heights or as the file's
// records, whichever thread has time to take the heights out: every form
// must give the caller the same points, the same resolution and the same
// counts.
#include "piece_reader.h"

#include <gtest/gtest.h>
#include <mapconv/xdt_reader.h>
#include <unistd.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "conversion_internal.h"
#include "test_support.h"
#include "xdt_stream_internal.h"

namespace {

constexpr int COLUMNS = 301;
constexpr int ROWS = 7;

// Heights with points without data at either end of some rows, NaN and
// marks below -1.0: what the span and the no-data rule look at.
float height_at(int row, int column) {
  if (column == 0 && row % 2 == 0) return -1.0f;
  if (column >= COLUMNS - 3 && row == 3) return -7.5f;
  if ((row * COLUMNS + column) % 97 == 5) return std::numeric_limits<float>::quiet_NaN();
  return 1e-7f * static_cast<float>(row * 13 - column);
}

struct Read {
  std::vector<std::uint32_t> heights;  // as bits, so that NaN compares
  float resolution = 0.0f;
  std::size_t records = 0;  // pieces handed over as records
  std::size_t pieces = 0;
};

// The heights of host-order records as the stream gives them: z, or -1.0
// for a point without data (at -1.0 or below; NaN is a height).
void heights_of(const unsigned char* records, std::size_t count, float* heights) {
  for (std::size_t i = 0; i < count; ++i) {
    float z;
    std::memcpy(&z, records + i * XDT_RECORD_SIZE + 8, sizeof z);
    heights[i] = z <= -1.0f ? -1.0f : z;
  }
}

std::vector<std::uint32_t> bits_of(const float* heights, std::size_t count) {
  std::vector<std::uint32_t> bits(count);
  for (std::size_t i = 0; i < count; ++i) bits[i] = std::bit_cast<std::uint32_t>(heights[i]);
  return bits;
}

// Reads the file through a reader with a records buffer: ahead on its
// thread, or else piece by piece on the caller's, as a plain read.
Read read_pieces(const std::string& path, bool swap, std::size_t piece, PieceForm form, bool ahead = true) {
  XdtStream stream;
  EXPECT_EQ(xdt_stream_open(path.c_str(), swap, &stream), NO_ERROR);
  // Whole floats, so that the heights in their place are aligned.
  std::vector<float> ring(PIECE_READER_SLOTS * piece * XDT_RECORD_SIZE / sizeof(float));
  std::vector<float> taken(piece);
  Read read;
  {
    PieceReader reader(&stream, reinterpret_cast<unsigned char*>(ring.data()), piece, form);
    if (ahead) reader.start();
    for (;;) {
      Piece next;
      EXPECT_EQ(reader.next(&next), NO_ERROR);
      if (next.count == 0) break;
      ++read.pieces;
      EXPECT_NE(next.heights == nullptr, next.records == nullptr);
      const float* from = next.heights;
      if (next.records != nullptr) {
        ++read.records;
        heights_of(next.records, next.count, taken.data());
        from = taken.data();
      }
      const auto bits = bits_of(from, next.count);
      read.heights.insert(read.heights.end(), bits.begin(), bits.end());
    }
  }
  EXPECT_EQ(xdt_stream_finish(&stream, &read.resolution), NO_ERROR);
  xdt_stream_close(&stream);
  return read;
}

TEST(PieceReader, EveryFormHandsOverThePointsOfAPlainRead) {
  test::TempDir dir;
  for (const bool swap : {false, true}) {
    const std::string path = dir.file(swap ? "swapped.xdt" : "native.xdt");
    test::write_file(path,
                     test::xdt_bytes(COLUMNS, ROWS, test::grid(COLUMNS, ROWS, 2.5e-6f, height_at), swap));
    for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{300}, std::size_t{5000}}) {
      const Read plain = read_pieces(path, swap, piece, PieceForm::EITHER, false);
      ASSERT_EQ(plain.heights.size(), std::size_t{COLUMNS} * ROWS);
      // Records alone, in the file's byte order, tally the same resolution.
      XdtStream stream;
      ASSERT_EQ(xdt_stream_open(path.c_str(), swap, &stream), NO_ERROR);
      std::vector<unsigned char> records(piece * XDT_RECORD_SIZE);
      XdtNote note;
      for (std::size_t count = 1; count != 0;) {
        ASSERT_EQ(xdt_stream_read_records_noted(&stream, records.data(), piece, &count, &note), NO_ERROR);
      }
      float resolution = 0.0f;
      EXPECT_EQ(xdt_stream_finish(&stream, &resolution), NO_ERROR);
      EXPECT_EQ(std::bit_cast<std::uint32_t>(resolution), std::bit_cast<std::uint32_t>(plain.resolution));
      xdt_stream_close(&stream);
      for (const PieceForm form : {PieceForm::EITHER, PieceForm::HEIGHTS, PieceForm::RECORDS}) {
        SCOPED_TRACE(testing::Message()
                     << "swap " << swap << ", piece " << piece << ", form " << static_cast<int>(form));
        const Read ahead = read_pieces(path, swap, piece, form);
        EXPECT_EQ(ahead.heights, plain.heights);
        EXPECT_EQ(std::bit_cast<std::uint32_t>(ahead.resolution),
                  std::bit_cast<std::uint32_t>(plain.resolution));
        // Records in the file's reversed order are never handed over.
        if (swap || form == PieceForm::HEIGHTS) {
          EXPECT_EQ(ahead.records, 0u);
        } else if (form == PieceForm::RECORDS) {
          EXPECT_EQ(ahead.records, ahead.pieces);
        }
      }
    }
  }
}

// Records an earlier read of heights left in the stream's buffer come first,
// and a file cut short says the same point either way.
TEST(PieceReader, RecordsFollowHeightsAndEndAsThemAtAShortFile) {
  test::TempDir dir;
  const std::string path = dir.file("in.xdt");
  const test::Bytes bytes = test::xdt_bytes(COLUMNS, ROWS, test::grid(COLUMNS, ROWS, 2.5e-6f, height_at));
  test::write_file(path, bytes);
  XdtStream stream;
  ASSERT_EQ(xdt_stream_open(path.c_str(), false, &stream), NO_ERROR);
  float five[5];
  std::size_t count = 0;
  ASSERT_EQ(xdt_stream_read(&stream, five, 5, &count), NO_ERROR);
  ASSERT_EQ(count, 5u);
  std::vector<unsigned char> records(100 * XDT_RECORD_SIZE);
  XdtNote note;
  ASSERT_EQ(xdt_stream_read_records_noted(&stream, records.data(), 100, &count, &note), NO_ERROR);
  ASSERT_EQ(count, 100u);
  EXPECT_EQ(note.text[0], '\0');
  EXPECT_EQ(0, std::memcmp(records.data(), bytes.data() + 4 + 5 * XDT_RECORD_SIZE, records.size()));
  xdt_stream_close(&stream);

  // Cut after 50 records and a part of one, once the streams are open.
  std::string said[2];
  for (int way = 0; way < 2; ++way) {
    test::write_file(path, bytes);
    ASSERT_EQ(xdt_stream_open(path.c_str(), false, &stream), NO_ERROR);
    ASSERT_EQ(truncate(path.c_str(), 4 + 50 * XDT_RECORD_SIZE + 5), 0);
    std::vector<float> heights(100);
    const ErrorCode code = way == 0
                               ? xdt_stream_read_records_noted(&stream, records.data(), 100, &count, &note)
                               : xdt_stream_read_noted(&stream, heights.data(), 100, &count, &note);
    EXPECT_EQ(code, ERR_PREMATURE_EOF);
    EXPECT_EQ(count, 0u);
    said[way] = note.text;
    // The failure stays.
    EXPECT_EQ(xdt_stream_read_records_noted(&stream, records.data(), 100, &count, &note), ERR_PREMATURE_EOF);
    xdt_stream_close(&stream);
  }
  EXPECT_EQ(said[0], "EOF reading point 51 of 2107\n");
  EXPECT_EQ(said[1], said[0]);
}

// Counts straight from the records are the counts of their heights, for
// every kind of height the conversion tells apart.
TEST(Conversion, RecordsGiveTheCountsOfTheirHeights) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<float> heights = {0.0f,    -0.0f,    1e-7f,    -1e-7f,   -1.0f, -1.0000001f, -0.99999994f,
                                      -5.0f,   nan,      -nan,     inf,      -inf,  1e30f,       -1e30f,
                                      1e-45f,  -1e-45f,  0.1f,     -0.1f,    0.13f, -0.13f,      0.13001f,
                                      2.5e-8f, -2.5e-8f, 3.3e-3f,  7.72e-6f, 1.0f,  0.99999994f, -0.5f,
                                      4.8e-9f, 9.7e-9f,  -9.7e-9f, 123.0f};
  // Every offset into a vector's width, and a tail.
  for (std::size_t start = 0; start < 9; ++start) {
    const std::size_t count = heights.size() - start;
    std::vector<unsigned char> records(count * XDT_RECORD_SIZE);
    for (std::size_t i = 0; i < count; ++i) {
      const float record[3] = {static_cast<float>(i), -static_cast<float>(i), heights[start + i]};
      std::memcpy(records.data() + i * XDT_RECORD_SIZE, record, sizeof record);
    }
    std::vector<float> taken(count);
    heights_of(records.data(), count, taken.data());
    std::vector<std::uint32_t> from_heights(count), from_records(count);
    // The second factor so large that some counts do not fit.
    for (const double counts_per_metre : {103561.2, 1e12}) {
      const std::size_t lost_heights =
          convert_heights_file_order(taken.data(), count, counts_per_metre, from_heights.data());
      const std::size_t lost_records =
          convert_records_file_order(records.data(), count, counts_per_metre, from_records.data());
      EXPECT_EQ(from_records, from_heights) << "from " << start << ", factor " << counts_per_metre;
      EXPECT_EQ(lost_records, lost_heights) << "from " << start << ", factor " << counts_per_metre;
      if (counts_per_metre > 1e6) {
        EXPECT_GT(lost_records, 0u);
      }
    }
  }
}

}  // namespace
