// Ownership of blocks obtained through memory_hooks, for the library's own
// code. Not installed.
#pragma once

#include <mapconv/memory_hooks.h>

#include <cerrno>
#include <cstddef>
#include <memory>

// Owns a block obtained through memory_hooks.allocate. Keeps errno: a
// caller's release hook must not hide the reason of a failure being returned.
struct HookedDeleter {
  void operator()(void* block) const noexcept {
    const int reason = errno;
    memory_hooks.release(block);
    errno = reason;
  }
};
template <typename T>
using HookedBlock = std::unique_ptr<T, HookedDeleter>;

// Allocates count elements of T through the hooks; null when none is given.
template <typename T>
HookedBlock<T[]> hooked_allocate(std::size_t count) {
  return HookedBlock<T[]>(static_cast<T*>(memory_hooks.allocate(count * sizeof(T))));
}

// Makes the whole pages of a freshly obtained block resident in one call,
// instead of one page fault per page at its first touch. Only a hint: the
// contents are unchanged, and nothing happens where it is not supported.
// With huge_pages, the block's whole 2 MiB pages are asked to be huge ones.
void prefault_block(void* block, std::size_t size, bool huge_pages = false);

// Asks for the block's whole 2 MiB pages to be huge ones when first touched;
// done once for a block whose parts threads then make resident, since each
// such request rearranges the process's memory map. Only a hint.
void advise_huge_pages(void* block, std::size_t size);
