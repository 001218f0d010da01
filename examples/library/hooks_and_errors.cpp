// Plugs in memory and print hooks, and handles failures with the error
// catalogue: every block the library takes comes from memory_hooks, so a
// host can count them, or refuse one to see how its code copes.
#include <mapconv/data_file_reader.h>
#include <mapconv/errors.h>
#include <mapconv/memory_hooks.h>
#include <mapconv/print.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {

int blocks_taken = 0;
bool refuse_next = false;

void* counting_allocate(std::size_t size) {
  if (refuse_next) {
    refuse_next = false;
    return nullptr;
  }
  ++blocks_taken;
  return std::malloc(size);
}

// Library diagnostics, prefixed so the host's log tells them apart.
int host_print(const char* format, ...) {
  std::fputs("[mapconv] ", stdout);
  std::va_list arguments;
  va_start(arguments, format);
  const int length = std::vprintf(format, arguments);
  va_end(arguments);
  return length;
}

}  // namespace

int main(int argc, char** argv) {
  const char* path = argc > 1 ? argv[1] : "heights.dat";
  // Set before any other call into the library, and left alone afterwards.
  memory_hooks.allocate = counting_allocate;
  u_print = host_print;

  DataFileContents contents;
  data_file_contents_clear(&contents);
  ErrorCode code = read_data_file(path, &contents);
  std::printf("read: %s, %d block(s) taken\n", u_error_string(code), blocks_taken);
  data_file_contents_release(&contents);

  refuse_next = true;
  code = read_data_file(path, &contents);
  // The names come from one table: u_error_string also covers 0 and codes
  // outside the catalogue; error_names is indexed by the code directly.
  std::printf("read without memory: %s (code %d, %s)\n", u_error_string(code), code, error_names[code]);

  code = read_data_file("no such file.dat", &contents);
  std::printf("read a missing file: %s\n", u_error_string(code));
  u_print("diagnostics go wherever the host sends them: %d\n", 42);
  return code == ERR_CANT_OPEN_FILE ? 0 : 1;
}
