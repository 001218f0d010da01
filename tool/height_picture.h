// False-colour PNG pictures of a height map (linked into mapinfo only).
#pragma once

#include <string>

#include "common/errors.h"
#include "tool/map_summary.h"

// Writes one 8-bit RGB pixel per point, row 0 at the top: valid heights
// through colour_map scaled to heights.min..heights.max, every other point
// NO_DATA_COLOUR. Rows are produced one at a time. Returns 0,
// ERR_CANT_CREATE_FILE, ERR_CANT_WRITE_FILE (with libpng's reason in
// *reason when it gave one) or ERR_NO_MEM. A failed picture is left as far as
// it was written (the path may be a device, which must not be unlinked).
ErrorCode write_height_picture(const char* path, const HeightGrid& grid, const HeightStatistics& heights,
                               std::string* reason);
