// Front-end throughput over generated programs of 10k, 100k and 1M lines:
// parsing alone (over tokens lexed once), lexing plus parsing as the driver
// does it, and the syntax-tree dump on top. Inputs are generated in memory.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <map>
#include <string>

#include "ast/ast.hpp"
#include "diag/diag.hpp"
#include "dump/dump.hpp"
#include "lexer/lexer.hpp"
#include "parser/parser.hpp"
#include "bench_samples.hpp"

namespace {

using Bench::Sample;
using Bench::sample_of;

void report(benchmark::State& state, const Sample& sample, std::size_t arena_bytes) {
  Bench::report_throughput(state, sample);
  state.counters["tree_MB"] = static_cast<double>(arena_bytes) / 1e6;
}

std::size_t arena_bytes(const Ast::Program& program) {
  std::size_t bytes = 0;
  for (const auto& arena : program.arenas) bytes += arena->bytes_used();
  return bytes;
}

void BM_parse(benchmark::State& state) {
  const Sample& sample = sample_of(state.range(0));
  Diag::Collector lex_diags = Diag::Collector::create();
  Lexer::TokenList tokens = Lexer::tokenize(lex_diags, "bench.vk", sample.source);
  std::size_t bytes = 0;
  for (auto _ : state) {
    Diag::Collector collector = Diag::Collector::create();
    Ast::Program program = Parser::parse(collector, "bench.vk", tokens);
    bytes = arena_bytes(program);
    benchmark::DoNotOptimize(program.decls.data());
    if (collector.added_count() != 0) {
      state.SkipWithError("the parser reported diagnostics on a generated program");
      break;
    }
  }
  report(state, sample, bytes);
}
BENCHMARK(BM_parse)->Arg(10'000)->Arg(100'000)->Arg(1'000'000)->Unit(benchmark::kMillisecond);

// What the driver spends per file before type checking: lexing plus parsing.
void BM_tokenize_and_parse(benchmark::State& state) {
  const Sample& sample = sample_of(state.range(0));
  std::size_t bytes = 0;
  for (auto _ : state) {
    Diag::Collector collector = Diag::Collector::create();
    Ast::Program program;
    {
      Lexer::TokenList tokens = Lexer::tokenize(collector, "bench.vk", sample.source);
      program = Parser::parse(collector, "bench.vk", tokens);
    }
    bytes = arena_bytes(program);
    benchmark::DoNotOptimize(program.decls.data());
  }
  report(state, sample, bytes);
}
BENCHMARK(BM_tokenize_and_parse)->Arg(10'000)->Arg(100'000)->Arg(1'000'000)->Unit(benchmark::kMillisecond);

// What `vkc --dump-ast` spends in memory: lexing, parsing and the dump text.
void BM_parse_and_dump(benchmark::State& state) {
  const Sample& sample = sample_of(state.range(0));
  std::size_t bytes = 0;
  for (auto _ : state) {
    Diag::Collector collector = Diag::Collector::create();
    Lexer::TokenList tokens = Lexer::tokenize(collector, "bench.vk", sample.source);
    Ast::Program program = Parser::parse(collector, "bench.vk", tokens);
    std::string text = Dump::dump_ast(program);
    bytes = arena_bytes(program);
    benchmark::DoNotOptimize(text.data());
  }
  report(state, sample, bytes);
}
BENCHMARK(BM_parse_and_dump)->Arg(100'000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
