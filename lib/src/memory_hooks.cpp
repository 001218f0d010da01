#include <mapconv/memory_hooks.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#include "hooked_block.h"

MemoryHooks memory_hooks = {std::malloc, std::realloc, std::calloc, std::free};

void advise_huge_pages(void* block, std::size_t size) {
#ifdef MADV_HUGEPAGE
  constexpr std::uintptr_t huge = std::uintptr_t{2} << 20;
  const auto start = reinterpret_cast<std::uintptr_t>(block);
  const std::uintptr_t huge_first = (start + huge - 1) / huge * huge;
  const std::uintptr_t huge_end = (start + size) / huge * huge;
  if (block != nullptr && huge_end > huge_first)
    madvise(reinterpret_cast<void*>(huge_first), huge_end - huge_first, MADV_HUGEPAGE);
#else
  (void)block;
  (void)size;
#endif
}

void prefault_block(void* block, std::size_t size, bool huge_pages) {
#ifdef MADV_POPULATE_WRITE
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto start = reinterpret_cast<std::uintptr_t>(block);
  const std::uintptr_t first = (start + page - 1) / page * page;
  const std::uintptr_t end = (start + size) / page * page;
  if (block == nullptr || end <= first) return;
  if (huge_pages) advise_huge_pages(block, size);
  madvise(reinterpret_cast<void*>(first), end - first, MADV_POPULATE_WRITE);
#else
  (void)block;
  (void)size;
  (void)huge_pages;
#endif
}
