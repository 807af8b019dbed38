// Properties of parsed trees that the dump does not show: node ids, node
// positions, sharing between a tree and its constant-substituted copy, the
// switch lowering order, and that real programs parse clean.
#include <pthread.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <set>
#include <sstream>
#include <string>

#include "ast/ast.hpp"
#include "parser/parser.hpp"

namespace {

struct Parsed {
  std::string source;
  Lexer::TokenList tokens;
  Diag::Collector diags;
  Ast::Program program;
};

std::unique_ptr<Parsed> parse(std::string source) {
  auto p = std::make_unique<Parsed>();
  p->source = std::move(source);
  p->tokens = Lexer::tokenize(p->diags, "t.vk", p->source);
  p->program = Parser::parse(p->diags, "t.vk", p->tokens);
  return p;
}

const Ast::Method& first_fn(const Ast::Program& program) {
  for (const Ast::Decl* d : program.decls)
    if (const auto* fn = d->get_if<Ast::FnDecl>()) return *fn->fn;
  throw std::runtime_error("no function");
}

// Collects every expression and statement id reachable from a statement list.
struct IdWalker {
  std::vector<Ast::NodeId> ids;
  void block(Ast::List<Ast::Stmt> stmts) {
    for (const Ast::Stmt* s : stmts) stmt(s);
  }
  void stmt(const Ast::Stmt* s) {
    ids.push_back(s->id);
    switch (s->kind) {
      case Ast::StmtKind::Let: expr(s->as<Ast::Let>().value); break;
      case Ast::StmtKind::Assign:
        expr(s->as<Ast::Assign>().target);
        expr(s->as<Ast::Assign>().value);
        break;
      case Ast::StmtKind::ExprStmt: expr(s->as<Ast::ExprStmt>().expr); break;
      case Ast::StmtKind::Return:
        if (s->as<Ast::Return>().value) expr(s->as<Ast::Return>().value);
        break;
      case Ast::StmtKind::If: {
        const auto& node = s->as<Ast::If>();
        expr(node.cond);
        block(node.then_block);
        if (node.else_part) block(node.else_part->body);
        break;
      }
      default: break;
    }
  }
  void expr(const Ast::Expr* e) {
    ids.push_back(e->id);
    switch (e->kind) {
      case Ast::ExprKind::BinOp:
        expr(e->as<Ast::BinOp>().left);
        expr(e->as<Ast::BinOp>().right);
        break;
      case Ast::ExprKind::Unary: expr(e->as<Ast::Unary>().operand); break;
      case Ast::ExprKind::Call:
        expr(e->as<Ast::Call>().callee);
        for (const Ast::Expr* a : e->as<Ast::Call>().args) expr(a);
        break;
      case Ast::ExprKind::FieldAccess: expr(e->as<Ast::FieldAccess>().object); break;
      case Ast::ExprKind::Index:
        expr(e->as<Ast::Index>().collection);
        expr(e->as<Ast::Index>().index);
        break;
      case Ast::ExprKind::Interp: expr(e->as<Ast::Interp>().value); break;
      default: break;
    }
  }
};

TEST(ParserTree, CompoundAssignmentParsesTheTargetTwice) {
  auto p = parse("fn f() {\n  xs[i].n -= g(y)\n}\n");
  ASSERT_EQ(p->diags.added_count(), 0u);
  const Ast::Stmt* s = first_fn(p->program).body[0];
  const auto& assign = s->as<Ast::Assign>();
  const auto& value = assign.value->as<Ast::BinOp>();
  EXPECT_EQ(value.op, Ast::BinaryOp::Sub);
  EXPECT_NE(value.left, assign.target);  // a second parse, not a shared node
  EXPECT_NE(value.left->id, assign.target->id);
  EXPECT_EQ(value.left->kind, Ast::ExprKind::FieldAccess);
  EXPECT_EQ(value.pos.line, 2);
  EXPECT_EQ(value.pos.col, 11);  // the operator
}

TEST(ParserTree, IdsAreUniqueAcrossNestedInterpolationParses) {
  auto p = parse("fn f(a: Int) {\n  let s = \"x ${a + 1} y ${g(a)}\"\n  a += 1\n  if a > 1 { print(\"${a}\") }\n}\n");
  ASSERT_EQ(p->diags.added_count(), 0u);
  IdWalker walker;
  walker.block(first_fn(p->program).body);
  std::set<Ast::NodeId> unique(walker.ids.begin(), walker.ids.end());
  EXPECT_EQ(unique.size(), walker.ids.size());
  for (Ast::NodeId id : walker.ids) {
    EXPECT_GE(id, 1u);
    EXPECT_LT(id, p->program.next_id);
  }
}

TEST(ParserTree, PostfixAndOperatorNodesTakeTheirTokenPosition) {
  auto p = parse("fn f() {\n  let v = obj.m(1)[2] + -x as T\n}\n");
  ASSERT_EQ(p->diags.added_count(), 0u);
  const auto& let = first_fn(p->program).body[0]->as<Ast::Let>();
  const auto& add = let.value->as<Ast::BinOp>();
  EXPECT_EQ(add.pos.col, 23);
  const auto& index = add.left->as<Ast::Index>();
  EXPECT_EQ(index.pos.col, 19);
  const auto& call = index.collection->as<Ast::Call>();
  EXPECT_EQ(call.pos.col, 16);
  EXPECT_EQ(call.callee->pos.col, 14);  // the `.`
  const auto& neg = add.right->as<Ast::Unary>();
  EXPECT_EQ(neg.op, Ast::UnaryOp::Neg);
  const auto& as = neg.operand->as<Ast::As>();
  EXPECT_EQ(as.pos.col, as.value->pos.col);  // As takes its operand's position
}

TEST(ParserTree, SwitchLoweringPutsDefaultsLast) {
  auto p = parse(
      "fn f(x: Int) {\n  switch x {\n    default:\n      a()\n    case 1:\n      b()\n"
      "    case 2, 3:\n      c()\n    default:\n      d()\n  }\n}\n");
  ASSERT_EQ(p->diags.added_count(), 0u);
  const auto& sw = first_fn(p->program).body[0]->as<Ast::ExprStmt>().expr->as<Ast::Switch>();
  ASSERT_EQ(sw.arms.size(), 4u);
  EXPECT_TRUE(sw.arms[0].is_default);
  std::vector<const Ast::SwitchArm*> order = Ast::switch_lowering_order(sw.arms);
  ASSERT_EQ(order.size(), 4u);
  EXPECT_EQ(order[0], &sw.arms[1]);
  EXPECT_EQ(order[1], &sw.arms[2]);
  EXPECT_EQ(order[2], &sw.arms[0]);
  EXPECT_EQ(order[3], &sw.arms[3]);
  EXPECT_EQ(order[1]->values.size(), 2u);
}

TEST(ParserTree, ConstantSubstitutionSharesUnchangedSubtrees) {
  auto p = parse(
      "fn uses() {\n  let a = N + 1\n  print(a)\n}\nfn untouched() {\n  print(2)\n}\n");
  ASSERT_EQ(p->diags.added_count(), 0u);
  Parser::ConstTable none;
  EXPECT_EQ(Parser::subst_consts(&none, p->program).decls.data(), p->program.decls.data());

  auto other = parse("const N = \"seven\"\n");
  Parser::ConstTable table = Parser::top_level_consts(other->program);
  Ast::Program result = Parser::subst_consts(&table, p->program);
  other.reset();  // the substituted literal must not point into the other tree
  ASSERT_EQ(result.decls.size(), 2u);
  EXPECT_EQ(result.decls[1], p->program.decls[1]);  // no constant used: shared
  const Ast::Method& before = *p->program.decls[0]->as<Ast::FnDecl>().fn;
  const Ast::Method& after = *result.decls[0]->as<Ast::FnDecl>().fn;
  EXPECT_EQ(after.body[1], before.body[1]);  // `print(a)` is shared
  const auto& sum = after.body[0]->as<Ast::Let>().value->as<Ast::BinOp>();
  const auto& lit = sum.left->as<Ast::TextLit>();
  EXPECT_EQ(lit.value, "seven");
  EXPECT_EQ(lit.pos.line, 2);  // where the name was used
  EXPECT_GE(lit.id, p->program.next_id);
  EXPECT_LT(lit.id, result.next_id);
  // The input tree is unchanged.
  const auto& old_sum = before.body[0]->as<Ast::Let>().value->as<Ast::BinOp>();
  EXPECT_EQ(old_sum.left->as<Ast::Ident>().name, "N");
}

TEST(ParserTree, NegatedMinimumIntegerConstantIsExact) {
  auto p = parse("const MIN = -9223372036854775808\n");
  ASSERT_EQ(p->diags.added_count(), 0u);
  const auto& c = p->program.decls[0]->as<Ast::ConstDecl>();
  EXPECT_EQ(c.record.value->as<Ast::IntLit>().value, std::numeric_limits<std::int64_t>::min());
}

// Runs `f` on a thread with the driver's pass stack: the passes are built
// for it (compiler/bin/main.cpp), not for the default 8 MB.
template <class F>
void on_pass_stack(F f) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, std::size_t{1} << 30);
  pthread_t thread;
  void* (*run)(void*) = [](void* arg) -> void* {
    (*static_cast<F*>(arg))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attr, run, &f), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
}

TEST(ParserTree, DeepInputIsReportedNotOverflowed) {
  // Far beyond the nesting limit: one error each, and the function after still parses.
  std::string deep = "fn f() {\n  let x = " + std::string(1'000'000, '(') + "1" +
                     std::string(1'000'000, ')') + "\n}\n";
  deep += "fn g() {\n  let y = " + std::string(500'000, '[') + std::string(500'000, ']') +
          "\n}\nfn h() {}\n";
  on_pass_stack([&] {
    auto p = parse(deep);
    EXPECT_EQ(p->diags.added_count(), 2u);
    ASSERT_EQ(p->program.decls.size(), 3u);
  });
}

TEST(ParserTree, ExamplesParseClean) {
  // tests/unit/<this file> -> the checkout root.
  std::filesystem::path dir = std::filesystem::path(VK_SOURCE_ROOT) / "examples";
  int parsed = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.path().extension() != ".vk") continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    auto p = parse(text.str());
    EXPECT_EQ(p->diags.added_count(), 0u) << entry.path();
    EXPECT_FALSE(p->program.decls.empty()) << entry.path();
    ++parsed;
  }
  EXPECT_GE(parsed, 2);
}

}  // namespace
