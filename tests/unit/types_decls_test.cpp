// The checker's data model and declaration checks: type labels and
// conversions, declaration tables with duplicates, runtime kinds, nil facts
// and narrowing, field types, interface satisfaction, module visibility and
// the rewriting of `using` extension calls.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "ast/ast.hpp"
#include "diag/diag.hpp"
#include "lexer/lexer.hpp"
#include "parser/parser.hpp"
#include "types/types.hpp"

namespace {

using namespace Types;

Ast::Program parse(Diag::Collector& collector, const std::string& path, const std::string& text) {
  Lexer::TokenList tokens = Lexer::tokenize(collector, path, text);
  return Parser::parse(collector, path, tokens);
}

// "code line:col message" of every diagnostic, in the collector's order.
std::vector<std::string> lines_of(const Diag::Collector& collector) {
  std::vector<std::string> out;
  for (const Diag::Diagnostic& d : collector.diagnostics()) {
    std::string line = d.code + " " + std::to_string(d.site.line) + ":" + std::to_string(d.site.col) + " " + d.message;
    for (const Diag::Related& r : d.related) {
      line += " | " + std::to_string(r.site.line) + ":" + std::to_string(r.site.col) + " " + r.message;
    }
    out.push_back(line);
  }
  return out;
}

// A parsed file and its tables, kept together because tables view the tree.
struct File {
  std::string path;
  Ast::Program tree;
  Symbols symbols;
};

File collect(Diag::Collector& collector, const std::string& path, const std::string& text) {
  File f{path, parse(collector, path, text), {}};
  f.symbols = collect_declarations(path, f.tree, collector);
  return f;
}

TEST(TypLabel, PrintsTheShapeNotTheComponents) {
  EXPECT_EQ(typ_label(t_nullable(t_multi(t_named("Int")))), "?multi");
  EXPECT_EQ(typ_label(t_map(t_named("Text"), t_named("Int"))), "map");
  EXPECT_EQ(typ_label(t_ref("Node")), "ref Node");
  EXPECT_EQ(typ_label(t_actor("Msg")), "actor Msg");
  EXPECT_EQ(typ_label(t_void()), "void");
  EXPECT_EQ(typ_label(t_nullable(t_named("json.Value"))), "?json.Value");
}

TEST(TypConversion, FieldTypesRoundTrip) {
  Diag::Collector collector;
  File f = collect(collector,
                   "a.vk",
                   "class Node {\n"
                   "  a: Int\n  b: ?Text\n  c: multi Node\n  d: map<Text, Node>\n  e: ref Node\n"
                   "  f: actor Msg\n  g: backlink Node.c\n  h: ?multi Node\n"
                   "}\n");
  ASSERT_TRUE(lines_of(collector).empty());
  const ClassInfo* node = f.symbols.classes.find("Node");
  ASSERT_NE(node, nullptr);
  ASSERT_EQ(node->fields.size(), 8u);
  std::vector<std::string> labels;
  Ast::Arena arena;
  for (const Ast::Field& field : node->fields) {
    Typ ty = typ_of_field_ty(*field.ty);
    labels.push_back(typ_label(ty));
    const Ast::TypeExpr* back = field_ty_of_typ(ty, arena);
    ASSERT_NE(back, nullptr) << field.name;
    EXPECT_TRUE(typ_equal(f.symbols, typ_of_field_ty(*back), ty)) << field.name;
  }
  EXPECT_EQ(labels, (std::vector<std::string>{"Int", "?Text", "multi", "map", "ref Node", "actor Msg", "multi",
                                              "?multi"}));
  // A backlink reads as a multi of its class and comes back as one.
  EXPECT_EQ(field_ty_of_typ(typ_of_field_ty(*node->fields[6].ty), arena)->kind, Ast::TypeKind::TyMulti);
  EXPECT_EQ(field_ty_of_typ(t_void(), arena), nullptr);
  EXPECT_EQ(field_ty_of_typ(t_multi(t_multi(t_named("Int"))), arena), nullptr);
  EXPECT_EQ(field_ty_of_typ(t_nullable(t_void()), arena), nullptr);
  EXPECT_FALSE(typ_equal(f.symbols, t_map(t_named("Text"), t_named("Int")), t_map(t_named("Text"), t_named("Bool"))));
  EXPECT_FALSE(typ_equal(f.symbols, t_ref("A"), t_actor("A")));
}

TEST(CollectDeclarations, DuplicatesKeepTheFirst) {
  Diag::Collector collector;
  File f = collect(collector,
                   "a.vk",
                   "type P { x: Int }\n"
                   "type P { y: Int }\n"
                   "interface P { fn m() }\n"
                   "fn go() {}\n"
                   "fn go(a: Int) {}\n"
                   "interface Named { fn name() -> Text }\n"
                   "interface Named { fn other() }\n"
                   "type A = X | Y(v: Int) | X\n"
                   "type B = Y | Z\n"
                   "type A = Q\n");
  EXPECT_EQ(lines_of(collector),
            (std::vector<std::string>{
                "VK-E215 2:1 class `P` already declared | 1:1 `P` first declared here",
                "VK-E215 5:1 fn `go` already declared | 4:1 `go` first declared here",
                "VK-E215 7:1 interface `Named` already declared | 6:1 `Named` first declared here",
                "VK-E215 8:26 variant `X` already declared | 8:10 `X` first declared here",
                "VK-E215 9:10 variant `Y` already declared | 8:14 `Y` first declared here",
                "VK-E215 10:1 union `A` already declared | 8:1 `A` first declared here",
            }));
  EXPECT_EQ(f.symbols.classes.find("P")->fields[0].name, "x");
  EXPECT_TRUE(f.symbols.interfaces.contains("P"));  // another map: no clash
  EXPECT_TRUE(f.symbols.functions.find("go")->fn->params.empty());
  auto y = find_variant_in(f.symbols, "Y");
  ASSERT_TRUE(y);
  EXPECT_EQ(y->union_info->name, "A");
  EXPECT_EQ(y->index, 1u);
  auto z = find_variant_in(f.symbols, "Z");
  ASSERT_TRUE(z);
  EXPECT_EQ(z->union_info->name, "B");
  EXPECT_EQ(z->index, 1u);
  EXPECT_FALSE(find_variant_in(f.symbols, "Q"));
  EXPECT_TRUE(find_variant(f.symbols, "B", "Y"));
  EXPECT_FALSE(find_variant(f.symbols, "B", "X"));
  EXPECT_TRUE(f.symbols.unions.find("A")->has_payload);
  EXPECT_FALSE(f.symbols.unions.find("B")->has_payload);
}

TEST(CollectDeclarations, ListingsAreInNameOrder) {
  Diag::Collector collector;
  File f = collect(collector, "a.vk", "type b {}\ntype C {}\ntype a {}\ntype B {}\n");
  std::vector<std::string_view> names;
  for (const ClassInfo* c : f.symbols.classes.in_name_order()) names.push_back(c->name);
  EXPECT_EQ(names, (std::vector<std::string_view>{"B", "C", "a", "b"}));
}

TEST(BuiltinRecords, AddedUnlessTheProgramDeclaresThem) {
  Diag::Collector collector;
  File f = collect(collector, "a.vk", "type Stat { owner: Text }\n");
  Symbols s = with_builtin_records(f.symbols);
  ASSERT_EQ(s.classes.find("Stat")->fields.size(), 1u);
  EXPECT_EQ(s.classes.find("Stat")->fields[0].name, "owner");
  const ClassInfo* error = s.classes.find("Error");
  ASSERT_NE(error, nullptr);
  EXPECT_TRUE(error->is_typedef && error->pub && !error->is_class);
  EXPECT_EQ(error->id, static_cast<Ast::NodeId>(-1));
  std::vector<std::string> fields;
  for (const Ast::Field& field : error->fields) fields.push_back(std::string(field.name) + ":" + typ_label(typ_of_field_ty(*field.ty)));
  EXPECT_EQ(fields, (std::vector<std::string>{"code:Int", "line:Int", "method:Text", "msg:Text"}));
  EXPECT_EQ(s.classes.find("TimeParts")->fields.size(), 7u);
  EXPECT_EQ(typ_label(typ_of_field_ty(*s.classes.find("Proc")->fields[2].ty)), "Text");
}

TEST(RuntimeKinds, FollowTheDeclarations) {
  Diag::Collector collector;
  File bare = collect(collector, "a.vk", "type Color = Red | Green\nclass Node { next: ?Node }\n");
  File payload = collect(collector, "b.vk", "type Color = Red | Green(shade: Int)\n");
  EXPECT_EQ(vkb_kind_of_typ(bare.symbols, t_named("Color")), 0);
  EXPECT_EQ(vkb_kind_of_typ(payload.symbols, t_named("Color")), 1);
  EXPECT_EQ(vkb_kind_of_typ(bare.symbols, t_named("Node")), 1);
  Symbols gc = bare.symbols;
  gc.gc_classes.insert("Node");
  gc.gc_classes.insert("Ghost");
  EXPECT_EQ(vkb_kind_of_typ(gc, t_named("Node")), 2);
  EXPECT_EQ(vkb_kind_of_typ(gc, t_named("Ghost")), 2);  // marked though undeclared
  EXPECT_TRUE(is_gc_class(gc, "Node"));
  EXPECT_FALSE(is_gc_class(gc, "Missing"));
  const std::vector<std::pair<Typ, int>> cases = {
      {t_void(), 0},           {t_named("Int"), 0},       {t_named("Bool"), 0},     {t_named("Timestamp"), 0},
      {t_named("Id"), 0},      {t_named("net.Conn"), 0},  {t_ref("Node"), 0},       {t_actor("Msg"), 0},
      {t_named("Text"), 3},    {t_named("json.Value"), 3}, {t_multi(t_named("Int")), 4},
      {t_map(t_named("Text"), t_named("Int")), 5},         {t_named("Float"), 6},   {t_named("Bytes"), 7},
      {t_nullable(t_named("Int")), 8},                     {t_named("Unknown"), 1},
  };
  for (const auto& [ty, kind] : cases) EXPECT_EQ(vkb_kind_of_typ(bare.symbols, ty), kind) << typ_label(ty);
}

TEST(Vocabularies, FixedNames) {
  EXPECT_TRUE(is_builtin_scalar("Timestamp"));
  EXPECT_FALSE(is_builtin_scalar("json.Value"));
  EXPECT_TRUE(is_heap_scalar("json.Value"));
  EXPECT_FALSE(is_heap_scalar("Int"));
  EXPECT_TRUE(is_stdlib_module("env"));
  EXPECT_FALSE(is_stdlib_module("Env"));
  EXPECT_TRUE(is_stdlib_scalar_type("net.Conn"));
  EXPECT_EQ(numeric_world("Id"), NumericWorld::Int);
  EXPECT_EQ(numeric_world("Float"), NumericWorld::Float);
  EXPECT_EQ(numeric_world("Text"), NumericWorld::None);
}

// The facts of the condition of the first statement of `main`.
NilFacts facts_of(const std::string& condition) {
  static std::vector<Ast::Program> keep;  // the facts view names in the tree
  Diag::Collector collector;
  keep.push_back(parse(collector, "a.vk", "fn main() {\n  if " + condition + " {\n  }\n}\n"));
  EXPECT_TRUE(lines_of(collector).empty()) << condition;
  const Ast::Method* main = keep.back().decls[0]->as<Ast::FnDecl>().fn;
  return nil_facts(*main->body[0]->as<Ast::If>().cond);
}

using Names = std::vector<std::string_view>;

TEST(NilFacts, FromComparisonsAndConnectives) {
  EXPECT_EQ(facts_of("x != nil").when_true, Names{"x"});
  EXPECT_EQ(facts_of("nil != x").when_true, Names{"x"});
  EXPECT_EQ(facts_of("x == nil").when_false, Names{"x"});
  EXPECT_TRUE(facts_of("x == nil").when_true.empty());
  NilFacts both = facts_of("x != nil and y != nil and z == nil");
  EXPECT_EQ(both.when_true, (Names{"x", "y"}));
  EXPECT_TRUE(both.when_false.empty());
  NilFacts either = facts_of("x == nil or y == nil");
  EXPECT_EQ(either.when_false, (Names{"x", "y"}));
  EXPECT_TRUE(either.when_true.empty());
  EXPECT_TRUE(facts_of("a.b != nil").when_true.empty());
  EXPECT_TRUE(facts_of("not (x == nil)").when_true.empty());
  EXPECT_EQ(facts_of("(x != nil and y != nil) and w != nil").when_true, (Names{"x", "y", "w"}));
}

TEST(Env, NarrowingIsUndoneToTheMark) {
  Env env;
  env.bind("x", t_nullable(t_named("P")));
  env.bind("n", t_named("Int"));
  std::size_t before = env.mark();
  std::vector<std::string_view> names = {"x", "n", "missing"};
  narrow_env(env, names);
  EXPECT_EQ(typ_label(*env.find("x")), "P");
  EXPECT_EQ(typ_label(*env.find("n")), "Int");
  EXPECT_EQ(env.find("missing"), nullptr);
  env.bind_unknown("n");  // a loop variable of no known type hides the outer one
  EXPECT_EQ(env.find("n"), nullptr);
  EXPECT_TRUE(env.is_bound("n"));
  env.bind("fresh", t_named("Text"));
  unnarrow_env(env, before);
  EXPECT_EQ(typ_label(*env.find("x")), "?P");
  EXPECT_EQ(typ_label(*env.find("n")), "Int");
  EXPECT_FALSE(env.is_bound("fresh"));
}

TEST(FieldTypes, UnknownNamesAreReported) {
  Diag::Collector collector;
  File f = collect(collector,
                   "a.vk",
                   "type Conn {\n  sock: net.Conn\n  doc: json.Value\n  age: ?Int\n  blob: Dynamic\n"
                   "  peer: Foo\n  maybe: ?Bar\n  many: multi Baz\n  when: time.Instant\n  ok: Shape\n}\n"
                   "type Shape = Dot(at: Foo) | Pair(a: ?Conn, b: Shape)\n"
                   "interface Named { fn name() -> Text }\n"
                   "type Holder { n: Named\n  e: Error }\n");
  Symbols merged = with_builtin_records(f.symbols);
  check_field_types("a.vk", f.symbols, merged, collector);
  EXPECT_EQ(lines_of(collector),
            (std::vector<std::string>{
                "VK-E225 5:3 `Dynamic` is rejected: static typing all the way to the register — typed "
                "`json.decode … as T -> ?T` covers the real use (principle 13)",
                "VK-E225 6:3 unknown type `Foo`",
                "VK-E225 7:3 unknown type `Bar`",
                "VK-E225 12:22 unknown type `Foo`",
            }));
}

TEST(IfaceBoundary, StaticOrWrongArityMethodsDoNotSatisfy) {
  Diag::Collector collector;
  File f = collect(collector,
                   "a.vk",
                   "interface Shape {\n  fn area() -> Int\n  fn scale(k: Int)\n}\n"
                   "class Sq {\n  static fn area() -> Int { return 1 }\n  fn scale(k: Int) {}\n}\n"
                   "class Wide {\n  fn area() -> Int { return 1 }\n  fn scale() {}\n}\n"
                   "class Good {\n  fn scale(k: Int) {}\n  fn area() -> Int { return 2 }\n}\n");
  ASSERT_TRUE(lines_of(collector).empty());
  const Ast::Pos at{7, 9};
  check_iface_boundary("a.vk", f.symbols, collector, t_named("Shape"), t_named("Sq"), at);
  check_iface_boundary("a.vk", f.symbols, collector, t_nullable(t_named("Shape")), t_named("Wide"), {8, 1});
  check_iface_boundary("a.vk", f.symbols, collector, t_named("Shape"), t_nullable(t_named("Good")), {9, 1});
  check_iface_boundary("a.vk", f.symbols, collector, t_named("Shape"), std::nullopt, {10, 1});
  check_iface_boundary("a.vk", f.symbols, collector, t_named("Sq"), t_named("Wide"), {11, 1});
  EXPECT_EQ(lines_of(collector),
            (std::vector<std::string>{
                "VK-E205 7:9 `Sq` does not satisfy interface `Shape`: no matching instance method `area`",
                "VK-E205 8:1 `Wide` does not satisfy interface `Shape`: no matching instance method `scale`",
            }));
}

// Module checks over files given as (path, text); modules are the directories.
std::vector<std::string> module_findings(const std::vector<std::pair<std::string, std::string>>& sources) {
  Diag::Collector collector;
  std::vector<File> files;
  for (const auto& [path, text] : sources) files.push_back(collect(collector, path, text));
  EXPECT_TRUE(lines_of(collector).empty());
  std::vector<FileSymbols> symbols;
  std::vector<FileTree> trees;
  for (const File& f : files) {
    symbols.push_back({f.path, f.symbols});
    trees.push_back({f.path, &f.tree});
  }
  ModuleOf module_of = [](std::string_view path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? std::string(".") : std::string(path.substr(0, slash));
  };
  check_modules(collector, module_of, symbols, trees);
  return lines_of(collector);
}

TEST(Modules, VisibilityAndUse) {
  auto found = module_findings({
      {"main.vk",
       "use shapes\nuse geo\nuse fs\nuse nowhere/there\nuse util\nuse json\n"
       "fn main() {\n"
       "  let s = Circle { r: 1 }\n"   // 8: exported by shapes only
       "  let a = area(s)\n"           // 9: exported by both shapes and geo
       "  let h = helper()\n"          // 10: declared in util, not pub
       "  let t = tool()\n"            // 11: declared in tools, not used
       "  let x = fs.exists(\"a\")\n"  // 12: library module counts as used
       "  let y = local()\n"
       "  let z = print(\"x\")\n"
       "}\n"
       "fn local() -> Int { return 1 }\n"},
      {"shapes/circle.vk", "pub class Circle { r: Int }\npub fn area(c: Circle) -> Int { return c.r }\n"},
      {"geo/area.vk", "pub fn area(c: Int) -> Int { return c }\n"},
      {"util/help.vk", "fn helper() -> Int { return 1 }\npub fn shout(x: Int) -> Int { return x }\n"},
      {"tools/t.vk", "pub fn tool() -> Int { return 2 }\nfn secret() -> Int { return 3 }\n"},
      {"tools/use_util.vk",
       "use util\nuse json\nfn run(util: Int) -> Int {\n  let a = util.shout(1)\n  return secret()\n}\n"
       "fn run2() -> Int {\n  return util.helper() + util.shout(2)\n}\n"},
  });
  EXPECT_EQ(found,
            (std::vector<std::string>{
                "VK-E216 4:1 unknown module `nowhere/there` — not a discovered project module and not a reserved "
                "stdlib namespace",
                "VK-W202 6:1 unused `use json`",
                "VK-E218 9:11 `area` is ambiguous — exported `pub` by more than one used module (shapes, geo)",
                "VK-E217 10:11 `helper` is not `pub` in module `util`",
                "VK-E210 11:11 `tool` is declared in module `tools`, which is not `use`d here",
                "VK-W202 2:1 unused `use json`",
                "VK-E217 8:10 `helper` is not `pub` in module `util`",
            }));
}

TEST(Modules, TypeReferencesCountAsUse) {
  auto found = module_findings({
      {"main.vk", "use shapes\nfn show(s: shapes_none) {}\nfn area(c: ?Circle) -> Int { return 0 }\n"},
      {"shapes/c.vk", "pub class Circle { r: Int }\n"},
  });
  EXPECT_TRUE(found.empty()) << found[0];
}

TEST(UsingRewrites, RecordedCallsBecomePlainCalls) {
  Diag::Collector collector;
  File f = collect(collector,
                   "a.vk",
                   "fn main() {\n"
                   "  let n = 3\n"
                   "  let a = n.double(1).double(2)\n"
                   "  if n > 0 {\n    print(n.other())\n  }\n"
                   "}\n");
  ASSERT_TRUE(lines_of(collector).empty());
  const Ast::Method* main = f.tree.decls[0]->as<Ast::FnDecl>().fn;
  const auto& outer = main->body[1]->as<Ast::Let>().value->as<Ast::Call>();
  const auto& inner = outer.callee->as<Ast::FieldAccess>().object->as<Ast::Call>();
  UsingRewrites rewrites;
  EXPECT_EQ(apply_using_rewrites("a.vk", f.tree, rewrites).decls.data(), f.tree.decls.data());
  rewrites.calls["a.vk"] = {outer.id, inner.id};
  Ast::Program out = apply_using_rewrites("a.vk", f.tree, rewrites);

  const Ast::Method* new_main = out.decls[0]->as<Ast::FnDecl>().fn;
  EXPECT_NE(new_main, main);
  EXPECT_EQ(new_main->body[0], main->body[0]);  // untouched statements are shared
  EXPECT_EQ(new_main->body[2], main->body[2]);
  const auto& call = new_main->body[1]->as<Ast::Let>().value->as<Ast::Call>();
  EXPECT_EQ(call.id, outer.id);
  EXPECT_EQ(call.callee->as<Ast::Ident>().name, "double");
  ASSERT_EQ(call.args.size(), 2u);
  const auto& receiver = call.args[0]->as<Ast::Call>();
  EXPECT_EQ(receiver.callee->as<Ast::Ident>().name, "double");
  ASSERT_EQ(receiver.args.size(), 2u);
  EXPECT_EQ(receiver.args[0]->as<Ast::Ident>().name, "n");
  EXPECT_EQ(receiver.args[1]->as<Ast::IntLit>().value, 1);
  EXPECT_EQ(call.args[1]->as<Ast::IntLit>().value, 2);
  EXPECT_GE(call.callee->id, f.tree.next_id);
  EXPECT_GT(out.next_id, call.callee->id);
  EXPECT_NE(call.callee->id, receiver.callee->id);
  // The original tree still holds the method-style calls.
  EXPECT_EQ(outer.callee->kind, Ast::ExprKind::FieldAccess);
  // Another file's records do not touch this one.
  UsingRewrites other;
  other.calls["b.vk"] = {outer.id};
  EXPECT_EQ(apply_using_rewrites("a.vk", f.tree, other).decls.data(), f.tree.decls.data());
}

TEST(UsingRewrites, ExtensionLookupMatchesTheFirstParameterExactly) {
  Diag::Collector collector;
  File ext = collect(collector, "ext/e.vk",
                     "pub fn double(x: Int, k: Int) -> Int { return x * k }\n"
                     "fn hidden(x: Int) -> Int { return x }\n"
                     "pub fn name(p: ?P) -> Text { return \"\" }\n");
  ASSERT_TRUE(lines_of(collector).empty());
  ModuleTables modules;
  modules["ext"] = ext.symbols;
  std::vector<std::string> mods = {"missing", "ext"};
  EXPECT_NE(using_extension(modules, mods, "double", t_named("Int")), nullptr);
  EXPECT_EQ(using_extension(modules, mods, "double", t_named("Float")), nullptr);
  EXPECT_EQ(using_extension(modules, mods, "hidden", t_named("Int")), nullptr);
  EXPECT_EQ(using_extension(modules, mods, "name", t_named("P")), nullptr);
  EXPECT_NE(using_extension(modules, mods, "name", t_nullable(t_named("P"))), nullptr);
  Diag::Collector clash;
  report_using_clash("a.vk", clash, {3, 4}, "area", "Sq");
  EXPECT_EQ(lines_of(clash), (std::vector<std::string>{
                                 "VK-E220 3:4 `area` is both a real method of `Sq` and a `using` extension — rename "
                                 "one; an extension never overrides a method"}));
}

TEST(MergeKeepFirst, EarlierFilesWinAndVariantsFollowTheirUnion) {
  Diag::Collector collector;
  File a = collect(collector, "a.vk", "type P { a: Int }\ntype U = X | Y\n");
  File b = collect(collector, "b.vk", "type P { b: Int }\ntype U = Z\ntype V = Y(n: Int) | W\nfn f() {}\n");
  Symbols merged;
  merge_keep_first(merged, a.symbols);
  merge_keep_first(merged, b.symbols);
  EXPECT_EQ(merged.classes.find("P")->fields[0].name, "a");
  EXPECT_EQ(find_variant_in(merged, "Y")->union_info->name, "U");
  EXPECT_EQ(find_variant_in(merged, "W")->union_info->name, "V");
  EXPECT_FALSE(find_variant_in(merged, "Z"));  // its union lost to the earlier U
  EXPECT_TRUE(merged.functions.contains("f"));
  // The module tables refer to the file tables, which outlive them.
  std::vector<FileSymbols> files{{"a.vk", a.symbols}, {"b.vk", b.symbols}};
  ModuleTables tables = module_symbols([](std::string_view p) { return std::string(p == "a.vk" ? "." : "m"); }, files);
  EXPECT_EQ(tables.size(), 2u);
  EXPECT_EQ(tables["m"].classes.find("P")->fields[0].name, "b");
}

}  // namespace
