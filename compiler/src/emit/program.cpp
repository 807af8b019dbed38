// Program-level assembly: numbering classes, interfaces and methods, the
// entry rule, constant seeding, method emission, the residual-site check,
// vtables and serialisation.
#include <algorithm>
#include <cstdio>

#include "emit/method.hpp"

namespace Emit::detail {

std::string q(std::string_view name) { return "`" + std::string(name) + "`"; }

int ClassRec::slot_of(std::string_view field) const {
  for (std::size_t i = 0; i < fields.size(); ++i)
    if (same_name(fields[i].name, field)) return int(i);
  return -1;
}

const Owner::Drop* Views::find_in_block(std::size_t block, Ast::NodeId id, Owner::DropKind kind,
                                        std::string_view label) const {
  for (std::uint32_t i = block_start[block]; i < block_start[block + 1] && drop_ids[i] <= id; ++i) {
    if (drop_ids[i] != id) continue;
    const Owner::Drop* d = drops[i];
    if (d->kind != kind) continue;
    if ((kind == Owner::DropKind::Scope || kind == Owner::DropKind::JoinDrop) && d->label != label) continue;
    return d;  // the first recorded one
  }
  return nullptr;
}

Views build_views(const Owner::Tables& tables, Ast::NodeId next_id) {
  Views v;
  std::size_t ids = next_id;
  for (const Owner::Drop& d : tables.drops) ids = std::max<std::size_t>(ids, std::size_t(d.id) + 1);
  for (const Owner::Move& m : tables.moves) ids = std::max<std::size_t>(ids, std::size_t(m.id) + 1);
  // A counting sort by block, then a stable sort by id inside each block:
  // each site's records keep their recording order.
  std::size_t blocks = ids / Views::block_ids + 1;
  v.block_start.assign(blocks + 1, 0);
  for (const Owner::Drop& d : tables.drops) ++v.block_start[d.id / Views::block_ids + 1];
  for (std::size_t b = 1; b <= blocks; ++b) v.block_start[b] += v.block_start[b - 1];
  v.drops.resize(tables.drops.size());
  {
    std::vector<std::uint32_t> next(v.block_start.begin(), v.block_start.end() - 1);
    for (const Owner::Drop& d : tables.drops) v.drops[next[d.id / Views::block_ids]++] = &d;
  }
  auto by_id = [](const Owner::Drop* a, const Owner::Drop* b) { return a->id < b->id; };
  for (std::size_t b = 0; b < blocks; ++b) {
    auto first = v.drops.begin() + v.block_start[b], last = v.drops.begin() + v.block_start[b + 1];
    if (!std::is_sorted(first, last, by_id)) std::stable_sort(first, last, by_id);
  }
  v.drop_ids.reserve(v.drops.size());
  for (const Owner::Drop* d : v.drops) v.drop_ids.push_back(d->id);
  for (const Owner::Residual& r : tables.residual) v.residual[r.id].push_back(&r);
  v.moved.assign(ids, false);
  for (const Owner::Move& m : tables.moves) v.moved[m.id] = true;
  return v;
}

// ---------------------------------------------------------------- types

namespace {

// The structure of a type as a key: names end with ';', which no name holds.
void shape_of(const Types::Typ& ty, std::string& out) {
  switch (ty.v.index()) {
    case 0: out += 'v'; return;
    case 1: out += 'n'; out += ty.get_if<Types::TNamed>()->name; out += ';'; return;
    case 2: out += '?'; shape_of(*ty.get_if<Types::TNullable>()->inner, out); return;
    case 3: out += '*'; shape_of(*ty.get_if<Types::TMulti>()->elem, out); return;
    case 4:
      out += 'm';
      shape_of(*ty.get_if<Types::TMap>()->key, out);
      shape_of(*ty.get_if<Types::TMap>()->value, out);
      return;
    case 5: out += 'r'; out += ty.get_if<Types::TRef>()->class_name; out += ';'; return;
    default: out += 'a'; out += ty.get_if<Types::TActor>()->message_type; out += ';'; return;
  }
}

}  // namespace

Ty TypeTable::add(Types::Typ ty) {
  TypeInfo& info = infos_.emplace_back();
  info.typ = std::move(ty);
  info.oclass = Owner::oclass_of(prog_.merged, info.typ);
  const Types::Typ& bare = strip_all(info.typ);
  std::string_view name = Types::named_name(bare);
  info.text = name == "Text" || name == Types::json_value_type;
  info.flt = name == "Float";
  info.shared = info.text || name == "Bytes";
  if (const auto* r = bare.get_if<Types::TRef>()) info.cls = prog_.class_rec(r->class_name);
  else if (!name.empty()) info.cls = prog_.class_rec(name);
  return Ty(&info);
}

Ty TypeTable::named(std::string_view name) {
  if (auto index = by_name_.find(name)) return Ty(named_[*index]);
  Ty ty = add(Types::t_named(name));
  by_name_.insert(ty->get_if<Types::TNamed>()->name, std::uint32_t(named_.size()));
  named_.push_back(ty.info());
  return ty;
}

Ty TypeTable::of(const Types::Typ& ty) {
  if (const auto* n = ty.get_if<Types::TNamed>()) return named(n->name);
  std::string key;
  shape_of(ty, key);
  if (auto it = by_shape_.find(key); it != by_shape_.end()) return Ty(it->second);
  Ty out = add(ty);
  by_shape_.emplace(std::move(key), out.info());
  return out;
}

Ty TypeTable::of_type_expr(const Ast::TypeExpr& ty) {
  // Most written types are plain names: those need no entry of their own.
  if (ty.kind == Ast::TypeKind::TyName) {
    std::string_view name = ty.as<Ast::TyName>().name;
    if (auto found = by_tree_name_.find(name.data()); found && (*found)->typ.get_if<Types::TNamed>()->name.size() == name.size())
      return Ty(*found);
    Ty out = named(name);
    by_tree_name_.insert(name.data(), out.info());
    return out;
  }
  if (auto found = by_expr_.find(&ty)) return Ty(*found);
  Ty out = of(Types::typ_of_field_ty(ty));
  by_expr_.insert(&ty, out.info());
  return out;
}

std::optional<std::uint32_t> Program::class_id(std::string_view name) const {
  return class_ids.find(name);
}

const ClassRec* Program::class_rec(std::string_view name) const {
  auto id = class_id(name);
  return id ? &classes[*id] : nullptr;
}

std::optional<std::uint32_t> Program::class_method(std::uint32_t class_id, std::string_view name) const {
  for (const ClassRec::MethodRef& m : classes[class_id].method_ids)
    if (same_name(m.name, name)) return m.id;
  return std::nullopt;
}

std::optional<std::uint32_t> Program::fn_id(std::string_view key) const {
  return fn_ids.find(key);
}

std::string Program::free_fn_key(std::string_view module, std::string_view name) const {
  if (!colliding(name)) return std::string(name);
  return std::string(module) + "#" + std::string(name);
}

void Program::report(std::string_view code, std::size_t file, Ast::Pos pos, std::string message) {
  collector.add(Diag::error(std::string(code), files[file].path, pos.line, pos.col, std::move(message)));
}

namespace {

// The type as the syntax-tree dump prints it.
std::string type_text(const Ast::TypeExpr* t) {
  std::string out;
  while (t) {
    switch (t->kind) {
      case Ast::TypeKind::TyName: return out + std::string(t->as<Ast::TyName>().name);
      case Ast::TypeKind::TyRef: return out + "ref " + std::string(t->as<Ast::TyRef>().class_name);
      case Ast::TypeKind::TyMulti: return out + "multi " + std::string(t->as<Ast::TyMulti>().class_name);
      case Ast::TypeKind::TyMap: {
        const auto& m = t->as<Ast::TyMap>();
        return out + "map<" + std::string(m.key) + ", " + std::string(m.value) + ">";
      }
      case Ast::TypeKind::TyBacklink: {
        const auto& b = t->as<Ast::TyBacklink>();
        return out + "backlink " + std::string(b.class_name) + "." + std::string(b.field);
      }
      case Ast::TypeKind::TyNullable:
        out += '?';
        t = t->as<Ast::TyNullable>().inner;
        break;
      case Ast::TypeKind::TyActor: return out + "actor " + std::string(t->as<Ast::TyActor>().message_type);
    }
  }
  return out;
}

std::string token_text(const Ast::RawToken& tok) {
  switch (tok.kind) {
    case Lexer::Kind::INT: return std::to_string(tok.int_value);
    case Lexer::Kind::IDENT: return std::string(tok.text);
    case Lexer::Kind::STR: return "\"" + std::string(tok.text) + "\"";
    case Lexer::Kind::FLOAT: {
      char buf[40];
      std::snprintf(buf, sizeof buf, "%.17g", tok.float_value);
      return buf;
    }
    default: {
      std::string label(Lexer::spelling(tok.kind));
      return label.empty() ? std::string(tok.text) : label;
    }
  }
}

// Fields of a typedef as one key: equal keys share one class entry.
std::string shape_key(const Types::ClassInfo& c) {
  std::string key;
  for (std::size_t i = 0; i < c.fields.size(); ++i) {
    const Ast::Field& f = c.fields[i];
    if (i) key += ';';
    key += f.name;
    key += ':';
    key += type_text(f.ty);
    if (f.default_kind == Ast::DefaultKind::Now) {
      key += "=now()";
    } else if (f.default_kind == Ast::DefaultKind::Tokens) {
      key += '=';
      for (std::size_t t = 0; t < f.default_tokens.size(); ++t) {
        if (t) key += ' ';
        key += token_text(f.default_tokens[t]);
      }
    }
  }
  return key;
}

FieldKind kind_of(const Types::Symbols& merged, const Types::Typ& ty) {
  int k = Types::vkb_kind_of_typ(merged, strip_all(ty));
  return k >= 0 && k <= 7 ? FieldKind(k) : FieldKind::SCALAR;
}

struct ProgramBuilder {
  Program& prog;
  const EntryOk& entry_ok;

