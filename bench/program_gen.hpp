// Generator of large, realistic velkan programs for benchmarks: records,
// classes, unions, interfaces and free functions that call one another, all
// of it clean for every pass of the compiler. Output depends only on the
// arguments and the compiler vkgen was built with (several random draws can
// sit in one call's arguments, whose evaluation order is the compiler's).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Bench {

// One generated source file; `path` is relative to the output directory.
struct GeneratedFile {
  std::string path;
  std::string text;
};

// One file of about `lines` lines whose `main` calls every generated part.
std::string generate_program(std::size_t lines, std::uint64_t seed);

// A directory layout of about `lines` lines in total: `modules` module
// directories of several files each, module k using module k-1, and a root
// `main.vk` that uses every module.
std::vector<GeneratedFile> generate_modules(std::size_t lines, int modules, std::uint64_t seed);

// Number of lines of a text (a last line without a line feed counts too).
std::size_t count_lines(std::string_view text);

}  // namespace Bench
