// What the golden listings cannot state plainly: which registers the table,
// variant and actor lowerings write, and what the masks say at their
// builtins.
#include <gtest/gtest.h>

#include "disasm/disasm.hpp"
#include "emit_tables_pipeline.hpp"

namespace {

using Emit::Builtin;
using Emit::Op;

class Lowered {
 public:
  explicit Lowered(const std::string& text) : c_(text) {
    EXPECT_FALSE(c_.collector.has_error()) << c_.diagnostics();
    back_ = Disasm::read(c_.image);
    EXPECT_TRUE(back_.ok()) << back_.error;
    EXPECT_EQ(Disasm::verify(back_.image), "");
  }

  const Emit::MethodEntry& method(const std::string& name) const {
    for (const Emit::MethodEntry& m : back_.image.methods)
      if (back_.image.constants.at(m.name).text == name) return m;
    ADD_FAILURE() << "no method " << name;
    static Emit::MethodEntry none;
    return none;
  }

 private:
  CompiledFile c_;
  Disasm::Read back_;
};

bool is_builtin(std::uint32_t w, Builtin id) {
  return Emit::op_of(w) == int(Op::BUILTIN) && Emit::c_of(w) == int(id);
}

int count_builtin(const Emit::MethodEntry& m, Builtin id) {
  int n = 0;
  for (std::uint32_t w : m.code) n += is_builtin(w, id);
  return n;
}

// The pc of the first BUILTIN with this id, or -1.
long first_builtin(const Emit::MethodEntry& m, unsigned id) {
  for (std::size_t pc = 0; pc < m.code.size(); ++pc)
    if (Emit::op_of(m.code[pc]) == int(Op::BUILTIN) && unsigned(Emit::c_of(m.code[pc])) == id) return long(pc);
  return -1;
}

// The masks in force at a pc: those of the newest drop record at or before it.
std::pair<std::uint64_t, std::uint64_t> masks_at(const Emit::MethodEntry& m, long pc) {
  std::pair<std::uint64_t, std::uint64_t> out{0, 0};
  for (const Emit::DropRecord& d : m.drops)
    if (long(d.pc) <= pc) out = {d.owned, d.gc};
  return out;
}

// Whether any instruction after `from` writes register r as its A operand
// (stores into containers and fields name their object in A and are not writes).
bool writes_register(const Emit::MethodEntry& m, int r, std::size_t from = 0) {
  for (std::size_t pc = from; pc < m.code.size(); ++pc) {
    std::uint32_t w = m.code[pc];
    int op = Emit::op_of(w);
    if (op == int(Op::SETF) || op == int(Op::JZ) || op == int(Op::JMP) || op == int(Op::RET) ||
        op == int(Op::DROP) || op == int(Op::TRY))
      continue;
    if (Emit::a_of(w) == r) return true;
  }
  return false;
}

const char* const users = R"(
@table(index: [email], index: [score])
class User {
  id: Int @unique
  email: Text
  score: Float
  name: Text
  age: Int
}
)";

