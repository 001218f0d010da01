// Byte-order reversal and word copies for the big-endian data file.
#pragma once

#include <mapconv/api.h>

#include <cstdint>

// Reverses one 2-, 4- or 8-byte value in place; it may sit at any address.
// Any other width prints "u_swap_bytes: n=%d\n" through u_print and aborts.
MAPCONV_API void u_swap_bytes(void* value, std::int32_t width);

// Copies count 16-bit values (count >= 0, buffers disjoint). Returns 0.
MAPCONV_API std::int32_t u_copy_words(std::uint16_t* destination, const std::uint16_t* source,
                                      std::int32_t count);
