// Actors: a pipeline of four actors whose order and totals are fixed by the
// delivery rules, calls made from inside receive, a receive that fails
// without stopping its actor, and a cycle of calls refused instead of
// hanging. The machines run on worker threads (a ThreadSanitizer build of
// this test checks them for races).
#include "vmlib_fixture.hpp"

namespace {

using namespace VmLibTest;
using Emit::Op;
using Emit::abc;
using Emit::abx;
using Emit::asbx;

constexpr unsigned spawn_id = 68, send_id = 69, call_id = 88;

struct Stages : Prog {
  std::uint32_t item = 0, stage = 0, fragile = 0;
  std::uint32_t stage_receive = 0, fragile_receive = 0;

  Stages() {
    item = add_class("Item", {{"n", FieldKind::SCALAR}});
    stage = add_class("Stage", {{"next", FieldKind::SCALAR}, {"sum", FieldKind::SCALAR}});
    fragile = add_class("Fragile", {{"calls", FieldKind::SCALAR}});
    int zero = int(pool.const_int(0)), one = int(pool.const_int(1)), hundred = int(pool.const_int(100));
    // Stage.receive(msg: Item): an Item n >= 0 goes on as n + 1 to the next
    // stage (the last adds it to its sum); an Item n < 0 asks for the sum,
    // which each stage gets with a call to the next.
    stage_receive = add_method(
        "receive", stage, 2, 11,
        {
            abc(Op::GETF, 2, 1, 0), abx(Op::LOADK, 5, zero), abc(Op::LT, 6, 2, 5), abc(Op::GETF, 3, 0, 0),
            asbx(Op::JZ, 6, 9),                                                          // 4: n >= 0 -> 14
            asbx(Op::JZ, 3, 5),                                                          // 5: last -> 11
            abx(Op::NEW, 9, int(item)), abc(Op::SETF, 9, 0, 2), abc(Op::MOVE, 8, 3, 0),  // 6-8
            abc(Op::BUILTIN, 8, 8, call_id), abc(Op::RET, 8, 0, 0),                      // 9-10
            abc(Op::GETF, 4, 0, 1), abc(Op::RET, 4, 0, 0), abc(Op::NOP, 0, 0, 0),        // 11-13
            abx(Op::LOADK, 5, one), abc(Op::ADD, 2, 2, 5),                               // 14-15
            asbx(Op::JZ, 3, 5),                                                          // 16: last -> 22
            abx(Op::NEW, 9, int(item)), abc(Op::SETF, 9, 0, 2), abc(Op::MOVE, 8, 3, 0),  // 17-19
            abc(Op::BUILTIN, 10, 8, send_id), abc(Op::RET0, 0, 0, 0),                    // 20-21
            abc(Op::GETF, 4, 0, 1), abc(Op::ADD, 4, 4, 2), abc(Op::SETF, 0, 1, 4),       // 22-24
            abc(Op::RET0, 0, 0, 0),
        });
    // Fragile.receive(msg: Item) -> 100 / n: a zero fails the receive.
    fragile_receive = add_method("receive", fragile, 2, 6,
                                 {abc(Op::GETF, 2, 1, 0), abx(Op::LOADK, 3, hundred), abc(Op::DIV, 4, 3, 2),
                                  abc(Op::GETF, 5, 0, 0), abx(Op::LOADK, 3, one), abc(Op::ADD, 5, 5, 3),
                                  abc(Op::SETF, 0, 0, 5), abc(Op::RET, 4, 0, 0)});
    start();
  }

  Value make(std::uint32_t cls, std::initializer_list<Value> fields) {
    Vm::Instance* o = vm->heap.instance(cls);
    std::uint32_t i = 0;
    for (Value f : fields) o->fields[i++] = f;
    return Vm::from_ptr(o);
  }
  // spawn copies the state; the caller releases its own.
  Value spawn(std::uint32_t cls, std::uint32_t receive, std::initializer_list<Value> fields) {
    Value state = make(cls, fields);
    Value address = call(spawn_id, {state, I(receive)});
    vm->heap.drop(state);
    return address;
  }
  Value items(Value to, std::int64_t n) { return call(call_id, {to, make(item, {I(n)})}); }
};

TEST(VmLibActors, PipelineKeepsOrderAndCallsReachThroughReceive) {
  Stages s;
  Value last = s.spawn(s.stage, s.stage_receive, {0, 0});
  Value third = s.spawn(s.stage, s.stage_receive, {last, 0});
  Value second = s.spawn(s.stage, s.stage_receive, {third, 0});
  Value first = s.spawn(s.stage, s.stage_receive, {second, 0});
  constexpr std::int64_t m = 20000;
  for (std::int64_t n = 1; n <= m; ++n) s.call(send_id, {first, s.make(s.item, {I(n)})});
  // The sum request travels behind every item, stage by stage, by calls
  // made inside receive: each stage's sends precede its call.
  EXPECT_EQ(s.items(first, -1), I(m * (m + 1) / 2 + 4 * m));
  EXPECT_EQ(s.items(last, -1), I(m * (m + 1) / 2 + 4 * m));
  // Bad addresses are refused.
  EXPECT_EQ(s.error_of(send_id, {I(99), s.make(s.item, {I(1)})}), 9);
  EXPECT_EQ(s.error_of(call_id, {0, s.make(s.item, {I(1)})}), 9);
}

TEST(VmLibActors, AFailedReceiveFailsItsCallButNotTheActor) {
  Stages s;
  Value f = s.spawn(s.fragile, s.fragile_receive, {0});
  EXPECT_EQ(s.items(f, 4), I(25));
  std::string msg;
  EXPECT_EQ(s.error_of(call_id, {f, s.make(s.item, {I(0)})}, &msg), 140);
  EXPECT_EQ(msg, "call: `Fragile` failed to reply: division by zero");
  s.call(send_id, {f, s.make(s.item, {I(0)})});  // a failing send is only reported
  EXPECT_EQ(s.items(f, -50), I(-2));
}

TEST(VmLibActors, ACycleOfCallsIsRefusedNotAHang) {
  Stages s;
  // Actor 1 calls actor 2, which calls actor 1 back while it waits.
  Value a = s.spawn(s.stage, s.stage_receive, {I(2), 0});
  Value b = s.spawn(s.stage, s.stage_receive, {a, 0});
  ASSERT_EQ(b, I(2));
  std::string msg;
  EXPECT_EQ(s.error_of(call_id, {a, s.make(s.item, {I(-1)})}, &msg), 140);
  // The cause is given once, however many links it passed on its way up.
  EXPECT_EQ(msg, "call: `Stage` failed to reply: call: `Stage` is waiting for this "
                 "actor's own reply — the calls would never finish");
}

}  // namespace
