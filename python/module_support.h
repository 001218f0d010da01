// What the module's main unit (mapconv_module.cpp) lends the bindings kept
// in files of their own: its way of reporting failures, of reading paths and
// of leaving the GIL.
#pragma once

#include <mapconv/errors.h>
#include <mapconv/interrupt.h>
#include <pybind11/pybind11.h>

#include <functional>
#include <string>

namespace module_support {

// Raises mapconv.Error or the subclass for reason (an errno, or 0), as the
// module's own functions do; path is the file system's bytes of the file.
[[noreturn]] void raise(ErrorCode code, const std::string& path, int reason, const std::string& diagnostics,
                        bool name_taken);
// The file system's bytes of a str, bytes or os.PathLike, as the library takes them.
std::string path_of(const pybind11::handle& path);
// Where the library's diagnostics on this thread go; returns the previous target.
std::string* capture_into(std::string* target);
void* release_gil();
void take_gil_back(void* state);
// Runs work without the GIL, Python's signal handlers run through the check
// it is given; then raises what a handler raised (KeyboardInterrupt).
void run_watched(const std::function<void(const InterruptCheck*)>& work);

}  // namespace module_support
