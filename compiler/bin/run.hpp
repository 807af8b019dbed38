// `vkc run`: compile a program in memory and run it at once on the runtime.
#pragma once

#include <string>
#include <vector>

namespace Driver {

// Compiles `path` (a file, a directory, or a project with its [deps] and
// build.runtime) and, when the compile is clean and has a `main`, replaces
// this process with the program: the runtime, the image and a trailer made
// into one executable in memory, run with `args`. The process then exits
// with the program's status. Otherwise gives the exit status: 1 after
// diagnostics, 2 after a driver failure.
int run_mode(const std::string& path, const std::vector<std::string>& args);

}  // namespace Driver
