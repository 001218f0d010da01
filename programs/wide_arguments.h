// Command-line arguments that are wide paths. The library reads a path that
// begins with a byte-order mark up to a zero 16-bit unit, but an argument
// ends at its first NUL byte: each such argument is copied with zero bytes
// after it, so that nothing past its end is ever read.
#pragma once

#include <mapconv/path.h>

#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace wide_arguments {

// Replaces argv[1..] that begin with a mark by their terminated copies,
// which live until exit. False when memory for a copy ran out.
inline bool terminate(int argc, char** argv) {
  static std::vector<std::unique_ptr<char[]>> copies;
  for (int i = 1; i < argc; ++i) {
    if (!u_path_is_wide(argv[i])) continue;
    const std::size_t length = std::strlen(argv[i]);
    std::unique_ptr<char[]> copy(new (std::nothrow) char[length + 3]());
    if (copy == nullptr) return false;
    std::memcpy(copy.get(), argv[i], length);
    try {
      copies.push_back(std::move(copy));
    } catch (const std::bad_alloc&) {
      return false;
    }
    argv[i] = copies.back().get();
  }
  return true;
}

}  // namespace wide_arguments
