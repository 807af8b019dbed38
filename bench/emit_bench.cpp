// Emission speed: the generated program of 100k lines checked (lexing to the
// ownership pass, as the check mode runs), and checked then emitted into an
// image, as --emit runs it; and the emitter alone on the checked program.
#include <benchmark/benchmark.h>

#include "bench_samples.hpp"
#include "emit/emit.hpp"
#include "gcinfer/gcinfer.hpp"
#include "lexer/lexer.hpp"
#include "owner/owner.hpp"
#include "parser/parser.hpp"
#include "types/types.hpp"

namespace {

// One single-file program through every checking pass, kept for emission.
struct Checked {
  Diag::Collector collector;
  Ast::Program tree;
  std::vector<Types::FileSymbols> files;
  Types::ModuleOf module_of = [](std::string_view) { return std::string("."); };
  Types::ModuleTables modules;
  Types::Symbols merged;
  Owner::Tables tables;

  explicit Checked(const std::string& source) {
    Lexer::TokenList tokens = Lexer::tokenize(collector, "gen.vk", source);
    tree = Parser::parse(collector, "gen.vk", tokens);
    files.push_back({"gen.vk", Types::collect_declarations("gen.vk", tree, collector)});
    modules = Types::module_symbols(module_of, files);
    std::vector<Types::FileTree> trees{{"gen.vk", &tree}};
    merged = Gcinfer::infer(trees, Types::with_builtin_records(files[0].symbols));
    for (auto& [name, symbols] : modules) symbols.gc_classes = merged.gc_classes;
    Types::typecheck_program("gen.vk", module_of, modules, files[0].symbols, tree, merged, collector);
    tables = Owner::analyze("gen.vk", tree, merged, collector);
  }

  std::string emit() {
    std::vector<Emit::SourceUnit> units{{"gen.vk", &tree, &tables}};
    return Emit::emit({}, merged, module_of, modules, collector, units);
  }
};

void BM_Check(benchmark::State& state) {
  const Bench::Sample& sample = Bench::sample_of(state.range(0));
  for (auto _ : state) {
    Checked checked(sample.source);
    benchmark::DoNotOptimize(checked.tables.drops.data());
  }
  Bench::report_throughput(state, sample);
}
BENCHMARK(BM_Check)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_CheckAndEmit(benchmark::State& state) {
  const Bench::Sample& sample = Bench::sample_of(state.range(0));
  std::size_t image = 0;
  for (auto _ : state) {
    Checked checked(sample.source);
    std::string bytes = checked.emit();
    image = bytes.size();
    benchmark::DoNotOptimize(bytes.data());
  }
  Bench::report_throughput(state, sample);
  state.counters["image_MB"] = static_cast<double>(image) / 1e6;
}
BENCHMARK(BM_CheckAndEmit)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_EmitOnly(benchmark::State& state) {
  const Bench::Sample& sample = Bench::sample_of(state.range(0));
  Checked checked(sample.source);
  for (auto _ : state) {
    std::string bytes = checked.emit();
    benchmark::DoNotOptimize(bytes.data());
  }
  Bench::report_throughput(state, sample);
}
BENCHMARK(BM_EmitOnly)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
