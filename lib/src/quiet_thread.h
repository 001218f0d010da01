// The library's helper threads take no signals: a host's handlers run on
// its own threads, and a signal meant to stop a call reaches the thread
// that made it. Not installed.
#pragma once

#include <pthread.h>
#include <signal.h>

// Starts run(argument) on a new thread with every signal blocked but
// SIGBUS, which a fault raises on the faulting thread itself; false when no
// thread could be had.
inline bool start_quiet_thread(pthread_t* thread, void* (*run)(void*), void* argument) {
  sigset_t all;
  sigset_t before;
  sigfillset(&all);
  sigdelset(&all, SIGBUS);
  pthread_sigmask(SIG_SETMASK, &all, &before);
  const bool started = pthread_create(thread, nullptr, run, argument) == 0;
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  return started;
}
