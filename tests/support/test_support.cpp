#include "test_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>

namespace test {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "mapconv-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Tests may make folders read-only; give the owner access back first.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ignored);
    }
  }
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add,
                               ignored);
  std::filesystem::remove_all(path_, ignored);
}

void write_file(const std::string& path, std::span<const unsigned char> bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

bool write_to_pipe(const std::string& path, std::span<const unsigned char> bytes) {
  static const bool ignored = signal(SIGPIPE, SIG_IGN) != SIG_ERR;
  const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (!ignored || fd < 0) return false;
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t written = write(fd, bytes.data() + done, bytes.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) break;
    done += static_cast<std::size_t>(written);
  }
  close(fd);
  return done == bytes.size();
}

Bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::set<std::string> listing(const std::string& folder, Depth depth) {
  std::set<std::string> names;
  if (depth == Depth::whole_tree) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
      names.insert(std::filesystem::relative(entry.path(), folder).string());
    }
  } else {
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      names.insert(entry.path().filename().string());
    }
  }
  return names;
}

std::string mapconv_message(const std::string& key, const std::string& in, const std::string& out) {
  static const std::map<std::string, std::string> messages = [] {
    std::map<std::string, std::string> table;
    std::ifstream file(MAPCONV_MESSAGES_FILE);
    for (std::string line; std::getline(file, line);) {
      const std::size_t tab = line.find('\t');
      if (line.empty() || line[0] == '#' || tab == std::string::npos) continue;
      table[line.substr(0, tab)] = replace_all(replace_all(line.substr(tab + 1), "\\n", "\n"), "\\t", "\t");
    }
    return table;
  }();
  const auto found = messages.find(key);
  if (found == messages.end()) throw std::runtime_error("no message " + key + " in " MAPCONV_MESSAGES_FILE);
  return replace_all(replace_all(found->second, "{in}", in), "{out}", out);
}

std::string replace_all(std::string text, const std::string& token, const std::string& value) {
  for (std::size_t at = text.find(token); at != std::string::npos; at = text.find(token, at + value.size())) {
    text.replace(at, token.size(), value);
  }
  return text;
}

