// `using` extensions: finding the free function a method-style call means,
// and rewriting such calls into plain calls for the later stages.
#include "types/types.hpp"

namespace Types {

std::vector<std::string> using_modules(const Ast::Program& tree) {
  std::vector<std::string> out;
  for (const Ast::UseDecl* u : uses_of_program(tree)) {
    if (u->is_using && !u->path.empty()) out.push_back(path_str(u->path));
  }
  return out;
}

const FnInfo* using_extension(const ModuleTables& modules, std::span<const std::string> using_mods,
                              std::string_view name, const Typ& receiver) {
  for (const std::string& module : using_mods) {
    auto table = modules.find(module);
    if (table == modules.end()) continue;
    const FnInfo* fn = table->second.functions.find(name);
    if (!fn || !fn->pub || !fn->fn || fn->fn->params.empty() || !fn->fn->params[0].ty) continue;
    if (typ_equal(table->second, typ_of_field_ty(*fn->fn->params[0].ty), receiver)) return fn;
  }
  return nullptr;
}

void report_using_clash(const std::string& path, Diag::Collector& collector, Ast::Pos pos,
                        std::string_view method, std::string_view class_name) {
  std::string m(method);
  std::string c(class_name);
  collector.add(Diag::error(using_clash_code, path, pos.line, pos.col,
                            "`" + m + "` is both a real method of `" + c +
                                "` and a `using` extension — rename one; an extension never overrides a method"));
}

namespace {

// Rebuilds the parts of a tree that lead to a recorded call; everything else
// is shared with the original. New nodes go into the rewriter's arena.
class Rewriter {
 public:
  Rewriter(const std::unordered_set<Ast::NodeId>& calls, Ast::Arena& arena, Ast::NodeId next_id)
      : calls_(calls), arena_(arena), next_id_(next_id) {}

  Ast::NodeId next_id() const { return next_id_; }

  Ast::List<Ast::Decl> decls(Ast::List<Ast::Decl> list) { return rebuild_list(list, &Rewriter::decl); }

 private:
  template <class T, class F>
  Ast::List<T> rebuild_list(Ast::List<T> list, F each) {
    std::vector<const T*> out;
    bool changed = false;
    for (std::size_t i = 0; i < list.size(); ++i) {
      const T* now = (this->*each)(list[i]);
      if (now != list[i] && !changed) {
        changed = true;
        out.assign(list.begin(), list.begin() + static_cast<std::ptrdiff_t>(i));
      }
      if (changed) out.push_back(now);
    }
    if (!changed) return list;
    return arena_.copy(std::span<const T* const>(out));
  }

  template <class Node>
  const Node* changed_copy(const Node& original, bool changed, Node&& edited) {
    return changed ? arena_.make(edited) : &original;
  }

  const Ast::Decl* decl(const Ast::Decl* d) {
    if (const auto* c = d->get_if<Ast::ClassDecl>()) {
      Ast::ClassDecl copy = *c;
      copy.methods = rebuild_list(c->methods, &Rewriter::method);
      return changed_copy<Ast::ClassDecl>(*c, copy.methods.data() != c->methods.data(), std::move(copy));
    }
    if (const auto* f = d->get_if<Ast::FnDecl>()) {
      if (!f->fn) return d;
      Ast::FnDecl copy = *f;
      copy.fn = method(f->fn);
      return changed_copy<Ast::FnDecl>(*f, copy.fn != f->fn, std::move(copy));
    }
    return d;
  }

  const Ast::Method* method(const Ast::Method* m) {
    Ast::Method copy = *m;
    copy.body = stmts(m->body);
    return changed_copy<Ast::Method>(*m, copy.body.data() != m->body.data(), std::move(copy));
  }

  Ast::List<Ast::Stmt> stmts(Ast::List<Ast::Stmt> list) { return rebuild_list(list, &Rewriter::stmt); }

