#include <csignal>

#include "programs/mapconv/run_flow.h"
#include "programs/signal_cleanup.h"

int main(int argc, char** argv) {
  // Past a file-size limit a write then fails with EFBIG and is reported,
  // instead of the signal ending the run without a word.
  std::signal(SIGXFSZ, SIG_IGN);
  signal_cleanup::install();
  return run_mapconv(argc, argv);
}
