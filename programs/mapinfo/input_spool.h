// mapinfo's inputs as regular files: a pipe, a terminal or a character
// device is copied once into an unnamed temporary file, since the readers
// look at its first bytes, check its size and read it from the start, which
// a pipe allows only once.
#pragma once

#include <sys/stat.h>

#include <string>

#include "programs/mapinfo/mapinfo_failure.h"

// The copy of one input. It ends where the file the first bytes describe
// ends, or right away when they describe none, so an endless input never
// fills the disk. A named temporary, where unnamed ones cannot be had, is
// removed with the spool and on the signals the program catches.
class Spool {
 public:
  Spool() = default;
  ~Spool();
  Spool(const Spool&) = delete;
  Spool& operator=(const Spool&) = delete;

  // Copies the open input into the temporary; *path then names the copy.
  bool fill(int input, std::string* path, Failure* failure);

 private:
  bool create(Failure* failure);

  int fd_ = -1;
  std::string named_;
};

// Why a path could not be looked at; a wide name the system never saw says so.
const char* path_reason(const char* path, int error);

// Opens the input at path: a regular file is read where it is, anything
// else through a copy in *spool (*readable names what to read). *status
// describes the input itself.
bool open_input(const char* path, Spool* spool, std::string* readable, struct stat* status, Failure* failure);
