// Private to the parser: the parser state shared by the declaration, statement
// and expression productions (each group lives in its own .cpp file).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "ast/ast.hpp"
#include "diag/diag.hpp"
#include "lexer/lexer.hpp"
#include "parser/parser.hpp"

namespace Parser::detail {

using Lexer::Kind;

// Unwinds to the nearest recovery point; the diagnostic is already reported.
struct ParseError {};

// What one file's parse shares with the nested parses of its interpolations:
// the arena the nodes go to and the node-id counter.
struct Shared {
  Ast::Arena& arena;
  Ast::NodeId next_id = 1;
  int interp_levels = 0;          // `${...}` segments being parsed inside one another
  bool interp_too_deep = false;   // the innermost refused to go deeper
};

// Each `${...}` level tokenizes its whole segment again, so deep nesting of
// interpolations costs its depth times the text: it has a bound of its own.
inline constexpr int max_interp_levels = 256;

// Identifiers the grammar gives a meaning to in some position.
enum class Word : std::uint8_t {
  None, From, In, Delete, Select, Insert, Where, Group, By, Into, Order, Desc,
  Static, On, Service, Policy, Read, Now, Table, Gc, Extends, Implements,
  Rejected  // a word rejected outright (inheritance, casts, macros, ...)
};
Word classify(std::string_view ident);
// The reason a rejected word is rejected, or null for any other identifier.
const char* rejection_reason(std::string_view ident);

class State {
 public:
  State(Diag::Collector& collector, const std::string& file, const Lexer::TokenList& tokens,
        Shared& shared, int depth);
  // Reads the tokens of `stream` as they are lexed into `window`, dropping
  // those of each finished top-level declaration.
  State(Diag::Collector& collector, const std::string& file, Lexer::Stream& stream, Lexer::TokenList& window,
        Shared& shared);

  // program = { NEWLINE | decl }* EOF
  Ast::List<Ast::Decl> parse_program();
  // A nested parse of one `${...}` segment: expr EOF.
  const Ast::Expr* parse_lone_expr();
  bool depth_exceeded() const { return depth_exceeded_; }

 private:
  friend struct DepthGuard;
  friend struct NoBraceScope;
  friend struct ChainDepth;

  // ---- tokens (state.cpp)
  const Lexer::Token& cur() const { return tokens_[cursor_]; }
  const Lexer::Token& peek(std::size_t ahead) const {
    std::size_t i = cursor_ + ahead;
    return tokens_[i < count_ ? i : count_ - 1];
  }
  Kind kind() const { return cur().kind; }
  bool at(Kind k) const { return cur().kind == k; }
  bool at_word(Word w) const { return at(Kind::IDENT) && classify(cur().text()) == w; }
  bool peek_word(std::size_t ahead, Word w) const {
    return peek(ahead).kind == Kind::IDENT && classify(peek(ahead).text()) == w;
  }
  Ast::Pos pos() const { return {cur().line, cur().col}; }
  void advance() {
    if (cur().kind != Kind::END_OF_FILE) ++cursor_;
    if (cursor_ + lookahead > count_ && stream_) refill();
  }
  // Tokens at and after the cursor that are always in the list (peek(3) is
  // the farthest look), until the stream has given its EOF.
  static constexpr std::size_t lookahead = 4;
  void refill();
  // Between top-level declarations: forgets the tokens before the cursor.
  void drop_read_tokens();

  // ---- error helpers (state.cpp)
  [[noreturn]] void fail(Ast::Pos at, const char* code, std::string message);
  [[noreturn]] void unexpected(std::string_view what);
  void expect(Kind k, std::string_view what);
  bool accept(Kind k);
  Ast::Name expect_ident(std::string_view what);
  Ast::Name expect_field_name(std::string_view what);
  void skip_newlines();
  void reject_doctrine_word(Ast::Pos at, std::string_view word, const char* reason);
  [[noreturn]] void too_deep();
  void end_of_stmt();
  Ast::Name name_of(const Lexer::Token& t) { return shared_.arena.intern(t.text()); }
  Ast::RawToken raw_token(const Lexer::Token& t);

  // ---- node construction (state.cpp)
  template <class T>
  T* expr(Ast::Pos at) {
    T* n = shared_.arena.make<T>();
    n->kind = T::tag;
    n->id = shared_.next_id++;
    n->pos = at;
    return n;
  }
  template <class T>
  T* stmt(Ast::Pos at) {
    return expr<T>(at);  // same header shape: kind, id, pos
  }
  template <class T>
  T* type(Ast::Pos at) {
    T* n = shared_.arena.make<T>();
    n->kind = T::tag;
    n->pos = at;
    return n;
  }
  Ast::NodeId fresh_id() { return shared_.next_id++; }
  // Lists of nodes are gathered on a scratch stack and copied out when complete.
  std::size_t list_mark() const { return scratch_.size(); }
  void push(const void* node) { scratch_.push_back(node); }
  template <class T>
  Ast::List<T> take_list(std::size_t mark) {
    std::span<const T*> out = shared_.arena.make_array<const T*>(scratch_.size() - mark);
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<const T*>(scratch_[mark + i]);
    scratch_.resize(mark);
    return Ast::List<T>(out.data(), out.size());
  }
  template <class T>
  std::span<const T> store(const std::vector<T>& items) {
    return shared_.arena.copy(std::span<const T>(items));
  }

