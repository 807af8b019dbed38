// Top-level declarations: dispatch, classes, typedefs, unions, interfaces,
// functions, `use` and `const`, and the top-level recovery.
#include <limits>

#include "parser/state.hpp"

namespace Parser::detail {

// program = { NEWLINE | decl }* EOF
Ast::List<Ast::Decl> State::parse_program() {
  std::size_t mark = list_mark();
  while (true) {
    skip_newlines();
    if (at(Kind::END_OF_FILE)) break;
    drop_read_tokens();
    std::size_t inner = list_mark();
    try {
      const Ast::Decl* decl = parse_decl();
      push(decl);
    } catch (const ParseError&) {
      scratch_.resize(inner);
      resync_top_level();
    }
  }
  return take_list<Ast::Decl>(mark);
}

// The declarations that may follow `pub`, the typedef aside: a record or
// class, a union (`type Name = ...`), an interface or a free function.
const Ast::Decl* State::parse_type_or_fn(bool pub) {
  switch (kind()) {
    case Kind::KW_TYPE:
      if (peek(1).kind == Kind::IDENT && peek(2).kind == Kind::EQ) return parse_union(pub);
      return parse_class(pub, nullptr);
    case Kind::KW_CLASS: return parse_class(pub, nullptr);
    case Kind::KW_INTERFACE: return parse_interface(pub);
    default: {
      const Ast::Method* fn = parse_method(pub, false, true);
      Ast::FnDecl* decl = shared_.arena.make<Ast::FnDecl>();
      decl->kind = Ast::FnDecl::tag;
      decl->id = fn->id;
      decl->pos = fn->pos;
      decl->fn = fn;
      return decl;
    }
  }
}

// decl = type_decl | union_decl | class_decl | interface_decl | fn_decl
//      | use_decl | const_decl | typedef_decl | "pub" decl | annotations class_decl
const Ast::Decl* State::parse_decl() {
  switch (kind()) {
    case Kind::KW_TYPE:
    case Kind::KW_CLASS:
    case Kind::KW_INTERFACE:
    case Kind::KW_FN: return parse_type_or_fn(false);
    case Kind::KW_USE:
    case Kind::KW_USING: return parse_use();
    case Kind::KW_CONST: {
      Ast::ConstRecord record = parse_const_record();
      Ast::ConstDecl* decl = shared_.arena.make<Ast::ConstDecl>();
      decl->kind = Ast::ConstDecl::tag;
      decl->id = record.id;
      decl->pos = record.pos;
      decl->record = record;
      return decl;
    }
    case Kind::KW_TYPEDEF: return parse_typedef(false);
    case Kind::KW_PUB:
      advance();
      switch (kind()) {
        case Kind::KW_TYPEDEF: return parse_typedef(true);
        case Kind::KW_TYPE:
        case Kind::KW_CLASS:
        case Kind::KW_INTERFACE:
        case Kind::KW_FN: return parse_type_or_fn(true);
        default: unexpected("`type`, `class`, `interface`, or `fn` after `pub`");
      }
    case Kind::KW_INLINE:
      if (peek(1).kind == Kind::KW_FN)
        fail(pos(), inline_fn_code,
             "`inline fn` is rejected — optimization is the compiler's job (const values are the "
             "adopted half of this row)");
      advance();
      unexpected("`fn` after `inline`");
    case Kind::AT: {
      const Ast::TableConfig* table = parse_annotations();
      skip_newlines();
      if (!at(Kind::KW_TYPE) && !at(Kind::KW_CLASS)) unexpected("`type` or `class` after annotation");
      return parse_class(false, table);
    }
    case Kind::IDENT:
      if (const char* reason = rejection_reason(cur().text())) {
        reject_doctrine_word(pos(), cur().text(), reason);
        throw ParseError{};
      }
      break;
    default: break;
  }
  unexpected("a top-level declaration (type/class/interface/fn/@annotation)");
}

// Skips from the error to the next declaration start at bracket depth 0, or
// past the `}` that takes the depth to 0. The depth counts only what is
// skipped here; a stray `)` or `]` never takes it below 0, so it cannot hide
// the rest of the file.
void State::resync_top_level() {
  std::size_t start = cursor_;
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
        advance();
        if (--depth <= 0) return;
        continue;
      case Kind::KW_TYPE:
      case Kind::KW_CLASS:
      case Kind::KW_INTERFACE:
      case Kind::KW_FN:
      case Kind::KW_USE:
      case Kind::KW_CONST:
      case Kind::KW_TYPEDEF:
      case Kind::AT:
        if (depth == 0 && cursor_ > start) return;
        break;
      case Kind::IDENT: {
        Word w = classify(cur().text());
        if ((w == Word::Service || w == Word::Policy || w == Word::On) && depth == 0 && cursor_ > start)
          return;
        break;
      }
      default: break;
    }
    advance();
  }
}

