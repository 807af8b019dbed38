#include "build.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>

#include "manifest.hpp"
#include "project_io.hpp"
#include "trailer.hpp"

namespace Driver {

namespace {

bool is_file(const std::string& path) { return path_exists(path) && !is_directory(path); }

// The library hint after the no-`main` message of a project that is a library.
void hint_if_library(const std::string& dir) {
  std::string manifest_path = join_path(dir, "vk.toml");
  if (!path_exists(manifest_path)) return;
  Manifest manifest = manifest_parse(manifest_path);
  const std::string* kind = manifest.get("kind");
  if (kind && *kind == "library") {
    say_line(manifest_path + ": this project declares `kind = \"library\"` \xE2\x80\x94 add a `main` for a demo binary, "
             "or check it with `vkc " + dir + "`");
  }
}

}  // namespace

int finish_compile(const ImageCompile& compile) {
  std::fflush(stdout);
  std::string text = compile.collector.render_all(compile.lookup);
  if (!text.empty()) {
    text += '\n';
    std::fwrite(text.data(), 1, text.size(), stderr);
  }
  return compile.collector.exit_code();
}

std::string default_runtime_path() {
  const char* env = std::getenv("VK_RUNTIME");
  if (env && *env) return env;
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) {
    std::string exe(self, static_cast<std::size_t>(n));
    std::size_t slash = exe.rfind('/');
    if (slash != std::string::npos) {
      std::string beside = exe.substr(0, slash + 1) + "vkvm";
      if (is_file(beside)) return beside;
    }
  }
  return "runtime/vkvm";
}

int build_mode(const DependencyList& deps, const std::optional<std::string>& runtime, const std::string& dir,
               const std::string& out) {
  ImageCompile compile = compile_image(deps, dir);
  if (compile.collector.has_error()) return finish_compile(compile);
  if (image_entry(compile.image) == -1) {
    say_line(dir + ": no `main` entry point found; `build` requires a zero-argument free fn named `main`");
    hint_if_library(dir);
    return 2;
  }
  std::string runtime_path = runtime ? *runtime : default_runtime_path();
  if (!is_file(runtime_path)) {
    fail_line("runtime binary not found at '" + runtime_path + "' -- build it with: make -C runtime vkvm");
  }
  std::string runtime_bytes;
  if (!read_whole_file(runtime_path, runtime_bytes)) fail_line(system_message(runtime_path));
  std::string_view runtime_part = strip_existing_trailer(runtime_bytes);
  std::string trailer = trailer_bytes(static_cast<std::int64_t>(runtime_part.size()),
                                      static_cast<std::int64_t>(compile.image.size()));
  std::string failure = write_through_temp(out, out + ".vkc-build.tmp", 0755, {runtime_part, compile.image, trailer});
  if (!failure.empty()) fail_line(failure);
  return finish_compile(compile);
}

}  // namespace Driver
