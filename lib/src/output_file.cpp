#include <fcntl.h>
#include <mapconv/memory_hooks.h>
#include <mapconv/output_file.h>
#include <mapconv/path.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "native_path.h"
#include "output_file_faults.h"

#ifndef RENAME_NOREPLACE
#define RENAME_NOREPLACE (1 << 0)
#endif

unsigned output_file_faults = 0;
void (*output_file_before_recheck)() = nullptr;

namespace {

constexpr int NAME_ATTEMPTS = 100;
// ".<base>.XXXXXX": the base keeps at most this many bytes.
constexpr std::size_t HIDDEN_BASE_MAX = NAME_MAX - 8;
constexpr std::size_t MAX_CHUNK = std::size_t{1} << 30;
constexpr std::size_t COPY_CHUNK = std::size_t{1} << 16;

// True, with errno set, when a test asks for this system call to fail.
bool faulty(unsigned fault, int error) {
  if ((output_file_faults & fault) == 0) return false;
  errno = error;
  return true;
}

// The hidden names of the outputs in progress, for a signal handler to
// remove: fixed storage and lock-free state only. A slot goes free, filling,
// ready; the handler holds a ready slot as removing while it unlinks.
enum : int { SLOT_FREE, SLOT_FILLING, SLOT_READY, SLOT_REMOVING };
struct PendingName {
  std::atomic<int> state{SLOT_FREE};
  int folder = -1;
  char name[NAME_MAX + 1] = {};
};
static_assert(std::atomic<int>::is_always_lock_free);
constexpr int PENDING_SLOTS = 64;
PendingName pending_names[PENDING_SLOTS];

// Records a hidden name before the file exists, so that no moment passes
// with the file there and unknown to the handler. Beyond PENDING_SLOTS
// outputs at once the rest go unrecorded.
void remember_hidden(OutputFile* file) {
  for (int i = 0; i < PENDING_SLOTS; ++i) {
    int expected = SLOT_FREE;
    if (!pending_names[i].state.compare_exchange_strong(expected, SLOT_FILLING)) continue;
    pending_names[i].folder = file->folder_fd;
    std::memcpy(pending_names[i].name, file->hidden_name, std::strlen(file->hidden_name) + 1);
    pending_names[i].state.store(SLOT_READY);
    file->pending_slot = i + 1;
    return;
  }
}

// Called before the folder is closed, so the handler never uses a stale one.
void forget_hidden(OutputFile* file) {
  if (file->pending_slot == 0) return;
  std::atomic<int>& state = pending_names[file->pending_slot - 1].state;
  // A handler on another thread may be removing the file: wait for it.
  for (int expected = SLOT_READY; !state.compare_exchange_weak(expected, SLOT_FREE); expected = SLOT_READY) {
    sched_yield();
  }
  file->pending_slot = 0;
}

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
  if (length > HIDDEN_BASE_MAX) length = HIDDEN_BASE_MAX;
  char* p = out;
  *p++ = '.';
  std::memcpy(p, base, length);
  p += length;
  *p++ = '.';
  for (int i = 0; i < 6; ++i, x /= 62) *p++ = alphabet[x % 62];
  *p = '\0';
}

// Creates a fresh hidden file beside the final name, recorded as in
// progress; on failure hidden_name is left empty.
int create_hidden(OutputFile* file, mode_t mode) {
  for (int attempt = 0; attempt < NAME_ATTEMPTS; ++attempt) {
    make_hidden_name(file->base_name, file->hidden_name);
    remember_hidden(file);
    const int fd = openat(file->folder_fd, file->hidden_name, O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, mode);
    if (fd >= 0) return fd;
    const int error = errno;
    forget_hidden(file);
    errno = error;
    if (error != EEXIST) break;
  }
  file->hidden_name[0] = '\0';
  return -1;
}

