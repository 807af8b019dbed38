// Class bodies: fields with defaults and annotations, member consts and
// methods, skipped service/policy/on members, `@` annotations with the
// `@table` configuration, and type expressions.
#include "parser/state.hpp"

namespace Parser::detail {

// class_body = { NEWLINE | member }* "}"
// member     = const_decl | "static" (const_decl | method) | method
//            | "pub" "(" "read" ")" field | field | on_block | service_line
void State::parse_class_body(std::vector<Ast::Field>& fields, std::vector<Ast::ConstRecord>& consts) {
  while (true) {
    skip_newlines();
    if (accept(Kind::RBRACE)) return;
    switch (kind()) {
      case Kind::END_OF_FILE: fail(pos(), syntax_code, "unexpected end of input inside type/class body");
      case Kind::KW_CONST: consts.push_back(parse_const_record()); continue;
      case Kind::KW_FN: push(parse_method(false, false, true)); continue;
      case Kind::KW_PUB:
        advance();
        expect(Kind::LPAREN, "'(' after `pub` in a class body — the only member form is `pub(read)`");
        if (!at_word(Word::Read)) unexpected("`read` — the only accessor form is `pub(read)`");
        advance();
        expect(Kind::RPAREN, "')'");
        fields.push_back(parse_field(true, false));
        continue;
      case Kind::KW_TYPE:
        if (peek(1).kind == Kind::COLON) {
          fields.push_back(parse_field(false, false));
          continue;
        }
        break;
      case Kind::IDENT: {
        if (peek(1).kind == Kind::COLON) {
          fields.push_back(parse_field(false, false));
          continue;
        }
        Word w = classify(cur().text());
        if (w == Word::Static && peek(1).kind == Kind::KW_CONST) {
          advance();
          consts.push_back(parse_const_record());
          continue;
        }
        if (w == Word::Static && peek(1).kind == Kind::KW_FN) {
          advance();
          push(parse_method(false, true, true));
          continue;
        }
        if (w == Word::On) {
          skip_on_block();
          continue;
        }
        if (w == Word::Service || w == Word::Policy) {
          skip_service_line();
          continue;
        }
        break;
      }
      default: break;
    }
    unexpected("a field, method, or service/policy/on block");
  }
}

// field = Name ":" type { "=" default | "@" Name [paren_list] } (before NEWLINE | "}" | EOF)
Ast::Field State::parse_field(bool pub_read, bool in_typedef) {
  Ast::Field field;
  field.pos = pos();
  field.name = expect_field_name("field name");
  expect(Kind::COLON, "':'");
  field.ty = parse_type();
  field.pub_read = pub_read;
  std::vector<Ast::Name> annotations;
  while (!at_field_end(in_typedef)) {
    if (accept(Kind::EQ)) {
      parse_field_default(field, in_typedef);
    } else if (accept(Kind::AT)) {
      annotations.push_back(expect_ident("annotation name"));
      skip_paren_list();
    } else {
      unexpected("an annotation, '=', or end of field");
    }
  }
  field.annotations = store(annotations);
  field.id = fresh_id();
  return field;
}

bool State::at_field_end(bool in_typedef) const {
  switch (kind()) {
    case Kind::NEWLINE:
    case Kind::RBRACE:
    case Kind::END_OF_FILE: return true;
    case Kind::COMMA: return in_typedef;
    default: return false;
  }
}

// default = "now" "(" ")" | raw tokens up to "}" / "," / NEWLINE at depth 0
void State::parse_field_default(Ast::Field& field, bool in_typedef) {
  if (at_word(Word::Now) && peek(1).kind == Kind::LPAREN && peek(2).kind == Kind::RPAREN) {
    Kind after = peek(3).kind;
    if (after == Kind::NEWLINE || after == Kind::RBRACE || after == Kind::END_OF_FILE ||
        (in_typedef && after == Kind::COMMA)) {
      advance();
      advance();
      advance();
      field.default_kind = Ast::DefaultKind::Now;
      return;
    }
  }
  std::vector<Ast::RawToken> tokens;
  int depth = 0;
  while (!at(Kind::END_OF_FILE)) {
    Kind k = kind();
    if (depth == 0 && (k == Kind::RBRACE || k == Kind::COMMA || k == Kind::NEWLINE)) break;
    if (k == Kind::LPAREN || k == Kind::LBRACKET || k == Kind::LBRACE) ++depth;
    if ((k == Kind::RPAREN || k == Kind::RBRACKET || k == Kind::RBRACE) && depth > 0) --depth;
    tokens.push_back(raw_token(cur()));
    advance();
  }
  field.default_kind = Ast::DefaultKind::Tokens;
  field.default_tokens = store(tokens);
}

// annotations = { "@" Name [ table_args | paren_list ] NEWLINE* }
const Ast::TableConfig* State::parse_annotations() {
  const Ast::TableConfig* table = nullptr;
  while (accept(Kind::AT)) {
    Ast::Pos at_name = pos();
    Ast::Name name = expect_ident("annotation name");
    Word w = classify(name);
    if (w == Word::Table) {
      table = parse_table_config();
    } else if (w == Word::Gc) {
      collector_.add(Diag::error(gc_annotation_code, file_, at_name.line, at_name.col,
                                 "`@gc` is not a valid annotation: GC-ness is inferred by the "
                                 "compiler (run `vkc --dump-gc`). Remove it."));
      skip_paren_list();
    } else {
      skip_paren_list();
    }
    skip_newlines();
  }
  return table;
}

// table_args = [ "(" { NEWLINE* table_arg NEWLINE* [","] } ")" ]
// table_arg  = "index" ":" "[" Name { "," Name } "]" | "name" ":" STR
const Ast::TableConfig* State::parse_table_config() {
  Ast::TableConfig* config = shared_.arena.make<Ast::TableConfig>();
  if (!accept(Kind::LPAREN)) return config;
  std::vector<std::span<const Ast::Name>> indexes;
  std::vector<Ast::Name> columns;
  while (true) {
    skip_newlines();
    if (accept(Kind::RPAREN)) break;
    Ast::Pos at_arg = pos();
    Ast::Name arg = expect_ident("@table argument");
    expect(Kind::COLON, "':'");
    if (arg == "index") {
      Ast::Pos at_bracket = pos();
      expect(Kind::LBRACKET, "'['");
      columns.clear();
      do {
        columns.push_back(expect_ident("index column"));
      } while (accept(Kind::COMMA));
      expect(Kind::RBRACKET, "']'");
      if (columns.empty()) fail(at_bracket, table_code, "@table index needs at least one column");
      indexes.push_back(store(columns));
    } else if (arg == "name") {
      if (config->has_name) fail(at_arg, table_code, "@table(name: ...) given twice");
      if (!at(Kind::STR)) unexpected("a string for @table name");
      config->name = shared_.arena.copy_text(cur().text());
      config->has_name = true;
      advance();
    } else {
      fail(at_arg, table_code,
           "unknown @table argument `" + std::string(arg) + "` (supported: name, index)");
    }
    skip_newlines();
    if (accept(Kind::COMMA)) continue;
    expect(Kind::RPAREN, "')' or ','");
    break;
  }
  config->indexes = store(indexes);
  return config;
}

// Skips "(" ... ")" with nesting, when the current token is "(".
void State::skip_paren_list() {
  if (!accept(Kind::LPAREN)) return;
  int depth = 1;
  while (depth > 0 && !at(Kind::END_OF_FILE)) {
    if (at(Kind::LPAREN)) ++depth;
    if (at(Kind::RPAREN)) --depth;
    advance();
  }
}

// A `service`/`policy` member: skipped to the end of its line.
void State::skip_service_line() {
  int depth = 0;
  while (!at(Kind::END_OF_FILE)) {
    Kind k = kind();
    if (depth == 0 && k == Kind::NEWLINE) {
      advance();
      return;
    }
    if (depth == 0 && k == Kind::RBRACE) return;
    if (k == Kind::LPAREN || k == Kind::LBRACKET || k == Kind::LBRACE) ++depth;
    if ((k == Kind::RPAREN || k == Kind::RBRACKET || k == Kind::RBRACE) && depth > 0) --depth;
    advance();
  }
}

bool State::at_member_start() const {
  switch (kind()) {
    case Kind::KW_FN:
    case Kind::KW_CONST:
    case Kind::KW_PUB:
    case Kind::RBRACE:
    case Kind::END_OF_FILE: return true;
    case Kind::KW_TYPE: return peek(1).kind == Kind::COLON;
    case Kind::IDENT: {
      if (peek(1).kind == Kind::COLON) return true;
      Word w = classify(cur().text());
      return w == Word::On || w == Word::Service || w == Word::Policy || w == Word::Static;
    }
    default: return false;
  }
}

// An `on ...` member: skipped up to the line on which the next member starts.
void State::skip_on_block() {
  advance();
  int depth = 0;
  while (!at(Kind::END_OF_FILE)) {
    Kind k = kind();
    if (depth == 0 && k == Kind::NEWLINE) {
      skip_newlines();
      if (at_member_start()) return;
      continue;
    }
    if (depth == 0 && k == Kind::RBRACE) return;  // the class closes on this line
    if (k == Kind::LPAREN || k == Kind::LBRACKET || k == Kind::LBRACE) ++depth;
    if ((k == Kind::RPAREN || k == Kind::RBRACKET || k == Kind::RBRACE) && depth > 0) --depth;
    advance();
  }
}

// type = ["?"] ( "multi" Name | "actor" Name | "ref" Name | "map" "<" Name "," Name ">"
//              | "backlink" Name "." Name | Name ["." Name] )
const Ast::TypeExpr* State::parse_type() {
  Ast::Pos start = pos();
  if (accept(Kind::QUESTION)) {
    Ast::TyNullable* nullable = type<Ast::TyNullable>(start);
    nullable->inner = parse_type_name();
    return nullable;
  }
  return parse_type_name();
}

const Ast::TypeExpr* State::parse_type_name() {
  Ast::Pos start = pos();
  Ast::Name name = expect_ident("a field type");
  if (name == "multi") {
    auto* ty = type<Ast::TyMulti>(start);
    ty->class_name = expect_ident("multi target type");
    return ty;
  }
  if (name == "actor") {
    auto* ty = type<Ast::TyActor>(start);
    ty->message_type = expect_ident("actor message type");
    return ty;
  }
  if (name == "ref") {
    auto* ty = type<Ast::TyRef>(start);
    ty->class_name = expect_ident("ref target type");
    return ty;
  }
  if (name == "map") {
    auto* ty = type<Ast::TyMap>(start);
    expect(Kind::LT, "'<'");
    ty->key = expect_ident("map key type");
    expect(Kind::COMMA, "','");
    ty->value = expect_ident("map value type");
    expect(Kind::GT, "'>'");
    return ty;
  }
  if (name == "backlink") {
    auto* ty = type<Ast::TyBacklink>(start);
    ty->class_name = expect_ident("backlink source class");
    expect(Kind::DOT, "'.'");
    ty->field = expect_ident("backlink source field");
    return ty;
  }
  auto* ty = type<Ast::TyName>(start);
  ty->name = name;
  if (accept(Kind::DOT)) {
    Ast::Name member = expect_ident("qualified type name");
    std::string joined(name);
    joined += '.';
    joined += member;
    ty->name = shared_.arena.intern(joined);
  }
  return ty;
}

}  // namespace Parser::detail
