// The interpreter: one dispatch loop over the instruction words, with the
// label table generated from the opcode table. Operands were proved valid at
// load (registers inside the window, jump targets, constant, class, method
// and slot numbers), so the handlers do not check them again; what only the
// running program can tell (a nil receiver, a division by zero, a borrow
// conflict) raises an error that the loop's caller unwinds.
#include <cstdlib>
#include <cstring>

#include "builtins.hpp"
#include "bytecode/bytecode.hpp"
#include "machine.hpp"
#include "superops.hpp"

namespace Vm {

struct Interp {
  static Value execute(Machine& vm, std::size_t floor);
};

namespace {

inline Value add(Value a, Value b) { return a + b; }  // wraps: Values are unsigned
inline Value sub(Value a, Value b) { return a - b; }
inline Value mul(Value a, Value b) { return a * b; }

// Shifts by 64 or more give 0 (or -1 for a negative value shifted right); a
// negative count shifts the other way.
Value shift_left(Value a, std::int64_t n);
Value shift_right(Value a, std::int64_t n) {
  if (n < 0) return n == INT64_MIN ? 0 : shift_left(a, -n);
  if (n >= 64) return as_int(a) < 0 ? from_int(-1) : 0;
  return from_int(as_int(a) >> n);
}
Value shift_left(Value a, std::int64_t n) {
  if (n < 0) return n == INT64_MIN ? 0 : shift_right(a, -n);
  if (n >= 64) return 0;
  return a << n;
}

// Pushes the frame of a call made at rA of the method `caller` running on
// `R`. Each method has its own window above its caller's whole window, so a
// call never overwrites the caller's registers; the arguments are copied in.
[[gnu::always_inline]] inline Value* enter(Machine& vm, Value* R, const Method* caller, const Method* callee, unsigned a) {
  Value* base = R + caller->regs;
  if (base + callee->regs > vm.stack_end() || vm.frame_count() >= Machine::max_frames) {
    raise(ErrorCode::STACK_OVERFLOW, "stack overflow: the calls nest too deeply");
  }
  unsigned n = callee->args;
  for (unsigned i = 0; i < n; ++i) base[i] = R[a + i];
  for (unsigned i = n; i < callee->regs; ++i) base[i] = 0;
  vm.push_frame(Frame{callee, 0, base});
  return base;
}

[[noreturn]] void nil_receiver(const char* what) {
  raise(ErrorCode::NIL_VALUE, std::string(what) + " of a nil reference");
}

// A text of the concatenation; a nil operand reads as empty.
Value concat(Machine& vm, Value a, Value b) {
  std::string_view x = a ? str_view(a) : std::string_view{};
  std::string_view y = b ? str_view(b) : std::string_view{};
  Str* s = vm.heap.text_buffer(x.size() + y.size());
  if (!x.empty()) std::memcpy(s->data, x.data(), x.size());
  if (!y.empty()) std::memcpy(s->data + x.size(), y.data(), y.size());
  return from_ptr(s);
}

bool text_equal(Value a, Value b) {
  if (a == b) return true;
  if (a == 0 || b == 0) return false;
  return str_view(a) == str_view(b);
}

void borrow(std::vector<Borrow>& log, Value v, bool exclusive) {
  Obj* o = as_obj(v);
  if (o == nullptr || o->type == ObjType::TEXT || o->type == ObjType::BYTES) {
    log.push_back(Borrow{nullptr, exclusive});
    return;
  }
  if (exclusive ? o->borrows != 0 : o->borrows < 0) {
    raise(ErrorCode::BORROW_CONFLICT,
          exclusive ? "borrow conflict: the value is already borrowed"
                    : "borrow conflict: the value is borrowed exclusively");
  }
  o->borrows = exclusive ? -1 : o->borrows + 1;
  log.push_back(Borrow{o, exclusive});
}

void give_back(Borrow b) {
  if (b.obj == nullptr) return;
  if (b.exclusive) b.obj->borrows = 0;
  else if (b.obj->borrows > 0) --b.obj->borrows;
}

}  // namespace

// Runs from the newest frame until the frame at index `floor` returns; the
// result is its return value.
Value Interp::execute(Machine& vm, std::size_t floor) {
  // The label of every opcode, from the opcode table; the loader refused
  // every other byte, so those entries are never reached.
  void* labels[256];
  for (void*& l : labels) l = &&op_NOP;
#define VK_OP(number, name, form, listing) labels[number] = &&op_##name;
#include "bytecode/opcodes.def"
#undef VK_OP
#define VK_SUPER(number, name, sequence) labels[number] = &&op_##name;
#include "superops.def"
#undef VK_SUPER
  const Program& prog = vm.program;
  const BuiltinEntry* table = builtins().entries;
  const Value* K = prog.constants.data();

  Frame* f = &vm.frames_.back();
  const Method* m = f->method;
  const std::uint32_t* code = m->code;
  const std::uint32_t* pc = code + f->pc;
  Value* R = f->base;
  std::uint32_t w = 0;

#define A (w >> 8 & 0xff)
#define B (w >> 16 & 0xff)
#define C (w >> 24)
#define BX (w >> 16)
#define SBX (static_cast<std::int32_t>(w >> 16) - 32768)
#define SAVEPC() (f->pc = static_cast<std::uint32_t>(pc - code - 1))
#define NEXT()       \
  do {               \
    w = *pc++;       \
    goto* labels[w & 0xff]; \
  } while (0)

  NEXT();

op_NOP:
  NEXT();
op_LOADK:
  R[A] = K[BX];
  NEXT();
op_MOVE:
  R[A] = R[B];
  NEXT();
op_ADD:
  R[A] = add(R[B], R[C]);
  NEXT();
op_SUB:
  R[A] = sub(R[B], R[C]);
  NEXT();
op_MUL:
  R[A] = mul(R[B], R[C]);
  NEXT();
op_DIV: {
  std::int64_t d = as_int(R[C]);
  if (d == 0) {
    SAVEPC();
    raise(ErrorCode::DIVISION_BY_ZERO, "division by zero");
  }
  std::int64_t n = as_int(R[B]);
  R[A] = d == -1 ? 0 - static_cast<Value>(n) : from_int(n / d);
  NEXT();
}
op_NEG:
  R[A] = 0 - R[B];
  NEXT();
op_CONCAT:
  SAVEPC();
  R[A] = concat(vm, R[B], R[C]);
  NEXT();
op_EQ:
  R[A] = R[B] == R[C];
  NEXT();
op_LT:
  R[A] = as_int(R[B]) < as_int(R[C]);
  NEXT();
op_LE:
  R[A] = as_int(R[B]) <= as_int(R[C]);
  NEXT();
op_EQS:
  R[A] = text_equal(R[B], R[C]);
  NEXT();
op_JMP:
  pc += SBX;
  NEXT();
op_JZ:
  if (R[A] == 0) pc += SBX;
  NEXT();
op_CALL:
op_CALL_MOVE: {
  SAVEPC();
  const Method* callee = &prog.methods[BX];
  Value* base = enter(vm, R, m, callee, A);
  f = &vm.frames_.back();
  m = callee;
  code = m->code;
  pc = code;
  R = base;
  NEXT();
}
op_ICALL: {
  SAVEPC();
  Obj* recv = as_obj(R[A]);
  if (recv == nullptr) nil_receiver("interface call");
  std::uint32_t target =
      recv->type == ObjType::INSTANCE ? prog.resolve(recv->cls, BX) : Bytecode::none;
  if (target == Bytecode::none) raise(ErrorCode::NO_METHOD, "the value does not implement the interface");
  const Method* callee = &prog.methods[target];
  Value* base = enter(vm, R, m, callee, A);
  f = &vm.frames_.back();
  m = callee;
  code = m->code;
  pc = code;
  R = base;
  NEXT();
}
op_RET:
  R[0] = R[A];
  goto do_return;
op_RET0:
  R[0] = 0;
do_return: {
  std::size_t depth = vm.frames_.size() - 1;
  // A `return` inside a `try` leaves its region with the frame.
  while (!vm.tries_.empty() && vm.tries_.back().frame >= depth) vm.tries_.pop_back();
  Value result = R[0];
  vm.frames_.pop_back();
  if (depth == floor) return result;
  f = &vm.frames_.back();
  m = f->method;
  code = m->code;
  pc = code + f->pc;
  R = f->base;
  // The result replaces the call's rA; a CALL_MOVE also runs the MOVE
  // after it here.
  std::uint32_t call = *pc++;
  R[call >> 8 & 0xff] = result;
  if ((call & 0xff) == unsigned(Super::CALL_MOVE)) {
    w = *pc++;
    R[A] = R[B];
  }
  NEXT();
}
op_NEW:
  SAVEPC();
  if (vm.heap.wants_collect()) vm.collect(R + m->regs);
  R[A] = from_ptr(vm.heap.instance(BX));
  NEXT();
op_GETF: {
  auto* o = as_ptr<Instance>(R[B]);
  if (o == nullptr) {
    SAVEPC();
    nil_receiver("field read");
  }
  if (C >= o->nfields) {
    SAVEPC();
    raise(ErrorCode::BAD_FIELD, "field slot out of range for the instance");
  }
  R[A] = o->fields[C];
  NEXT();
}
op_SETF: {
  auto* o = as_ptr<Instance>(R[A]);
  if (o == nullptr) {
    SAVEPC();
    nil_receiver("field write");
  }
  if (B >= o->nfields) {
    SAVEPC();
    raise(ErrorCode::BAD_FIELD, "field slot out of range for the instance");
  }
  // The field takes the value: an owned value moves in, and so does the
  // reference of a Text or Bytes (the compiler stores a fresh one or a copy).
  o->fields[B] = R[C];
  NEXT();
}
op_DROP:
  vm.heap.drop(R[A]);
  R[A] = 0;
  NEXT();
op_BORROW_S:
  SAVEPC();
  borrow(vm.borrows_, R[A], false);
  NEXT();
op_BORROW_X:
  SAVEPC();
  borrow(vm.borrows_, R[A], true);
  NEXT();
op_RELEASE_S:
op_RELEASE_X:
  if (!vm.borrows_.empty()) {
    give_back(vm.borrows_.back());
    vm.borrows_.pop_back();
  }
  NEXT();
op_BUILTIN: {
  SAVEPC();
  // (Element reads, stores and lengths have fast paths of their own:
  // ELEM_GET, ELEM_STORE, LENGTH.)
  if (vm.heap.wants_collect()) vm.collect(R + m->regs);
  R[A] = table[C].fn(vm, Call{R + B, B, R + m->regs});
  NEXT();
}
op_DB_STUB:
  SAVEPC();
  raise(ErrorCode::NOT_AVAILABLE, "this query form is not available in this runtime");
op_TRAP:
  SAVEPC();
  raise(ErrorCode::TRAP, "trap " + std::to_string(BX));
op_TRY: {
  std::uint32_t here = static_cast<std::uint32_t>(pc - code - 1);
  vm.tries_.push_back(TryRegion{vm.frames_.size() - 1,
                                static_cast<std::uint32_t>(static_cast<std::int64_t>(here) + 1 + SBX),
                                static_cast<std::uint8_t>(A), vm.borrows_.size(),
                                m->masks_at(here).owned});
  NEXT();
}
op_ENDTRY:
  if (!vm.tries_.empty() && vm.tries_.back().frame == vm.frames_.size() - 1) vm.tries_.pop_back();
  NEXT();
op_FADD:
  R[A] = from_float(as_float(R[B]) + as_float(R[C]));
  NEXT();
op_FSUB:
  R[A] = from_float(as_float(R[B]) - as_float(R[C]));
  NEXT();
op_FMUL:
  R[A] = from_float(as_float(R[B]) * as_float(R[C]));
  NEXT();
op_FDIV:
  R[A] = from_float(as_float(R[B]) / as_float(R[C]));
  NEXT();
op_FNEG:
  R[A] = from_float(-as_float(R[B]));
  NEXT();
op_FEQ:
  R[A] = as_float(R[B]) == as_float(R[C]);
  NEXT();
op_FLT:
  R[A] = as_float(R[B]) < as_float(R[C]);
  NEXT();
op_FLE:
  R[A] = as_float(R[B]) <= as_float(R[C]);
  NEXT();
op_BAND:
  R[A] = R[B] & R[C];
  NEXT();
op_BOR:
  R[A] = R[B] | R[C];
  NEXT();
op_BXOR:
  R[A] = R[B] ^ R[C];
  NEXT();
op_SHL:
  R[A] = shift_left(R[B], as_int(R[C]));
  NEXT();
op_SHR:
  R[A] = shift_right(R[B], as_int(R[C]));
  NEXT();

  // ---- superinstructions (superops.def) ----
  // Each runs the instructions of its sequence in order, taking the next
  // word with `w = *pc++`, so pc stands where the plain sequence would
  // leave it; a fast path that does not apply continues in the plain
  // handler of the word it stopped at.
#define CONST_THEN(name, expr) \
  op_K_##name:                  \
  R[A] = K[BX];                 \
  w = *pc++;                    \
  R[A] = (expr);                \
  NEXT();
  CONST_THEN(ADD, add(R[B], R[C]))
  CONST_THEN(SUB, sub(R[B], R[C]))
  CONST_THEN(MUL, mul(R[B], R[C]))
  CONST_THEN(EQ, R[B] == R[C])
  CONST_THEN(LT, as_int(R[B]) < as_int(R[C]))
  CONST_THEN(LE, as_int(R[B]) <= as_int(R[C]))
  CONST_THEN(FADD, from_float(as_float(R[B]) + as_float(R[C])))
  CONST_THEN(FSUB, from_float(as_float(R[B]) - as_float(R[C])))
  CONST_THEN(FMUL, from_float(as_float(R[B]) * as_float(R[C])))
  CONST_THEN(FDIV, from_float(as_float(R[B]) / as_float(R[C])))
  CONST_THEN(FLT, as_float(R[B]) < as_float(R[C]))
  CONST_THEN(FLE, as_float(R[B]) <= as_float(R[C]))
#undef CONST_THEN

#define COMPARE_JUMP(name, expr) \
  op_##name##_JZ: {               \
    bool t = (expr);              \
    R[A] = t;                     \
    w = *pc++;                    \
    if (!t) pc += SBX;            \
    NEXT();                       \
  }                               \
  op_K_##name##_JZ: {             \
    R[A] = K[BX];                 \
    w = *pc++;                    \
    bool t = (expr);              \
    R[A] = t;                     \
    w = *pc++;                    \
    if (!t) pc += SBX;            \
    NEXT();                       \
  }
  COMPARE_JUMP(EQ, R[B] == R[C])
  COMPARE_JUMP(LT, as_int(R[B]) < as_int(R[C]))
  COMPARE_JUMP(LE, as_int(R[B]) <= as_int(R[C]))
  COMPARE_JUMP(FEQ, as_float(R[B]) == as_float(R[C]))
  COMPARE_JUMP(FLT, as_float(R[B]) < as_float(R[C]))
  COMPARE_JUMP(FLE, as_float(R[B]) <= as_float(R[C]))
