// The syntax tree of one parsed file: declarations, type expressions,
// statements and expressions. The tree is immutable once built; nodes live in
// arenas owned (shared) by the Program, so dropping a Program frees the whole
// tree without walking it.
//
// Node shape: every statement, expression, declaration and type expression is
// a small struct deriving from a header (`Stmt`, `Expr`, `Decl`, `TypeExpr`)
// that carries a kind tag; switch on `kind` and use `as<T>()` / `get_if<T>()`.
// Absent optional parts are null pointers or empty names, as each field says.
// Analysis results never go into the tree: key side tables by `NodeId`.
// Passes that derive a new tree from an old one build on Ast::Rebuilder
// (ast/rebuild.hpp), which copies only the nodes above a change.
#pragma once

#include <cassert>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <string_view>
#include <type_traits>
#include <vector>

#include "lexer/lexer.hpp"

namespace Ast {

// (line, col), both from 1; the column counts bytes.
struct Pos {
  std::int32_t line = 0;
  std::int32_t col = 0;
};

// Unique within one file's parse, starting at 1 and increasing in creation order.
using NodeId = std::uint32_t;

// Deepest tree the parser builds: nesting of blocks, expressions and types,
// where each link of a left-nested chain (`a + b + c`, `a.b.c`, the pieces of
// an interpolated text) counts as one level. Every pass that recurses over
// the tree relies on it, and the driver sizes its stack for it.
inline constexpr int max_nesting = 20000;

// Names and texts are views into the tree's own arenas (identifiers interned).
using Name = std::string_view;

// A list of nodes, stored in the arena.
template <class T>
using List = std::span<const T* const>;

struct Stmt;
struct Expr;
struct TypeExpr;

// Shared helpers of the three tagged hierarchies.
template <class Base, class Kind>
struct Tagged {
  template <class T>
  const T& as() const {
    assert(static_cast<const Base*>(this)->kind == T::tag);
    return static_cast<const T&>(static_cast<const Base&>(*this));
  }
  template <class T>
  const T* get_if() const {
    return static_cast<const Base*>(this)->kind == T::tag ? &as<T>() : nullptr;
  }
};

// A token kept raw in the tree (field defaults, `select ...` stubs), with its payload.
struct RawToken {
  Lexer::Kind kind = Lexer::Kind::END_OF_FILE;
  Pos pos;
  std::int64_t int_value = 0;              // INT
  double float_value = 0;                  // FLOAT
  std::string_view text;                   // IDENT, STR
  std::span<const Lexer::Segment> segments;  // INTERP_STR (texts in the arena too)
};

// ---------------------------------------------------------------- type expressions

enum class TypeKind : std::uint8_t { TyName, TyRef, TyMulti, TyMap, TyBacklink, TyNullable, TyActor };

struct TypeExpr : Tagged<TypeExpr, TypeKind> {
  TypeKind kind;
  Pos pos;  // first token of the type (the `?` of a nullable type)
};

// `Name` or `Module.Name` (one string including the dot).
struct TyName : TypeExpr {
  static constexpr TypeKind tag = TypeKind::TyName;
  Name name;
};
// `ref C`
struct TyRef : TypeExpr {
  static constexpr TypeKind tag = TypeKind::TyRef;
  Name class_name;
};
// `multi C`
struct TyMulti : TypeExpr {
  static constexpr TypeKind tag = TypeKind::TyMulti;
  Name class_name;
};
// `map<K, V>`: bare names, not nested types.
struct TyMap : TypeExpr {
  static constexpr TypeKind tag = TypeKind::TyMap;
  Name key;
  Name value;
};
// `backlink C.f`
struct TyBacklink : TypeExpr {
  static constexpr TypeKind tag = TypeKind::TyBacklink;
  Name class_name;
  Name field;
};
// `?T`
struct TyNullable : TypeExpr {
  static constexpr TypeKind tag = TypeKind::TyNullable;
  const TypeExpr* inner;
};
// `actor M`
struct TyActor : TypeExpr {
  static constexpr TypeKind tag = TypeKind::TyActor;
  Name message_type;
};

// ---------------------------------------------------------------- statements

enum class StmtKind : std::uint8_t {
  Break, Continue, Let, Assign, If, While, For, Return, ExprStmt, DoWhile
};

struct Stmt : Tagged<Stmt, StmtKind> {
  StmtKind kind;
  NodeId id;
  Pos pos;  // first token of the statement
};

struct Break : Stmt {
  static constexpr StmtKind tag = StmtKind::Break;
};
struct Continue : Stmt {
  static constexpr StmtKind tag = StmtKind::Continue;
};
struct Let : Stmt {
  static constexpr StmtKind tag = StmtKind::Let;
  Name name;
  const TypeExpr* declared_type;  // null when no `: T` was written
  const Expr* value;
};
// Also the desugared `t op= e`, whose value is BinOp(op, t', e) over a second parse t' of t.
struct Assign : Stmt {
  static constexpr StmtKind tag = StmtKind::Assign;
  const Expr* target;
  const Expr* value;
};
struct ElsePart {
  Pos else_pos{};     // the `else` keyword
  List<Stmt> body{};  // `else if` is a body holding exactly one If
};
struct If : Stmt {
  static constexpr StmtKind tag = StmtKind::If;
  const Expr* cond;
  List<Stmt> then_block;
  const ElsePart* else_part;  // null when there is no `else`
};
struct While : Stmt {
  static constexpr StmtKind tag = StmtKind::While;
  const Expr* cond;
  List<Stmt> body;
};
struct For : Stmt {
  static constexpr StmtKind tag = StmtKind::For;
  Name var;
  Name second_var;  // empty unless written `for k, v in ...`
  const Expr* iterable;
  List<Stmt> body;
};
struct Return : Stmt {
  static constexpr StmtKind tag = StmtKind::Return;
  const Expr* value;  // null for a bare `return`
};
struct ExprStmt : Stmt {
  static constexpr StmtKind tag = StmtKind::ExprStmt;
  const Expr* expr;
};
struct DoWhile : Stmt {
  static constexpr StmtKind tag = StmtKind::DoWhile;
  List<Stmt> body;
  const Expr* cond;
};

// ---------------------------------------------------------------- expressions

enum class ExprKind : std::uint8_t {
  Nil, EmptyMap, IntLit, FloatLit, TextLit, BoolLit, Ident, FieldAccess, Index, Call,
  Unary, BinOp, Ctor, DbStub, Insert, Delete, Interp, Switch, Spawn, ListLit, As, Try, Query
};

enum class BinaryOp : std::uint8_t {
  Add, Sub, Mul, Div, Mod, Concat, Eq, Ne, Lt, Le, Gt, Ge, And, Or, BitAnd, BitOr, BitXor, Shl, Shr
};
enum class UnaryOp : std::uint8_t { Neg, Not };

// The printed form of an operator: "+", "..", "and", ...; "-" and "not ".
std::string_view op_text(BinaryOp op);
std::string_view op_text(UnaryOp op);

// The kind comes last: a node whose first field is a byte (an operator, a
// flag) keeps it in the header's tail, so a BinOp takes 32 bytes, not 40.
struct Expr : Tagged<Expr, ExprKind> {
  NodeId id;
  // First token, except: BinOp takes its operator, Call/Index/FieldAccess their
  // `(`/`[`/`.`, As its operand's position.
  Pos pos;
  ExprKind kind;
};

struct Nil : Expr {
  static constexpr ExprKind tag = ExprKind::Nil;
};
// `{}`
struct EmptyMap : Expr {
  static constexpr ExprKind tag = ExprKind::EmptyMap;
};
struct IntLit : Expr {
  static constexpr ExprKind tag = ExprKind::IntLit;
  std::int64_t value;
};
struct FloatLit : Expr {
  static constexpr ExprKind tag = ExprKind::FloatLit;
  double value;
};
struct TextLit : Expr {
  static constexpr ExprKind tag = ExprKind::TextLit;
  std::string_view value;
};
struct BoolLit : Expr {
  static constexpr ExprKind tag = ExprKind::BoolLit;
  bool value;
};
struct Ident : Expr {
  static constexpr ExprKind tag = ExprKind::Ident;
  Name name;
};
struct FieldAccess : Expr {
  static constexpr ExprKind tag = ExprKind::FieldAccess;
  const Expr* object;
  Name field;  // field or method name
};
struct Index : Expr {
  static constexpr ExprKind tag = ExprKind::Index;
  const Expr* collection;
  const Expr* index;
};
// A method call is a Call whose callee is a FieldAccess.
struct Call : Expr {
  static constexpr ExprKind tag = ExprKind::Call;
  const Expr* callee;
  List<Expr> args;
};
struct Unary : Expr {
  static constexpr ExprKind tag = ExprKind::Unary;
  UnaryOp op;
  const Expr* operand;
};
struct BinOp : Expr {
  static constexpr ExprKind tag = ExprKind::BinOp;
  BinaryOp op;
  const Expr* left;
  const Expr* right;
};
// `field: value` inside a constructor, `insert` or `spawn`.
struct FieldInit {
  Name field{};
  Pos pos{};  // the field name
  const Expr* value{};
};
// `Name { f: e, ... }`
struct Ctor : Expr {
  static constexpr ExprKind tag = ExprKind::Ctor;
  Name class_name;
  std::span<const FieldInit> fields;  // source order
};
// The raw tokens of a `select ...` form, from the `select` word on.
struct DbStub : Expr {
  static constexpr ExprKind tag = ExprKind::DbStub;
  std::span<const RawToken> tokens;
};
struct Insert : Expr {
  static constexpr ExprKind tag = ExprKind::Insert;
  Name class_name;
  std::span<const FieldInit> fields;
};
struct Delete : Expr {
  static constexpr ExprKind tag = ExprKind::Delete;
  const Expr* target;
};
// One `${...}` value of an interpolated text, converted to text.
struct Interp : Expr {
  static constexpr ExprKind tag = ExprKind::Interp;
  const Expr* value;
};
struct SwitchArm {
  Pos pos{};          // the `case` / `default` word
  List<Expr> values{};  // empty for `default`
  bool is_default{};
  List<Stmt> body{};
};
struct Switch : Expr {
  static constexpr ExprKind tag = ExprKind::Switch;
  const Expr* scrutinee;
  std::span<const SwitchArm> arms;  // source order; see switch_lowering_order
};
struct Spawn : Expr {
  static constexpr ExprKind tag = ExprKind::Spawn;
  Name class_name;
  std::span<const FieldInit> fields;
};
struct ListLit : Expr {
  static constexpr ExprKind tag = ExprKind::ListLit;
  List<Expr> elements;
};
struct As : Expr {
  static constexpr ExprKind tag = ExprKind::As;
  const Expr* value;
  const TypeExpr* target;
};
struct Try : Expr {
  static constexpr ExprKind tag = ExprKind::Try;
  const Expr* tried;
  Name catch_var;
  List<Stmt> catch_block;  // `catch (e) expr` is a one-ExprStmt block
};
// `from v in source where ... group ... order by ... take ... select e`
struct Query : Expr {
  static constexpr ExprKind tag = ExprKind::Query;
  Name var;
  Name table;               // TableSource: the bare table name; empty for an ExprSource
  const Expr* source_expr;  // ExprSource: the source expression; null for a TableSource
  List<Expr> wheres;        // source order, possibly empty
  Name group_into;          // empty when there is no group clause
  const Expr* group_key;    // null when there is no group clause
  const Expr* order_key;    // null when there is no order clause
  bool descending;
  const Expr* take;         // null when there is no take clause
  const Expr* select;
  Pos from_pos;
};

// ---------------------------------------------------------------- declarations

enum class ParamMode : std::uint8_t { Borrowed, Mut, Take };

struct Param {
  NodeId id{};
  Pos pos{};
  ParamMode mode{};  // here it fills what would be padding before the name
  Name name{};
  const TypeExpr* ty{};
};

// A free function, a class method (including `static fn`), or, without a
// body, an interface signature.
struct Method {
  NodeId id{};
  Pos pos{};  // the `fn` keyword
  Name name{};
  std::span<const Param> params{};
  const TypeExpr* ret{};  // null when no return type is declared
  List<Stmt> body{};      // empty for interface signatures
  Pos body_end{};         // the body's closing `}`; 0:0 for a signature
  bool pub{};
  bool is_static{};
};
using Signature = Method;

enum class DefaultKind : std::uint8_t { None, Now, Tokens };

struct Field {
  NodeId id{};
  Pos pos{};  // the field name
  // The two bytes sit before the name, where they fill what would be padding.
  DefaultKind default_kind{};
  bool pub_read{};  // written `pub(read) name: T`
  Name name{};      // may be the word `type`
  const TypeExpr* ty{};
  std::span<const RawToken> default_tokens{};  // DefaultKind::Tokens only: the raw, unparsed value
  std::span<const Name> annotations{};         // `@name` after the type, arguments dropped
};

struct ConstRecord {
  NodeId id{};
  Pos pos{};
  Name name{};
  const Expr* value{};  // always a literal (a negative number is one IntLit/FloatLit)
};

struct TableConfig {
  bool has_name{};                         // `name:` was given (its text may be empty)
  Name name{};                             // meaningful only when has_name
  std::span<const std::span<const Name>> indexes{};  // each a non-empty column list
};

enum class DeclKind : std::uint8_t { ClassDecl, InterfaceDecl, FnDecl, UseDecl, ConstDecl, UnionDecl };

struct Decl : Tagged<Decl, DeclKind> {
  DeclKind kind;
  NodeId id;
  Pos pos;
};

// `type`, `class` and `typedef` records.
struct ClassDecl : Decl {
  static constexpr DeclKind tag = DeclKind::ClassDecl;
  Name name;
  bool is_class;    // declared with `class`
  bool is_typedef;  // `typedef Name = { ... }`
  bool gc;          // never set by the parser: gc-ness is inferred
  bool pub;
  const TableConfig* table;  // null without `@table`
  std::span<const Field> fields;
  List<Method> methods;  // source order, `static fn` included
  std::span<const ConstRecord> consts;
};

struct InterfaceDecl : Decl {
  static constexpr DeclKind tag = DeclKind::InterfaceDecl;
  Name name;
  List<Signature> sigs;
  bool pub;
};

// id and pos are those of the method record.
struct FnDecl : Decl {
  static constexpr DeclKind tag = DeclKind::FnDecl;
  const Method* fn;
};

struct UseDecl : Decl {
  static constexpr DeclKind tag = DeclKind::UseDecl;
  std::span<const Name> path;  // non-empty
  bool is_using;               // `using` rather than `use`
};

// id and pos are those of the const record.
struct ConstDecl : Decl {
  static constexpr DeclKind tag = DeclKind::ConstDecl;
  ConstRecord record;
};

struct PayloadField {
  Name name{};
  const TypeExpr* ty{};
};
struct Variant {
  Pos pos{};
  Name name{};
  std::span<const PayloadField> payload{};  // empty for a bare variant
};
struct UnionDecl : Decl {
  static constexpr DeclKind tag = DeclKind::UnionDecl;
  Name name;
  std::span<const Variant> variants;
  bool pub;
};

static_assert(sizeof(BinOp) == 32 && sizeof(Unary) == 24 && sizeof(Ident) == 32, "node layout grew");
static_assert(sizeof(Param) == 40 && sizeof(Field) == 72, "record layout grew");

// ---------------------------------------------------------------- storage

// Asks the kernel for huge pages over the whole 2 MB pages inside
// [begin, begin + size): one page fault per 2 MB instead of per 4 KB for
// memory that will be filled. Only advice; where there are none, nothing changes.
void prefer_huge_pages(void* begin, std::size_t size);

// Bump allocation for trivially destructible nodes, plus the name interner.
// Freed in one go; nodes never need destructors.
class Arena {
 public:
  Arena();
  // The first chunk holds `first_chunk` bytes: a parser that can tell the
  // size of the tree ahead spares the tail of a geometric last chunk.
  explicit Arena(std::size_t first_chunk);
  ~Arena();
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;

