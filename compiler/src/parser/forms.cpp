// Special expression forms: try/catch, switch, queries, `select` stubs,
// `insert`, and interpolated text with its nested parses.
#include "parser/state.hpp"

namespace Parser::detail {

// try_expr = "try" or_expr NEWLINE* "catch" "(" Name ")" (block | expr)
const Ast::Expr* State::parse_try() {
  Ast::Pos start = pos();
  advance();
  const Ast::Expr* tried = parse_binary(2);
  skip_newlines();
  expect(Kind::KW_CATCH, "`catch` after a `try` expression");
  expect(Kind::LPAREN, "'(' before the catch variable");
  Ast::Name var = expect_ident("catch variable name");
  expect(Kind::RPAREN, "')' after the catch variable");
  Ast::List<Ast::Stmt> block;
  if (at(Kind::LBRACE)) {
    NoBraceScope no_brace(*this, false);
    block = parse_block();
  } else {
    Ast::Pos at_value = pos();
    const Ast::Expr* value = parse_expr();
    auto* s = stmt<Ast::ExprStmt>(at_value);
    s->expr = value;
    std::size_t mark = list_mark();
    push(s);
    block = take_list<Ast::Stmt>(mark);
  }
  auto* t = expr<Ast::Try>(start);
  t->tried = tried;
  t->catch_var = var;
  t->catch_block = block;
  return t;
}

// switch = "switch" expr "{" { NEWLINE | arm }* "}"
// arm    = ("case" expr { "," expr } | "default") ":" { stmt }
const Ast::Expr* State::parse_switch() {
  Ast::Pos start = pos();
  advance();
  const Ast::Expr* scrutinee;
  {
    NoBraceScope no_brace(*this, true);
    scrutinee = parse_expr();
  }
  expect(Kind::LBRACE, "'{' to open switch body");
  DepthGuard guard(*this);
  std::vector<Ast::SwitchArm> arms;
  while (true) {
    skip_newlines();
    if (accept(Kind::RBRACE)) break;
    if (at(Kind::END_OF_FILE)) fail(pos(), syntax_code, "unexpected end of input inside switch body");
    Ast::SwitchArm arm;
    arm.pos = pos();
    if (accept(Kind::KW_CASE)) {
      std::size_t mark = list_mark();
      do {
        push(parse_expr());
      } while (accept(Kind::COMMA));
      expect(Kind::COLON, "':' after switch case value(s)");
      arm.values = take_list<Ast::Expr>(mark);
    } else if (accept(Kind::KW_DEFAULT)) {
      expect(Kind::COLON, "':' after `default`");
      arm.is_default = true;
    } else {
      unexpected("`case`, `default`, or '}' in switch body");
    }
    std::size_t mark = list_mark();
    while (true) {
      skip_newlines();
      if (at(Kind::KW_CASE) || at(Kind::KW_DEFAULT) || at(Kind::RBRACE)) break;
      if (at(Kind::END_OF_FILE)) fail(pos(), syntax_code, "unexpected end of input inside switch arm");
      parse_stmt_recovering();
    }
    arm.body = take_list<Ast::Stmt>(mark);
    arms.push_back(arm);
  }
  auto* sw = expr<Ast::Switch>(start);
  sw->scrutinee = scrutinee;
  sw->arms = store(arms);
  return sw;
}

// query = "from" Name "in" (TableName | expr)
//         { "where" expr | "group" expr "by" expr "into" Name
//         | "order" "by" expr ["desc"] | "take" expr } "select" expr
const Ast::Expr* State::parse_query() {
  Ast::Pos start = pos();
  advance();
  auto* q = expr<Ast::Query>(start);
  q->from_pos = start;
  q->var = expect_ident("query range variable");
  expect(Kind::KW_IN, "`in`");
  Kind after = peek(1).kind;
  if (at(Kind::IDENT) && after != Kind::LPAREN && after != Kind::LBRACKET && after != Kind::DOT) {
    q->table = name_of(cur());
    advance();
  } else {
    NoBraceScope no_brace(*this, true);
    q->source_expr = parse_expr();
  }
  std::size_t wheres = list_mark();
  while (true) {
    skip_newlines();
    Word w = at(Kind::IDENT) ? classify(cur().text()) : Word::None;
    if (w == Word::Where) {
      advance();
      NoBraceScope no_brace(*this, true);
      push(parse_expr());
    } else if (w == Word::Group) {
      advance();
      NoBraceScope no_brace(*this, true);
      parse_expr();  // what is grouped is implied by the key; the tree keeps the key
      if (!at_word(Word::By)) fail(pos(), syntax_code, "expected `by` in a group clause");
      advance();
      q->group_key = parse_expr();
      if (!at_word(Word::Into)) fail(pos(), syntax_code, "expected `into` in a group clause");
      advance();
      q->group_into = expect_ident("group variable");
    } else if (w == Word::Order) {
      advance();
      if (!at_word(Word::By)) fail(pos(), syntax_code, "expected `by` after `order`");
      advance();
      NoBraceScope no_brace(*this, true);
      q->order_key = parse_expr();
      if (at_word(Word::Desc)) {
        advance();
        q->descending = true;
      }
    } else if (at(Kind::KW_TAKE)) {
      advance();
      NoBraceScope no_brace(*this, true);
      q->take = parse_expr();
    } else if (w == Word::Select) {
      advance();
      q->select = parse_expr();
      break;
    } else {
      fail(pos(), syntax_code, "a query must end in `select`");
    }
  }
  q->wheres = take_list<Ast::Expr>(wheres);
  return q;
}

// db_stub = ("SELECT" | "select") raw tokens up to ")" "]" "}" "," ";" NEWLINE at depth 0
const Ast::Expr* State::parse_db_stub() {
  Ast::Pos start = pos();
  std::vector<Ast::RawToken> tokens{raw_token(cur())};
  advance();
  int depth = 0;
  while (!at(Kind::END_OF_FILE)) {
    Kind k = kind();
    if (k == Kind::LPAREN || k == Kind::LBRACKET || k == Kind::LBRACE) {
      ++depth;
    } else if (k == Kind::RPAREN || k == Kind::RBRACKET || k == Kind::RBRACE) {
      if (depth == 0) break;
      --depth;
    } else if (depth == 0 && (k == Kind::COMMA || k == Kind::SEMICOLON || k == Kind::NEWLINE)) {
      break;
    }
    tokens.push_back(raw_token(cur()));
    advance();
  }
  auto* stub = expr<Ast::DbStub>(start);
  stub->tokens = store(tokens);
  return stub;
}

// insert = ("INSERT" | "insert") NEWLINE* ctor
const Ast::Expr* State::parse_insert() {
  Ast::Pos start = pos();
  advance();
  skip_newlines();
  Ast::Name name = expect_ident("constructor class name");
  std::span<const Ast::FieldInit> fields = parse_ctor_fields();
  auto* ins = expr<Ast::Insert>(start);
  ins->class_name = name;
  ins->fields = fields;
  return ins;
}

// Interpolated text: the non-empty TEXT pieces, INTERP(e) per `${e}` and
// esc(INTERP(e)) per `{{e}}`, joined left to right with `..`.
const Ast::Expr* State::parse_interpolation() {
  Ast::Pos start = pos();
  const Lexer::Token t = cur();  // a copy: advancing may move the list
  std::span<const Lexer::Segment> segments = list_.segments_of(t);
  const Ast::Expr* joined = nullptr;
  int links = 0;
  for (const Lexer::Segment& segment : segments) {
    const Ast::Expr* piece = nullptr;
    if (segment.kind == Lexer::SegmentKind::Text) {
      if (segment.text.empty()) continue;
      auto* lit = expr<Ast::TextLit>(start);
      lit->value = shared_.arena.intern(segment.text);
      piece = lit;
    } else {
      piece = parse_segment(segment, start);
    }
    if (joined == nullptr) {
      joined = piece;
      continue;
    }
    // The chain nests one level per piece, like any other operator chain.
    if (depth_ + ++links > max_depth) too_deep();
    auto* cat = expr<Ast::BinOp>(start);
    cat->op = Ast::BinaryOp::Concat;
    cat->left = joined;
    cat->right = piece;
    joined = cat;
  }
  advance();
  if (joined != nullptr) return joined;
  auto* empty = expr<Ast::TextLit>(start);
  empty->value = std::string_view("", 0);
  return empty;
}

// One `${...}` or `{{...}}` segment, parsed by a nested parser whose
// diagnostics stay private: any problem becomes one error at the text literal.
// Every node of the segment takes the literal's position.
const Ast::Expr* State::parse_segment(const Lexer::Segment& segment, Ast::Pos at) {
  DepthGuard guard(*this);
  auto refuse_depth = [&] {
    fail(at, syntax_code,
         "interpolation is nested too deep — more than " + std::to_string(max_interp_levels) +
             " `${...}` levels inside one another");
  };
  if (shared_.interp_levels >= max_interp_levels) {
    shared_.interp_too_deep = true;
    refuse_depth();
  }
  struct Level {
    Shared& shared;
    explicit Level(Shared& s) : shared(s) { ++shared.interp_levels; }
    ~Level() { --shared.interp_levels; }
  } level(shared_);
  Diag::Collector quiet = Diag::Collector::create();
  Lexer::TokenList tokens = Lexer::tokenize(quiet, file_, segment.text);
  for (Lexer::Token& token : tokens.tokens) {
    token.line = at.line;
    token.col = at.col;
  }
  State nested(quiet, file_, tokens, shared_, depth_);
  const Ast::Expr* value = nested.parse_lone_expr();
  if (nested.depth_exceeded()) too_deep();
  if (shared_.interp_too_deep) refuse_depth();
  if (value == nullptr || quiet.added_count() > 0)
    fail(at, syntax_code, "malformed \"${...}\" interpolation expression");
  auto* interp = expr<Ast::Interp>(at);
  interp->value = value;
  if (segment.kind == Lexer::SegmentKind::Expr) return interp;
  auto* callee = expr<Ast::Ident>(at);
  callee->name = "esc";
  auto* call = expr<Ast::Call>(at);
  call->callee = callee;
  std::size_t mark = list_mark();
  push(interp);
  call->args = take_list<Ast::Expr>(mark);
  return call;
}

const Ast::Expr* State::parse_lone_expr() {
  try {
    const Ast::Expr* value = parse_expr();
    return at(Kind::END_OF_FILE) ? value : nullptr;
  } catch (const ParseError&) {
    return nullptr;
  }
}

}  // namespace Parser::detail
