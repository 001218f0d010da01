// Layout of the binary data file header. The header is assembled in host
// byte order in a naturally aligned working image (the leading fields, then
// a copy of the caller's DataFileHeader), reversed field by field and
// compacted into the big-endian bytes of an 834- or 4096-byte header.
//
// header_layout is the one description of the header: image positions, the
// byte reversal and the record checks below are all derived from it.
#pragma once

#include <mapconv/api.h>
#include <mapconv/map_records.h>

#include <array>
#include <cstddef>
#include <cstdint>

inline constexpr std::uint32_t HEADER_FORMAT_1_MAGIC = 0x881B036F;
inline constexpr std::uint32_t HEADER_FORMAT_2_MAGIC = 0x881B0370;
inline constexpr std::uint32_t HEADER_FORMAT_3_MAGIC = 0x881B0371;

// Header lengths in the file: formats 1 and 2, format 3.
inline constexpr std::size_t HEADER_SIZE_SHORT = 834;
inline constexpr std::size_t HEADER_SIZE_LONG = 4096;
// The working image: 80 bytes of leading fields, then the 4036-byte record.
inline constexpr std::size_t HEADER_IMAGE_SIZE = 4116;
inline constexpr std::size_t HEADER_RECORD_POSITION = 80;
// File offset of the first record field; everything before it is supplied by
// the writer.
inline constexpr std::size_t HEADER_RECORD_FILE_OFFSET = 76;

enum class FieldUnit : std::uint8_t { bits16, bits32, bytes };

// One field of the header: a 16-bit or 32-bit big-endian unit, or a run of
// bytes stored as they stand.
struct HeaderField {
  std::uint16_t file_offset;
  std::uint16_t width;
  FieldUnit unit;
};

namespace header_layout_detail {

// A row of the layout: count fields of one width, or one run of width bytes.
struct Row {
  std::uint16_t file_offset;
  FieldUnit unit;
  std::uint16_t amount;  // fields for bits16 / bits32, bytes for bytes
};
constexpr Row b16(std::uint16_t offset, std::uint16_t count = 1) {
  return {offset, FieldUnit::bits16, count};
}
constexpr Row b32(std::uint16_t offset, std::uint16_t count = 1) {
  return {offset, FieldUnit::bits32, count};
}
constexpr Row raw(std::uint16_t offset, std::uint16_t width) { return {offset, FieldUnit::bytes, width}; }

inline constexpr Row rows[] = {
    // Leading fields, supplied by the writer.
    b32(0),       // magic_number
    b16(4),       // header_format
    b32(6),       // header_size
    b16(10),      // software_info: first value,
    raw(12, 30),  // 30-byte field,
    b16(42, 3),   // last three values
    b16(48, 6),   // intensity_origin_x .. intensity_range
    b32(60),      // intensity_bytes
    b16(64, 4),   // phase_origin_x .. phase_height
    b32(72),      // phase_bytes
    // DataFileHeader: formats 1 and 2.
    b32(76),
    raw(80, 82),
    b16(162),
    b32(164, 6),  // scale_factor, wavelength, -, obliquity, -, lateral_resolution
    b16(188, 5),
    b32(198),
    b16(202),
    b32(204),
    raw(208, 2),
    b32(210, 2),
    b16(218),  // phase_resolution
    b32(220),
    b16(224),
    b32(226),
    b16(230, 2),
    b16(234, 2),  // frame_width, frame_height
    b16(238, 4),
    raw(246, 52),
    b16(298, 3),
    raw(304, 56),
    b32(360),
    b16(364, 2),
    b32(368),
    b16(372, 2),
    b32(376, 2),
    b16(384),
    b32(386, 3),
    raw(398, 8),
    b16(406),
    raw(408, 20),
    b16(428),
    b32(430, 18),
    raw(502, 232),
    b16(734),
    raw(736, 80),
    b16(816),
    raw(818, 16),
    // Format 3 only.
    raw(834, 4),
    b16(838, 2),
    b32(842, 7),
    raw(870, 30),
    b16(900, 2),
    raw(904, 30),
    b32(934),
    raw(938, 60),
    b32(998, 10),
    raw(1038, 88),
    b32(1126, 23),
    raw(1218, 32),
    b32(1250, 3),
    raw(1262, 2),  // three like groups of 60 bytes
    b16(1264),
    b32(1266, 14),
    raw(1322, 2),
    b16(1324),
    b32(1326, 14),
    raw(1382, 2),
    b16(1384),
    b32(1386, 14),
    raw(1442, 4),
    b32(1446, 2),
    raw(1454, 2642),
};

constexpr std::size_t field_count() {
  std::size_t count = 0;
  for (const Row& row : rows) count += row.unit == FieldUnit::bytes ? 1 : row.amount;
  return count;
}

template <std::size_t N>
constexpr std::array<HeaderField, N> expand() {
  std::array<HeaderField, N> fields{};
  std::size_t next = 0;
  for (const Row& row : rows) {
    if (row.unit == FieldUnit::bytes) {
      fields[next++] = {row.file_offset, row.amount, row.unit};
      continue;
    }
    const std::uint16_t width = row.unit == FieldUnit::bits16 ? 2 : 4;
    for (std::uint16_t i = 0; i < row.amount; ++i) {
      fields[next++] = {static_cast<std::uint16_t>(row.file_offset + i * width), width, row.unit};
    }
  }
  return fields;
}

}  // namespace header_layout_detail