  // ---- declarations (decls.cpp)
  const Ast::Decl* parse_decl();
  const Ast::Decl* parse_type_or_fn(bool pub);  // at `type`, `class`, `interface` or `fn`
  const Ast::Decl* parse_class(bool pub, const Ast::TableConfig* table);
  const Ast::Decl* parse_typedef(bool pub);
  const Ast::Decl* parse_union(bool pub);
  const Ast::Decl* parse_interface(bool pub);
  const Ast::Decl* parse_use();
  Ast::ConstRecord parse_const_record();
  const Ast::Expr* parse_literal();
  const Ast::Method* parse_method(bool pub, bool is_static, bool with_body);
  std::span<const Ast::Param> parse_params();
  const Ast::TypeExpr* parse_return_type();
  void resync_top_level();

  // ---- class members, fields, annotations (members.cpp)
  // Methods go onto the scratch stack; fields and consts into the vectors.
  void parse_class_body(std::vector<Ast::Field>& fields, std::vector<Ast::ConstRecord>& consts);
  Ast::Field parse_field(bool pub_read, bool in_typedef);
  void parse_field_default(Ast::Field& field, bool in_typedef);
  bool at_field_end(bool in_typedef) const;
  const Ast::TableConfig* parse_annotations();
  const Ast::TableConfig* parse_table_config();
  void skip_paren_list();
  void skip_service_line();
  void skip_on_block();
  bool at_member_start() const;
  const Ast::TypeExpr* parse_type();
  const Ast::TypeExpr* parse_type_name();

  // ---- statements (stmts.cpp)
  // `close`, when given, receives the position of the closing `}`.
  Ast::List<Ast::Stmt> parse_block(Ast::Pos* close = nullptr);
  // Pushes the statement (if it parsed) onto the scratch stack; recovers on error.
  void parse_stmt_recovering();
  const Ast::Stmt* parse_stmt();
  const Ast::Stmt* parse_if();
  const Ast::Stmt* parse_for();
  const Ast::Stmt* parse_simple_stmt();
  void resync_stmt();

  // ---- expressions (exprs.cpp)
  const Ast::Expr* parse_expr();
  const Ast::Expr* parse_binary(int level);
  const Ast::Expr* parse_unary();
  const Ast::Expr* parse_postfix();
  const Ast::Expr* parse_primary();
  const Ast::Expr* parse_ident_primary();
  std::span<const Ast::FieldInit> parse_ctor_fields();
  const Ast::Expr* parse_ctor();
  const Ast::Expr* parse_list_lit();

  // ---- special forms (forms.cpp)
  const Ast::Expr* parse_try();
  const Ast::Expr* parse_switch();
  const Ast::Expr* parse_query();
  const Ast::Expr* parse_db_stub();
  const Ast::Expr* parse_insert();
  const Ast::Expr* parse_interpolation();
  const Ast::Expr* parse_segment(const Lexer::Segment& segment, Ast::Pos at);

  Diag::Collector& collector_;
  const std::string& file_;
  const Lexer::TokenList& list_;
  const Lexer::Token* tokens_;
  std::size_t count_;
  std::size_t cursor_ = 0;
  Lexer::Stream* stream_ = nullptr;    // null once the whole file is in the list, or when not streaming
  Lexer::TokenList* window_ = nullptr;  // the stream's list, when streaming
  Shared& shared_;
  bool no_brace_ = false;
  int depth_;
  bool depth_exceeded_ = false;
  std::vector<const void*> scratch_;
};

// One level of nesting for the lifetime of the guard; fails past max_depth.
struct DepthGuard {
  explicit DepthGuard(State& s) : state(s) {
    if (++state.depth_ > max_depth) {
      --state.depth_;
      state.too_deep();
    }
  }
  ~DepthGuard() { --state.depth_; }
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;
  State& state;
};

// Nesting added by a loop that builds a left-nested chain (`a + b + c`,
// `a.b.c`): each link is one level until the chain is complete.
struct ChainDepth {
  explicit ChainDepth(State& s) : state(s) {}
  void step() {
    DepthGuard probe(state);  // checks the limit for one more level
    ++state.depth_;
    ++links;
  }
  ~ChainDepth() { state.depth_ -= links; }
  ChainDepth(const ChainDepth&) = delete;
  ChainDepth& operator=(const ChainDepth&) = delete;
  State& state;
  int links = 0;
};

// Sets no-brace mode for a scope and restores the previous value, also on error.
struct NoBraceScope {
  NoBraceScope(State& s, bool on) : state(s), saved(s.no_brace_) { state.no_brace_ = on; }
  ~NoBraceScope() { state.no_brace_ = saved; }
  NoBraceScope(const NoBraceScope&) = delete;
  NoBraceScope& operator=(const NoBraceScope&) = delete;
  State& state;
  bool saved;
};

}  // namespace Parser::detail