  std::optional<std::pair<std::size_t, std::pair<Ast::Pos, std::string>>> index_error;

  std::uint32_t add_class(std::string_view name, ClassRec rec) {
    auto id = std::uint32_t(prog.classes.size());
    rec.name = prog.class_names.emplace_back(name);
    prog.class_ids.insert(rec.name, id);
    prog.classes.push_back(std::move(rec));
    return id;
  }

  void index_problem(std::size_t file, Ast::Pos pos, std::string message) {
    index_error = {file, {pos, std::move(message)}};
  }

  bool indexable(const ClassRec::FieldRec& f) {
    FieldKind k = kind_of(prog.merged, f.type ? Types::typ_of_field_ty(*f.type) : Types::t_named("Int"));
    return k == FieldKind::SCALAR || k == FieldKind::TEXT || k == FieldKind::FLOAT;
  }

  void table_indexes(std::size_t file, const Types::ClassInfo& info, ClassRec& rec) {
    for (std::size_t i = 0; i < rec.fields.size(); ++i) {
      const Ast::Field* f = rec.fields[i].decl;
      if (!f) continue;
      bool unique = std::find(f->annotations.begin(), f->annotations.end(), "unique") != f->annotations.end();
      if (!unique) continue;
      if (!indexable(rec.fields[i])) {
        index_problem(file, f->pos, "`@unique` on " + q(std::string(info.name) + "." + std::string(f->name)) +
                                        ": only scalar, Text, and Float fields can be indexed");
      }
      rec.indexes.push_back({true, {std::uint32_t(i)}});
    }
    if (!info.table) return;
    for (std::span<const Ast::Name> columns : info.table->indexes) {
      TableIndex index;
      bool ok = true;
      for (Ast::Name column : columns) {
        int slot = rec.slot_of(column);
        if (slot < 0) {
          index_problem(file, info.pos, "`@table(index: ...)` on " + q(info.name) + " names " + q(column) +
                                            ", which is not a field");
          ok = false;
          continue;
        }
        if (!indexable(rec.fields[std::size_t(slot)])) {
          index_problem(file, info.pos, "`@table(index: ...)` on " + q(info.name) + ": " + q(column) +
                                            " is not a scalar, Text, or Float field");
        }
        index.slots.push_back(std::uint32_t(slot));
      }
      if (ok) rec.indexes.push_back(std::move(index));
    }
  }

