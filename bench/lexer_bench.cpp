// Lexer throughput over generated programs of 10k, 100k and 1M lines, and the
// cost of printing the token dump on top of it. Inputs are generated in
// memory once per size, so the benchmark needs no files.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <map>
#include <string>

#include "diag/diag.hpp"
#include "dump/dump.hpp"
#include "lexer/lexer.hpp"
#include "bench_samples.hpp"

namespace {

using Bench::Sample;
using Bench::sample_of;

// Bytes/s and lines/s of the source, plus the token count for scale.
void report(benchmark::State& state, const Sample& sample, std::size_t tokens) {
  Bench::report_throughput(state, sample);
  state.counters["tokens"] = static_cast<double>(tokens);
  state.counters["MB"] = static_cast<double>(sample.source.size()) / 1e6;
}

void BM_tokenize(benchmark::State& state) {
  const Sample& sample = sample_of(state.range(0));
  std::size_t tokens = 0;
  for (auto _ : state) {
    Diag::Collector collector = Diag::Collector::create();
    Lexer::TokenList list = Lexer::tokenize(collector, "bench.vk", sample.source);
    tokens = list.tokens.size();
    benchmark::DoNotOptimize(list.tokens.data());
    if (collector.added_count() != 0) {
      state.SkipWithError("the lexer reported diagnostics on a generated program");
      break;
    }
  }
  report(state, sample, tokens);
}
BENCHMARK(BM_tokenize)->Arg(10'000)->Arg(100'000)->Arg(1'000'000)->Unit(benchmark::kMillisecond);

// What `vkc --dump-tokens` spends in memory: lexing plus building the dump text.
void BM_tokenize_and_dump(benchmark::State& state) {
  const Sample& sample = sample_of(state.range(0));
  std::size_t tokens = 0;
  for (auto _ : state) {
    Diag::Collector collector = Diag::Collector::create();
    Lexer::TokenList list = Lexer::tokenize(collector, "bench.vk", sample.source);
    std::string text = Dump::dump_tokens(list);
    tokens = list.tokens.size();
    benchmark::DoNotOptimize(text.data());
  }
  report(state, sample, tokens);
}
BENCHMARK(BM_tokenize_and_dump)->Arg(100'000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
