#include "build.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <vector>

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

// The directory of this compiler's own executable, without a trailing `/`.
std::optional<std::string> own_directory() {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return std::nullopt;
  std::string exe(self, static_cast<std::size_t>(n));
  std::size_t slash = exe.rfind('/');
  if (slash == std::string::npos) return std::nullopt;
  return exe.substr(0, slash);
}

std::string quoted_path(const std::string& path) { return "'" + path + "'"; }

[[noreturn]] void runtime_not_found(const std::vector<std::string>& tried) {
  std::string places;
  for (std::size_t i = 0; i < tried.size(); ++i) {
    if (i > 0) places += i + 1 == tried.size() ? " or " : ", ";
    places += tried[i];
  }
  fail_line("runtime binary not found at " + places +
            " -- name the vkvm executable with --runtime <path> or VK_RUNTIME=<path>");
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

std::string find_runtime(const std::optional<std::string>& given) {
  std::vector<std::string> tried;
  if (given) {
    if (is_file(*given)) return *given;
    tried.push_back(quoted_path(*given) + " (given)");
    runtime_not_found(tried);
  }
  const char* env = std::getenv("VK_RUNTIME");
  if (env && *env) {
    if (is_file(env)) return env;
    tried.push_back(quoted_path(env) + " (VK_RUNTIME)");
    runtime_not_found(tried);
  }
  if (std::optional<std::string> dir = own_directory()) {
    // Beside vkc in a build tree or a bin/ directory, or in the lib/velkan/
    // of the prefix an installed vkc lives under.
    std::string beside = *dir + "/vkvm";
    if (is_file(beside)) return beside;
    tried.push_back(quoted_path(beside) + " (beside vkc)");
    std::size_t slash = dir->rfind('/');
    std::string prefix = slash == std::string::npos ? "." : dir->substr(0, slash);
    std::string installed = prefix + "/lib/velkan/vkvm";
    if (is_file(installed)) return installed;
    tried.push_back(quoted_path(installed));
  }
  const std::string local = "runtime/vkvm";
  if (is_file(local)) return local;
  tried.push_back(quoted_path(local));
  runtime_not_found(tried);
}

void frame_executable(const std::optional<std::string>& runtime, const std::string& image, ExecutableFrame& frame) {
  frame.runtime_path = find_runtime(runtime);
  if (!read_whole_file(frame.runtime_path, frame.bytes)) fail_line(system_message(frame.runtime_path));
  frame.runtime_part = strip_existing_trailer(frame.bytes);
  frame.trailer = trailer_bytes(static_cast<std::int64_t>(frame.runtime_part.size()),
                                static_cast<std::int64_t>(image.size()));
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
  ExecutableFrame frame;
  frame_executable(runtime, compile.image, frame);
  std::string failure =
      write_through_temp(out, out + ".vkc-build.tmp", 0755, {frame.runtime_part, compile.image, frame.trailer});
  if (!failure.empty()) fail_line(failure);
  return finish_compile(compile);
}

}  // namespace Driver