// class_decl = ("type" | "class") Name [extends-words] "{" member* "}"
const Ast::Decl* State::parse_class(bool pub, const Ast::TableConfig* table) {
  Ast::Pos at_kw = pos();
  bool is_class = at(Kind::KW_CLASS);
  if (!is_class && !at(Kind::KW_TYPE)) unexpected("`type` or `class`");
  advance();
  Ast::Name name = expect_ident("type/class name");
  if (at(Kind::IDENT)) {
    Word w = classify(cur().text());
    if (w == Word::Extends || w == Word::Implements) {
      reject_doctrine_word(pos(), cur().text(), rejection_reason(cur().text()));
      while (!at(Kind::LBRACE) && !at(Kind::END_OF_FILE)) advance();
    }
  }
  expect(Kind::LBRACE, "'{'");
  std::vector<Ast::Field> fields;
  std::vector<Ast::ConstRecord> consts;
  std::size_t methods_mark = list_mark();
  parse_class_body(fields, consts);
  Ast::ClassDecl* decl = shared_.arena.make<Ast::ClassDecl>();
  decl->kind = Ast::ClassDecl::tag;
  decl->id = fresh_id();
  decl->pos = at_kw;
  decl->name = name;
  decl->is_class = is_class;
  decl->pub = pub;
  decl->table = table;
  decl->methods = take_list<Ast::Method>(methods_mark);
  decl->fields = store(fields);
  decl->consts = store(consts);
  return decl;
}

// typedef_decl = "typedef" Name "=" "{" { ["?"] field [","] } "}"
const Ast::Decl* State::parse_typedef(bool pub) {
  Ast::Pos at_kw = pos();
  advance();
  Ast::Name name = expect_ident("typedef name");
  expect(Kind::EQ, "'=' in typedef declaration");
  expect(Kind::LBRACE, "'{' to open typedef record body");
  std::vector<Ast::Field> fields;
  while (true) {
    skip_newlines();
    if (accept(Kind::RBRACE)) break;
    if (at(Kind::END_OF_FILE)) fail(pos(), syntax_code, "unexpected end of input inside typedef body");
    Ast::Pos question = pos();
    bool nullable = accept(Kind::QUESTION);
    Ast::Field field = parse_field(false, true);
    if (nullable && field.ty->kind != Ast::TypeKind::TyNullable) {
      Ast::TyNullable* wrapped = type<Ast::TyNullable>(question);
      wrapped->inner = field.ty;
      field.ty = wrapped;
    }
    fields.push_back(field);
    accept(Kind::COMMA);
  }
  Ast::ClassDecl* decl = shared_.arena.make<Ast::ClassDecl>();
  decl->kind = Ast::ClassDecl::tag;
  decl->id = fresh_id();
  decl->pos = at_kw;
  decl->name = name;
  decl->is_typedef = true;
  decl->pub = pub;
  decl->fields = store(fields);
  return decl;
}

// union_decl = "type" Name "=" variant { "|" NEWLINE* variant } end_of_stmt
// variant    = Name [ "(" [ Name ":" type { "," Name ":" type } ] ")" ]
const Ast::Decl* State::parse_union(bool pub) {
  Ast::Pos at_kw = pos();
  advance();
  Ast::Name name = expect_ident("union name");
  expect(Kind::EQ, "'=' in union declaration");
  std::vector<Ast::Variant> variants;
  std::vector<Ast::PayloadField> payload;
  while (true) {
    Ast::Variant variant;
    variant.pos = pos();
    variant.name = expect_ident("variant name");
    if (accept(Kind::LPAREN)) {
      payload.clear();
      if (!at(Kind::RPAREN)) {
        do {
          Ast::PayloadField item;
          item.name = expect_ident("payload field name");
          expect(Kind::COLON, "':'");
          item.ty = parse_type();
          payload.push_back(item);
        } while (accept(Kind::COMMA));
      }
      expect(Kind::RPAREN, "')'");
      variant.payload = store(payload);
    }
    variants.push_back(variant);
    // Only a `|` lets the variant list go on to the next line.
    if (!accept(Kind::PIPE)) break;
    skip_newlines();
  }
  end_of_stmt();
  Ast::UnionDecl* decl = shared_.arena.make<Ast::UnionDecl>();
  decl->kind = Ast::UnionDecl::tag;
  decl->id = fresh_id();
  decl->pos = at_kw;
  decl->name = name;
  decl->variants = store(variants);
  decl->pub = pub;
  return decl;
}

// interface_decl = "interface" Name "{" { signature (NEWLINE | before "}") } "}"
const Ast::Decl* State::parse_interface(bool pub) {
  Ast::Pos at_kw = pos();
  expect(Kind::KW_INTERFACE, "`interface`");
  Ast::Name name = expect_ident("interface name");
  expect(Kind::LBRACE, "'{'");
  std::size_t mark = list_mark();
  while (true) {
    skip_newlines();
    if (accept(Kind::RBRACE)) break;
    if (at(Kind::END_OF_FILE)) fail(pos(), syntax_code, "unexpected end of input inside interface body");
    if (!at(Kind::KW_FN)) unexpected("a method signature (`fn ...`)");
    push(parse_method(false, false, false));
    if (!accept(Kind::NEWLINE) && !at(Kind::RBRACE) && !at(Kind::END_OF_FILE))
      unexpected("end of method signature (newline)");
  }
  Ast::InterfaceDecl* decl = shared_.arena.make<Ast::InterfaceDecl>();
  decl->kind = Ast::InterfaceDecl::tag;
  decl->id = fresh_id();
  decl->pos = at_kw;
  decl->name = name;
  decl->sigs = take_list<Ast::Method>(mark);
  decl->pub = pub;
  return decl;
}

