// vkpasses: the checking pipeline of `vkc PATH`, pass by pass, with the CPU
// time of each pass and the peak resident memory after it.
//
//   vkpasses PATH
//
// Prints one line per pass: name, seconds, peak MB so far. The passes are the
// driver's own (discovery, front end, assembly), called in the driver's order.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "assembly.hpp"
#include "discovery.hpp"
#include "front_end.hpp"
#include "gcinfer/gcinfer.hpp"
#include "lexer/lexer.hpp"
#include "owner/owner.hpp"
#include "parser/parser.hpp"

namespace {

double peak_mb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

double cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto s = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  return s(usage.ru_utime) + s(usage.ru_stime);
}

class Clock {
 public:
  void lap(const char* pass) {
    double now = cpu_seconds();
    std::printf("%-22s %8.3f %9.1f\n", pass, now - last_, peak_mb());
    total_ += now - last_;
    last_ = now;
  }
  void total() const { std::printf("%-22s %8.3f %9.1f\n", "total", total_, peak_mb()); }

 private:
  double last_ = cpu_seconds();
  double total_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: vkpasses PATH\n");
    return 2;
  }
  const std::string root = argv[1];
  std::printf("%-22s %8s %9s\n", "pass", "cpu s", "peak MB");
  Clock clock;
  Driver::SourceList sources = Driver::discover_and_read(root);
  clock.lap("read");

  Diag::Collector collector = Diag::Collector::create();
  // The driver lexes each file as its parser asks for tokens.
  std::vector<Ast::Program> trees;
  trees.reserve(sources.size());
  // As check mode does, each text is dropped once its tree is built.
  for (Driver::SourceFile& s : sources) {
    trees.push_back(Parser::parse_source(collector, s.path, s.text));
    Driver::release_text(s);
  }
  clock.lap("lex + parse");

  std::vector<Types::FileTree> file_trees;
  for (std::size_t i = 0; i < sources.size(); ++i) file_trees.push_back({sources[i].path, &trees[i]});
  std::vector<Types::FileSymbols> files;
  files.reserve(trees.size());
  for (const Types::FileTree& f : file_trees)
    files.push_back({f.path, Types::collect_declarations(f.path, *f.tree, collector)});
  clock.lap("collect declarations");
  Driver::check_symbol_collisions(collector, files);
  clock.lap("collisions");
  Types::ModuleOf module_of = [&](std::string_view path) { return Driver::module_of_file(root, path); };
  Types::ModuleTables modules = Types::module_symbols(module_of, files);
  clock.lap("module tables");
  Types::check_modules(collector, module_of, files, file_trees, modules);
  clock.lap("module checks");
  Types::Symbols merged = Types::with_builtin_records(Driver::merge_symbols(files));
  clock.lap("merge");
  // Its last round is the ownership check of every file.
  Diag::Collector ownership;
  merged = Gcinfer::infer_checking(file_trees, std::move(merged), ownership);
  for (auto& [module, symbols] : modules) symbols.gc_classes = merged.gc_classes;
  clock.lap("gc inference + owner");
  for (std::size_t i = 0; i < file_trees.size(); ++i)
    Types::typecheck_program(file_trees[i].path, module_of, modules, files[i].symbols, trees[i], merged, collector);
  clock.lap("typing");
  collector.add_all(ownership);
  clock.total();
  std::printf("files %zu, diagnostics %zu\n", sources.size(), collector.diagnostics().size());
  return 0;
}
