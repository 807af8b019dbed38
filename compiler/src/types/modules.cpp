// Module visibility: `use` paths must name a module, references to another
// module's declarations need a `use` and `pub`, and a `use` should be used.
#include <unordered_set>

#include "types/types.hpp"
#include "walk.hpp"

namespace Types {

namespace {

// What a reference may name: a constructor names a class or record; a bare
// call a function or a variant; a type name any type declaration.
enum class RefKind { Ctor, Call, Type };

// Whether `symbols` declares `name` as something of that kind, and if so
// whether it is exported.
std::optional<bool> declared_pub(const Symbols& symbols, RefKind kind, std::string_view name) {
  switch (kind) {
    case RefKind::Ctor:
      if (const ClassInfo* c = symbols.classes.find(name)) return c->pub;
      return std::nullopt;
    case RefKind::Call:
      if (const FnInfo* f = symbols.functions.find(name)) return f->pub;
      if (auto v = find_variant_in(symbols, name)) return v->union_info->pub;
      return std::nullopt;
    case RefKind::Type:
      if (const ClassInfo* c = symbols.classes.find(name)) return c->pub;
      if (const InterfaceInfo* i = symbols.interfaces.find(name)) return i->pub;
      if (const UnionInfo* u = symbols.unions.find(name)) return u->pub;
      return std::nullopt;
  }
  return std::nullopt;
}

// A `use` of the file being checked.
struct UseSite {
  const Ast::UseDecl* decl;
  std::string module;
  std::string_view qualifier;  // the last path segment, as in `wire.f(...)`
  const Symbols* symbols;      // null for a library module or an unknown one
  bool used = false;
};

// The whole program's modules, shared by the checks of every file.
struct Program {
  ModuleTables tables;
  std::vector<std::string> order;  // modules in order of their first file
  // Per reference kind: a name to the first module (in `order`) declaring it.
  std::unordered_map<std::string_view, const std::string*> declaring[3];

  void index_declarations() {
    for (const std::string& module : order) {
      const Symbols& s = tables.at(module);
      auto add = [&](RefKind kind, std::string_view name) { declaring[int(kind)].emplace(name, &module); };
      for (const auto& [name, c] : s.classes) {
        add(RefKind::Ctor, name);
        add(RefKind::Type, name);
      }
      for (const auto& [name, f] : s.functions) add(RefKind::Call, name);
      for (const auto& [name, v] : s.variants) add(RefKind::Call, name);
      for (const auto& [name, i] : s.interfaces) add(RefKind::Type, name);
      for (const auto& [name, u] : s.unions) add(RefKind::Type, name);
    }
  }
};

// Checks one file: resolves its references, then reports unused `use`s.
class FileCheck {
 public:
  FileCheck(const std::string& path, std::string module, const Program& program, Diag::Collector& collector)
      : path_(path), module_(std::move(module)), program_(program), collector_(collector) {
    auto own = program.tables.find(module_);
    own_ = own == program.tables.end() ? nullptr : &own->second;
  }

  void check(const Ast::Program& tree) {
    collect_uses(tree);
    for (const Ast::Decl* decl : tree.decls) {
      switch (decl->kind) {
        case Ast::DeclKind::ClassDecl: {
          const auto& c = decl->as<Ast::ClassDecl>();
          for (const Ast::Field& f : c.fields) walk_type_only(f.ty);
          for (const Ast::Method* m : c.methods) walk_method(*m);
          break;
        }
        case Ast::DeclKind::InterfaceDecl:
          for (const Ast::Signature* s : decl->as<Ast::InterfaceDecl>().sigs) walk_method(*s);
          break;
        case Ast::DeclKind::FnDecl:
          if (const Ast::Method* fn = decl->as<Ast::FnDecl>().fn) walk_method(*fn);
          break;
        case Ast::DeclKind::UnionDecl:
          for (const Ast::Variant& v : decl->as<Ast::UnionDecl>().variants) {
            for (const Ast::PayloadField& p : v.payload) walk_type_only(p.ty);
          }
          break;
        case Ast::DeclKind::UseDecl:
        case Ast::DeclKind::ConstDecl:
          break;
      }
    }
    for (const UseSite& use : uses_) {
      if (use.used) continue;
      Ast::Pos at = use.decl->pos;
      collector_.add(Diag::warning(unused_use_code, path_, at.line, at.col, "unused `use " + use.module + "`"));
    }
  }

