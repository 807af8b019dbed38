// The const pass: top-level (and member) constants replace the names they
// bind inside function bodies. The result is a new tree that shares every
// subtree without a substitution with the input tree.
#include <algorithm>

#include "parser/parser.hpp"

namespace Parser {

namespace {

class Subst {
 public:
  Subst(Ast::Arena& arena, Ast::NodeId& next_id) : arena_(arena), next_id_(next_id) {}

  // The method with constants substituted, or `m` itself when nothing changed.
  // `members` are the consts of the method's class, which take precedence.
  const Ast::Method* method(const Ast::Method* m, const ConstTable& table,
                            std::span<const Ast::ConstRecord> members) {
    table_ = &table;
    members_ = members;
    bound_.clear();
    bound_.push_back("self");
    for (const Ast::Param& p : m->params) bound_.push_back(p.name);
    Ast::List<Ast::Stmt> body = block(m->body);
    if (body.data() == m->body.data()) return m;
    Ast::Method* copy = arena_.make(*m);
    copy->body = body;
    return copy;
  }

 private:
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
      case Ast::ExprKind::IntLit: copy = arena_.make(value->as<Ast::IntLit>()); break;
      case Ast::ExprKind::FloatLit: copy = arena_.make(value->as<Ast::FloatLit>()); break;
      case Ast::ExprKind::BoolLit: copy = arena_.make(value->as<Ast::BoolLit>()); break;
      case Ast::ExprKind::TextLit: {
        auto* text = arena_.make(value->as<Ast::TextLit>());
        text->value = arena_.copy_text(text->value);  // the source tree may be another file's
        copy = text;
        break;
      }
      case Ast::ExprKind::Nil: copy = arena_.make(value->as<Ast::Nil>()); break;
      default: return value;  // constants are literals; anything else is shared as is
    }
    copy->id = next_id_++;
    copy->pos = use->pos;
    return copy;
  }

  Ast::List<Ast::Stmt> block(Ast::List<Ast::Stmt> stmts) {
    std::size_t scope = bound_.size();
    std::vector<const Ast::Stmt*> out;
    for (std::size_t i = 0; i < stmts.size(); ++i) {
      const Ast::Stmt* s = stmt(stmts[i]);
      if (s != stmts[i] && out.empty()) out.assign(stmts.begin(), stmts.begin() + i);
      if (!out.empty() || s != stmts[i]) out.push_back(s);
    }
    bound_.resize(scope);
    if (out.empty()) return stmts;
    return list(out);
  }

  template <class T>
  Ast::List<T> list(const std::vector<const T*>& items) {
    std::span<const T*> stored = arena_.make_array<const T*>(items.size());
    std::copy(items.begin(), items.end(), stored.begin());
    return Ast::List<T>(stored.data(), stored.size());
  }

  Ast::List<Ast::Expr> exprs(Ast::List<Ast::Expr> items) {
    std::vector<const Ast::Expr*> out;
    for (std::size_t i = 0; i < items.size(); ++i) {
      const Ast::Expr* e = expr(items[i]);
      if (e != items[i] && out.empty()) out.assign(items.begin(), items.begin() + i);
      if (!out.empty() || e != items[i]) out.push_back(e);
    }
    return out.empty() ? items : list(out);
  }

  std::span<const Ast::FieldInit> inits(std::span<const Ast::FieldInit> items) {
    std::vector<Ast::FieldInit> out(items.begin(), items.end());
    bool changed = false;
    for (Ast::FieldInit& init : out) {
      const Ast::Expr* e = expr(init.value);
      changed |= e != init.value;
      init.value = e;
    }
    return changed ? arena_.copy(std::span<const Ast::FieldInit>(out)) : items;
  }

  template <class T>
  T* clone(const Ast::Stmt* s) {
    return arena_.make(s->as<T>());
  }
  template <class T>
  T* clone(const Ast::Expr* e) {
    return arena_.make(e->as<T>());
  }

