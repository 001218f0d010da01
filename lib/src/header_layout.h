// The one description of the data file header: every field with its file
// offset, width and type. The image positions, the byte reversal, the
// compaction, the reader's decoding, the record checks and the Python
// module's field names are all derived from header_rows. Not installed.
#pragma once

#include <mapconv/data_file_format.h>

#include <array>
#include <cstddef>
#include <cstdint>

// File offset of the first record field; everything before it is supplied by
// the writer.
inline constexpr std::size_t HEADER_RECORD_FILE_OFFSET = 76;

// How a field is stored: a 16-bit or 32-bit big-endian unit, or bytes as
// they stand.
enum class FieldUnit : std::uint8_t { bits16, bits32, bytes };
// What a field holds, as far as anything in the system interprets it.
enum class FieldType : std::uint8_t { u16, i16, u32, i32, f32, bytes };

constexpr FieldUnit unit_of(FieldType type) {
  switch (type) {
    case FieldType::u16:
    case FieldType::i16:
      return FieldUnit::bits16;
    case FieldType::bytes:
      return FieldUnit::bytes;
    default:
      return FieldUnit::bits32;
  }
}

// A row of the layout: amount fields of one type, or one run of amount
// bytes. name is null for a field nothing interprets; such a field goes by
// its file offset (field_N, fields_N for several, bytes_N).
struct HeaderRow {
  std::uint16_t file_offset;
  FieldType type;
  std::uint16_t amount;
  const char* name;
};

namespace header_layout_detail {

constexpr HeaderRow u16(std::uint16_t offset, std::uint16_t count = 1) {
  return {offset, FieldType::u16, count, nullptr};
}
constexpr HeaderRow u32(std::uint16_t offset, std::uint16_t count = 1) {
  return {offset, FieldType::u32, count, nullptr};
}
constexpr HeaderRow raw(std::uint16_t offset, std::uint16_t width) {
  return {offset, FieldType::bytes, width, nullptr};
}
constexpr HeaderRow named(std::uint16_t offset, FieldType type, const char* name) {
  return {offset, type, 1, name};
}

}  // namespace header_layout_detail

// The header from file offset 0 to 4096. Rows from HEADER_RECORD_FILE_OFFSET
// on are the members of DataFileHeader, one row each.
inline constexpr HeaderRow header_rows[] = {
    // Leading fields, supplied by the writer.
    header_layout_detail::named(0, FieldType::u32, "magic_number"),
    header_layout_detail::named(4, FieldType::i16, "header_format"),
    header_layout_detail::named(6, FieldType::i32, "header_size"),
    header_layout_detail::u16(10),      // software_info: first value,
    header_layout_detail::raw(12, 30),  // 30-byte field,
    header_layout_detail::u16(42, 3),   // last three values
    header_layout_detail::u16(48, 6),   // intensity_origin_x .. intensity_range
    header_layout_detail::named(60, FieldType::u32, "intensity_bytes"),
    header_layout_detail::u16(64, 4),  // phase_origin_x .. phase_height
    header_layout_detail::named(72, FieldType::u32, "phase_bytes"),
    // DataFileHeader: formats 1 and 2.
    header_layout_detail::u32(76),
    header_layout_detail::raw(80, 82),
    header_layout_detail::u16(162),
    header_layout_detail::named(164, FieldType::f32, "scale_factor"),
    header_layout_detail::named(168, FieldType::f32, "wavelength"),
    header_layout_detail::u32(172),
    header_layout_detail::named(176, FieldType::f32, "obliquity"),
    header_layout_detail::u32(180),
    header_layout_detail::named(184, FieldType::f32, "lateral_resolution"),
    header_layout_detail::u16(188, 5),
    header_layout_detail::u32(198),
    header_layout_detail::u16(202),
    header_layout_detail::u32(204),
    header_layout_detail::raw(208, 2),
    header_layout_detail::u32(210, 2),
    header_layout_detail::named(218, FieldType::i16, "phase_resolution"),
    header_layout_detail::u32(220),
    header_layout_detail::u16(224),
    header_layout_detail::u32(226),
    header_layout_detail::u16(230, 2),
    header_layout_detail::named(234, FieldType::i16, "frame_width"),
    header_layout_detail::named(236, FieldType::i16, "frame_height"),
    header_layout_detail::u16(238, 4),
    header_layout_detail::raw(246, 52),
    header_layout_detail::u16(298, 3),
    header_layout_detail::raw(304, 56),
    header_layout_detail::u32(360),
    header_layout_detail::u16(364, 2),
    header_layout_detail::u32(368),
    header_layout_detail::u16(372, 2),
    header_layout_detail::u32(376, 2),
    header_layout_detail::u16(384),
    header_layout_detail::u32(386, 3),
    header_layout_detail::raw(398, 8),
    header_layout_detail::u16(406),
    header_layout_detail::raw(408, 20),
    header_layout_detail::u16(428),
    header_layout_detail::u32(430, 18),
    header_layout_detail::raw(502, 232),
    header_layout_detail::u16(734),
    header_layout_detail::raw(736, 80),
    header_layout_detail::u16(816),
    header_layout_detail::raw(818, 16),
    // Format 3 only.
    header_layout_detail::raw(834, 4),
    header_layout_detail::u16(838, 2),
    header_layout_detail::u32(842, 7),
    header_layout_detail::raw(870, 30),
    header_layout_detail::u16(900, 2),
    header_layout_detail::raw(904, 30),
    header_layout_detail::u32(934),
    header_layout_detail::raw(938, 60),
    header_layout_detail::u32(998, 10),
    header_layout_detail::raw(1038, 88),
    header_layout_detail::u32(1126, 23),
    header_layout_detail::raw(1218, 32),
    header_layout_detail::u32(1250, 3),
    header_layout_detail::raw(1262, 2),  // three like groups of 60 bytes
    header_layout_detail::u16(1264),
    header_layout_detail::u32(1266, 14),
    header_layout_detail::raw(1322, 2),
    header_layout_detail::u16(1324),
    header_layout_detail::u32(1326, 14),
    header_layout_detail::raw(1382, 2),
    header_layout_detail::u16(1384),
    header_layout_detail::u32(1386, 14),
    header_layout_detail::raw(1442, 4),
    header_layout_detail::u32(1446, 2),
    header_layout_detail::raw(1454, 2642),
};

