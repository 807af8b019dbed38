// Typing of actors: `spawn` of an actor class, `send` and `call` to an
// address, the reply type of `call`, and the rule that no traced (garbage
// collected) graph crosses into an actor.
#include <unordered_set>

#include "typing.hpp"

namespace Types::Typing {

namespace {

constexpr const char* ref_crossing =
    "`ref` names a row of the sender's own tables — rows cannot cross actor heaps";

// The message type of an actor class: the plain type name of the single
// parameter of its `receive`; empty when it has no such method.
std::string_view message_of(const ClassInfo& cls) {
  const Ast::Method* receive = cls.method("receive");
  if (!receive || receive->params.size() != 1 || !receive->params[0].ty) return {};
  const auto* name = receive->params[0].ty->get_if<Ast::TyName>();
  return name ? name->name : std::string_view{};
}

// A `ref` is left out: it names a row of the sender's own tables.
bool is_reply_scalar(const Typ& ty) {
  if (ty.is<TActor>()) return true;
  std::string_view name = named_name(ty);
  return name == "Int" || name == "Bool" || name == "Timestamp" || name == "Id" || name == "Float";
}

}  // namespace

bool Checker::contains_traced(std::string_view start) const { return reaches(start, false); }

bool Checker::contains_ref(std::string_view start) const { return reaches(start, true); }

bool Checker::reaches(std::string_view start, bool ref) const {
  // Each declaration is visited once, so recursive types end the walk.
  std::unordered_set<std::string_view> seen{start};
  std::vector<std::string_view> work{start};
  bool found_ref = false;
  auto follow = [&](const Ast::TypeExpr* te) {
    if (!te) return;
    Typ ty = typ_of_field_ty(*te);
    const Typ& t = strip_nullable(ty);
    if (t.is<TRef>()) found_ref = true;
    std::string_view next;
    if (const TMulti* m = t.get_if<TMulti>()) {
      next = named_name(*m->elem);
    } else if (const TMap* m = t.get_if<TMap>()) {
      next = named_name(*m->value);
    } else {
      next = named_name(t);
    }
    // Names point into the tree, which outlives this walk.
    if (const ClassInfo* c = ctx_.merged.classes.find(next)) next = c->name;
    else if (const UnionInfo* u = ctx_.merged.unions.find(next)) next = u->name;
    else return;
    if (seen.insert(next).second) work.push_back(next);
  };
  while (!work.empty() && !(ref && found_ref)) {
    std::string_view name = work.back();
    work.pop_back();
    if (!ref && is_gc_class(ctx_.merged, name)) return true;
    if (const ClassInfo* c = ctx_.merged.classes.find(name)) {
      for (const Ast::Field& f : c->fields) follow(f.ty);
    } else if (const UnionInfo* u = ctx_.merged.unions.find(name)) {
      for (const Ast::Variant& v : u->variants) {
        for (const Ast::PayloadField& p : v.payload) follow(p.ty);
      }
    }
  }
  return ref && found_ref;
}

ExprInfo Checker::spawn(const Ast::Spawn& s) {
  for (const Ast::FieldInit& f : s.fields) {
    if (f.value) expr(*f.value);
  }
  const ClassInfo* cls = ctx_.merged.classes.find(s.class_name);
  if (!cls) return unknown_info();
  const Ast::Method* receive = cls->method("receive");
  std::string problem;
  std::string_view message = message_of(*cls);
  if (!receive) {
    problem = quoted(s.class_name) + " has no `receive` method";
  } else if (receive->params.size() != 1) {
    problem = "its `receive` must take exactly one parameter";
  } else if (message.empty()) {
    problem = "receive's parameter must be a plain class, record, or union type";
  } else if (!ctx_.merged.classes.contains(message) && !ctx_.merged.unions.contains(message)) {
    problem = "receive's message type " + quoted(message) + " is not a declared class, record, or union";
  }
  if (!problem.empty()) {
    report(spawn_code, s.pos,
           "`spawn " + std::string(s.class_name) + " { ... }`: " + problem +
               " — an actor is a class with `fn receive(msg: M)` where M is a class, record, or union");
  } else {
    const std::pair<const char*, std::string_view> parts[] = {{"actor state", s.class_name}, {"message", message}};
    for (const auto& [what, name] : parts) {
      if (!contains_traced(name)) continue;
      report(traced_code, s.pos,
             std::string(what) + " type " + quoted(name) +
                 " is traced (or contains a traced class) — aliased graphs cannot cross shard heaps; spawn "
                 "placement makes every actor potentially remote");
    }
    if (contains_ref(message)) {
      report(traced_code, s.pos,
             "message type " + quoted(message) + " contains a `ref`, and a " + ref_crossing);
    }
  }
  if (message.empty()) return unknown_info();
  return known_info(t_actor(message));
}

ExprInfo Checker::send_or_call(const Ast::Call& c, bool is_call, const std::vector<ExprInfo>& args) {
  const std::string word = is_call ? "call" : "send";
  if (args.size() != 2) {
    report(arity_code, c.pos,
           quoted(word) + " takes 2 arguments (address, message), given " + std::to_string(args.size()));
    return unknown_info();
  }
  const std::optional<Typ>& addr = args[0].known;
  if (!addr) return unknown_info();
  const TActor* actor = addr->get_if<TActor>();
  if (!actor) {
    report(type_code, c.args[0] ? c.args[0]->pos : c.pos,
           quoted(word) + "'s first argument must be an `actor M` address");
    return unknown_info();
  }
  if (args[1].known && args[1].known->is<TNamed>()) {
    std::string_view sent = named_name(*args[1].known);
    if (sent != actor->message_type) {
      report(type_code, c.args[1] ? c.args[1]->pos : c.pos,
             "this actor receives " + quoted(actor->message_type) + " — the message is a " + quoted(sent));
    }
  }
  if (!is_call) return unknown_info();
  std::optional<Typ> reply = call_reply(c, actor->message_type);
  return reply ? known_info(*reply) : unknown_info();
}

// The reply of `call` on `actor M`: the declared result of `receive` of
// every actor class taking M, which must agree and be a copyable scalar.
std::optional<Typ> Checker::call_reply(const Ast::Call& c, std::string_view message) {
  std::vector<const ClassInfo*> receivers;
  for (const ClassInfo* cls : ctx_.merged.classes.in_name_order()) {
    if (message_of(*cls) == message) receivers.push_back(cls);
  }
  if (receivers.empty()) return std::nullopt;
  auto result_of_receive = [](const ClassInfo& cls) -> std::optional<Typ> {
    const Ast::Method* receive = cls.method("receive");
    if (!receive->ret) return std::nullopt;
    return typ_of_field_ty(*receive->ret);
  };
  const ClassInfo& first = *receivers.front();
  std::optional<Typ> reply = result_of_receive(first);
  for (std::size_t i = 1; i < receivers.size(); ++i) {
    std::optional<Typ> other = result_of_receive(*receivers[i]);
    bool same = reply && other ? typ_equal(ctx_.merged, *reply, *other) : !reply && !other;
    if (!same) {
      report(reply_code, c.pos,
             "`call` on `actor " + std::string(message) + "` needs one reply type, but " + quoted(first.name) +
                 " and " + quoted(receivers[i]->name) + " declare different `receive` returns");
      return std::nullopt;
    }
  }
  if (!reply) {
    report(reply_code, c.pos,
           "`call` needs a reply: " + quoted(first.name) + "'s `receive(msg: " + std::string(message) +
               ")` declares no return type — use `send`");
    return std::nullopt;
  }
  if (strip_nullable(*reply).is<TRef>()) {
    report(traced_code, c.pos, "`call`'s reply type `" + full_label(*reply) + "` is a `ref`, and a " + ref_crossing);
  } else if (!is_reply_scalar(*reply)) {
    report(reply_code, c.pos,
           "`call`'s reply type `" + typ_label(*reply) +
               "` is not a copyable scalar — v1 replies are scalars (Int, Bool, Float, an actor address, ...)");
  }
  return reply;
}

}  // namespace Types::Typing
