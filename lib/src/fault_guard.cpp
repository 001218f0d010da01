#include "fault_guard.h"

#include <pthread.h>
#include <signal.h>

#include <mutex>

thread_local FaultGuard* active_fault_guard __attribute__((tls_model("initial-exec"))) = nullptr;

namespace {

std::mutex guard_users_mutex;
int guard_users = 0;
struct sigaction previous_action {};

void on_bus_error(int signal, siginfo_t* info, void* context) {
  FaultGuard* const guard = active_fault_guard;
  const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
  if (guard != nullptr && address >= guard->begin && address < guard->end) siglongjmp(guard->jump, 1);
  // Not a fault of ours: the handler before takes it, or the default
  // action, which the faulting instruction meets again on return.
  if ((previous_action.sa_flags & SA_SIGINFO) != 0 && previous_action.sa_sigaction != nullptr) {
    previous_action.sa_sigaction(signal, info, context);
  } else if (previous_action.sa_handler != SIG_DFL && previous_action.sa_handler != SIG_IGN) {
    previous_action.sa_handler(signal);
  } else {
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(SIGBUS, &fallback, nullptr);
  }
}

// A child forked while another thread held the lock would wait for it
// forever at its first mapped read: the fork waits for the lock instead,
// and both sides let go of it. (The child keeps the counts of threads it
// does not have, so its handler stays: faults not of a guard still pass on.)
void lock_before_fork() { guard_users_mutex.lock(); }
void unlock_after_fork() { guard_users_mutex.unlock(); }

}  // namespace

bool fault_guard_acquire() {
  static const bool fork_safe = pthread_atfork(lock_before_fork, unlock_after_fork, unlock_after_fork) == 0;
  if (!fork_safe) return false;
  const std::lock_guard lock(guard_users_mutex);
  if (guard_users == 0) {
    struct sigaction action {};
    action.sa_sigaction = &on_bus_error;
    // SA_NODEFER: leaving the handler by a jump leaves SIGBUS unblocked.
    action.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    if (sigaction(SIGBUS, &action, &previous_action) != 0) return false;
  }
  ++guard_users;
  return true;
}

void fault_guard_release() {
  const std::lock_guard lock(guard_users_mutex);
  if (guard_users == 0 || --guard_users > 0) return;
  // Put back what was there, unless the host has installed a handler since.
  struct sigaction current {};
  if (sigaction(SIGBUS, nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) != 0 &&
      current.sa_sigaction == &on_bus_error) {
    sigaction(SIGBUS, &previous_action, nullptr);
  }
}