  const Ast::Stmt* stmt(const Ast::Stmt* s) {
    switch (s->kind) {
      case Ast::StmtKind::Break:
      case Ast::StmtKind::Continue: return s;
      case Ast::StmtKind::Let: {
        const auto& let = s->as<Ast::Let>();
        const Ast::Expr* value = expr(let.value);
        bound_.push_back(let.name);  // visible from the next statement on
        if (value == let.value) return s;
        auto* copy = clone<Ast::Let>(s);
        copy->value = value;
        return copy;
      }
      case Ast::StmtKind::Assign: {
        const auto& as = s->as<Ast::Assign>();
        const Ast::Expr* target = expr(as.target);
        const Ast::Expr* value = expr(as.value);
        if (target == as.target && value == as.value) return s;
        auto* copy = clone<Ast::Assign>(s);
        copy->target = target;
        copy->value = value;
        return copy;
      }
      case Ast::StmtKind::If: {
        const auto& node = s->as<Ast::If>();
        const Ast::Expr* cond = expr(node.cond);
        Ast::List<Ast::Stmt> then_block = block(node.then_block);
        const Ast::ElsePart* else_part = node.else_part;
        if (else_part != nullptr) {
          Ast::List<Ast::Stmt> body = block(else_part->body);
          if (body.data() != else_part->body.data()) {
            auto* part = arena_.make(*else_part);
            part->body = body;
            else_part = part;
          }
        }
        if (cond == node.cond && then_block.data() == node.then_block.data() &&
            else_part == node.else_part)
          return s;
        auto* copy = clone<Ast::If>(s);
        copy->cond = cond;
        copy->then_block = then_block;
        copy->else_part = else_part;
        return copy;
      }
      case Ast::StmtKind::While: {
        const auto& node = s->as<Ast::While>();
        const Ast::Expr* cond = expr(node.cond);
        Ast::List<Ast::Stmt> body = block(node.body);
        if (cond == node.cond && body.data() == node.body.data()) return s;
        auto* copy = clone<Ast::While>(s);
        copy->cond = cond;
        copy->body = body;
        return copy;
      }
      case Ast::StmtKind::For: {
        const auto& node = s->as<Ast::For>();
        const Ast::Expr* iterable = expr(node.iterable);
        std::size_t scope = bound_.size();
        bound_.push_back(node.var);
        if (!node.second_var.empty()) bound_.push_back(node.second_var);
        Ast::List<Ast::Stmt> body = block(node.body);
        bound_.resize(scope);
        if (iterable == node.iterable && body.data() == node.body.data()) return s;
        auto* copy = clone<Ast::For>(s);
        copy->iterable = iterable;
        copy->body = body;
        return copy;
      }
      case Ast::StmtKind::Return: {
        const auto& node = s->as<Ast::Return>();
        if (node.value == nullptr) return s;
        const Ast::Expr* value = expr(node.value);
        if (value == node.value) return s;
        auto* copy = clone<Ast::Return>(s);
        copy->value = value;
        return copy;
      }
      case Ast::StmtKind::ExprStmt: {
        const auto& node = s->as<Ast::ExprStmt>();
        const Ast::Expr* e = expr(node.expr);
        if (e == node.expr) return s;
        auto* copy = clone<Ast::ExprStmt>(s);
        copy->expr = e;
        return copy;
      }
      case Ast::StmtKind::DoWhile: {
        const auto& node = s->as<Ast::DoWhile>();
        Ast::List<Ast::Stmt> body = block(node.body);
        const Ast::Expr* cond = expr(node.cond);
        if (cond == node.cond && body.data() == node.body.data()) return s;
        auto* copy = clone<Ast::DoWhile>(s);
        copy->body = body;
        copy->cond = cond;
        return copy;
      }
    }
    return s;
  }

  const Ast::Expr* opt(const Ast::Expr* e) { return e == nullptr ? nullptr : expr(e); }

