// Reader for XDT surface files: two 16-bit counts (columns, rows), then
// columns * rows records of three 32-bit floats (x, y, z), row by row.
#pragma once

#include <cstdint>

#include "common/errors.h"

// Reads the grid at path. On success hands back the counts, a block of
// columns * rows heights (-1.0 where a point has no data) that the caller
// releases through memory_hooks.release, and the lateral resolution worked
// out from the x coordinates. With swap set, every number in the file is
// byte-reversed. Returns 0, ERR_INVALID_PARAM, ERR_CANT_OPEN_FILE,
// ERR_PREMATURE_EOF, ERR_PARAM_OUT_OF_RANGE or ERR_NO_MEM; after a failure
// (other than ERR_INVALID_PARAM) the out-parameters hold 0, 0, null, 0.0.
// A folder gives ERR_CANT_OPEN_FILE; a lateral resolution that is not finite
// counts as one that cannot be worked out.
ErrorCode read_xdt_file(const char* path, std::int32_t* columns, std::int32_t* rows, float** heights,
                        float* lateral_resolution, bool swap);