#undef COMPARE_JUMP

op_K_DIV:
  R[A] = K[BX];
  w = *pc++;
  goto op_DIV;
op_TO_FLOAT:
  R[A] = from_float(static_cast<double>(as_int(R[B])));
  NEXT();
op_K_FMUL_JMP:
  R[A] = K[BX];
  w = *pc++;
  R[A] = from_float(as_float(R[B]) * as_float(R[C]));
  w = *pc++;
  pc += SBX;
  NEXT();

  // The operand of the second operation that names the first one's result
  // register takes the result directly.
#define FLOAT_PAIR(name, op1, op2)                                \
  op_##name: {                                                    \
    double x = as_float(R[B]) op1 as_float(R[C]);                 \
    unsigned t = A;                                               \
    R[t] = from_float(x);                                         \
    w = *pc++;                                                    \
    double y = B == t ? x : as_float(R[B]);                       \
    double z = C == t ? x : as_float(R[C]);                       \
    R[A] = from_float(y op2 z);                                   \
    NEXT();                                                       \
  }
  // A field read whose value goes straight into a float operation; a nil or
  // too short instance leaves through the plain GETF.
#define FIELD_THEN(name, op2)                                      \
  op_##name: {                                                    \
    auto* o = as_ptr<Instance>(R[B]);                             \
    if (o == nullptr || C >= o->nfields) goto op_GETF;            \
    Value v = o->fields[C];                                       \
    unsigned t = A;                                               \
    R[t] = v;                                                     \
    w = *pc++;                                                    \
    double y = B == t ? as_float(v) : as_float(R[B]);             \
    double z = C == t ? as_float(v) : as_float(R[C]);             \
    R[A] = from_float(y op2 z);                                   \
    NEXT();                                                       \
  }
  FIELD_THEN(GETF_FADD, +)
  FIELD_THEN(GETF_FSUB, -)
  FIELD_THEN(GETF_FMUL, *)
