// Module visibility: `use` paths must name a module, references to another
// module's declarations need a `use` and `pub`, and a `use` should be used.
#include <unordered_set>

#include "types/types.hpp"
#include "walk.hpp"

namespace Types {

namespace {

// What a reference may name: a constructor names a class or record; a bare
// call a function or a variant; a type name any type declaration.
enum RefKind : std::uint8_t { Ctor = 1, Call = 2, Type = 4 };

// One module's declaration of a name: the kinds of reference it answers and,
// among those, the exported ones. The first declaration of the module wins.
// A name's declarations are chained in module order through one pool; the
// first of a chain (its head) also knows the chain's last.
struct Declared {
  std::string_view name;
  std::uint32_t module;  // index into Program::modules
  std::uint32_t next = no_declared;  // the name's next module
  std::uint32_t last = no_declared;  // heads only: the chain's last entry
  std::uint8_t kinds = 0;
  std::uint8_t pub_kinds = 0;

  static constexpr std::uint32_t no_declared = static_cast<std::uint32_t>(-1);
};

// The declarations of one name, in module order.
class DeclaredChain {
 public:
  class iterator {
   public:
    iterator(const std::vector<Declared>* pool, std::uint32_t at) : pool_(pool), at_(at) {}
    const Declared& operator*() const { return (*pool_)[at_]; }
    iterator& operator++() {
      at_ = (*pool_)[at_].next;
      return *this;
    }
    bool operator==(const iterator& other) const { return at_ == other.at_; }

   private:
    const std::vector<Declared>* pool_;
    std::uint32_t at_;
  };
  DeclaredChain(const std::vector<Declared>* pool, std::uint32_t first) : pool_(pool), first_(first) {}
  iterator begin() const { return {pool_, first_}; }
  iterator end() const { return {pool_, Declared::no_declared}; }

 private:
  const std::vector<Declared>* pool_;
  std::uint32_t first_;
};

// Every module of the program and, per name, the modules declaring it, so
// that one lookup answers a reference. The name index is open addressing
// over chain heads: a program's hundred thousand names cost a few bytes each
// beyond their pool entries.
struct Program {
  std::vector<std::string> modules;  // in order of their first file
  std::unordered_map<std::string, std::uint32_t> module_index;
  std::vector<Declared> pool;
  std::vector<std::uint32_t> heads;  // a power of two in size, at most half full

  static std::size_t hash_of(std::string_view name) { return std::hash<std::string_view>{}(name); }

  // The slot of the name's head, or of the empty slot where it would go.
  std::size_t slot_of(std::string_view name) const {
    std::size_t mask = heads.size() - 1;
    for (std::size_t i = hash_of(name) & mask;; i = (i + 1) & mask) {
      std::uint32_t at = heads[i];
      if (at == Declared::no_declared || pool[at].name == name) return i;
    }
  }

  void add(std::uint32_t module, std::string_view name, std::uint8_t kind, bool pub) {
    auto next = static_cast<std::uint32_t>(pool.size());
    std::size_t slot = slot_of(name);
    std::uint32_t head = heads[slot];
    if (head == Declared::no_declared) {
      heads[slot] = next;
      pool.push_back(Declared{name, module});
      pool.back().last = next;
    } else if (pool[pool[head].last].module != module) {
      pool[pool[head].last].next = next;
      pool[head].last = next;
      pool.push_back(Declared{name, module});
    }
    Declared& d = pool[pool[heads[slot]].last];
    if (d.kinds & kind) return;  // an earlier declaration of this kind decided
    d.kinds |= kind;
    if (pub) d.pub_kinds |= kind;
  }

  void index(const ModuleTables& tables) {
    std::size_t count = 0;
    // Every add below counts, so the index stays at most half full.
    for (const auto& [module, s] : tables) {
      count += s.classes.size() + s.functions.size() + s.interfaces.size() + s.unions.size();
      for (const auto& [name, u] : s.unions) count += u.variants.size();
    }
    std::size_t slots = 16;
    while (slots < count * 2) slots *= 2;
    heads.assign(slots, Declared::no_declared);
    pool.reserve(count);
    for (std::uint32_t m = 0; m < modules.size(); ++m) {
      auto table = tables.find(modules[m]);
      if (table == tables.end()) continue;
      const Symbols& s = table->second;
      for (const auto& [name, c] : s.classes) add(m, name, Ctor | Type, c.pub);
      for (const auto& [name, f] : s.functions) add(m, name, Call, f.pub);
      for (const auto& [name, i] : s.interfaces) add(m, name, Type, i.pub);
      for (const auto& [name, u] : s.unions) {
        add(m, name, Type, u.pub);
        for (const Ast::Variant& v : u.variants) add(m, v.name, Call, u.pub);
      }
    }
  }

