// Reading one of mapinfo's inputs whole: its kind, told by the library, then
// its heights with what a summary and a picture need; and the words for a
// read that failed.
#pragma once

#include <mapconv/data_file_reader.h>
#include <mapconv/file_kind.h>
#include <mapconv/map_compare.h>
#include <mapconv/memory_hooks.h>
#include <mapconv/print.h>

#include <memory>
#include <mutex>
#include <string>

#include "programs/mapinfo/map_summary.h"
#include "programs/mapinfo/mapinfo_failure.h"

// The XDT reader prints what is wrong with a grid through u_print. While
// one of these lives, those lines are kept instead, to be folded into the
// one message mapinfo gives for the file. A comparison's read-ahead thread
// may print too, hence the lock.
class ReaderWords {
 public:
  ReaderWords();
  ~ReaderWords() { u_print = previous_; }
  ReaderWords(const ReaderWords&) = delete;
  ReaderWords& operator=(const ReaderWords&) = delete;

  // The lines so far, joined by "; " without their line ends.
  static std::string text();

 private:
  static int keep(const char* format, ...) MAPCONV_PRINTF(1, 2);

  static inline std::mutex guard;
  static inline std::string kept;
  PrintFunction previous_;
};

// Why a read of a file of the given kind failed: the library's words, with
// what the reader said (said) and the system's reason.
std::string reading_reason(ErrorCode code, FileKind kind, int reason, const std::string& said = {});

// Why compare_map_files failed with code, for the file result names: what
// the readers said (said) and the system's reason (errno right after it).
Failure comparison_failure(ErrorCode code, const MapComparison& result, int reason, const std::string& said);

// Returns the XDT reader's heights through the hooks they came from.
struct HeightsRelease {
  void operator()(float* heights) const noexcept { memory_hooks.release(heights); }
};

// A file read into memory, with what its summary and picture need.
struct LoadedMap {
  DataFileContents contents{};
  std::unique_ptr<float[], HeightsRelease> xdt_heights;
  DataFileSettings settings{};
  HeightGrid grid{};
  float lateral_resolution = 0.0f;
  bool data_file = false;
  char heights_unknown[80] = {};  // why a data file's counts have no heights, or empty

  LoadedMap() { data_file_contents_clear(&contents); }
  ~LoadedMap() { data_file_contents_release(&contents); }
  LoadedMap(const LoadedMap&) = delete;
  LoadedMap& operator=(const LoadedMap&) = delete;
};

// Reads the regular file at path into *map as the kind its first bytes
// tell. A file far too short for the XDT grid its first bytes would
// describe is turned away before the XDT reader allocates that grid.
bool load_map(const char* path, LoadedMap* map, Failure* failure);
