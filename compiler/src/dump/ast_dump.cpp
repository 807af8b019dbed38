// The syntax-tree dump: one line per declaration, member and statement,
// nested blocks indented by two spaces, expressions inline (no parentheses are
// added, so grouping is not visible).
#include <cmath>
#include <charconv>

#include "dump/dump.hpp"
#include "dump/token_text.hpp"

namespace Dump {

namespace {

class AstPrinter {
 public:
  explicit AstPrinter(std::string& out) : out_(out) {}

  void decl(const Ast::Decl* d) {
    switch (d->kind) {
      case Ast::DeclKind::ClassDecl: class_decl(d->as<Ast::ClassDecl>()); break;
      case Ast::DeclKind::InterfaceDecl: {
        const auto& node = d->as<Ast::InterfaceDecl>();
        line_start(node.pos);
        if (node.pub) out_ += "PUB ";
        out_ += "INTERFACE ";
        out_ += node.name;
        end_line();
        ++indent_;
        for (const Ast::Signature* sig : node.sigs) {
          line_start(sig->pos);
          out_ += "METHOD ";
          signature(*sig);
          end_line();
        }
        --indent_;
        break;
      }
      case Ast::DeclKind::FnDecl: method(*d->as<Ast::FnDecl>().fn); break;
      case Ast::DeclKind::UseDecl: {
        const auto& node = d->as<Ast::UseDecl>();
        line_start(node.pos);
        out_ += "USE ";
        for (std::size_t i = 0; i < node.path.size(); ++i) {
          if (i > 0) out_ += '/';
          out_ += node.path[i];
        }
        end_line();
        break;
      }
      case Ast::DeclKind::ConstDecl: const_line(d->as<Ast::ConstDecl>().record); break;
      case Ast::DeclKind::UnionDecl: {
        const auto& node = d->as<Ast::UnionDecl>();
        line_start(node.pos);
        if (node.pub) out_ += "PUB ";
        out_ += "UNION ";
        out_ += node.name;
        out_ += " = ";
        for (std::size_t i = 0; i < node.variants.size(); ++i) {
          if (i > 0) out_ += " | ";
          variant(node.variants[i]);
        }
        end_line();
        break;
      }
    }
  }

 private:
  void pos_text(Ast::Pos pos) {
    number(pos.line);
    out_ += ':';
    number(pos.col);
  }
  void number(std::int64_t value) {
    char buf[24];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
    (void)ec;
    out_.append(buf, end);
  }
  void line_start(Ast::Pos pos) {
    out_.append(2 * static_cast<std::size_t>(indent_), ' ');
    pos_text(pos);
    out_ += ' ';
  }
  void end_line() { out_ += '\n'; }

  void class_decl(const Ast::ClassDecl& node) {
    line_start(node.pos);
    if (node.pub) out_ += "PUB ";
    out_ += node.is_typedef ? "TYPEDEF " : node.is_class ? "CLASS " : "TYPE ";
    out_ += node.name;
    if (node.gc) out_ += " @gc";
    if (node.table != nullptr) table(*node.table);
    end_line();
    ++indent_;
    for (const Ast::Field& f : node.fields) field(f);
    for (const Ast::ConstRecord& c : node.consts) const_line(c);
    for (const Ast::Method* m : node.methods) method(*m);
    --indent_;
  }

  void table(const Ast::TableConfig& config) {
    if (!config.has_name && config.indexes.empty()) {
      out_ += " @table";
      return;
    }
    out_ += " @table(";
    bool first = true;
    if (config.has_name) {
      out_ += "name=";
      quoted(config.name);
      first = false;
    }
    for (std::span<const Ast::Name> index : config.indexes) {
      if (!first) out_ += ", ";
      first = false;
      out_ += "index=[";
      for (std::size_t i = 0; i < index.size(); ++i) {
        if (i > 0) out_ += ", ";
        out_ += index[i];
      }
      out_ += ']';
    }
    out_ += ')';
  }

