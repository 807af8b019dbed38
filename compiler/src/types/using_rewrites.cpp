// `using` extensions: finding the free function a method-style call means,
// and rewriting such calls into plain calls for the later stages.
#include "ast/rebuild.hpp"
#include "types/types.hpp"

namespace Types {

std::vector<std::string> using_modules(const Ast::Program& tree) {
  std::vector<std::string> out;
  for (const Ast::UseDecl* u : uses_of_program(tree)) {
    if (u->is_using && !u->path.empty()) out.push_back(path_str(u->path));
  }
  return out;
}

const FnInfo* using_extension(const ModuleTables& modules, std::span<const std::string> using_mods,
                              std::string_view name, const Typ& receiver) {
  for (const std::string& module : using_mods) {
    auto table = modules.find(module);
    if (table == modules.end()) continue;
    const FnInfo* fn = table->second.functions.find(name);
    if (!fn || !fn->pub || !fn->fn || fn->fn->params.empty() || !fn->fn->params[0].ty) continue;
    if (typ_equal(table->second, typ_of_field_ty(*fn->fn->params[0].ty), receiver)) return fn;
  }
  return nullptr;
}

void report_using_clash(const std::string& path, Diag::Collector& collector, Ast::Pos pos,
                        std::string_view method, std::string_view class_name) {
  std::string m(method);
  std::string c(class_name);
  collector.add(Diag::error(using_clash_code, path, pos.line, pos.col,
                            "`" + m + "` is both a real method of `" + c +
                                "` and a `using` extension — rename one; an extension never overrides a method"));
}

namespace {

// Rebuilds the parts of a tree that lead to a recorded call; everything else
// is shared with the original. New nodes go into the rewriter's arena.
class Rewriter : public Ast::Rebuilder<Rewriter> {
 public:
  Rewriter(const std::unordered_set<Ast::NodeId>& calls, Ast::Arena& arena, Ast::NodeId next_id)
      : Rebuilder(arena), calls_(calls), next_id_(next_id) {}

  Ast::NodeId next_id() const { return next_id_; }

 private:
  friend class Ast::Rebuilder<Rewriter>;

  // Rebuilder hook. `x.f(args)` recorded as an extension call becomes
  // `f(x, args)`; the call keeps its id and position, the new callee gets a
  // fresh id (after any given inside the call's own children).
  const Ast::Expr* expr(const Ast::Expr* e) {
    const Ast::Expr* rebuilt = rebuild_children(e);
    const auto* call = rebuilt->get_if<Ast::Call>();
    if (!call || !calls_.count(call->id)) return rebuilt;
    const auto* access = call->callee ? call->callee->get_if<Ast::FieldAccess>() : nullptr;
    if (!access) return rebuilt;
    auto* name = arena().make<Ast::Ident>();
    name->kind = Ast::ExprKind::Ident;
    name->id = next_id_++;
    name->pos = access->pos;
    name->name = access->field;
    std::vector<const Ast::Expr*> all;
    all.reserve(call->args.size() + 1);
    all.push_back(access->object);
    all.insert(all.end(), call->args.begin(), call->args.end());
    Ast::Call copy = *call;
    copy.callee = name;
    copy.args = arena().copy(std::span<const Ast::Expr* const>(all));
    return arena().make(copy);
  }

  const std::unordered_set<Ast::NodeId>& calls_;
  Ast::NodeId next_id_;
};

}  // namespace

Ast::Program apply_using_rewrites(const std::string& path, const Ast::Program& tree,
                                  const UsingRewrites& rewrites) {
  auto calls = rewrites.calls.find(path);
  if (calls == rewrites.calls.end() || calls->second.empty()) return tree;
  auto arena = std::make_shared<Ast::Arena>();
  Rewriter rewriter(calls->second, *arena, tree.next_id);
  Ast::Program out = tree;
  out.decls = rewriter.decls(tree.decls);
  out.next_id = rewriter.next_id();
  out.arenas.push_back(std::move(arena));
  return out;
}

}  // namespace Types
