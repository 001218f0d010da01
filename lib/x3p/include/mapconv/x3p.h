// X3P surface files (ISO 25178-72): a ZIP container of main.xml, the point
// data (bindata/data.bin), an optional bit array of valid points and the
// MD5 sum of main.xml. Read and written a piece at a time, so memory does
// not grow with the grid. A separate library (mapconv::x3p, pkg-config
// mapconv-x3p) built where libarchive, libxml2 and OpenSSL's libcrypto are
// found; the core library does not need it. Diagnostics go through u_print,
// one line each, naming the file. Linux only.
#pragma once

#include <mapconv/api.h>
#include <mapconv/errors.h>
#include <mapconv/interrupt.h>
#include <mapconv/map_compare.h>

#include <cstddef>
#include <cstdint>

struct stat;

// The stored type of the heights (CZ's DataType).
enum X3pDataType : std::int32_t {
  X3P_INT16 = 1,    // "I"
  X3P_INT32 = 2,    // "L"
  X3P_FLOAT32 = 3,  // "F"
  X3P_FLOAT64 = 4,  // "D"
};

// The type's letter as CZ's DataType writes it ("I", "L", "F", "D") and its
// name for people ("int16", "int32", "float32", "float64"); "?" and
// "unknown" for a value outside the enumeration.
MAPCONV_API const char* x3p_data_type_letter(X3pDataType type);
MAPCONV_API const char* x3p_data_type_name(X3pDataType type);

inline constexpr std::size_t X3P_TEXT_SIZE = 256;
inline constexpr std::size_t X3P_COMMENT_SIZE = 1024;

// Record2, text as the file has it (UTF-8, NUL-ended, cut to fit). present
// is false when the file has none; then every text is empty.
struct X3pMetadata {
  bool present;
  char date[X3P_TEXT_SIZE];
  char creator[X3P_TEXT_SIZE];
  char manufacturer[X3P_TEXT_SIZE];
  char model[X3P_TEXT_SIZE];
  char serial[X3P_TEXT_SIZE];
  char version[X3P_TEXT_SIZE];
  char calibration_date[X3P_TEXT_SIZE];
  char probing_type[X3P_TEXT_SIZE];
  char probing_identification[X3P_TEXT_SIZE];
  char comment[X3P_COMMENT_SIZE];
};

// What main.xml says of a surface.
struct X3pSurface {
  std::uint64_t columns;  // SizeX
  std::uint64_t rows;     // SizeY
  X3pDataType data_type;
  double x_increment;  // metres between columns
  double y_increment;  // metres between rows
  double x_offset;
  double y_offset;
  // Integer data: height = stored * z_increment + z_offset (1 and 0 when
  // main.xml gives none). Floating-point data is in metres: 1 and 0.
  double z_increment;
  double z_offset;
  bool inline_data;       // a DataList in main.xml rather than a DataLink
  bool has_valid_points;  // a bit array of valid points (ValidPointsLink)
  char revision[X3P_TEXT_SIZE];
  X3pMetadata metadata;
};

// An X3P file being read. The caller reads surface and points and never
// writes a field; state belongs to the functions below.
struct X3pReaderState;
struct X3pReader {
  X3pSurface surface;
  std::uint64_t points;   // columns * rows
  X3pReaderState* state;  // through memory_hooks; null when closed
};

// Every field zero, nothing owned.
MAPCONV_API void x3p_reader_clear(X3pReader* reader);

// Opens the X3P file at path (library path convention; a regular file, as
// a ZIP container is read by seeking), reads main.xml and checks it against
// md5checksum.hex, and checks that the point data and valid-point parts are
// present and of the sizes the grid needs. Only surfaces with incremental
// lateral axes are read: a profile, a point cloud or an absolute lateral
// axis is refused, the message saying which. Returns 0, ERR_INVALID_PARAM,
// ERR_CANT_OPEN_FILE (errno tells why), ERR_CANT_READ_FILE,
// ERR_NOT_A_DATA_FILE (no ZIP container, no main.xml, no X3P document, or
// no surface this reader takes), ERR_CORRUPT_DATA_FILE (a damaged
// container, a wrong MD5 sum, a missing part or one of the wrong size) or
// ERR_NO_MEM. After a failure the reader is closed and cleared.
MAPCONV_API ErrorCode x3p_reader_open(const char* path, X3pReader* reader);

