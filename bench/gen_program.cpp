// vkgen: writes a large generated velkan program for benchmarks.
//
//   vkgen --lines N [--seed S] [--modules M] OUT
//
// Without --modules, OUT is one file. With it, OUT is a directory holding M
// module directories and a root main.vk. Same arguments and toolchain, same bytes.
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>

#include "program_gen.hpp"

namespace {

constexpr const char* usage = "usage: vkgen --lines N [--seed S] [--modules M] OUT\n";

std::optional<std::uint64_t> parse_number(std::string_view text) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

bool write_file(const std::filesystem::path& path, const std::string& text) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(text.data(), static_cast<std::streamsize>(text.size()));
  return static_cast<bool>(file);
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<std::uint64_t> lines;
  std::uint64_t seed = 1;
  std::optional<std::uint64_t> modules;
  std::string out;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const bool has_value = i + 1 < argc;
    if ((arg == "--lines" || arg == "--seed" || arg == "--modules") && has_value) {
      const auto value = parse_number(argv[++i]);
      if (!value) {
        std::fprintf(stderr, "vkgen: %s needs a non-negative integer\n%s", argv[i - 1], usage);
        return 2;
      }
      if (arg == "--lines") lines = value;
      if (arg == "--seed") seed = *value;
      if (arg == "--modules") modules = value;
    } else if (!arg.starts_with("-") && out.empty()) {
      out = arg;
    } else {
      std::fputs(usage, stderr);
      return 2;
    }
  }
  if (!lines || out.empty() || (modules && (*modules == 0 || *modules > 1000))) {
    std::fputs(usage, stderr);
    return 2;
  }

  std::size_t total_lines = 0;
  std::size_t total_bytes = 0;
  std::size_t file_count = 0;
  if (!modules) {
    const std::string text = Bench::generate_program(*lines, seed);
    if (!write_file(out, text)) {
      std::fprintf(stderr, "vkgen: cannot write %s\n", out.c_str());
      return 2;
    }
    total_lines = Bench::count_lines(text);
    total_bytes = text.size();
    file_count = 1;
  } else {
    const std::filesystem::path root(out);
    std::error_code error;
    for (const Bench::GeneratedFile& file : Bench::generate_modules(*lines, static_cast<int>(*modules), seed)) {
      const std::filesystem::path path = root / file.path;
      std::filesystem::create_directories(path.parent_path(), error);
      if (error || !write_file(path, file.text)) {
        std::fprintf(stderr, "vkgen: cannot write %s\n", path.c_str());
        return 2;
      }
      total_lines += Bench::count_lines(file.text);
      total_bytes += file.text.size();
      ++file_count;
    }
  }
  std::printf("vkgen: wrote %zu lines, %zu bytes in %zu file(s) to %s\n", total_lines, total_bytes, file_count,
              out.c_str());
  return 0;
}