  void quoted(std::string_view text) {
    out_ += '"';
    for (unsigned char c : text) {
      switch (c) {
        case '"': out_ += "\\\""; break;
        case '\\': out_ += "\\\\"; break;
        case '\n': out_ += "\\n"; break;
        case '\t': out_ += "\\t"; break;
        case '\r': out_ += "\\r"; break;
        case '\b': out_ += "\\b"; break;
        default:
          if (c < 32 || c > 126) {
            out_ += '\\';
            out_ += static_cast<char>('0' + c / 100);
            out_ += static_cast<char>('0' + c / 10 % 10);
            out_ += static_cast<char>('0' + c % 10);
          } else {
            out_ += static_cast<char>(c);
          }
      }
    }
    out_ += '"';
  }

  void field(const Ast::Field& f) {
    line_start(f.pos);
    out_ += "FIELD ";
    out_ += f.name;
    out_ += ": ";
    type(f.ty);
    if (f.default_kind == Ast::DefaultKind::Now) {
      out_ += " = now()";
    } else if (f.default_kind == Ast::DefaultKind::Tokens) {
      out_ += " = ";
      tokens(f.default_tokens);
    }
    for (Ast::Name a : f.annotations) {
      out_ += " @";
      out_ += a;
    }
    end_line();
  }

  void tokens(std::span<const Ast::RawToken> raw) {
    for (std::size_t i = 0; i < raw.size(); ++i) {
      if (i > 0) out_ += ' ';
      out_ += token_label(raw[i]);
    }
  }

  void const_line(const Ast::ConstRecord& c) {
    line_start(c.pos);
    out_ += "CONST ";
    out_ += c.name;
    out_ += " = ";
    expr(c.value);
    end_line();
  }

  void method(const Ast::Method& m) {
    line_start(m.pos);
    if (m.pub) out_ += "PUB ";
    out_ += "METHOD ";
    signature(m);
    end_line();
    block(m.body);
  }

  void signature(const Ast::Method& m) {
    out_ += m.name;
    out_ += '(';
    for (std::size_t i = 0; i < m.params.size(); ++i) {
      const Ast::Param& p = m.params[i];
      if (i > 0) out_ += ", ";
      if (p.mode == Ast::ParamMode::Mut) out_ += "mut ";
      if (p.mode == Ast::ParamMode::Take) out_ += "take ";
      out_ += p.name;
      out_ += ": ";
      type(p.ty);
    }
    out_ += ')';
    if (m.ret != nullptr) {
      out_ += " -> ";
      type(m.ret);
    }
  }

  void variant(const Ast::Variant& v) {
    out_ += v.name;
    if (v.payload.empty()) return;
    out_ += '(';
    for (std::size_t i = 0; i < v.payload.size(); ++i) {
      if (i > 0) out_ += ", ";
      out_ += v.payload[i].name;
      out_ += ": ";
      type(v.payload[i].ty);
    }
    out_ += ')';
  }

  void type(const Ast::TypeExpr* t) {
    switch (t->kind) {
      case Ast::TypeKind::TyName: out_ += t->as<Ast::TyName>().name; break;
      case Ast::TypeKind::TyRef:
        out_ += "ref ";
        out_ += t->as<Ast::TyRef>().class_name;
        break;
      case Ast::TypeKind::TyMulti:
        out_ += "multi ";
        out_ += t->as<Ast::TyMulti>().class_name;
        break;
      case Ast::TypeKind::TyMap: {
        const auto& m = t->as<Ast::TyMap>();
        out_ += "map<";
        out_ += m.key;
        out_ += ", ";
        out_ += m.value;
        out_ += '>';
        break;
      }
      case Ast::TypeKind::TyBacklink: {
        const auto& b = t->as<Ast::TyBacklink>();
        out_ += "backlink ";
        out_ += b.class_name;
        out_ += '.';
        out_ += b.field;
        break;
      }
      case Ast::TypeKind::TyNullable:
        out_ += '?';
        type(t->as<Ast::TyNullable>().inner);
        break;
      case Ast::TypeKind::TyActor:
        out_ += "actor ";
        out_ += t->as<Ast::TyActor>().message_type;
        break;
    }
  }

  void block(Ast::List<Ast::Stmt> stmts) {
    ++indent_;
    for (const Ast::Stmt* s : stmts) stmt(s);
    --indent_;
  }

