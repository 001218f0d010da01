#include <mapconv/byte_order.h>
#include <mapconv/data_file_format.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>

#include "header_layout.h"

namespace {

// Checks of the records against the layout.
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

}  // namespace

static_assert(header_layout.size() == 202);
static_assert(count_unit(FieldUnit::bits16) == 51);
static_assert(count_unit(FieldUnit::bits32) == 130);
static_assert(count_unit(FieldUnit::bits16, HEADER_SIZE_SHORT) +
                  count_unit(FieldUnit::bits32, HEADER_SIZE_SHORT) ==
              86);
static_assert(tiles_whole_header());
static_assert(multi_byte_fields_aligned());
static_assert(header_compaction.size() == 9);
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

static_assert(sizeof(DataFileHeader) == 4036);
#define MAPCONV_CHECK_RECORD(member, file_offset) \
  static_assert(offsetof(DataFileHeader, member) == header_record_offset(file_offset))
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

bool fits_header_float(double value) {
  return std::isfinite(value) && std::fabs(value) <= static_cast<double>(std::numeric_limits<float>::max());
}

int choose_header_format(const DataFileHeader* header) {
  if (header == nullptr) return 1;
  // The record's bytes as they stand, padding included: the caller's zero
  // fill is what makes a field "not set".
  const auto* bytes = reinterpret_cast<const unsigned char*>(header);
  constexpr std::size_t first_format_3_byte = header_record_offset(838);
  if (std::any_of(bytes + first_format_3_byte, bytes + sizeof(DataFileHeader),
                  [](unsigned char byte) { return byte != 0; })) {
    return 3;
  }
  return header->phase_resolution >= 2 ? 2 : 1;
}

namespace {

struct SwapUnit {
  std::uint16_t image_position;
  std::uint8_t width;
};

constexpr std::size_t multi_byte_field_count() {
  return static_cast<std::size_t>(
      std::count_if(header_layout.begin(), header_layout.end(),
                    [](const HeaderField& f) { return f.unit != FieldUnit::bytes; }));
}

// The 16-bit and 32-bit fields at their image positions, worked out once.
constexpr auto swap_units = [] {
  std::array<SwapUnit, multi_byte_field_count()> units{};
  std::size_t next = 0;
  for (const HeaderField& field : header_layout) {
    if (field.unit == FieldUnit::bytes) continue;
    units[next++] = {static_cast<std::uint16_t>(header_image_position(field.file_offset)),
                     static_cast<std::uint8_t>(field.width)};
  }
  return units;
}();
static_assert(swap_units.size() == 181);

}  // namespace

void swap_header_image(std::uint8_t* image) {
  for (const SwapUnit& unit : swap_units) u_swap_bytes(image + unit.image_position, unit.width);
}

void compact_header_image(std::uint8_t* image) {
  std::size_t length = HEADER_IMAGE_SIZE;
  for (const CompactionEntry& entry : header_compaction) {
    std::memmove(image + entry.position, image + entry.position + entry.length,
                 length - entry.position - entry.length);
    length -= entry.length;
  }
}

void expand_header_image(const std::uint8_t* header, std::size_t size, std::uint8_t* image) {
  size = std::min(size, HEADER_SIZE_LONG);
  std::memcpy(image, header, size);
  std::memset(image + size, 0, HEADER_IMAGE_SIZE - size);
  // Undo the compaction entries from the last to the first, reopening each hole.
  std::size_t length = HEADER_IMAGE_SIZE;
  for (const CompactionEntry& entry : header_compaction) length -= entry.length;
  for (auto entry = header_compaction.rbegin(); entry != header_compaction.rend(); ++entry) {
    std::memmove(image + entry->position + entry->length, image + entry->position, length - entry->position);
    std::memset(image + entry->position, 0, entry->length);
    length += entry->length;
  }
}
