// Reads and writes through stdio streams that carry on after a signal
// interrupts them (EINTR): a host's signal handler must not turn a good
// read into a failure. Each retry first asks the caller's check, so that a
// read blocked on a pipe can still be given up. Not installed.
#pragma once

#include <mapconv/interrupt.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>

// Whether the caller's check says stop; a null check never does. signalled:
// a signal has just interrupted the call.
inline bool stop_asked(const InterruptCheck* check, bool signalled = false) {
  return check != nullptr && check->stop != nullptr && check->stop(check->context, signalled);
}

// Reads count bytes, fewer only at the end of the stream, when the system
// fails the read (the stream's error flag set, errno telling why), or when
// *stopped is set because the check said stop after an interruption.
inline std::size_t read_retrying(std::FILE* stream, void* destination, std::size_t count,
                                 const InterruptCheck* check = nullptr, bool* stopped = nullptr) {
  auto* bytes = static_cast<unsigned char*>(destination);
  std::size_t done = 0;
  while (done < count) {
    done += std::fread(bytes + done, 1, count - done, stream);
    if (done == count || !std::ferror(stream) || errno != EINTR) break;
    if (stop_asked(check, true)) {
      if (stopped != nullptr) *stopped = true;
      break;
    }
    std::clearerr(stream);
  }
  return done;
}

// The next byte, or EOF at the end of the stream or on a failure other than
// an interruption.
inline int getc_retrying(std::FILE* stream) {
  for (;;) {
    const int byte = std::fgetc(stream);
    if (byte != EOF || !std::ferror(stream) || errno != EINTR) return byte;
    std::clearerr(stream);
  }
}

// Writes count bytes; true when all were taken.
inline bool write_retrying(std::FILE* stream, const void* source, std::size_t count) {
  const auto* bytes = static_cast<const unsigned char*>(source);
  std::size_t done = 0;
  while (done < count) {
    done += std::fwrite(bytes + done, 1, count - done, stream);
    if (done == count) return true;
    if (!std::ferror(stream) || errno != EINTR) return false;
    std::clearerr(stream);
  }
  return true;
}
