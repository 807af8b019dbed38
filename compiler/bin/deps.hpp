// Git dependencies of a project: checkouts under <project>/.vk-deps/<name>,
// pinned to commits in <project>/vk.lock.
#pragma once

#include <string>
#include <vector>

#include "assembly.hpp"
#include "manifest.hpp"

namespace Driver {

// The names of the manifest's [deps] entries, sorted bytewise, each once.
std::vector<std::string> dep_names(const Manifest& manifest);

// Why a dependency may not be handed to the file system or to git, or empty.
// Its name becomes a directory under .vk-deps/, so it must be one plain path
// component; a URL or revision beginning with `-` would reach git as an option.
std::string dep_problem(const std::string& name, const std::string& url, const std::string& rev);

// Prints "vkc: <manifest>: error VK-E106: <message>" and exits with 2.
[[noreturn]] void dep_fail(const std::string& manifest_path, const std::string& message);

// Makes sure every dependency is checked out at its pinned commit (fetching
// and pinning it when it has no lock entry, or afresh when `update`), checks
// each is a flat velkan project, and gives the (name, checkout) list in name
// order. No [deps] entry: nothing happens at all. Failures exit with 2.
DependencyList resolve_deps(bool update, const std::string& dir, const std::string& manifest_path,
                            const Manifest& manifest);

// A checkout must hold a vk.toml that names the project and has no [deps].
void check_dep_shape(const std::string& manifest_path, const std::string& name, const std::string& checkout);

}  // namespace Driver
