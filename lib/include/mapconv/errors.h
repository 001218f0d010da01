// Error catalogue: every library operation returns an ErrorCode, 0 on success.
#pragma once

#include <mapconv/api.h>
#include <mapconv/error_list.h>

#include <cstdint>

using ErrorCode = std::int32_t;

inline constexpr ErrorCode NO_ERROR = 0;

#define MAPCONV_DECLARE_ERROR(number, name) inline constexpr ErrorCode name = number;
MAPCONV_ERROR_LIST(MAPCONV_DECLARE_ERROR)
#undef MAPCONV_DECLARE_ERROR

// Highest catalogued code; 1 to this are failures.
inline constexpr ErrorCode ERROR_CODE_MAX = 463;

// Names indexed by code; entry 0 is the empty string. No bounds check: the
// caller passes a code from 0 to ERROR_CODE_MAX.
extern MAPCONV_API const char* const error_names[ERROR_CODE_MAX + 1];

// Text for any integer: "NO_ERROR", the code's name, or
// "invalid error number %d". Returns one static buffer, overwritten by the
// next call (not thread-safe).
MAPCONV_API const char* u_error_string(ErrorCode code);

// Whether errno, right after a library call returned code, holds the
// system's reason for it: the codes of a file that could not be opened,
// created, read or written.
MAPCONV_API bool error_has_system_reason(ErrorCode code);
