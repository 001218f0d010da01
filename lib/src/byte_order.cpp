#include <mapconv/byte_order.h>
#include <mapconv/print.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

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
