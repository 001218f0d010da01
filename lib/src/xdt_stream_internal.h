// The XDT stream's functions for the library's own loops. Not installed.
#pragma once

#include <mapconv/xdt_reader.h>

#include <cstddef>

struct XdtNote {
  char text[160];  // the diagnostic, newline included; empty when there is none
};

// As xdt_stream_read, but the diagnostic goes into *note instead of u_print:
// for a thread other than the caller's, so that the caller prints it and it
// reaches whatever the caller's thread prints to (a host may capture u_print
// per thread).
ErrorCode xdt_stream_read_noted(XdtStream* stream, float* heights, std::size_t capacity, std::size_t* count,
                                XdtNote* note);

// The bytes of one point record of an XDT file: x, y and z, four bytes each.
inline constexpr std::size_t XDT_RECORD_SIZE = 12;

// As xdt_stream_read_noted, but the next points are left as the file's
// records (XDT_RECORD_SIZE bytes each, in the stream's byte order) in
// records, which holds capacity of them: a record is read once, straight
// into it, and its height is taken by the caller. The lateral resolution is
// tallied as by xdt_stream_read; the two may be called in turn.
ErrorCode xdt_stream_read_records_noted(XdtStream* stream, unsigned char* records, std::size_t capacity,
                                        std::size_t* count, XdtNote* note);

// As xdt_stream_open, with the stream's interrupt check set first: it is
// asked when a signal interrupts the open (a FIFO waiting for its writer)
// and by every read. ERR_INTERRUPTED when it said stop.
ErrorCode xdt_stream_open_watched(const char* path, bool swap, const InterruptCheck* interrupt,
                                  XdtStream* stream);