// Every field of the header, in file order, from offset 0 to 4096.
inline constexpr auto header_layout = header_layout_detail::expand<header_layout_detail::field_count()>();

// Image position of a file offset: the image aligns each 32-bit field on a
// 4-byte boundary by a 2-byte hole before it. An offset of 4096 or more
// lies past the last field (4096 maps to the record's trailing 2 bytes).
constexpr std::size_t header_image_position(std::size_t file_offset) {
  std::size_t shift = 0;
  for (const HeaderField& field : header_layout) {
    if (field.unit == FieldUnit::bits32 && (field.file_offset + shift) % 4 != 0) shift += 2;
    if (file_offset < std::size_t{field.file_offset} + field.width) return file_offset + shift;
  }
  return file_offset + shift;
}

// The alignment holes of the image, by image position.
constexpr std::size_t header_image_shift(const HeaderField& field) {
  return header_image_position(field.file_offset) - field.file_offset;
}
constexpr std::size_t header_hole_count() {
  std::size_t count = 0;
  for (std::size_t i = 1; i < header_layout.size(); ++i) {
    count += header_image_shift(header_layout[i]) != header_image_shift(header_layout[i - 1]);
  }
  return count;
}
constexpr std::array<std::size_t, header_hole_count()> header_hole_positions() {
  std::array<std::size_t, header_hole_count()> holes{};
  std::size_t next = 0;
  for (std::size_t i = 1; i < header_layout.size(); ++i) {
    if (header_image_shift(header_layout[i]) != header_image_shift(header_layout[i - 1])) {
      holes[next++] = header_image_position(header_layout[i].file_offset) - 2;
    }
  }
  return holes;
}

// One hole to remove: position in the image as compacted by the entries
// before it, and length.
struct CompactionEntry {
  std::int16_t position;
  std::int16_t length;
};
inline constexpr std::array<CompactionEntry, 9> header_compaction = {{
    {6, 2},
    {60, 2},
    {198, 2},
    {204, 2},
    {210, 2},
    {220, 2},
    {226, 2},
    {360, 2},
    {386, 2},
}};

// The first 80 bytes of the image, written by the writer alone.
struct HeaderLeadingFields {
  std::uint32_t magic_number;
  std::int16_t header_format;
  std::int32_t header_size;
  SoftwareInfo software_info;
  std::int16_t intensity_origin_x;
  std::int16_t intensity_origin_y;
  std::int16_t intensity_width;
  std::int16_t intensity_height;
  std::int16_t intensity_buckets;
  std::uint16_t intensity_range;
  std::uint32_t intensity_bytes;
  std::int16_t phase_origin_x;
  std::int16_t phase_origin_y;
  std::int16_t phase_width;
  std::int16_t phase_height;
  std::uint32_t phase_bytes;
};

// Three like groups of header fields from file offset 1262 on.
struct HeaderFieldGroup {
  std::uint8_t bytes_0[2];
  std::uint16_t field_2;
  std::uint32_t fields_4[14];
};