  std::optional<DeclaredChain> find(std::string_view name) const {
    if (heads.empty()) return std::nullopt;
    std::uint32_t head = heads[slot_of(name)];
    if (head == Declared::no_declared) return std::nullopt;
    return DeclaredChain(&pool, head);
  }
};

// A `use` of the file being checked.
struct UseSite {
  const Ast::UseDecl* decl;
  std::string module;
  std::string_view qualifier;  // the last path segment, as in `wire.f(...)`
  const Symbols* symbols;      // null for a library module
  bool used = false;
};

constexpr std::uint32_t no_module = static_cast<std::uint32_t>(-1);

// Checks one file: resolves its references, then reports unused `use`s.
class FileCheck {
 public:
  FileCheck(const std::string& path, std::uint32_t module, const Program& program, const ModuleTables& tables,
            Diag::Collector& collector)
      : path_(path), module_(module), program_(program), tables_(tables), collector_(collector),
        use_of_module_(program.modules.size(), no_module) {}

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
    switch (ty.kind) {
      case Ast::TypeKind::TyName: count_reference(Type, ty.as<Ast::TyName>().name); break;
      case Ast::TypeKind::TyMulti: count_reference(Type, ty.as<Ast::TyMulti>().class_name); break;
      case Ast::TypeKind::TyRef: count_reference(Type, ty.as<Ast::TyRef>().class_name); break;
      case Ast::TypeKind::TyBacklink: count_reference(Type, ty.as<Ast::TyBacklink>().class_name); break;
      case Ast::TypeKind::TyActor: count_reference(Type, ty.as<Ast::TyActor>().message_type); break;
      case Ast::TypeKind::TyMap:
        count_reference(Type, ty.as<Ast::TyMap>().key);
        count_reference(Type, ty.as<Ast::TyMap>().value);
        break;
      case Ast::TypeKind::TyNullable: break;
    }
  }
  void on_expr(const Ast::Expr& e) {
    switch (e.kind) {
      case Ast::ExprKind::Ctor: resolve(Ctor, e.as<Ast::Ctor>().class_name, e.pos); break;
      case Ast::ExprKind::Insert: resolve(Ctor, e.as<Ast::Insert>().class_name, e.pos); break;
      case Ast::ExprKind::Spawn: count_reference(Ctor, e.as<Ast::Spawn>().class_name); break;
      case Ast::ExprKind::Query: count_reference(Type, e.as<Ast::Query>().table); break;
      // A bare variant or function name used as a value still relies on its module.
      case Ast::ExprKind::Ident: count_reference(Call, e.as<Ast::Ident>().name); break;
      case Ast::ExprKind::Call: check_call(e.as<Ast::Call>()); break;
      default: break;
    }
  }

 private:
  void collect_uses(const Ast::Program& tree) {
    for (const Ast::UseDecl* u : uses_of_program(tree)) {
      if (u->is_using || u->path.empty()) continue;
      std::string module = path_str(u->path);
      auto index = program_.module_index.find(module);
      if (index == program_.module_index.end() && !is_stdlib_module(module)) {
        collector_.add(Diag::error(unknown_module_code, path_, u->pos.line, u->pos.col,
                                   "unknown module `" + module +
                                       "` — not a discovered project module and not a reserved stdlib namespace"));
        continue;  // counts as used: one complaint is enough
      }
      const Symbols* symbols = nullptr;
      if (index != program_.module_index.end()) {
        // A repeated `use` of one module adds nothing: the first one stands for both.
        if (use_of_module_[index->second] != no_module) continue;
        use_of_module_[index->second] = static_cast<std::uint32_t>(uses_.size());
        auto table = tables_.find(module);
        symbols = table == tables_.end() ? nullptr : &table->second;
      }
      uses_.push_back(UseSite{u, std::move(module), u->path.back(), symbols});
      ++unused_;
    }
  }

  void mark_used(UseSite& use) {
    if (!use.used) --unused_;
    use.used = true;
  }

  UseSite* use_of(std::uint32_t module) {
    std::uint32_t at = use_of_module_[module];
    return at == no_module ? nullptr : &uses_[at];
  }

  void walk_type_only(const Ast::TypeExpr* ty) { Walk::walker(*this).type(ty); }

  void walk_method(const Ast::Method& m) {
    method_ = &m;
    locals_ready_ = false;
    Walk::walker(*this).method(m);
  }

  // Every name the current function binds, wherever: a module qualifier that
  // is also a local name is taken as the local. Built on first need.
  const std::unordered_set<std::string_view>& locals() {
    if (locals_ready_) return locals_;
    locals_ready_ = true;
    locals_.clear();
    locals_.insert("self");
    for (const Ast::Param& p : method_->params) locals_.insert(p.name);
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
        const auto* sw = e.get_if<Ast::Switch>();
        if (!sw) return;
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
    } binder{locals_};
    Walk::walker(binder).stmts(method_->body);
    return locals_;
  }

