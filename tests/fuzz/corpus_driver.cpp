// Runs a fuzz target over saved inputs without libFuzzer, so every build
// replays the corpus as an ordinary test. Arguments: files or folders.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));

namespace {

bool collect(const std::filesystem::path& path, std::vector<std::filesystem::path>* files) {
  std::error_code error;
  if (std::filesystem::is_regular_file(path, error)) {
    files->push_back(path);
    return true;
  }
  if (!std::filesystem::is_directory(path, error)) return false;
  std::vector<std::filesystem::path> found;
  for (const auto& entry : std::filesystem::directory_iterator(path, error)) {
    if (entry.is_regular_file(error)) found.push_back(entry.path());
  }
  std::sort(found.begin(), found.end());
  files->insert(files->end(), found.begin(), found.end());
  return !error;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::filesystem::path> files;
  for (int i = 1; i < argc; ++i) {
    if (!collect(argv[i], &files)) {
      std::fprintf(stderr, "%s: cannot read %s\n", argv[0], argv[i]);
      return 2;
    }
  }
  if (files.empty()) {
    std::fprintf(stderr, "%s: no inputs given\n", argv[0]);
    return 2;
  }
  // Everything is read first: the target may silence the standard error stream.
  std::vector<std::vector<char>> inputs;
  for (const auto& file : files) {
    std::error_code error;
    const auto size = std::filesystem::file_size(file, error);
    std::vector<char> bytes(error ? 0 : size);
    std::ifstream in(file, std::ios::binary);
    if (error || !in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()))) {
      std::fprintf(stderr, "%s: cannot read %s\n", argv[0], file.c_str());
      return 2;
    }
    inputs.push_back(std::move(bytes));
  }
  if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
  for (const auto& bytes : inputs) {
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  }
  return 0;
}
