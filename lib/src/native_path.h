// The system's name for a path under the library's path convention, and an
// owner for open streams, for the library's own code. Not installed.
#pragma once

#include <mapconv/path.h>

#include <cerrno>
#include <cstdio>
#include <memory>

#include "hooked_block.h"

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

// The name to hand to the system for a path. get() is null when the path is
// null, a wide path is malformed (an odd trailing byte, an unpaired
// surrogate), or its conversion buffer cannot be allocated.
class NativePath {
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
