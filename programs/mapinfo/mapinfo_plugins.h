// mapinfo's two heavy parts, each a module of its own loaded on first use:
// the X3P reader (libarchive, libxml2, libcrypto) and the pictures (libpng,
// cairo, pango). Loading their libraries costs ten MiB and twenty ms of
// processor time, which a summary or a comparison of XDT files and data
// files, the common case, never needs.
//
// The modules hold no copy of the measurement library: they take mapinfo's
// own, which mapinfo exports, so that memory hooks, print hooks and the
// output files its signal handler removes stay one.
#pragma once

#include <mapconv/errors.h>
#include <mapconv/map_compare.h>

#include <cstddef>
#include <string>

#include "programs/mapinfo/height_picture.h"

#ifdef MAPINFO_X3P
#include <mapconv/x3p.h>

// What mapinfo calls of the X3P library.
struct X3pFunctions {
  decltype(&x3p_open_map_source) open_map_source;
  decltype(&x3p_reader_clear) reader_clear;
  decltype(&x3p_reader_open) reader_open;
  decltype(&x3p_check_map_grid) check_map_grid;
  decltype(&x3p_reader_read_heights) read_heights;
  decltype(&x3p_reader_finish) reader_finish;
  decltype(&x3p_reader_close) reader_close;
  decltype(&x3p_data_type_name) data_type_name;
};
#endif

// What mapinfo calls of the pictures.
struct PictureFunctions {
  decltype(&picture_legend_available) legend_available;
  decltype(&draw_height_picture) draw;
};

// Each module's one exported symbol: its table, with the version and table
// size of the build it came from, so that a module left by another build is
// refused rather than called.
template <typename Functions>
struct PluginTable {
  const char* version;
  std::size_t size;
  Functions functions;
};

// The tables' names, which the modules define and mapinfo looks up.
#define MAPINFO_X3P_TABLE mapinfo_x3p_table
#define MAPINFO_PICTURE_TABLE mapinfo_picture_table
#define MAPINFO_NAME_OF(table) MAPINFO_NAME_TEXT(table)
#define MAPINFO_NAME_TEXT(table) #table

namespace mapinfo_plugins {

#ifdef MAPINFO_X3P
// The X3P library's functions, loaded on the first call (from any thread);
// null, with *why saying what failed, when the module cannot be loaded.
const X3pFunctions* x3p(std::string* why);
#endif

// The pictures' functions, as x3p() is.
const PictureFunctions* pictures(std::string* why);

}  // namespace mapinfo_plugins
