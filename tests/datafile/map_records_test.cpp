#include <gtest/gtest.h>
#include <mapconv/map_records.h>

#include <cstring>

#include "test_support.h"

namespace {

PhaseMap map_of(std::int16_t width, std::int16_t height) {
  PhaseMap map;
  phase_map_clear(&map);
  map.origin_x = 3;
  map.origin_y = -4;
  map.width = width;
  map.height = height;
  return map;
}

TEST(PhaseMap, ClearZeroesEveryField) {
  PhaseMap map;
  std::memset(&map, 0xA5, sizeof map);
  phase_map_clear(&map);
  EXPECT_EQ(map.capacity, 0u);
  EXPECT_EQ(map.origin_x, 0);
  EXPECT_EQ(map.origin_y, 0);
  EXPECT_EQ(map.width, 0);
  EXPECT_EQ(map.height, 0);
  EXPECT_EQ(map.data, nullptr);
}

TEST(PhaseMap, CreateFillReleaseLifecycle) {
  test::CountingHooks hooks;
  PhaseMap map = map_of(3, 2);
  ASSERT_EQ(phase_map_create(&map), NO_ERROR);
  EXPECT_EQ(hooks.last_request(), 24u);
  EXPECT_EQ(map.capacity, 6u);
  ASSERT_NE(map.data, nullptr);
  phase_map_fill(&map, PHASE_INVALID);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(map.data[i], 0x7FFFFFF8) << i;

  phase_map_release(&map);
  EXPECT_EQ(hooks.live_blocks(), 0u);
  EXPECT_EQ(map.data, nullptr);
  EXPECT_EQ(map.capacity, 0u);
  EXPECT_EQ(map.width, 0);
  EXPECT_EQ(map.height, 0);
  EXPECT_EQ(map.origin_x, 3);
  EXPECT_EQ(map.origin_y, -4);

  phase_map_release(&map);
  EXPECT_EQ(map.origin_x, 3);
  EXPECT_EQ(hooks.live_blocks(), 0u);
  EXPECT_EQ(hooks.allocations(), 1u);
}

TEST(PhaseMap, FillStoresOnlyTheMapsPixels) {
  std::int32_t block[4] = {1, 2, 3, 4};
  PhaseMap map = map_of(0, 2);
  map.data = block;
  phase_map_fill(&map, 9);
  map.width = 3;
  map.height = 1;
  phase_map_fill(&map, 7);
  EXPECT_EQ(block[0], 7);
  EXPECT_EQ(block[2], 7);
  EXPECT_EQ(block[3], 4);
}

TEST(PhaseMap, EmptyOrNegativeSizeIsRefusedWithoutAllocating) {
  const struct {
    std::int16_t width;
    std::int16_t height;
  } cases[] = {{0, 5}, {5, 0}, {0, 0}, {-3, 2}, {2, -3}, {-1, -1}};
  for (const auto& c : cases) {
    test::CountingHooks hooks;
    PhaseMap map = map_of(c.width, c.height);
    EXPECT_EQ(phase_map_create(&map), ERR_PARAM_OUT_OF_RANGE) << c.width << " x " << c.height;
    EXPECT_EQ(map.data, nullptr);
    EXPECT_EQ(map.width, c.width);
    EXPECT_EQ(hooks.allocations(), 0u);
    phase_map_release(&map);
    EXPECT_EQ(hooks.live_blocks(), 0u);
  }
}

TEST(PhaseMap, AllocationFailureLeavesNoBlock) {
  test::CountingHooks hooks(1);
  PhaseMap map = map_of(3, 2);
  EXPECT_EQ(phase_map_create(&map), ERR_NO_MEM);
  EXPECT_EQ(map.data, nullptr);
  EXPECT_EQ(map.capacity, 0u);
  EXPECT_EQ(map.width, 3);
  EXPECT_EQ(map.height, 2);
  phase_map_release(&map);
  EXPECT_EQ(hooks.live_blocks(), 0u);
}

TEST(PhaseMap, LargestMapRequestIsComputedWithoutWrapping) {
  test::CountingHooks hooks(1);  // nothing is really allocated
  PhaseMap map = map_of(32767, 32767);
  EXPECT_EQ(phase_map_create(&map), ERR_NO_MEM);
  EXPECT_EQ(hooks.last_request(), 4'294'705'156u);
}

}  // namespace