  ClassRec class_of_info(const Types::ClassInfo& info) {
    ClassRec rec;
    rec.gc = Types::is_gc_class(prog.merged, info.name);
    rec.info = &info;
    rec.fields.reserve(info.fields.size());
    for (const Ast::Field& f : info.fields) rec.fields.push_back({f.name, f.ty, &f, {}});
    return rec;
  }

  void collect_classes() {
    std::unordered_map<std::string, std::uint32_t> shapes;
    for (std::size_t fi = 0; fi < prog.files.size(); ++fi) {
      Ast::List<Ast::Decl> decls = prog.files[fi].tree->decls;
      for (std::size_t di = 0; di < decls.size(); ++di) {
        // The declarations lie far apart in the tree: ask for a few ahead.
        if (di + 8 < decls.size()) __builtin_prefetch(decls[di + 8]);
        const Ast::Decl* d = decls[di];
        if (const auto* c = d->get_if<Ast::ClassDecl>()) {
          std::string name(c->name);
          if (prog.class_ids.find(name)) continue;
          const Types::ClassInfo* info = prog.merged.classes.find(c->name);
          if (!info) continue;
          if (c->is_typedef) {
            std::string key = shape_key(*info);
            if (auto it = shapes.find(key); it != shapes.end()) {
              prog.class_ids.insert(prog.class_names.emplace_back(name), it->second);
              continue;
            }
            ClassRec rec = class_of_info(*info);
            table_indexes(fi, *info, rec);
            std::uint32_t id = add_class(name, std::move(rec));
            shapes.emplace(std::move(key), id);
            method_sources.push_back({fi, id, c, nullptr});
            continue;
          }
          ClassRec rec = class_of_info(*info);
          table_indexes(fi, *info, rec);
          method_sources.push_back({fi, add_class(name, std::move(rec)), c, nullptr});
        } else if (const auto* fn = d->get_if<Ast::FnDecl>()) {
          if (fn->fn) method_sources.push_back({fi, none, nullptr, fn->fn});
        } else if (const auto* i = d->get_if<Ast::InterfaceDecl>()) {
          if (prog.iface_ids.find(i->name)) continue;
          const Types::InterfaceInfo* info = prog.merged.interfaces.find(i->name);
          if (!info) continue;
          prog.iface_ids.insert(i->name, std::uint32_t(prog.interfaces.size()));
          prog.interfaces.push_back({std::string(i->name), info, 0});
        } else if (const auto* u = d->get_if<Ast::UnionDecl>()) {
          bool payload = std::any_of(u->variants.begin(), u->variants.end(),
                                     [](const Ast::Variant& v) { return !v.payload.empty(); });
          if (!payload) continue;
          for (const Ast::Variant& v : u->variants) {
            std::string name = std::string(u->name) + "." + std::string(v.name);
            if (prog.class_ids.find(name)) continue;
            ClassRec rec;
            rec.fields.reserve(v.payload.size());
            for (const Ast::PayloadField& p : v.payload) rec.fields.push_back({p.name, p.ty, nullptr, {}});
            add_class(name, std::move(rec));
          }
        }
      }
    }
    if (index_error) {
      prog.report(cannot_lower_code, index_error->first, index_error->second.first, index_error->second.second);
    }
    std::uint32_t slot = 0;
    for (IfaceRec& i : prog.interfaces) {
      i.first_slot = slot;
      slot += std::uint32_t(i.info->sigs.size());
    }
    library_records();
  }

