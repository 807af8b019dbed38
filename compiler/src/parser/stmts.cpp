// Blocks and statements, with the per-statement recovery.
#include "parser/state.hpp"

namespace Parser::detail {

// block = "{" { NEWLINE | stmt }* "}"
Ast::List<Ast::Stmt> State::parse_block(Ast::Pos* close) {
  DepthGuard guard(*this);
  expect(Kind::LBRACE, "'{' to open block");
  std::size_t mark = list_mark();
  while (true) {
    skip_newlines();
    const Ast::Pos here = pos();
    if (accept(Kind::RBRACE)) {
      if (close) *close = here;
      break;
    }
    if (at(Kind::END_OF_FILE)) fail(pos(), syntax_code, "unexpected end of input inside block");
    parse_stmt_recovering();
  }
  return take_list<Ast::Stmt>(mark);
}

void State::parse_stmt_recovering() {
  std::size_t mark = list_mark();
  try {
    const Ast::Stmt* s = parse_stmt();
    push(s);
  } catch (const ParseError&) {
    scratch_.resize(mark);
    resync_stmt();
  }
}

// Skips the rest of a broken statement from the error: up to a NEWLINE or
// ";" at depth 0 (consumed) or a "}" at depth 0 (left for the block). The
// depth counts only what is skipped here; closing brackets never take it
// below 0, so `g(a b)` cannot make the resync overrun the enclosing block.
void State::resync_stmt() {
  int depth = 0;
  while (true) {
    switch (kind()) {
      case Kind::END_OF_FILE: return;
      case Kind::LBRACE:
      case Kind::LPAREN:
      case Kind::LBRACKET: ++depth; break;
      case Kind::RPAREN:
      case Kind::RBRACKET:
        if (depth > 0) --depth;
        break;
      case Kind::RBRACE:
        if (depth == 0) return;
        --depth;
        break;
      case Kind::SEMICOLON:
      case Kind::NEWLINE:
        if (depth == 0) {
          advance();
          return;
        }
        break;
      default: break;
    }
    advance();
  }
}

// stmt = insert_expr end | let | return | if | while | for | "break" end
//      | "continue" end | do_while | simple_stmt
const Ast::Stmt* State::parse_stmt() {
  Ast::Pos start = pos();
  switch (kind()) {
    case Kind::KW_INSERT: {
      const Ast::Expr* e = parse_insert();
      end_of_stmt();
      auto* s = stmt<Ast::ExprStmt>(start);
      s->expr = e;
      return s;
    }
    case Kind::IDENT:
      if (classify(cur().text()) == Word::Insert) {
        const Ast::Expr* e = parse_insert();
        end_of_stmt();
        auto* s = stmt<Ast::ExprStmt>(start);
        s->expr = e;
        return s;
      }
      return parse_simple_stmt();
    // let = "let" Name [":" type] "=" expr end
    case Kind::KW_LET: {
      advance();
      Ast::Name name = expect_ident("let-binding name");
      const Ast::TypeExpr* ty = accept(Kind::COLON) ? parse_type() : nullptr;
      expect(Kind::EQ, "'=' in let binding");
      const Ast::Expr* value = parse_expr();
      end_of_stmt();
      auto* s = stmt<Ast::Let>(start);
      s->name = name;
      s->declared_type = ty;
      s->value = value;
      return s;
    }
    // return = "return" [expr] end
    case Kind::KW_RETURN: {
      advance();
      const Ast::Expr* value = nullptr;
      Kind k = kind();
      if (k != Kind::RBRACE && k != Kind::SEMICOLON && k != Kind::NEWLINE && k != Kind::END_OF_FILE)
        value = parse_expr();
      end_of_stmt();
      auto* s = stmt<Ast::Return>(start);
      s->value = value;
      return s;
    }
    case Kind::KW_IF: return parse_if();
    // while = "while" expr block
    case Kind::KW_WHILE: {
      advance();
      const Ast::Expr* cond;
      {
        NoBraceScope no_brace(*this, true);
        cond = parse_expr();
      }
      Ast::List<Ast::Stmt> body = parse_block();
      auto* s = stmt<Ast::While>(start);
      s->cond = cond;
      s->body = body;
      return s;
    }
    case Kind::KW_FOR: return parse_for();
    case Kind::KW_BREAK: {
      advance();
      end_of_stmt();
      return stmt<Ast::Break>(start);
    }
    case Kind::KW_CONTINUE: {
      advance();
      end_of_stmt();
      return stmt<Ast::Continue>(start);
    }
    // do_while = "do" block NEWLINE* "while" expr end
    case Kind::KW_DO: {
      advance();
      Ast::List<Ast::Stmt> body = parse_block();
      skip_newlines();
      expect(Kind::KW_WHILE, "`while` after `do { ... }`");
      const Ast::Expr* cond = parse_expr();
      end_of_stmt();
      auto* s = stmt<Ast::DoWhile>(start);
      s->body = body;
      s->cond = cond;
      return s;
    }
    default: return parse_simple_stmt();
  }
}

// if = "if" expr block NEWLINE* [ "else" NEWLINE* (if | block) ]
const Ast::Stmt* State::parse_if() {
  Ast::Pos start = pos();
  advance();
  const Ast::Expr* cond;
  {
    NoBraceScope no_brace(*this, true);
    cond = parse_expr();
  }
  Ast::List<Ast::Stmt> then_block = parse_block();
  skip_newlines();
  const Ast::ElsePart* else_part = nullptr;
  if (at(Kind::KW_ELSE)) {
    Ast::ElsePart* part = shared_.arena.make<Ast::ElsePart>();
    part->else_pos = pos();
    advance();
    skip_newlines();
    if (at(Kind::KW_IF)) {
      // An `else if` chain nests one level per link.
      DepthGuard guard(*this);
      std::size_t mark = list_mark();
      push(parse_if());
      part->body = take_list<Ast::Stmt>(mark);
    } else {
      part->body = parse_block();
    }
    else_part = part;
  }
  auto* s = stmt<Ast::If>(start);
  s->cond = cond;
  s->then_block = then_block;
  s->else_part = else_part;
  return s;
}

// for = "for" Name ["," Name] "in" expr block
const Ast::Stmt* State::parse_for() {
  Ast::Pos start = pos();
  advance();
  Ast::Name var = expect_ident("loop variable name");
  Ast::Name second;
  if (accept(Kind::COMMA)) second = expect_ident("second loop variable name");
  expect(Kind::KW_IN, "`in`");
  const Ast::Expr* iterable;
  {
    NoBraceScope no_brace(*this, true);
    iterable = parse_expr();
  }
  Ast::List<Ast::Stmt> body = parse_block();
  auto* s = stmt<Ast::For>(start);
  s->var = var;
  s->second_var = second;
  s->iterable = iterable;
  s->body = body;
  return s;
}

namespace {

Ast::BinaryOp compound_op(Kind k) {
  switch (k) {
    case Kind::PLUSEQ: return Ast::BinaryOp::Add;
    case Kind::MINUSEQ: return Ast::BinaryOp::Sub;
    case Kind::STAREQ: return Ast::BinaryOp::Mul;
    case Kind::SLASHEQ: return Ast::BinaryOp::Div;
    default: return Ast::BinaryOp::Mod;
  }
}

}  // namespace

// simple_stmt = expr [ "=" expr | ("+=" | "-=" | "*=" | "/=" | "%=") expr ] end
// `t op= e` becomes Assign(t, BinOp(op, t', e)) with t' a second parse of t.
const Ast::Stmt* State::parse_simple_stmt() {
  Ast::Pos start = pos();
  std::size_t target_start = cursor_;
  const Ast::Expr* target = parse_expr();
  if (accept(Kind::EQ)) {
    const Ast::Expr* value = parse_expr();
    end_of_stmt();
    auto* s = stmt<Ast::Assign>(start);
    s->target = target;
    s->value = value;
    return s;
  }
  switch (kind()) {
    case Kind::PLUSEQ:
    case Kind::MINUSEQ:
    case Kind::STAREQ:
    case Kind::SLASHEQ:
    case Kind::PERCENTEQ: {
      Ast::Pos op_pos = pos();
      Ast::BinaryOp op = compound_op(kind());
      advance();
      std::size_t after_op = cursor_;
      cursor_ = target_start;
      const Ast::Expr* target_again = parse_expr();
      cursor_ = after_op;
      const Ast::Expr* operand = parse_expr();
      end_of_stmt();
      auto* bin = expr<Ast::BinOp>(op_pos);
      bin->op = op;
      bin->left = target_again;
      bin->right = operand;
      auto* s = stmt<Ast::Assign>(start);
      s->target = target;
      s->value = bin;
      return s;
    }
    default: break;
  }
  end_of_stmt();
  auto* s = stmt<Ast::ExprStmt>(start);
  s->expr = target;
  return s;
}

}  // namespace Parser::detail
