// Help, version and summaries go to standard output; a failed write there
// (a full disk, a closed pipe) fails the run, and standard error says so.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace standard_output {

// Flushes standard output. False, after "PROGRAM: cannot write to standard
// output: REASON" on standard error, when the flush or an earlier write
// failed; an earlier write's reason is gone by now and is left out.
inline bool finish(const char* program) {
  errno = 0;
  const bool flushed = std::fflush(stdout) == 0;
  if (flushed && std::ferror(stdout) == 0) return true;
  const int reason = flushed ? 0 : errno;
  if (reason != 0) {
    std::fprintf(stderr, "%s: cannot write to standard output: %s\n", program, std::strerror(reason));
  } else {
    std::fprintf(stderr, "%s: cannot write to standard output\n", program);
  }
  return false;
}

}  // namespace standard_output
