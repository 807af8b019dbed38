// Calls (direct, interface, builtin, library members), constructors, field
// defaults and container literals.
#include <unordered_map>

#include "emit/method.hpp"

namespace Emit::detail {

namespace {

using Types::Typ;

// `math.abs`, `min` and `max` of Ints have builtins of their own, as `get`
// has one per container kind; the checker saw to it that the arguments agree.
int math_int_form(int number, const Ty& first) {
  if (!first || Types::named_name(strip_all(*first)) != "Int") return number;
  switch (Builtin(number)) {
    case Builtin::MATH_ABS: return int(Builtin::MATH_ABS_INT);
    case Builtin::MATH_MIN: return int(Builtin::MATH_MIN_INT);
    case Builtin::MATH_MAX: return int(Builtin::MATH_MAX_INT);
    default: return number;
  }
}

// The builtin a bare call of this source name reaches (not get/set/has/push,
// whose id depends on the container).
const BuiltinInfo* builtin_by_source(std::string_view name) {
  // Built once from the builtin table and only read afterwards.
  static const NameTable by_source = [] {
    NameTable t;
    for (unsigned id = 0; id < 256; ++id)
      if (const BuiltinInfo* b = builtin_info(id); b && !b->source.empty()) t.insert(b->source, id);
    return t;
  }();
  auto id = by_source.find(name);
  return id ? builtin_info(*id) : nullptr;
}

bool is_container_builtin(std::string_view n) { return n == "get" || n == "set" || n == "has" || n == "push"; }

std::string args_text(int n) { return std::to_string(n) + " argument(s), given "; }

}  // namespace

Ty MethodEmitter::emit_call(int dst, const Ast::Call& c, const Ty& expected) {
  if (const auto* id = c.callee->get_if<Ast::Ident>()) {
    std::string_view name = id->name;
    // A name met before, at the same bytes, calls what it called then (names
    // declared in several modules depend on the file, and are looked up each time).
    if (auto known = prog.callees.find(name.data()); known && known->size == name.size()) {
      if (known->method != none) return emit_direct(dst, c, known->method, nullptr, {}, name);
      if (known->builtin) return emit_builtin(dst, c, name, expected);
    } else if (const Types::FnInfo* fn = prog.merged.functions.find(name); fn && !is_container_builtin(name)) {
      // The declaration the checker resolved, unless the name is declared in several modules.
      auto m = !prog.colliding(name) ? prog.method_of(fn->fn) : prog.fn_id(prog.free_fn_key(module, name));
      if (!m && prog.colliding(name)) {
        // Declared in another module the file uses: the first such function.
        for (std::uint32_t i = 0; i < prog.methods.size() && !m; ++i)
          if (prog.methods[i].owner == none && prog.methods[i].decl->name == name) m = i;
      }
      if (!m) return fail(dst, c.pos, "no emitted method for " + q(name));
      if (!prog.colliding(name)) prog.callees.insert(name.data(), {std::uint32_t(name.size()), *m});
      return emit_direct(dst, c, *m, nullptr, {}, name);
    } else {
      bool builtin = !prog.variant(name) && (is_container_builtin(name) || builtin_by_source(name));
      prog.callees.insert(name.data(), {std::uint32_t(name.size()), none, builtin});
      if (builtin) return emit_builtin(dst, c, name, expected);
    }
    if (auto v = prog.variant(name)) return emit_variant_ctor(dst, c, *v);
    if (is_container_builtin(name) || builtin_by_source(name)) return emit_builtin(dst, c, name, expected);
    std::string extra;
    if (name == "esc")
      extra = " (a `{{ ... }}` hole calls it -- add `use html`, or declare your own `fn esc(t: Text) -> Text`)";
    return fail(dst, c.pos, "call to " + q(name) + ", which is not a declared fn or a builtin" + extra);
  }
  const auto* fa = c.callee->get_if<Ast::FieldAccess>();
  if (!fa) return fail(dst, c.pos, "only a name or a `receiver.method` form can be called");
  if (const auto* obj = fa->object->get_if<Ast::Ident>(); obj && !find_local(obj->name)) {
    if (Types::library_module_call(obj->name, prog.modules)) return emit_stdlib(dst, c, obj->name, fa->field);
    if (const Types::ClassInfo* ci = prog.merged.classes.find(obj->name)) {
      const Ast::Method* decl = ci->method(fa->field);
      auto m = decl ? prog.method_of(decl) : std::nullopt;
      if (!decl || !m) return fail(dst, c.pos, q(obj->name) + " has no method " + q(fa->field));
      return emit_direct(dst, c, *m, nullptr, obj->name, fa->field);
    }
    if (prog.merged.unions.contains(obj->name)) {
      if (auto v = Types::find_variant(prog.merged, obj->name, fa->field)) return emit_variant_ctor(dst, c, *v);
    }
    // A module is named by its last path component (`use util/format` gives `format`).
    auto mod = prog.modules.find(std::string(obj->name));
    if (mod == prog.modules.end()) {
      std::string tail = "/" + std::string(obj->name);
      for (auto it = prog.modules.begin(); it != prog.modules.end(); ++it)
        if (it->first.size() > tail.size() && it->first.compare(it->first.size() - tail.size(), tail.size(), tail) == 0 &&
            it->second.functions.contains(fa->field)) {
          mod = it;
          break;
        }
    }
    if (mod != prog.modules.end()) {
      const Types::FnInfo* fn = mod->second.functions.find(fa->field);
      auto m = !fn ? std::nullopt
               : !prog.colliding(fa->field) ? prog.method_of(fn->fn)
                                            : prog.fn_id(prog.free_fn_key(mod->first, fa->field));
      if (!m)
        return fail(dst, c.pos, "call to " + q(std::string(obj->name) + "." + std::string(fa->field)) +
                                    ", which is not a declared fn in module " + q(obj->name));
      return emit_direct(dst, c, *m, nullptr, obj->name, fa->field);
    }
  }
  Ty recv = type_of(*fa->object);
  if (!recv) return fail(dst, c.pos, "cannot resolve the receiver's type for the call to " + q(fa->field));
  if (const ClassRec* cls = class_of(recv); cls && cls->info) {
    const Ast::Method* m = cls->info->method(fa->field);
    auto id = m ? prog.method_of(m) : std::nullopt;
    if (!m || !id) return fail(dst, c.pos, q(cls->name) + " has no method " + q(fa->field));
    if (m->is_static)
      return fail(dst, c.pos, q(fa->field) + " is a `static fn` — call it as " +
                                  q(std::string(cls->name) + "." + std::string(fa->field) + "(...)") +
                                  ", not on an instance");
    return emit_direct(dst, c, *id, fa->object, {}, fa->field);
  }
  std::string_view n = Types::named_name(strip_all(*recv));
  if (auto iface = prog.iface_ids.find(n)) return emit_iface(dst, c, prog.interfaces[*iface], *fa->object);
  return fail(dst, c.pos, "method " + q(fa->field) + " called on a value that is not a class instance");
}

Ty MethodEmitter::emit_direct(int dst, const Ast::Call& c, std::uint32_t method, const Ast::Expr* receiver,
                              std::string_view qualifier, std::string_view name) {
  const Ast::Method& callee = *prog.methods[method].decl;
  if (c.args.size() != callee.params.size()) {
    std::string label = qualifier.empty() ? std::string(name) : std::string(qualifier) + "." + std::string(name);
    return fail(dst, c.pos, q(label) + " takes " + args_text(int(callee.params.size())) + std::to_string(c.args.size()));
  }
  int first = receiver ? 1 : 0;
  int n = int(c.args.size()) + first;
  int base = alloc_temps(n);
  std::vector<std::pair<const Ast::Expr*, int>> window_regs;
  std::vector<Ty> arg_tys(c.args.size());
  if (!views.residual.empty()) window_regs.reserve(std::size_t(n));
  if (receiver) {
    emit_expr(base, *receiver);
    if (!views.residual.empty()) window_regs.push_back({receiver, base});
  }
  for (std::size_t i = 0; i < c.args.size(); ++i) {
    const Ast::Param& p = callee.params[i];
    Ty expected = p.ty ? ty_of(*p.ty) : std::nullopt;
    // A `take` parameter frees what it gets: it must be the callee's own.
    arg_tys[i] = p.mode == Ast::ParamMode::Take ? emit_owned(base + first + int(i), *c.args[i], expected)
                                                : emit_expr(base + first + int(i), *c.args[i], expected);
    if (!views.residual.empty()) window_regs.push_back({c.args[i], base + first + int(i)});
  }
  // The result replaces the first window register: keep a fresh value there
  // in a spare register so it can be released after the call.
  int keep = -1;
  bool release_first = !receiver && !c.args.empty() && callee.params[0].mode != Ast::ParamMode::Take &&
                       is_fresh(*c.args[0], arg_tys[0]) && !views.is_moved(c.args[0]->id);
  // So does a receiver made only for this call.
  if (receiver && is_fresh(*receiver, type_of(*receiver))) release_first = true;
  if (release_first) {
    keep = alloc_temp();
    move(keep, base);
  }
  auto guards = views.residual.empty() ? decltype(residual_guards(c.id, window_regs)){}
                                        : residual_guards(c.id, window_regs);
  acquire_guards(guards);
  sync_mask(c.id);
  put_abx(Op::CALL, base, method, IndexKind::METHOD, c.pos);
  release_guards(guards);
  for (std::size_t i = 0; i < c.args.size(); ++i) {
    int reg = base + first + int(i);
    if (reg == base) continue;
    if (callee.params[i].mode == Ast::ParamMode::Take || views.is_moved(c.args[i]->id)) continue;
    release_if_fresh(*c.args[i], reg, arg_tys[i]);
  }
  if (keep >= 0) put_abc(Op::DROP, keep, 0, 0);
  move(dst, base);
  if (!callee.ret) return std::nullopt;
  return ty_of(*callee.ret);
}

Ty MethodEmitter::emit_iface(int dst, const Ast::Call& c, const IfaceRec& iface, const Ast::Expr& receiver) {
  const auto* fa = &c.callee->as<Ast::FieldAccess>();
  std::uint32_t pos = 0;
  const Ast::Signature* sig = nullptr;
  for (const Ast::Signature* s : iface.info->sigs) {
    if (s->name == fa->field) {
      sig = s;
      break;
    }
    ++pos;
  }
  if (!sig) return fail(dst, c.pos, q(iface.name) + " has no method " + q(fa->field));
  if (c.args.size() != sig->params.size())
    return fail(dst, c.pos, "the interface method takes " + args_text(int(sig->params.size())) +
                                std::to_string(c.args.size()));
  int base = alloc_temps(int(c.args.size()) + 1);
  std::vector<std::pair<const Ast::Expr*, int>> window_regs{{&receiver, base}};
  std::vector<Ty> arg_tys(c.args.size());
  emit_expr(base, receiver);
  for (std::size_t i = 0; i < c.args.size(); ++i) {
    const Ast::Param& p = sig->params[i];
    Ty expected = p.ty ? ty_of(*p.ty) : std::nullopt;
    arg_tys[i] = p.mode == Ast::ParamMode::Take ? emit_owned(base + 1 + int(i), *c.args[i], expected)
                                                : emit_expr(base + 1 + int(i), *c.args[i], expected);
    window_regs.push_back({c.args[i], base + 1 + int(i)});
  }
  auto guards = residual_guards(c.id, window_regs);
  acquire_guards(guards);
  sync_mask(c.id);
  put_abx(Op::ICALL, base, iface.first_slot + pos, IndexKind::INTERFACE_SLOT, c.pos);
  release_guards(guards);
  for (std::size_t i = 0; i < c.args.size(); ++i) {
    if (sig->params[i].mode == Ast::ParamMode::Take || views.is_moved(c.args[i]->id)) continue;
    release_if_fresh(*c.args[i], base + 1 + int(i), arg_tys[i]);
  }
  move(dst, base);
  return sig->ret ? ty_of(*sig->ret) : std::nullopt;
}

Ty MethodEmitter::emit_builtin(int dst, const Ast::Call& c, std::string_view name, const Ty& expected) {
  int given = int(c.args.size());
  const BuiltinInfo* info = nullptr;
  if (is_container_builtin(name)) {
    int arity = name == "set" ? 3 : 2;
    if (given == 0)
      return fail(dst, c.pos, "builtin " + q(name) + " takes " + std::to_string(arity) + " arguments, given 0");
    Ty first = type_of(*c.args[0]);
    const Typ* t = first ? &strip_all(*first) : nullptr;
    bool multi = t && t->is<Types::TMulti>(), map = t && t->is<Types::TMap>();
    Builtin id;
    if (name == "get" && (multi || map)) id = multi ? Builtin::MULTI_GET : Builtin::MAP_GET;
    else if (name == "set" && map) id = Builtin::MAP_SET;
    else if (name == "has" && map) id = Builtin::MAP_HAS;
    else if (name == "push" && multi) id = Builtin::MULTI_PUSH;
    else if (name == "get")
      return fail(dst, c.pos, "builtin `get` needs a `multi` or a `map` as its first argument");
    else if (name == "push")
      return fail(dst, c.pos, "builtin `push` needs a `multi` as its first argument");
    else
      return fail(dst, c.pos, "builtin " + q(name) + " needs a `map` as its first argument");
    info = builtin_info(unsigned(id));
  } else {
    info = builtin_by_source(name);
    if (!info) return fail(dst, c.pos, "unknown builtin " + q(name));
  }
  if (info->id == Builtin::MULTI_NEW || info->id == Builtin::MAP_NEW) {
    // The kinds byte comes from the destination's declared type.
    bool multi = info->id == Builtin::MULTI_NEW;
    auto kinds = kinds_of(expected);
    bool fits = kinds && (multi ? strip_all(*expected).is<Types::TMulti>() : strip_all(*expected).is<Types::TMap>());
    if (fits && given == 0) {
      sync_mask(c.id);
      put_abc(Op::BUILTIN, dst, *kinds, int(info->id));
      return expected;
    }
    if (given != 0) return fail(dst, c.pos, "builtin " + q(name) + " takes no arguments");
    return fail(dst, c.pos, q(info->name) + " needs a destination of declared type " +
                                q(multi ? "multi T" : "map<K, V>") +
                                " — its element kinds are the               container's drop plan and cannot be "
                                "guessed; build it into a field of that type");
  }
  int arity = info->arity < 0 ? given : info->arity;
  if (arity == 0 && given != 0) return fail(dst, c.pos, "builtin " + q(name) + " takes no arguments");
  if (given != arity)
    return fail(dst, c.pos, "builtin " + q(name) + " takes " + args_text(arity) + std::to_string(given));
  int base = alloc_temps(arity);
  std::vector<Ty> tys(c.args.size());
  Ty first_elem;
  for (std::size_t i = 0; i < c.args.size(); ++i) {
    Ty expected;
    if (i > 0 && tys[0]) {
      const Typ& t = strip_all(*tys[0]);
      if (const auto* m = t.get_if<Types::TMulti>()) expected = ty_of(*m->elem);
      if (const auto* m = t.get_if<Types::TMap>()) expected = ty_of(i == 1 ? *m->key : *m->value);
    }
    // The storing builtins and messages keep their values: they must be theirs.
    bool kept = i > 0 && (info->id == Builtin::MULTI_PUSH || info->id == Builtin::MAP_SET ||
                          info->id == Builtin::SEND || info->id == Builtin::CALL);
    tys[i] = kept ? emit_owned(base + int(i), *c.args[i], expected) : emit_expr(base + int(i), *c.args[i], expected);
  }
  sync_mask(c.id);
  // `raise` never comes back: a fresh message text is released by the unwinding
  // it starts, so its register is marked owned at the call.
  bool raise_fresh_msg = info->id == Builtin::RAISE && c.args.size() == 2 && is_text(tys[1]) &&
                         is_fresh(*c.args[1], tys[1]);
  if (raise_fresh_msg) mask_set(base + 1, false);
  builtin(dst, base, info->id);
  if (raise_fresh_msg) mask_clear(base + 1);
  Builtin id = info->id;
  bool takes_all = id == Builtin::MULTI_PUSH || id == Builtin::MAP_SET || id == Builtin::SEND || id == Builtin::CALL;
  bool lends_first = id == Builtin::MULTI_GET || id == Builtin::MAP_GET || id == Builtin::LATEST ||
                     id == Builtin::KEY_AT || id == Builtin::VAL_AT;
  if (!takes_all) {
    for (std::size_t i = lends_first ? 1 : 0; i < c.args.size(); ++i) {
      if (base + int(i) == dst) continue;
      release_if_fresh(*c.args[i], base + int(i), tys[i]);
    }
  }
  return builtin_ret(name, tys.empty() ? Ty() : tys[0]);
}

Ty MethodEmitter::emit_stdlib(int dst, const Ast::Call& c, std::string_view module, std::string_view member) {
  const Types::StdlibMember* m = Types::stdlib_member(module, member);
  if (!m)
    return fail(dst, c.pos, "stdlib module " + q(module) + " has no member " + q(member), stdlib_not_linked_code);
  int given = int(c.args.size());
  if (module == "json" && member == "encode" && given != 1)
    return fail(dst, c.pos, "`json.encode` takes exactly one argument");
  if (module == "json" && member == "decode")
    return fail(dst, c.pos, "`json.decode(text)` needs a target type — write `json.decode(text) as T`, whose result is `?T`");
  std::string full = std::string(module) + "." + std::string(member);
  if (given != m->arity)
    return fail(dst, c.pos, q(full) + " takes " + args_text(m->arity) + std::to_string(given));
  if (!m->record.empty() && !prog.class_id(m->record))
    return fail(dst, c.pos, "no class-table entry for the " + q(m->record) + " record — " + q(full) +
                                " cannot build its result");
  int base = alloc_temps(given);
  std::vector<Ty> tys(c.args.size());
  for (std::size_t i = 0; i < c.args.size(); ++i) tys[i] = emit_expr(base + int(i), *c.args[i]);
  sync_mask(c.id);
  put_abc(Op::BUILTIN, dst, base, math_int_form(m->builtin_number, tys.empty() ? Ty() : tys[0]));
  for (std::size_t i = 0; i < c.args.size(); ++i)
    if (base + int(i) != dst) release_if_fresh(*c.args[i], base + int(i), tys[i]);
  auto result = Types::library_call_result(module, member, tys.empty() || !tys[0] ? std::nullopt
                                                                                 : std::optional<Typ>(*tys[0]));
  if (result && result->is<Types::TVoid>()) return std::nullopt;
  return ty_of(result);
}

// ---------------------------------------------------------------- constructors

Ty MethodEmitter::emit_ctor(int dst, std::string_view class_name, std::span<const Ast::FieldInit> fields,
                            Ast::Pos pos) {
  auto cid = prog.class_id(class_name);
  if (!cid) return fail(dst, pos, "constructor of " + q(class_name) + ", which is not a declared class");
  // Built in a temporary so that a field value may still read the destination.
  int obj = alloc_temp();
  put_abx(Op::NEW, obj, *cid, IndexKind::CLASS, pos);
  emit_ctor_fields(obj, prog.classes[*cid], fields, pos);
  move(dst, obj);
  return named(class_name);
}

void MethodEmitter::emit_ctor_fields(int obj, const ClassRec& cls, std::span<const Ast::FieldInit> fields,
                                     Ast::Pos pos) {
  std::vector<bool> given(cls.fields.size(), false);
  for (const Ast::FieldInit& f : fields) {
    int slot = cls.slot_of(f.field);
    int mark = temp_mark();
    int v = alloc_temp();
    if (slot < 0) {
      report(cannot_lower_code, f.pos, q(cls.name) + " has no field " + q(f.field));
      continue;
    }
    given[std::size_t(slot)] = true;
    emit_owned(v, *f.value, cls.fields[std::size_t(slot)].info);
    setf(obj, slot, v, f.pos);
    temp_reset(mark);
  }
  for (std::size_t i = 0; i < cls.fields.size(); ++i) {
    if (given[i]) continue;
    int mark = temp_mark();
    int v = alloc_temp();
    emit_default_value(v, cls.fields[i], pos);
    setf(obj, int(i), v, pos);
    temp_reset(mark);
  }
}

void MethodEmitter::emit_default_value(int dst, const ClassRec::FieldRec& field, Ast::Pos pos) {
  static const char* const unsupported =
      "cannot lower this field default — only Int/Text/Bool literals, `nil`, `now()`, `[]`, `{}` and `Rec {}` are "
      "supported";
  const Ast::Field* decl = field.decl;
  if (!decl || decl->default_kind == Ast::DefaultKind::None) {
    // No default: the field's zero (nil for nullable scalars).
    Ast::Nil nil{};
    nil.kind = Ast::ExprKind::Nil;
    nil.pos = pos;
    emit_expr(dst, nil, Types::is_nullable(*field.info) ? field.info : Ty());
    return;
  }
  if (decl->default_kind == Ast::DefaultKind::Now) {
    builtin(dst, dst, Builtin::NOW);
    return;
  }
  auto toks = decl->default_tokens;
  using K = Lexer::Kind;
  if (toks.size() == 1) {
    const Ast::RawToken& t = toks[0];
    switch (t.kind) {
      case K::INT: load_int(dst, t.int_value, pos); return;
      case K::STR: load_text(dst, t.text, pos); return;
      case K::KW_TRUE: load_int(dst, 1, pos); return;
      case K::KW_FALSE: load_int(dst, 0, pos); return;
      case K::KW_NIL: {
        Ast::Nil nil{};
        nil.kind = Ast::ExprKind::Nil;
        nil.pos = pos;
        emit_expr(dst, nil, field.info);
        return;
      }
      default: break;
    }
  }
  if (toks.size() == 2 && toks[0].kind == K::DASH && toks[1].kind == K::INT) {
    load_int(dst, -toks[1].int_value, pos);
    return;
  }
  if (toks.size() == 2 && toks[0].kind == K::LBRACKET && toks[1].kind == K::RBRACKET) {
    if (auto k = kinds_of(field.info)) {
      put_abc(Op::BUILTIN, dst, *k, int(Builtin::MULTI_NEW));
      return;
    }
  }
  if (toks.size() == 2 && toks[0].kind == K::LBRACE && toks[1].kind == K::RBRACE) {
    if (auto k = kinds_of(field.info)) {
      put_abc(Op::BUILTIN, dst, *k, int(Builtin::MAP_NEW));
      return;
    }
  }
  if (toks.size() == 3 && toks[0].kind == K::IDENT && toks[1].kind == K::LBRACE && toks[2].kind == K::RBRACE) {
    emit_ctor(dst, toks[0].text, {}, pos);
    return;
  }
  report(cannot_lower_code, decl->pos, unsupported);
  load_int(dst, 0, pos);
}

Ty MethodEmitter::emit_list(int dst, const Ast::ListLit& l, const Ty& declared) {
  // Without a declared destination the elements' own type decides, when known.
  Ty expected = declared;
  if (!kinds_of(expected)) {
    if (Ty inferred = type_of(l); inferred && kinds_of(inferred)) expected = inferred;
  }
  auto kinds = kinds_of(expected);
  if (!kinds || !strip_all(*expected).is<Types::TMulti>())
    return fail(dst, l.pos, "a list literal needs a destination of declared type `multi T` — its element kind is "
                            "the container's drop plan and cannot be guessed");
  Ty elem = ty_of(*strip_all(*expected).get_if<Types::TMulti>()->elem);
  int list = alloc_temp();
  sync_mask(l.id);
  put_abc(Op::BUILTIN, list, *kinds, int(Builtin::MULTI_NEW));
  for (const Ast::Expr* e : l.elements) {
    int mark = temp_mark();
    int w = alloc_temps(2);
    move(w, list);
    // Each element is stored as `push` stores it: the list keeps its own.
    emit_owned(w + 1, *e, elem);
    sync_mask(l.id);
    builtin(w, w, Builtin::MULTI_PUSH);
    temp_reset(mark);
  }
  move(dst, list);
  return expected;
}

Ty MethodEmitter::emit_empty_map(int dst, const Ast::EmptyMap& m, const Ty& expected) {
  auto kinds = kinds_of(expected);
  if (!kinds || !strip_all(*expected).is<Types::TMap>())
    return fail(dst, m.pos, "an empty map literal needs a destination of declared type `map<K, V>` — its key and "
                            "value kinds are the container's drop plan and cannot be guessed");
  sync_mask(m.id);
  put_abc(Op::BUILTIN, dst, *kinds, int(Builtin::MAP_NEW));
  return expected;
}

}  // namespace Emit::detail
