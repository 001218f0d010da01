#include <mapconv/print.h>

#include <cstdarg>
#include <ctime>

PrintFunction u_print = u_print_stderr;

namespace {

int print_to(std::FILE* stream, const char* format, va_list args) {
  std::vfprintf(stream, format, args);
  return std::fflush(stream);
}

}  // namespace

int u_print_stderr(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int result = print_to(stderr, format, args);
  va_end(args);
  return result;
}

int u_print_stdout(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int result = print_to(stdout, format, args);
  va_end(args);
  return result;
}

int u_print_file(std::FILE* stream, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int result = print_to(stream, format, args);
  va_end(args);
  return result;
}

int u_print_none(const char*, ...) { return 0; }

int u_print_timestamped(const char* format, ...) {
  // A host may make this writer the hook itself; printing through the hook
  // would then call back here without end.
  const PrintFunction print = u_print == u_print_timestamped ? u_print_stderr : u_print;
  char buffer[512] = {};
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_r(&now, &local) != nullptr) {
    std::strftime(buffer, 40, "%Y-%m-%d %H:%M:%S", &local);
  }
  print("%s ", buffer);

  va_list args;
  va_start(args, format);
  // Bounded: a longer message is cut rather than overrunning the buffer.
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  return print("%s", buffer);
}

std::FILE* u_print_stream() {
  if (u_print == u_print_stdout) return stdout;
  if (u_print == u_print_stderr) return stderr;
  return nullptr;
}