  void stmt(const Ast::Stmt* s) {
    line_start(s->pos);
    switch (s->kind) {
      case Ast::StmtKind::Break: out_ += "BREAK"; break;
      case Ast::StmtKind::Continue: out_ += "CONTINUE"; break;
      case Ast::StmtKind::Let: {
        const auto& let = s->as<Ast::Let>();
        out_ += "LET ";
        out_ += let.name;
        if (let.declared_type != nullptr) {
          out_ += ": ";
          type(let.declared_type);
        }
        out_ += " = ";
        expr(let.value);
        break;
      }
      case Ast::StmtKind::Assign: {
        const auto& as = s->as<Ast::Assign>();
        out_ += "ASSIGN ";
        expr(as.target);
        out_ += " = ";
        expr(as.value);
        break;
      }
      case Ast::StmtKind::If: {
        const auto& node = s->as<Ast::If>();
        out_ += "IF ";
        expr(node.cond);
        end_line();
        block(node.then_block);
        if (node.else_part != nullptr) {
          line_start(node.else_part->else_pos);
          out_ += "ELSE";
          end_line();
          block(node.else_part->body);
        }
        return;
      }
      case Ast::StmtKind::While: {
        const auto& node = s->as<Ast::While>();
        out_ += "WHILE ";
        expr(node.cond);
        end_line();
        block(node.body);
        return;
      }
      case Ast::StmtKind::For: {
        const auto& node = s->as<Ast::For>();
        out_ += "FOR ";
        out_ += node.var;
        if (!node.second_var.empty()) {
          out_ += ", ";
          out_ += node.second_var;
        }
        out_ += " IN ";
        expr(node.iterable);
        end_line();
        block(node.body);
        return;
      }
      case Ast::StmtKind::Return: {
        const auto& node = s->as<Ast::Return>();
        out_ += "RETURN";
        if (node.value != nullptr) {
          out_ += ' ';
          expr(node.value);
        }
        break;
      }
      case Ast::StmtKind::ExprStmt: {
        const Ast::Expr* e = s->as<Ast::ExprStmt>().expr;
        if (const auto* stub = e->get_if<Ast::DbStub>()) {
          out_ += "DB_STUB ";
          tokens(stub->tokens);
        } else {
          out_ += "EXPR ";
          expr(e);
        }
        break;
      }
      case Ast::StmtKind::DoWhile: {
        const auto& node = s->as<Ast::DoWhile>();
        out_ += "DO";
        end_line();
        block(node.body);
        line_start(s->pos);
        out_ += "WHILE ";
        expr(node.cond);
        break;
      }
    }
    end_line();
  }

  void exprs(Ast::List<Ast::Expr> items) {
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (i > 0) out_ += ", ";
      expr(items[i]);
    }
  }

  void inits(std::span<const Ast::FieldInit> items) {
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (i > 0) out_ += ", ";
      out_ += items[i].field;
      out_ += ": ";
      expr(items[i].value);
    }
  }

