// Process-wide allocation hooks: every heap block of the library is obtained
// and returned through them, so a test can make any allocation fail.
#pragma once

#include <mapconv/api.h>

#include <cstddef>

struct MemoryHooks {
  void* (*allocate)(std::size_t size);
  void* (*reallocate)(void* block, std::size_t size);
  void* (*allocate_zeroed)(std::size_t count, std::size_t size);
  void (*release)(void* block);
};

// Starts as malloc, realloc, calloc and free.
extern MAPCONV_API MemoryHooks memory_hooks;
