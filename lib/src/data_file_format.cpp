#include <mapconv/byte_order.h>
#include <mapconv/data_file_format.h>

#include <algorithm>
#include <array>
#include <cstring>

int choose_header_format(const DataFileHeader* header) {
  if (header == nullptr) return 1;
  // The record's bytes as they stand, padding included: the caller's zero
  // fill is what makes a field "not set".
  const auto* bytes = reinterpret_cast<const unsigned char*>(header);
  constexpr std::size_t first_format_3_byte = header_layout_detail::record_offset(838);
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
    const auto position = static_cast<std::size_t>(entry.position);
    const auto removed = static_cast<std::size_t>(entry.length);
    std::memmove(image + position, image + position + removed, length - position - removed);
    length -= removed;
  }
}

void expand_header_image(const std::uint8_t* header, std::size_t size, std::uint8_t* image) {
  size = std::min(size, HEADER_SIZE_LONG);
  std::memcpy(image, header, size);
  std::memset(image + size, 0, HEADER_IMAGE_SIZE - size);
  // Undo the compaction entries from the last to the first, reopening each hole.
  std::size_t length = HEADER_IMAGE_SIZE;
  for (const CompactionEntry& entry : header_compaction) length -= static_cast<std::size_t>(entry.length);
  for (auto entry = header_compaction.rbegin(); entry != header_compaction.rend(); ++entry) {
    const auto position = static_cast<std::size_t>(entry->position);
    const auto opened = static_cast<std::size_t>(entry->length);
    std::memmove(image + position + opened, image + position, length - position);
    std::memset(image + position, 0, opened);
    length += opened;
  }
}
