#include <fcntl.h>
#include <mapconv/memory_hooks.h>
#include <mapconv/output_file.h>
#include <mapconv/path.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>

#ifndef RENAME_NOREPLACE
#define RENAME_NOREPLACE (1 << 0)
#endif

namespace {

// The same limit as the kernel's for a path's links.
constexpr int kMaxLinkHops = 40;
constexpr int kNameAttempts = 100;
// ".<base>.XXXXXX": the base keeps at most this many bytes.
constexpr std::size_t kHiddenBaseMax = NAME_MAX - 8;
constexpr std::size_t kMaxChunk = std::size_t{1} << 30;

ErrorCode creation_error() { return errno == ENOMEM ? ERR_NO_MEM : ERR_CANT_CREATE_FILE; }

void close_keeping_errno(int fd) {
  const int saved = errno;
  if (fd >= 0) close(fd);
  errno = saved;
}

// A name unlikely to exist: the base, then six characters from the process,
// the clock and a counter (O_EXCL or EEXIST catches the rare clash).
void make_hidden_name(const char* base, char* out) {
  static std::atomic<std::uint64_t> counter{0};
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  std::uint64_t x = (static_cast<std::uint64_t>(getpid()) << 32) ^ static_cast<std::uint64_t>(now.tv_nsec) ^
                    (static_cast<std::uint64_t>(now.tv_sec) << 20) ^
                    (counter.fetch_add(1) * 0x9E3779B97F4A7C15u);
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9u;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBu;
  x ^= x >> 31;
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::size_t length = std::strlen(base);
  if (length > kHiddenBaseMax) length = kHiddenBaseMax;
  char* p = out;
  *p++ = '.';
  std::memcpy(p, base, length);
  p += length;
  *p++ = '.';
  for (int i = 0; i < 6; ++i, x /= 62) *p++ = alphabet[x % 62];
  *p = '\0';
}

// Creates a fresh hidden file beside base; on failure hidden is left empty.
int create_hidden(int folder, const char* base, char* hidden) {
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    make_hidden_name(base, hidden);
    const int fd = openat(folder, hidden, O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
    if (fd >= 0) return fd;
    if (errno != EEXIST) break;
  }
  hidden[0] = '\0';
  return -1;
}

// Gives the unnamed file fd a name in the folder.
int link_unnamed(int fd, int folder, const char* name) {
  char proc_path[32];
  std::snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", fd);
  if (linkat(AT_FDCWD, proc_path, folder, name, AT_SYMLINK_FOLLOW) == 0) return 0;
  // Without /proc, the direct form (which may need privileges).
  if (errno != ENOENT) return -1;
  return linkat(fd, "", folder, name, AT_EMPTY_PATH);
}

// Opens an existing file for writing in place, never blocking on the open
// (the name could have become a FIFO since it was looked at).
int open_in_place(int folder, const char* base, struct stat* info) {
  const int fd = openat(folder, base, O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  const int status = fcntl(fd, F_GETFL);
  if (fstat(fd, info) != 0 || status < 0 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
    close_keeping_errno(fd);
    return -1;
  }
  if (!S_ISREG(info->st_mode) && !S_ISCHR(info->st_mode) && !S_ISBLK(info->st_mode)) {
    close(fd);
    errno = ENXIO;
    return -1;
  }
  return fd;
}

// Splits path in place into its folder and its base name.
void split_path(char* path, const char** folder, const char** base) {
  char* slash = std::strrchr(path, '/');
  if (slash == nullptr) {
    *folder = ".";
    *base = path;
  } else {
    *base = slash + 1;
    *folder = slash == path ? "/" : path;
    if (slash != path) *slash = '\0';
  }
}

// Follows the last component of path through its links. Leaves file's
// folder_fd and base_name on the name to write; *exists tells whether it is
// there, and *info describes it then.
bool resolve(const char* path, OutputFile* file, bool* exists, struct stat* info) {
  const std::size_t length = std::strlen(path);
  if (length >= PATH_MAX) {
    errno = ENAMETOOLONG;
    return false;
  }
  HookedBlock<char[]> work = hooked_allocate<char>(PATH_MAX);
  file->base_name = hooked_allocate<char>(NAME_MAX + 1).release();
  if (work == nullptr || file->base_name == nullptr) {
    errno = ENOMEM;
    return false;
  }
  std::memcpy(work.get(), path, length + 1);
  for (int hops = 0;; ++hops) {
    const char* folder = nullptr;
    const char* base = nullptr;
    split_path(work.get(), &folder, &base);
    const std::size_t base_length = std::strlen(base);
    if (base_length == 0 || base_length > NAME_MAX) {
      errno = base_length == 0 ? EISDIR : ENAMETOOLONG;
      return false;
    }
    std::memcpy(file->base_name, base, base_length + 1);
    // A relative folder of a link's target is relative to the link's folder.
    const int next =
        openat(file->folder_fd >= 0 ? file->folder_fd : AT_FDCWD, folder, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (next < 0) return false;
    close(file->folder_fd);
    file->folder_fd = next;
    if (fstatat(file->folder_fd, file->base_name, info, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) return false;
      *exists = false;
      return true;
    }
    if (!S_ISLNK(info->st_mode)) {
      *exists = true;
      return true;
    }
    if (hops == kMaxLinkHops) {
      errno = ELOOP;
      return false;
    }
    const ssize_t size = readlinkat(file->folder_fd, file->base_name, work.get(), PATH_MAX);
    if (size < 0) return false;
    if (size >= PATH_MAX) {
      errno = ENAMETOOLONG;
      return false;
    }
    work[static_cast<std::size_t>(size)] = '\0';
  }
}

// Releases what the record holds and clears it, keeping name_taken.
void release(OutputFile* file) {
  const bool name_taken = file->name_taken;
  output_file_clear(file);
  file->name_taken = name_taken;
}

void release_blocks(OutputFile* file) {
  memory_hooks.release(file->base_name);
  memory_hooks.release(file->hidden_name);
  file->base_name = nullptr;
  file->hidden_name = nullptr;
}

ErrorCode fail_open(OutputFile* file, ErrorCode code) {
  output_file_discard(file);
  return code;
}

bool unsupported_unnamed(int error) {
  return error == EOPNOTSUPP || error == EISDIR || error == EINVAL || error == ENOENT;
}

ErrorCode write_loop(OutputFile* file, const void* bytes, std::size_t size, std::uint64_t offset,
                     bool positional) {
  if (file == nullptr || file->fd < 0 || (bytes == nullptr && size != 0)) {
    errno = EINVAL;
    return ERR_INVALID_PARAM;
  }
  if (positional && (file->in_order || offset > static_cast<std::uint64_t>(INT64_MAX) ||
                     size > static_cast<std::uint64_t>(INT64_MAX) - offset)) {
    errno = EINVAL;
    return ERR_INVALID_PARAM;
  }
  const auto* next = static_cast<const unsigned char*>(bytes);
  while (size > 0) {
    const std::size_t chunk = size < kMaxChunk ? size : kMaxChunk;
    const ssize_t written =
        positional ? pwrite(file->fd, next, chunk, static_cast<off_t>(offset)) : write(file->fd, next, chunk);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      if (written == 0) errno = ENOSPC;
      return ERR_CANT_WRITE_FILE;
    }
    next += written;
    size -= static_cast<std::size_t>(written);
    offset += static_cast<std::uint64_t>(written);
  }
  return NO_ERROR;
}

// Links the unnamed temporary in under the final name.
ErrorCode place_unnamed(OutputFile* file) {
  // Closing reports delayed write errors (network file systems flush on
  // every close), so a duplicate is closed before the file gets its name.
  const int spare = fcntl(file->fd, F_DUPFD_CLOEXEC, 0);
  if (spare < 0) return creation_error();
  if (close(spare) != 0) return ERR_CANT_WRITE_FILE;
  if ((file->flags & OUTPUT_REPLACE) == 0) {
    if (link_unnamed(file->fd, file->folder_fd, file->base_name) == 0) return NO_ERROR;
    if (errno == EEXIST) file->name_taken = true;
    return ERR_CANT_CREATE_FILE;
  }
  // A link cannot replace, so the file gets a hidden name first and is then
  // renamed over the final one.
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    make_hidden_name(file->base_name, file->hidden_name);
    if (link_unnamed(file->fd, file->folder_fd, file->hidden_name) == 0) break;
    file->hidden_name[0] = '\0';
    if (errno != EEXIST) return ERR_CANT_CREATE_FILE;
  }
  if (file->hidden_name[0] == '\0') return ERR_CANT_CREATE_FILE;
  if (renameat(file->folder_fd, file->hidden_name, file->folder_fd, file->base_name) != 0) {
    return ERR_CANT_CREATE_FILE;
  }
  file->hidden_name[0] = '\0';
  return NO_ERROR;
}

// Closes the hidden temporary and renames it to the final name.
ErrorCode place_named(OutputFile* file) {
  const int fd = file->fd;
  file->fd = -1;
  if (close(fd) != 0) return ERR_CANT_WRITE_FILE;
  if ((file->flags & OUTPUT_REPLACE) != 0) {
    if (renameat(file->folder_fd, file->hidden_name, file->folder_fd, file->base_name) != 0) {
      return ERR_CANT_CREATE_FILE;
    }
    file->hidden_name[0] = '\0';
    return NO_ERROR;
  }
  if (syscall(SYS_renameat2, file->folder_fd, file->hidden_name, file->folder_fd, file->base_name,
              RENAME_NOREPLACE) == 0) {
    file->hidden_name[0] = '\0';
    return NO_ERROR;
  }
  // File systems without the no-replace rename: a link refuses an existing
  // name just as well, and the hidden name is then removed by the caller.
  if ((errno == EINVAL || errno == ENOSYS) &&
      linkat(file->folder_fd, file->hidden_name, file->folder_fd, file->base_name, 0) == 0) {
    return NO_ERROR;
  }
  if (errno == EEXIST) file->name_taken = true;
  return ERR_CANT_CREATE_FILE;
}

}  // namespace

