// What the programs do on SIGTERM, SIGINT and SIGHUP: remove the hidden
// temporary of the output in progress, then die by the same signal, so that
// shells and batch tools see the usual status (128 + the signal's number).
#pragma once

#include <limits.h>
#include <mapconv/output_file.h>
#include <signal.h>
#include <unistd.h>

namespace signal_cleanup {

inline constexpr int SIGNALS[] = {SIGTERM, SIGINT, SIGHUP};

// A named temporary of the program's own (mapinfo's copy of a piped input
// where unnamed files are not available), removed on the signals too; empty
// when there is none.
inline char program_temporary[PATH_MAX] = "";

// Async-signal-safe calls only.
inline void on_signal(int number) {
  output_file_remove_temporaries();
  if (program_temporary[0] != '\0') unlink(program_temporary);
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(number, &fallback, nullptr);
  // Blocked while the handler runs: the signal kills the process as soon as
  // the handler returns, on whichever thread it came to.
  raise(number);
}

// Installs on_signal for each signal the process does not ignore (a signal
// ignored on purpose, as by nohup, stays ignored).
inline void install() {
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  for (const int number : SIGNALS) sigaddset(&action.sa_mask, number);
  for (const int number : SIGNALS) {
    struct sigaction previous {};
    if (sigaction(number, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN) {
      sigaction(number, &action, nullptr);
    }
  }
}

}  // namespace signal_cleanup