// Gives the unnamed file fd a name in the folder.
int link_unnamed(int fd, int folder, const char* name) {
  if (faulty(OUTPUT_FAULT_LINK, EPERM)) return -1;
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

// Opens the folder of path (split in place) and keeps its last component
// in file's base_name.
bool open_folder(char* path, OutputFile* file) {
  const char* folder = nullptr;
  const char* base = nullptr;
  split_path(path, &folder, &base);
  const std::size_t base_length = std::strlen(base);
  if (base_length == 0 || base_length > NAME_MAX) {
    errno = base_length == 0 ? EISDIR : ENAMETOOLONG;
    return false;
  }
  const int next = openat(AT_FDCWD, folder, O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (next < 0) return false;
  close(file->folder_fd);
  file->folder_fd = next;
  std::memcpy(file->base_name, base, base_length + 1);
  return true;
}

// Moves file's folder and name to where the regular file target (opened by
// the kernel through a link) really is, as the kernel names it, and checks
// that this name still leads to that very file.
bool locate(int target, const struct stat* info, char* work, OutputFile* file) {
  char proc_path[32];
  std::snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", target);
  const ssize_t size = readlink(proc_path, work, PATH_MAX);
  if (size < 0) return false;
  if (size >= PATH_MAX) {
    errno = ENAMETOOLONG;
    return false;
  }
  work[size] = '\0';
  // Outside this process's root, or removed meanwhile (" (deleted)").
  if (work[0] != '/') {
    errno = ENOENT;
    return false;
  }
  if (!open_folder(work, file)) return false;
  if (output_file_before_recheck != nullptr) output_file_before_recheck();
  struct stat named {};
  if (fstatat(file->folder_fd, file->base_name, &named, AT_SYMLINK_NOFOLLOW) != 0) return false;
  if (named.st_dev != info->st_dev || named.st_ino != info->st_ino) {
    errno = EAGAIN;  // moved while it was looked at
    return false;
  }
  return true;
}

// Finds what path's last component names. A symbolic link there is followed
// by the kernel, never here, so that its rules (fs.protected_symlinks) hold.
// Leaves file's folder_fd and base_name on the name to write; *exists tells
// whether it is there, and *info describes it then. A device reached through
// a link keeps the link's name, opened through the link again later.
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
  if (!open_folder(work.get(), file)) return false;
  if (fstatat(file->folder_fd, file->base_name, info, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno != ENOENT) return false;
    *exists = false;
    return true;
  }
  *exists = true;
  if (!S_ISLNK(info->st_mode)) return true;
  const int target = openat(file->folder_fd, file->base_name, O_PATH | O_CLOEXEC);
  if (target < 0) {
    // Like cp, never create a file where a link points: in a shared folder
    // the link may be another user's.
    if (errno == ENOENT) file->dangling_link = true;
    return false;
  }
  bool found = fstat(target, info) == 0;
  if (found && S_ISREG(info->st_mode)) found = locate(target, info, work.get(), file);
  close_keeping_errno(target);
  return found;
}

// Gives the new file the old one's owner where allowed, and its permission
// bits (after the owner, which may clear set-id bits). Best effort: file
// systems without Unix owners or modes refuse, and the file keeps the
// private mode it was made with.
void keep_owner_and_mode(int fd, const struct stat* old) {
  if (!faulty(OUTPUT_FAULT_OWNER, EPERM)) {
    [[maybe_unused]] const int owner_kept = fchown(fd, old->st_uid, old->st_gid);
  }
  if (!faulty(OUTPUT_FAULT_MODE, EPERM)) {
    [[maybe_unused]] const int mode_kept = fchmod(fd, old->st_mode & 07777);
  }
}

// The errors of a file system that has no hard links (or, without /proc,
// of a link the process may not make).
bool link_refused(int error) {
  return error == EPERM || error == EOPNOTSUPP || error == ENOSYS || error == EMLINK || error == ENOENT;
}

// Releases what the record holds and clears it, keeping the reasons a
// caller reads after a failure.
void release(OutputFile* file) {
  const bool name_taken = file->name_taken;
  const bool dangling_link = file->dangling_link;
  const bool is_input = file->is_input;
  output_file_clear(file);
  file->name_taken = name_taken;
  file->dangling_link = dangling_link;
  file->is_input = is_input;
}

// One file, whatever names lead to it; two nodes of one block device are
// one disk too.
bool same_file(const struct stat& a, const struct stat& b) {
  if (a.st_dev == b.st_dev && a.st_ino == b.st_ino) return true;
  return S_ISBLK(a.st_mode) && S_ISBLK(b.st_mode) && a.st_rdev == b.st_rdev;
}

// Files whose contents replacing them would lose.
bool holds_data(const struct stat& info) { return S_ISREG(info.st_mode) || S_ISBLK(info.st_mode); }

// Whether this process could open the file for writing. Only a refusal
// counts: where the question cannot be asked, writing will tell.
bool write_refused(int folder, const char* base) {
  if (faccessat(folder, base, W_OK, AT_EACCESS) == 0) return false;
  return errno == EACCES || errno == EPERM;
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
  if (file->truncate_pending && size > 0) {
    if (ftruncate(file->fd, 0) != 0) return ERR_CANT_WRITE_FILE;
    file->truncate_pending = false;
  }
  const auto* next = static_cast<const unsigned char*>(bytes);
  while (size > 0) {
    const std::size_t chunk = size < MAX_CHUNK ? size : MAX_CHUNK;
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
    forget_hidden(file);
    return NO_ERROR;
  }
  if (!faulty(OUTPUT_FAULT_RENAME_NOREPLACE, EINVAL) &&
      syscall(SYS_renameat2, file->folder_fd, file->hidden_name, file->folder_fd, file->base_name,
              RENAME_NOREPLACE) == 0) {
    file->hidden_name[0] = '\0';
    forget_hidden(file);
    return NO_ERROR;
  }
  if (errno != EINVAL && errno != ENOSYS) {
    if (errno == EEXIST) file->name_taken = true;
    return ERR_CANT_CREATE_FILE;
  }
  // File systems without the no-replace rename: a link refuses an existing
  // name just as well, and the hidden name is then removed by the caller.
  if (!faulty(OUTPUT_FAULT_LINK, EPERM) &&
      linkat(file->folder_fd, file->hidden_name, file->folder_fd, file->base_name, 0) == 0) {
    return NO_ERROR;
  }
  if (errno == EEXIST) {
    file->name_taken = true;
    return ERR_CANT_CREATE_FILE;
  }
  if (!link_refused(errno)) return ERR_CANT_CREATE_FILE;
  // Neither (FAT, some network shares): look, then rename. A file that takes
  // the name between the two calls is replaced; nothing narrower exists there.
  struct stat info {};
  const bool taken = fstatat(file->folder_fd, file->base_name, &info, AT_SYMLINK_NOFOLLOW) == 0;
  if (taken || errno != ENOENT) {
    if (taken) {
      file->name_taken = true;
      errno = EEXIST;
    }
    return ERR_CANT_CREATE_FILE;
  }
  if (renameat(file->folder_fd, file->hidden_name, file->folder_fd, file->base_name) != 0) {
    return ERR_CANT_CREATE_FILE;
  }
  file->hidden_name[0] = '\0';
  forget_hidden(file);
  return NO_ERROR;
}

// Copies size bytes of from, from its start, to the position of to.
ErrorCode copy_bytes(int from, int to, std::uint64_t size) {
  HookedBlock<unsigned char[]> buffer = hooked_allocate<unsigned char>(COPY_CHUNK);
  if (buffer == nullptr) {
    errno = ENOMEM;
    return ERR_NO_MEM;
  }
  for (std::uint64_t done = 0; done < size;) {
    const std::size_t want = size - done < COPY_CHUNK ? static_cast<std::size_t>(size - done) : COPY_CHUNK;
    const ssize_t got = pread(from, buffer.get(), want, static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (got == 0) errno = EIO;  // the file shrank under us
      return ERR_CANT_WRITE_FILE;
    }
    for (ssize_t put_done = 0; put_done < got;) {
      const ssize_t put = write(to, buffer.get() + put_done, static_cast<std::size_t>(got - put_done));
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) {
        if (put == 0) errno = ENOSPC;
        return ERR_CANT_WRITE_FILE;
      }
      put_done += put;
    }
    done += static_cast<std::uint64_t>(got);
  }
  return NO_ERROR;
}

