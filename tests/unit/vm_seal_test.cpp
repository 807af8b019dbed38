// Sealed images: an image damaged anywhere before its seal is refused before
// the runtime reads it, an unsealed image still loads, and the seal changes
// nothing the reader or the listing sees. The mutation run damages real
// images of the examples the way disks and transfers do (flipped bits,
// overwritten bytes, cuts) and the way hand edits do (counts and instruction
// operands overwritten with boundary values): every change before the seal
// must be refused, and nothing may crash. VK_SEAL_MUTATIONS=<n> runs longer.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "disasm/disasm.hpp"
#include "emit_test_pipeline.hpp"
#include "program.hpp"
#include "seal/seal.hpp"

namespace {

namespace fs = std::filesystem;

std::string example_image(const char* name) {
  fs::path root = fs::path(VK_SOURCE_ROOT);
  std::ifstream in(root / "examples" / name, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  EmittedProgram prog(text.str());
  EXPECT_FALSE(prog.has_error()) << name << ": " << prog.messages();
  std::string bytes = prog.bytes;
  Seal::append(bytes);
  return bytes;
}

std::uint32_t u32_at(const std::string& b, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(b[at + i]);
  return v;
}

// Where an image keeps its counts (the header's, each method's code length,
// line and drop counts) and its instruction words.
struct Places {
  std::vector<std::size_t> counts;
  std::vector<std::size_t> code;
};

Places places_of(const std::string& b) {
  Places p;
  for (std::size_t at : {12, 20, 28, 36}) p.counts.push_back(at);
  std::size_t at = u32_at(b, 32);
  for (std::uint32_t m = u32_at(b, 36); m > 0; --m) {
    at += 8;  // name, owner
    p.counts.push_back(at);  // args, regs, reserved: overwritten as one word
    at += 4;
    p.counts.push_back(at);
    std::uint32_t code = u32_at(b, at);
    at += 4;
    for (std::uint32_t w = 0; w < code; w += 4) p.code.push_back(at + w);
    at += code;
    p.counts.push_back(at);
    at += 4 + 8 * std::size_t(u32_at(b, at));
    p.counts.push_back(at);
    at += 4 + 20 * std::size_t(u32_at(b, at));
  }
  EXPECT_EQ(at + Seal::size, b.size()) << "the seal follows the last method";
  return p;
}

TEST(VmSeal, SealFollowsTheLastMethodAndChangesNoListing) {
  EmittedProgram prog("fn main() {\n  print(\"sealed\")\n}\n");
  std::string sealed = prog.bytes;
  Seal::append(sealed);
  ASSERT_EQ(sealed.size(), prog.bytes.size() + Seal::size);
  EXPECT_EQ(sealed.compare(0, prog.bytes.size(), prog.bytes), 0);
  EXPECT_EQ(sealed.substr(prog.bytes.size(), 4), "VKS1");
  EXPECT_EQ(Seal::check(sealed), Seal::State::INTACT);
  EXPECT_EQ(Seal::check(prog.bytes), Seal::State::UNSEALED);
  EXPECT_EQ(Seal::check(""), Seal::State::UNSEALED);
  EXPECT_EQ(Disasm::dump(sealed).text, Disasm::dump(prog.bytes).text);
  EXPECT_TRUE(Vm::load(sealed).program);

  // A damaged digest is as damaged as a damaged body; a damaged magic
  // leaves an image that no longer claims a seal, and reads as before.
  std::string digest = sealed;
  digest.back() ^= 1;
  EXPECT_EQ(Seal::check(digest), Seal::State::DAMAGED);
  std::string magic = sealed;
  magic[prog.bytes.size()] = 'X';
  EXPECT_EQ(Seal::check(magic), Seal::State::UNSEALED);
  EXPECT_TRUE(Vm::load(magic).program);
}

TEST(VmSeal, EveryMutationBeforeTheSealIsRefused) {
  std::vector<std::string> seeds = {example_image("inventory.vk"), example_image("bank_actors.vk"),
                                    example_image("book_table.vk"), example_image("json_people.vk")};
  std::vector<Places> places;
  std::vector<std::string> listings;
  for (const std::string& s : seeds) {
    places.push_back(places_of(s));
    listings.push_back(Disasm::dump(s).text);
    ASSERT_EQ(Seal::check(s), Seal::State::INTACT);
  }

  long iterations = 3000;
  if (const char* env = std::getenv("VK_SEAL_MUTATIONS")) iterations = std::atol(env);
  std::mt19937_64 rng(2024);
  auto below = [&](std::uint64_t n) { return n == 0 ? 0 : rng() % n; };
  static const std::uint32_t words[] = {0, 1, 2, 63, 64, 255, 0xFFFF, 0x10000, 0x7FFFFFFF, 0xFFFFFFFF, 0x80000000};
  long damaged = 0, unreadable = 0, intact = 0;
  for (long i = 0; i < iterations; ++i) {
    std::size_t which = below(seeds.size());
    const std::string& seed = seeds[which];
    const Places& at = places[which];
    std::string bytes = seed;
    auto put_word = [&](std::size_t pos, std::uint32_t w) {
      for (int k = 0; k < 4 && pos + k < bytes.size(); ++k) bytes[pos + k] = static_cast<char>(w >> (8 * k));
    };
    switch (below(6)) {
      case 0: bytes[below(bytes.size())] ^= static_cast<char>(1u << below(8)); break;
      case 1: bytes[below(bytes.size())] = static_cast<char>(rng()); break;
      case 2: bytes.resize(below(bytes.size())); break;
      case 3: put_word(at.counts[below(at.counts.size())], words[below(std::size(words))]); break;
      case 4: {
        // An operand of an instruction: one of the three bytes above the opcode.
        std::size_t pos = at.code[below(at.code.size())] + 1 + below(3);
        bytes[pos] = static_cast<char>(bytes[pos] ^ static_cast<char>(1 + below(255)));
        break;
      }
      default: put_word(at.code[below(at.code.size())], static_cast<std::uint32_t>(rng())); break;
    }
    std::size_t body = seed.size() - Seal::size;
    bool changed = bytes.size() < body || bytes.compare(0, body, seed, 0, body) != 0;
    if (!changed) {
      // Only the seal (or nothing) changed: the image reads as the original.
      ++intact;
      if (Seal::check(bytes) == Seal::State::DAMAGED) continue;
      Vm::Loaded loaded = Vm::load(bytes);
      ASSERT_TRUE(loaded.program) << loaded.error;
      EXPECT_EQ(Disasm::dump(bytes).text, listings[which]);
      continue;
    }
    if (Seal::check(bytes) == Seal::State::DAMAGED) {
      ++damaged;
      continue;
    }
    // The seal is gone with the cut: the reader must refuse what is left.
    Vm::Loaded loaded = Vm::load(bytes);
    ASSERT_FALSE(loaded.program) << "mutation " << i << " of seed " << which << " loaded";
    ++unreadable;
  }
  std::printf("[   info   ] %ld mutations: %ld refused as damaged, %ld cut short and unreadable, %ld touched only the seal\n",
              iterations, damaged, unreadable, intact);
  EXPECT_GT(damaged, 0);
  EXPECT_GT(unreadable, 0);
}

}  // namespace
