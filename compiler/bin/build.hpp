// Building a standalone executable: a copy of the runtime followed by the
// program's image and the trailer that locates it (trailer.hpp).
#pragma once

#include <optional>
#include <string>
#include <string_view>

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

// The runtime to copy or run: `given` (--runtime or the manifest's
// build.runtime) when there is one, else $VK_RUNTIME when set and not empty,
// else the first file of `vkvm` beside this compiler, ../lib/velkan/vkvm
// from this compiler's directory (an installed layout) and runtime/vkvm
// relative to the working directory. When none is a file, prints the places
// looked in and how to name the runtime, and exits with 2.
std::string find_runtime(const std::optional<std::string>& given);

// The parts of an executable that come before and after `image`: the runtime
// found by find_runtime(runtime) without any old trailer (a view of `bytes`,
// which holds the whole file read), and the trailer that locates the image.
// A runtime that cannot be read prints its line and exits with 2.
struct ExecutableFrame {
  std::string runtime_path;
  std::string bytes;
  std::string_view runtime_part;
  std::string trailer;
};
void frame_executable(const std::optional<std::string>& runtime, const std::string& image, ExecutableFrame& frame);

// Prints the compile's diagnostics and gives its exit status.
int finish_compile(const ImageCompile& compile);

}  // namespace Driver