// Stores the next heights in metres, x fastest then y, at most capacity of
// them and fewer only at the grid's end, NaN where a point has no data
// (invalid, an empty Datum, or NaN in the file); sets *count, 0 once every
// point was read. Returns 0, ERR_INVALID_PARAM, ERR_CANT_READ_FILE or
// ERR_CORRUPT_DATA_FILE (a part that ends early, an unreadable Datum); the
// reader then fails every later read the same way.
MAPCONV_API ErrorCode x3p_reader_read_heights(X3pReader* reader, double* heights, std::size_t capacity,
                                              std::size_t* count);

// As x3p_reader_read_heights, but the values as stored, unscaled (integers
// exact), NaN where a point has no data.
MAPCONV_API ErrorCode x3p_reader_read_stored(X3pReader* reader, double* values, std::size_t capacity,
                                             std::size_t* count);

// After the last point: checks that the parts end where the grid ends and
// that their MD5 sums are those main.xml gives (and, for inline data, that
// main.xml matches md5checksum.hex). Returns 0, ERR_INVALID_PARAM (points
// remain), ERR_CANT_READ_FILE or ERR_CORRUPT_DATA_FILE. Heights read before
// a failure here are not to be trusted.
MAPCONV_API ErrorCode x3p_reader_finish(X3pReader* reader);

// Releases everything and clears the record; harmless on a cleared record
// and when repeated.
MAPCONV_API void x3p_reader_close(X3pReader* reader);

// What an X3P file to be written holds.
struct X3pLayout {
  std::uint64_t columns;  // 1 or more
  std::uint64_t rows;     // 1 or more
  X3pDataType data_type;  // X3P_FLOAT32 or X3P_FLOAT64 for heights, X3P_INT32 for counts
  double x_increment;     // finite and above 0
  double y_increment;
  double z_increment;  // X3P_INT32: metres per count, finite and not 0; ignored otherwise
  // Written as Record2 when non-null and present. Record2's schema requires
  // a date, the instrument, a calibration date and the probing system: the
  // caller gives them all or no record (begin refuses a record without
  // either date, or whose probing_type is not Contacting, NonContacting or
  // Software).
  const X3pMetadata* metadata;
};

// An X3P file being written. The caller reads the flags and never writes a
// field; state belongs to the functions below.
struct X3pWriterState;
struct X3pWriter {
  bool name_taken;  // begin or commit found an existing file of that name (no OUTPUT_REPLACE)
  bool is_input;    // begin found that the name leads to the input
  X3pWriterState* state;
};

// Starts the X3P file at path (library path convention); flags are those
// of output_file_open, input (may be null) the status of a file the output
// must not be. The file appears complete at a successful commit, or not at
// all. Returns 0, ERR_INVALID_PARAM (a layout this writer cannot write),
// ERR_NO_MEM or ERR_CANT_CREATE_FILE (name_taken, is_input, or errno tells
// why). After a failure the writer owns nothing.
MAPCONV_API ErrorCode x3p_writer_begin(const char* path, unsigned flags, const struct stat* input,
                                       const X3pLayout* layout, X3pWriter* writer);

// Appends count heights in metres (x fastest, then y); NaN for no data.
// For X3P_FLOAT32 a finite height beyond float range gives
// ERR_PARAM_OUT_OF_RANGE. ERR_INVALID_PARAM for counts layouts, null
// heights or more heights than the grid holds; ERR_CANT_WRITE_FILE (errno
// tells why). After a failure the writer is only good for discarding.
MAPCONV_API ErrorCode x3p_writer_write_heights(X3pWriter* writer, const double* heights, std::size_t count);

// Appends count stored values of an X3P_INT32 layout, exactly;
// PHASE_INVALID marks a point without data (stored as 0, marked invalid in
// bindata/valid.bin). Codes as x3p_writer_write_heights.
MAPCONV_API ErrorCode x3p_writer_write_counts(X3pWriter* writer, const std::int32_t* counts,
                                              std::size_t count);

// Writes the remaining parts and puts the file in place; releases the
// writer whatever the result. Returns 0, an earlier write's code,
// ERR_INVALID_PARAM (points missing; nothing is written),
// ERR_CANT_WRITE_FILE or ERR_CANT_CREATE_FILE (name_taken when a file of
// that name appeared without OUTPUT_REPLACE).
MAPCONV_API ErrorCode x3p_writer_commit(X3pWriter* writer);

// Drops the file being written; harmless on a cleared writer and when
// repeated. Keeps errno.
MAPCONV_API void x3p_writer_discard(X3pWriter* writer);

// True when the file at path is a regular file that starts as a ZIP
// container holding main.xml first or elsewhere: worth opening as X3P.
// Reads only the container's directory; errno is left as it was.
MAPCONV_API bool looks_like_x3p(const char* path);

