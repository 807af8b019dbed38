// Shared by the benchmarks: generated programs kept in memory per size, and
// the throughput counters every front-end benchmark reports.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <map>
#include <string>

#include "program_gen.hpp"

namespace Bench {

struct Sample {
  std::string source;
  std::size_t lines = 0;
};

// The generated program of about `lines` lines (seed 1), made once per size.
inline const Sample& sample_of(std::int64_t lines) {
  static std::map<std::int64_t, Sample> samples;
  auto [at, fresh] = samples.try_emplace(lines);
  if (fresh) {
    at->second.source = generate_program(static_cast<std::size_t>(lines), 1);
    at->second.lines = count_lines(at->second.source);
  }
  return at->second;
}

// Bytes/s and lines/s of the source.
inline void report_throughput(benchmark::State& state, const Sample& sample) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(sample.source.size()));
  state.counters["lines/s"] =
      benchmark::Counter(static_cast<double>(sample.lines), benchmark::Counter::kIsIterationInvariantRate);
}

}  // namespace Bench