void output_file_clear(OutputFile* file) {
  *file = OutputFile{};
  file->fd = -1;
  file->folder_fd = -1;
}

ErrorCode output_file_open(const char* path, unsigned flags, OutputFile* file) {
  if (file == nullptr) {
    errno = EINVAL;
    return ERR_INVALID_PARAM;
  }
  output_file_clear(file);
  if (path == nullptr) {
    errno = EINVAL;
    return ERR_INVALID_PARAM;
  }
  const NativePath native(path);
  if (native.get() == nullptr) {
    errno = native.out_of_memory() ? ENOMEM : EINVAL;
    return native.out_of_memory() ? ERR_NO_MEM : ERR_CANT_CREATE_FILE;
  }
  if (native.get()[0] == '\0') {
    errno = ENOENT;
    return ERR_CANT_CREATE_FILE;
  }
  file->flags = flags;
  bool exists = false;
  struct stat info {};
  if (!resolve(native.get(), file, &exists, &info)) return fail_open(file, creation_error());

  const bool replacing = exists && S_ISREG(info.st_mode);
  if (replacing && (flags & OUTPUT_REPLACE) == 0) {
    file->name_taken = true;
    errno = EEXIST;
    return fail_open(file, ERR_CANT_CREATE_FILE);
  }
  if (exists && !replacing) {
    if (!S_ISCHR(info.st_mode) && !S_ISBLK(info.st_mode)) {
      // Never opened: a FIFO without a reader would wait for ever.
      errno = S_ISDIR(info.st_mode) ? EISDIR : ENXIO;
      return fail_open(file, ERR_CANT_CREATE_FILE);
    }
    file->fd = open_in_place(file->folder_fd, file->base_name, &info);
    if (file->fd < 0 || S_ISREG(info.st_mode)) {
      if (file->fd >= 0) errno = EEXIST;  // it became a regular file meanwhile
      return fail_open(file, creation_error());
    }
    file->in_place = true;
    file->in_order = S_ISCHR(info.st_mode);
    release_blocks(file);
    close(file->folder_fd);
    file->folder_fd = -1;
    return NO_ERROR;
  }

  file->hidden_name = hooked_allocate<char>(NAME_MAX + 1).release();
  if (file->hidden_name == nullptr) {
    errno = ENOMEM;
    return fail_open(file, ERR_NO_MEM);
  }
  file->hidden_name[0] = '\0';
  bool try_named = (flags & OUTPUT_NAMED_TEMPORARY) != 0;
  if (!try_named) {
    // The mode is filtered by the umask, as for any new file.
    file->fd = openat(file->folder_fd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    file->unnamed = file->fd >= 0;
    try_named = file->fd < 0 && unsupported_unnamed(errno);
  }
  if (try_named) file->fd = create_hidden(file->folder_fd, file->base_name, file->hidden_name);
  if (file->fd < 0) {
    const bool refused = errno == EACCES || errno == EPERM || errno == EROFS;
    if (!refused || !replacing) return fail_open(file, creation_error());
    // The folder takes no new file but the old one may be rewritten; if
    // this fails part way, the old content is lost.
    file->fd = open_in_place(file->folder_fd, file->base_name, &info);
    if (file->fd >= 0 && !S_ISREG(info.st_mode)) {
      close(file->fd);
      file->fd = -1;
      errno = ENXIO;
    }
    if (file->fd < 0 || ftruncate(file->fd, 0) != 0) return fail_open(file, creation_error());
    file->in_place = true;
    release_blocks(file);
    close(file->folder_fd);
    file->folder_fd = -1;
    return NO_ERROR;
  }
  if (replacing) {
    // The replacement keeps the old file's owner where allowed, and its
    // permission bits (set after the owner, which may clear set-id bits).
    [[maybe_unused]] const int owner_kept = fchown(file->fd, info.st_uid, info.st_gid);
    if (fchmod(file->fd, info.st_mode & 07777) != 0) return fail_open(file, creation_error());
  }
  return NO_ERROR;
}

ErrorCode output_file_write(OutputFile* file, const void* bytes, std::size_t size) {
  return write_loop(file, bytes, size, 0, false);
}

ErrorCode output_file_write_at(OutputFile* file, const void* bytes, std::size_t size, std::uint64_t offset) {
  return write_loop(file, bytes, size, offset, true);
}

// No fsync: speed matters more here than surviving a system crash, and the
// single rename or link still means no reader ever sees a partial file.
ErrorCode output_file_commit(OutputFile* file) {
  if (file == nullptr || file->fd < 0) {
    errno = EINVAL;
    return ERR_INVALID_PARAM;
  }
  ErrorCode code = NO_ERROR;
  if (file->in_place) {
    if (close(file->fd) != 0) code = ERR_CANT_WRITE_FILE;
    file->fd = -1;
  } else {
    code = file->unnamed ? place_unnamed(file) : place_named(file);
  }
  // What is left under the hidden name is the leftover of a failure or of
  // the link fallback.
  output_file_discard(file);
  return code;
}

void output_file_discard(OutputFile* file) {
  if (file == nullptr) return;
  const int saved = errno;
  if (file->fd >= 0) close(file->fd);
  if (file->hidden_name != nullptr && file->hidden_name[0] != '\0') {
    unlinkat(file->folder_fd, file->hidden_name, 0);
  }
  if (file->folder_fd >= 0) close(file->folder_fd);
  release_blocks(file);
  release(file);
  errno = saved;
}
