// Building a standalone executable: a copy of the runtime followed by the
// program's image and the trailer that locates it (trailer.hpp).
#pragma once

#include <optional>
#include <string>

#include "assembly.hpp"
#include "image_compile.hpp"

namespace Driver {

// Compiles `dir` with its dependencies and writes the executable `out`
// through `<out>.vkc-build.tmp` and a rename, so `out` is only ever replaced
// by a complete file. `runtime` is --runtime or the manifest's build.runtime;
// without one the default is looked up. Gives the exit status; driver
// failures print their line and exit with 2.
int build_mode(const DependencyList& deps, const std::optional<std::string>& runtime, const std::string& dir,
               const std::string& out);

// $VK_RUNTIME when set and not empty, else `vkvm` beside this compiler when
// it is a file, else runtime/vkvm relative to the working directory.
std::string default_runtime_path();

// Prints the compile's diagnostics and gives its exit status.
int finish_compile(const ImageCompile& compile);

}  // namespace Driver
