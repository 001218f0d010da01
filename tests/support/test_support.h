// Helpers shared by the test suites: temporary folders, XDT files written
// from arrays, and allocation hooks that fail on demand.
#pragma once

#include <mapconv/memory_hooks.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace test {

// A fresh folder under the system's temporary folder, removed with its
// contents when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

using Bytes = std::vector<unsigned char>;

void write_file(const std::string& path, std::span<const unsigned char> bytes);
Bytes read_file(const std::string& path);

// Writes bytes into a FIFO for a reader under test, false if it could not.
// SIGPIPE is ignored from the first call on: a reader that stops early makes
// the write fail (EPIPE), which the test reports, instead of ending the
// whole test program.
bool write_to_pipe(const std::string& path, std::span<const unsigned char> bytes);

// The names in folder; with Depth::whole_tree, those below it too, as paths
// relative to folder.
enum class Depth { folder, whole_tree };
std::set<std::string> listing(const std::string& folder, Depth depth = Depth::folder);

// text with every token replaced by value (a value holding the token is not
// expanded again).
std::string replace_all(std::string text, const std::string& token, const std::string& value);

// A piece of mapconv's report, from the data file mapconv_messages.txt,
// with {in} and {out} filled in.
std::string mapconv_message(const std::string& key, const std::string& in, const std::string& out);

// A loop device over a 64 KiB image file that starts with content, and a
// second block-device node of it at node; detached at the end. node is
// empty when the system gives no loop device (it needs root and losetup).
struct LoopDevice {
  std::string path;  // the system's own node
  std::string node;
  LoopDevice(const std::string& image, const Bytes& content, const std::string& node_path);
  ~LoopDevice();
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;
  Bytes first_bytes(std::size_t size) const;
};

// A wide path as the library takes it: a byte-order mark (FF FE, or FE FF
// when reversed_mark), the units little-endian, then the zero unit that
// ends it. widen gives the units of an ASCII (or Latin-1) name.
std::string wide_path(std::u16string_view units, bool reversed_mark = false);
std::u16string widen(std::string_view latin1);

struct XdtPoint {
  float x;
  float y;
  float z;
};

// The bytes of an XDT file: the two counts, then the points as given (their
// number need not match the counts, so truncated files can be made). With
// big_endian, every number is stored most significant byte first.
Bytes xdt_bytes(std::uint16_t columns, std::uint16_t rows, std::span<const XdtPoint> points,
                bool big_endian = false);

// columns * rows points row by row, x = column * spacing, y = row * spacing,
// z = height(row, column).
std::vector<XdtPoint> grid(int columns, int rows, float spacing,
                           const std::function<float(int row, int column)>& height);

// Sends the process's standard error stream (fd 2 and stderr) to a file for
// its lifetime; text() gives what was written so far.
class StderrCapture {
 public:
  StderrCapture();
  ~StderrCapture();
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;
  std::string text() const;

 private:
  TempDir dir_;
  int saved_fd_ = -1;
};

// Replaces memory_hooks for its lifetime. Counts allocations and the blocks
// still held, and fails the allocation whose 1-based number is fail_at (0:
// none fails).
class CountingHooks {
 public:
  explicit CountingHooks(std::size_t fail_at = 0);
  ~CountingHooks();
  CountingHooks(const CountingHooks&) = delete;
  CountingHooks& operator=(const CountingHooks&) = delete;

  std::size_t allocations() const;   // attempts, failed ones included
  std::size_t live_blocks() const;   // obtained and not yet released
  std::size_t last_request() const;  // size of the latest attempt, in bytes
  std::size_t largest_request() const;

 private:
  MemoryHooks saved_;
};

// The highest descriptor of this process open on path, or -1.
int descriptor_of(const std::string& path);

// What process pid has open: descriptor number and the path it names, as far
// as they could be read. Descriptors opened or closed while the list is read
// (as under valgrind, which opens files of its own) are left out or kept
// whole, never a failure. nullopt once the process is gone.
struct OpenFile {
  int descriptor;
  std::string target;
};
std::optional<std::vector<OpenFile>> open_files_of(int pid);

// Points the open descriptor fd at this process's memory, so that its next
// reads give good_bytes bytes (at most a page) and then fail with EIO, as a
// failing disk would.
void fail_reads_after(int fd, std::size_t good_bytes);

}  // namespace test
