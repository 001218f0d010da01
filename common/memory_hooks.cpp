#include "common/memory_hooks.h"

#include <cstdlib>

MemoryHooks memory_hooks = {std::malloc, std::realloc, std::calloc, std::free};
