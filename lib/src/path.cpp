#include <fcntl.h>
#include <mapconv/path.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "native_path.h"

namespace {

bool is_high_surrogate(std::uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low_surrogate(std::uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// The little-endian unit at bytes[0..1].
std::uint32_t unit_at(const unsigned char* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8);
}

// The units before the zero unit that ends a wide string.
std::size_t unit_count(const unsigned char* units) {
  std::size_t count = 0;
  while (unit_at(units + 2 * count) != 0) ++count;
  return count;
}

char* put_utf8(char* out, std::uint32_t code_point) {
  if (code_point < 0x80) {
    *out++ = static_cast<char>(code_point);
  } else if (code_point < 0x800) {
    *out++ = static_cast<char>(0xC0 | (code_point >> 6));
    *out++ = static_cast<char>(0x80 | (code_point & 0x3F));
  } else if (code_point < 0x10000) {
    *out++ = static_cast<char>(0xE0 | (code_point >> 12));
    *out++ = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (code_point & 0x3F));
  } else {
    *out++ = static_cast<char>(0xF0 | (code_point >> 18));
    *out++ = static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
    *out++ = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (code_point & 0x3F));
  }
  return out;
}

// Converts count units; false when they hold an unpaired surrogate.
bool wide_to_utf8(const unsigned char* units, std::size_t count, char* out) {
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t unit = unit_at(units + 2 * i);
    std::uint32_t code_point = unit;
    if (is_low_surrogate(unit)) return false;
    if (is_high_surrogate(unit)) {
      if (i + 1 == count) return false;
      const std::uint32_t low = unit_at(units + 2 * ++i);
      if (!is_low_surrogate(low)) return false;
      code_point = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
    }
    out = put_utf8(out, code_point);
  }
  *out = '\0';
  return true;
}

}  // namespace

bool u_path_is_wide(const char* path) {
  if (path == nullptr || path[0] == '\0') return false;
  const auto* bytes = reinterpret_cast<const unsigned char*>(path);
  const unsigned mark = bytes[0] | (bytes[1] << 8);
  return mark == 0xFEFF || mark == 0xFFFE;
}

NativePath::NativePath(const char* path) {
  if (!u_path_is_wide(path)) {
    name_ = path;
    return;
  }
  const auto* units = reinterpret_cast<const unsigned char*>(path) + 2;
  const std::size_t count = unit_count(units);
  // A unit becomes at most three UTF-8 bytes, a surrogate pair of two units
  // exactly four.
  converted_ = hooked_allocate<char>(count * 3 + 1);
  if (converted_ == nullptr) {
    out_of_memory_ = true;
    return;
  }
  if (wide_to_utf8(units, count, converted_.get())) {
    name_ = converted_.get();
  }
}

namespace {

// The system's name, or null with errno set.
const char* system_name(const NativePath& native) {
  if (native.get() == nullptr) errno = native.out_of_memory() ? ENOMEM : EINVAL;
  return native.get();
}

}  // namespace

std::FILE* u_open_path(const char* path, const char* mode) {
  const NativePath native(path);
  const char* name = system_name(native);
  return name == nullptr ? nullptr : std::fopen(name, mode);
}

int u_stat_path(const char* path, struct stat* status) {
  const NativePath native(path);
  const char* name = system_name(native);
  return name == nullptr ? -1 : stat(name, status);
}

int u_open_path_descriptor(const char* path, int flags) {
  const NativePath native(path);
  const char* name = system_name(native);
  return name == nullptr ? -1 : open(name, flags);
}
