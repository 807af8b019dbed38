// Typing of bodies: nil safety and narrowing (including assignments inside
// narrowed loops), operators, calls and builtins, constructors, switch,
// actors, queries, and the builtin and library tables.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "diag/diag.hpp"
#include "lexer/lexer.hpp"
#include "parser/parser.hpp"
#include "types/types.hpp"
#include "types/typing.hpp"

namespace {

using namespace Types;
using Lines = std::vector<std::string>;

// "code line:col message" of every diagnostic of a one-file program, whose
// classes named in `gc` are marked garbage-collected.
Lines check(const std::string& text, std::vector<std::string_view> gc = {}) {
  Diag::Collector collector;
  const std::string path = "t.vk";
  Lexer::TokenList tokens = Lexer::tokenize(collector, path, text);
  Ast::Program tree = Parser::parse(collector, path, tokens);
  Symbols file = collect_declarations(path, tree, collector);
  Symbols merged = with_builtin_records(file);
  merged.gc_classes.insert(gc.begin(), gc.end());
  ModuleTables modules;
  modules.emplace(".", file);
  ModuleOf module_of = [](std::string_view) { return std::string("."); };
  typecheck_program(path, module_of, modules, file, tree, merged, collector);
  Lines out;
  for (const Diag::Diagnostic& d : collector.diagnostics()) {
    out.push_back(d.code + " " + std::to_string(d.site.line) + ":" + std::to_string(d.site.col) + " " + d.message);
  }
  return out;
}

TEST(Typing, Narrowing) {
  const Lines expected = {
      "VK-E213 26:10 `x` is possibly nil (`?T`) — check it against `nil` before reaching through it",
      "VK-E213 34:10 `x` is possibly nil (`?T`) — check it against `nil` before reaching through it",
      "VK-E213 50:13 `x` is possibly nil (`?T`) — check it against `nil` before reaching through it",
      "VK-E213 51:9 `x` is possibly nil (`?T`) — check it against `nil` before reaching through it",
      "VK-E213 71:10 `x` is possibly nil (`?T`) — check it against `nil` before reaching through it",
      "VK-E212 75:17 `x` cannot be stored in `a: Node` — the target is not nullable; declare it `?T` or narrow the value first",
      "VK-E212 76:17 `nil` cannot be stored in `b: Node` — the target is not nullable; declare it `?T` or narrow the value first",
      "VK-E212 77:7 `nil` cannot be stored in `n` (`Node`) — the target is not nullable; declare it `?T` or narrow the value first",
      "VK-E212 79:11 `nil` cannot be stored in field `val` (`Int`) — the target is not nullable; declare it `?T` or narrow the value first",
  };
  EXPECT_EQ(check(R"(class Node {
  val: Int
  next: ?Node
}

fn sum(head: ?Node) -> Int {
  let total = 0
  let cur: ?Node = head
  while cur != nil {
    total = total + cur.val
    cur = cur.next
  }
  return total
}

fn guarded(x: ?Node) -> Int {
  if x == nil { return 0 }
  let a = x.val
  if x != nil and x.next != nil { return x.val }
  if x == nil or x.val > 3 { return 1 } else { return x.val }
}

fn lost(x: ?Node) -> Int {
  if x == nil { return 0 }
  x = x.next
  return x.val
}

fn lost_in_branch(x: ?Node, c: Bool) -> Int {
  if x == nil { return 0 }
  if c {
    x = x.next
  }
  return x.val
}

fn rechecked(x: ?Node, c: Bool) -> Int {
  if x == nil { return 0 }
  if c {
    x = x.next
    if x == nil { return 0 }
  }
  return x.val
}

fn back_edge(x: ?Node, n: Int) -> Int {
  if x == nil { return 0 }
  let i = 0
  while i < n {
    i = i + x.val
    x = x.next
  }
  return i
}

fn best_of(xs: multi Node, first: ?Node) -> Int {
  let best = first
  if best == nil { return 0 }
  for n in xs {
    if n.val > best.val { best = n }
  }
  return best.val
}

fn breaks(x: ?Node) -> Int {
  if x == nil { return 0 }
  while true {
    x = x.next
    if x == nil { break }
  }
  return x.val
}

fn stores(x: ?Node, n: Node) {
  let a: Node = x
  let b: Node = nil
  n = nil
  n.next = x
  n.val = nil
}
)"), expected);
}


TEST(Typing, Operators) {
  const Lines expected = {
      "VK-E201 5:12 `and` operand must be `Bool`, got `Int` -- no truthiness in this language",
      "VK-E201 6:16 `not` operand must be `Bool`, got `Int` -- no truthiness in this language",
      "VK-E211 7:17 `n` is possibly nil (`?T`) and is used where a plain value is required — narrow it first (`if x != nil { ... }`)",
      "VK-E201 7:17 `or` operand must be `Bool`, got `?Int` -- no truthiness in this language",
      "VK-E201 8:14 `+` mixes Int and Float — there is no implicit conversion; wrap the left side in `float(...)`, or `trunc(...)` the Float side to stay in Int",
      "VK-E201 9:16 `+` mixes Int and Float — there is no implicit conversion; wrap the right side in `float(...)`, or `trunc(...)` the Float side to stay in Int",
      "VK-E201 10:14 `%` has no Float meaning — integer remainder is not IEEE remainder, and this language has no `fmod`; `trunc(...)` first if integer remainder is what you want",
      "VK-E201 11:14 `+` is arithmetic and never joins text — use `..` to concatenate",
      "VK-E201 12:14 `==` mixes Int and Float — there is no implicit conversion; wrap the left side in `float(...)`, or `trunc(...)` the Float side to stay in Int",
      "VK-E211 13:16 `n` is possibly nil (`?T`) and is used where a plain value is required — narrow it first (`if x != nil { ... }`)",
      "VK-E201 14:16 `&` operand must be `Int`, got `Bool` -- bitwise is Int-only",
      "VK-E223 15:17 shift count is out of range 0..63 for `<<`",
      "VK-E223 16:17 shift count is out of range 0..63 for `<<`",
      "VK-E201 19:14 cannot compare `Color` with `Shape` — values of different unions never compare equal (their tags merely share a representation)",
      "VK-E201 21:15 cannot compare `Shape` with `Color` — values of different unions never compare equal (their tags merely share a representation)",
      "VK-E211 24:12 `nil` is possibly nil (`?T`) and is used where a plain value is required — narrow it first (`if x != nil { ... }`)",
      "VK-E211 26:13 `n` is possibly nil (`?T`) and is used where a plain value is required — narrow it first (`if x != nil { ... }`)",
  };
  EXPECT_EQ(check(R"(type Color = Red | Green
type Shape = Circle(r: Float) | Square(side: Float)

fn ops(a: Int, f: Float, s: Text, b: Bool, n: ?Int, c: Color, sh: Shape) {
  let x1 = a and b
  let x2 = not a
  let x3 = b or n
  let x4 = 1 + 2.0
  let x5 = 2.0 + 1
  let x6 = f % 2.0
  let x7 = s + "a"
  let x8 = a == f
  let x9 = a < n
  let y1 = a & b
  let y2 = a << 64
  let y3 = a << -1
  let y4 = a << 63
  let y5 = a >> -0
  let y6 = c == sh
  let y7 = c == Red
  let y8 = sh != Red
  let y9 = n == nil
  let z1 = nil != n
  let z2 = nil + 1
  let z3 = s .. a .. f
  let z4 = -n
}
)"), expected);
}

TEST(Typing, CallsAndBuiltins) {
  const Lines expected = {
      "VK-E205 21:9 `Robot` does not satisfy interface `Named`: no matching instance method `name`",
      "VK-E212 22:12 `nil` cannot be stored in parameter `tag` — the target is not nullable; declare it `?T` or narrow the value first",
      "VK-E211 23:17 this call's result is possibly nil (`?T`) and is used where a plain value is required — narrow it first (`if x != nil { ... }`)",
      "VK-E203 25:15 variant `Data` of `Msg` takes 2 payload argument(s), given 1",
      "VK-E212 26:19 `nil` cannot be stored in parameter `w` — the target is not nullable; declare it `?T` or narrow the value first",
      "VK-E209 27:6 builtin `len` takes 1 argument(s), given 2",
      "VK-E209 28:17 builtin `substr` expects Int, got `Text`",
      "VK-E211 30:14 this call's result is possibly nil (`?T`) and is used where a plain value is required — narrow it first (`if x != nil { ... }`)",
      "VK-E202 34:5 unknown field `nope` on `User`",
      "VK-E202 36:5 unknown field `nope` on `User`",
      "VK-E209 37:16 builtin `pop` expects a `multi`, got `map`",
      "VK-E213 40:3 `st` is possibly nil (`?T`) — check it against `nil` before reaching through it",
      "VK-E202 42:5 unknown field `nope` on `TimeParts`",
      "VK-E205 43:18 `Robot` does not satisfy interface `Named`: no matching instance method `name`",
  };
  EXPECT_EQ(check(R"(interface Named {
  fn name() -> Text
}
class User {
  nick: Text
  fn name() -> Text { return self.nick }
  static fn make(n: Text) -> User { return User { nick: n } }
}
class Robot {
  id: Int
  fn label() -> Text { return "r" }
}
type Msg = Ping | Data(v: Int, w: Text)

fn greet(who: Named, tag: Text) -> Text { return who.name() .. tag }
fn maybe() -> ?Text { return nil }

fn main() {
  let u = User.make("ann")
  greet(u, "x")
  greet(Robot { id: 1 }, "y")
  greet(u, nil)
  greet(u, maybe())
  greet(u)
  let d = Data(1)
  let e = Data(1, nil)
  len(1, 2)
  substr("abc", "a", 2)
  print_int(true)
  print(maybe())
  let m: map<Text, User> = map_new()
  let xs: multi User = multi_new()
  let g1 = get(m, "a")
  g1.nope
  let g2 = get(xs, 0)
  g2.nope
  let g3 = pop(m)
  g3.nope
  let st = fs.stat("p")
  st.size
  let tp = time.local(1)
  tp.nope
  let r: Named = Robot { id: 2 }
  u.name().nope
}
)"), expected);
}

TEST(Typing, ConstructorsTablesQueries) {
  const Lines expected = {
      "VK-E206 16:11 missing field `total` in constructor of `Order`",
      "VK-E207 17:11 unknown type `Ghost` in constructor",
      "VK-E202 18:49 unknown field `bogus` on `Order`",
      "VK-E206 19:3 missing field `status` in insert of `Order`",
      "VK-E207 20:3 unknown type `Ghost` in insert",
      "VK-E250 22:3 `delete` takes a table-row value",
      "VK-E219 23:4 field `status` of class `Order` is pub(read) — readable anywhere, writable only inside `Order`",
      "VK-E250 25:13 `from o in Ghost`: `Ghost` is not a declared table class",
      "VK-E250 27:25 query navigation source must be a `backlink`/`multi` of a table class",
      "VK-E250 28:41 group-by aggregation is not supported yet",
  };
  EXPECT_EQ(check(R"(@table
class Order {
  id: Int
  total: Int
  note: ?Text
  made: Timestamp = now()
  pub(read) status: Text
  fn close() { self.status = "closed" }
}
class Customer {
  name: Text
  orders: multi Order
}

fn main(c: Customer) {
  let a = Order { id: 1 }
  let b = Ghost { x: 1 }
  let q = Order { id: 1, total: 2, status: "s", bogus: 3 }
  insert Order { id: 2, total: 3 }
  insert Ghost { }
  delete a
  delete 3
  q.status = "x"
  let big = from o in Order where o.total > 10 select o.id
  let bad = from o in Ghost select o
  let nav = from o in c.orders where o.total > 1 select o
  let nav2 = from o in c.name select o
  let grp = from o in Order group o by o.id into g select g
}
)"), expected);
}

TEST(Typing, Switch) {
  const Lines expected = {
      "VK-E208 5:3 switch over `Color` has no `default` arm and does not cover: Green, Blue",
      "VK-W203 9:5 `default` is not the last arm -- a `case` written after it still matches (this compiler evaluates `default` last regardless of source position), which reads as dead code",
      "VK-E201 11:10 `Purple` is not a variant of union `Color`",
      "VK-E201 12:10 switch over union `Color` matches variants — this case value is not one",
      "VK-E203 16:16 pattern for `Square` binds 2 payload field(s), but `Square` declares 1",
      "VK-E203 17:16 pattern for `Square` must bind plain names — payload fields are bound positionally, never matched by value",
      "VK-E203 20:16 a payload-binding pattern (`Circle(...)`) must be its arm's only value",
      "VK-E203 20:27 a payload-binding pattern (`Square(...)`) must be its arm's only value",
      "VK-E208 22:3 switch over `Int` has no `default` arm",
      "VK-E201 24:10 switch case value has type `Text`, but the switch subject has type `Int`",
      "VK-E201 25:10 `Red` is a variant of union `Color`, but the switch subject has type `Int`",
      "VK-E201 28:10 switch case value has type `Int`, but the switch subject has type `Text`",
      "VK-E201 32:10 `Red` can never match here — the subject is `?Color`, which may be nil and is not narrowed by `switch`; handle the nil case first (forced `?T` handling arrives with Task 6)",
      "VK-E201 37:13 switch arm yields `Text`, but the switch's type is `Int` (from an earlier arm)",
  };
  EXPECT_EQ(check(R"(type Color = Red | Green | Blue
type Shape = Circle(r: Float) | Square(side: Float)

fn area(s: Shape, c: Color, n: Int, t: Text, oc: ?Color) -> Float {
  switch c {
    case Red: print("r")
  }
  switch c {
    default: print("d")
    case Red, Green: print("rg")
    case Purple: print("p")
    case 3: print("3")
  }
  switch s {
    case Circle(r): return r * r
    case Square(a, b): return a
    case Square(1.0): return 1.0
  }
  switch s {
    case Circle(r), Square(q): return 0.0
  }
  switch n {
    case 1: print("one")
    case "two": print("two")
    case Red: print("red")
  }
  switch t {
    case 1: print("one")
    default: print("x")
  }
  switch oc {
    case Red: print("r")
    default: print("x")
  }
  let v = switch n {
    case 1: 1
    case 2: "two"
    default: 3
  }
  return 0.0
}
)"), expected);
}

TEST(Typing, ActorsAndTry) {
  const Lines expected = {
      "VK-E221 32:3 `spawn Bad { ... }`: its `receive` must take exactly one parameter — an actor is a class with `fn receive(msg: M)` where M is a class, record, or union",
      "VK-E221 33:3 `spawn Listy { ... }`: receive's parameter must be a plain class, record, or union type — an actor is a class with `fn receive(msg: M)` where M is a class, record, or union",
      "VK-E221 34:3 `spawn Ghosted { ... }`: receive's message type `Ghost` is not a declared class, record, or union — an actor is a class with `fn receive(msg: M)` where M is a class, record, or union",
      "VK-E221 35:3 `spawn NoRecv { ... }`: `NoRecv` has no `receive` method — an actor is a class with `fn receive(msg: M)` where M is a class, record, or union",
      "VK-E222 36:3 actor state type `Holder` is traced (or contains a traced class) — aliased graphs cannot cross shard heaps; spawn placement makes every actor potentially remote",
      "VK-E201 38:11 this actor receives `Ping` — the message is a `Note`",
      "VK-E201 39:8 `send`'s first argument must be an `actor M` address",
      "VK-E203 40:7 `send` takes 2 arguments (address, message), given 1",
      "VK-E226 43:7 `call` on `actor Note` needs one reply type, but `Logger` and `Texter` declare different `receive` returns",
      "VK-E203 44:7 `call` takes 2 arguments (address, message), given 3",
      "VK-E201 45:41 the `catch` arm yields `Int`, but the `try` arm yields `?Int` — both arms of a `try` expression must have one type",
      "VK-E201 46:33 the `catch` arm yields `Text`, but the `try` arm yields `Int` — both arms of a `try` expression must have one type",
  };
  EXPECT_EQ(check(R"(type Ping { n: Int }
type Note { text: Text }
class Graph { next: ?Graph }
class Counter {
  count: Int
  fn receive(msg: Ping) -> Int { return msg.n }
}
class Logger {
  fn receive(msg: Note) { print(msg.text) }
}
class Bad {
  fn receive(a: Int, b: Int) { }
}
class Listy {
  fn receive(msg: multi Ping) { }
}
class Ghosted {
  fn receive(msg: Ghost) { }
}
class NoRecv { x: Int }
class Holder {
  g: ?Graph
  fn receive(msg: Ping) -> Int { return 1 }
}
class Texter {
  fn receive(msg: Note) -> Text { return "t" }
}

fn main() {
  let c = spawn Counter { count: 0 }
  let l = spawn Logger { }
  spawn Bad { }
  spawn Listy { }
  spawn Ghosted { }
  spawn NoRecv { x: 1 }
  spawn Holder { }
  send(c, Ping { n: 1 })
  send(c, Note { text: "x" })
  send(1, Ping { n: 1 })
  send(c)
  let r = call(c, Ping { n: 2 })
  r.nope
  call(l, Note { text: "x" })
  call(c, Ping { n: 2 }, 3)
  let v = try parse_int("1") catch (e) e.code
  let w = try risky() catch (e) "bad"
  try risky() catch (e) { print(e.msg) }
}

fn risky() -> Int { return 1 }
)", {"Graph"}), expected);
}


TEST(BuiltinTables, ResultsAndRequirements) {
  const Typ users = t_multi(t_named("User"));
  const Typ by_name = t_map(t_named("Text"), t_named("User"));
  EXPECT_EQ(typ_label(*builtin_confident_ret("get", by_name)), "User");
  EXPECT_EQ(typ_label(*builtin_confident_ret("get", t_nullable(users))), "User");
  EXPECT_EQ(typ_label(*builtin_confident_ret("key_at", by_name)), "Text");
  EXPECT_EQ(typ_label(*builtin_confident_ret("slice", users)), "multi");
  EXPECT_EQ(typ_label(*builtin_confident_ret("parse_int", std::nullopt)), "?Int");
  EXPECT_EQ(typ_label(*builtin_confident_ret("now", std::nullopt)), "Timestamp");
  EXPECT_FALSE(builtin_confident_ret("pop", by_name));
  EXPECT_FALSE(builtin_confident_ret("multi_new", std::nullopt));
  EXPECT_FALSE(builtin_confident_ret("no_such_builtin", std::nullopt));

  EXPECT_TRUE(matches_req(Req::ReqText, t_nullable(t_named("Text"))));
  EXPECT_TRUE(matches_req(Req::ReqInt, t_named("Id")));
  EXPECT_FALSE(matches_req(Req::ReqInt, t_named("Float")));
  EXPECT_TRUE(matches_req(Req::ReqCollection, by_name));
  EXPECT_EQ(req_label(Req::ReqCollection), "a `multi` or `map`");

  const StdlibMember* stat = stdlib_member("fs", "stat");
  ASSERT_NE(stat, nullptr);
  EXPECT_EQ(stat->builtin_number, 42);
  EXPECT_EQ(stat->record, "Stat");
  EXPECT_EQ(typ_label(*stdlib_member_result(*stat)), "?Stat");
  EXPECT_EQ(typ_label(*stdlib_member_result(*stdlib_member("time", "local"))), "TimeParts");
  EXPECT_EQ(typ_label(*stdlib_member_result(*stdlib_member("fs", "list"))), "multi");
  EXPECT_EQ(typ_label(*stdlib_member_result(*stdlib_member("net", "close"))), "void");
  EXPECT_FALSE(stdlib_member_result(*stdlib_member("json", "decode")));
  EXPECT_EQ(stdlib_member("time", "now")->builtin_number, 0);
  EXPECT_EQ(stdlib_member("net", "peer")->builtin_number, 95);
  EXPECT_EQ(stdlib_member("fs", "nope"), nullptr);
}

// Any order of declarations and statements, however broken, is typed without
// a crash; a switch nested as deep as the parser allows is typed too.
TEST(Typing, BrokenAndDeepInputs) {
  check("fn f( { let x = \nclass { y: \nfn g() -> ?Nope { return h(1)(2).z[3] }\n");
  check("fn f(a: ?A) { switch a { case A(b, c): b.c.d } spawn A { } call() send(1, 2, 3) delete nil }");
  std::string deep = "fn f(x: Int) -> Int { return ";
  for (int i = 0; i < 100; ++i) deep += "(x + ";
  deep += "1";
  for (int i = 0; i < 100; ++i) deep += ")";
  deep += " }\n";
  EXPECT_TRUE(check(deep).empty());
}

}  // namespace

// What may be stored where: the cases the golden programs do not spell out
// (references, nested containers, unknown names, `??T`).
TEST(Typing, TypeFits) {
  Diag::Collector collector;
  const std::string path = "t.vk";
  const std::string text = "class Node {\n  v: Int\n}\ninterface I {\n  fn f()\n}\ntype U = A | B(x: Int)\n";
  Lexer::TokenList tokens = Lexer::tokenize(collector, path, text);
  Ast::Program tree = Parser::parse(collector, path, tokens);
  Symbols s = with_builtin_records(collect_declarations(path, tree, collector));
  using Typing::type_fits;
  const Typ node = t_named("Node");
  EXPECT_TRUE(type_fits(s, t_ref("Node"), node));
  EXPECT_TRUE(type_fits(s, t_ref("Node"), t_ref("Node")));
  EXPECT_FALSE(type_fits(s, t_ref("Node"), t_named("Int")));
  EXPECT_FALSE(type_fits(s, node, t_ref("Node")));
  EXPECT_TRUE(type_fits(s, t_named("I"), node));
  EXPECT_FALSE(type_fits(s, node, t_named("I")));
  EXPECT_TRUE(type_fits(s, t_nullable(node), node));
  EXPECT_TRUE(type_fits(s, node, t_nullable(node)));  // nil safety reports this one
  EXPECT_TRUE(type_fits(s, t_named("Int"), t_named("Timestamp")));
  EXPECT_TRUE(type_fits(s, t_named("Id"), t_named("Bool")));
  EXPECT_FALSE(type_fits(s, t_named("Bool"), t_named("Int")));
  EXPECT_FALSE(type_fits(s, t_named("Int"), t_named("Float")));
  EXPECT_FALSE(type_fits(s, t_named("Int"), t_named("U")));
  EXPECT_TRUE(type_fits(s, t_named("Missing"), t_named("Int")));
  EXPECT_TRUE(type_fits(s, t_named("Int"), t_named("Missing")));
  EXPECT_TRUE(type_fits(s, t_multi(t_named("Missing")), t_multi(node)));
  EXPECT_FALSE(type_fits(s, t_multi(node), t_multi(t_named("Text"))));
  EXPECT_FALSE(type_fits(s, t_multi(node), t_map(t_named("Int"), node)));
  EXPECT_TRUE(type_fits(s, t_map(t_named("Text"), node), t_map(t_named("Text"), node)));
  EXPECT_FALSE(type_fits(s, t_map(t_named("Text"), node), t_map(t_named("Int"), node)));
  EXPECT_FALSE(type_fits(s, t_named("Int"), t_void()));
  EXPECT_TRUE(type_fits(s, t_nullable(t_nullable(node)), t_named("Int")));
  EXPECT_TRUE(type_fits(s, t_actor("Node"), t_actor("Node")));
  EXPECT_FALSE(type_fits(s, t_actor("Node"), t_actor("U")));
}
