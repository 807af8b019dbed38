// The load-time pass that places superinstructions (superops.hpp).
#include "superops.hpp"

#include "bytecode/bytecode.hpp"

namespace Vm {

namespace {

using Bytecode::Builtin;
using Bytecode::Op;

unsigned op(std::uint32_t w) { return w & 0xff; }
unsigned reg_a(std::uint32_t w) { return w >> 8 & 0xff; }
unsigned builtin_of(std::uint32_t w) { return w >> 24; }
bool is(std::uint32_t w, Op o) { return op(w) == unsigned(o); }
bool is_builtin(std::uint32_t w, Builtin b) { return is(w, Op::BUILTIN) && builtin_of(w) == unsigned(b); }

// The superinstruction of a LOADK followed by `next`, if any.
int with_constant(Op next) {
  switch (next) {
    case Op::ADD: return int(Super::K_ADD);
    case Op::SUB: return int(Super::K_SUB);
    case Op::MUL: return int(Super::K_MUL);
    case Op::DIV: return int(Super::K_DIV);
    case Op::EQ: return int(Super::K_EQ);
    case Op::LT: return int(Super::K_LT);
    case Op::LE: return int(Super::K_LE);
    case Op::FADD: return int(Super::K_FADD);
    case Op::FSUB: return int(Super::K_FSUB);
    case Op::FMUL: return int(Super::K_FMUL);
    case Op::FDIV: return int(Super::K_FDIV);
    case Op::FLT: return int(Super::K_FLT);
    case Op::FLE: return int(Super::K_FLE);
    default: return -1;
  }
}

// The compare-and-branch of a comparison, with or without a LOADK before it.
int compare_jump(Op cmp, bool constant) {
  switch (cmp) {
    case Op::EQ: return int(constant ? Super::K_EQ_JZ : Super::EQ_JZ);
    case Op::LT: return int(constant ? Super::K_LT_JZ : Super::LT_JZ);
    case Op::LE: return int(constant ? Super::K_LE_JZ : Super::LE_JZ);
    case Op::FEQ: return int(constant ? Super::K_FEQ_JZ : Super::FEQ_JZ);
    case Op::FLT: return int(constant ? Super::K_FLT_JZ : Super::FLT_JZ);
    case Op::FLE: return int(constant ? Super::K_FLE_JZ : Super::FLE_JZ);
    default: return -1;
  }
}

// A comparison whose result only decides the JZ right after it.
bool branches_on(std::uint32_t cmp, std::uint32_t jz) {
  return compare_jump(Op(op(cmp)), false) >= 0 && is(jz, Op::JZ) && reg_a(jz) == reg_a(cmp);
}

// The superinstruction for the sequence starting at `c[i]`, or -1.
int choose(const std::vector<std::uint32_t>& c, std::size_t i) {
  std::size_t left = c.size() - i;
  std::uint32_t w0 = c[i];
  std::uint32_t w1 = left > 1 ? c[i + 1] : 0;
  std::uint32_t w2 = left > 2 ? c[i + 2] : 0;
  std::uint32_t w3 = left > 3 ? c[i + 3] : 0;
  if (is(w0, Op::LOADK) && left > 1) {
    if (left > 2 && branches_on(w1, w2)) return compare_jump(Op(op(w1)), true);
    if (left > 2 && is(w2, Op::JMP)) {
      if (is(w1, Op::ADD)) return int(Super::K_ADD_JMP);
      if (is(w1, Op::SUB)) return int(Super::K_SUB_JMP);
      if (is(w1, Op::FMUL)) return int(Super::K_FMUL_JMP);
    }
    return with_constant(Op(op(w1)));
  }
  if (left > 1 && branches_on(w0, w1)) return compare_jump(Op(op(w0)), false);
  // Float operations in a row: the second takes the first's result without
  // reading it back from its register.
  if (is(w0, Op::FMUL) && left > 1 && is(w1, Op::FADD)) return int(Super::FMUL_FADD);
  if (is(w0, Op::FMUL) && left > 1 && is(w1, Op::FSUB)) return int(Super::FMUL_FSUB);
  if (is(w0, Op::FDIV) && left > 1 && is(w1, Op::FADD)) return int(Super::FDIV_FADD);
  if (is(w0, Op::GETF) && left > 1 && is(w1, Op::FADD)) return int(Super::GETF_FADD);
  if (is(w0, Op::GETF) && left > 1 && is(w1, Op::FSUB)) return int(Super::GETF_FSUB);
  if (is(w0, Op::GETF) && left > 1 && is(w1, Op::FMUL)) return int(Super::GETF_FMUL);
  if (is(w0, Op::FADD) && left > 2 && is(w1, Op::LOADK) && is(w2, Op::FMUL)) {
    return int(Super::FADD_K_FMUL);
  }
  if (is(w0, Op::MOVE) && left > 1) {
    if (left > 3 && is(w1, Op::MOVE) && is(w2, Op::MOVE) && is_builtin(w3, Builtin::MULTI_STORE)) {
      return int(Super::MMM_ELEM_STORE);
    }
    if (left > 2 && is_builtin(w2, Builtin::MULTI_GET)) {
      if (is(w1, Op::MOVE)) return int(Super::MM_ELEM_GET);
      if (is(w1, Op::LOADK)) return int(Super::MK_ELEM_GET);
    }
    if (is(w1, Op::MOVE)) return int(Super::MOVE_MOVE);
    if (is(w1, Op::CALL)) return int(Super::MOVE_CALL);
    return -1;
  }
  if (is(w0, Op::CALL) && left > 1 && is(w1, Op::MOVE)) return int(Super::CALL_MOVE);
  if (is_builtin(w0, Builtin::MULTI_GET)) return int(Super::ELEM_GET);
  if (is_builtin(w0, Builtin::MULTI_STORE)) return int(Super::ELEM_STORE);
  if (is_builtin(w0, Builtin::FLOAT)) return int(Super::TO_FLOAT);
  if (is_builtin(w0, Builtin::COUNT) || is_builtin(w0, Builtin::LEN)) return int(Super::LENGTH);
  return -1;
}

}  // namespace

std::vector<std::uint32_t> fuse(const std::vector<std::uint32_t>& code) {
  std::vector<std::uint32_t> out = code;
  // Each word is judged on the original code, so sequences may overlap: a
  // jump to the second word of one finds the superinstruction of the rest.
  for (std::size_t i = 0; i < code.size(); ++i) {
    int s = choose(code, i);
    if (s >= 0) out[i] = (code[i] & ~0xffu) | std::uint32_t(s);
  }
  return out;
}

}  // namespace Vm
