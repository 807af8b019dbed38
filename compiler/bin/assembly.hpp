// Whole-program assembly: the module of each file, the merged declaration
// tables, collisions between files, and the order in which every file is
// collected, checked and typed.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "diag/diag.hpp"
#include "owner/owner.hpp"
#include "types/types.hpp"

namespace Driver {

// A dependency checkout: its name and directory.
struct Dependency {
  std::string name;
  std::string dir;
};
using DependencyList = std::vector<Dependency>;

inline constexpr const char* duplicate_symbol_code = "VK-E214";

// "." for a single-file compile or a file directly in `root`, else the
// directory of the file relative to `root` ("net", "net/wire").
std::string module_of_file(const std::string& root, std::string_view path);

// Files of a dependency checkout are in modules named after the dependency
// ("json", "json/parse"); other files as module_of_file.
std::string module_of_multi(const std::string& root, const DependencyList& deps, std::string_view path);

// One table holding every file's declarations, the earlier file winning. It
// refers to the entries of `files`, which must outlive it.
Types::Symbols merge_symbols(std::span<const Types::FileSymbols> files);

// VK-E214 for a class or interface name declared by two files.
void check_symbol_collisions(Diag::Collector& collector, std::span<const Types::FileSymbols> files);

// What the type check of the whole program hands to the later stages.
struct CheckedProgram {
  Types::ModuleOf module_of;
  std::vector<Types::FileSymbols> files;  // per file, in the order given
  Types::ModuleTables modules;            // with the gc marks
  Types::Symbols merged;                  // library records and gc marks included
  Types::UsingRewrites using_rewrites;
  // The ownership pass's diagnostics over every file, found by gc inference.
  Diag::Collector ownership;
  // With that run's tables of every file (in the order of the trees), when
  // asked for.
  std::vector<Owner::Tables> ownership_tables;
};

// Collects, checks and types every file. The trees must outlive the result.
CheckedProgram typecheck_all(Diag::Collector& collector, const std::string& root, const DependencyList& deps,
                             std::span<const Types::FileTree> trees, bool keep_ownership_tables = false);

}  // namespace Driver
