#include <mapconv/print.h>

#include <csignal>
#include <cstdarg>
#include <cstdio>

#include "programs/mapconv/run_flow.h"
#include "programs/signal_cleanup.h"
#include "programs/wide_arguments.h"

namespace {

// Many runs of a batch often share one log. Each report goes out whole, so
// that their lines never mix: stderr is buffered, everything printed before
// and including the "Converting" line leaves in one write, the rest of the
// run's report in one more (run_mapconv and exit flush it). A report longer
// than the buffer (names near the system's length limits, escaped) still
// leaves whole and in order, only in more writes.
char report_buffer[1 << 18];

// The library's diagnostics into the same buffer: u_print_stderr would flush
// after each line.
int print_into_report(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  return std::ferror(stderr) ? EOF : 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stderr, report_buffer, _IOFBF, sizeof report_buffer);
  u_print = print_into_report;
  // Past a file-size limit a write then fails with EFBIG and is reported,
  // instead of the signal ending the run without a word.
  std::signal(SIGXFSZ, SIG_IGN);
  signal_cleanup::install();
  if (!wide_arguments::terminate(argc, argv)) {
    std::fputs("mapconv: out of memory\n", stderr);
    return EXIT_OTHER_FAILURE;
  }
  return run_mapconv(argc, argv);
}