// A file system that makes unnamed files but cannot link them: the bytes
// go to a hidden named file, which is then put in place as usual.
ErrorCode copy_to_named(OutputFile* file) {
  struct stat info {};
  if (fstat(file->fd, &info) != 0) return ERR_CANT_WRITE_FILE;
  const int copy = create_hidden(file, 0600);
  if (copy < 0) return creation_error();
  keep_owner_and_mode(copy, &info);
  const ErrorCode code = copy_bytes(file->fd, copy, static_cast<std::uint64_t>(info.st_size));
  close_keeping_errno(file->fd);
  file->fd = copy;
  file->unnamed = false;
  return code != NO_ERROR ? code : place_named(file);
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
    return link_refused(errno) ? copy_to_named(file) : ERR_CANT_CREATE_FILE;
  }
  // A link cannot replace, so the file gets a hidden name and is renamed
  // over the final one at once: the hidden name lives for these two calls
  // only, and a handler removes it if a signal comes between them.
  for (int attempt = 0; attempt < NAME_ATTEMPTS; ++attempt) {
    make_hidden_name(file->base_name, file->hidden_name);
    remember_hidden(file);
    if (link_unnamed(file->fd, file->folder_fd, file->hidden_name) == 0) break;
    const int error = errno;
    forget_hidden(file);
    file->hidden_name[0] = '\0';
    errno = error;
    if (error != EEXIST) return link_refused(error) ? copy_to_named(file) : ERR_CANT_CREATE_FILE;
  }
  if (file->hidden_name[0] == '\0') return ERR_CANT_CREATE_FILE;
  if (renameat(file->folder_fd, file->hidden_name, file->folder_fd, file->base_name) != 0) {
    return ERR_CANT_CREATE_FILE;
  }
  file->hidden_name[0] = '\0';
  forget_hidden(file);
  return NO_ERROR;
}