  void expr(const Ast::Expr* e) {
    switch (e->kind) {
      case Ast::ExprKind::Nil: out_ += "nil"; break;
      case Ast::ExprKind::EmptyMap: out_ += "{}"; break;
      case Ast::ExprKind::IntLit: number(e->as<Ast::IntLit>().value); break;
      case Ast::ExprKind::FloatLit: {
        // The tree prints every NaN unsigned; the image listing keeps the sign.
        double value = e->as<Ast::FloatLit>().value;
        out_ += std::isnan(value) ? "nan" : hex_float(value);
        break;
      }
      case Ast::ExprKind::TextLit:
        out_ += '"';
        out_ += e->as<Ast::TextLit>().value;
        out_ += '"';
        break;
      case Ast::ExprKind::BoolLit: out_ += e->as<Ast::BoolLit>().value ? "true" : "false"; break;
      case Ast::ExprKind::Ident: out_ += e->as<Ast::Ident>().name; break;
      case Ast::ExprKind::FieldAccess: {
        const auto& node = e->as<Ast::FieldAccess>();
        expr(node.object);
        out_ += '.';
        out_ += node.field;
        break;
      }
      case Ast::ExprKind::Index: {
        const auto& node = e->as<Ast::Index>();
        expr(node.collection);
        out_ += '[';
        expr(node.index);
        out_ += ']';
        break;
      }
      case Ast::ExprKind::Call: {
        const auto& node = e->as<Ast::Call>();
        expr(node.callee);
        out_ += '(';
        exprs(node.args);
        out_ += ')';
        break;
      }
      case Ast::ExprKind::Unary: {
        const auto& node = e->as<Ast::Unary>();
        out_ += Ast::op_text(node.op);
        expr(node.operand);
        break;
      }
      case Ast::ExprKind::BinOp: {
        const auto& node = e->as<Ast::BinOp>();
        expr(node.left);
        out_ += ' ';
        out_ += Ast::op_text(node.op);
        out_ += ' ';
        expr(node.right);
        break;
      }
      case Ast::ExprKind::Ctor: {
        const auto& node = e->as<Ast::Ctor>();
        out_ += node.class_name;
        out_ += " { ";
        inits(node.fields);
        out_ += " }";
        break;
      }
      case Ast::ExprKind::DbStub:
        out_ += "DB_STUB(";
        tokens(e->as<Ast::DbStub>().tokens);
        out_ += ')';
        break;
      case Ast::ExprKind::Insert: {
        const auto& node = e->as<Ast::Insert>();
        out_ += "INSERT ";
        out_ += node.class_name;
        out_ += " { ";
        inits(node.fields);
        out_ += " }";
        break;
      }
      case Ast::ExprKind::Delete:
        out_ += "DELETE ";
        expr(e->as<Ast::Delete>().target);
        break;
      case Ast::ExprKind::Interp:
        out_ += "INTERP(";
        expr(e->as<Ast::Interp>().value);
        out_ += ')';
        break;
      case Ast::ExprKind::Switch: {
        const auto& node = e->as<Ast::Switch>();
        out_ += "SWITCH ";
        expr(node.scrutinee);
        out_ += " { ";
        for (std::size_t i = 0; i < node.arms.size(); ++i) {
          const Ast::SwitchArm& arm = node.arms[i];
          if (i > 0) out_ += ' ';
          if (arm.is_default) {
            out_ += "default: ...";
          } else {
            out_ += "case ";
            exprs(arm.values);
            out_ += ": ...";
          }
        }
        out_ += " }";
        break;
      }
      case Ast::ExprKind::Spawn: {
        const auto& node = e->as<Ast::Spawn>();
        out_ += "spawn ";
        out_ += node.class_name;
        out_ += '{';
        inits(node.fields);
        out_ += '}';
        break;
      }
      case Ast::ExprKind::ListLit:
        out_ += '[';
        exprs(e->as<Ast::ListLit>().elements);
        out_ += ']';
        break;
      case Ast::ExprKind::As: {
        const auto& node = e->as<Ast::As>();
        expr(node.value);
        out_ += " as ";
        type(node.target);
        break;
      }
      case Ast::ExprKind::Try: {
        const auto& node = e->as<Ast::Try>();
        out_ += "TRY ";
        expr(node.tried);
        out_ += " CATCH (";
        out_ += node.catch_var;
        out_ += ") { ";
        number(static_cast<std::int64_t>(node.catch_block.size()));
        out_ += " stmt }";
        break;
      }
      case Ast::ExprKind::Query: {
        const auto& node = e->as<Ast::Query>();
        out_ += "QUERY from ";
        out_ += node.var;
        out_ += " in ";
        if (node.source_expr != nullptr) {
          expr(node.source_expr);
        } else {
          out_ += node.table;
        }
        for (const Ast::Expr* w : node.wheres) {
          out_ += " where ";
          expr(w);
        }
        if (node.group_key != nullptr) {
          out_ += " group by ";
          expr(node.group_key);
          out_ += " into ";
          out_ += node.group_into;
        }
        out_ += " select ";
        expr(node.select);
        break;
      }
    }
  }

  std::string& out_;
  int indent_ = 0;
};

}  // namespace

std::string token_label(const Ast::RawToken& token) {
  std::string out;
  append_token_text(out, token.kind, token.int_value, token.float_value, token.text, token.segments);
  return out;
}

std::string dump_ast(const Ast::Program& program) {
  std::string out;
  AstPrinter printer(out);
  for (const Ast::Decl* d : program.decls) printer.decl(d);
  return out;
}

void dump_ast(const Ast::Program& program, const std::function<void(std::string_view)>& sink) {
  constexpr std::size_t piece = 64 * 1024;
  std::string out;
  AstPrinter printer(out);
  for (const Ast::Decl* d : program.decls) {
    printer.decl(d);
    if (out.size() >= piece) {
      sink(out);
      out.clear();
    }
  }
  if (!out.empty()) sink(out);
}

}  // namespace Dump
