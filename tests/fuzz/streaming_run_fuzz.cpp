// Differential fuzz target: every input goes through mapconv's streaming run,
// in small pieces and in its usual ones, and through the whole grid read
// into memory and handed to a conversion session. Status, standard
// error and output bytes must agree exactly.
#include <mapconv/conversion.h>
#include <mapconv/errors.h>
#include <mapconv/memory_hooks.h>
#include <mapconv/xdt_reader.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "fuzz_support.h"
#include "programs/mapconv/run_flow.h"

namespace {

std::string g_input;
std::string g_output;
int g_capture = -1;

struct Outcome {
  int status = -1;
  std::string err;
  std::string output;  // the output file's bytes; "absent" when there is none
};

void report(const char* in, const char* out, const char* reason, ErrorCode code) {
  std::fprintf(stderr, "Unable to convert \"%s\" to \"%s\" because...\n", in, out);
  if (reason != nullptr) std::fprintf(stderr, "\tthere was an error %s\n", reason);
  std::fprintf(stderr, "\t%s\n", error_names[code]);
}

// The conversion as a whole grid: read into memory, then handed to a
// conversion session in one piece.
int whole_map_run(const char* in, const char* out) {
  std::fprintf(stderr, "Converting \"%s\" to \"%s\"\n", in, out);
  std::int32_t columns = 0;
  std::int32_t rows = 0;
  float* heights = nullptr;
  float resolution = 0.0f;
  ErrorCode code = read_xdt_file(in, &columns, &rows, &heights, &resolution, false);
  if (code != NO_ERROR) {
    report(in, out, ("reading the file \"" + std::string(in) + "\"").c_str(), code);
    return 4;
  }
  ConversionSession session;
  code = conversion_session_open(out, 0, columns, rows, resolution, &session);
  if (code == NO_ERROR) {
    code = conversion_session_write(&session, heights,
                                    static_cast<std::size_t>(columns) * static_cast<std::size_t>(rows));
  }
  memory_hooks.release(heights);
  if (session.unrepresentable > 0) {
    std::fprintf(stderr,
                 "Warning: %d heights could not be represented as phase counts and were written as no data\n",
                 static_cast<int>(session.unrepresentable));
  }
  if (code == NO_ERROR) {
    code = conversion_session_commit(&session);
  } else {
    conversion_session_discard(&session);
  }
  if (code != NO_ERROR) {
    report(in, out, ("writing to the file \"" + std::string(out) + "\"").c_str(), code);
    return 5;
  }
  std::fprintf(stderr, "Conversion from \"%s\" to \"%s\" successful\n", in, out);
  return 0;
}

// Runs one conversion with fd 2 sent to the capture file.
template <typename Run>
Outcome capture(Run run) {
  std::error_code error;
  std::filesystem::remove(g_output, error);
  fuzz::check(ftruncate(g_capture, 0) == 0 && lseek(g_capture, 0, SEEK_SET) == 0, "capture reset");
  std::fflush(stderr);
  const int saved = dup(2);
  fuzz::check(saved >= 0 && dup2(g_capture, 2) == 2, "capture redirect");
  Outcome outcome;
  outcome.status = run();
  std::fflush(stderr);
  fuzz::check(dup2(saved, 2) == 2, "capture restore");
  close(saved);
  const off_t length = lseek(g_capture, 0, SEEK_CUR);
  outcome.err.resize(static_cast<std::size_t>(length));
  fuzz::check(pread(g_capture, outcome.err.data(), outcome.err.size(), 0) == length, "capture read");
  std::ifstream file(g_output, std::ios::binary);
  outcome.output = file ? std::string(std::istreambuf_iterator<char>(file), {}) : "absent";
  return outcome;
}

Outcome streaming_run(std::size_t piece_points) {
  return capture([piece_points] {
    char program[] = "mapconv";
    char* argv[] = {program, g_input.data(), g_output.data(), nullptr};
    return run_mapconv_in_pieces(3, argv, piece_points);
  });
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quiet_stderr("streaming_run_fuzz");
  const std::string folder = fuzz::scratch_folder();
  g_input = folder + "/in.xdt";
  g_output = folder + "/out.dat";
  g_capture = memfd_create("fuzz-stderr", MFD_CLOEXEC);
  fuzz::check(g_capture >= 0, "memfd_create");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::count_input();
  fuzz::write_file(g_input, {data, size});
  const Outcome whole = capture([] { return whole_map_run(g_input.c_str(), g_output.c_str()); });
  // A piece length of a few points puts piece ends inside rows and records.
  for (const std::size_t piece : {std::size_t{1} + size % 7, std::size_t{65536}}) {
    const Outcome streamed = streaming_run(piece);
    fuzz::check(streamed.status == whole.status, "status differs from the whole-map run");
    fuzz::check(streamed.err == whole.err, "standard error differs from the whole-map run");
    fuzz::check(streamed.output == whole.output, "output differs from the whole-map run");
  }
  return 0;
}
