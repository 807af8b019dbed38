// libFuzzer target for the image reader: any input either lists or is
// refused with a message; the sanitizers catch any read out of bounds.
// Build and run (clang only, not part of the default build):
//   cmake -S . -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DVK_SANITIZE=ON \
//         -DVK_BENCH=OFF -DVK_FUZZ=ON && cmake --build build-fuzz --target disasm_fuzz
//   build-fuzz/tests/fuzz/disasm_fuzz -max_total_time=60 tests/fuzz/corpus
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "disasm/disasm.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view image(reinterpret_cast<const char*>(data), size);
  Disasm::Listing listing = Disasm::dump(image);
  // Exactly one of a listing and a message, and the checked read agrees.
  if (listing.ok() == listing.text.empty()) std::abort();
  if (listing.ok() != Disasm::read(image).ok()) std::abort();
  return 0;
}