// The caller's header record: every header field from file offset 76 to
// 4095 in file order. Create it zero-filled and set the fields you know;
// the writer only reads it. Fields other than the named ones mean nothing
// to this library and are carried to the file unchanged.
struct DataFileHeader {
  std::uint32_t field_76;
  std::uint8_t bytes_80[82];
  std::uint16_t field_162;
  float scale_factor;  // times wavelength: the height of 32768 phase counts
  float wavelength;    // metres
  std::uint32_t field_172;
  float obliquity;
  std::uint32_t field_180;
  float lateral_resolution;  // distance between adjacent pixels
  std::uint16_t fields_188[5];
  std::uint32_t field_198;
  std::uint16_t field_202;
  std::uint32_t field_204;
  std::uint8_t bytes_208[2];
  std::uint32_t fields_210[2];
  std::int16_t phase_resolution;  // 2 or more selects format 2
  std::uint32_t field_220;
  std::uint16_t field_224;
  std::uint32_t field_226;
  std::uint16_t fields_230[2];
  std::int16_t frame_width;
  std::int16_t frame_height;
  std::uint16_t fields_238[4];
  std::uint8_t bytes_246[52];
  std::uint16_t fields_298[3];
  std::uint8_t bytes_304[56];
  std::uint32_t field_360;
  std::uint16_t fields_364[2];
  std::uint32_t field_368;
  std::uint16_t fields_372[2];
  std::uint32_t fields_376[2];
  std::uint16_t field_384;
  std::uint32_t fields_386[3];
  std::uint8_t bytes_398[8];
  std::uint16_t field_406;
  std::uint8_t bytes_408[20];
  std::uint16_t field_428;
  std::uint32_t fields_430[18];
  std::uint8_t bytes_502[232];
  std::uint16_t field_734;
  std::uint8_t bytes_736[80];
  std::uint16_t field_816;
  std::uint8_t bytes_818[16];
  std::uint8_t bytes_834[4];  // in format 3 only; the format rule does not look at it
  std::uint16_t fields_838[2];
  std::uint32_t fields_842[7];
  std::uint8_t bytes_870[30];
  std::uint16_t fields_900[2];
  std::uint8_t bytes_904[30];
  std::uint32_t field_934;
  std::uint8_t bytes_938[60];
  std::uint32_t fields_998[10];
  std::uint8_t bytes_1038[88];
  std::uint32_t fields_1126[23];
  std::uint8_t bytes_1218[32];
  std::uint32_t fields_1250[3];
  HeaderFieldGroup groups_1262[3];
  std::uint8_t bytes_1442[4];
  std::uint32_t fields_1446[2];
  std::uint8_t bytes_1454[2642];
  // Not in the file, but any non-zero byte here selects format 3. A member
  // rather than padding so that a record initialised with {} is all zero.
  std::uint8_t trailing[2];
};

// magic_number, header_format and header_size of format 1, 2 or 3.
struct HeaderFormat {
  std::uint32_t magic_number;
  std::int16_t header_format;
  std::int32_t header_size;
};
inline constexpr std::array<HeaderFormat, 3> header_formats = {{
    {HEADER_FORMAT_1_MAGIC, 1, static_cast<std::int32_t>(HEADER_SIZE_SHORT)},
    {HEADER_FORMAT_2_MAGIC, 2, static_cast<std::int32_t>(HEADER_SIZE_SHORT)},
    {HEADER_FORMAT_3_MAGIC, 3, static_cast<std::int32_t>(HEADER_SIZE_LONG)},
}};

// The header format for a record (null: none given): 3 when any record byte
// from the field at file offset 838 to the record's end is non-zero, else 2
// when phase_resolution is 2 or more, else 1.
MAPCONV_API int choose_header_format(const DataFileHeader* header);

// Reverses every 16-bit and 32-bit field of the HEADER_IMAGE_SIZE-byte image
// in place; bytes fields and holes stay as they are. Its own inverse.
MAPCONV_API void swap_header_image(std::uint8_t* image);

// Removes the image's alignment holes in place: afterwards its first 4096
// bytes are the format-3 header and its first 834 the format-1/2 header.
MAPCONV_API void compact_header_image(std::uint8_t* image);

// The inverse of compact_header_image: lays the first size bytes of a header
// as read from a file (at most 4096) out at their image positions, with the
// holes and everything after the header zero.
MAPCONV_API void expand_header_image(const std::uint8_t* header, std::size_t size, std::uint8_t* image);

