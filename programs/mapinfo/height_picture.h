// False-colour PNG pictures of a height map, written to a file or drawn into
// memory: mapinfo's, and the Python module's, which are the same figures.
#pragma once

#include <mapconv/errors.h>
#include <mapconv/interrupt.h>

#include <cstdint>
#include <memory>
#include <string>

#include "programs/mapinfo/map_summary.h"
#include "programs/mapinfo/mapinfo_failure.h"

// The longer side of a picture drawn without --size: maps up to this many
// points on a side keep one pixel per point, larger ones are reduced to it.
inline constexpr std::uint32_t DEFAULT_PICTURE_SIDE = 2048;
inline constexpr std::uint32_t MAX_PICTURE_SIDE = 65535;

struct PictureSize {
  std::uint32_t width;
  std::uint32_t height;
};

// The picture of a columns x rows map whose longer side is longer_side pixels
// (0: the default rule above). Both sides keep the map's proportions, rounded,
// and are at least 1.
PictureSize picture_size(std::int32_t columns, std::int32_t rows, std::uint32_t longer_side);

struct stat;

struct PictureRequest {
  const char* path;           // under the library's path convention
  bool replace;               // an existing picture may be replaced (-f)
  std::uint32_t longer_side;  // 0: the default rule
  const char* source;         // the input's name, recorded in the picture
  const struct stat* input;   // the input's status: the picture never replaces it
  // The figure's title (figure_title): the map is drawn with its legend
  // around it. Null: the bare map alone.
  const std::string* title = nullptr;
  double lateral_resolution = 0;  // metres between points, for the scale bar
  // The colour range in nanometres, lowest first, instead of the map's own
  // (null): pictures of a series can share one scale.
  const double* range = nullptr;
  // Asked after each row; stop ends the drawing with ERR_INTERRUPTED and
  // nothing written (a device, written in place, is finished first).
  const InterruptCheck* interrupt = nullptr;
};

// Whether this mapinfo draws legends: only where it was built with cairo
// and pango. Without, a request with a title gets the bare map.
bool picture_legend_available();

// Why a picture was not written.
struct PictureFailure {
  ErrorCode code;
  int system_error;    // errno of the failing call, 0 when there was none
  bool name_taken;     // the picture exists and replace was not given
  bool dangling_link;  // the picture's name is a symbolic link to nothing
  bool is_input;       // the picture's name leads to the input
  bool not_a_file;     // the picture's name is a FIFO or a socket
  std::string detail;  // libpng's message, when it gave one
};

// Writes an 8-bit RGB PNG, row 0 at the top. Each pixel shows the mean of the
// valid heights of the block of points it covers (the single point it repeats
// when the map is enlarged) through colour_map, scaled to
// heights.min..heights.max; a block without valid points is NO_DATA_COLOUR.
// The height range, its unit, the meaning of the colour scale and the source
// go into tEXt chunks. With a title, the map's pixels are set in a larger
// figure (picture_legend.h), unchanged. Rows are drawn one at a time. The picture appears
// complete under its name or not at all (a device is written in place).
// Returns 0, ERR_CANT_CREATE_FILE, ERR_CANT_WRITE_FILE or ERR_NO_MEM, and
// then fills *failure.
ErrorCode write_height_picture(const PictureRequest& request, const HeightGrid& grid,
                               const HeightStatistics& heights, PictureFailure* failure);

// Writes the picture request asks for, as write_height_picture does, but
// never into a FIFO or a socket (not_a_file, ERR_CANT_CREATE_FILE); levelled,
// when not null, is the form removed first (the colours then span -Sv to Sp,
// or the request's range). The grid must not be empty.
ErrorCode write_map_picture(const PictureRequest& request, const HeightGrid& grid,
                            const HeightStatistics& heights, const HeightParameters* levelled,
                            PictureFailure* failure);

// The pixels write_map_picture would write, drawn into memory: *size and
// *pixels (RGB, row 0 first, 3 bytes a pixel); path, replace, source and
// input are not used. Returns 0, ERR_NO_MEM or ERR_INTERRUPTED.
ErrorCode draw_map_pixels(const PictureRequest& request, const HeightGrid& grid, const HeightStatistics& heights,
                          const HeightParameters* levelled, PictureSize* size,
                          std::unique_ptr<unsigned char[]>* pixels);

// mapinfo's drawing: write_map_picture, refusing an empty grid, its faults
// in words. False when it failed, *failure then naming the picture for its
// own faults.
bool draw_height_picture(const PictureRequest& request, const HeightGrid& grid,
                         const HeightStatistics& heights, const HeightParameters* levelled, Failure* failure);
