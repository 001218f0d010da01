// The comparison of two surface maps of the same grid (XDT files, data
// files and maps of kinds read by a library of their own, such as X3P, in
// any combination), read side by side in pieces: does a conversion keep
// every height?
#pragma once

#include <mapconv/api.h>
#include <mapconv/errors.h>

#include <cstddef>
#include <cstdint>

// Which rule a comparison broke first, or MAPS_AGREE.
enum MapComparisonVerdict : std::int32_t {
  MAPS_AGREE = 0,
  MAPS_GRIDS_DIFFER = 1,     // columns, rows or lateral resolution
  MAPS_NO_DATA_DIFFERS = 2,  // a point has data in one map only
  MAPS_HEIGHTS_DIFFER = 3,   // a difference beyond the tolerance
};

// The outcome. Differences are second minus first.
struct MapComparison {
  std::int32_t verdict;      // a MapComparisonVerdict
  std::int32_t failed_file;  // 1 or 2 when a read failed, else 0
  bool data_file[2];         // each map's kind: data file, or XDT file
  std::int32_t columns[2];
  std::int32_t rows[2];
  float lateral_resolution[2];
  std::uint64_t points_in_both;  // points with data in both maps
  std::uint64_t only_in_first;   // data in the first map only
  std::uint64_t only_in_second;  // data in the second map only
  std::uint64_t first_mismatch;  // index of the first point breaking a rule
  double largest_difference;     // metres, over points_in_both; NaN if none
  std::uint64_t largest_at;      // its point index
  // The largest difference in phase counts of the second map (NaN unless it
  // is a data file), and the tolerance in counts of the data file of a mixed
  // pair (0 for two maps of one kind: they must agree exactly).
  double largest_difference_counts;
  double tolerance_counts;
  // The field of failed_file's header that gives its counts no height (a
  // HeightScaleFault), or 0, and why in words (describe_height_scale_fault).
  std::int32_t height_scale_fault;
  char height_scale_text[80];
  std::int32_t kind[2];  // each map's FileKind (data_file[k] is kind[k] == FILE_KIND_DATA_FILE)
};

// A map read through another library (an X3P file): heights in metres a
// piece at a time, NaN where a point has no data. Compared as an XDT file
// is, height for height, and against a data file within its tolerance.
struct MapHeightSource {
  void* context;  // the opener's; given back to each function
  std::int32_t columns;
  std::int32_t rows;
  float lateral_resolution;    // between columns
  float lateral_resolution_y;  // between rows: a map whose two differ matches no XDT or data file
  // The next heights, at most capacity, fewer only at the grid's end.
  ErrorCode (*read)(void* context, double* metres, std::size_t capacity, std::size_t* count);
  // After the last point: 0 when the map ended where its grid does and is sound.
  ErrorCode (*finish)(void* context);
  void (*close)(void* context);  // always called once after a successful open
};

// Opens the files of one kind (a FileKind the core tells but does not read)
// as height sources; the library that reads the kind provides it.
struct MapSourceOpener {
  std::int32_t kind;
  // Sets *source and returns 0, or returns the read failure's code (having
  // printed why through u_print) with nothing left open.
  ErrorCode (*open)(const char* path, MapHeightSource* source);
};

// Compares the maps at first and second (library path convention), each an
// XDT file (read unswapped) or a data file by its magic number. Holds a few
// MiB whatever the size. A mixed pair agrees when every height of the XDT
// file, times the data file's counts per metre, lies within
// tolerance_counts (half a count, widened by the rounding of a double at
// that count) of the stored count; two maps of one kind must hold the same
// heights bit for bit in value. Returns 0 (the verdict in *result), or the
// code of a read failure with failed_file set: ERR_INVALID_PARAM,
// ERR_CANT_OPEN_FILE, ERR_CANT_READ_FILE (errno tells why), ERR_PREMATURE_EOF,
// ERR_NOT_A_DATA_FILE,
// ERR_PARAM_OUT_OF_RANGE (an XDT grid or resolution out of range, or a data
// file whose counts have no height: height_scale_fault names the field) or
// ERR_NO_MEM. A file of a kind the core does not read (an X3P file) gives
// ERR_NOT_IMPLEMENTED.
MAPCONV_API ErrorCode compare_map_files(const char* first, const char* second, MapComparison* result);

// As compare_map_files, files of opener's kind read through it (opener may
// be null): the same rules, whatever reads the heights. Its read failures
// come back as they are.
MAPCONV_API ErrorCode compare_map_files_through(const char* first, const char* second,
                                                const MapSourceOpener* opener, MapComparison* result);
