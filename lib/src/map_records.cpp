#include <mapconv/map_records.h>
#include <mapconv/memory_hooks.h>

#include <algorithm>

#include "hooked_block.h"

namespace {

// Pixel count of a map, or 0 when either side is empty or negative.
std::size_t pixel_count(const PhaseMap& map) {
  if (map.width <= 0 || map.height <= 0) return 0;
  return static_cast<std::size_t>(map.width) * static_cast<std::size_t>(map.height);
}

}  // namespace

void phase_map_clear(PhaseMap* map) { *map = PhaseMap{}; }

ErrorCode phase_map_create(PhaseMap* map) {
  // A negative side would make the signed product meaningless; such a map
  // has no pixels, like an empty one.
  const std::size_t count = pixel_count(*map);
  if (count == 0) return ERR_PARAM_OUT_OF_RANGE;
  map->capacity = 0;
  map->data = nullptr;
  auto* block = static_cast<std::int32_t*>(memory_hooks.allocate(count * sizeof(std::int32_t)));
  if (block == nullptr) return ERR_NO_MEM;
  prefault_block(block, count * sizeof(std::int32_t));
  map->data = block;
  map->capacity = static_cast<std::uint32_t>(count);
  return NO_ERROR;
}

void phase_map_fill(PhaseMap* map, std::int32_t value) {
  const std::size_t count = pixel_count(*map);
  if (count > 0) std::fill_n(map->data, count, value);
}

void phase_map_release(PhaseMap* map) {
  if (map->data != nullptr) {
    memory_hooks.release(map->data);
    map->data = nullptr;
  }
  map->capacity = 0;
  map->width = 0;
  map->height = 0;
}
