#include <csignal>
#include <cstdio>

#include "programs/mapconv/run_flow.h"
#include "programs/signal_cleanup.h"
#include "programs/wide_arguments.h"

int main(int argc, char** argv) {
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
