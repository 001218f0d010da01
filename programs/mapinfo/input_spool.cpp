#include "programs/mapinfo/input_spool.h"

#include <fcntl.h>
#include <mapconv/file_kind.h>
#include <mapconv/path.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "programs/signal_cleanup.h"

namespace {

// Bytes of an input worth copying, judged from its first bytes (head):
// enough for the file those bytes begin, or no more than those bytes when
// they cannot begin a valid one, so that the reader then says what is wrong.
// 0 while the head is too short to tell.
std::uint64_t useful_length(const std::vector<unsigned char>& head) {
  FileKindInfo kind{};
  const ErrorCode code = file_kind_of_bytes(head.data(), head.size(), &kind);
  if (code == ERR_PREMATURE_EOF) return 0;
  if (code != NO_ERROR) return head.size();
  // An X3P file's length is in its ZIP directory, at its end: all of it.
  if (kind.kind == FILE_KIND_X3P) return UINT64_MAX;
  // A data file: one byte more than its length, since bytes after the last
  // block make it invalid, as they would on disk. An XDT file: the reader
  // ignores what follows its last point.
  return kind.kind == FILE_KIND_DATA_FILE ? kind.length + 1 : kind.length;
}

}  // namespace

Spool::~Spool() {
  if (fd_ >= 0) close(fd_);
  if (!named_.empty()) {
    unlink(named_.c_str());
    signal_cleanup::program_temporary[0] = '\0';
  }
}

bool Spool::fill(int input, std::string* path, Failure* failure) {
  if (!create(failure)) return false;
  // Enough for the longest data-file header, read before the rest.
  constexpr std::size_t head_size = FILE_KIND_HEAD_SIZE;
  std::vector<unsigned char> head;
  std::vector<unsigned char> buffer(std::size_t{1} << 20);
  std::uint64_t copied = 0;
  std::uint64_t limit = 0;  // 0: not known yet
  while (limit == 0 || copied < limit) {
    std::size_t wanted = copied < head_size ? head_size - static_cast<std::size_t>(copied) : buffer.size();
    if (limit != 0) wanted = static_cast<std::size_t>(std::min<std::uint64_t>(wanted, limit - copied));
    const ssize_t got = read(input, buffer.data(), wanted);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      *failure = {ERR_CANT_READ_FILE, std::strerror(errno)};
      return false;
    }
    if (got == 0) break;
    if (limit == 0) {
      head.insert(head.end(), buffer.begin(), buffer.begin() + got);
      limit = useful_length(head);
    }
    // The part of this read within the limit: a head read may go past it.
    const auto keep =
        static_cast<ssize_t>(limit == 0 ? static_cast<std::uint64_t>(got)
                                        : std::min<std::uint64_t>(static_cast<std::uint64_t>(got),
                                                                  std::max(limit, copied) - copied));
    copied += static_cast<std::uint64_t>(keep);
    for (ssize_t done = 0; done < keep;) {
      const ssize_t put = write(fd_, buffer.data() + done, static_cast<std::size_t>(keep - done));
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) {
        *failure = {ERR_CANT_OPEN_FILE, std::string("cannot keep a copy of the input: ") +
                                            std::strerror(put < 0 ? errno : ENOSPC)};
        return false;
      }
      done += put;
    }
  }
  *path = named_.empty() ? "/proc/self/fd/" + std::to_string(fd_) : named_;
  return true;
}

bool Spool::create(Failure* failure) {
  const char* folder = std::getenv("TMPDIR");
  if (folder == nullptr || folder[0] == '\0') folder = "/tmp";
  fd_ = open(folder, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  // The copy is reached through /proc; without either, a named file that
  // is removed when done.
  struct stat status {};
  if (fd_ >= 0 && stat(("/proc/self/fd/" + std::to_string(fd_)).c_str(), &status) == 0) return true;
  if (fd_ >= 0) close(fd_);
  std::string name = std::string(folder) + "/mapinfo-XXXXXX";
  // mkstemp fills the name in place: made in the signal handler's buffer,
  // the name is known to it from before the file exists.
  char* const known = signal_cleanup::program_temporary;
  const bool fits = name.size() < sizeof signal_cleanup::program_temporary;
  if (fits) std::memcpy(known, name.c_str(), name.size() + 1);
  fd_ = mkstemp(fits ? known : name.data());
  if (fits) name = known;
  if (fd_ < 0) {
    known[0] = '\0';
    *failure = {ERR_CANT_OPEN_FILE, std::string("cannot keep a copy of the input: ") + std::strerror(errno)};
    return false;
  }
  named_ = name;
  return true;
}

const char* path_reason(const char* path, int error) {
  if (u_path_is_wide(path) && error == ENOMEM) return "not enough memory";
  if (u_path_is_wide(path) && error == EINVAL) return "malformed wide path";
  return std::strerror(error);
}

bool open_input(const char* path, Spool* spool, std::string* readable, struct stat* status,
                Failure* failure) {
  if (u_stat_path(path, status) != 0) {
    *failure = {ERR_CANT_OPEN_FILE, path_reason(path, errno)};
    return false;
  }
  if (S_ISDIR(status->st_mode)) {
    *failure = {ERR_CANT_OPEN_FILE, "is a directory"};
    return false;
  }
  *readable = path;
  if (S_ISREG(status->st_mode)) return true;
  const int input = u_open_path_descriptor(path, O_RDONLY | O_NOCTTY | O_CLOEXEC);
  if (input < 0) {
    *failure = {ERR_CANT_OPEN_FILE, std::strerror(errno)};
    return false;
  }
  const bool copied = spool->fill(input, readable, failure);
  close(input);
  return copied;
}
