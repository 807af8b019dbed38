// File and message helpers of project builds: paths relative to the project,
// whole-file reads that never wait on a pipe, files replaced whole through a
// temporary name, and one-line failures.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace Driver {

// `dir` joined with `name`, without a doubled `/`.
std::string join_path(const std::string& dir, const std::string& name);

// `path` unchanged when absolute, else relative to `dir`.
std::string resolve_in(const std::string& dir, const std::string& path);

// stat() follows symbolic links; a path holding a NUL byte exists nowhere.
bool path_exists(const std::string& path);
bool is_directory(const std::string& path);

// mkdir with permission bits 0755 before the umask; false with errno set.
bool make_directory(const std::string& path);

// Reads a regular file whole; false with errno set otherwise (EISDIR for a
// directory, EINVAL for a pipe or device, EINVAL for a path with a NUL byte).
bool read_whole_file(const std::string& path, std::string& bytes);

// Writes `parts` in order to `temp` (removed first; created with `mode` before
// the umask) and renames it to `path`. On failure returns "<file>: <reason>";
// a temporary file that could not be written is removed, one that could not
// be renamed stays. Empty on success.
std::string write_through_temp(const std::string& path, const std::string& temp, unsigned mode,
                               std::initializer_list<std::string_view> parts);

// `s` without leading and trailing blanks, tabs, line feeds, carriage
// returns and form feeds: how manifest and lock lines are trimmed.
std::string_view trim_line(std::string_view s);

// "<path>: <reason of errno>", the form of every system failure.
std::string system_message(const std::string& path);

// Control bytes of user text shown as \xNN, so every message stays one
// readable line whatever a manifest or lock file holds.
std::string printable(std::string_view text);

// Writes "vkc: <message>" (control bytes escaped) and a line feed to standard
// error and exits with status 2.
[[noreturn]] void fail_line(const std::string& message);

// The same line without exiting, for messages that come in pairs.
void say_line(const std::string& message);

}  // namespace Driver
