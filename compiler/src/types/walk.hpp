// A read-only walk over statements, expressions and type expressions of a
// tree, pre-order, for checks that look at every node of some kind. The
// visitor provides on_stmt, on_expr and on_type; depth is that of the tree,
// which the parser bounds.
#pragma once

#include "ast/ast.hpp"

namespace Types::Walk {

template <class Visitor>
struct Walker {
  Visitor& visitor;

  void type(const Ast::TypeExpr* ty) {
    if (!ty) return;
    visitor.on_type(*ty);
    if (const auto* n = ty->get_if<Ast::TyNullable>()) type(n->inner);
  }

  void stmts(Ast::List<Ast::Stmt> list) {
    for (const Ast::Stmt* s : list) stmt(s);
  }

  void fields(std::span<const Ast::FieldInit> inits) {
    for (const Ast::FieldInit& f : inits) expr(f.value);
  }

  void stmt(const Ast::Stmt* s) {
    if (!s) return;
    visitor.on_stmt(*s);
    switch (s->kind) {
      case Ast::StmtKind::Break:
      case Ast::StmtKind::Continue:
        break;
      case Ast::StmtKind::Let: {
        const auto& let = s->as<Ast::Let>();
        type(let.declared_type);
        expr(let.value);
        break;
      }
      case Ast::StmtKind::Assign:
        expr(s->as<Ast::Assign>().target);
        expr(s->as<Ast::Assign>().value);
        break;
      case Ast::StmtKind::If: {
        const auto& i = s->as<Ast::If>();
        expr(i.cond);
        stmts(i.then_block);
        if (i.else_part) stmts(i.else_part->body);
        break;
      }
      case Ast::StmtKind::While:
        expr(s->as<Ast::While>().cond);
        stmts(s->as<Ast::While>().body);
        break;
      case Ast::StmtKind::For:
        expr(s->as<Ast::For>().iterable);
        stmts(s->as<Ast::For>().body);
        break;
      case Ast::StmtKind::Return:
        expr(s->as<Ast::Return>().value);
        break;
      case Ast::StmtKind::ExprStmt:
        expr(s->as<Ast::ExprStmt>().expr);
        break;
      case Ast::StmtKind::DoWhile:
        stmts(s->as<Ast::DoWhile>().body);
        expr(s->as<Ast::DoWhile>().cond);
        break;
    }
  }

  void expr(const Ast::Expr* e) {
    if (!e) return;
    visitor.on_expr(*e);
    switch (e->kind) {
      case Ast::ExprKind::Nil:
      case Ast::ExprKind::EmptyMap:
      case Ast::ExprKind::IntLit:
      case Ast::ExprKind::FloatLit:
      case Ast::ExprKind::TextLit:
      case Ast::ExprKind::BoolLit:
      case Ast::ExprKind::Ident:
      case Ast::ExprKind::DbStub:
        break;
      case Ast::ExprKind::FieldAccess:
        expr(e->as<Ast::FieldAccess>().object);
        break;
      case Ast::ExprKind::Index:
        expr(e->as<Ast::Index>().collection);
        expr(e->as<Ast::Index>().index);
        break;
      case Ast::ExprKind::Call: {
        const auto& c = e->as<Ast::Call>();
        expr(c.callee);
        for (const Ast::Expr* a : c.args) expr(a);
        break;
      }
      case Ast::ExprKind::Unary:
        expr(e->as<Ast::Unary>().operand);
        break;
      case Ast::ExprKind::BinOp:
        expr(e->as<Ast::BinOp>().left);
        expr(e->as<Ast::BinOp>().right);
        break;
      case Ast::ExprKind::Ctor:
        fields(e->as<Ast::Ctor>().fields);
        break;
      case Ast::ExprKind::Insert:
        fields(e->as<Ast::Insert>().fields);
        break;
      case Ast::ExprKind::Spawn:
        fields(e->as<Ast::Spawn>().fields);
        break;
      case Ast::ExprKind::Delete:
        expr(e->as<Ast::Delete>().target);
        break;
      case Ast::ExprKind::Interp:
        expr(e->as<Ast::Interp>().value);
        break;
      case Ast::ExprKind::Switch: {
        const auto& sw = e->as<Ast::Switch>();
        expr(sw.scrutinee);
        for (const Ast::SwitchArm& arm : sw.arms) {
          for (const Ast::Expr* v : arm.values) expr(v);
          stmts(arm.body);
        }
        break;
      }
      case Ast::ExprKind::ListLit:
        for (const Ast::Expr* x : e->as<Ast::ListLit>().elements) expr(x);
        break;
      case Ast::ExprKind::As:
        expr(e->as<Ast::As>().value);
        type(e->as<Ast::As>().target);
        break;
      case Ast::ExprKind::Try:
        expr(e->as<Ast::Try>().tried);
        stmts(e->as<Ast::Try>().catch_block);
        break;
      case Ast::ExprKind::Query: {
        const auto& q = e->as<Ast::Query>();
        expr(q.source_expr);
        for (const Ast::Expr* w : q.wheres) expr(w);
        expr(q.group_key);
        expr(q.order_key);
        expr(q.take);
        expr(q.select);
        break;
      }
    }
  }

  // A function or method: parameter and result types, then the body.
  void method(const Ast::Method& m) {
    for (const Ast::Param& p : m.params) type(p.ty);
    type(m.ret);
    stmts(m.body);
  }
};

template <class Visitor>
Walker<Visitor> walker(Visitor& v) {
  return Walker<Visitor>{v};
}

}  // namespace Types::Walk
