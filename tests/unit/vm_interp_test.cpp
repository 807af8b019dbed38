// The interpreter on images assembled by hand: arithmetic, calls, interface
// dispatch, errors caught and uncaught, unwinding, borrow guards, the
// collector, and the loader's refusals.
#include <gtest/gtest.h>

#include "vm_asm.hpp"

namespace {

using namespace VmTest;

// Fib, a counting loop, Int corner cases and the exit status in one program.
TEST(VmInterp, ArithmeticCallsAndExitStatus) {
  ConstPool pool;
  Image img;
  Asm fib(pool, "fib", 1, 4);
  fib.kint(1, 2).op(Op::LT, 2, 0, 1).jump(Op::JZ, 2, "rec").op(Op::RET, 0);
  fib.label("rec").kint(1, 1).op(Op::SUB, 2, 0, 1).opx(Op::CALL, 2, 1);
  fib.kint(1, 2).op(Op::SUB, 3, 0, 1).opx(Op::CALL, 3, 1).op(Op::ADD, 0, 2, 3).op(Op::RET, 0);

  Asm m(pool, "main", 0, 12);
  m.line(1).kint(0, 0).kint(1, 1).kint(2, 11).kint(3, 1);
  m.label("top").op(Op::LT, 4, 1, 2).jump(Op::JZ, 4, "end");
  m.op(Op::ADD, 0, 0, 1).op(Op::ADD, 1, 1, 3).jump(Op::JMP, 0, "top");
  m.label("end").op(Op::MOVE, 5, 0).builtin(6, 5, Builtin::PRINT_INT);
  m.kint(5, 20).opx(Op::CALL, 5, 1).builtin(6, 5, Builtin::PRINT_INT);
  // -7 / 2, -7 % 2 (as DIV, MUL, SUB), MIN / -1, 1 << 70, -8 >> 1, -8 >> 99
  m.kint(7, -7).kint(8, 2).op(Op::DIV, 9, 7, 8).builtin(6, 9, Builtin::PRINT_INT);
  m.op(Op::MUL, 10, 9, 8).op(Op::SUB, 9, 7, 10).builtin(6, 9, Builtin::PRINT_INT);
  m.kint(7, INT64_MIN).kint(8, -1).op(Op::DIV, 9, 7, 8).builtin(6, 9, Builtin::PRINT_INT);
  m.op(Op::NEG, 9, 7).builtin(6, 9, Builtin::PRINT_INT);
  m.kint(7, 1).kint(8, 70).op(Op::SHL, 9, 7, 8).builtin(6, 9, Builtin::PRINT_INT);
  m.kint(7, -8).kint(8, 1).op(Op::SHR, 9, 7, 8).builtin(6, 9, Builtin::PRINT_INT);
  m.kint(8, 99).op(Op::SHR, 9, 7, 8).builtin(6, 9, Builtin::PRINT_INT);
  m.kint(7, 12).kint(8, 10).op(Op::BXOR, 9, 7, 8).builtin(6, 9, Builtin::PRINT_INT);
  // Floats: 0.1 + 0.2 as text, and 7.0 / 2.0 truncated
  m.kfloat(7, 0.1).kfloat(8, 0.2).op(Op::FADD, 9, 7, 8).builtin(10, 9, Builtin::FLOAT_TO_TEXT);
  m.builtin(6, 10, Builtin::PRINT).op(Op::DROP, 10);
  m.kfloat(7, 7.0).kfloat(8, 2.0).op(Op::FDIV, 9, 7, 8).builtin(10, 9, Builtin::TRUNC);
  m.builtin(6, 10, Builtin::PRINT_INT);
  m.kint(11, 300).op(Op::RET, 11);
  img.methods = {m.done(), fib.done()};
  img.entry = 0;
  Outcome o = run(img, pool);
  EXPECT_EQ(o.load_error, "");
  EXPECT_EQ(o.out, "55\n6765\n-3\n-1\n-9223372036854775808\n-9223372036854775808\n0\n-4\n-1\n6\n"
                   "0.30000000000000004\n3\n");
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(o.status, 300 & 0xff);
}

// An uncaught error prints what was printed before it, then the message and
// the active calls with their lines, innermost first; the status is 1.
TEST(VmInterp, UncaughtErrorTrace) {
  ConstPool pool;
  Image img;
  img.classes.push_back(make_class(pool, "Box", false, {{"v", FieldKind::SCALAR}}));
  Asm f(pool, "divide", 2, 3);
  f.line(20).op(Op::DIV, 2, 0, 1).line(21).op(Op::RET, 2);
  Asm m(pool, "main", 0, 4);
  m.line(9).ktext(0, "before").builtin(1, 0, Builtin::PRINT);
  m.line(10).kint(1, 1).kint(2, 0).opx(Op::CALL, 1, 1).op(Op::RET0);
  MethodEntry fm = f.done();
  fm.owner = 0;  // Box.divide
  img.methods = {m.done(), fm};
  img.entry = 0;
  Outcome o = run(img, pool);
  EXPECT_EQ(o.out, "before\n");
  EXPECT_EQ(o.err, "vkvm: division by zero\n  at Box.divide (line 20)\n  at main (line 10)\n");
  EXPECT_EQ(o.status, 1);
}

// A caught error fills the Error record; owned values made inside the
// protected region (here, in the callee) are released, and a borrow guard
// taken inside is given back, so the handler can borrow again.
TEST(VmInterp, TryCatchUnwindsAndFillsErrorRecord) {
  ConstPool pool;
  Image img;
  img.classes.push_back(error_class(pool));
  img.classes.push_back(make_class(pool, "Cell", false, {{"v", FieldKind::SCALAR}}));
  Asm m(pool, "main", 0, 12);
  m.line(5).opx(Op::NEW, 0, 1).masks(1, 0);
  m.jump(Op::TRY, 1, "handler");
  m.line(6).op(Op::MOVE, 2, 0).opx(Op::CALL, 2, 1).op(Op::ENDTRY).jump(Op::JMP, 0, "end");
  m.label("handler").line(7).opx(Op::NEW, 3, 0).op(Op::MOVE, 4, 3).op(Op::MOVE, 5, 1);
  m.builtin(6, 4, Builtin::ERROR_FILL);
  m.op(Op::GETF, 6, 3, 3).builtin(7, 6, Builtin::PRINT);
  m.op(Op::GETF, 6, 3, 0).builtin(7, 6, Builtin::PRINT_INT);
  m.op(Op::GETF, 6, 3, 1).builtin(7, 6, Builtin::PRINT_INT);
  m.op(Op::GETF, 6, 3, 2).builtin(7, 6, Builtin::PRINT);
  m.op(Op::DROP, 3);
  m.line(8).op(Op::BORROW_X, 0).op(Op::RELEASE_X, 0);
  m.label("end").op(Op::DROP, 0).op(Op::RET0);
  // fail(cell): borrow the cell exclusively, make an owned multi, then fail.
  Asm g(pool, "fail", 1, 4);
  g.line(30).op(Op::BORROW_X, 0).op(Op::BUILTIN, 1, 0, int(Builtin::MULTI_NEW));
  g.masks(0b10, 0).op(Op::MOVE, 3, 1).line(31).builtin(2, 3, Builtin::POP).op(Op::RET0);
  img.methods = {m.done(), g.done()};
  img.entry = 0;
  Outcome o = run(img, pool);
  EXPECT_EQ(o.load_error, "");
  EXPECT_EQ(o.out, "pop: the multi is empty\n8\n31\nfail\n");
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(o.status, 0);
}

// Runaway recursion is a catchable error, not a crash.
TEST(VmInterp, StackOverflowIsCatchable) {
  ConstPool pool;
  Image img;
  img.classes.push_back(error_class(pool));
  Asm r(pool, "down", 1, 3);
  r.line(3).op(Op::MOVE, 1, 0).opx(Op::CALL, 1, 1).op(Op::RET, 1);
  Asm m(pool, "main", 0, 8);
  m.line(1).jump(Op::TRY, 0, "h").kint(1, 0).opx(Op::CALL, 1, 1).op(Op::ENDTRY).op(Op::RET0);
  m.label("h").opx(Op::NEW, 2, 0).op(Op::MOVE, 3, 2).op(Op::MOVE, 4, 0).builtin(5, 3, Builtin::ERROR_FILL);
  m.op(Op::GETF, 5, 2, 0).builtin(6, 5, Builtin::PRINT_INT);
  m.op(Op::GETF, 5, 2, 3).builtin(6, 5, Builtin::PRINT).op(Op::DROP, 2).op(Op::RET0);
  img.methods = {m.done(), r.done()};
  img.entry = 0;
  Outcome o = run(img, pool);
  EXPECT_EQ(o.out, "6\nstack overflow: the calls nest too deeply\n");
  EXPECT_EQ(o.status, 0);
}

// ICALL finds the method of the receiver's class through the vtables; a
// shared borrow of an exclusively borrowed value is a conflict with its line.
TEST(VmInterp, InterfaceDispatchAndBorrowConflict) {
  ConstPool pool;
  Image img;
  img.classes.push_back(make_class(pool, "Square", false, {{"side", FieldKind::SCALAR}}));
  img.classes.push_back(make_class(pool, "Rect", false, {{"w", FieldKind::SCALAR}, {"h", FieldKind::SCALAR}}));
  img.interfaces.push_back(InterfaceEntry{pool.const_text("Zero"), 0});
  img.interfaces.push_back(InterfaceEntry{pool.const_text("Shape"), 1});
  img.vtables.push_back(Vtable{0, 1, {1}});
  img.vtables.push_back(Vtable{1, 1, {2}});
  Asm sq(pool, "area", 1, 2);
  sq.op(Op::GETF, 1, 0, 0).op(Op::MUL, 0, 1, 1).op(Op::RET, 0);
  Asm re(pool, "area", 1, 3);
  re.op(Op::GETF, 1, 0, 0).op(Op::GETF, 2, 0, 1).op(Op::MUL, 0, 1, 2).op(Op::RET, 0);
  Asm m(pool, "main", 0, 6);
  m.line(1).opx(Op::NEW, 0, 0).kint(2, 3).op(Op::SETF, 0, 0, 2);
  m.opx(Op::NEW, 1, 1).kint(2, 4).op(Op::SETF, 1, 0, 2).kint(2, 5).op(Op::SETF, 1, 1, 2);
  m.masks(0b11, 0).op(Op::MOVE, 3, 0).opx(Op::ICALL, 3, 0).builtin(4, 3, Builtin::PRINT_INT);
  m.op(Op::MOVE, 3, 1).opx(Op::ICALL, 3, 0).builtin(4, 3, Builtin::PRINT_INT);
  m.line(7).op(Op::BORROW_X, 0).line(8).op(Op::BORROW_S, 0).op(Op::RET0);
  MethodEntry sm = sq.done(), rm = re.done();
  sm.owner = 0;
  rm.owner = 1;
  img.methods = {m.done(), sm, rm};
  img.entry = 0;
  Outcome o = run(img, pool);
  EXPECT_EQ(o.load_error, "");
  EXPECT_EQ(o.out, "9\n20\n");
  EXPECT_EQ(o.err, "vkvm: borrow conflict: the value is borrowed exclusively\n  at main (line 8)\n");
  EXPECT_EQ(o.status, 1);
}

// Cycles of gc instances are reclaimed while the program runs: under stress
// every allocation collects, and only the last pair stays alive.
TEST(VmInterp, CollectorReclaimsCycles) {
  ConstPool pool;
  Image img;
  img.classes.push_back(make_class(pool, "Node", true,
                                   {{"next", FieldKind::GCREF}, {"name", FieldKind::TEXT},
                                    {"items", FieldKind::MULTI}}));
  Asm m(pool, "main", 0, 8);
  m.line(1).kint(0, 0).kint(1, 500).kint(2, 1);
  m.label("top").op(Op::LT, 3, 0, 1).jump(Op::JZ, 3, "end");
  m.masks(0, 0b110000).opx(Op::NEW, 4, 0).opx(Op::NEW, 5, 0);
  m.op(Op::SETF, 4, 0, 5).op(Op::SETF, 5, 0, 4);
  m.op(Op::MOVE, 6, 0).builtin(7, 6, Builtin::INT_TO_TEXT).op(Op::SETF, 4, 1, 7);  // the field takes it
  m.op(Op::BUILTIN, 7, 0, int(Builtin::MULTI_NEW)).op(Op::SETF, 5, 2, 7);
  m.op(Op::ADD, 0, 0, 2).jump(Op::JMP, 0, "top");
  m.label("end").op(Op::RET0);
  img.methods = {m.done()};
  img.entry = 0;
  Outcome calm = run(img, pool);
  EXPECT_EQ(calm.status, 0);
  EXPECT_EQ(calm.collections, 0u);
  Outcome stressed = run(img, pool, true);
  EXPECT_EQ(stressed.status, 0);
  EXPECT_GE(stressed.collections, 1000u);
  EXPECT_LE(stressed.gc_left, 2u);
}

// The loader refuses what the interpreter would otherwise have to check.
TEST(VmLoader, RefusesUnsafeCode) {
  auto refuse = [](auto build) {
    ConstPool pool;
    Image img;
    Asm m(pool, "main", 0, 2);
    build(m, img, pool);
    img.methods.insert(img.methods.begin(), m.done());
    img.entry = 0;
    return load_error(img, pool);
  };
  EXPECT_EQ(refuse([](Asm& m, Image&, ConstPool&) { m.op(Op::MOVE, 2, 0).op(Op::RET0); }),
            "method 0 `main`: pc 0: register r2 is outside the method's 2 registers");
  EXPECT_EQ(refuse([](Asm& m, Image&, ConstPool&) { m.jump(Op::JMP, 0, "x").label("x").op(Op::RET0); }), "");
  EXPECT_EQ(refuse([](Asm& m, Image&, ConstPool&) { m.jump(Op::JMP, 0, "none"); }),
            "method 0 `main`: pc 0: jump target 1 is outside the method");
  EXPECT_EQ(refuse([](Asm& m, Image&, ConstPool&) { m.op(Op::BUILTIN, 0, 0, 200).op(Op::RET0); }),
            "method 0 `main`: pc 0: builtin 200 does not exist");
  EXPECT_EQ(refuse([](Asm& m, Image&, ConstPool&) { m.op(Op::BUILTIN, 0, 1, int(Builtin::SUBSTR)).op(Op::RET0); }),
            "method 0 `main`: pc 0: register r3 is outside the method's 2 registers");
  EXPECT_EQ(refuse([](Asm& m, Image&, ConstPool&) { m.op(Op::NOP); }),
            "method 0 `main`: the code can run past its end");
  EXPECT_EQ(refuse([](Asm& m, Image&, ConstPool&) { m.opx(Op::LOADK, 0, 999).op(Op::RET0); }),
            "method 0 `main`: pc 0: constant 999 does not exist");
  EXPECT_EQ(refuse([](Asm& m, Image&, ConstPool&) { m.opx(Op::CALL, 1, 1).op(Op::RET0); }),
            "method 0 `main`: pc 0: method 1 does not exist");
  EXPECT_EQ(refuse([](Asm& m, Image& img, ConstPool& pool) {
              m.opx(Op::CALL, 1, 1).op(Op::RET0);
              Asm callee(pool, "two", 2, 2);
              callee.op(Op::RET0);
              img.methods.push_back(callee.done());
            }),
            "method 0 `main`: pc 0: register r2 is outside the method's 2 registers");
  EXPECT_EQ(refuse([](Asm& m, Image&, ConstPool&) { m.masks(0b100, 0).op(Op::RET0); }),
            "method 0 `main`: drop record names a register outside the window");
  EXPECT_EQ(refuse([](Asm& m, Image&, ConstPool&) { m.word(0x0000001b).op(Op::RET0); }),
            "method 0 `main`: pc 0: invalid opcode 27");
}

}  // namespace
