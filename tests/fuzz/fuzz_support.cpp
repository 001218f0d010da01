#include "fuzz_support.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

// Present only in sanitizer builds.
extern "C" void __sanitizer_set_report_fd(void* fd) __attribute__((weak));

namespace fuzz {
namespace {

int g_report_fd = 2;
const char* g_target = "";
unsigned long long g_inputs = 0;

void write_all(int fd, const char* text, std::size_t length) {
  while (length > 0) {
    const ssize_t written = ::write(fd, text, length);
    if (written <= 0) return;
    text += written;
    length -= static_cast<std::size_t>(written);
  }
}

void print_count() {
  char line[160];
  const int length = std::snprintf(line, sizeof line, "%s: %llu inputs run\n", g_target, g_inputs);
  if (length > 0) write_all(g_report_fd, line, static_cast<std::size_t>(length));
}

}  // namespace

void fail(const char* what) {
  write_all(g_report_fd, "invariant violated: ", 20);
  write_all(g_report_fd, what, std::strlen(what));
  write_all(g_report_fd, "\n", 1);
  std::abort();
}

void quiet_stderr(const char* target) {
  g_target = target;
  const int kept = ::fcntl(2, F_DUPFD_CLOEXEC, 3);
  const int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (kept < 0 || null_fd < 0 || ::dup2(null_fd, 2) < 0) fail("cannot redirect the standard error stream");
  ::close(null_fd);
  g_report_fd = kept;
  if (__sanitizer_set_report_fd != nullptr) {
    __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<std::intptr_t>(kept)));
  }
  std::atexit(print_count);
}

std::string scratch_folder() {
  static std::string folder;
  check(folder.empty(), "one scratch folder per process");
  folder = (std::filesystem::temp_directory_path() / "mapconv-fuzz-XXXXXX").string();
  check(mkdtemp(folder.data()) != nullptr, "mkdtemp");
  std::atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  });
  return folder;
}

void count_input() { ++g_inputs; }

const char* memory_file(std::span<const std::uint8_t> bytes) {
  static const int fd = memfd_create("fuzz-input", MFD_CLOEXEC);
  static char path[48];
  check(fd >= 0, "memfd_create");
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  check(ftruncate(fd, 0) == 0, "ftruncate");
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t written = pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
    check(written > 0, "pwrite");
    done += static_cast<std::size_t>(written);
  }
  return path;
}

}  // namespace fuzz
