// The project build: `vkc <dir>` and `vkc --update-deps <dir>` on a
// directory holding vk.toml.
#pragma once

#include <string>

namespace Driver {

// Parses the manifest, resolves the dependencies (afresh with
// `update_deps`), checks the toolchain constraint, `name` and `kind`, then
// builds <target>/<name> or, for a library, only checks the code. Gives the
// exit status; manifest and dependency failures exit with 2.
int manifest_build(bool update_deps, const std::string& dir);

}  // namespace Driver