  // A value-initialised (zeroed) T, filled in by the caller before it is shared.
  template <class T>
  T* make() {
    static_assert(std::is_trivially_destructible_v<T>);
    return new (allocate(sizeof(T), alignof(T))) T{};
  }
  template <class T>
  T* make(const T& value) {
    static_assert(std::is_trivially_destructible_v<T>);
    return new (allocate(sizeof(T), alignof(T))) T(value);
  }
  // n value-initialised Ts.
  template <class T>
  std::span<T> make_array(std::size_t n) {
    static_assert(std::is_trivially_destructible_v<T>);
    if (n == 0) return {};
    T* out = static_cast<T*>(allocate(sizeof(T) * n, alignof(T)));
    for (std::size_t i = 0; i < n; ++i) new (out + i) T{};
    return {out, n};
  }
  template <class T>
  std::span<const T> copy(std::span<const T> items) {
    static_assert(std::is_trivially_destructible_v<T>);
    if (items.empty()) return {};
    T* out = static_cast<T*>(allocate(sizeof(T) * items.size(), alignof(T)));
    for (std::size_t i = 0; i < items.size(); ++i) new (out + i) T(items[i]);
    return {out, items.size()};
  }
  // One stored copy per distinct byte string.
  std::string_view intern(std::string_view text);
  // Drops the interning table once no more names are coming (the parse is
  // over): stored names stay, a later name would only not be shared.
  void forget_interned();
  // A stored copy, not shared.
  std::string_view copy_text(std::string_view text);

  std::size_t bytes_used() const { return used_; }

 private:
  void* allocate(std::size_t size, std::size_t align);
  void grow();

  std::vector<std::unique_ptr<std::byte[]>> chunks_;
  std::byte* cur_ = nullptr;
  std::byte* end_ = nullptr;
  std::size_t used_ = 0;
  std::size_t next_chunk_ = 64 * 1024;
  // Open addressing over interned views; empty slots have a null data pointer.
  std::vector<std::string_view> slots_;
  std::vector<std::uint32_t> hashes_;  // high hash bits of each slot
  std::size_t interned_ = 0;
};

// One file's tree. Copying a Program is cheap and shares its nodes.
struct Program {
  List<Decl> decls;  // source order
  // Every arena holding a node reachable from `decls`; a tree derived by
  // constant substitution shares the arenas of the tree it came from.
  std::vector<std::shared_ptr<const Arena>> arenas;
  NodeId next_id = 1;  // larger than every id in the tree
};

// The arms with every non-default arm first, each group in source order.
std::vector<const SwitchArm*> switch_lowering_order(std::span<const SwitchArm> arms);

}  // namespace Ast
