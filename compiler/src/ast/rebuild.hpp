// Copy-on-change rebuilding, for passes that derive a new tree from an old
// one. A node is copied only when one of its children changed; every other
// node is returned as is, so the new tree shares all untouched subtrees with
// the old one and keeps their ids and positions. Copies go into the arena the
// pass hands in. Recursion follows the tree, whose depth the parser bounds.
//
// A pass derives from Rebuilder<Pass> and may redefine, as its hooks:
//   const Expr* expr(const Expr*)   one expression (never null); falls back
//   const Stmt* stmt(const Stmt*)   one statement  (never null); on rebuild_children
//   std::size_t open_scope()        a mark to hand back to close_scope
//   void close_scope(std::size_t)   drops the names bound since the mark
//   void bind(Name)                 a name comes into scope
// The scope hooks follow the language's binding rules: a block is a scope
// and its `let`s bind from the next statement on; a `for` binds its
// variables in its body, a `try` its catch variable in the catch block, and a
// query its range variable after the source and its group variable after the
// group key. Children are visited in source order.
#pragma once

#include <cstddef>
#include <vector>

#include "ast/ast.hpp"

namespace Ast {

template <class Pass>
class Rebuilder {
 public:
  explicit Rebuilder(Arena& arena) : arena_(arena) {}

  // Functions and class methods; other declarations have no bodies to rebuild.
  List<Decl> decls(List<Decl> list) {
    return rebuild_list(list, [this](const Decl* d) -> const Decl* {
      if (const auto* c = d->get_if<ClassDecl>()) {
        ClassDecl copy = *c;
        copy.methods = rebuild_list(c->methods, [this](const Method* m) { return method(m); });
        return keep_or_copy(*c, copy, copy.methods.data() != c->methods.data());
      }
      if (const auto* f = d->get_if<FnDecl>(); f && f->fn) {
        FnDecl copy = *f;
        copy.fn = method(f->fn);
        return keep_or_copy(*f, copy, copy.fn != f->fn);
      }
      return d;
    });
  }

  const Method* method(const Method* m) {
    Method copy = *m;
    copy.body = block(m->body);
    return keep_or_copy(*m, copy, copy.body.data() != m->body.data());
  }

  List<Stmt> block(List<Stmt> list) {
    std::size_t scope = pass().open_scope();
    List<Stmt> out = rebuild_list(list, [this](const Stmt* s) { return child(s); });
    pass().close_scope(scope);
    return out;
  }

  List<Expr> exprs(List<Expr> list) {
    return rebuild_list(list, [this](const Expr* e) { return child(e); });
  }

  // The default hooks: rebuild the children, bind nothing.
  const Stmt* stmt(const Stmt* s) { return rebuild_children(s); }
  const Expr* expr(const Expr* e) { return rebuild_children(e); }
  std::size_t open_scope() { return 0; }
  void close_scope(std::size_t) {}
  void bind(Name) {}

 protected:
  Arena& arena() { return arena_; }