#undef FIELD_THEN
  FLOAT_PAIR(FMUL_FADD, *, +)
  FLOAT_PAIR(FMUL_FSUB, *, -)
  FLOAT_PAIR(FDIV_FADD, /, +)
#undef FLOAT_PAIR
op_FADD_K_FMUL: {
  double x = as_float(R[B]) + as_float(R[C]);
  unsigned t = A;
  R[t] = from_float(x);
  w = *pc++;
  Value k = K[BX];
  unsigned kr = A;
  R[kr] = k;
  w = *pc++;
  double y = B == kr ? as_float(k) : B == t ? x : as_float(R[B]);
  double z = C == kr ? as_float(k) : C == t ? x : as_float(R[C]);
  R[A] = from_float(y * z);
  NEXT();
}
op_K_ADD_JMP:
  R[A] = K[BX];
  w = *pc++;
  R[A] = add(R[B], R[C]);
  w = *pc++;
  pc += SBX;
  NEXT();
op_K_SUB_JMP:
  R[A] = K[BX];
  w = *pc++;
  R[A] = sub(R[B], R[C]);
  w = *pc++;
  pc += SBX;
  NEXT();
op_MOVE_MOVE:
  R[A] = R[B];
  w = *pc++;
  R[A] = R[B];
  NEXT();