  const Ast::Expr* expr(const Ast::Expr* e) {
    switch (e->kind) {
      case Ast::ExprKind::Nil:
      case Ast::ExprKind::EmptyMap:
      case Ast::ExprKind::IntLit:
      case Ast::ExprKind::FloatLit:
      case Ast::ExprKind::TextLit:
      case Ast::ExprKind::BoolLit:
      case Ast::ExprKind::DbStub: return e;
      case Ast::ExprKind::Ident: {
        Ast::Name name = e->as<Ast::Ident>().name;
        const Ast::Expr* value = constant(name);
        if (value == nullptr || is_bound(name)) return e;
        return literal_at(value, e);
      }
      case Ast::ExprKind::FieldAccess: {
        const auto& node = e->as<Ast::FieldAccess>();
        const Ast::Expr* object = expr(node.object);
        if (object == node.object) return e;
        auto* copy = clone<Ast::FieldAccess>(e);
        copy->object = object;
        return copy;
      }
      case Ast::ExprKind::Index: {
        const auto& node = e->as<Ast::Index>();
        const Ast::Expr* collection = expr(node.collection);
        const Ast::Expr* index = expr(node.index);
        if (collection == node.collection && index == node.index) return e;
        auto* copy = clone<Ast::Index>(e);
        copy->collection = collection;
        copy->index = index;
        return copy;
      }
      case Ast::ExprKind::Call: {
        const auto& node = e->as<Ast::Call>();
        const Ast::Expr* callee = expr(node.callee);
        Ast::List<Ast::Expr> args = exprs(node.args);
        if (callee == node.callee && args.data() == node.args.data()) return e;
        auto* copy = clone<Ast::Call>(e);
        copy->callee = callee;
        copy->args = args;
        return copy;
      }
      case Ast::ExprKind::Unary: {
        const auto& node = e->as<Ast::Unary>();
        const Ast::Expr* operand = expr(node.operand);
        if (operand == node.operand) return e;
        auto* copy = clone<Ast::Unary>(e);
        copy->operand = operand;
        return copy;
      }
      case Ast::ExprKind::BinOp: {
        const auto& node = e->as<Ast::BinOp>();
        const Ast::Expr* left = expr(node.left);
        const Ast::Expr* right = expr(node.right);
        if (left == node.left && right == node.right) return e;
        auto* copy = clone<Ast::BinOp>(e);
        copy->left = left;
        copy->right = right;
        return copy;
      }
      case Ast::ExprKind::Ctor: {
        const auto& node = e->as<Ast::Ctor>();
        auto fields = inits(node.fields);
        if (fields.data() == node.fields.data()) return e;
        auto* copy = clone<Ast::Ctor>(e);
        copy->fields = fields;
        return copy;
      }
      case Ast::ExprKind::Insert: {
        const auto& node = e->as<Ast::Insert>();
        auto fields = inits(node.fields);
        if (fields.data() == node.fields.data()) return e;
        auto* copy = clone<Ast::Insert>(e);
        copy->fields = fields;
        return copy;
      }
      case Ast::ExprKind::Spawn: {
        const auto& node = e->as<Ast::Spawn>();
        auto fields = inits(node.fields);
        if (fields.data() == node.fields.data()) return e;
        auto* copy = clone<Ast::Spawn>(e);
        copy->fields = fields;
        return copy;
      }
      case Ast::ExprKind::Delete: {
        const auto& node = e->as<Ast::Delete>();
        const Ast::Expr* target = expr(node.target);
        if (target == node.target) return e;
        auto* copy = clone<Ast::Delete>(e);
        copy->target = target;
        return copy;
      }
      case Ast::ExprKind::Interp: {
        const auto& node = e->as<Ast::Interp>();
        const Ast::Expr* value = expr(node.value);
        if (value == node.value) return e;
        auto* copy = clone<Ast::Interp>(e);
        copy->value = value;
        return copy;
      }
      case Ast::ExprKind::ListLit: {
        const auto& node = e->as<Ast::ListLit>();
        Ast::List<Ast::Expr> elements = exprs(node.elements);
        if (elements.data() == node.elements.data()) return e;
        auto* copy = clone<Ast::ListLit>(e);
        copy->elements = elements;
        return copy;
      }
      case Ast::ExprKind::As: {
        const auto& node = e->as<Ast::As>();
        const Ast::Expr* value = expr(node.value);
        if (value == node.value) return e;
        auto* copy = clone<Ast::As>(e);
        copy->value = value;
        return copy;
      }
      case Ast::ExprKind::Switch: return switch_expr(e);
      case Ast::ExprKind::Try: {
        const auto& node = e->as<Ast::Try>();
        const Ast::Expr* tried = expr(node.tried);
        std::size_t scope = bound_.size();
        bound_.push_back(node.catch_var);
        Ast::List<Ast::Stmt> catch_block = block(node.catch_block);
        bound_.resize(scope);
        if (tried == node.tried && catch_block.data() == node.catch_block.data()) return e;
        auto* copy = clone<Ast::Try>(e);
        copy->tried = tried;
        copy->catch_block = catch_block;
        return copy;
      }
      case Ast::ExprKind::Query: return query(e);
    }
    return e;
  }

  const Ast::Expr* switch_expr(const Ast::Expr* e) {
    const auto& node = e->as<Ast::Switch>();
    const Ast::Expr* scrutinee = expr(node.scrutinee);
    std::vector<Ast::SwitchArm> arms(node.arms.begin(), node.arms.end());
    bool changed = scrutinee != node.scrutinee;
    for (Ast::SwitchArm& arm : arms) {
      Ast::List<Ast::Expr> values = exprs(arm.values);
      Ast::List<Ast::Stmt> body = block(arm.body);
      changed |= values.data() != arm.values.data() || body.data() != arm.body.data();
      arm.values = values;
      arm.body = body;
    }
    if (!changed) return e;
    auto* copy = clone<Ast::Switch>(e);
    copy->scrutinee = scrutinee;
    copy->arms = arena_.copy(std::span<const Ast::SwitchArm>(arms));
    return copy;
  }

  // The range variable is bound in every clause after the source; the group
  // variable in the clauses that read grouped rows (order, take, select).
  const Ast::Expr* query(const Ast::Expr* e) {
    const auto& node = e->as<Ast::Query>();
    std::size_t scope = bound_.size();
    const Ast::Expr* source = opt(node.source_expr);
    bound_.push_back(node.var);
    Ast::List<Ast::Expr> wheres = exprs(node.wheres);
    const Ast::Expr* group_key = opt(node.group_key);
    if (!node.group_into.empty()) bound_.push_back(node.group_into);
    const Ast::Expr* order_key = opt(node.order_key);
    const Ast::Expr* take = opt(node.take);
    const Ast::Expr* select = opt(node.select);
    bound_.resize(scope);
    if (source == node.source_expr && wheres.data() == node.wheres.data() &&
        group_key == node.group_key && order_key == node.order_key && take == node.take &&
        select == node.select)
      return e;
    auto* copy = clone<Ast::Query>(e);
    copy->source_expr = source;
    copy->wheres = wheres;
    copy->group_key = group_key;
    copy->order_key = order_key;
    copy->take = take;
    copy->select = select;
    return copy;
  }

  Ast::Arena& arena_;
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
      const Ast::Method* method = subst.method(fn->fn, table, {});
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
        methods[i] = subst.method(cls->methods[i], table, cls->consts);
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
