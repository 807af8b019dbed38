// Instruction words: every form round-tripped at its limits, the jump
// patcher, the operand-limit messages and the opcode and builtin tables.
#include <gtest/gtest.h>

#include "emit/emit.hpp"

namespace {

using namespace Emit;

TEST(ImageInstr, FormsRoundTripAtTheirLimits) {
  for (int a : {0, 1, 63, 255}) {
    for (int b : {0, 1, 128, 255}) {
      for (int c : {0, 1, 127, 255}) {
        std::uint32_t w = abc(Op::GETF, a, b, c);
        EXPECT_EQ(op_of(w), int(Op::GETF));
        EXPECT_EQ(a_of(w), a);
        EXPECT_EQ(b_of(w), b);
        EXPECT_EQ(c_of(w), c);
        EXPECT_EQ(bx_of(w), b | c << 8);
      }
    }
    for (int bx : {0, 1, 255, 256, 32768, max_bx}) {
      std::uint32_t w = abx(Op::LOADK, a, bx);
      EXPECT_EQ(op_of(w), int(Op::LOADK));
      EXPECT_EQ(a_of(w), a);
      EXPECT_EQ(bx_of(w), bx);
    }
    for (int sbx : {min_sbx, min_sbx + 1, -1, 0, 1, max_sbx - 1, max_sbx}) {
      std::uint32_t w = asbx(Op::TRY, a, sbx);
      EXPECT_EQ(op_of(w), int(Op::TRY));
      EXPECT_EQ(a_of(w), a);
      EXPECT_EQ(sbx_of(w), sbx);
      EXPECT_EQ(bx_of(w), sbx + 32768);
    }
  }
  EXPECT_EQ(abc(Op::SHR, 255, 255, 255), 0xFFFFFF2Eu);
  EXPECT_EQ(abx(Op::TRAP, 0, max_bx), 0xFFFF001Fu);
  EXPECT_EQ(asbx(Op::JMP, 0, min_sbx), 0x0000000Du);
  EXPECT_EQ(asbx(Op::JMP, 0, max_sbx), 0xFFFF000Du);
}

TEST(ImageInstr, PatchJumpSetsDisplacementKeepingOpAndA) {
  std::vector<std::uint32_t> code(40000, abc(Op::NOP, 0, 0, 0));
  code[5] = asbx(Op::JMP, 0, 0);
  EXPECT_EQ(patch_jump(code, 5, 5), std::nullopt);
  EXPECT_EQ(sbx_of(code[5]), -1);
  EXPECT_EQ(bx_of(code[5]), 32767);
  EXPECT_EQ(patch_jump(code, 5, 6), std::nullopt);
  EXPECT_EQ(bx_of(code[5]), 32768);

  code[7] = asbx(Op::JZ, 42, 0);
  EXPECT_EQ(patch_jump(code, 7, 3), std::nullopt);
  EXPECT_EQ(code[7], asbx(Op::JZ, 42, -5));
  code[9] = asbx(Op::TRY, 63, 0);
  EXPECT_EQ(patch_jump(code, 9, 9 + 1 + 32767), std::nullopt);
  EXPECT_EQ(code[9], asbx(Op::TRY, 63, 32767));

  // One step past either end is refused and leaves the word as it was.
  std::uint32_t before = code[9];
  EXPECT_EQ(patch_jump(code, 9, 9 + 1 + 32768),
            "jump displacement 32768 does not fit the 16-bit signed field");
  EXPECT_EQ(code[9], before);
  code[39999] = asbx(Op::JMP, 0, 0);
  EXPECT_EQ(patch_jump(code, 39999, 39999 + 1 - 32768), std::nullopt);
  EXPECT_EQ(patch_jump(code, 39999, 39999 - 32768),
            "jump displacement -32769 does not fit the 16-bit signed field");
  EXPECT_EQ(sbx_of(code[39999]), -32768);
}

TEST(ImageInstr, OperandLimitMessages) {
  EXPECT_EQ(limit_code, "VK-E402");
  EXPECT_EQ(check_bx(IndexKind::CONSTANT, 65535), std::nullopt);
  EXPECT_EQ(check_bx(IndexKind::CONSTANT, 65536),
            "constant index 65536 exceeds the 16-bit instruction field");
  EXPECT_EQ(check_bx(IndexKind::CLASS, 70000),
            "class index 70000 exceeds the 16-bit instruction field");
  EXPECT_EQ(check_bx(IndexKind::METHOD, 65536),
            "method index 65536 exceeds the 16-bit instruction field");
  EXPECT_EQ(check_bx(IndexKind::INTERFACE_SLOT, 1 << 20),
            "interface slot index 1048576 exceeds the 16-bit instruction field");
  EXPECT_EQ(check_field(255), std::nullopt);
  EXPECT_EQ(check_field(256), "field index 256 exceeds the 8-bit GETF/SETF field");
  EXPECT_EQ(check_jump(-32768), std::nullopt);
  EXPECT_EQ(check_jump(32767), std::nullopt);
  EXPECT_EQ(check_jump(40000), "jump displacement 40000 does not fit the 16-bit signed field");
}

TEST(ImageInstr, OpcodeTable) {
  int assigned = 0;
  for (unsigned op = 0; op < 256; ++op) {
    const OpInfo* info = op_info(op);
    bool invalid = op == 27 || op == 28 || op > 46;
    EXPECT_EQ(info == nullptr, invalid) << op;
    if (info == nullptr) continue;
    ++assigned;
    // The listing starts with the mnemonic, padded to ten columns when operands follow.
    std::string listing = info->listing;
    EXPECT_EQ(listing.substr(0, info->mnemonic.size()), info->mnemonic);
    if (info->form != Form::NONE) {
      EXPECT_EQ(listing.find_first_not_of(' ', info->mnemonic.size()), 10u);
    }
  }
  EXPECT_EQ(assigned, 45);
  EXPECT_EQ(op_info(256), nullptr);
  EXPECT_EQ(op_info(int(Op::BUILTIN))->mnemonic, "BUILTIN");
  EXPECT_EQ(int(Op::SHR), 46);
}

TEST(ImageInstr, BuiltinTable) {
  EXPECT_EQ(builtin_info(4)->name, "multi_new");
  EXPECT_EQ(builtin_info(5)->source, "push");
  EXPECT_EQ(builtin_info(6)->source, "get");
  EXPECT_EQ(builtin_info(11)->source, "get");
  EXPECT_EQ(builtin_info(10)->arity, 3);
  EXPECT_EQ(builtin_info(88)->name, "call");
  EXPECT_EQ(builtin_info(14)->source, "");
  EXPECT_EQ(builtin_info(40), nullptr);  // library members live in the type checker's table
  EXPECT_EQ(builtin_info(255), nullptr);
  EXPECT_EQ(elem_meta_map(FieldKind::TEXT, FieldKind::SCALAR), 0x03u);
  EXPECT_EQ(elem_meta_map(FieldKind::TEXT, FieldKind::MAP), 0x53u);
}

}  // namespace
