#include "modes.hpp"

#include <sys/stat.h>

#include <cstdio>
#include <optional>
#include <string_view>

#include "diag/diag.hpp"
#include "discovery.hpp"
#include "dump/dump.hpp"
#include "assembly.hpp"
#include "build.hpp"
#include "front_end.hpp"
#include "image_compile.hpp"
#include "gcinfer/gcinfer.hpp"
#include "owner/owner.hpp"
#include "project.hpp"
#include "run.hpp"

namespace Driver {

namespace {

void print(std::string_view text) { std::fwrite(text.data(), 1, text.size(), stdout); }

// Renders the diagnostics to standard error and gives the exit status.
int finish(const Diag::Collector& collector, const Diag::Lookup& lookup) {
  std::fflush(stdout);
  std::string text = collector.render_all(lookup);
  if (!text.empty()) {
    text += '\n';
    std::fwrite(text.data(), 1, text.size(), stderr);
  }
  return collector.exit_code();
}

bool is_project_dir(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
         stat((path + "/vk.toml").c_str(), &st) == 0;
}

// One compile of one path: the sources, the collector, and what each pass
// made so far. Built in place and never moved: trees and tables keep views
// into the sources and into each other.
class Compile {
 public:
  explicit Compile(const std::string& path) : path_(path), sources_(discover_and_read(path)) {}
  Compile(const Compile&) = delete;
  Compile& operator=(const Compile&) = delete;

  const SourceList& sources() const { return sources_; }
  Diag::Collector& collector() { return collector_; }

  // Lexes and parses every file, sharing top-level constants across files.
  const ParsedList& parse() {
    parsed_ = parse_all_releasing(collector_, sources_);
    trees_.reserve(parsed_.size());
    for (const ParsedFile& file : parsed_) trees_.push_back({file.source->path, &file.tree});
    return parsed_;
  }

  // Parses, then collects, checks and types the whole program.
  const CheckedProgram& typecheck() {
    parse();
    program_.emplace(typecheck_all(collector_, path_, {}, trees_));
    return *program_;
  }

  const std::vector<Types::FileTree>& trees() const { return trees_; }

  // Prints the diagnostics and gives the exit status.
  int finish() const { return Driver::finish(collector_, build_lookup(sources_)); }

 private:
  std::string path_;
  SourceList sources_;
  Diag::Collector collector_;
  ParsedList parsed_;
  std::vector<Types::FileTree> trees_;
  std::optional<CheckedProgram> program_;
};

int dump_tokens(const std::string& path) {
  Compile run(path);
  bool multi = run.sources().size() > 1;
  for (const SourceFile& source : run.sources()) {
    Lexer::TokenList tokens = Lexer::tokenize(run.collector(), source.path, source.text);
    if (multi) print(Dump::file_header(source.path));
    print(Dump::dump_tokens(tokens));
  }
  return run.finish();
}

int dump_ast(const std::string& path) {
  Compile run(path);
  const ParsedList& parsed = run.parse();
  bool multi = parsed.size() > 1;
  for (const ParsedFile& file : parsed) {
    if (multi) print(Dump::file_header(file.source->path));
    Dump::dump_ast(file.tree, print);
  }
  return run.finish();
}

// Ownership dump: each file's tables, under a header line in multi-file runs.
int dump_owner(const std::string& path) {
  Compile run(path);
  const CheckedProgram& program = run.typecheck();
  bool multi = run.trees().size() > 1;
  for (const Types::FileTree& file : run.trees()) {
    Owner::Tables tables = Owner::analyze(file.path, *file.tree, program.merged, run.collector());
    if (multi) print(Dump::file_header(file.path));
    print(Dump::dump_owner(tables));
  }
  return run.finish();
}

// Gc dump: one listing of every class of the program; no ownership pass.
int dump_gc(const std::string& path) {
  Compile run(path);
  print(Gcinfer::render_final(run.typecheck().merged));
  return run.finish();
}

}  // namespace

int run(const Invocation& inv) {
  switch (inv.mode) {
    case Mode::Version:
      std::printf("velkan %s linux/amd64\n", "0.1.0");
      return 0;
    case Mode::DumpTokens:
      return dump_tokens(inv.path);
    case Mode::UpdateDeps:
      if (!is_project_dir(inv.path)) fail("--update-deps needs a project directory with a vk.toml");
      return manifest_build(true, inv.path);
    case Mode::DumpAst:
      return dump_ast(inv.path);
    case Mode::Check:
      return is_project_dir(inv.path) ? manifest_build(false, inv.path) : check_mode(inv.path);
    case Mode::DumpOwner:
      return dump_owner(inv.path);
    case Mode::DumpGc:
      return dump_gc(inv.path);
    case Mode::DumpBc:
      return dump_bc_mode(inv.path);
    case Mode::Emit:
      return emit_mode(inv.path, inv.out);
    case Mode::Build:
      return build_mode({}, inv.runtime.empty() ? std::nullopt : std::optional(inv.runtime), inv.path, inv.out);
    case Mode::Run:
      return run_mode(inv.path, inv.program_args);
  }
  return 2;
}

}  // namespace Driver