  // The library records the program needs (`Error` for any `try`, the record
  // of each library member it calls), as the ownership pass found them.
  void library_records() {
    for (std::string_view name : {"Error", "Stat", "TimeParts", "Proc"}) {
      bool needed = std::any_of(prog.files.begin(), prog.files.end(), [&](const SourceUnit& f) {
        const auto& records = f.tables->library_records;
        return std::find(records.begin(), records.end(), name) != records.end();
      });
      if (!needed || prog.class_ids.find(name)) continue;
      const Types::ClassInfo* info = prog.merged.classes.find(name);
      if (!info) continue;
      add_class(name, class_of_info(*info));
    }
  }

  std::uint32_t add_method(MethodRec rec, std::size_t args) {
    auto id = std::uint32_t(prog.methods.size());
    rec.id = id;
    prog.method_of_decl.insert(rec.decl, id);
    prog.methods.push_back(rec);
    prog.entries.emplace_back().args = std::uint8_t(std::min<std::size_t>(args, 255));
    return id;
  }

  // Where methods come from, in file and declaration order: each class that
  // got a record of its own (a repeated or aliased one lends none), and each
  // function. Kept from the class walk so the trees are walked once.
  struct MethodSource {
    std::size_t file;
    std::uint32_t class_id;
    const Ast::ClassDecl* cls;  // null for a function
    const Ast::Method* fn;      // null for a class
  };
  std::vector<MethodSource> method_sources;

