// Height-to-phase conversion: turns the heights of an XDT grid into a phase
// map and the header of a data file, under fixed interferometer settings.
#pragma once

#include <mapconv/api.h>
#include <mapconv/data_file_format.h>
#include <mapconv/errors.h>
#include <mapconv/interrupt.h>
#include <mapconv/map_records.h>

#include <cstddef>
#include <cstdint>
#include <span>

// The measurement that every converted file describes.
inline constexpr float CONVERSION_WAVELENGTH = 6.328e-7f;  // metres
inline constexpr float CONVERSION_SCALE_FACTOR = 0.5f;
inline constexpr float CONVERSION_OBLIQUITY = 1.0f;
inline constexpr std::int16_t CONVERSION_PHASE_RESOLUTION = 1;

// Sets the four fields of the settings above in *header (wavelength, scale
// factor, obliquity, phase resolution), leaving every other field alone:
// the measurement a file written with mapconv's settings describes.
MAPCONV_API void set_conversion_settings(DataFileHeader* header);

// Zeroes *header and sets the seven fields a converted file carries: the
// settings above, the grid size and the lateral resolution (unchanged).
MAPCONV_API void build_header(std::int32_t columns, std::int32_t rows, float lateral_resolution,
                              DataFileHeader* header);

// Phase counts per metre of height for a header: 32768 / (wavelength *
// scale_factor), from the single-precision values as stored.
MAPCONV_API double phase_counts_per_metre(const DataFileHeader* header);

// Converts every height above -1.0 into a phase count, rounded half away from
// zero, and stores it at the same index of phases; a no-data height (<= -1.0)
// stores PHASE_INVALID, so every element is written and phases needs no
// filling beforehand. A height whose count is not a number or falls outside
// -2147483648 to 2147483639 (the counts below PHASE_INVALID) is stored as
// PHASE_INVALID too. Returns the number of heights so stored (no-data heights
// not included). phases must be at least as long as heights.
MAPCONV_API std::size_t convert_heights(std::span<const float> heights, double counts_per_metre,
                                        std::span<std::int32_t> phases);

// Gives *map the grid's geometry, creates it and converts the columns * rows
// heights into it, PHASE_INVALID where a height has no data: every element
// is written exactly once. *unrepresentable receives the
// number of heights stored as PHASE_INVALID because their count does not fit.
// Returns 0 or the code of phase_map_create (the map then has no block).
MAPCONV_API ErrorCode build_phase_map(std::int32_t columns, std::int32_t rows, const float* heights,
                                      double counts_per_metre, PhaseMap* map, std::size_t* unrepresentable);

// Metres of height per phase count under a header's own settings:
// scale_factor * wavelength / 32768, from the values as stored.
MAPCONV_API double metres_per_phase_count(const DataFileHeader* header);

// The field of a header that leaves its phase counts without heights:
// counts are heights only when metres_per_phase_count is finite and not
// zero, which takes a finite, non-zero wavelength and scale factor. The
// wavelength is named when both fail.
enum HeightScaleFault : std::int32_t {
  HEIGHT_SCALE_USABLE = 0,
  HEIGHT_SCALE_WAVELENGTH = 1,
  HEIGHT_SCALE_SCALE_FACTOR = 2,
};
MAPCONV_API HeightScaleFault height_scale_fault(const DataFileHeader* header);

// Writes why a header gives no heights, such as "the wavelength (nan) gives
// no height scale", into text (size bytes, NUL included; cut to fit), or an
// empty text for a usable scale. Returns the fault.
MAPCONV_API HeightScaleFault describe_height_scale_fault(const DataFileHeader* header, char* text,
                                                         std::size_t size);

// The inverse of convert_heights: stores count * metres_per_count at the same
// index of heights, and NaN (no data) for PHASE_INVALID. heights must be at
// least as long as counts.
MAPCONV_API void convert_phase_counts(std::span<const std::int32_t> counts, double metres_per_count,
                                      std::span<double> heights);

// --- Conversion sessions ---------------------------------------------------
// A session writes the data file of a grid of heights through the safe
// output (see output_file.h): the file appears complete under its name at a
// successful commit, or not at all. The heights are converted and written a
// piece at a time, so memory does not grow with the grid.

// Heights a session converts and writes at a time.
inline constexpr std::size_t CONVERSION_PIECE_POINTS = 65536;