  const Ast::Stmt* stmt(const Ast::Stmt* s) {
    if (!s) return s;
    switch (s->kind) {
      case Ast::StmtKind::Break:
      case Ast::StmtKind::Continue:
        return s;
      case Ast::StmtKind::Let: {
        Ast::Let copy = s->as<Ast::Let>();
        copy.value = expr(copy.value);
        return changed_copy<Ast::Let>(s->as<Ast::Let>(), copy.value != s->as<Ast::Let>().value, std::move(copy));
      }
      case Ast::StmtKind::Assign: {
        const auto& a = s->as<Ast::Assign>();
        Ast::Assign copy = a;
        copy.target = expr(a.target);
        copy.value = expr(a.value);
        return changed_copy<Ast::Assign>(a, copy.target != a.target || copy.value != a.value, std::move(copy));
      }
      case Ast::StmtKind::If: {
        const auto& i = s->as<Ast::If>();
        Ast::If copy = i;
        copy.cond = expr(i.cond);
        copy.then_block = stmts(i.then_block);
        if (i.else_part) {
          Ast::ElsePart else_copy = *i.else_part;
          else_copy.body = stmts(i.else_part->body);
          copy.else_part = changed_copy<Ast::ElsePart>(*i.else_part, else_copy.body.data() != i.else_part->body.data(),
                                                       std::move(else_copy));
        }
        bool changed = copy.cond != i.cond || copy.then_block.data() != i.then_block.data() ||
                       copy.else_part != i.else_part;
        return changed_copy<Ast::If>(i, changed, std::move(copy));
      }
      case Ast::StmtKind::While: {
        const auto& w = s->as<Ast::While>();
        Ast::While copy = w;
        copy.cond = expr(w.cond);
        copy.body = stmts(w.body);
        return changed_copy<Ast::While>(w, copy.cond != w.cond || copy.body.data() != w.body.data(), std::move(copy));
      }
      case Ast::StmtKind::For: {
        const auto& f = s->as<Ast::For>();
        Ast::For copy = f;
        copy.iterable = expr(f.iterable);
        copy.body = stmts(f.body);
        return changed_copy<Ast::For>(f, copy.iterable != f.iterable || copy.body.data() != f.body.data(),
                                      std::move(copy));
      }
      case Ast::StmtKind::Return: {
        const auto& r = s->as<Ast::Return>();
        Ast::Return copy = r;
        copy.value = expr(r.value);
        return changed_copy<Ast::Return>(r, copy.value != r.value, std::move(copy));
      }
      case Ast::StmtKind::ExprStmt: {
        const auto& e = s->as<Ast::ExprStmt>();
        Ast::ExprStmt copy = e;
        copy.expr = expr(e.expr);
        return changed_copy<Ast::ExprStmt>(e, copy.expr != e.expr, std::move(copy));
      }
      case Ast::StmtKind::DoWhile: {
        const auto& d = s->as<Ast::DoWhile>();
        Ast::DoWhile copy = d;
        copy.body = stmts(d.body);
        copy.cond = expr(d.cond);
        return changed_copy<Ast::DoWhile>(d, copy.cond != d.cond || copy.body.data() != d.body.data(),
                                          std::move(copy));
      }
    }
    return s;
  }

  Ast::List<Ast::Expr> exprs(Ast::List<Ast::Expr> list) { return rebuild_list(list, &Rewriter::expr); }

  std::span<const Ast::FieldInit> fields(std::span<const Ast::FieldInit> inits) {
    std::vector<Ast::FieldInit> out(inits.begin(), inits.end());
    bool changed = false;
    for (Ast::FieldInit& f : out) {
      const Ast::Expr* now = expr(f.value);
      changed = changed || now != f.value;
      f.value = now;
    }
    return changed ? arena_.copy(std::span<const Ast::FieldInit>(out)) : inits;
  }

