#include "project.hpp"

#include <optional>

#include "build.hpp"
#include "deps.hpp"
#include "image_compile.hpp"
#include "manifest.hpp"
#include "project_io.hpp"

namespace Driver {

int manifest_build(bool update_deps, const std::string& dir) {
  std::string manifest_path = join_path(dir, "vk.toml");
  Manifest manifest = manifest_parse(manifest_path);
  // Dependencies come first: a fresh clone is wanted even when a later check fails.
  DependencyList deps = resolve_deps(update_deps, dir, manifest_path, manifest);
  if (const std::string* constraint = manifest.get("runtime.vk")) check_runtime_constraint(manifest_path, *constraint);

  const std::string* name = manifest.get("name");
  if (!name) fail_line(manifest_path + ": `name` is required");
  if (!bare_file_name(*name)) fail_line(manifest_path + ": `name` must be a bare file name");

  const std::string* kind = manifest.get("kind");
  if (kind && *kind == "library") {
    // A library is only checked, as the check mode checks a path: no image,
    // and nothing printed but the diagnostics.
    return finish_compile(check_program(deps, dir));
  }
  if (kind && *kind != "program") {
    fail_line(manifest_path + ": error VK-E109: unknown `kind` value `" + *kind +
              "` \xE2\x80\x94 expected \"program\" (the default) or \"library\"");
  }

  std::optional<std::string> runtime;
  if (const std::string* path = manifest.get("build.runtime")) runtime = resolve_in(dir, *path);
  const std::string* target_key = manifest.get("build.target");
  std::string target = resolve_in(dir, target_key && !target_key->empty() ? *target_key : "target");
  if (!path_exists(target) && !make_directory(target)) {
    fail_line(system_message(target));
  }
  return build_mode(deps, runtime, dir, join_path(target, *name));
}

}  // namespace Driver