TEST(EmitTablesLowering, ProbesOnlyAnIndexedEqualityThatDoesNotReadTheRow) {
  Lowered l(std::string(users) + R"(
fn left(e: Text) -> multi User {
  let r: multi User = from u in User where u.email == e select u
  return r
}
fn right(e: Text) -> multi User {
  let r: multi User = from u in User where e == u.email select u
  return r
}
fn second(n: Int) -> multi User {
  let r: multi User = from u in User where u.age > 1 where u.id == n select u
  return r
}
fn float_field(s: Float) -> multi User {
  let r: multi User = from u in User where u.score == s select u
  return r
}
fn reads_row() -> multi User {
  let r: multi User = from u in User where u.email == u.name select u
  return r
}
fn unindexed(t: Text) -> multi User {
  let r: multi User = from u in User where u.name == t select u
  return r
}
fn main() {}
)");
  for (const char* probed : {"left", "right", "second"}) {
    SCOPED_TRACE(probed);
    EXPECT_EQ(count_builtin(l.method(probed), Builtin::PROBE_INDEX), 1);
    EXPECT_EQ(count_builtin(l.method(probed), Builtin::SCAN_TABLE), 0);
    // The probed condition is still tested on every candidate.
    int eq = 0;
    for (std::uint32_t w : l.method(probed).code) eq += Emit::op_of(w) == int(Op::EQS) || Emit::op_of(w) == int(Op::EQ);
    EXPECT_GE(eq, 1);
  }
  for (const char* scanned : {"float_field", "reads_row", "unindexed"}) {
    SCOPED_TRACE(scanned);
    EXPECT_EQ(count_builtin(l.method(scanned), Builtin::PROBE_INDEX), 0);
    EXPECT_EQ(count_builtin(l.method(scanned), Builtin::SCAN_TABLE), 1);
  }
  // `id` is index 0 (`@unique` first), `email` index 1: the probe of
  // `second` loads index number 0, the one of `left` index 1.
  auto index_loaded = [&](const char* name) {
    const Emit::MethodEntry& m = l.method(name);
    long at = first_builtin(m, unsigned(Builtin::PROBE_INDEX));
    int base = Emit::b_of(m.code[std::size_t(at)]);
    for (long pc = at - 1; pc >= 0; --pc) {
      std::uint32_t w = m.code[std::size_t(pc)];
      if (Emit::op_of(w) == int(Op::LOADK) && Emit::a_of(w) == base + 1) return Emit::bx_of(w);
    }
    return -1;
  };
  EXPECT_NE(index_loaded("second"), index_loaded("left"));
}

TEST(EmitTablesLowering, TakeNeverWritesTheUsersLimit) {
  Lowered l(std::string(users) + R"(
fn first(n: Int) -> multi Int {
  let r: multi Int = from u in User order by u.age desc take n select u.age
  print_int(n)
  return r
}
fn main() {}
)");
  const Emit::MethodEntry& m = l.method("first");
  EXPECT_FALSE(writes_register(m, 0)) << "the parameter n (r0) was written";
  EXPECT_EQ(count_builtin(m, Builtin::SLICE), 1);
}

// With a selection other than the rows, the order key is read from rows: the
// rows are gathered in a multi that owns nothing (kinds 0), sorted, and
// selected into the Text result afterwards.
TEST(EmitTablesLowering, OrderingASelectionSortsTheRowsFirst) {
  Lowered l(std::string(users) + R"(
fn names() -> multi Text {
  let r: multi Text = from u in User order by u.age select u.name
  return r
}
fn rows() -> multi User {
  let r: multi User = from u in User order by u.name select u
  return r
}
fn main() {}
)");
  std::vector<int> kinds;
  for (std::uint32_t w : l.method("names").code)
    if (is_builtin(w, Builtin::MULTI_NEW)) kinds.push_back(Emit::b_of(w));
  EXPECT_EQ(kinds, (std::vector<int>{0, int(Emit::FieldKind::TEXT)}));
  // The rows' own ordering sorts the result itself, by the Text comparison.
  kinds.clear();
  for (std::uint32_t w : l.method("rows").code)
    if (is_builtin(w, Builtin::MULTI_NEW)) kinds.push_back(Emit::b_of(w));
  EXPECT_EQ(kinds.size(), 1u);
  EXPECT_EQ(count_builtin(l.method("rows"), Builtin::TEXT_CMP), 1);
  EXPECT_EQ(count_builtin(l.method("names"), Builtin::TEXT_CMP), 0);
}

