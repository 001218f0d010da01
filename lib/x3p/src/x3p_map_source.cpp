// X3P surfaces as height sources of the core's map comparison, and their
// heights as an XDT grid holds them, for programs that take both kinds.
#include <mapconv/terminal_text.h>
#include <mapconv/data_file_format.h>
#include <mapconv/file_kind.h>
#include <mapconv/map_compare.h>
#include <mapconv/memory_hooks.h>
#include <mapconv/path.h>
#include <mapconv/print.h>
#include <mapconv/x3p.h>

#include <cmath>
#include <limits>
#include <new>

#include "x3p_parts.h"

namespace {

ErrorCode read_source(void* context, double* metres, std::size_t capacity, std::size_t* count) {
  return x3p_reader_read_heights(static_cast<X3pReader*>(context), metres, capacity, count);
}

ErrorCode finish_source(void* context) { return x3p_reader_finish(static_cast<X3pReader*>(context)); }

void close_source(void* context) {
  auto* reader = static_cast<X3pReader*>(context);
  x3p_reader_close(reader);
  reader->~X3pReader();
  memory_hooks.release(reader);
}

}  // namespace

ErrorCode x3p_check_map_grid(const char* path, const X3pReader* reader) {
  if (path == nullptr || reader == nullptr) return ERR_INVALID_PARAM;
  const X3pSurface& s = reader->surface;
  char name[512];
  u_escape_text(u_path_is_wide(path) ? "(wide path)" : path, name, sizeof name);
  constexpr std::uint64_t most = std::numeric_limits<std::int32_t>::max();
  if (s.columns > most || s.rows > most) {
    u_print("%s: its grid of %llu x %llu points is beyond %llu a side\n", name,
            static_cast<unsigned long long>(s.columns), static_cast<unsigned long long>(s.rows),
            static_cast<unsigned long long>(most));
    return ERR_PARAM_OUT_OF_RANGE;
  }
  if (!fits_header_float(s.x_increment) || !fits_header_float(s.y_increment)) {
    u_print("%s: its increments (%g m, %g m) do not fit a lateral resolution's float\n", name, s.x_increment,
            s.y_increment);
    return ERR_PARAM_OUT_OF_RANGE;
  }
  return NO_ERROR;
}

ErrorCode x3p_open_map_source(const char* path, MapHeightSource* source) {
  if (path == nullptr || source == nullptr) return ERR_INVALID_PARAM;
  *source = MapHeightSource{};
  void* block = memory_hooks.allocate(sizeof(X3pReader));
  if (block == nullptr) return ERR_NO_MEM;
  auto* reader = new (block) X3pReader{};
  x3p_reader_clear(reader);
  ErrorCode code = x3p_reader_open(path, reader);
  if (code == NO_ERROR) code = x3p_check_map_grid(path, reader);
  if (code != NO_ERROR) {
    close_source(reader);
    return code;
  }
  const X3pSurface& s = reader->surface;
  source->context = reader;
  source->columns = static_cast<std::int32_t>(s.columns);
  source->rows = static_cast<std::int32_t>(s.rows);
  source->lateral_resolution = static_cast<float>(s.x_increment);
  source->lateral_resolution_y = static_cast<float>(s.y_increment);
  source->read = read_source;
  source->finish = finish_source;
  source->close = close_source;
  return NO_ERROR;
}

ErrorCode compare_map_files_x3p(const char* first, const char* second, MapComparison* result) {
  const MapSourceOpener opener{FILE_KIND_X3P, x3p_open_map_source};
  return compare_map_files_through(first, second, &opener, result);
}
