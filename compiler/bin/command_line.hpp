// The command line: `-D` flags, the mode table and the usage text.
#pragma once

#include <string>
#include <vector>

namespace Driver {

enum class Mode {
  Version,
  Check,  // or a project build when the path is a directory holding vk.toml
  DumpTokens,
  DumpAst,
  DumpOwner,
  DumpGc,
  DumpBc,
  UpdateDeps,
  Emit,
  Build,
  Run,  // compile in memory and run on the runtime
};

struct Invocation {
  Mode mode = Mode::Check;
  std::string path;     // the source file, directory or project
  std::string out;      // -o of --emit and build
  std::string runtime;  // --runtime of build; empty for the default
  std::vector<std::string> program_args;  // what `run` passes to the program
};

// Removes every `-D <flag>` pair into Lexer::defines and picks the mode from
// what remains. Bad usage prints its message and exits with status 2; `help`,
// `--help` and `-h` print it on standard output and exit with 0. After
// `run <path>` the arguments belong to the program and are kept as they are.
Invocation parse_command_line(const std::vector<std::string>& args);

// Writes "vkc: <message>" and a line feed to standard error and exits with 2.
[[noreturn]] void fail(const std::string& message);

}  // namespace Driver
