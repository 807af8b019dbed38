#include "deps.hpp"

#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <set>

#include "git.hpp"
#include "lock_file.hpp"
#include "project_io.hpp"

namespace Driver {

namespace {

bool is_control(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }

bool bad_name(const std::string& name) {
  if (name.empty() || name == "." || name == ".." || name[0] == '-') return true;
  for (char c : name) {
    if (c == '/' || c == '\\' || c == ' ' || is_control(c)) return true;
  }
  return false;
}

bool lexists(const std::string& path) {
  struct stat st;
  return path.find('\0') == std::string::npos && lstat(path.c_str(), &st) == 0;
}

// One resolution run: the project, its lock and whether the lock changed.
class Resolver {
 public:
  Resolver(bool update, const std::string& dir, const std::string& manifest_path, const Manifest& manifest)
      // A project directory spelled with a leading `-` is given as ./-... so
      // that no path handed to git reads as an option.
      : update_(update),
        dir_(!dir.empty() && dir[0] == '-' ? "./" + dir : dir),
        manifest_path_(manifest_path),
        manifest_(manifest),
        deps_dir_(join_path(dir_, ".vk-deps")) {}

  DependencyList run(const std::vector<std::string>& names) {
    if (git_run({word("--version")})) dep_fail(manifest_path_, "[deps] present but no `git` binary on PATH");
    if (!path_exists(deps_dir_) && !make_directory(deps_dir_)) fail_line(system_message(deps_dir_));
    std::string lock_path = join_path(dir_, "vk.lock");
    if (update_) changed_ = true;
    else lock_ = read_lock(lock_path);
    DependencyList deps;
    for (const std::string& name : names) deps.push_back({name, resolve_one(name)});
    if (changed_) write_lock(lock_path, lock_);
    return deps;
  }

 private:
  [[noreturn]] void fail(const std::string& message) const { dep_fail(manifest_path_, message); }

  // The commit checked out in `checkout`. A directory without its own .git is
  // no checkout: git must not walk up into an enclosing repository (the
  // project's own, say) and report or move that one.
  std::optional<std::string> head(const std::string& checkout) const {
    if (!lexists(join_path(checkout, ".git"))) return std::nullopt;
    return git_read({word("-C"), quoted(checkout), word("rev-parse"), word("HEAD")});
  }

  void clone(const std::string& name, const std::string& url, const std::string& checkout) const {
    if (auto failed = git_run({word("clone"), quoted(url), quoted(checkout)})) {
      fail("dependency `" + name + "`: fetch failed (" + *failed + ")");
    }
  }

  bool check_out(const std::string& checkout, const std::string& rev) const {
    if (!lexists(join_path(checkout, ".git"))) return false;
    return !git_run({word("-C"), quoted(checkout), word("checkout"), word("-q"), quoted(rev)});
  }

