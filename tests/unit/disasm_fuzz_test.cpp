// A deterministic mutation fuzzer for the image reader: well-formed images
// from the writer are damaged in many small ways, and every result must be
// either a whole listing or one of the reader's messages. Run under the
// sanitizers it also proves that no input reads out of bounds.
// VK_FUZZ_ITERATIONS=<n> runs longer than the default few seconds.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <random>

#include "disasm/disasm.hpp"
#include "image_samples.hpp"

namespace {

using namespace Emit;

bool known_message(const std::string& error) {
  static const char* const fixed[] = {"bad magic", "truncated", "text constant overruns image",
                                      "code length is not a multiple of 4",
                                      "reserved method field is not zero"};
  for (const char* m : fixed) {
    if (error == m) return true;
  }
  auto digits = [](const std::string& s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
  };
  if (error.rfind("unsupported version ", 0) == 0) return digits(error.substr(20));
  std::size_t colon = error.find(": unknown tag ");
  return error.rfind("constant ", 0) == 0 && colon != std::string::npos &&
         digits(error.substr(9, colon - 9)) && digits(error.substr(colon + 14));
}

class Mutator {
 public:
  explicit Mutator(std::uint64_t seed) : rng_(seed) {}

  std::string mutate(std::string bytes, const std::vector<std::string>& seeds) {
    int rounds = 1 + static_cast<int>(below(4));
    for (int i = 0; i < rounds; ++i) step(bytes, seeds);
    return bytes;
  }

 private:
  std::uint64_t below(std::uint64_t n) { return n == 0 ? 0 : rng_() % n; }

  std::uint32_t interesting(std::size_t size) {
    static const std::uint32_t values[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 44, 0x7F, 0x80, 0xFF, 0x100,
                                           0xFFFF, 0x10000, 0x7FFFFFFF, 0x80000000,
                                           0xFFFFFFFC, 0xFFFFFFFE, 0xFFFFFFFF};
    if (below(4) == 0) return static_cast<std::uint32_t>(size + below(9)) - 4;
    return values[below(std::size(values))];
  }

  void put_u32(std::string& bytes, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4 && at + i < bytes.size(); ++i) bytes[at + i] = static_cast<char>(v >> (8 * i));
  }

  void step(std::string& bytes, const std::vector<std::string>& seeds) {
    std::size_t size = bytes.size();
    switch (below(9)) {
      case 0:  // flip one bit
        if (size) bytes[below(size)] ^= static_cast<char>(1 << below(8));
        break;
      case 1:  // one random byte
        if (size) bytes[below(size)] = static_cast<char>(below(256));
        break;
      case 2:  // a header field: offsets, counts, entry
        put_u32(bytes, 8 + 4 * below(9), interesting(size));
        break;
      case 3:  // a u32 anywhere, aligned or not
        if (size) put_u32(bytes, below(size), interesting(size));
        break;
      case 4:  // cut the tail
        bytes.resize(below(size + 1));
        break;
      case 5: {  // insert random bytes
        std::string extra(1 + below(8), '\0');
        for (char& c : extra) c = static_cast<char>(below(256));
        bytes.insert(below(size + 1), extra);
        break;
      }
      case 6: {  // delete a range
        std::size_t at = below(size + 1);
        bytes.erase(at, 1 + below(16));
        break;
      }
      case 7: {  // duplicate a range
        if (!size) break;
        std::size_t at = below(size);
        std::string piece = bytes.substr(at, 1 + below(32));
        bytes.insert(below(size + 1), piece);
        break;
      }
      default: {  // splice in part of another image
        const std::string& other = seeds[below(seeds.size())];
        std::size_t from = below(other.size() + 1);
        bytes = bytes.substr(0, below(size + 1)) + other.substr(from, below(other.size() - from + 1));
        break;
      }
    }
  }

  std::mt19937_64 rng_;
};

TEST(DisasmFuzz, DamagedImagesListOrFailCleanly) {
  std::vector<std::string> seeds = {write_image(Samples::empty()), write_image(Samples::program()),
                                    write_image(Samples::all_instructions())};
  const char* env = std::getenv("VK_FUZZ_ITERATIONS");
  const long iterations = env ? std::atol(env) : 200000;
  const auto budget = env ? std::chrono::hours(24) : std::chrono::seconds(4);
  const auto start = std::chrono::steady_clock::now();

  Mutator mutator(20240611);
  long tried = 0, listed = 0;
  for (; tried < iterations; ++tried) {
    if ((tried & 255) == 0 && std::chrono::steady_clock::now() - start > budget) break;
    const std::string& seed = seeds[tried % seeds.size()];
    std::string input = mutator.mutate(seed, seeds);
    Disasm::Listing listing = Disasm::dump(input);
    if (listing.ok()) {
      ++listed;
      ASSERT_EQ(listing.text.rfind("== CONSTANTS ==\n", 0), 0u) << tried;
      ASSERT_NE(listing.text.find("\n== ENTRY ==\n"), std::string::npos) << tried;
      ASSERT_EQ(listing.text.back(), '\n') << tried;
    } else {
      ASSERT_TRUE(listing.text.empty()) << tried;
      ASSERT_TRUE(known_message(listing.error)) << tried << ": " << listing.error;
    }
    ASSERT_EQ(Disasm::read(input).ok(), listing.ok()) << tried;
  }
  std::printf("[ disasm fuzz ] %ld inputs, %ld listed, %ld refused\n", tried, listed, tried - listed);
  RecordProperty("inputs", static_cast<int>(tried));
  EXPECT_GT(listed, 0);
  EXPECT_GT(tried - listed, 0);
}

}  // namespace