// An unnamed temporary beside the final name, readable for the copy above.
int open_unnamed(int folder, mode_t mode) {
  if (faulty(OUTPUT_FAULT_UNNAMED, EOPNOTSUPP)) return -1;
  return openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
}

}  // namespace

void output_file_clear(OutputFile* file) {
  *file = OutputFile{};
  file->fd = -1;
  file->folder_fd = -1;
}

void output_file_remove_temporaries(void) {
  const int saved = errno;
  for (PendingName& pending : pending_names) {
    int expected = SLOT_READY;
    if (!pending.state.compare_exchange_strong(expected, SLOT_REMOVING)) continue;
    unlinkat(pending.folder, pending.name, 0);
    pending.state.store(SLOT_READY);
  }
  errno = saved;
}

ErrorCode output_file_open(const char* path, unsigned flags, OutputFile* file) {
  return output_file_open_apart(path, flags, nullptr, file);
}

ErrorCode output_file_check(const char* path, unsigned flags, const char* input, OutputCheck* check) {
  if (check == nullptr || path == nullptr) {
    errno = EINVAL;
    return ERR_INVALID_PARAM;
  }
  *check = OutputCheck{};
  // A wide name that could not be converted tells nothing about the file.
  const auto look = [](const char* name, struct stat* info, bool* found) {
    *found = u_stat_path(name, info) == 0;
    return *found || errno != ENOMEM || !u_path_is_wide(name);
  };
  struct stat output_info {};
  bool output_found = false;
  if (!look(path, &output_info, &output_found)) return ERR_NO_MEM;
  check->name_taken = output_found && holds_data(output_info) && (flags & OUTPUT_REPLACE) == 0;
  if (input == nullptr) return NO_ERROR;
  struct stat input_info {};
  bool input_found = false;
  if (!look(input, &input_info, &input_found)) return ERR_NO_MEM;
  check->is_input = output_found && input_found && same_file(output_info, input_info);
  return NO_ERROR;
}

ErrorCode output_file_open_apart(const char* path, unsigned flags, const struct stat* input, OutputFile* file) {
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

  // Replacing the input would lose the measurement the output is made from.
  if (exists && input != nullptr && same_file(info, *input)) {
    file->is_input = true;
    errno = EEXIST;
    return fail_open(file, ERR_CANT_CREATE_FILE);
  }
  const bool replacing = exists && S_ISREG(info.st_mode);
  if (exists && holds_data(info) && (flags & OUTPUT_REPLACE) == 0) {
    file->name_taken = true;
    errno = EEXIST;
    return fail_open(file, ERR_CANT_CREATE_FILE);
  }
  if (replacing && write_refused(file->folder_fd, file->base_name)) {
    errno = EACCES;
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
  // A new file's mode is filtered by the umask, as for any new file; a
  // replacement starts private and takes the old mode below if it can.
  const mode_t mode = replacing ? 0600 : 0666;
  bool try_named = (flags & OUTPUT_NAMED_TEMPORARY) != 0;
  if (!try_named) {
    file->fd = open_unnamed(file->folder_fd, mode);
    file->unnamed = file->fd >= 0;
    try_named = file->fd < 0 && unsupported_unnamed(errno);
  }
  if (try_named) file->fd = create_hidden(file, mode);
  if (file->fd < 0) {
    const bool refused = errno == EACCES || errno == EPERM || errno == EROFS;
    if (!refused || !replacing) return fail_open(file, creation_error());
    // The folder takes no new file but the old one may be rewritten; it is
    // emptied at the first write, and if writing fails part way, the old
    // content is lost.
    file->fd = open_in_place(file->folder_fd, file->base_name, &info);
    if (file->fd >= 0 && !S_ISREG(info.st_mode)) {
      close(file->fd);
      file->fd = -1;
      errno = ENXIO;
    }
    if (file->fd < 0) return fail_open(file, creation_error());
    file->in_place = true;
    file->truncate_pending = true;
    release_blocks(file);
    close(file->folder_fd);
    file->folder_fd = -1;
    return NO_ERROR;
  }
  if (replacing) keep_owner_and_mode(file->fd, &info);
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
    if (file->truncate_pending && ftruncate(file->fd, 0) != 0) code = ERR_CANT_WRITE_FILE;
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
  forget_hidden(file);
  if (file->folder_fd >= 0) close(file->folder_fd);
  release_blocks(file);
  release(file);
  errno = saved;
}
