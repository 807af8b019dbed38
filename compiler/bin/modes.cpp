#include "modes.hpp"

#include <sys/stat.h>

#include <cstdio>
#include <string_view>

#include "diag/diag.hpp"
#include "discovery.hpp"
#include "dump/dump.hpp"
#include "front_end.hpp"
#include "assembly.hpp"
#include "gcinfer/gcinfer.hpp"
#include "owner/owner.hpp"

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

int dump_tokens(const std::string& path) {
  SourceList sources = discover_and_read(path);
  Diag::Collector collector;
  bool multi = sources.size() > 1;
  for (const SourceFile& source : sources) {
    Lexer::TokenList tokens = Lexer::tokenize(collector, source.path, source.text);
    if (multi) print(Dump::file_header(source.path));
    print(Dump::dump_tokens(tokens));
  }
  return finish(collector, build_lookup(sources));
}

int dump_ast(const std::string& path) {
  SourceList sources = discover_and_read(path);
  Diag::Collector collector;
  ParsedList parsed = parse_all(collector, sources);
  bool multi = parsed.size() > 1;
  for (const ParsedFile& file : parsed) {
    if (multi) print(Dump::file_header(file.source->path));
    print(Dump::dump_ast(file.tree));
  }
  return finish(collector, build_lookup(sources));
}

// The whole-program passes see each file as its path and tree.
std::vector<Types::FileTree> trees_of(const ParsedList& parsed) {
  std::vector<Types::FileTree> trees;
  trees.reserve(parsed.size());
  for (const ParsedFile& file : parsed) trees.push_back({file.source->path, &file.tree});
  return trees;
}

// Check: every pass up to ownership, nothing printed but the diagnostics.
int check(const std::string& path) {
  SourceList sources = discover_and_read(path);
  Diag::Collector collector;
  ParsedList parsed = parse_all(collector, sources);
  std::vector<Types::FileTree> trees = trees_of(parsed);
  CheckedProgram program = typecheck_all(collector, path, {}, trees);
  for (const Types::FileTree& file : trees) Owner::analyze(file.path, *file.tree, program.merged, collector);
  return finish(collector, build_lookup(sources));
}

// Ownership dump: each file's tables, under a header line in multi-file runs.
int dump_owner(const std::string& path) {
  SourceList sources = discover_and_read(path);
  Diag::Collector collector;
  ParsedList parsed = parse_all(collector, sources);
  std::vector<Types::FileTree> trees = trees_of(parsed);
  CheckedProgram program = typecheck_all(collector, path, {}, trees);
  bool multi = trees.size() > 1;
  for (const Types::FileTree& file : trees) {
    Owner::Tables tables = Owner::analyze(file.path, *file.tree, program.merged, collector);
    if (multi) print(Dump::file_header(file.path));
    print(Dump::dump_owner(tables));
  }
  return finish(collector, build_lookup(sources));
}

// Gc dump: one listing of every class of the program; no ownership pass.
int dump_gc(const std::string& path) {
  SourceList sources = discover_and_read(path);
  Diag::Collector collector;
  ParsedList parsed = parse_all(collector, sources);
  std::vector<Types::FileTree> trees = trees_of(parsed);
  CheckedProgram program = typecheck_all(collector, path, {}, trees);
  print(Gcinfer::render_final(program.merged));
  return finish(collector, build_lookup(sources));
}

// The modes whose later passes are not built yet run the front end and finish.
int front_end_only(const std::string& path) {
  SourceList sources = discover_and_read(path);
  Diag::Collector collector;
  ParsedList parsed = parse_all(collector, sources);
  return finish(collector, build_lookup(sources));
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
      return front_end_only(inv.path);
    case Mode::DumpAst:
      return dump_ast(inv.path);
    case Mode::Check:
      return check(inv.path);
    case Mode::DumpOwner:
      return dump_owner(inv.path);
    case Mode::DumpGc:
      return dump_gc(inv.path);
    case Mode::DumpBc:
    case Mode::Emit:
    case Mode::Build:
      return front_end_only(inv.path);
  }
  return 2;
}

}  // namespace Driver
