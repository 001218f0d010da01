// A program outside the tree that uses the installed library: it converts an
// XDT grid through the library's conversion session, and the data file must
// be byte for byte the file mapconv writes for the same grid.
#include <mapconv/conversion.h>
#include <mapconv/errors.h>
#include <mapconv/output_file.h>
#include <mapconv/version.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: consumer input.xdt output.dat (mapconv library %s)\n", MAPCONV_VERSION);
    return 2;
  }
  const ConversionOptions options{OUTPUT_REPLACE, 0, nullptr};
  ConversionResult result;
  const ErrorCode code = convert_xdt_file(argv[1], argv[2], &options, &result);
  if (code != NO_ERROR) {
    const char* failed = result.read_failure != NO_ERROR ? argv[1] : argv[2];
    std::fprintf(stderr, "%s: %s\n", failed, u_error_string(code));
    return 1;
  }
  std::printf("%s: written (%zu heights beyond the phase range), library %s\n", argv[2],
              result.unrepresentable, MAPCONV_VERSION);
  return 0;
}
