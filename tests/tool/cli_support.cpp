#include "cli_support.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <bit>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

namespace test {

namespace {

constexpr uid_t kNobody = 65534;

std::vector<std::string> wrapper_words() {
  std::vector<std::string> words;
  const char* wrapper = std::getenv("MAPCONV_TEST_WRAPPER");
  if (wrapper == nullptr) return words;
  std::istringstream stream(wrapper);
  for (std::string word; stream >> word;) words.push_back(word);
  return words;
}

// Runs in the child between fork and exec: async-signal-safe calls only.
[[noreturn]] void exec_child(const char* out_path, const char* err_path, bool unprivileged, char** argv) {
  const int in = open("/dev/null", O_RDONLY);
  const int out = open(out_path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const int err = open(err_path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(126);
  if (unprivileged && geteuid() == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(126);
  }
  execvp(argv[0], argv);
  _exit(127);
}

}  // namespace

ProcessResult run_program(const std::string& program, const std::vector<std::string>& arguments,
                          const TempDir& scratch, const RunOptions& options) {
  const std::string out_path = scratch.file("stdout.txt");
  const std::string err_path = scratch.file("stderr.txt");
  std::vector<std::string> words = wrapper_words();
  words.push_back(program);
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("cannot run " + program);
  if (pid == 0) exec_child(out_path.c_str(), err_path.c_str(), options.unprivileged, argv.data());
  int wait_status = 0;
  if (waitpid(pid, &wait_status, 0) != pid) throw std::runtime_error("cannot wait for " + program);

  ProcessResult result;
  if (WIFEXITED(wait_status)) result.status = WEXITSTATUS(wait_status);
  // mapconv and xdtgen never end with these: the child could not start.
  if (result.status == 126 || result.status == 127) throw std::runtime_error("cannot start " + program);
  const Bytes out = read_file(out_path);
  const Bytes err = read_file(err_path);
  result.out.assign(out.begin(), out.end());
  result.err.assign(err.begin(), err.end());
  return result;
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

}  // namespace test