// One field of the header: a 16-bit or 32-bit unit, or a run of bytes.
struct HeaderField {
  std::uint16_t file_offset;
  std::uint16_t width;
  FieldUnit unit;
};

// Bytes one unit of a row takes: 2, 4, or 1 for bytes.
constexpr std::uint16_t unit_width(FieldType type) {
  const FieldUnit unit = unit_of(type);
  return unit == FieldUnit::bits16 ? 2 : unit == FieldUnit::bits32 ? 4 : 1;
}

namespace header_layout_detail {

constexpr std::size_t field_count() {
  std::size_t count = 0;
  for (const HeaderRow& row : header_rows) count += unit_of(row.type) == FieldUnit::bytes ? 1 : row.amount;
  return count;
}

template <std::size_t N>
constexpr std::array<HeaderField, N> expand() {
  std::array<HeaderField, N> fields{};
  std::size_t next = 0;
  for (const HeaderRow& row : header_rows) {
    const FieldUnit unit = unit_of(row.type);
    if (unit == FieldUnit::bytes) {
      fields[next++] = {row.file_offset, row.amount, unit};
      continue;
    }
    const std::uint16_t width = unit_width(row.type);
    for (std::uint16_t i = 0; i < row.amount; ++i) {
      fields[next++] = {static_cast<std::uint16_t>(row.file_offset + i * width), width, unit};
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

// Position within DataFileHeader of a file offset of the record.
constexpr std::size_t header_record_offset(std::size_t file_offset) {
  return header_image_position(file_offset) - HEADER_RECORD_POSITION;
}

namespace header_layout_detail {

constexpr std::size_t image_shift(const HeaderField& field) {
  return header_image_position(field.file_offset) - field.file_offset;
}
constexpr std::size_t hole_count() {
  std::size_t count = 0;
  for (std::size_t i = 1; i < header_layout.size(); ++i) {
    count += image_shift(header_layout[i]) != image_shift(header_layout[i - 1]);
  }
  return count;
}

}  // namespace header_layout_detail

// The alignment holes of the image, by image position.
constexpr std::array<std::size_t, header_layout_detail::hole_count()> header_hole_positions() {
  std::array<std::size_t, header_layout_detail::hole_count()> holes{};
  std::size_t next = 0;
  for (std::size_t i = 1; i < header_layout.size(); ++i) {
    if (header_layout_detail::image_shift(header_layout[i]) !=
        header_layout_detail::image_shift(header_layout[i - 1])) {
      holes[next++] = header_image_position(header_layout[i].file_offset) - 2;
    }
  }
  return holes;
}

// The holes to remove, in order: each at its position in the image as
// compacted by the entries before it, 2 bytes long.
struct CompactionEntry {
  std::size_t position;
  std::size_t length;
};
inline constexpr auto header_compaction = [] {
  constexpr auto holes = header_hole_positions();
  std::array<CompactionEntry, holes.size()> entries{};
  for (std::size_t k = 0; k < holes.size(); ++k) entries[k] = {holes[k] - 2 * k, 2};
  return entries;
}();

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

// The inverse of compact_header_image: lays the first size bytes of a header
// as read from a file (at most 4096) out at their image positions, with the
// holes and everything after the header zero.
void expand_header_image(const std::uint8_t* header, std::size_t size, std::uint8_t* image);

// Values in each block of a data file, from the maps' geometry.
struct BlockSizes {
  std::uint64_t intensity_values;
  std::uint64_t phase_values;
};
