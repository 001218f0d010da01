#include "cli_support.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <bit>
#include <stdexcept>

extern char** environ;

namespace test {

ProcessResult run_program(const std::string& program, const std::vector<std::string>& arguments,
                          const TempDir& scratch) {
  const std::string out_path = scratch.file("stdout.txt");
  const std::string err_path = scratch.file("stderr.txt");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) throw std::runtime_error("cannot run " + program);
  int wait_status = 0;
  if (waitpid(pid, &wait_status, 0) != pid) throw std::runtime_error("cannot wait for " + program);

  ProcessResult result;
  if (WIFEXITED(wait_status)) result.status = WEXITSTATUS(wait_status);
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