  void collect_methods() {
    std::size_t methods = 0;
    std::size_t fns = 0;
    for (const MethodSource& s : method_sources) {
      if (s.cls) methods += s.cls->methods.size();
      else ++fns;
    }
    // Free functions of one name declared in several modules get keys that
    // name their module; within one module, names cannot collide.
    bool modules = std::any_of(prog.modules_of_files.begin(), prog.modules_of_files.end(),
                               [&](const std::string& m) { return m != prog.modules_of_files.front(); });
    if (modules) {
      NameTable first_file;  // the index of the first file declaring each name
      first_file.reserve(fns);
      for (const MethodSource& s : method_sources) {
        if (s.cls) continue;
        std::uint32_t first = first_file.insert(s.fn->name, std::uint32_t(s.file));
        if (prog.modules_of_files[first] != prog.modules_of_files[s.file]) prog.colliding_fns.insert(std::string(s.fn->name));
      }
    }
    prog.methods.reserve(methods + fns);
    prog.entries.reserve(methods + fns);
    prog.method_of_decl.reserve(methods + fns);
    prog.fn_ids.reserve(fns);
    for (std::size_t si = 0; si < method_sources.size(); ++si) {
      const MethodSource& s = method_sources[si];
      if (si + 4 < method_sources.size()) {
        const MethodSource& ahead = method_sources[si + 4];
        __builtin_prefetch(ahead.fn ? static_cast<const void*>(ahead.fn) : ahead.cls);
      }
      if (s.cls) {
        prog.classes[s.class_id].method_ids.reserve(s.cls->methods.size());
        for (const Ast::Method* m : s.cls->methods) {
          if (prog.class_method(s.class_id, m->name)) continue;
          std::size_t args = m->params.size() + (m->is_static ? 0 : 1);
          std::uint32_t id = add_method({m->name, m, s.file, s.class_id, 0}, args);
          prog.classes[s.class_id].method_ids.push_back({m->name, id, std::uint32_t(m->params.size()), m->is_static});
        }
        continue;
      }
      const Ast::Method* m = s.fn;
      std::string_view key = m->name;
      if (prog.colliding(key)) key = prog.fn_keys.emplace_back(prog.free_fn_key(prog.modules_of_files[s.file], key));
      auto id = std::uint32_t(prog.methods.size());
      if (prog.fn_ids.insert(key, id) != id) continue;
      entry_rule(s.file, *m, add_method({m->name, m, s.file, none, 0}, m->params.size()));
    }
  }

