// The expression ladder: binary levels, prefix and postfix forms, primaries,
// constructor and list literals.
#include "parser/state.hpp"

namespace Parser::detail {

namespace {

// The two-operand operator of `k` at ladder level `level` (2 = `or` ..
// 7 = multiplicative), if `k` is one there.
bool binary_op_at(int level, Kind k, Ast::BinaryOp& op) {
  using B = Ast::BinaryOp;
  switch (level) {
    case 2:
      if (k == Kind::KW_OR) return op = B::Or, true;
      return false;
    case 3:
      if (k == Kind::KW_AND) return op = B::And, true;
      return false;
    case 4:
      switch (k) {
        case Kind::EQEQ: return op = B::Eq, true;
        case Kind::NOTEQ: return op = B::Ne, true;
        case Kind::LT: return op = B::Lt, true;
        case Kind::LTEQ: return op = B::Le, true;
        case Kind::GT: return op = B::Gt, true;
        case Kind::GTEQ: return op = B::Ge, true;
        default: return false;
      }
    case 5:
      if (k == Kind::DOTDOT) return op = B::Concat, true;
      return false;
    case 6:
      switch (k) {
        case Kind::PLUS: return op = B::Add, true;
        case Kind::DASH: return op = B::Sub, true;
        case Kind::PIPE: return op = B::BitOr, true;
        case Kind::CARET: return op = B::BitXor, true;
        default: return false;
      }
    case 7:
      switch (k) {
        case Kind::STAR: return op = B::Mul, true;
        case Kind::SLASH: return op = B::Div, true;
        case Kind::PERCENT: return op = B::Mod, true;
        case Kind::AMP: return op = B::BitAnd, true;
        case Kind::SHL: return op = B::Shl, true;
        case Kind::SHR: return op = B::Shr, true;
        default: return false;
      }
    default: return false;
  }
}

// The ladder level (2..7) of a two-operand operator, or 0 for any other token.
int binary_level(Kind k, Ast::BinaryOp& op) {
  for (int level = 2; level <= 7; ++level)
    if (binary_op_at(level, k, op)) return level;
  return 0;
}

}  // namespace

// expr = try_expr | or_expr
const Ast::Expr* State::parse_expr() {
  DepthGuard guard(*this);
  if (at(Kind::KW_TRY)) return parse_try();
  return parse_binary(2);
}

// level_n = level_n+1 { op_n level_n+1 }   (left-associative, n = 2..7)
// Parsed by precedence climbing: one call reads the operators of every level
// from `level` up, so a parenthesised operand costs one frame, not six.
// An operator on the next line is not seen: the NEWLINE ends the loop.
const Ast::Expr* State::parse_binary(int level) {
  const Ast::Expr* left = parse_unary();
  ChainDepth chain(*this);
  Ast::BinaryOp op = Ast::BinaryOp::Add;  // set by binary_level when it matches
  for (int at = binary_level(kind(), op); at >= level; at = binary_level(kind(), op)) {
    chain.step();
    Ast::Pos op_pos = pos();
    advance();
    const Ast::Expr* right = parse_binary(at + 1);
    auto* bin = expr<Ast::BinOp>(op_pos);
    bin->op = op;
    bin->left = left;
    bin->right = right;
    left = bin;
  }
  return left;
}

// unary = ("-" | "not") unary | postfix { "as" type }
const Ast::Expr* State::parse_unary() {
  if (at(Kind::DASH) || at(Kind::KW_NOT)) {
    DepthGuard guard(*this);
    Ast::Pos start = pos();
    Ast::UnaryOp op = at(Kind::DASH) ? Ast::UnaryOp::Neg : Ast::UnaryOp::Not;
    advance();
    const Ast::Expr* operand = parse_unary();
    auto* un = expr<Ast::Unary>(start);
    un->op = op;
    un->operand = operand;
    return un;
  }
  const Ast::Expr* e = parse_postfix();
  ChainDepth chain(*this);
  while (at(Kind::KW_AS)) {
    chain.step();
    advance();
    auto* as = expr<Ast::As>(e->pos);
    as->value = e;
    as->target = parse_type();
    e = as;
  }
  return e;
}

// postfix = primary { "(" args ")" | "[" expr "]" | "." Name }
const Ast::Expr* State::parse_postfix() {
  const Ast::Expr* e = parse_primary();
  ChainDepth chain(*this);
  while (true) {
    Ast::Pos at_op = pos();
    switch (kind()) {
      // args = NEWLINE* [ expr { NEWLINE* "," NEWLINE* expr } [","] ] NEWLINE*
      case Kind::LPAREN: {
        chain.step();
        advance();
        NoBraceScope no_brace(*this, false);
        std::size_t mark = list_mark();
        skip_newlines();
        while (!at(Kind::RPAREN)) {
          push(parse_expr());
          skip_newlines();
          if (!accept(Kind::COMMA)) break;
          skip_newlines();
        }
        expect(Kind::RPAREN, "')'");
        auto* call = expr<Ast::Call>(at_op);
        call->callee = e;
        call->args = take_list<Ast::Expr>(mark);
        e = call;
        break;
      }
      case Kind::LBRACKET: {
        chain.step();
        advance();
        NoBraceScope no_brace(*this, false);
        const Ast::Expr* index = parse_expr();
        expect(Kind::RBRACKET, "']'");
        auto* ix = expr<Ast::Index>(at_op);
        ix->collection = e;
        ix->index = index;
        e = ix;
        break;
      }
      case Kind::DOT: {
        chain.step();
        advance();
        auto* fa = expr<Ast::FieldAccess>(at_op);
        fa->object = e;
        fa->field = expect_field_name("field or method name");
        e = fa;
        break;
      }
      default: return e;
    }
  }
}

const Ast::Expr* State::parse_primary() {
  Ast::Pos start = pos();
  const Lexer::Token t = cur();  // a copy: advancing may move the list
  switch (t.kind) {
    case Kind::IDENT: return parse_ident_primary();
    case Kind::KW_SELECT: return parse_db_stub();
    case Kind::KW_INSERT: return parse_insert();
    case Kind::KW_TRUE:
    case Kind::KW_FALSE: {
      advance();
      auto* lit = expr<Ast::BoolLit>(start);
      lit->value = t.kind == Kind::KW_TRUE;
      return lit;
    }
    case Kind::KW_NIL: advance(); return expr<Ast::Nil>(start);
    // spawn = "spawn" ctor
    case Kind::KW_SPAWN: {
      advance();
      if (!at(Kind::IDENT) || peek(1).kind != Kind::LBRACE) unexpected("a class constructor after `spawn`");
      Ast::Name name = name_of(cur());
      advance();
      std::span<const Ast::FieldInit> fields = parse_ctor_fields();
      auto* sp = expr<Ast::Spawn>(start);
      sp->class_name = name;
      sp->fields = fields;
      return sp;
    }
    case Kind::KW_SWITCH: return parse_switch();
    // empty_map = "{" NEWLINE* "}"
    case Kind::LBRACE:
      advance();
      skip_newlines();
      if (!at(Kind::RBRACE))
        fail(pos(), syntax_code,
             "only the empty map literal `{}` is an expression — build entries with `set(m, k, v)`");
      advance();
      return expr<Ast::EmptyMap>(start);
    // paren = "(" expr ")"
    case Kind::LPAREN: {
      advance();
      NoBraceScope no_brace(*this, false);
      const Ast::Expr* inner = parse_expr();
      expect(Kind::RPAREN, "')'");
      return inner;
    }
    case Kind::LBRACKET: return parse_list_lit();
    case Kind::INT: {
      advance();
      auto* lit = expr<Ast::IntLit>(start);
      lit->value = t.int_value;
      return lit;
    }
    case Kind::FLOAT: {
      advance();
      auto* lit = expr<Ast::FloatLit>(start);
      lit->value = t.float_value;
      return lit;
    }
    case Kind::STR: {
      advance();
      auto* lit = expr<Ast::TextLit>(start);
      lit->value = shared_.arena.intern(t.text());  // literal texts repeat a lot
      return lit;
    }
    case Kind::INTERP_STR: return parse_interpolation();
    default: unexpected("an expression");
  }
}

// The primaries that start with an identifier: rejected words, queries,
// `delete`, `select` stubs, `insert`, constructors and plain names.
const Ast::Expr* State::parse_ident_primary() {
  Ast::Pos start = pos();
  std::string_view text = cur().text();
  switch (classify(text)) {
    case Word::Rejected:
    case Word::Extends:
    case Word::Implements: {
      // Reported, then read as 0 so that the rest of the expression still parses.
      reject_doctrine_word(start, text, rejection_reason(text));
      advance();
      auto* zero = expr<Ast::IntLit>(start);
      zero->value = 0;
      return zero;
    }
    case Word::From:
      if (peek(1).kind == Kind::IDENT && peek(2).kind == Kind::KW_IN) return parse_query();
      break;
    // delete = "delete" expr
    case Word::Delete: {
      Kind next = peek(1).kind;
      if (next == Kind::SEMICOLON || next == Kind::NEWLINE || next == Kind::END_OF_FILE) break;
      advance();
      const Ast::Expr* target = parse_expr();
      auto* del = expr<Ast::Delete>(start);
      del->target = target;
      return del;
    }
    case Word::Select: return parse_db_stub();
    case Word::Insert: return parse_insert();
    default: break;
  }
  if (!no_brace_ && peek(1).kind == Kind::LBRACE) return parse_ctor();
  Ast::Name name = name_of(cur());
  advance();
  auto* id = expr<Ast::Ident>(start);
  id->name = name;
  return id;
}

// ctor = Name ctor_fields
const Ast::Expr* State::parse_ctor() {
  Ast::Pos start = pos();
  Ast::Name name = expect_ident("constructor class name");
  std::span<const Ast::FieldInit> fields = parse_ctor_fields();
  auto* ctor = expr<Ast::Ctor>(start);
  ctor->class_name = name;
  ctor->fields = fields;
  return ctor;
}

// ctor_fields = "{" NEWLINE* [ field_init { "," NEWLINE* field_init } [","] ] NEWLINE* "}"
// field_init  = Name ":" expr
std::span<const Ast::FieldInit> State::parse_ctor_fields() {
  expect(Kind::LBRACE, "'{'");
  std::vector<Ast::FieldInit> fields;
  skip_newlines();
  while (!at(Kind::RBRACE)) {
    Ast::FieldInit init;
    init.pos = pos();
    init.field = expect_field_name("constructor field name");
    expect(Kind::COLON, "':'");
    init.value = parse_expr();
    fields.push_back(init);
    skip_newlines();
    if (!accept(Kind::COMMA)) break;
    skip_newlines();
  }
  expect(Kind::RBRACE, "'}'");
  return store(fields);
}

// list = "[" NEWLINE* [ expr { NEWLINE* "," NEWLINE* expr } [","] ] NEWLINE* "]"
const Ast::Expr* State::parse_list_lit() {
  Ast::Pos start = pos();
  advance();
  NoBraceScope no_brace(*this, false);
  std::size_t mark = list_mark();
  skip_newlines();
  while (!at(Kind::RBRACKET)) {
    push(parse_expr());
    skip_newlines();
    if (!accept(Kind::COMMA)) break;
    skip_newlines();
  }
  expect(Kind::RBRACKET, "']' to close the list literal");
  auto* list = expr<Ast::ListLit>(start);
  list->elements = take_list<Ast::Expr>(mark);
  return list;
}

}  // namespace Parser::detail
