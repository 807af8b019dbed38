// Image compilation: the road from a path (and the dependency checkouts of a
// project build) to one .vkb image, shared by --emit, --dump-bc, `vkc build`
// and project builds.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "assembly.hpp"
#include "diag/diag.hpp"
#include "discovery.hpp"

namespace Driver {

// Ordered (name, checkout directory) pairs; empty outside project builds.
// (DependencyList itself lives in assembly.hpp, which module naming shares.)

inline constexpr const char* dep_internal_code = "VK-E108";

// What one image compile leaves for its caller. The image is always built,
// even when the collector holds errors; callers write or list it only when
// `collector.has_error()` is false.
struct ImageCompile {
  std::shared_ptr<const SourceList> sources;  // kept alive for `lookup`
  Diag::Collector collector;
  Diag::Lookup lookup;
  std::string image;
  bool has_entry = false;  // the image names an entry method
};

// Discovers and reads `path` and then each dependency's directory (project
// files first), applies the dependency rules on `use` paths, checks, rewrites
// `using` calls, runs the ownership pass and emits. A `main` inside a
// dependency never becomes the entry. Reading failures exit with status 2.
ImageCompile compile_image(const DependencyList& deps, const std::string& path);

// The check: every pass of compile_image, in memory. The lowering runs only
// when the passes before it reported no error, and reports what it would
// report for --emit; `image` stays empty.
ImageCompile check_program(const DependencyList& deps, const std::string& path);

// True when `path` lies inside one of the dependency checkouts.
bool in_dependency(const DependencyList& deps, std::string_view path);

// The --emit mode: writes the image to `out` (through a temporary file and a
// rename) when no error was collected; gives the exit status.
int emit_mode(const std::string& path, const std::string& out);

// The check mode: diagnostics only; nothing is written or printed when clean.
int check_mode(const std::string& path);

// The --dump-bc mode: prints the listing when no error was collected.
int dump_bc_mode(const std::string& path);

}  // namespace Driver