  // Walker visitor.
  void on_stmt(const Ast::Stmt&) {}
  void on_type(const Ast::TypeExpr& ty) {
    if (const auto* n = ty.get_if<Ast::TyName>()) count_reference(RefKind::Type, n->name);
    if (const auto* m = ty.get_if<Ast::TyMulti>()) count_reference(RefKind::Type, m->class_name);
    if (const auto* r = ty.get_if<Ast::TyRef>()) count_reference(RefKind::Type, r->class_name);
    if (const auto* b = ty.get_if<Ast::TyBacklink>()) count_reference(RefKind::Type, b->class_name);
    if (const auto* a = ty.get_if<Ast::TyActor>()) count_reference(RefKind::Type, a->message_type);
    if (const auto* m = ty.get_if<Ast::TyMap>()) {
      count_reference(RefKind::Type, m->key);
      count_reference(RefKind::Type, m->value);
    }
  }
  void on_expr(const Ast::Expr& e) {
    switch (e.kind) {
      case Ast::ExprKind::Ctor:
        resolve(RefKind::Ctor, e.as<Ast::Ctor>().class_name, e.pos);
        break;
      case Ast::ExprKind::Insert:
        resolve(RefKind::Ctor, e.as<Ast::Insert>().class_name, e.pos);
        break;
      case Ast::ExprKind::Spawn:
        count_reference(RefKind::Ctor, e.as<Ast::Spawn>().class_name);
        break;
      case Ast::ExprKind::Query:
        count_reference(RefKind::Type, e.as<Ast::Query>().table);
        break;
      case Ast::ExprKind::Ident:
        // A bare variant or function name used as a value still relies on its module.
        count_reference(RefKind::Call, e.as<Ast::Ident>().name);
        break;
      case Ast::ExprKind::Call:
        check_call(e.as<Ast::Call>());
        break;
      default:
        break;
    }
  }

 private:
  void collect_uses(const Ast::Program& tree) {
    for (const Ast::UseDecl* u : uses_of_program(tree)) {
      if (u->is_using || u->path.empty()) continue;
      std::string module = path_str(u->path);
      auto table = program_.tables.find(module);
      if (table == program_.tables.end() && !is_stdlib_module(module)) {
        collector_.add(Diag::error(unknown_module_code, path_, u->pos.line, u->pos.col,
                                   "unknown module `" + module +
                                       "` — not a discovered project module and not a reserved stdlib namespace"));
        continue;  // counts as used: one complaint is enough
      }
      const Symbols* symbols = table == program_.tables.end() ? nullptr : &table->second;
      uses_.push_back(UseSite{u, std::move(module), u->path.back(), symbols});
    }
  }

  void walk_type_only(const Ast::TypeExpr* ty) { Walk::walker(*this).type(ty); }

  void walk_method(const Ast::Method& m) {
    locals_.clear();
    for (const Ast::Param& p : m.params) locals_.insert(p.name);
    collect_locals(m.body);
    Walk::walker(*this).method(m);
  }

  // Every name a body binds, wherever: a module qualifier that is also a local
  // name is taken as the local.
  void collect_locals(Ast::List<Ast::Stmt> body) {
    struct Binder {
      std::unordered_set<std::string_view>& names;
      void on_type(const Ast::TypeExpr&) {}
      void on_stmt(const Ast::Stmt& s) {
        if (const auto* let = s.get_if<Ast::Let>()) names.insert(let->name);
        if (const auto* f = s.get_if<Ast::For>()) {
          names.insert(f->var);
          if (!f->second_var.empty()) names.insert(f->second_var);
        }
      }
      void on_expr(const Ast::Expr& e) {
        if (const auto* t = e.get_if<Ast::Try>()) names.insert(t->catch_var);
        if (const auto* q = e.get_if<Ast::Query>()) names.insert(q->var);
        if (const auto* sw = e.get_if<Ast::Switch>()) {
          for (const Ast::SwitchArm& arm : sw->arms) {
            for (const Ast::Expr* v : arm.values) {
              const auto* pattern = v ? v->get_if<Ast::Call>() : nullptr;
              if (!pattern) continue;
              for (const Ast::Expr* a : pattern->args) {
                if (const auto* id = a ? a->get_if<Ast::Ident>() : nullptr) names.insert(id->name);
              }
            }
          }
        }
      }
    } binder{locals_};
    Walk::walker(binder).stmts(body);
  }