// How convert_xdt_file runs.
struct ConversionOptions {
  unsigned flags;            // OutputFileFlags: OUTPUT_REPLACE lets an existing file be replaced
  std::size_t piece_points;  // heights per piece; 0 for CONVERSION_PIECE_POINTS
  // Asked between pieces and when a signal interrupts a read (see
  // interrupt.h); null for none. When it says stop the conversion returns
  // ERR_INTERRUPTED (as read_failure) and nothing is written, the old
  // output left as it was; an output written in place is finished once its
  // writing has begun.
  const InterruptCheck* interrupt;
};

// What convert_xdt_file came to. At most one of setup_failure and the other
// two failures is set; read_failure and write_failure may both be.
struct ConversionResult {
  ErrorCode read_failure;   // the reader's code (it printed its diagnostics through u_print), or
                            // ERR_INTERRUPTED when options->interrupt said stop
  ErrorCode setup_failure;  // ERR_NO_MEM: no working memory once the input was open; nothing written
  ErrorCode write_failure;  // the writer's code; errno held the system's reason when it was set
  bool name_taken;          // write_failure because an existing file has that name (no OUTPUT_REPLACE)
  bool same_file;           // write_failure because the output is the input itself; nothing written
  std::size_t unrepresentable;  // heights written as PHASE_INVALID because their count does not fit
};

// Converts the XDT file at input (narrow path) into a data file at output
// (library path convention), under the fixed settings of build_header. The
// grid is read on a second thread one piece ahead of the conversion where a
// thread can be had. The header goes last, once the lateral resolution is
// known; an output written in place (a device, or an old file in a folder
// that takes no new file) gets it first, after a pass over the whole input,
// so that a bad input is found before anything is written. Once writing has
// failed the input is still read to its end: a bad input is then reported
// as such. An output that is the input file (through any name or link) is
// refused before anything is written, with or without OUTPUT_REPLACE:
// write_failure ERR_CANT_CREATE_FILE with same_file, and the input is not
// read further. Returns 0 or the code that decides the outcome:
// read_failure, else setup_failure, else write_failure. *result is always set.
MAPCONV_API ErrorCode convert_xdt_file(const char* input, const char* output,
                                       const ConversionOptions* options, ConversionResult* result);

// A data file of heights the caller supplies in pieces. Plain record: read
// unrepresentable and name_taken; state belongs to the functions below.
struct ConversionState;
struct ConversionSession {
  std::size_t unrepresentable;  // heights written so far as PHASE_INVALID because their count does not fit
  bool name_taken;              // open or commit found an existing file of that name (no OUTPUT_REPLACE)
  bool in_place;                // open began writing over the old file (see output_file.h): discarding
                                // now would leave it cut short, so a caller that stops early commits
  ConversionState* state;       // through memory_hooks; null when no file is open
};

// Starts the data file of a columns x rows grid (1 to 32767 each) at output
// (library path convention); flags are those of output_file_open. Returns 0,
// ERR_INVALID_PARAM, ERR_NO_MEM or ERR_CANT_CREATE_FILE (name_taken set when
// an existing file of that name exists; otherwise errno tells why). After a
// failure the session owns nothing.
MAPCONV_API ErrorCode conversion_session_open(const char* output, unsigned flags, std::int32_t columns,
                                              std::int32_t rows, float lateral_resolution,
                                              ConversionSession* session);

// Converts the next count heights (row by row; -1.0 or below: no data) and
// writes their phase counts. Returns 0, ERR_CANT_WRITE_FILE (errno tells
// why; the session is then only good for discarding) or ERR_INVALID_PARAM
// (no open file, null heights, or more heights than the grid holds).
MAPCONV_API ErrorCode conversion_session_write(ConversionSession* session, const float* heights,
                                               std::size_t count);

// Puts the complete file in place and releases the session, whatever the
// result. Returns 0, an earlier write's code, ERR_INVALID_PARAM (heights
// missing; nothing is written), ERR_CANT_WRITE_FILE or ERR_CANT_CREATE_FILE
// (name_taken set when a file of that name appeared without OUTPUT_REPLACE:
// it is kept). errno tells why after a system's failure.
MAPCONV_API ErrorCode conversion_session_commit(ConversionSession* session);

// Drops the file being written; harmless on a closed session and when
// repeated. Keeps errno.
MAPCONV_API void conversion_session_discard(ConversionSession* session);