op_MOVE_CALL:
  R[A] = R[B];
  w = *pc++;
  goto op_CALL;
op_MM_ELEM_GET:
  R[A] = R[B];
  w = *pc++;
  R[A] = R[B];
  w = *pc++;
  goto op_ELEM_GET;
op_MK_ELEM_GET:
  R[A] = R[B];
  w = *pc++;
  R[A] = K[BX];
  w = *pc++;
  goto op_ELEM_GET;
op_MMM_ELEM_STORE:
  R[A] = R[B];
  w = *pc++;
  R[A] = R[B];
  w = *pc++;
  R[A] = R[B];
  w = *pc++;
  goto op_ELEM_STORE;
op_ELEM_GET: {
  auto* xs = as_ptr<Multi>(R[B]);
  Value i = R[B + 1];
  if (__builtin_expect(xs != nullptr && xs->h.type == ObjType::MULTI && i < xs->count, 1)) {
    R[A] = xs->items[i];
    NEXT();
  }
  goto op_BUILTIN;
}
op_ELEM_STORE: {
  auto* xs = as_ptr<Multi>(R[B]);
  Value i = R[B + 1];
  if (__builtin_expect(xs != nullptr && xs->h.type == ObjType::MULTI && i < xs->count, 1)) {
    xs->items[i] = R[B + 2];
    R[A] = 0;
    NEXT();
  }
  goto op_BUILTIN;
}
op_LENGTH: {
  Obj* o = as_obj(R[B]);
  if (o != nullptr) {
    if (o->type == ObjType::MULTI) {
      R[A] = reinterpret_cast<Multi*>(o)->count;
      NEXT();
    }
    if (o->type == ObjType::TEXT && C == unsigned(Bytecode::Builtin::LEN)) {
      R[A] = reinterpret_cast<Str*>(o)->len;
      NEXT();
    }
  }
  goto op_BUILTIN;
}

#undef A
#undef B
#undef C
#undef BX
#undef SBX
#undef SAVEPC
#undef NEXT
}

}  // namespace Vm