  const Ast::Expr* expr(const Ast::Expr* e) {
    if (!e) return e;
    switch (e->kind) {
      case Ast::ExprKind::Nil:
      case Ast::ExprKind::EmptyMap:
      case Ast::ExprKind::IntLit:
      case Ast::ExprKind::FloatLit:
      case Ast::ExprKind::TextLit:
      case Ast::ExprKind::BoolLit:
      case Ast::ExprKind::Ident:
      case Ast::ExprKind::DbStub:
        return e;
      case Ast::ExprKind::FieldAccess: {
        const auto& f = e->as<Ast::FieldAccess>();
        Ast::FieldAccess copy = f;
        copy.object = expr(f.object);
        return changed_copy<Ast::FieldAccess>(f, copy.object != f.object, std::move(copy));
      }
      case Ast::ExprKind::Index: {
        const auto& i = e->as<Ast::Index>();
        Ast::Index copy = i;
        copy.collection = expr(i.collection);
        copy.index = expr(i.index);
        return changed_copy<Ast::Index>(i, copy.collection != i.collection || copy.index != i.index,
                                        std::move(copy));
      }
      case Ast::ExprKind::Call:
        return call(e->as<Ast::Call>());
      case Ast::ExprKind::Unary: {
        const auto& u = e->as<Ast::Unary>();
        Ast::Unary copy = u;
        copy.operand = expr(u.operand);
        return changed_copy<Ast::Unary>(u, copy.operand != u.operand, std::move(copy));
      }
      case Ast::ExprKind::BinOp: {
        const auto& b = e->as<Ast::BinOp>();
        Ast::BinOp copy = b;
        copy.left = expr(b.left);
        copy.right = expr(b.right);
        return changed_copy<Ast::BinOp>(b, copy.left != b.left || copy.right != b.right, std::move(copy));
      }
      case Ast::ExprKind::Ctor: {
        const auto& c = e->as<Ast::Ctor>();
        Ast::Ctor copy = c;
        copy.fields = fields(c.fields);
        return changed_copy<Ast::Ctor>(c, copy.fields.data() != c.fields.data(), std::move(copy));
      }
      case Ast::ExprKind::Insert: {
        const auto& c = e->as<Ast::Insert>();
        Ast::Insert copy = c;
        copy.fields = fields(c.fields);
        return changed_copy<Ast::Insert>(c, copy.fields.data() != c.fields.data(), std::move(copy));
      }
      case Ast::ExprKind::Spawn: {
        const auto& c = e->as<Ast::Spawn>();
        Ast::Spawn copy = c;
        copy.fields = fields(c.fields);
        return changed_copy<Ast::Spawn>(c, copy.fields.data() != c.fields.data(), std::move(copy));
      }
      case Ast::ExprKind::Delete: {
        const auto& d = e->as<Ast::Delete>();
        Ast::Delete copy = d;
        copy.target = expr(d.target);
        return changed_copy<Ast::Delete>(d, copy.target != d.target, std::move(copy));
      }
      case Ast::ExprKind::Interp: {
        const auto& i = e->as<Ast::Interp>();
        Ast::Interp copy = i;
        copy.value = expr(i.value);
        return changed_copy<Ast::Interp>(i, copy.value != i.value, std::move(copy));
      }
      case Ast::ExprKind::Switch:
        return switch_expr(e->as<Ast::Switch>());
      case Ast::ExprKind::ListLit: {
        const auto& l = e->as<Ast::ListLit>();
        Ast::ListLit copy = l;
        copy.elements = exprs(l.elements);
        return changed_copy<Ast::ListLit>(l, copy.elements.data() != l.elements.data(), std::move(copy));
      }
      case Ast::ExprKind::As: {
        const auto& a = e->as<Ast::As>();
        Ast::As copy = a;
        copy.value = expr(a.value);
        return changed_copy<Ast::As>(a, copy.value != a.value, std::move(copy));
      }
      case Ast::ExprKind::Try: {
        const auto& t = e->as<Ast::Try>();
        Ast::Try copy = t;
        copy.tried = expr(t.tried);
        copy.catch_block = stmts(t.catch_block);
        return changed_copy<Ast::Try>(t, copy.tried != t.tried || copy.catch_block.data() != t.catch_block.data(),
                                      std::move(copy));
      }
      case Ast::ExprKind::Query: {
        const auto& q = e->as<Ast::Query>();
        Ast::Query copy = q;
        copy.source_expr = expr(q.source_expr);
        copy.wheres = exprs(q.wheres);
        copy.group_key = expr(q.group_key);
        copy.order_key = expr(q.order_key);
        copy.take = expr(q.take);
        copy.select = expr(q.select);
        bool changed = copy.source_expr != q.source_expr || copy.wheres.data() != q.wheres.data() ||
                       copy.group_key != q.group_key || copy.order_key != q.order_key || copy.take != q.take ||
                       copy.select != q.select;
        return changed_copy<Ast::Query>(q, changed, std::move(copy));
      }
    }
    return e;
  }

