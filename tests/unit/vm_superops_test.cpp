// Superinstructions: where the load-time pass places them, and that each one
// behaves like its plain sequence when registers alias, when a jump lands in
// the middle of a sequence and when its fast path does not apply. Also the
// collector's address set.
#include <gtest/gtest.h>

#include "ptr_set.hpp"
#include "superops.hpp"
#include "vm_asm.hpp"

namespace {

using namespace VmTest;
using Vm::Super;

unsigned op_at(const std::vector<std::uint32_t>& code, std::size_t pc) { return code[pc] & 0xff; }

TEST(VmSuperops, PlacementKeepsEveryWordAndOperand) {
  ConstPool pool;
  Asm a(pool, "f", 1, 8);
  a.kint(1, 2).op(Op::LT, 2, 0, 1).jump(Op::JZ, 2, "out");    // 0-2
  a.op(Op::MOVE, 3, 0).op(Op::MOVE, 4, 0).builtin(5, 3, Builtin::MULTI_GET);  // 3-5
  a.op(Op::LT, 2, 0, 1).jump(Op::JZ, 6, "out");              // 6-7: JZ on another register
  a.opx(Op::CALL, 3, 0).op(Op::MOVE, 6, 3);                  // 8-9
  a.label("out").op(Op::RET, 0);
  MethodEntry m = a.done();
  std::vector<std::uint32_t> fused = Vm::fuse(m.code);
  ASSERT_EQ(fused.size(), m.code.size());
  for (std::size_t i = 0; i < fused.size(); ++i) {
    EXPECT_EQ(fused[i] >> 8, m.code[i] >> 8) << "operands of word " << i;
  }
  EXPECT_EQ(op_at(fused, 0), unsigned(Super::K_LT_JZ));
  EXPECT_EQ(op_at(fused, 1), unsigned(Super::LT_JZ));  // for a jump to the comparison
  EXPECT_EQ(op_at(fused, 3), unsigned(Super::MM_ELEM_GET));
  EXPECT_EQ(op_at(fused, 5), unsigned(Super::ELEM_GET));
  EXPECT_EQ(op_at(fused, 6), unsigned(Op::LT));  // the JZ tests another register
  EXPECT_EQ(op_at(fused, 8), unsigned(Super::CALL_MOVE));
  EXPECT_EQ(op_at(fused, 10), unsigned(Op::RET));
}

// Each line printed comes from one superinstruction whose registers overlap.
TEST(VmSuperops, AliasedRegistersJumpsIntoSequencesAndFallbacks) {
  ConstPool pool;
  Image img;
  img.classes.push_back(make_class(pool, "P", false, {{"x", FieldKind::SCALAR}}));
  Asm twice(pool, "twice", 1, 2);
  twice.op(Op::ADD, 1, 0, 0).op(Op::RET, 1);

  Asm m(pool, "main", 0, 12);
  // K_ADD writing the constant's own register: 5 + 7.
  m.kint(0, 5).kint(1, 7).op(Op::ADD, 1, 0, 1).builtin(11, 1, Builtin::PRINT_INT);
  // FMUL_FSUB with the product in both operands: r3 := 6 - 6; then
  // FMUL_FADD: r2 := 6 * 6, r2 := r2 + r2.
  // (A MOVE between a LOADK and the first operation keeps LOADK; FMUL from
  // taking it.)
  m.kfloat(0, 3.0).kfloat(1, 2.0).op(Op::MOVE, 10, 10).op(Op::FMUL, 2, 0, 1).op(Op::FSUB, 3, 2, 2);
  m.builtin(4, 3, Builtin::FLOAT_TO_TEXT).builtin(11, 4, Builtin::PRINT).op(Op::DROP, 4);
  m.op(Op::FMUL, 2, 2, 2).op(Op::FADD, 2, 2, 2);
  m.builtin(4, 2, Builtin::FLOAT_TO_TEXT).builtin(11, 4, Builtin::PRINT).op(Op::DROP, 4);
  // FADD_K_FMUL whose LOADK overwrites the sum: (1+2) then r3 := 10 * 10.
  m.kfloat(0, 1.0).kfloat(1, 2.0).op(Op::MOVE, 10, 10).op(Op::FADD, 3, 0, 1).kfloat(3, 10.0).op(Op::FMUL, 2, 3, 3);
  m.builtin(4, 2, Builtin::FLOAT_TO_TEXT).builtin(11, 4, Builtin::PRINT).op(Op::DROP, 4);
  // A loop whose back jump lands on the comparison of LOADK; LT; JZ:
  // counts 0, 1, 2 with r5 and prints the sum 3.
  m.kint(5, 0).kint(6, 0);
  m.label("top").kint(7, 3).label("test").op(Op::LT, 8, 5, 7).jump(Op::JZ, 8, "done");
  m.op(Op::ADD, 6, 6, 5).kint(9, 1).op(Op::ADD, 5, 5, 9).jump(Op::JMP, 0, "test");
  m.label("done").builtin(11, 6, Builtin::PRINT_INT);
  // CALL_MOVE: the return runs the MOVE after the call.
  m.kint(9, 21).opx(Op::CALL, 9, 1).op(Op::MOVE, 10, 9).builtin(11, 10, Builtin::PRINT_INT);
  // GETF_FSUB on a nil instance: the plain field read reports the error at
  // the GETF's line.
  m.kint(0, 0).kfloat(1, 1.0).line(40).op(Op::GETF, 2, 0, 0).line(41).op(Op::FSUB, 3, 1, 2);
  m.op(Op::RET0);
  img.methods = {m.done(), twice.done()};
  img.entry = 0;
  Outcome o = run(img, pool);
  EXPECT_EQ(o.load_error, "");
  EXPECT_EQ(o.out, "12\n0.0\n72.0\n100.0\n3\n42\n");
  EXPECT_EQ(o.err, "vkvm: field read of a nil reference\n  at main (line 40)\n");
  EXPECT_EQ(o.status, 1);
}

// An element read past the end leaves the fast path and reports the index
// at the BUILTIN's line, after the moves before it have run.
TEST(VmSuperops, ElementReadOutOfRange) {
  ConstPool pool;
  Image img;
  Asm m(pool, "main", 0, 8);
  m.builtin(0, 0, Builtin::MULTI_NEW).masks(1, 0).kint(1, 4).op(Op::MOVE, 2, 0).op(Op::MOVE, 3, 1);
  m.builtin(4, 2, Builtin::MULTI_PUSH);
  m.op(Op::MOVE, 2, 0).kint(3, 0).builtin(5, 2, Builtin::MULTI_GET).builtin(7, 5, Builtin::PRINT_INT);
  m.op(Op::MOVE, 2, 0).builtin(5, 2, Builtin::COUNT).builtin(7, 5, Builtin::PRINT_INT);
  m.op(Op::MOVE, 2, 0).line(7).kint(3, 1).builtin(5, 2, Builtin::MULTI_GET);
  m.op(Op::RET0);
  img.methods = {m.done()};
  img.entry = 0;
  Outcome o = run(img, pool);
  EXPECT_EQ(o.out, "4\n1\n");
  EXPECT_EQ(o.err, "vkvm: index 1 is out of range for a multi of length 1\n  at main (line 7)\n");
}

TEST(VmSuperops, AddressSetAcrossPages) {
  Vm::PtrSet set;
  std::vector<std::uintptr_t> addrs;
  for (std::uintptr_t i = 1; i <= 5000; ++i) addrs.push_back(0x7f0000000000u + i * 40 + (i % 7) * 0x10000 * 13);
  for (std::uintptr_t a : addrs) set.insert(reinterpret_cast<void*>(a));
  set.insert(reinterpret_cast<void*>(addrs[0]));  // twice counts once
  EXPECT_EQ(set.size(), addrs.size());
  for (std::size_t i = 0; i < addrs.size(); i += 2) set.erase(reinterpret_cast<void*>(addrs[i]));
  for (std::size_t i = 0; i < addrs.size(); ++i) {
    EXPECT_EQ(set.contains(reinterpret_cast<void*>(addrs[i])), i % 2 == 1) << i;
  }
  EXPECT_EQ(set.size(), addrs.size() / 2);
  // Neighbouring words, misaligned words, nil and unknown pages are not members.
  EXPECT_FALSE(set.contains(reinterpret_cast<void*>(addrs[1] + 8)));
  EXPECT_FALSE(set.contains(reinterpret_cast<void*>(addrs[1] + 1)));
  EXPECT_FALSE(set.contains(nullptr));
  EXPECT_FALSE(set.contains(reinterpret_cast<void*>(std::uintptr_t(0x1000))));
  set.erase(reinterpret_cast<void*>(std::uintptr_t(0x1000)));  // never inserted
  EXPECT_EQ(set.size(), addrs.size() / 2);
}

}  // namespace
