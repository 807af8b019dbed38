// Deterministic mutation fuzzing of the runtime's loader: valid images are
// damaged (bytes, aligned words with boundary values, cuts) and each result
// must load or be refused with a message, never crash. Under the sanitizers
// this also proves the loader reads nothing out of bounds.
// VK_FUZZ_ITERATIONS=<n> runs longer.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "image_samples.hpp"
#include "vm_asm.hpp"

namespace {

using namespace VmTest;

// A program touching every section: a class with each field kind, an
// interface with a vtable, calls, a try, line and drop records.
std::string seed_program() {
  ConstPool pool;
  Image img;
  img.classes.push_back(make_class(pool, "Node", true,
                                   {{"next", FieldKind::GCREF}, {"name", FieldKind::TEXT},
                                    {"items", FieldKind::MULTI}, {"f", FieldKind::FLOAT}}));
  img.classes.push_back(error_class(pool));
  img.interfaces.push_back(InterfaceEntry{pool.const_text("Named"), 1});
  img.vtables.push_back(Vtable{0, 0, {1}});
  Asm name(pool, "name", 1, 2);
  name.op(Op::GETF, 1, 0, 1).op(Op::RET, 1);
  Asm m(pool, "main", 0, 8);
  m.line(1).opx(Op::NEW, 0, 0).masks(0, 1).ktext(1, "x").op(Op::SETF, 0, 1, 1);
  m.jump(Op::TRY, 2, "h").op(Op::MOVE, 3, 0).opx(Op::ICALL, 3, 0).builtin(4, 3, Builtin::PRINT);
  m.op(Op::MOVE, 4, 0).opx(Op::CALL, 4, 1).op(Op::ENDTRY).jump(Op::JMP, 0, "end");
  m.label("h").opx(Op::NEW, 5, 1).op(Op::MOVE, 6, 5).op(Op::MOVE, 7, 2).builtin(5, 6, Builtin::ERROR_FILL);
  m.op(Op::DROP, 5);
  m.label("end").kfloat(3, 1.5).op(Op::FADD, 3, 3, 3).op(Op::RET0);
  MethodEntry nm = name.done();
  nm.owner = 0;
  img.methods = {m.done(), nm};
  img.entry = 0;
  img.constants = pool.entries();
  return write_image(img);
}

TEST(VmLoadFuzz, DamagedImagesLoadOrAreRefused) {
  std::vector<std::string> seeds = {seed_program(), write_image(Samples::program())};
  for (const std::string& s : seeds) ASSERT_TRUE(s.size() > 44);
  Vm::Loaded good = Vm::load(seeds[0]);
  ASSERT_TRUE(good.program) << good.error;

  long iterations = 20000;
  if (const char* env = std::getenv("VK_FUZZ_ITERATIONS")) iterations = std::atol(env);
  std::mt19937_64 rng(12345);
  auto below = [&](std::uint64_t n) { return n == 0 ? 0 : rng() % n; };
  static const std::uint32_t words[] = {0, 1, 2, 63, 64, 255, 0xFFFF, 0x10000, 0x7FFFFFFF,
                                        0xFFFFFFFF, 0x0000FF1D, 0x00FF0F0F, 0x80001D00};
  long loaded = 0, refused = 0;
  for (long i = 0; i < iterations; ++i) {
    std::string bytes = seeds[below(seeds.size())];
    int rounds = 1 + static_cast<int>(below(3));
    for (int r = 0; r < rounds; ++r) {
      switch (below(4)) {
        case 0: bytes[below(bytes.size())] = static_cast<char>(rng()); break;
        case 1: {
          std::size_t at = below(bytes.size() / 4) * 4;
          std::uint32_t w = words[below(std::size(words))];
          for (int k = 0; k < 4 && at + k < bytes.size(); ++k) bytes[at + k] = static_cast<char>(w >> (8 * k));
          break;
        }
        case 2: bytes.resize(below(bytes.size() + 1)); break;
        default: bytes[below(bytes.size())] ^= static_cast<char>(1u << below(8)); break;
      }
      if (bytes.empty()) break;
    }
    Vm::Loaded result = Vm::load(bytes);
    if (result.program) {
      ++loaded;
    } else {
      ++refused;
      EXPECT_FALSE(result.error.empty());
    }
  }
  EXPECT_GT(loaded, 0);
  EXPECT_GT(refused, 0);
}

}  // namespace