// Checks of the records against the layout.
namespace header_layout_detail {

constexpr std::size_t count_unit(FieldUnit unit, std::size_t below = HEADER_SIZE_LONG) {
  std::size_t count = 0;
  for (const HeaderField& field : header_layout) count += field.unit == unit && field.file_offset < below;
  return count;
}

constexpr bool tiles_whole_header() {
  std::size_t next = 0;
  for (const HeaderField& field : header_layout) {
    if (field.file_offset != next || field.width == 0) return false;
    next += field.width;
  }
  return next == HEADER_SIZE_LONG;
}

constexpr bool multi_byte_fields_aligned() {
  for (const HeaderField& field : header_layout) {
    if (field.unit == FieldUnit::bytes) continue;
    if (field.width != (field.unit == FieldUnit::bits16 ? 2 : 4)) return false;
    if (header_image_position(field.file_offset) % field.width != 0) return false;
  }
  return true;
}

// Each compaction entry removes the next hole, counted in the image as
// compacted by the entries before it.
constexpr bool compaction_matches_holes() {
  constexpr auto holes = header_hole_positions();
  if (holes.size() != header_compaction.size()) return false;
  for (std::size_t k = 0; k < holes.size(); ++k) {
    if (header_compaction[k].length != 2) return false;
    if (static_cast<std::size_t>(header_compaction[k].position) != holes[k] - 2 * k) return false;
  }
  return true;
}

constexpr std::size_t record_offset(std::size_t file_offset) {
  return header_image_position(file_offset) - HEADER_RECORD_POSITION;
}

}  // namespace header_layout_detail

static_assert(header_layout.size() == 202);
static_assert(header_layout_detail::count_unit(FieldUnit::bits16) == 51);
static_assert(header_layout_detail::count_unit(FieldUnit::bits32) == 130);
static_assert(header_layout_detail::count_unit(FieldUnit::bits16, HEADER_SIZE_SHORT) +
                  header_layout_detail::count_unit(FieldUnit::bits32, HEADER_SIZE_SHORT) ==
              86);
static_assert(header_layout_detail::tiles_whole_header());
static_assert(header_layout_detail::multi_byte_fields_aligned());
static_assert(header_layout_detail::compaction_matches_holes());
static_assert(header_image_position(HEADER_RECORD_FILE_OFFSET) == HEADER_RECORD_POSITION);
static_assert(header_image_position(HEADER_SIZE_LONG) + 2 == HEADER_IMAGE_SIZE);
// Every hole lies before file offset 838, where the format rule starts looking.
static_assert(header_hole_positions().back() < header_image_position(838));

static_assert(sizeof(HeaderLeadingFields) == HEADER_RECORD_POSITION);
#define MAPCONV_CHECK_LEADING(member, file_offset) \
  static_assert(offsetof(HeaderLeadingFields, member) == header_image_position(file_offset))
MAPCONV_CHECK_LEADING(magic_number, 0);
MAPCONV_CHECK_LEADING(header_format, 4);
MAPCONV_CHECK_LEADING(header_size, 6);
MAPCONV_CHECK_LEADING(software_info, 10);
MAPCONV_CHECK_LEADING(intensity_origin_x, 48);
MAPCONV_CHECK_LEADING(intensity_origin_y, 50);
MAPCONV_CHECK_LEADING(intensity_width, 52);
MAPCONV_CHECK_LEADING(intensity_height, 54);
MAPCONV_CHECK_LEADING(intensity_buckets, 56);
MAPCONV_CHECK_LEADING(intensity_range, 58);
MAPCONV_CHECK_LEADING(intensity_bytes, 60);
MAPCONV_CHECK_LEADING(phase_origin_x, 64);
MAPCONV_CHECK_LEADING(phase_origin_y, 66);
MAPCONV_CHECK_LEADING(phase_width, 68);
MAPCONV_CHECK_LEADING(phase_height, 70);
MAPCONV_CHECK_LEADING(phase_bytes, 72);
#undef MAPCONV_CHECK_LEADING

static_assert(sizeof(HeaderFieldGroup) == 60);
static_assert(sizeof(DataFileHeader) == HEADER_IMAGE_SIZE - HEADER_RECORD_POSITION);
static_assert(sizeof(DataFileHeader) == 4036);
static_assert(alignof(DataFileHeader) == 4);
#define MAPCONV_CHECK_RECORD(member, file_offset) \
  static_assert(offsetof(DataFileHeader, member) == header_layout_detail::record_offset(file_offset))