  const Ast::Expr* switch_expr(const Ast::Switch& sw) {
    Ast::Switch copy = sw;
    copy.scrutinee = expr(sw.scrutinee);
    std::vector<Ast::SwitchArm> arms(sw.arms.begin(), sw.arms.end());
    bool arms_changed = false;
    for (Ast::SwitchArm& arm : arms) {
      Ast::List<Ast::Expr> values = exprs(arm.values);
      Ast::List<Ast::Stmt> body = stmts(arm.body);
      arms_changed = arms_changed || values.data() != arm.values.data() || body.data() != arm.body.data();
      arm.values = values;
      arm.body = body;
    }
    if (arms_changed) copy.arms = arena_.copy(std::span<const Ast::SwitchArm>(arms));
    return changed_copy<Ast::Switch>(sw, arms_changed || copy.scrutinee != sw.scrutinee, std::move(copy));
  }

  // `x.f(args)` recorded as an extension call becomes `f(x, args)`; the call
  // keeps its id and position, the new callee gets a fresh id.
  const Ast::Expr* call(const Ast::Call& c) {
    const Ast::Expr* callee = expr(c.callee);
    Ast::List<Ast::Expr> args = exprs(c.args);
    const auto* access = callee ? callee->get_if<Ast::FieldAccess>() : nullptr;
    if (access && calls_.count(c.id)) {
      auto* name = arena_.make<Ast::Ident>();
      name->kind = Ast::ExprKind::Ident;
      name->id = next_id_++;
      name->pos = access->pos;
      name->name = access->field;
      std::vector<const Ast::Expr*> all;
      all.reserve(args.size() + 1);
      all.push_back(access->object);
      all.insert(all.end(), args.begin(), args.end());
      Ast::Call copy = c;
      copy.callee = name;
      copy.args = arena_.copy(std::span<const Ast::Expr* const>(all));
      return arena_.make(copy);
    }
    Ast::Call copy = c;
    copy.callee = callee;
    copy.args = args;
    return changed_copy<Ast::Call>(c, callee != c.callee || args.data() != c.args.data(), std::move(copy));
  }

  const std::unordered_set<Ast::NodeId>& calls_;
  Ast::Arena& arena_;
  Ast::NodeId next_id_;
};

}  // namespace

Ast::Program apply_using_rewrites(const std::string& path, const Ast::Program& tree,
                                  const UsingRewrites& rewrites) {
  auto calls = rewrites.calls.find(path);
  if (calls == rewrites.calls.end() || calls->second.empty()) return tree;
  auto arena = std::make_shared<Ast::Arena>();
  Rewriter rewriter(calls->second, *arena, tree.next_id);
  Ast::Program out = tree;
  out.decls = rewriter.decls(tree.decls);
  out.next_id = rewriter.next_id();
  out.arenas.push_back(std::move(arena));
  return out;
}

}  // namespace Types
