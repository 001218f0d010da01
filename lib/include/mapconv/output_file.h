// Output that is either complete or absent. The file is written in the
// folder of its final name, under no name at all or, where the file system
// cannot do that, under a hidden name, and is put in place in one atomic step
// once it is whole. Until then, and after any failure, the folder holds
// exactly what it held before. A hidden name is the only thing a process
// killed by a signal can leave; see output_file_remove_temporaries. Linux only.
#pragma once

#include <mapconv/api.h>
#include <mapconv/errors.h>

#include <cstddef>
#include <cstdint>

struct stat;

enum OutputFileFlags : unsigned {
  OUTPUT_REPLACE = 1u,          // an existing file of that name may be replaced (the -f switch)
  OUTPUT_NAMED_TEMPORARY = 2u,  // skip the unnamed temporary and use a hidden name (the fallback)
};

// An existing file is a regular file or a block device: either holds data
// that replacing it would lose, so neither is written without OUTPUT_REPLACE.
// Character devices (/dev/null, a terminal) are written in place as they are.

// A plain record so that it can live on the caller's stack: the caller
// writes through fd and reads the five flags after it, and never writes any
// field; the fields after them are the functions' own state and may change
// meaning between versions.
struct OutputFile {
  int fd;              // where the caller writes; -1 when closed
  bool in_place;       // writing straight into the final file: a device, or an existing file in a
                       // folder that refuses new files (OUTPUT_REPLACE only)
  bool in_order;       // a character device: bytes go out front to back, no seeking, no positional writes
  bool name_taken;     // open or commit failed because an existing file (see above) has that
                       // name and OUTPUT_REPLACE was not given
  bool dangling_link;  // open failed because the name is a symbolic link to nothing
  bool is_input;       // open failed because the name leads to the input it must spare

  // The functions' own state.
  int folder_fd;          // the final name's folder (O_PATH); -1 when in place or closed
  char* base_name;        // hooked block: the final name within the folder
  char* hidden_name;      // hooked block: the hidden name; empty unless a file by that name is ours
  unsigned flags;         // OutputFileFlags given to output_file_open
  bool unnamed;           // fd is a temporary without a name (O_TMPFILE)
  bool truncate_pending;  // in place over an old file, not emptied until the first write
  int pending_slot;       // 1 + the hidden name's place among those in progress; 0 for none
};

// Every field zero or -1, nothing owned; the record must not hold an open output.
MAPCONV_API void output_file_clear(OutputFile* file);

// Opens the output for a path under the library's path convention (see
// <mapconv/path.h>). A symbolic link as the last component is followed by the
// kernel, with its protections for links in shared folders, so an existing
// target is written and the link stays; a link to nothing is refused
// (dangling_link, ENOENT) rather than creating its target. An existing file
// is replaced only with OUTPUT_REPLACE; its owner and permission bits are
// kept where the file system allows (never failing the open). Where the
// folder refuses new files, the existing file is written in place, and left
// untouched until the first write. On failure *file is cleared but for
// name_taken and dangling_link, and errno tells why: ERR_NO_MEM,
// ERR_CANT_CREATE_FILE, or ERR_INVALID_PARAM for a null argument. With
// OUTPUT_REPLACE, an existing file the caller may not open for writing is
// refused (EACCES), as opening it for writing would be: replacing it would
// undo its owner's protection. A replaced file is a new file: other hard
// links to the old one keep the old bytes.
MAPCONV_API ErrorCode output_file_open(const char* path, unsigned flags, OutputFile* file);

// output_file_open, and also refuses, before anything is written and with or
// without OUTPUT_REPLACE, an output that is the file input describes (the
// status of the file being read, from fstat): the same device and inode,
// through any name, hard or symbolic link or /proc/self/fd/N, or the same
// block device through another node. Sets is_input and errno EEXIST then.
// A null input spares nothing.
MAPCONV_API ErrorCode output_file_open_apart(const char* path, unsigned flags, const struct stat* input,
                                             OutputFile* file);

// The refusals output_file_open_apart would make at path for these flags,
// found before any work starts so that a program can report them first.
struct OutputCheck {
  bool name_taken;  // an existing file stands there and OUTPUT_REPLACE was not given
  bool is_input;    // the name leads to the file at input
};

// Fills *check for an output at path and an input path (null: none), both
// under the library's path convention; a name that cannot be looked at
// counts as neither (output_file_open then tells why). Returns 0, or
// ERR_NO_MEM when a wide name could not be converted, so that nothing can be
// said (an existing output taken for absent would be replaced), or
// ERR_INVALID_PARAM for a null path or check.
MAPCONV_API ErrorCode output_file_check(const char* path, unsigned flags, const char* input,
                                        OutputCheck* check);

// Writes at the current position, over short writes and interruptions.
// ERR_CANT_WRITE_FILE on failure, errno telling why; the caller then
// discards the output.
MAPCONV_API ErrorCode output_file_write(OutputFile* file, const void* bytes, std::size_t size);

// Writes at the offset without moving the current position. ERR_INVALID_PARAM
// when the output is in_order or the range does not fit a file offset.
MAPCONV_API ErrorCode output_file_write_at(OutputFile* file, const void* bytes, std::size_t size,
                                           std::uint64_t offset);

// Puts the file in place under its final name. The record is released and
// cleared (but for name_taken) whatever the result; on failure the folder
// holds what it held before, except after writing in place, and errno tells
// why (EEXIST with name_taken).
MAPCONV_API ErrorCode output_file_commit(OutputFile* file);

// Closes the output and removes the temporary; the record is cleared but for
// name_taken and dangling_link. Harmless on a cleared record and when
// repeated. Keeps errno.
MAPCONV_API void output_file_discard(OutputFile* file);

// Removes the hidden temporary file of every output of this process that
// has one (those without a name vanish with the process anyway); the outputs
// then fail at commit. Async-signal-safe and installing nothing: for a
// program's own handler of SIGTERM, SIGINT or SIGHUP before it dies by the
// signal. Keeps errno.
MAPCONV_API void output_file_remove_temporaries(void);
