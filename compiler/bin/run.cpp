#include "run.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>

#include "build.hpp"
#include "deps.hpp"
#include "image_compile.hpp"
#include "manifest.hpp"
#include "project_io.hpp"
#include "trailer.hpp"

extern char** environ;

namespace Driver {

namespace {

// Writes all of `bytes`; false with errno set.
bool write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// The name the program sees as its own: the last part of its path.
std::string program_name(const std::string& path) {
  std::string_view p = path;
  while (p.size() > 1 && p.back() == '/') p.remove_suffix(1);
  std::size_t slash = p.rfind('/');
  return std::string(slash == std::string_view::npos ? p : p.substr(slash + 1));
}

}  // namespace

int run_mode(const std::string& path, const std::vector<std::string>& args) {
  DependencyList deps;
  std::optional<std::string> runtime;
  std::string manifest_path = join_path(path, "vk.toml");
  if (is_directory(path) && path_exists(manifest_path)) {
    Manifest manifest = manifest_parse(manifest_path);
    deps = resolve_deps(false, path, manifest_path, manifest);
    if (const std::string* constraint = manifest.get("runtime.vk")) check_runtime_constraint(manifest_path, *constraint);
    if (const std::string* rt = manifest.get("build.runtime")) runtime = resolve_in(path, *rt);
  }

  ImageCompile compile = compile_image(deps, path);
  if (compile.collector.has_error()) return finish_compile(compile);
  if (image_entry(compile.image) == -1) {
    finish_compile(compile);
    fail_line(path + ": no `main` entry point found; `run` requires a free fn named `main`");
  }
  ExecutableFrame frame;
  frame_executable(runtime, compile.image, frame);

  // The executable lives only in memory: nothing to clean up however the
  // program ends.
  std::string name = program_name(path);
  int fd = ::memfd_create(name.c_str(), MFD_CLOEXEC);
  if (fd < 0) fail_line(std::string("cannot make the program in memory: ") + std::strerror(errno));
  if (!write_all(fd, frame.runtime_part) || !write_all(fd, compile.image) || !write_all(fd, frame.trailer)) {
    fail_line(std::string("cannot make the program in memory: ") + std::strerror(errno));
  }
  finish_compile(compile);  // warnings, if any, come before the program's output

  std::vector<char*> argv;
  argv.push_back(name.data());
  std::vector<std::string> owned(args);
  for (std::string& a : owned) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::fflush(nullptr);
  ::fexecve(fd, argv.data(), environ);
  fail_line("cannot run '" + frame.runtime_path + "': " + std::strerror(errno));
}

}  // namespace Driver
