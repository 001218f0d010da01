// Fuzz target: a whole mapconv run on an arbitrary input file, into a fresh
// folder. Any bytes either convert (status 0, a file of the right length) or
// fail to read (status 4, no output file); nothing else may happen.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "fuzz_support.h"
#include "programs/mapconv/run_flow.h"

namespace {

std::string g_input;
std::string g_output;

std::uint64_t grid_points(const std::uint8_t* data) {
  return std::uint64_t{static_cast<std::uint16_t>(data[0] | (data[1] << 8))} *
         static_cast<std::uint16_t>(data[2] | (data[3] << 8));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quiet_stderr("run_flow_fuzz");
  const std::string folder = fuzz::scratch_folder();
  g_input = folder + "/in.xdt";
  g_output = folder + "/out.dat";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::count_input();
  fuzz::write_file(g_input, {data, size});
  std::error_code error;
  std::filesystem::remove(g_output, error);
  char program[] = "mapconv";
  char* argv[] = {program, g_input.data(), g_output.data(), nullptr};
  const int status = run_mapconv(3, argv);
  fuzz::check(status == 0 || status == 4, "status other than 0 or 4");
  const bool written = std::filesystem::exists(g_output, error);
  if (status == 4) {
    fuzz::check(!written, "output written by a failed read");
    return 0;
  }
  fuzz::check(size >= 4 && written, "success without output");
  fuzz::check(std::filesystem::file_size(g_output, error) == 834 + 4 * grid_points(data), "output length");
  return 0;
}
