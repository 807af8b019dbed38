// The checker's scopes and reporting, and the public entry points that type
// one expression.
#include "typing.hpp"

namespace Types {
namespace Typing {

ExprInfo unknown_info() { return ExprInfo{}; }

// Built in place: the default working type would only be overwritten.
ExprInfo known_info(const Typ& ty) { return ExprInfo{ty, false, ty}; }
ExprInfo known_info(Typ&& ty) { return ExprInfo{ty, false, std::move(ty)}; }

std::string quoted(std::string_view name) { return "`" + std::string(name) + "`"; }

const DeclaredScope::Binding* DeclaredScope::find(std::string_view name) const {
  if (!newest_.empty()) {
    auto it = newest_.find(name);
    return it == newest_.end() ? nullptr : &entries_[it->second].binding;
  }
  for (std::size_t i = entries_.size(); i-- > 0;) {
    const Entry& e = entries_[i];
    // Names of one file are interned: equal ones are mostly the same pointer.
    if (e.name.size() != name.size()) continue;
    if (e.name.data() == name.data() || name.empty() || (e.name[0] == name[0] && e.name == name)) return &e.binding;
  }
  return nullptr;
}

std::uint32_t DeclaredScope::bind(std::string_view name, std::optional<Typ> ty) {
  std::uint32_t serial = next_serial_++;
  auto at = static_cast<std::uint32_t>(entries_.size());
  entries_.push_back(Entry{name, Binding{std::move(ty), serial}, none});
  if (!newest_.empty()) {
    auto [it, added] = newest_.emplace(name, at);
    if (!added) {
      entries_[at].shadowed = it->second;
      it->second = at;
    }
  } else if (entries_.size() > index_from) {
    for (std::uint32_t i = 0; i < entries_.size(); ++i) {
      auto [it, added] = newest_.emplace(entries_[i].name, i);
      if (!added) {
        entries_[i].shadowed = it->second;
        it->second = i;
      }
    }
  }
  return serial;
}

void DeclaredScope::restore(std::size_t mark) {
  while (entries_.size() > mark) {
    const Entry& e = entries_.back();
    if (!newest_.empty()) {
      if (e.shadowed == none) {
        newest_.erase(e.name);
      } else {
        newest_[e.name] = e.shadowed;
      }
    }
    entries_.pop_back();
  }
}

namespace {

const Symbols* module_table(const BodyContext& ctx) {
  auto own = ctx.modules.find(std::string(ctx.module));
  return own == ctx.modules.end() ? nullptr : &own->second;
}

}  // namespace

Checker::Checker(BodyContext& ctx, Env& env)
    : ctx_(ctx), own_module_(module_table(ctx)), env_(env), sink_(&ctx.collector),
      using_calls_(&ctx.out.using_calls) {}

Checker::Mark Checker::mark() const { return Mark{env_.mark(), declared_.mark(), lost_.size()}; }

void Checker::restore(const Mark& m) {
  // A name that lost its narrowing inside the scope and is still not narrowed
  // at its end may be nil after it, too.
  std::vector<LostNarrowing> flowing;
  for (std::size_t i = m.lost; i < lost_.size(); ++i) {
    const DeclaredScope::Binding* b = declared_.find(lost_[i].name);
    if (b && b->serial == lost_[i].serial && !is_narrowed(lost_[i].name)) flowing.push_back(lost_[i]);
  }
  env_.restore(m.env);
  declared_.restore(m.declared);
  lost_.resize(m.lost);
  for (const LostNarrowing& lost : flowing) {
    const DeclaredScope::Binding* b = declared_.find(lost.name);
    if (!b || b->serial != lost.serial || !is_narrowed(lost.name)) continue;
    env_.bind(lost.name, *b->ty);
    lost_.push_back(lost);
  }
}

void Checker::bind(std::string_view name, std::optional<Typ> ty) {
  if (ty) {
    env_.bind(name, *ty);
  } else {
    env_.bind_unknown(name);
  }
  declared_.bind(name, std::move(ty));
}

void Checker::narrow(const std::vector<std::string_view>& names) { narrow_env(env_, names); }

bool Checker::is_narrowed(std::string_view name) const {
  const DeclaredScope::Binding* b = declared_.find(name);
  if (!b || !b->ty) return false;
  const Typ* now = env_.find(name);
  return now && !typ_equal(ctx_.merged, *now, *b->ty);
}

void Checker::report(const char* code, Ast::Pos pos, std::string message) {
  sink_->add(Diag::error(code, ctx_.path, pos.line, pos.col, std::move(message)));
}

void Checker::warn(const char* code, Ast::Pos pos, std::string message) {
  sink_->add(Diag::warning(code, ctx_.path, pos.line, pos.col, std::move(message)));
}

}  // namespace Typing

std::string expr_label(const Ast::Expr& e) {
  switch (e.kind) {
    case Ast::ExprKind::Nil: return "`nil`";
    case Ast::ExprKind::Ident: return Typing::quoted(e.as<Ast::Ident>().name);
    case Ast::ExprKind::FieldAccess: return "field " + Typing::quoted(e.as<Ast::FieldAccess>().field);
    case Ast::ExprKind::Call: return "this call's result";
    default: return "this value";
  }
}

TypedExpr typecheck_expr(BodyContext& ctx, Env& env, const Ast::Expr& e) {
  Typing::Checker checker(ctx, env);
  Typing::ExprInfo info = checker.expr(e);
  return TypedExpr{std::move(info.ty), info.is_nil};
}

std::optional<Typ> confident_typ(const BodyContext& ctx, const Env& env, const Ast::Expr& e) {
  // Typing reports as it goes; here it reports into a collector nobody reads,
  // over copies, so the caller's scope and tables stay as they were.
  Diag::Collector silent;
  FileTyping scratch;
  BodyContext quiet{ctx.path,  ctx.merged, ctx.modules,   ctx.module, ctx.using_mods,
                    ctx.current_class, silent, scratch, ctx.used_mods, ctx.fn};
  Env scope = env;
  Typing::Checker checker(quiet, scope);
  return checker.expr(e).known;
}

}  // namespace Types