  void check_call(const Ast::Call& call) {
    if (!call.callee) return;
    if (const auto* f = call.callee->get_if<Ast::Ident>()) {
      resolve(RefKind::Call, f->name, f->pos);
      return;
    }
    const auto* access = call.callee->get_if<Ast::FieldAccess>();
    const auto* qualifier = access && access->object ? access->object->get_if<Ast::Ident>() : nullptr;
    if (!qualifier || locals_.count(qualifier->name) || qualifier->name == "self") return;
    for (UseSite& use : uses_) {
      if (use.qualifier != qualifier->name && use.module != qualifier->name) continue;
      use.used = true;
      if (!use.symbols) continue;
      const FnInfo* fn = use.symbols->functions.find(access->field);
      if (fn && !fn->pub) {
        collector_.add(Diag::error(not_pub_code, path_, qualifier->pos.line, qualifier->pos.col,
                                   "`" + std::string(access->field) + "` is not `pub` in module `" +
                                       std::string(qualifier->name) + "`"));
      }
    }
  }

  // Marks the `use`s that could supply the name, without diagnostics.
  void count_reference(RefKind kind, std::string_view name) {
    if (name.empty() || (own_ && declared_pub(*own_, kind, name))) return;
    for (UseSite& use : uses_) {
      if (use.symbols && declared_pub(*use.symbols, kind, name)) use.used = true;
    }
  }

  // A reference that must be visible: the file's own module, else exactly one
  // used module exporting it.
  void resolve(RefKind kind, std::string_view name, Ast::Pos at) {
    if (name.empty() || (own_ && declared_pub(*own_, kind, name))) return;
    std::vector<UseSite*> exporting;
    UseSite* private_in_used = nullptr;
    for (UseSite& use : uses_) {
      if (!use.symbols) continue;
      std::optional<bool> pub = declared_pub(*use.symbols, kind, name);
      if (pub && *pub) exporting.push_back(&use);
      if (pub && !*pub && !private_in_used) private_in_used = &use;
    }
    std::string n(name);
    if (exporting.size() == 1) {
      exporting[0]->used = true;
      return;
    }
    if (exporting.size() > 1) {
      std::string list;
      for (UseSite* use : exporting) {
        use->used = true;
        if (!list.empty()) list += ", ";
        list += use->module;
      }
      collector_.add(Diag::error(ambiguous_code, path_, at.line, at.col,
                                 "`" + n + "` is ambiguous — exported `pub` by more than one used module (" +
                                     list + ")"));
      return;
    }
    if (private_in_used) {
      // Found where the file looks, but not exported: say so rather than stay silent.
      private_in_used->used = true;
      collector_.add(Diag::error(not_pub_code, path_, at.line, at.col,
                                 "`" + n + "` is not `pub` in module `" + private_in_used->module + "`"));
      return;
    }
    // The file's own module cannot be the one found here: it was looked at first.
    auto where = program_.declaring[int(kind)].find(name);
    if (where != program_.declaring[int(kind)].end() && *where->second != module_) {
      collector_.add(Diag::error(not_used_code, path_, at.line, at.col,
                                 "`" + n + "` is declared in module `" + *where->second +
                                     "`, which is not `use`d here"));
    }
  }

  const std::string& path_;
  std::string module_;
  const Program& program_;
  Diag::Collector& collector_;
  const Symbols* own_ = nullptr;
  std::vector<UseSite> uses_;
  std::unordered_set<std::string_view> locals_;
};

}  // namespace

void check_modules(Diag::Collector& collector, const ModuleOf& module_of, std::span<const FileSymbols> files,
                   std::span<const FileTree> trees) {
  Program program;
  program.tables = module_symbols(module_of, files);
  std::unordered_set<std::string> seen;
  std::vector<std::string> file_modules;
  for (const FileTree& file : trees) {
    file_modules.push_back(module_of(file.path));
    if (seen.insert(file_modules.back()).second) program.order.push_back(file_modules.back());
  }
  // A module whose files declare nothing still exists for `use`.
  for (const std::string& module : program.order) program.tables.try_emplace(module);
  program.index_declarations();
  for (std::size_t i = 0; i < trees.size(); ++i) {
    if (!trees[i].tree) continue;
    FileCheck(trees[i].path, file_modules[i], program, collector).check(*trees[i].tree);
  }
}

}  // namespace Types
