// Reading one of mapinfo's inputs whole: its kind, told by the library, then
// its heights with what a summary and a picture need (an X3P file through
// the X3P library, where mapinfo is built with it); the comparison through
// the readers mapinfo has; and the words for a read that failed.
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
// the readers said (said) and the system's reason (errno right after it);
// paths are the two files as the readers were given them.
Failure comparison_failure(ErrorCode code, const MapComparison& result, int reason, const std::string& said,
                           const std::string (&paths)[2]);

// compare_map_files, X3P files read through the X3P library where mapinfo
// has it (without it they fail with ERR_NOT_IMPLEMENTED).
ErrorCode compare_maps(const char* first, const char* second, MapComparison* result);

// The name of a FileKind in a comparison's lines: "data file" and the like.
const char* kind_name(std::int32_t kind);

// Returns heights through the hooks they came from.
struct HeightsRelease {
  void operator()(void* heights) const noexcept { memory_hooks.release(heights); }
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
  // An X3P file's: its heights in metres, as floats where the file stores
  // float32 (every value kept, 4 bytes a point), else as doubles.
  std::unique_ptr<double[], HeightsRelease> x3p_heights;
  std::unique_ptr<float[], HeightsRelease> x3p_float_heights;
  bool x3p = false;
  X3pDetails x3p_details{};
  std::string x3p_text[7];  // Record2's text, which x3p_details views

  // The summary of this map of path; parameters may be null.
  MapSummary summary(const char* path, const HeightStatistics& heights,
                     const HeightParameters* parameters) const;

  LoadedMap() { data_file_contents_clear(&contents); }
  ~LoadedMap() { data_file_contents_release(&contents); }
  LoadedMap(const LoadedMap&) = delete;
  LoadedMap& operator=(const LoadedMap&) = delete;
};

// Reads the regular file at path into *map as the kind its first bytes
// tell. A file far too short for the XDT grid its first bytes would
// describe is turned away before the XDT reader allocates that grid.
bool load_map(const char* path, LoadedMap* map, Failure* failure);
