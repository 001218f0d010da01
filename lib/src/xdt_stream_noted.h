// xdt_stream_read for a thread other than the caller's: the diagnostic is
// kept for the caller to print, so that it reaches whatever the caller's
// thread prints to (a host may capture u_print per thread). Not installed.
#pragma once

#include <mapconv/xdt_reader.h>

#include <cstddef>

struct XdtNote {
  char text[160];  // the diagnostic, newline included; empty when there is none
};

// As xdt_stream_read, but the diagnostic goes into *note instead of u_print.
ErrorCode xdt_stream_read_noted(XdtStream* stream, float* heights, std::size_t capacity, std::size_t* count,
                                XdtNote* note);