// The masks at the table, actor and decode builtins list the owned locals
// live there; `spawn` gives the actor a copy of the state, which is then
// released once.
TEST(EmitTablesLowering, MasksAtTheBuiltinsListLiveOwnedLocals) {
  Lowered l(std::string(users) + R"(
type P {
  x: Int
}
type Msg {
  n: Int
}
class Worker {
  label: Text
  fn receive(m: Msg) -> Int {
    return m.n
  }
}
fn decode(t: Text) -> Int {
  let keep = "a" .. t
  let p = json.decode(t) as P
  print(keep)
  if p != nil {
    return p.x
  }
  return 0
}
fn query(t: Text) -> Int {
  let keep = "a" .. t
  let r: multi User = from u in User select u
  print(keep)
  return count(r)
}
fn add(t: Text) -> Int {
  let keep = "a" .. t
  let id = insert User { id: 1, email: t, score: 1.0, name: "n", age: 2 }
  print(keep)
  return id
}
fn start(t: Text) {
  let keep = "a" .. t
  let w = spawn Worker { label: keep .. "!" }
  print(keep)
  send(w, Msg { n: 1 })
}
fn main() {}
)");
  struct Site {
    const char* method;
    unsigned builtin;
  };
  for (Site s : {Site{"decode", 58}, Site{"query", unsigned(Builtin::SCAN_TABLE)},
                 Site{"add", unsigned(Builtin::INSERT_ROW)}, Site{"start", unsigned(Builtin::SPAWN)}}) {
    SCOPED_TRACE(s.method);
    const Emit::MethodEntry& m = l.method(s.method);
    long at = first_builtin(m, s.builtin);
    ASSERT_GE(at, 0);
    // `keep` is the first local after the parameter: r1.
    EXPECT_EQ(masks_at(m, at).first & 2u, 2u);
  }
  const Emit::MethodEntry& start = l.method("start");
  long at = first_builtin(start, unsigned(Builtin::SPAWN));
  int state = Emit::b_of(start.code[std::size_t(at)]);
  int drops = 0;
  for (std::size_t pc = std::size_t(at) + 1; pc < start.code.size(); ++pc) {
    std::uint32_t w = start.code[pc];
    drops += Emit::op_of(w) == int(Op::DROP) && Emit::a_of(w) == state;
  }
  EXPECT_EQ(drops, 1) << "the actor state must be released exactly once";
  // Before the call nothing released it.
  for (long pc = 0; pc < at; ++pc)
    EXPECT_FALSE(Emit::op_of(start.code[std::size_t(pc)]) == int(Op::DROP) &&
                 Emit::a_of(start.code[std::size_t(pc)]) == state);
}

// Variants: payload-less unions are their index; with payloads every variant
// (the bare one too) is an instance of its class, matched by class number.
TEST(EmitTablesLowering, VariantsAndTheirSwitch) {
  Lowered l(R"(
type Step = Num(v: Int) | Done
type Color = Red | Green | Blue
fn make(n: Int) -> Step {
  if n > 0 {
    return Num(n)
  }
  return Done()
}
fn done() -> Step {
  return Done
}
fn value(s: Step) -> Int {
  switch s {
    case Num(v):
      return v
    case Done:
      return -1
  }
  return 0
}
fn green() -> Color {
  return Green
}
fn main() {}
)");
  int news = 0, setfs = 0;
  for (std::uint32_t w : l.method("make").code) {
    news += Emit::op_of(w) == int(Op::NEW);
    setfs += Emit::op_of(w) == int(Op::SETF);
  }
  EXPECT_EQ(news, 2);
  EXPECT_EQ(setfs, 1);
  int done_news = 0;
  for (std::uint32_t w : l.method("done").code) done_news += Emit::op_of(w) == int(Op::NEW);
  EXPECT_EQ(done_news, 1);
  const Emit::MethodEntry& value = l.method("value");
  EXPECT_EQ(count_builtin(value, Builtin::VARIANT_TAG), 1);
  // The payload is read after the arm's test matched.
  long tag = first_builtin(value, unsigned(Builtin::VARIANT_TAG));
  bool getf_after_jz = false, seen_jz = false;
  for (std::size_t pc = std::size_t(tag); pc < value.code.size(); ++pc) {
    int op = Emit::op_of(value.code[pc]);
    if (op == int(Op::JZ)) seen_jz = true;
    if (op == int(Op::GETF)) {
      getf_after_jz = seen_jz;
      break;
    }
  }
  EXPECT_TRUE(getf_after_jz);
  const Emit::MethodEntry& green = l.method("green");
  EXPECT_EQ(Emit::op_of(green.code[0]), int(Op::LOADK));
  EXPECT_EQ(count_builtin(green, Builtin::VARIANT_TAG), 0);
}

}  // namespace
