// Places: their text, how two of them relate, and the text form of index
// expressions.
#include <cstdio>

#include "owner/analyzer.hpp"

namespace Owner::detail {

std::string place_text(const Place& place) {
  std::string out = place.root;
  for (const Proj& p : place.projs) {
    if (p.kind == Proj::Kind::Field) {
      out += '.';
      out += p.text;
    } else {
      out += '[';
      out += p.kind == Proj::Kind::Index ? std::to_string(p.n) : p.text;
      out += ']';
    }
  }
  return out;
}

Relation relate(const Place& a, const Place& b) {
  if (a.root != b.root) return Relation::Disjoint;
  std::size_t n = std::min(a.projs.size(), b.projs.size());
  for (std::size_t i = 0; i < n; ++i) {
    const Proj& x = a.projs[i];
    const Proj& y = b.projs[i];
    if (x.kind != y.kind) return Relation::Undecided;  // field vs index, constant vs text
    switch (x.kind) {
      case Proj::Kind::Field:
        if (x.text != y.text) return Relation::Disjoint;
        break;
      case Proj::Kind::Index:
        if (x.n != y.n) return Relation::Disjoint;
        break;
      case Proj::Kind::IndexText:
        if (x.text != y.text) return Relation::Undecided;
        break;
    }
  }
  return Relation::Overlap;
}

bool is_borrowing_builtin(std::string_view name) {
  return name == "get" || name == "latest" || name == "key_at" || name == "val_at";
}

namespace {

void append_text(std::string& out, const Ast::Expr& e, int depth);

void append_list(std::string& out, Ast::List<Ast::Expr> items, int depth) {
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i) out += ", ";
    append_text(out, *items[i], depth);
  }
}

void append_text(std::string& out, const Ast::Expr& e, int depth) {
  if (depth > 64) {  // index texts only need to tell expressions apart
    out += "...";
    return;
  }
  using K = Ast::ExprKind;
  switch (e.kind) {
    case K::Nil: out += "nil"; return;
    case K::EmptyMap: out += "{}"; return;
    case K::IntLit: out += std::to_string(e.as<Ast::IntLit>().value); return;
    case K::FloatLit: {
      char buf[64];
      std::snprintf(buf, sizeof buf, "%g", e.as<Ast::FloatLit>().value);
      out += buf;
      return;
    }
    case K::TextLit:
      out += '"';
      out += e.as<Ast::TextLit>().value;
      out += '"';
      return;
    case K::BoolLit: out += e.as<Ast::BoolLit>().value ? "true" : "false"; return;
    case K::Ident: out += e.as<Ast::Ident>().name; return;
    case K::FieldAccess: {
      const auto& f = e.as<Ast::FieldAccess>();
      append_text(out, *f.object, depth + 1);
      out += '.';
      out += f.field;
      return;
    }
    case K::Index: {
      const auto& x = e.as<Ast::Index>();
      append_text(out, *x.collection, depth + 1);
      out += '[';
      append_text(out, *x.index, depth + 1);
      out += ']';
      return;
    }
    case K::Call: {
      const auto& c = e.as<Ast::Call>();
      append_text(out, *c.callee, depth + 1);
      out += '(';
      append_list(out, c.args, depth + 1);
      out += ')';
      return;
    }
    case K::Unary: {
      const auto& u = e.as<Ast::Unary>();
      out += Ast::op_text(u.op);
      append_text(out, *u.operand, depth + 1);
      return;
    }
    case K::BinOp: {
      const auto& b = e.as<Ast::BinOp>();
      append_text(out, *b.left, depth + 1);
      out += ' ';
      out += Ast::op_text(b.op);
      out += ' ';
      append_text(out, *b.right, depth + 1);
      return;
    }
    case K::Interp: append_text(out, *e.as<Ast::Interp>().value, depth + 1); return;
    case K::ListLit:
      out += '[';
      append_list(out, e.as<Ast::ListLit>().elements, depth + 1);
      out += ']';
      return;
    case K::As: append_text(out, *e.as<Ast::As>().value, depth + 1); return;
    case K::Ctor: out += e.as<Ast::Ctor>().class_name; out += " { ... }"; return;
    case K::Spawn: out += "spawn "; out += e.as<Ast::Spawn>().class_name; return;
    case K::DbStub: out += "select"; return;
    case K::Insert: out += "insert"; return;
    case K::Delete: out += "delete"; return;
    case K::Switch: out += "switch"; return;
    case K::Try: out += "try"; return;
    case K::Query: out += "from"; return;
  }
  out += "...";
}

}  // namespace

std::string expr_text(const Ast::Expr& e) {
  std::string out;
  append_text(out, e, 0);
  return out;
}

}  // namespace Owner::detail