  void entry_rule(std::size_t fi, const Ast::Method& m, std::uint32_t id) {
    if (m.name != "main" || (entry_ok && !entry_ok(prog.files[fi].path))) return;
    bool params_ok = m.params.empty();
    if (m.params.size() == 1 && m.params[0].ty) {
      const auto* multi = m.params[0].ty->get_if<Ast::TyMulti>();
      params_ok = multi && multi->class_name == "Text";
    }
    if (!params_ok) return;
    prog.entry = id;
    if (m.ret && type_text(m.ret) != "Int") {
      prog.report(entry_return_code, fi, m.pos,
                  "entry `main` declares return type " + q(type_text(m.ret)) +
                      " — the entry's return value is the process exit code, so it must return `Int`");
    }
  }

  // Constant numbers of the names the image lists, in seeding order.
  std::vector<std::uint32_t> class_names, field_names, iface_names, method_names;

  void seed_constants() {
    // The names, then new literals: about one for every two methods. A larger
    // program grows the pool as usual.
    std::size_t fields = 0;
    for (const ClassRec& c : prog.classes) fields += c.fields.size();
    prog.pool.reserve(prog.classes.size() + fields + prog.interfaces.size() + prog.methods.size() / 2);
    class_names.reserve(prog.classes.size());
    for (const ClassRec& c : prog.classes) class_names.push_back(prog.pool.const_text(c.name));
    for (const ClassRec& c : prog.classes)
      for (const ClassRec::FieldRec& f : c.fields) field_names.push_back(prog.pool.const_text(f.name));
    for (const IfaceRec& i : prog.interfaces) iface_names.push_back(prog.pool.const_text(i.name));
    method_names.reserve(prog.methods.size());
    for (const MethodRec& m : prog.methods) method_names.push_back(prog.pool.const_text(m.name));
  }

  void check_residual() {
    for (std::size_t fi = 0; fi < prog.files.size(); ++fi) {
      std::vector<const Owner::Residual*> left;
      for (const Owner::Residual& r : prog.files[fi].tables->residual)
        if (!prog.guarded.count(&r)) left.push_back(&r);
      std::stable_sort(left.begin(), left.end(), [](const Owner::Residual* a, const Owner::Residual* b) {
        return a->pos.line != b->pos.line ? a->pos.line < b->pos.line : a->pos.col < b->pos.col;
      });
      for (const Owner::Residual* r : left) {
        prog.report(unguardable_code, fi, r->pos,
                    "residual borrow site was never wrapped in runtime guards — the emitter has no lowering for "
                    "this region, and leaving it unguarded would disable the aliasing check it exists for");
      }
    }
  }

  std::uint32_t class_meta(const Types::Typ& ty) {
    if (const auto* n = ty.get_if<Types::TNullable>()) {
      std::string_view inner = Types::named_name(strip_all(*n->inner));
      if (inner == "Float") return meta_nullable_float;
      if (inner == "Bool") return meta_nullable_bool;
      if (!inner.empty() && kind_of(prog.merged, strip_all(ty)) == FieldKind::SCALAR &&
          !prog.class_ids.find(inner))
        return meta_nullable_scalar;
    }
    const Types::Typ& t = strip_all(ty);
    std::string_view name = Types::named_name(t);
    if (name == Types::json_value_type) return meta_json;
    if (name == "Bool") return meta_bool;
    std::string cls;
    if (!name.empty()) cls = std::string(name);
    else if (const auto* r = t.get_if<Types::TRef>()) cls = r->class_name;
    else if (const auto* m = t.get_if<Types::TMulti>()) cls = std::string(Types::named_name(strip_all(*m->elem)));
    else if (const auto* m = t.get_if<Types::TMap>()) cls = std::string(Types::named_name(strip_all(*m->value)));
    if (auto id = prog.class_id(cls)) return *id;
    return none;
  }

