// Finding and reading the source files of a run.
#pragma once

#include <string>
#include <variant>
#include <vector>

#include "diag/diag.hpp"

namespace Driver {

struct SourceFile {
  std::string path;  // as diagnostics name it: <root>/<relative path>
  std::string text;  // the whole file, bytes as read; empty once released
  bool released = false;  // the text was dropped: diagnostics read the file again
};

// The sources of a run, read before any pass runs. Never resized after
// reading: tokens and trees keep views into the texts.
using SourceList = std::vector<SourceFile>;

struct DiscoveryError {
  std::string message;  // the text after "vkc: "
};

// Entries never compiled in a directory: dot names and target, data, node_modules.
bool skip_name(const std::string& name);

// The .vk files under `root`, sorted bytewise by relative path.
std::variant<std::vector<std::string>, DiscoveryError> discover_dir(const std::string& root);

// A directory's .vk files, or the path itself whatever its extension.
std::variant<std::vector<std::string>, DiscoveryError> discover_files(const std::string& path);

// Discovers and reads every file; a failure prints "vkc: ..." and exits with 2.
SourceList discover_and_read(const std::string& path);

// Drops every text once the trees are built (a tree holds its own copies of
// names and literals), so that the passes after parsing do not carry the
// sources. A diagnostic quoting a line of a released file reads it again, as
// it is then.
void release_texts(SourceList& sources);
void release_text(SourceFile& source);

// The source lookup of diagnostics; `sources` must outlive it.
Diag::Lookup build_lookup(const SourceList& sources);

}  // namespace Driver
