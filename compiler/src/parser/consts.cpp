// The const pass: top-level (and member) constants replace the names they
// bind inside function bodies. The result is a new tree that shares every
// subtree without a substitution with the input tree.
#include <algorithm>

#include "ast/rebuild.hpp"
#include "parser/parser.hpp"

namespace Parser {

namespace {

// Substitutes constants in one method at a time. A name bound in the method
// (`self`, a parameter, a `let`, a loop, catch or query variable) hides a
// constant of the same name in its scope.
class Subst : public Ast::Rebuilder<Subst> {
 public:
  Subst(Ast::Arena& arena, Ast::NodeId& next_id) : Rebuilder(arena), next_id_(next_id) {}

  // The method with constants substituted, or `m` itself when nothing changed.
  // `members` are the consts of the method's class, which take precedence.
  const Ast::Method* substitute(const Ast::Method* m, const ConstTable& table,
                                std::span<const Ast::ConstRecord> members) {
    table_ = &table;
    members_ = members;
    bound_.clear();
    bound_.push_back("self");
    for (const Ast::Param& p : m->params) bound_.push_back(p.name);
    return method(m);
  }

 private:
  friend class Ast::Rebuilder<Subst>;

  const Ast::Expr* constant(Ast::Name name) const {
    for (auto c = members_.rbegin(); c != members_.rend(); ++c)  // the last one wins
      if (c->name == name) return c->value;
    auto it = table_->find(name);
    return it == table_->end() ? nullptr : it->second;
  }

  bool is_bound(Ast::Name name) const {
    return std::find(bound_.rbegin(), bound_.rend(), name) != bound_.rend();
  }

  // A fresh copy of a constant's literal standing where its name was used.
  const Ast::Expr* literal_at(const Ast::Expr* value, const Ast::Expr* use) {
    Ast::Expr* copy = nullptr;
    switch (value->kind) {
      case Ast::ExprKind::IntLit: copy = arena().make(value->as<Ast::IntLit>()); break;
      case Ast::ExprKind::FloatLit: copy = arena().make(value->as<Ast::FloatLit>()); break;
      case Ast::ExprKind::BoolLit: copy = arena().make(value->as<Ast::BoolLit>()); break;
      case Ast::ExprKind::TextLit: {
        auto* text = arena().make(value->as<Ast::TextLit>());
        text->value = arena().copy_text(text->value);  // the source tree may be another file's
        copy = text;
        break;
      }
      case Ast::ExprKind::Nil: copy = arena().make(value->as<Ast::Nil>()); break;
      default: return value;  // constants are literals; anything else is shared as is
    }
    copy->id = next_id_++;
    copy->pos = use->pos;
    return copy;
  }

  // Rebuilder hooks: names are looked up here, scopes kept in `bound_`.
  const Ast::Expr* expr(const Ast::Expr* e) {
    const auto* ident = e->get_if<Ast::Ident>();
    if (ident == nullptr) return rebuild_children(e);
    const Ast::Expr* value = constant(ident->name);
    if (value == nullptr || is_bound(ident->name)) return e;
    return literal_at(value, e);
  }
  std::size_t open_scope() const { return bound_.size(); }
  void close_scope(std::size_t mark) { bound_.resize(mark); }
  void bind(Ast::Name name) { bound_.push_back(name); }

  Ast::NodeId& next_id_;
  const ConstTable* table_ = nullptr;
  std::span<const Ast::ConstRecord> members_;
  std::vector<Ast::Name> bound_;  // innermost binding last
};

}  // namespace

ConstTable top_level_consts(const Ast::Program& program) {
  ConstTable table;
  for (const Ast::Decl* decl : program.decls)
    if (const auto* c = decl->get_if<Ast::ConstDecl>()) table[c->record.name] = c->record.value;
  return table;
}

Ast::Program subst_consts(const ConstTable* extra, const Ast::Program& program) {
  ConstTable table = top_level_consts(program);
  if (extra != nullptr)
    for (const auto& [name, value] : *extra) table[name] = value;
  bool any_member_consts = false;
  for (const Ast::Decl* decl : program.decls)
    if (const auto* c = decl->get_if<Ast::ClassDecl>()) any_member_consts |= !c->consts.empty();
  if (table.empty() && !any_member_consts) return program;

  auto arena = std::make_shared<Ast::Arena>();
  Ast::NodeId next_id = program.next_id;
  Subst subst(*arena, next_id);
  std::vector<const Ast::Decl*> decls(program.decls.begin(), program.decls.end());
  bool changed = false;
  for (const Ast::Decl*& decl : decls) {
    if (const auto* fn = decl->get_if<Ast::FnDecl>()) {
      const Ast::Method* method = subst.substitute(fn->fn, table, {});
      if (method == fn->fn) continue;
      Ast::FnDecl* copy = arena->make(*fn);
      copy->fn = method;
      decl = copy;
      changed = true;
    } else if (const auto* cls = decl->get_if<Ast::ClassDecl>()) {
      if (cls->methods.empty() || (table.empty() && cls->consts.empty())) continue;
      std::span<const Ast::Method*> methods = arena->make_array<const Ast::Method*>(cls->methods.size());
      bool methods_changed = false;
      for (std::size_t i = 0; i < methods.size(); ++i) {
        methods[i] = subst.substitute(cls->methods[i], table, cls->consts);
        methods_changed |= methods[i] != cls->methods[i];
      }
      if (!methods_changed) continue;
      Ast::ClassDecl* copy = arena->make(*cls);
      copy->methods = Ast::List<Ast::Method>(methods.data(), methods.size());
      decl = copy;
      changed = true;
    }
  }
  if (!changed) return program;
  Ast::Program result;
  std::span<const Ast::Decl*> stored = arena->make_array<const Ast::Decl*>(decls.size());
  std::copy(decls.begin(), decls.end(), stored.begin());
  result.decls = Ast::List<Ast::Decl>(stored.data(), stored.size());
  result.arenas = program.arenas;
  result.arenas.push_back(std::move(arena));
  result.next_id = next_id;
  return result;
}

}  // namespace Parser
