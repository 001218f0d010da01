// Reads and writes through stdio streams that carry on after a signal
// interrupts them (EINTR): a host's signal handler must not turn a good
// read into a failure. Each retry first asks the caller's check, so that a
// read blocked on a pipe can still be given up. Not installed.
#pragma once

#include <mapconv/interrupt.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>

// Whether the caller's check says stop; a null check never does. signalled:
// a signal has just interrupted the call.
inline bool stop_asked(const InterruptCheck* check, bool signalled = false) {
  return check != nullptr && check->stop != nullptr && check->stop(check->context, signalled);
}

// Waits until descriptor has something to read (or its end, or a failure
// the read will report), asking the check every few milliseconds, so that a
// read blocked on a pipe stops on the check's word even on a thread that
// takes no signals. false when the check said stop.
inline bool wait_readable(int descriptor, const InterruptCheck* check) {
  for (;;) {
    pollfd watched{descriptor, POLLIN, 0};
    const int ready = poll(&watched, 1, 10);
    if (ready > 0 || (ready < 0 && errno != EINTR)) return true;
    if (stop_asked(check, ready < 0)) return false;
  }
}

// The loop of the two reads below: read_once(bytes, wanted, done) is one
// system call for the bytes from done on.
template <typename ReadOnce>
std::size_t retry_reads(ReadOnce read_once, void* destination, std::size_t count,
                        const InterruptCheck* check, int* failure, bool* stopped) {
  auto* bytes = static_cast<unsigned char*>(destination);
  std::size_t done = 0;
  while (done < count) {
    const ssize_t got = read_once(bytes + done, count - done, done);
    if (got > 0) {
      done += static_cast<std::size_t>(got);
    } else if (got == 0) {
      break;
    } else if (errno != EINTR) {
      *failure = errno != 0 ? errno : EIO;
      break;
    } else if (stop_asked(check, true)) {
      *stopped = true;
      break;
    }
  }
  return done;
}

// Reads count bytes from a descriptor, fewer only at its end, when the
// system fails the read (*failure then holds errno), or when the check said
// stop (*stopped). With a check, each read waits until it cannot block, so
// that the check is asked while the other end is silent.
inline std::size_t read_descriptor(int descriptor, void* destination, std::size_t count,
                                   const InterruptCheck* check, int* failure, bool* stopped) {
  const auto read_once = [&](unsigned char* bytes, std::size_t wanted, std::size_t) -> ssize_t {
    if (check != nullptr && !wait_readable(descriptor, check)) {
      *stopped = true;
      return 0;
    }
    return read(descriptor, bytes, wanted);
  };
  return retry_reads(read_once, destination, count, check, failure, stopped);
}

// read_descriptor at an offset of a file, which never blocks: the check is
// asked only when a signal interrupts the read.
inline std::size_t read_descriptor_at(int descriptor, void* destination, std::size_t count,
                                      std::uint64_t offset, const InterruptCheck* check, int* failure,
                                      bool* stopped) {
  static_assert(sizeof(off_t) >= sizeof(std::uint64_t), "offsets of large files need a 64-bit off_t");
  const auto read_once = [&](unsigned char* bytes, std::size_t wanted, std::size_t done) {
    return pread(descriptor, bytes, wanted, static_cast<off_t>(offset + done));
  };
  return retry_reads(read_once, destination, count, check, failure, stopped);
}

// Reads count bytes from a stream, fewer only at its end or when the system
// fails the read (the stream's error flag set, errno telling why).
inline std::size_t read_retrying(std::FILE* stream, void* destination, std::size_t count) {
  auto* bytes = static_cast<unsigned char*>(destination);
  std::size_t done = 0;
  while (done < count) {
    done += std::fread(bytes + done, 1, count - done, stream);
    if (done == count || !std::ferror(stream) || errno != EINTR) break;
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
