// Marks the library's interface: a shared build exports these symbols and
// no others.
#pragma once

#if !defined(__cplusplus) || __cplusplus < 202002L
#error "the mapconv headers need C++20: compile with -std=c++20 or later"
#endif

#define MAPCONV_API __attribute__((visibility("default")))
