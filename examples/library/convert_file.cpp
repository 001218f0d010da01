// Converts an XDT file into a data file exactly as mapconv does, and tells
// the failures apart: which side failed, the system's reason, and an output
// name that is already taken.
#include <mapconv/conversion.h>
#include <mapconv/errors.h>
#include <mapconv/output_file.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: convert_file INPUT OUTPUT [--replace]\n");
    return 2;
  }
  const char* input = argv[1];
  const char* output = argv[2];

  ConversionOptions options{};
  options.flags = argc > 3 && std::string_view(argv[3]) == "--replace" ? OUTPUT_REPLACE : 0u;
  options.piece_points = 0;  // the library's own piece size

  ConversionResult result{};
  const ErrorCode code = convert_xdt_file(input, output, &options, &result);
  // errno is only meaningful straight after the call, before anything else
  // that might change it.
  const int reason = errno;
  if (code == NO_ERROR) {
    std::printf("%s: written, %zu heights beyond the phase range\n", output, result.unrepresentable);
    return 0;
  }
  if (result.read_failure != NO_ERROR) {
    // The reader has already explained the problem through u_print (on
    // standard error unless the host set another writer).
    std::fprintf(stderr, "%s: not read: %s", input, u_error_string(result.read_failure));
    if (result.read_failure == ERR_CANT_OPEN_FILE || result.read_failure == ERR_CANT_READ_FILE) {
      std::fprintf(stderr, " (%s)", std::strerror(reason));
    }
    std::fprintf(stderr, "\n");
  } else if (result.setup_failure != NO_ERROR) {
    std::fprintf(stderr, "%s: %s\n", input, u_error_string(result.setup_failure));
  } else if (result.name_taken) {
    std::fprintf(stderr, "%s: already exists (give --replace to replace it)\n", output);
  } else {
    std::fprintf(stderr, "%s: not written: %s (%s)\n", output, u_error_string(result.write_failure),
                 std::strerror(reason));
  }
  return 1;
}
