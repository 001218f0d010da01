// One file's failure in mapinfo, reported as "mapinfo: FILE: reason
// (ERR_NAME)", where FILE is the input or the picture. NO_ERROR leaves out
// the name.
#pragma once

#include <mapconv/errors.h>

#include <string>

struct Failure {
  ErrorCode code;
  std::string reason;
  const char* subject = nullptr;  // the picture, when it failed; else the input
};