MAPCONV_CHECK_RECORD(field_76, 76);
MAPCONV_CHECK_RECORD(bytes_80, 80);
MAPCONV_CHECK_RECORD(field_162, 162);
MAPCONV_CHECK_RECORD(scale_factor, 164);
MAPCONV_CHECK_RECORD(wavelength, 168);
MAPCONV_CHECK_RECORD(field_172, 172);
MAPCONV_CHECK_RECORD(obliquity, 176);
MAPCONV_CHECK_RECORD(field_180, 180);
MAPCONV_CHECK_RECORD(lateral_resolution, 184);
MAPCONV_CHECK_RECORD(fields_188, 188);
MAPCONV_CHECK_RECORD(field_198, 198);
MAPCONV_CHECK_RECORD(field_202, 202);
MAPCONV_CHECK_RECORD(field_204, 204);
MAPCONV_CHECK_RECORD(bytes_208, 208);
MAPCONV_CHECK_RECORD(fields_210, 210);
MAPCONV_CHECK_RECORD(phase_resolution, 218);
MAPCONV_CHECK_RECORD(field_220, 220);
MAPCONV_CHECK_RECORD(field_224, 224);
MAPCONV_CHECK_RECORD(field_226, 226);
MAPCONV_CHECK_RECORD(fields_230, 230);
MAPCONV_CHECK_RECORD(frame_width, 234);
MAPCONV_CHECK_RECORD(frame_height, 236);
MAPCONV_CHECK_RECORD(fields_238, 238);
MAPCONV_CHECK_RECORD(bytes_246, 246);
MAPCONV_CHECK_RECORD(fields_298, 298);
MAPCONV_CHECK_RECORD(bytes_304, 304);
MAPCONV_CHECK_RECORD(field_360, 360);
MAPCONV_CHECK_RECORD(fields_364, 364);
MAPCONV_CHECK_RECORD(field_368, 368);
MAPCONV_CHECK_RECORD(fields_372, 372);
MAPCONV_CHECK_RECORD(fields_376, 376);
MAPCONV_CHECK_RECORD(field_384, 384);
MAPCONV_CHECK_RECORD(fields_386, 386);
MAPCONV_CHECK_RECORD(bytes_398, 398);
MAPCONV_CHECK_RECORD(field_406, 406);
MAPCONV_CHECK_RECORD(bytes_408, 408);
MAPCONV_CHECK_RECORD(field_428, 428);
MAPCONV_CHECK_RECORD(fields_430, 430);
MAPCONV_CHECK_RECORD(bytes_502, 502);
MAPCONV_CHECK_RECORD(field_734, 734);
MAPCONV_CHECK_RECORD(bytes_736, 736);
MAPCONV_CHECK_RECORD(field_816, 816);
MAPCONV_CHECK_RECORD(bytes_818, 818);
MAPCONV_CHECK_RECORD(bytes_834, 834);
MAPCONV_CHECK_RECORD(fields_838, 838);
MAPCONV_CHECK_RECORD(fields_842, 842);
MAPCONV_CHECK_RECORD(bytes_870, 870);
MAPCONV_CHECK_RECORD(fields_900, 900);
MAPCONV_CHECK_RECORD(bytes_904, 904);
MAPCONV_CHECK_RECORD(field_934, 934);
MAPCONV_CHECK_RECORD(bytes_938, 938);
MAPCONV_CHECK_RECORD(fields_998, 998);
MAPCONV_CHECK_RECORD(bytes_1038, 1038);
MAPCONV_CHECK_RECORD(fields_1126, 1126);
MAPCONV_CHECK_RECORD(bytes_1218, 1218);
MAPCONV_CHECK_RECORD(fields_1250, 1250);
MAPCONV_CHECK_RECORD(groups_1262, 1262);
MAPCONV_CHECK_RECORD(groups_1262[1], 1322);
MAPCONV_CHECK_RECORD(groups_1262[2], 1382);
MAPCONV_CHECK_RECORD(bytes_1442, 1442);
MAPCONV_CHECK_RECORD(fields_1446, 1446);
MAPCONV_CHECK_RECORD(bytes_1454, 1454);
MAPCONV_CHECK_RECORD(trailing, 4096);
#undef MAPCONV_CHECK_RECORD
