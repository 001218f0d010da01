#include "cli_support.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <bit>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <sstream>
#include <stdexcept>

namespace test {

namespace {

constexpr uid_t NOBODY = 65534;

long long now_ms() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Numbers the capture files, so that programs may run side by side.
unsigned started_programs = 0;

std::vector<std::string> wrapper_words() {
  std::vector<std::string> words;
  const char* wrapper = std::getenv("MAPCONV_TEST_WRAPPER");
  if (wrapper == nullptr) return words;
  std::istringstream stream(wrapper);
  for (std::string word; stream >> word;) words.push_back(word);
  return words;
}

// Gives up every capability for good, across exec too: root then obeys
// permission bits like any owner, yet still reaches the program and files
// under folders only root may enter (a clone under /root, say).
bool drop_capabilities() {
  for (unsigned long capability = 0; capability < 64; ++capability) {
    if (prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0 && errno != EINVAL) return false;
  }
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  return syscall(SYS_capset, &header, data) == 0;
}

// Runs in the child between fork and exec: async-signal-safe calls only.
[[noreturn]] void exec_child(const char* out_path, const char* err_path, const RunOptions& options,
                             char** argv) {
  const int in = open("/dev/null", O_RDONLY);
  const int out = open(out_path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const int err = open(err_path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(126);
  // The signals tests send end the program even under nohup or a batch
  // runner that ignores them (or a test that ignores SIGPIPE for itself).
  for (const int number : {SIGTERM, SIGINT, SIGHUP, SIGPIPE}) signal(number, SIG_DFL);
  for (const int number : options.ignored_signals) signal(number, SIG_IGN);
  if (options.file_size_limit != 0) {
    const rlimit limit{options.file_size_limit, options.file_size_limit};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
  }
  if (options.unprivileged && geteuid() == 0 && !drop_capabilities()) {
    if (setgroups(0, nullptr) != 0 || setgid(NOBODY) != 0 || setuid(NOBODY) != 0) _exit(126);
  }
  execvp(argv[0], argv);
  _exit(127);
}

}  // namespace

RunningProgram start_program(const std::string& program, const std::vector<std::string>& arguments,
                             const TempDir& scratch, const RunOptions& options) {
  RunningProgram running;
  running.program = program;
  running.out_path = scratch.file("stdout-" + std::to_string(++started_programs) + ".txt");
  running.err_path = scratch.file("stderr-" + std::to_string(started_programs) + ".txt");
  std::vector<std::string> words = wrapper_words();
  words.push_back(program);
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  const long long seconds = options.time_limit_seconds * (wrapper_words().empty() ? 1 : 10);
  running.deadline_ms = now_ms() + 1000 * seconds;
  running.pid = fork();
  if (running.pid < 0) throw std::runtime_error("cannot run " + program);
  if (running.pid == 0) exec_child(running.out_path.c_str(), running.err_path.c_str(), options, argv.data());
  return running;
}

ProcessResult finish_program(const RunningProgram& running) {
  int wait_status = 0;
  for (;;) {
    const pid_t done = waitpid(running.pid, &wait_status, WNOHANG);
    if (done == running.pid) break;
    if (done < 0 && errno != EINTR) throw std::runtime_error("cannot wait for " + running.program);
    if (now_ms() > running.deadline_ms) {
      kill(running.pid, SIGKILL);
      waitpid(running.pid, &wait_status, 0);
      throw std::runtime_error(running.program + " ran past its time limit and was killed");
    }
    usleep(2000);
  }
  ProcessResult result;
  if (WIFEXITED(wait_status)) result.status = WEXITSTATUS(wait_status);
  if (WIFSIGNALED(wait_status)) {
    result.signal = WTERMSIG(wait_status);
    result.status = 128 + result.signal;
  }
  // mapconv and xdtgen never end with these: the child could not start.
  if (result.status == 126 || result.status == 127)
    throw std::runtime_error("cannot start " + running.program);
  // A process killed before it could start has made no capture files.
  const bool started = std::filesystem::exists(running.err_path);
  const Bytes out = started ? read_file(running.out_path) : Bytes{};
  const Bytes err = started ? read_file(running.err_path) : Bytes{};
  result.out.assign(out.begin(), out.end());
  result.err.assign(err.begin(), err.end());
  return result;
}

ProcessResult run_program(const std::string& program, const std::vector<std::string>& arguments,
                          const TempDir& scratch, const RunOptions& options) {
  return finish_program(start_program(program, arguments, scratch, options));
}

namespace {

void put_be(Bytes& bytes, std::size_t offset, std::uint32_t value, int width) {
  for (int i = 0; i < width; ++i) {
    bytes[offset + i] = static_cast<unsigned char>(value >> (8 * (width - 1 - i)));
  }
}

}  // namespace

Bytes expected_data_file(std::int16_t columns, std::int16_t rows, float lateral_resolution,
                         const std::vector<std::int32_t>& counts) {
  Bytes bytes(834 + 4 * counts.size(), 0);
  put_be(bytes, 0, 0x881B036F, 4);  // format 1
  put_be(bytes, 4, 1, 2);
  put_be(bytes, 6, 834, 4);
  put_be(bytes, 68, static_cast<std::uint16_t>(columns), 2);  // phase map, origin (0, 0)
  put_be(bytes, 70, static_cast<std::uint16_t>(rows), 2);
  put_be(bytes, 72, static_cast<std::uint32_t>(counts.size() * 4), 4);
  put_be(bytes, 164, std::bit_cast<std::uint32_t>(0.5f), 4);       // scale factor
  put_be(bytes, 168, std::bit_cast<std::uint32_t>(6.328e-7f), 4);  // wavelength
  put_be(bytes, 176, std::bit_cast<std::uint32_t>(1.0f), 4);       // obliquity
  put_be(bytes, 184, std::bit_cast<std::uint32_t>(lateral_resolution), 4);
  put_be(bytes, 218, 1, 2);  // phase resolution
  put_be(bytes, 234, static_cast<std::uint16_t>(columns), 2);
  put_be(bytes, 236, static_cast<std::uint16_t>(rows), 2);
  for (std::size_t i = 0; i < counts.size(); ++i) {
    put_be(bytes, 834 + 4 * i, static_cast<std::uint32_t>(counts[i]), 4);
  }
  return bytes;
}

std::string test_name(std::string description) {
  for (char& ch : description) {
    if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
  }
  return description;
}

}  // namespace test