  void check_call(const Ast::Call& call) {
    if (!call.callee) return;
    if (const auto* f = call.callee->get_if<Ast::Ident>()) {
      resolve(Call, f->name, f->pos);
      return;
    }
    const auto* access = call.callee->get_if<Ast::FieldAccess>();
    const auto* qualifier = access && access->object ? access->object->get_if<Ast::Ident>() : nullptr;
    if (!qualifier) return;
    UseSite* use = nullptr;
    for (UseSite& u : uses_) {
      if (u.qualifier == qualifier->name || u.module == qualifier->name) {
        use = &u;
        break;
      }
    }
    if (!use || method_ == nullptr || locals().count(qualifier->name)) return;
    mark_used(*use);
    if (!use->symbols) return;
    const FnInfo* fn = use->symbols->functions.find(access->field);
    if (fn && !fn->pub) {
      collector_.add(Diag::error(not_pub_code, path_, qualifier->pos.line, qualifier->pos.col,
                                 "`" + std::string(access->field) + "` is not `pub` in module `" +
                                     std::string(qualifier->name) + "`"));
    }
  }

  // Marks the `use`s that could supply the name, without diagnostics.
  void count_reference(std::uint8_t kind, std::string_view name) {
    if (unused_ == 0) return;
    std::optional<DeclaredChain> declared = program_.find(name);
    if (!declared) return;
    for (const Declared& d : *declared) {
      if ((d.kinds & kind) && d.module == module_) return;
    }
    for (const Declared& d : *declared) {
      UseSite* use = (d.kinds & kind) ? use_of(d.module) : nullptr;
      if (use) mark_used(*use);
    }
  }

  // A reference that must be visible: the file's own module, else exactly one
  // used module exporting it.
  void resolve(std::uint8_t kind, std::string_view name, Ast::Pos at) {
    std::optional<DeclaredChain> declared = program_.find(name);
    if (!declared) return;
    std::vector<UseSite*> exporting;
    UseSite* private_in_used = nullptr;
    const Declared* elsewhere = nullptr;  // the first other module declaring it
    for (const Declared& d : *declared) {
      if (!(d.kinds & kind)) continue;
      if (d.module == module_) return;
      if (!elsewhere) elsewhere = &d;
      UseSite* use = use_of(d.module);
      if (!use) continue;
      if (d.pub_kinds & kind) {
        exporting.push_back(use);
      } else if (!private_in_used) {
        private_in_used = use;
      }
    }
    std::string n(name);
    if (exporting.size() == 1) {
      mark_used(*exporting[0]);
      return;
    }
    if (exporting.size() > 1) {
      // Named in the order of the file's `use` declarations.
      std::sort(exporting.begin(), exporting.end());
      std::string list;
      for (UseSite* use : exporting) {
        mark_used(*use);
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
      mark_used(*private_in_used);
      collector_.add(Diag::error(not_pub_code, path_, at.line, at.col,
                                 "`" + n + "` is not `pub` in module `" + private_in_used->module + "`"));
      return;
    }
    if (elsewhere) {
      collector_.add(Diag::error(not_used_code, path_, at.line, at.col,
                                 "`" + n + "` is declared in module `" + program_.modules[elsewhere->module] +
                                     "`, which is not `use`d here"));
    }
  }

  const std::string& path_;
  std::uint32_t module_;
  const Program& program_;
  const ModuleTables& tables_;
  Diag::Collector& collector_;
  std::vector<UseSite> uses_;
  std::vector<std::uint32_t> use_of_module_;  // module index to its UseSite, if used
  std::size_t unused_ = 0;
  const Ast::Method* method_ = nullptr;  // the function being walked
  bool locals_ready_ = false;
  std::unordered_set<std::string_view> locals_;
};

}  // namespace

void check_modules(Diag::Collector& collector, const ModuleOf& module_of, std::span<const FileSymbols> files,
                   std::span<const FileTree> trees, const ModuleTables& tables) {
  Program program;
  std::vector<std::uint32_t> file_modules;
  file_modules.reserve(trees.size());
  for (const FileTree& file : trees) {
    std::string module = module_of(file.path);
    auto [at, added] = program.module_index.emplace(module, static_cast<std::uint32_t>(program.modules.size()));
    if (added) program.modules.push_back(std::move(module));
    file_modules.push_back(at->second);
  }
  (void)files;  // the tables already hold their declarations
  program.index(tables);
  for (std::size_t i = 0; i < trees.size(); ++i) {
    if (!trees[i].tree) continue;
    FileCheck(trees[i].path, file_modules[i], program, tables, collector).check(*trees[i].tree);
  }
}

void check_modules(Diag::Collector& collector, const ModuleOf& module_of, std::span<const FileSymbols> files,
                   std::span<const FileTree> trees) {
  check_modules(collector, module_of, files, trees, module_symbols(module_of, files));
}

}  // namespace Types
