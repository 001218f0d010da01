// The library's path convention, and the system calls that take a path
// under it. A path is a narrow string, unless its first two bytes are a
// UTF-16 byte-order mark (FF FE or FE FF). Such a path is the wide string
// after the mark: 16-bit units read little-endian, whichever mark begins it,
// up to a zero unit (two zero bytes at an even distance from the mark), so
// a name's ASCII units ("/" is 2F 00) read as they are. The caller ends a
// wide path with that zero unit, as any wide string is ended. On this
// platform it is converted to UTF-8 before the system sees it.
#pragma once

#include <mapconv/api.h>

#include <cstdio>

struct stat;

// True when the path begins with a byte-order mark.
MAPCONV_API bool u_path_is_wide(const char* path);

// fopen, stat and open (with open's flags, O_CREAT not among them) of a
// path under the convention.
// On failure they return null or -1 with errno set: the system's reason, or
// ENOMEM when a wide name could not be converted for lack of memory, or
// EINVAL for a null path or a malformed wide one (an unpaired surrogate).
MAPCONV_API std::FILE* u_open_path(const char* path, const char* mode);
MAPCONV_API int u_stat_path(const char* path, struct stat* status);
MAPCONV_API int u_open_path_descriptor(const char* path, int flags);