  std::uint32_t elem_meta(const Types::Typ& ty) {
    const Types::Typ& t = strip_all(ty);
    if (const auto* m = t.get_if<Types::TMulti>()) return elem_meta_multi(kind_of(prog.merged, *m->elem));
    if (const auto* m = t.get_if<Types::TMap>())
      return elem_meta_map(kind_of(prog.merged, *m->key), kind_of(prog.merged, *m->value));
    return 0;
  }

  // A class satisfies an interface by structure: it has a method of each
  // signature's name, not static, with as many parameters. Only the
  // interfaces whose first signature a class has a method for are tried.
  void vtables(Image& out) {
    NameTable by_first_sig;  // index into `groups`
    std::vector<std::vector<std::uint32_t>> groups;
    std::vector<std::uint32_t> no_sigs;
    for (std::uint32_t ii = 0; ii < prog.interfaces.size(); ++ii) {
      const auto& sigs = prog.interfaces[ii].info->sigs;
      if (sigs.empty()) {
        no_sigs.push_back(ii);
        continue;
      }
      auto group = by_first_sig.insert(sigs.front()->name, std::uint32_t(groups.size()));
      if (group == groups.size()) groups.emplace_back();
      groups[group].push_back(ii);
    }
    // A large program can have many vtables: room for every candidate pair
    // is set aside first (only the entries written are touched), so the
    // table is not copied as it grows.
    std::size_t pairs = 0;
    for (const ClassRec& c : prog.classes) {
      if (!c.info) continue;
      pairs += no_sigs.size();
      for (const ClassRec::MethodRef& m : c.method_ids)
        if (auto group = by_first_sig.find(m.name)) pairs += groups[*group].size();
    }
    out.vtables.reserve(pairs);
    std::vector<std::uint32_t> candidates, slots;
    for (std::uint32_t ci = 0; ci < prog.classes.size(); ++ci) {
      const ClassRec& c = prog.classes[ci];
      if (!c.info) continue;
      candidates = no_sigs;
      for (const ClassRec::MethodRef& m : c.method_ids)
        if (auto group = by_first_sig.find(m.name))
          candidates.insert(candidates.end(), groups[*group].begin(), groups[*group].end());
      std::sort(candidates.begin(), candidates.end());
      candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
      for (std::uint32_t ii : candidates) {
        const auto& sigs = prog.interfaces[ii].info->sigs;
        if (sigs.size() > c.info->methods.size()) continue;
        slots.clear();
        for (const Ast::Signature* sig : sigs) {
          auto m = std::find_if(c.method_ids.begin(), c.method_ids.end(),
                                [&](const ClassRec::MethodRef& r) { return same_name(r.name, sig->name); });
          if (m == c.method_ids.end() || m->is_static || m->params != sig->params.size()) break;
          slots.push_back(m->id);
        }
        if (slots.size() == sigs.size()) out.vtables.push_back({ci, ii, slots});
      }
    }
  }

