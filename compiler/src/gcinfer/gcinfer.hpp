// Gc inference: which classes must be garbage-collected instead of having a
// single owner. A class is traced when it can own itself through a cycle of
// fields, or when a borrowed value of it would otherwise escape its scope
// (found by running the ownership pass with an escape observer).
#pragma once

#include <functional>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "ast/ast.hpp"
#include "owner/owner.hpp"
#include "types/types.hpp"

namespace Gcinfer {

// The classes a field of this type owns: a plain name, the element of a
// `multi`, the key and value of a `map` (key first), through one `?`.
std::vector<std::string_view> refs_of_ty(const Types::Symbols& symbols, const Ast::TypeExpr& ty);

// The classes a class owns through its fields, sorted by name, unique.
std::vector<std::string_view> edges(const Types::Symbols& symbols, const Types::ClassInfo& info);

using Adjacency = std::function<std::vector<std::string_view>(std::string_view)>;
using Component = std::vector<std::string_view>;

// Strongly connected components (Tarjan), the last completed first; each
// component starts with the name its search began from.
std::vector<Component> sccs(std::span<const std::string_view> names, const Adjacency& adjacency);

struct Classification {
  std::map<std::string_view, std::string> reasons;  // "cycle A -> B -> A"
  std::vector<std::string_view> names;               // every class, sorted
};
Classification classify(const Types::Symbols& symbols);

// The classes that have a cycle reason.
std::unordered_set<std::string_view> traced_names(const Classification& classification);

// `symbols` with its gc classes set to the cycle classes plus every class
// whose borrowed values escape somewhere in `files`, to a fixpoint. `rounds`,
// when given, receives the number of ownership runs over the program.
Types::Symbols infer(std::span<const Types::FileTree> files, Types::Symbols symbols, int* rounds = nullptr);

// infer, also giving to `ownership` the diagnostics of the ownership pass
// (Owner::check) over every file under the final gc classes: the last round
// of the fixpoint is that very analysis, so it is not run again. With
// `tables`, that round also keeps the ownership tables of every file (in the
// order of `files`), for the emitter.
Types::Symbols infer_checking(std::span<const Types::FileTree> files, Types::Symbols symbols,
                              Diag::Collector& ownership, std::vector<Owner::Tables>* tables = nullptr);

// The `--dump-gc` text: one line per class, sorted by name.
std::string render_final(const Types::Symbols& symbols);

}  // namespace Gcinfer
