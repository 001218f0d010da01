#include <mapconv/byte_order.h>
#include <mapconv/print.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "byte_blocks.h"
#include "cpu_dispatch.h"

void u_swap_bytes(void* value, std::int32_t width) {
  if (width != 2 && width != 4 && width != 8) {
    u_print("u_swap_bytes: n=%d\n", static_cast<int>(width));
    std::abort();
  }
  auto* bytes = static_cast<unsigned char*>(value);
  std::reverse(bytes, bytes + width);
}

std::int32_t u_copy_words(std::uint16_t* destination, const std::uint16_t* source, std::int32_t count) {
  if (count > 0) {
    std::memcpy(destination, source, static_cast<std::size_t>(count) * sizeof(std::uint16_t));
  }
  return 0;
}

namespace {

// Plain loops over whole maps, which the compiler vectorises: a map may hold
// 2^30 values. Compiled twice, they stay inside this file: clang makes no
// plain symbol for a function with several versions, so the functions the
// rest of the library calls are the ones below.
MAPCONV_HOT_LOOP void reverse_loop(std::uint16_t* values, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) values[i] = reversed(values[i]);
}
MAPCONV_HOT_LOOP void reverse_loop(std::uint32_t* values, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) values[i] = reversed(values[i]);
}
MAPCONV_HOT_LOOP void copy_reversed_loop(const std::uint16_t* source, std::size_t count,
                                         std::uint16_t* destination) {
  for (std::size_t i = 0; i < count; ++i) destination[i] = reversed(source[i]);
}
MAPCONV_HOT_LOOP void copy_reversed_loop(const std::uint32_t* source, std::size_t count,
                                         std::uint32_t* destination) {
  for (std::size_t i = 0; i < count; ++i) destination[i] = reversed(source[i]);
}

}  // namespace

void reverse_each(std::uint16_t* values, std::size_t count) { reverse_loop(values, count); }
void reverse_each(std::uint32_t* values, std::size_t count) { reverse_loop(values, count); }
void copy_reversed(const std::uint16_t* source, std::size_t count, std::uint16_t* destination) {
  copy_reversed_loop(source, count, destination);
}
void copy_reversed(const std::uint32_t* source, std::size_t count, std::uint32_t* destination) {
  copy_reversed_loop(source, count, destination);
}