  std::string resolve_one(const std::string& name) {
    if (is_directory(join_path(dir_, name))) {
      fail_line(manifest_path_ + ": error VK-E107: dependency `" + name +
                "` collides with the local module directory `" + name + "/`");
    }
    const std::string& url = *manifest_.get("deps." + name + ".git");
    const std::string& rev = *manifest_.get("deps." + name + ".rev");
    std::string checkout = join_path(deps_dir_, name);
    if (update_ && lexists(checkout)) {
      std::error_code ignored;  // as `rm -rf`: what cannot be removed shows up below
      std::filesystem::remove_all(checkout, ignored);
    }
    auto locked = lock_.find(name);
    bool exists = path_exists(checkout);
    if (locked != lock_.end()) {
      const std::string& hash = locked->second;
      if (hash[0] == '-') {
        fail("dependency `" + name + "`: vk.lock pins `" + hash +
             "`, which git would take as an option; fix vk.lock or run `vkc --update-deps`");
      }
      if (exists) {
        std::optional<std::string> at = head(checkout);
        if (!at) fail("dependency `" + name + "`: .vk-deps/" + name + " is not a git checkout; remove it");
        if (*at != hash) {
          fail("dependency `" + name + "`: lock drift \xE2\x80\x94 vk.lock pins " + hash + " but .vk-deps has " + *at +
               " (a moved `rev`?); run `vkc --update-deps` or remove .vk-deps/" + name);
        }
      } else {
        clone(name, url, checkout);
        if (!check_out(checkout, hash)) {
          fail("dependency `" + name + "`: locked commit " + hash +
               " is not in the remote \xE2\x80\x94 the history moved; run `vkc --update-deps` if that is intended");
        }
      }
    } else {
      if (!exists) clone(name, url, checkout);
      else if (!lexists(join_path(checkout, ".git"))) {
        fail("dependency `" + name + "`: .vk-deps/" + name + " is not a git checkout; remove it");
      }
      if (!check_out(checkout, rev)) fail("dependency `" + name + "`: rev `" + rev + "` not found in " + url);
      std::optional<std::string> at = head(checkout);
      if (!at) fail("dependency `" + name + "`: cannot read the checkout's HEAD");
      lock_[name] = *at;
      changed_ = true;
    }
    check_dep_shape(manifest_path_, name, checkout);
    return checkout;
  }

  bool update_;
  std::string dir_;
  const std::string& manifest_path_;
  const Manifest& manifest_;
  std::string deps_dir_;
  Lock lock_;
  bool changed_ = false;
};

}  // namespace

std::vector<std::string> dep_names(const Manifest& manifest) {
  std::set<std::string> names;
  for (const auto& [key, value] : manifest.entries()) {
    if (key.size() > 9 && key.starts_with("deps.") && key.ends_with(".git")) names.insert(key.substr(5, key.size() - 9));
  }
  return {names.begin(), names.end()};
}

std::string dep_problem(const std::string& name, const std::string& url, const std::string& rev) {
  if (bad_name(name)) {
    return "dependency `" + name +
           "`: a dependency name must be one plain directory name \xE2\x80\x94 not `.` or `..`, without `/`, `\\`, "
           "blanks or control bytes, and not beginning with `-`";
  }
  if (!url.empty() && url[0] == '-') {
    return "dependency `" + name + "`: `git` value `" + url + "` begins with `-`, which git would take as an option";
  }
  if (!rev.empty() && rev[0] == '-') {
    return "dependency `" + name + "`: `rev` value `" + rev + "` begins with `-`, which git would take as an option";
  }
  return "";
}

void dep_fail(const std::string& manifest_path, const std::string& message) {
  fail_line(manifest_path + ": error VK-E106: " + message);
}

DependencyList resolve_deps(bool update, const std::string& dir, const std::string& manifest_path,
                            const Manifest& manifest) {
  std::vector<std::string> names = dep_names(manifest);
  if (names.empty()) return {};
  // Every entry is vetted before the first git command or deletion.
  for (const std::string& name : names) {
    std::string problem =
        dep_problem(name, *manifest.get("deps." + name + ".git"), *manifest.get("deps." + name + ".rev"));
    if (!problem.empty()) dep_fail(manifest_path, problem);
  }
  return Resolver(update, dir, manifest_path, manifest).run(names);
}

void check_dep_shape(const std::string& manifest_path, const std::string& name, const std::string& checkout) {
  std::string own = join_path(checkout, "vk.toml");
  if (!path_exists(own)) dep_fail(manifest_path, "dependency `" + name + "` is not a velkan project (no vk.toml at its root)");
  Manifest manifest = manifest_parse(own);
  if (!manifest.get("name")) dep_fail(manifest_path, "dependency `" + name + "`: its vk.toml declares no `name`");
  if (!dep_names(manifest).empty()) {
    dep_fail(manifest_path, "dependency `" + name +
                                "` declares its own [deps] \xE2\x80\x94 transitive dependencies are not supported (flat-only)");
  }
}

}  // namespace Driver