// use_decl = ("use" | "using") Name { "/" Name } end_of_stmt
const Ast::Decl* State::parse_use() {
  Ast::Pos at_kw = pos();
  bool is_using = at(Kind::KW_USING);
  advance();
  std::vector<Ast::Name> path{expect_ident("module name")};
  while (accept(Kind::SLASH)) path.push_back(expect_ident("module path segment"));
  end_of_stmt();
  Ast::UseDecl* decl = shared_.arena.make<Ast::UseDecl>();
  decl->kind = Ast::UseDecl::tag;
  decl->id = fresh_id();
  decl->pos = at_kw;
  decl->path = store(path);
  decl->is_using = is_using;
  return decl;
}

// const_decl = "const" Name "=" literal end_of_stmt
Ast::ConstRecord State::parse_const_record() {
  Ast::ConstRecord record;
  record.pos = pos();
  advance();
  record.name = expect_ident("const name");
  expect(Kind::EQ, "'=' in const declaration");
  record.value = parse_literal();
  end_of_stmt();
  record.id = fresh_id();
  return record;
}

// literal = INT | FLOAT | STR | "true" | "false" | "-" (INT | FLOAT)
const Ast::Expr* State::parse_literal() {
  Ast::Pos at_lit = pos();
  bool negate = false;
  if (accept(Kind::DASH)) {
    if (!at(Kind::INT) && !at(Kind::FLOAT)) unexpected("a numeric literal after '-'");
    negate = true;
  }
  const Lexer::Token t = cur();  // a copy: advancing may move the list
  switch (t.kind) {
    case Kind::INT: {
      advance();
      auto* lit = expr<Ast::IntLit>(at_lit);
      // Negation wraps like the lexer's accumulation, so -9223372036854775808 is exact.
      std::uint64_t bits = static_cast<std::uint64_t>(t.int_value);
      lit->value = static_cast<std::int64_t>(negate ? 0 - bits : bits);
      return lit;
    }
    case Kind::FLOAT: {
      advance();
      auto* lit = expr<Ast::FloatLit>(at_lit);
      lit->value = negate ? -t.float_value : t.float_value;
      return lit;
    }
    case Kind::STR: {
      advance();
      auto* lit = expr<Ast::TextLit>(at_lit);
      lit->value = shared_.arena.copy_text(t.text());
      return lit;
    }
    case Kind::KW_TRUE:
    case Kind::KW_FALSE: {
      advance();
      auto* lit = expr<Ast::BoolLit>(at_lit);
      lit->value = t.kind == Kind::KW_TRUE;
      return lit;
    }
    default: unexpected("a literal (Int, Text, or Bool)");
  }
}

// method = "fn" Name params return_type block; a signature has no block.
const Ast::Method* State::parse_method(bool pub, bool is_static, bool with_body) {
  Ast::Method* method = shared_.arena.make<Ast::Method>();
  method->pos = pos();
  expect(Kind::KW_FN, "`fn`");
  method->name = expect_ident("function/method name");
  method->params = parse_params();
  method->ret = parse_return_type();
  if (with_body) method->body = parse_block(&method->body_end);
  method->pub = pub;
  method->is_static = is_static;
  method->id = fresh_id();
  return method;
}

// params = "(" NEWLINE* [ param { NEWLINE* "," NEWLINE* param } [","] ] NEWLINE* ")"
// param  = ["mut" | "take"] Name ":" type
std::span<const Ast::Param> State::parse_params() {
  expect(Kind::LPAREN, "'('");
  std::vector<Ast::Param> params;
  skip_newlines();
  while (!at(Kind::RPAREN)) {
    Ast::Param param;
    param.mode = accept(Kind::KW_MUT)    ? Ast::ParamMode::Mut
                 : accept(Kind::KW_TAKE) ? Ast::ParamMode::Take
                                         : Ast::ParamMode::Borrowed;
    param.pos = pos();
    param.name = expect_ident("parameter name");
    expect(Kind::COLON, "':'");
    param.ty = parse_type();
    param.id = fresh_id();
    params.push_back(param);
    skip_newlines();
    if (!accept(Kind::COMMA)) break;
    skip_newlines();
  }
  expect(Kind::RPAREN, "')'");
  return store(params);
}

// return_type = ["?"] [ "->" type ]; the `?` makes the declared type nullable.
const Ast::TypeExpr* State::parse_return_type() {
  Ast::Pos question = pos();
  bool nullable = accept(Kind::QUESTION);
  if (!accept(Kind::ARROW)) return nullptr;
  const Ast::TypeExpr* ty = parse_type();
  if (!nullable || ty->kind == Ast::TypeKind::TyNullable) return ty;
  Ast::TyNullable* wrapped = type<Ast::TyNullable>(question);
  wrapped->inner = ty;
  return wrapped;
}

}  // namespace Parser::detail