  Image image() {
    Image out;
    out.classes.reserve(prog.classes.size());
    std::size_t field_no = 0;
    for (std::size_t ci = 0; ci < prog.classes.size(); ++ci) {
      const ClassRec& c = prog.classes[ci];
      ClassEntry e;
      e.name = class_names[ci];
      e.gc = c.gc;
      e.fields.reserve(c.fields.size());
      for (const ClassRec::FieldRec& f : c.fields) {
        Field field;
        field.kind = kind_of(prog.merged, *f.info);
        field.name = field_names[field_no++];
        field.class_meta = class_meta(*f.info);
        field.elem_meta = elem_meta(*f.info);
        // May the field hold nil? Scalars tell it by their class meta.
        if (f.info->get_if<Types::TNullable>() && field.kind != FieldKind::SCALAR && field.kind != FieldKind::FLOAT)
          field.elem_meta |= elem_meta_nullable;
        e.fields.push_back(field);
      }
      e.indexes = c.indexes;
      out.classes.push_back(std::move(e));
    }
    for (std::size_t ii = 0; ii < prog.interfaces.size(); ++ii)
      out.interfaces.push_back({iface_names[ii], std::uint32_t(prog.interfaces[ii].info->sigs.size())});
    vtables(out);
    for (std::size_t mi = 0; mi < prog.methods.size(); ++mi) {
      prog.entries[mi].name = method_names[mi];
      prog.entries[mi].owner = prog.methods[mi].owner;
    }
    out.methods = std::move(prog.entries);
    out.entry = prog.entry;
    out.constants = prog.pool.take_entries();
    return out;
  }
};

}  // namespace
}  // namespace Emit::detail

namespace Emit {

namespace {
// The parser allocates a method's node before the nodes of its body, so a
// method's tree mostly lies between its node and the next method's. Asking
// for those lines one method ahead overlaps their misses with the work.
void prefetch_between(const void* from, const void* to) {
  auto begin = reinterpret_cast<std::uintptr_t>(from), end = reinterpret_cast<std::uintptr_t>(to);
  if (end <= begin || end - begin > 16384) return;
  for (std::uintptr_t p = begin & ~std::uintptr_t(63); p < end; p += 64) __builtin_prefetch(reinterpret_cast<const void*>(p));
}
}  // namespace

Image emit_image(const EntryOk& entry_ok, const Types::Symbols& merged, const Types::ModuleOf& module_of,
                 const Types::ModuleTables& modules, Diag::Collector& collector,
                 std::span<const SourceUnit> files) {
  using namespace detail;
  Program prog(merged, module_of, modules, collector, files);
  prog.variant_names.reserve(merged.variants.size());
  for (const auto& entry : merged.variants) prog.variant_names.insert(entry.first, 0);
  ProgramBuilder b{prog, entry_ok, std::nullopt, {}, {}, {}, {}, {}};
  for (const SourceUnit& f : files) prog.modules_of_files.push_back(module_of(f.path));
  b.collect_classes();
  for (ClassRec& c : prog.classes)
    for (ClassRec::FieldRec& f : c.fields) f.info = f.type ? prog.types.of_type_expr(*f.type) : prog.types.int_ty();
  b.collect_methods();
  prog.views.resize(files.size());
  b.seed_constants();
  // Methods come file by file: each file's views live while its methods are emitted.
  std::size_t viewed = files.size();
  MethodScratch scratch;
  for (std::size_t mi = 0; mi < prog.methods.size(); ++mi) {
    MethodRec& m = prog.methods[mi];
    if (mi + 2 < prog.methods.size()) prefetch_between(prog.methods[mi + 1].decl, prog.methods[mi + 2].decl);
    if (m.file != viewed) {
      if (viewed < files.size()) prog.views[viewed] = Views{};
      viewed = m.file;
      prog.views[viewed] = build_views(*files[viewed].tables, files[viewed].tree->next_id);
    }
    MethodEmitter(prog, m, scratch).run();
  }
  b.check_residual();
  return b.image();
}

std::string emit(const EntryOk& entry_ok, const Types::Symbols& merged, const Types::ModuleOf& module_of,
                 const Types::ModuleTables& modules, Diag::Collector& collector,
                 std::span<const SourceUnit> files) {
  return write_image(emit_image(entry_ok, merged, module_of, modules, collector, files));
}

}  // namespace Emit
