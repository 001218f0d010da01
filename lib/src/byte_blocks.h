// Byte reversal of whole blocks of values, between host order and the data
// file's big-endian order: the one loop the reader and the writer use. A
// single value in a record goes through u_swap_bytes instead. Not installed.
#pragma once

#include <cstddef>
#include <cstdint>

// One value with its bytes in the opposite order.
constexpr std::uint16_t reversed(std::uint16_t value) { return __builtin_bswap16(value); }
constexpr std::uint32_t reversed(std::uint32_t value) { return __builtin_bswap32(value); }

// Reverses each of count values in place.
void reverse_each(std::uint16_t* values, std::size_t count);
void reverse_each(std::uint32_t* values, std::size_t count);

// Copies count values with each one reversed; the buffers do not overlap.
void copy_reversed(const std::uint16_t* source, std::size_t count, std::uint16_t* destination);
void copy_reversed(const std::uint32_t* source, std::size_t count, std::uint32_t* destination);