  // `s` with each child passed through the pass's hooks.
  const Stmt* rebuild_children(const Stmt* s) {
    switch (s->kind) {
      case StmtKind::Break:
      case StmtKind::Continue:
        return s;
      case StmtKind::Let: {
        const auto& let = s->as<Let>();
        Let copy = let;
        copy.value = child(let.value);
        pass().bind(let.name);
        return keep_or_copy(let, copy, copy.value != let.value);
      }
      case StmtKind::Assign: {
        const auto& a = s->as<Assign>();
        Assign copy = a;
        copy.target = child(a.target);
        copy.value = child(a.value);
        return keep_or_copy(a, copy, copy.target != a.target || copy.value != a.value);
      }
      case StmtKind::If: {
        const auto& i = s->as<If>();
        If copy = i;
        copy.cond = child(i.cond);
        copy.then_block = block(i.then_block);
        if (i.else_part) {
          ElsePart else_copy = *i.else_part;
          else_copy.body = block(i.else_part->body);
          copy.else_part = keep_or_copy(*i.else_part, else_copy, else_copy.body.data() != i.else_part->body.data());
        }
        return keep_or_copy(i, copy, copy.cond != i.cond || copy.then_block.data() != i.then_block.data() ||
                                         copy.else_part != i.else_part);
      }
      case StmtKind::While: {
        const auto& w = s->as<While>();
        While copy = w;
        copy.cond = child(w.cond);
        copy.body = block(w.body);
        return keep_or_copy(w, copy, copy.cond != w.cond || copy.body.data() != w.body.data());
      }
      case StmtKind::For: {
        const auto& f = s->as<For>();
        For copy = f;
        copy.iterable = child(f.iterable);
        std::size_t scope = pass().open_scope();
        pass().bind(f.var);
        if (!f.second_var.empty()) pass().bind(f.second_var);
        copy.body = block(f.body);
        pass().close_scope(scope);
        return keep_or_copy(f, copy, copy.iterable != f.iterable || copy.body.data() != f.body.data());
      }
      case StmtKind::Return: {
        const auto& r = s->as<Return>();
        Return copy = r;
        copy.value = child(r.value);
        return keep_or_copy(r, copy, copy.value != r.value);
      }
      case StmtKind::ExprStmt: {
        const auto& e = s->as<ExprStmt>();
        ExprStmt copy = e;
        copy.expr = child(e.expr);
        return keep_or_copy(e, copy, copy.expr != e.expr);
      }
      case StmtKind::DoWhile: {
        const auto& d = s->as<DoWhile>();
        DoWhile copy = d;
        copy.body = block(d.body);
        copy.cond = child(d.cond);
        return keep_or_copy(d, copy, copy.cond != d.cond || copy.body.data() != d.body.data());
      }
    }
    return s;
  }

  // `e` with each child passed through the pass's hooks.
  const Expr* rebuild_children(const Expr* e) {
    switch (e->kind) {
      case ExprKind::Nil:
      case ExprKind::EmptyMap:
      case ExprKind::IntLit:
      case ExprKind::FloatLit:
      case ExprKind::TextLit:
      case ExprKind::BoolLit:
      case ExprKind::Ident:
      case ExprKind::DbStub:
        return e;
      case ExprKind::FieldAccess: {
        const auto& f = e->as<FieldAccess>();
        FieldAccess copy = f;
        copy.object = child(f.object);
        return keep_or_copy(f, copy, copy.object != f.object);
      }
      case ExprKind::Index: {
        const auto& i = e->as<Index>();
        Index copy = i;
        copy.collection = child(i.collection);
        copy.index = child(i.index);
        return keep_or_copy(i, copy, copy.collection != i.collection || copy.index != i.index);
      }
      case ExprKind::Call: {
        const auto& c = e->as<Call>();
        Call copy = c;
        copy.callee = child(c.callee);
        copy.args = exprs(c.args);
        return keep_or_copy(c, copy, copy.callee != c.callee || copy.args.data() != c.args.data());
      }
      case ExprKind::Unary: {
        const auto& u = e->as<Unary>();
        Unary copy = u;
        copy.operand = child(u.operand);
        return keep_or_copy(u, copy, copy.operand != u.operand);
      }
      case ExprKind::BinOp: {
        const auto& b = e->as<BinOp>();
        BinOp copy = b;
        copy.left = child(b.left);
        copy.right = child(b.right);
        return keep_or_copy(b, copy, copy.left != b.left || copy.right != b.right);
      }
      case ExprKind::Ctor: return with_fields(e->as<Ctor>());
      case ExprKind::Insert: return with_fields(e->as<Insert>());
      case ExprKind::Spawn: return with_fields(e->as<Spawn>());
      case ExprKind::Delete: {
        const auto& d = e->as<Delete>();
        Delete copy = d;
        copy.target = child(d.target);
        return keep_or_copy(d, copy, copy.target != d.target);
      }
      case ExprKind::Interp: {
        const auto& i = e->as<Interp>();
        Interp copy = i;
        copy.value = child(i.value);
        return keep_or_copy(i, copy, copy.value != i.value);
      }
      case ExprKind::Switch: return switch_children(e->as<Switch>());
      case ExprKind::ListLit: {
        const auto& l = e->as<ListLit>();
        ListLit copy = l;
        copy.elements = exprs(l.elements);
        return keep_or_copy(l, copy, copy.elements.data() != l.elements.data());
      }
      case ExprKind::As: {
        const auto& a = e->as<As>();
        As copy = a;
        copy.value = child(a.value);
        return keep_or_copy(a, copy, copy.value != a.value);
      }
      case ExprKind::Try: {
        const auto& t = e->as<Try>();
        Try copy = t;
        copy.tried = child(t.tried);
        std::size_t scope = pass().open_scope();
        pass().bind(t.catch_var);
        copy.catch_block = block(t.catch_block);
        pass().close_scope(scope);
        return keep_or_copy(t, copy, copy.tried != t.tried || copy.catch_block.data() != t.catch_block.data());
      }
      case ExprKind::Query: return query_children(e->as<Query>());
    }
    return e;
  }

