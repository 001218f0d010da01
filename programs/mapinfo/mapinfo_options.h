// mapinfo's command line: its usage text and the options it takes.
#pragma once

#include <mapconv/height_parameters.h>

#include <cstdint>
#include <vector>

namespace mapinfo_options {

extern const char* const USAGE;

struct Options {
  bool json = false;
  bool force = false;
  const char* picture = nullptr;
  std::uint32_t size = 0;  // 0: the default rule
  bool legend = true;
  bool range_given = false;
  double range[2] = {0, 0};  // nanometres, lowest first
  HeightLevel level = HEIGHT_LEVEL_PLANE;
  bool level_given = false;
  bool compare = false;
  std::vector<const char*> files;
};

enum class ParseResult { run, help, version, usage_error };

// Reads argv into options; a usage error has been reported on standard error
// (the usage text is the caller's to add).
ParseResult parse_arguments(int argc, char** argv, Options* options);

}  // namespace mapinfo_options
