// The library's path convention: a path is a narrow string, unless its first
// two bytes are a UTF-16 byte-order mark (FF FE or FE FF). Such a path is the
// string of 16-bit units after the mark, read little-endian and only within
// the argument's own bytes (never past its terminating NUL byte). On this
// platform it is converted to UTF-8 before the system sees it.
#pragma once

#include <mapconv/api.h>
#include <mapconv/memory_hooks.h>

#include <cerrno>
#include <cstdio>
#include <memory>

// Owns an open stream and closes it, keeping errno (the clean-up after a
// failure must not hide its reason); release() it to check fclose's result.
struct FileCloser {
  void operator()(std::FILE* file) const noexcept {
    const int reason = errno;
    std::fclose(file);
    errno = reason;
  }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

// True when the path begins with a byte-order mark.
MAPCONV_API bool u_path_is_wide(const char* path);

// The name to hand to the system for a path. get() is null when the path is
// null, a wide path is malformed (an odd trailing byte, an unpaired
// surrogate), or its conversion buffer cannot be allocated.
class MAPCONV_API NativePath {
 public:
  explicit NativePath(const char* path);
  const char* get() const { return name_; }
  // True when get() is null only because the conversion buffer was refused.
  bool out_of_memory() const { return out_of_memory_; }

 private:
  HookedBlock<char[]> converted_;
  const char* name_ = nullptr;
  bool out_of_memory_ = false;
};

// Opens a path under the convention with the given fopen mode; null on
// failure, with errno set (ENOMEM when the name could not be converted for
// lack of memory, EINVAL for a malformed wide path).
MAPCONV_API std::FILE* u_open_path(const char* path, const char* mode);
