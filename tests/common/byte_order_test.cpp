#include <gtest/gtest.h>
#include <mapconv/byte_order.h>

#include <array>
#include <bit>
#include <cstring>
#include <string>

namespace {

TEST(SwapBytes, ReversesEachWidthInPlaceAtAnyAddress) {
  const struct {
    int width;
    std::array<unsigned char, 8> bytes;
    std::array<unsigned char, 8> reversed;
  } cases[] = {
      {2, {0x12, 0x34}, {0x34, 0x12}},
      {4, {1, 2, 3, 4}, {4, 3, 2, 1}},
      {8, {1, 2, 3, 4, 5, 6, 7, 8}, {8, 7, 6, 5, 4, 3, 2, 1}},
  };
  for (const auto& c : cases) {
    // Odd offset inside a guarded buffer: only the value's bytes may change.
    unsigned char buffer[11];
    std::memset(buffer, 0xEE, sizeof buffer);
    std::memcpy(buffer + 1, c.bytes.data(), c.width);
    u_swap_bytes(buffer + 1, c.width);
    EXPECT_EQ(std::memcmp(buffer + 1, c.reversed.data(), c.width), 0) << c.width;
    EXPECT_EQ(buffer[0], 0xEE);
    for (int i = 1 + c.width; i < 11; ++i) EXPECT_EQ(buffer[i], 0xEE) << c.width;
    u_swap_bytes(buffer + 1, c.width);
    EXPECT_EQ(std::memcmp(buffer + 1, c.bytes.data(), c.width), 0) << c.width;
  }
}

TEST(SwapBytes, ReversesADouble) {
  double value = -1234.5678;
  const auto bits = std::bit_cast<std::uint64_t>(value);
  u_swap_bytes(&value, 8);
  std::uint64_t expected = 0;
  for (int i = 0; i < 8; ++i) expected |= ((bits >> (8 * i)) & 0xFF) << (8 * (7 - i));
  EXPECT_EQ(std::bit_cast<std::uint64_t>(value), expected);
  u_swap_bytes(&value, 8);
  EXPECT_EQ(value, -1234.5678);
}

TEST(SwapBytesDeathTest, AnyOtherWidthReportsAndAborts) {
  for (const int width : {3, 0, 1, 16, -1}) {
    unsigned char bytes[16] = {1, 2, 3, 4};
    EXPECT_DEATH(u_swap_bytes(bytes, width), "^u_swap_bytes: n=" + std::to_string(width) + "\n$");
  }
}

TEST(CopyWords, CopiesExactlyCountWords) {
  for (const int count : {0, 5}) {
    const std::uint16_t source[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    std::uint16_t destination[8];
    std::fill_n(destination, 8, 0xAAAA);
    EXPECT_EQ(u_copy_words(destination, source, count), 0);
    for (int i = 0; i < 8; ++i)
      EXPECT_EQ(destination[i], i < count ? source[i] : 0xAAAA) << count << " " << i;
  }
}

}  // namespace