 private:
  Pass& pass() { return static_cast<Pass&>(*this); }

  const Stmt* child(const Stmt* s) { return s ? pass().stmt(s) : s; }
  const Expr* child(const Expr* e) { return e ? pass().expr(e) : e; }

  template <class Node>
  const Node* keep_or_copy(const Node& original, const Node& edited, bool changed) {
    return changed ? arena_.make(edited) : &original;
  }

  // The list itself, or a new one in the arena once any element changed.
  template <class T, class Each>
  List<T> rebuild_list(List<T> list, Each each) {
    std::vector<const T*> out;
    bool changed = false;
    for (std::size_t i = 0; i < list.size(); ++i) {
      const T* now = each(list[i]);
      if (now != list[i] && !changed) {
        changed = true;
        out.assign(list.begin(), list.begin() + static_cast<std::ptrdiff_t>(i));
      }
      if (changed) out.push_back(now);
    }
    if (!changed) return list;
    return arena_.copy(std::span<const T* const>(out));
  }

  // Ctor, Insert and Spawn: a class name and field initialisers.
  template <class Node>
  const Expr* with_fields(const Node& node) {
    std::vector<FieldInit> inits(node.fields.begin(), node.fields.end());
    bool changed = false;
    for (FieldInit& init : inits) {
      const Expr* now = child(init.value);
      changed = changed || now != init.value;
      init.value = now;
    }
    if (!changed) return &node;
    Node copy = node;
    copy.fields = arena_.copy(std::span<const FieldInit>(inits));
    return arena_.make(copy);
  }

  const Expr* switch_children(const Switch& sw) {
    Switch copy = sw;
    copy.scrutinee = child(sw.scrutinee);
    std::vector<SwitchArm> arms(sw.arms.begin(), sw.arms.end());
    bool arms_changed = false;
    for (SwitchArm& arm : arms) {
      List<Expr> values = exprs(arm.values);
      List<Stmt> body = block(arm.body);
      arms_changed = arms_changed || values.data() != arm.values.data() || body.data() != arm.body.data();
      arm.values = values;
      arm.body = body;
    }
    if (arms_changed) copy.arms = arena_.copy(std::span<const SwitchArm>(arms));
    return keep_or_copy(sw, copy, arms_changed || copy.scrutinee != sw.scrutinee);
  }

  const Expr* query_children(const Query& q) {
    Query copy = q;
    std::size_t scope = pass().open_scope();
    copy.source_expr = child(q.source_expr);
    pass().bind(q.var);
    copy.wheres = exprs(q.wheres);
    copy.group_key = child(q.group_key);
    if (!q.group_into.empty()) pass().bind(q.group_into);
    copy.order_key = child(q.order_key);
    copy.take = child(q.take);
    copy.select = child(q.select);
    pass().close_scope(scope);
    bool changed = copy.source_expr != q.source_expr || copy.wheres.data() != q.wheres.data() ||
                   copy.group_key != q.group_key || copy.order_key != q.order_key || copy.take != q.take ||
                   copy.select != q.select;
    return keep_or_copy(q, copy, changed);
  }

  Arena& arena_;
};

}  // namespace Ast
