// Reading a mapped file faults (SIGBUS) where another process has cut the
// file short since it was mapped. The library's readers of mapped input run
// each stretch of reading under a guard that turns such a fault into a
// false return, so that they can read the rest with read() and report the
// short file as they always did. Not installed.
#pragma once

#include <setjmp.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

struct FaultGuard {
  sigjmp_buf jump;
  std::uintptr_t begin;
  std::uintptr_t end;
};

// The guard of the calling thread's reading in progress, or null.
extern thread_local FaultGuard* active_fault_guard __attribute__((tls_model("initial-exec")));

// Installs the handler of the guards, once for all acquirers at a time; a
// fault outside every guard goes to the handler that was there before.
// false when the handler could not be installed: the file must then be read
// with read(). Each true is matched by one fault_guard_release.
bool fault_guard_acquire();
void fault_guard_release();

// Runs work() with a fault on the bytes [begin, begin + length) ending it:
// false then, and whatever work() had changed is to be thrown away. work()
// must own nothing that needs destroying (it is left by a jump).
template <typename Work>
bool run_guarded(const void* begin, std::size_t length, Work&& work) {
  FaultGuard guard;
  guard.begin = reinterpret_cast<std::uintptr_t>(begin);
  guard.end = guard.begin + length;
  FaultGuard* const outer = active_fault_guard;
  // No signal mask to save: the handler runs with SIGBUS unblocked.
  if (sigsetjmp(guard.jump, 0) != 0) {
    active_fault_guard = outer;
    return false;
  }
  active_fault_guard = &guard;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  work();
  std::atomic_signal_fence(std::memory_order_seq_cst);
  active_fault_guard = outer;
  return true;
}