StderrCapture::StderrCapture() {
  std::fflush(stderr);
  saved_fd_ = dup(2);
  const int file = open(dir_.file("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (saved_fd_ < 0 || file < 0 || dup2(file, 2) < 0) throw std::runtime_error("cannot capture stderr");
  close(file);
}

StderrCapture::~StderrCapture() {
  std::fflush(stderr);
  dup2(saved_fd_, 2);
  close(saved_fd_);
}

std::string StderrCapture::text() const {
  std::fflush(stderr);
  const Bytes bytes = read_file(dir_.file("stderr"));
  return std::string(bytes.begin(), bytes.end());
}

namespace {

void put(Bytes& out, const void* value, std::size_t width, bool big_endian) {
  const auto* bytes = static_cast<const unsigned char*>(value);
  for (std::size_t i = 0; i < width; ++i) out.push_back(bytes[big_endian ? width - 1 - i : i]);
}

}  // namespace

Bytes xdt_bytes(std::uint16_t columns, std::uint16_t rows, std::span<const XdtPoint> points,
                bool big_endian) {
  Bytes out;
  out.reserve(4 + points.size() * 12);
  put(out, &columns, 2, big_endian);
  put(out, &rows, 2, big_endian);
  for (const XdtPoint& point : points) {
    put(out, &point.x, 4, big_endian);
    put(out, &point.y, 4, big_endian);
    put(out, &point.z, 4, big_endian);
  }
  return out;
}

std::vector<XdtPoint> grid(int columns, int rows, float spacing,
                           const std::function<float(int row, int column)>& height) {
  std::vector<XdtPoint> points;
  points.reserve(static_cast<std::size_t>(columns) * static_cast<std::size_t>(rows));
  for (int r = 0; r < rows; ++r) {
    for (int k = 0; k < columns; ++k) {
      points.push_back({static_cast<float>(k) * spacing, static_cast<float>(r) * spacing, height(r, k)});
    }
  }
  return points;
}

namespace {

std::size_t g_fail_at = 0;
std::size_t g_allocations = 0;
std::size_t g_live = 0;
std::size_t g_last_request = 0;
std::size_t g_largest_request = 0;

bool should_fail() { return g_fail_at != 0 && g_allocations == g_fail_at; }

void* counting_allocate(std::size_t size) {
  ++g_allocations;
  g_last_request = size;
  g_largest_request = std::max(g_largest_request, size);
  if (should_fail()) return nullptr;
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block != nullptr) ++g_live;
  return block;
}

void* counting_reallocate(void* block, std::size_t size) {
  ++g_allocations;
  g_last_request = size;
  g_largest_request = std::max(g_largest_request, size);
  if (should_fail()) return nullptr;
  void* moved = std::realloc(block, size == 0 ? 1 : size);
  if (block == nullptr && moved != nullptr) ++g_live;
  return moved;
}

void* counting_allocate_zeroed(std::size_t count, std::size_t size) {
  ++g_allocations;
  g_last_request = count * size;
  if (should_fail()) return nullptr;
  void* block = std::calloc(count == 0 ? 1 : count, size == 0 ? 1 : size);
  if (block != nullptr) ++g_live;
  return block;
}

void counting_release(void* block) {
  if (block == nullptr) return;
  --g_live;
  std::free(block);
}

}  // namespace

CountingHooks::CountingHooks(std::size_t fail_at) : saved_(memory_hooks) {
  g_fail_at = fail_at;
  g_allocations = 0;
  g_live = 0;
  g_last_request = 0;
  g_largest_request = 0;
  memory_hooks = {counting_allocate, counting_reallocate, counting_allocate_zeroed, counting_release};
}

CountingHooks::~CountingHooks() { memory_hooks = saved_; }

std::size_t CountingHooks::allocations() const { return g_allocations; }
std::size_t CountingHooks::live_blocks() const { return g_live; }
std::size_t CountingHooks::last_request() const { return g_last_request; }
std::size_t CountingHooks::largest_request() const { return g_largest_request; }

int descriptor_of(const std::string& path) {
  int found = -1;
  for (const OpenFile& file : open_files_of(getpid()).value_or(std::vector<OpenFile>{})) {
    if (file.target == path) found = std::max(found, file.descriptor);
  }
  return found;
}

std::optional<std::vector<OpenFile>> open_files_of(int pid) {
  std::error_code error;
  std::filesystem::directory_iterator entry("/proc/" + std::to_string(pid) + "/fd", error);
  if (error) return std::nullopt;
  std::vector<OpenFile> files;
  for (; entry != std::filesystem::directory_iterator(); entry.increment(error)) {
    if (error) break;  // the process ended while its list was read
    std::error_code closed;
    const std::filesystem::path target = std::filesystem::read_symlink(entry->path(), closed);
    if (!closed) files.push_back({std::stoi(entry->path().filename().string()), target.string()});
  }
  return files;
}

void fail_reads_after(int fd, std::size_t good_bytes) {
  // A readable page with nothing mapped after it; it stays for the process.
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  void* area = mmap(nullptr, 2 * page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (area == MAP_FAILED || good_bytes > page) throw std::runtime_error("cannot map the page");
  munmap(static_cast<char*>(area) + page, page);
  const int memory = open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
  const auto end = reinterpret_cast<std::uintptr_t>(area) + page;
  if (memory < 0 || lseek(memory, static_cast<off_t>(end - good_bytes), SEEK_SET) < 0 ||
      dup2(memory, fd) < 0) {
    throw std::runtime_error("cannot open this process's memory");
  }
  close(memory);
}

std::string wide_path(std::u16string_view units, bool reversed_mark) {
  std::string wide = reversed_mark ? "\xFE\xFF" : "\xFF\xFE";
  for (const char16_t unit : units) {
    wide.push_back(static_cast<char>(unit & 0xFF));
    wide.push_back(static_cast<char>(unit >> 8));
  }
  wide.append(2, '\0');
  return wide;
}

std::u16string widen(std::string_view latin1) {
  std::u16string units;
  for (const char byte : latin1) units.push_back(static_cast<unsigned char>(byte));
  return units;
}

LoopDevice::LoopDevice(const std::string& image, const Bytes& content, const std::string& node_path) {
  Bytes bytes = content;
  bytes.resize(65536);
  write_file(image, bytes);
  std::FILE* pipe = popen(("losetup -f --show '" + image + "' 2>/dev/null").c_str(), "r");
  if (pipe == nullptr) return;
  char name[64] = {};
  if (std::fgets(name, sizeof name, pipe) == nullptr) name[0] = '\0';
  pclose(pipe);
  path = std::string(name, std::strcspn(name, "\n"));
  struct stat info {};
  if (path.empty() || stat(path.c_str(), &info) != 0 || !S_ISBLK(info.st_mode)) return;
  if (mknod(node_path.c_str(), S_IFBLK | 0600, info.st_rdev) == 0) node = node_path;
}

LoopDevice::~LoopDevice() {
  if (path.empty()) return;
  [[maybe_unused]] const int detached = std::system(("losetup -d " + path + " 2>/dev/null").c_str());
}

Bytes LoopDevice::first_bytes(std::size_t size) const {
  Bytes bytes = read_file(path);
  bytes.resize(std::min(size, bytes.size()));
  return bytes;
}

}  // namespace test
