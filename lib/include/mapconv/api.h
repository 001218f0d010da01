// Marks the library's interface: a shared build exports these symbols and
// no others.
#pragma once

#define MAPCONV_API __attribute__((visibility("default")))
