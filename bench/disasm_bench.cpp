// Listing speed: a program image of about 10 MB (straight-line methods with
// line and drop records) read and listed whole, and the reader alone.
#include <benchmark/benchmark.h>

#include "../tests/unit/image_samples.hpp"
#include "disasm/disasm.hpp"

namespace {

const std::string& image_10mb() {
  static const std::string image = Emit::write_image(Samples::large(10 << 20));
  return image;
}

void BM_DisasmDump10MB(benchmark::State& state) {
  const std::string& image = image_10mb();
  std::size_t listed = 0;
  for (auto _ : state) {
    Disasm::Listing listing = Disasm::dump(image);
    if (!listing.ok()) state.SkipWithError(listing.error.c_str());
    listed = listing.text.size();
    benchmark::DoNotOptimize(listing.text.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * image.size()));
  state.counters["image_MB"] = static_cast<double>(image.size()) / 1e6;
  state.counters["listing_MB"] = static_cast<double>(listed) / 1e6;
}
BENCHMARK(BM_DisasmDump10MB)->Unit(benchmark::kMillisecond);

void BM_DisasmRead10MB(benchmark::State& state) {
  const std::string& image = image_10mb();
  for (auto _ : state) {
    Disasm::Read read = Disasm::read(image);
    benchmark::DoNotOptimize(read.image.methods.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * image.size()));
}
BENCHMARK(BM_DisasmRead10MB)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
