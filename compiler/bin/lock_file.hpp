// vk.lock: the commit each dependency is pinned to, one "name hash" line each
// under a fixed header line.
#pragma once

#include <map>
#include <string>
#include <string_view>

namespace Driver {

inline constexpr const char* lock_header =
    "# vk.lock \xE2\x80\x94 written by vkc; pins [deps] revs to commit SHAs. Do not edit.";

// Dependency name -> commit hash as `git rev-parse HEAD` printed it.
using Lock = std::map<std::string, std::string>;

// Lines are trimmed; blank and `#` lines and lines without a space are
// skipped; a name given twice is won by the later line.
Lock parse_lock_text(std::string_view text);

// The header, then "name hash" lines sorted by name.
std::string render_lock(const Lock& lock);

// A missing file is an empty lock; any other read failure prints
// "vkc: <path>: <reason>" and exits with 2.
Lock read_lock(const std::string& path);

// Replaces the lock file whole (a temporary file beside it, then a rename),
// so a failed write never loses the old pins. Failures exit with 2.
void write_lock(const std::string& path, const Lock& lock);

}  // namespace Driver
