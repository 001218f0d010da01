// The library's diagnostic output hook and its writers.
#pragma once

#include <mapconv/api.h>

#include <cstdio>

#define MAPCONV_PRINTF(format_index, first_arg) __attribute__((format(printf, format_index, first_arg)))

using PrintFunction = int (*)(const char* format, ...);

// Where library diagnostics go; starts as u_print_stderr. A host may assign it.
extern MAPCONV_API PrintFunction u_print;

// Format onto stderr / stdout / the given stream and flush; return the flush result.
MAPCONV_API int u_print_stderr(const char* format, ...) MAPCONV_PRINTF(1, 2);
MAPCONV_API int u_print_stdout(const char* format, ...) MAPCONV_PRINTF(1, 2);
MAPCONV_API int u_print_file(std::FILE* stream, const char* format, ...) MAPCONV_PRINTF(2, 3);
// Discards the message.
MAPCONV_API int u_print_none(const char* format, ...) MAPCONV_PRINTF(1, 2);
// Prints "YYYY-mm-dd HH:MM:SS " then the message, both through u_print. A
// message longer than 511 characters is cut. When it is the hook itself, it
// prints through u_print_stderr.
MAPCONV_API int u_print_timestamped(const char* format, ...) MAPCONV_PRINTF(1, 2);

// stdout or stderr when u_print holds u_print_stdout or u_print_stderr, else null.
MAPCONV_API std::FILE* u_print_stream();
