// Running git for dependency checkouts. Commands run from a fixed argument
// vector, never through a shell, so nothing in a name, URL or revision can
// become a command; the shell form of each command line is still built, with
// every path, URL and revision quoted, because failure messages show it.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace Driver {

// `text` in single quotes for the POSIX shell, each inner quote as '\''.
std::string shell_quote(const std::string& text);

// One argument of a git command: written bare or quoted in its shell form.
struct GitArg {
  std::string text;
  bool quoted = false;
};
inline GitArg word(std::string text) { return {std::move(text), false}; }
inline GitArg quoted(std::string text) { return {std::move(text), true}; }

// "git " followed by the arguments in their shell form.
std::string git_command_line(const std::vector<GitArg>& args);

// Runs git with its output thrown away. Nothing on success (exit status 0);
// on failure the command line as run: git_command_line + " >/dev/null 2>&1".
std::optional<std::string> git_run(const std::vector<GitArg>& args);

// Runs git with its standard output caught in a fresh temporary file
// (vk-git*.out in the system temporary directory, removed in every case).
// The first output line trimmed, or nothing on failure or empty output.
std::optional<std::string> git_read(const std::vector<GitArg>& args);

}  // namespace Driver