// Sets the lateral increments main.xml will give, any time before commit
// (main.xml is written last): for a source whose spacing is known only once
// it is read, as an XDT grid's. ERR_INVALID_PARAM unless both are finite
// and above 0.
MAPCONV_API ErrorCode x3p_writer_set_increments(X3pWriter* writer, double x_increment, double y_increment);

// --- Conversions between X3P and the other kinds ---------------------------

// What a conversion came to. At most one failure is set.
struct X3pConversionResult {
  ErrorCode read_failure;       // the reader's code; it printed why through u_print
  ErrorCode write_failure;      // the writer's code; errno held the system's reason
  bool name_taken;              // write_failure because an existing file has that name (no OUTPUT_REPLACE)
  bool same_file;               // write_failure because the output is the input; nothing written
  std::size_t unrepresentable;  // heights written as no data because their phase count does not fit
  bool exact_counts;            // X3P to data file: the stored counts were copied as they are
  bool increments_differ;       // X3P to data file: CY's increment is not CX's, which the file keeps
  double x_increment;           // the lateral increments of the X3P side
  double y_increment;
};

// Each conversion asks interrupt (see <mapconv/interrupt.h>; null for none)
// between pieces: when it says stop, the conversion returns ERR_INTERRUPTED
// as read_failure and the old output is as it was. An output written in
// place is finished once its writing has begun.

// X3P surface to data file under the conversion's fixed settings (see
// <mapconv/conversion.h>), the lateral resolution from CX. int16 or int32
// counts whose increment is the settings' metres per count (and offset 0)
// are copied exactly, as a data file made X3P comes back; any other heights
// are converted as XDT heights are, NaN as no data. The output is complete
// or absent; flags are OutputFileFlags. Returns 0, read_failure or
// write_failure; *result is always set. A grid beyond 32767 points a side,
// or a CX increment a header cannot hold, is a read failure
// (ERR_PARAM_OUT_OF_RANGE, with a message).
MAPCONV_API ErrorCode convert_x3p_to_data_file(const char* input, const char* output, unsigned flags,
                                               X3pConversionResult* result,
                                               const InterruptCheck* interrupt = nullptr);

// The phase block of a data file to an X3P file of int32 counts, exactly:
// CZ's increment is the header's metres per phase count, CX's and CY's its
// lateral resolution, PHASE_INVALID marked invalid in bindata/valid.bin.
// A file without a phase block, without a height scale or without a
// lateral resolution is a read failure (ERR_NO_DATA or
// ERR_PARAM_OUT_OF_RANGE, with a message).
MAPCONV_API ErrorCode convert_data_file_to_x3p(const char* input, const char* output, unsigned flags,
                                               X3pConversionResult* result,
                                               const InterruptCheck* interrupt = nullptr);

// An XDT grid to an X3P file of its float32 heights as they are (no data
// as NaN), both increments its lateral resolution.
MAPCONV_API ErrorCode convert_xdt_to_x3p(const char* input, const char* output, unsigned flags,
                                         X3pConversionResult* result,
                                         const InterruptCheck* interrupt = nullptr);

// An X3P surface to an XDT grid (little-endian): each point's x and y its
// column and row times CX's and CY's increment, taken as floats, but for
// the last valid point of each row, whose x moves by the fewest units in
// the last place that make the row give CX's increment (as a float) back
// to the XDT reader, whichever row it picks; no data as -1.0. A grid
// outside 2 to 32767 points a side, an increment or a height a float cannot
// hold, is a read failure (ERR_PARAM_OUT_OF_RANGE, with a message).
MAPCONV_API ErrorCode convert_x3p_to_xdt(const char* input, const char* output, unsigned flags,
                                         X3pConversionResult* result,
                                         const InterruptCheck* interrupt = nullptr);

// --- X3P beside the other kinds ------------------------------------------

// Whether an open reader's grid is one the other kinds' tools take: at
// most INT32_MAX points a side, both increments within float range (the
// lateral resolution). Returns 0, or ERR_PARAM_OUT_OF_RANGE having printed
// why, naming path; ERR_INVALID_PARAM for null arguments.
MAPCONV_API ErrorCode x3p_check_map_grid(const char* path, const X3pReader* reader);

// Opens the X3P file at path as a height source of compare_map_files_through
// (x3p_reader_open's codes, or x3p_check_map_grid's); its lateral
// resolutions CX's and CY's increments as floats.
MAPCONV_API ErrorCode x3p_open_map_source(const char* path, MapHeightSource* source);

// compare_map_files, X3P files read through x3p_open_map_source: X3P
// against a data file within half a count, against XDT or X3P height for
// height.
MAPCONV_API ErrorCode compare_map_files_x3p(const char* first, const char* second, MapComparison* result);
