// Gc inference: ownership edges, their strongly connected components, and the
// fixpoint over the ownership pass that adds the classes whose borrows escape.
#include <algorithm>

#include "gcinfer/gcinfer.hpp"
#include "owner/owner.hpp"

namespace Gcinfer {

namespace {

void add_if_class(const Types::Symbols& symbols, std::string_view name, std::vector<std::string_view>& out) {
  if (const Types::ClassInfo* info = symbols.classes.find(name)) out.push_back(info->name);
}

}  // namespace

std::vector<std::string_view> refs_of_ty(const Types::Symbols& symbols, const Ast::TypeExpr& ty) {
  std::vector<std::string_view> out;
  const Ast::TypeExpr* t = &ty;
  // Nested `?` cannot be written, but a tree built otherwise may hold them.
  for (int guard = 0; t && t->kind == Ast::TypeKind::TyNullable && guard < 64; ++guard)
    t = t->as<Ast::TyNullable>().inner;
  if (!t) return out;
  switch (t->kind) {
    case Ast::TypeKind::TyName: add_if_class(symbols, t->as<Ast::TyName>().name, out); break;
    case Ast::TypeKind::TyMulti: add_if_class(symbols, t->as<Ast::TyMulti>().class_name, out); break;
    case Ast::TypeKind::TyMap:
      add_if_class(symbols, t->as<Ast::TyMap>().key, out);
      add_if_class(symbols, t->as<Ast::TyMap>().value, out);
      break;
    case Ast::TypeKind::TyRef:
    case Ast::TypeKind::TyBacklink:
    case Ast::TypeKind::TyActor:
    case Ast::TypeKind::TyNullable:
      break;
  }
  return out;
}

std::vector<std::string_view> edges(const Types::Symbols& symbols, const Types::ClassInfo& info) {
  std::vector<std::string_view> out;
  for (const Ast::Field& field : info.fields) {
    if (!field.ty) continue;
    for (std::string_view name : refs_of_ty(symbols, *field.ty)) out.push_back(name);
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

// Tarjan's algorithm with an explicit stack of frames, so that long chains of
// classes cannot exhaust the machine stack. Visits names and edges in exactly
// the order of the recursive formulation. Names are numbered on first sight.
std::vector<Component> sccs(std::span<const std::string_view> names, const Adjacency& adjacency) {
  struct Info {
    std::string_view name;
    int index = -1;
    int low = 0;
    bool on_stack = false;
  };
  struct Frame {
    int v;
    std::vector<std::string_view> next;
    std::size_t at = 0;
  };
  std::unordered_map<std::string_view, int> number;
  number.reserve(std::max<std::size_t>(64, names.size() * 2));
  std::vector<Info> info;
  auto id_of = [&](std::string_view name) {
    auto [it, added] = number.emplace(name, static_cast<int>(info.size()));
    if (added) info.push_back(Info{name});
    return it->second;
  };
  std::vector<int> stack;
  std::vector<Frame> frames;
  std::vector<Component> result;
  int counter = 0;

  auto enter = [&](int v) {
    info[static_cast<std::size_t>(v)].index = info[static_cast<std::size_t>(v)].low = counter++;
    info[static_cast<std::size_t>(v)].on_stack = true;
    stack.push_back(v);
    frames.push_back(Frame{v, adjacency(info[static_cast<std::size_t>(v)].name), 0});
  };

  for (std::string_view root : names) {
    int r = id_of(root);
    if (info[static_cast<std::size_t>(r)].index >= 0) continue;
    enter(r);
    while (!frames.empty()) {
      Frame& f = frames.back();
      if (f.at < f.next.size()) {
        int v = f.v;
        int w = id_of(f.next[f.at++]);
        Info& wi = info[static_cast<std::size_t>(w)];
        if (wi.index < 0) {
          enter(w);
        } else if (wi.on_stack) {
          Info& vi = info[static_cast<std::size_t>(v)];
          vi.low = std::min(vi.low, wi.index);
        }
        continue;
      }
      int v = f.v;
      frames.pop_back();
      Info& vi = info[static_cast<std::size_t>(v)];
      if (vi.low == vi.index) {
        Component component;
        int w;
        do {
          w = stack.back();
          stack.pop_back();
          info[static_cast<std::size_t>(w)].on_stack = false;
          component.push_back(info[static_cast<std::size_t>(w)].name);
        } while (w != v);
        std::reverse(component.begin(), component.end());  // prepending each popped name
        result.push_back(std::move(component));
      }
      if (!frames.empty()) {
        Info& parent = info[static_cast<std::size_t>(frames.back().v)];
        parent.low = std::min(parent.low, info[static_cast<std::size_t>(v)].low);
      }
    }
  }
  std::reverse(result.begin(), result.end());  // prepending each component
  return result;
}

Classification classify(const Types::Symbols& symbols) {
  Classification out;
  // Only a class that owns some class can be on a cycle, so the search starts
  // from those alone and the edges of the others are never kept.
  std::unordered_map<std::string_view, std::vector<std::string_view>> owning;
  std::vector<std::string_view> roots;
  out.names.reserve(symbols.classes.size());
  for (const Types::ClassInfo* info : symbols.classes.in_name_order()) {
    out.names.push_back(info->name);
    std::vector<std::string_view> out_edges = edges(symbols, *info);
    if (out_edges.empty()) continue;
    roots.push_back(info->name);
    owning.emplace(info->name, std::move(out_edges));
  }
  Adjacency adjacency = [&](std::string_view name) {
    auto it = owning.find(name);
    return it == owning.end() ? std::vector<std::string_view>{} : it->second;
  };
  for (Component& component : sccs(roots, adjacency)) {
    if (component.size() == 1) {
      std::string_view c = component[0];
      std::vector<std::string_view> self = adjacency(c);
      if (std::find(self.begin(), self.end(), c) != self.end())
        out.reasons[c] = "cycle " + std::string(c) + " -> " + std::string(c);
      continue;
    }
    std::sort(component.begin(), component.end());
    std::string path;
    for (std::string_view m : component) path += std::string(m) + " -> ";
    path += component[0];
    for (std::string_view m : component) out.reasons[m] = "cycle " + path;
  }
  return out;
}

std::unordered_set<std::string_view> traced_names(const Classification& classification) {
  std::unordered_set<std::string_view> out;
  for (const auto& [name, reason] : classification.reasons) out.insert(name);
  return out;
}

namespace {

// The fixpoint; `ownership`, when given, receives the diagnostics of the
// last round, which ran under the final gc classes.
Types::Symbols infer_rounds(std::span<const Types::FileTree> files, Types::Symbols work, int* rounds,
                            Diag::Collector* ownership, std::vector<Owner::Tables>* tables) {
  work.gc_classes = traced_names(classify(work));
  if (rounds) *rounds = 0;
  // The set only grows and holds class names, so this ends.
  while (true) {
    if (rounds) ++*rounds;
    std::unordered_set<std::string_view> demand;
    demand.reserve(16);
    Owner::EscapeObserver observer = [&](std::string_view name) {
      if (const Types::ClassInfo* info = work.classes.find(name)) demand.insert(info->name);
    };
    Diag::Collector round;
    std::vector<Owner::Tables> round_tables;
    if (tables) round_tables.reserve(files.size());
    for (const Types::FileTree& file : files) {
      if (tables) {
        round_tables.push_back(file.tree ? Owner::analyze_finding_escapes(file.path, *file.tree, work, round, observer)
                                         : Owner::Tables{});
        continue;
      }
      if (!file.tree) continue;
      if (ownership) {
        Owner::check_finding_escapes(file.path, *file.tree, work, round, observer);
      } else {
        Owner::find_escapes(file.path, *file.tree, work, observer);
      }
    }
    std::size_t before = work.gc_classes.size();
    for (std::string_view name : demand) work.gc_classes.insert(name);
    if (work.gc_classes.size() == before) {
      if (ownership) *ownership = std::move(round);
      if (tables) *tables = std::move(round_tables);
      break;
    }
  }
  return work;
}

}  // namespace

Types::Symbols infer(std::span<const Types::FileTree> files, Types::Symbols symbols, int* rounds) {
  return infer_rounds(files, std::move(symbols), rounds, nullptr, nullptr);
}

Types::Symbols infer_checking(std::span<const Types::FileTree> files, Types::Symbols symbols,
                              Diag::Collector& ownership, std::vector<Owner::Tables>* tables) {
  return infer_rounds(files, std::move(symbols), nullptr, &ownership, tables);
}

std::string render_final(const Types::Symbols& symbols) {
  Classification classification = classify(symbols);
  std::string out;
  out.reserve(256);
  for (std::string_view name : classification.names) {
    std::string padded(name);
    if (padded.size() < 10) padded.resize(10, ' ');
    if (!Types::is_gc_class(symbols, name)) {
      out += padded + " owned\n";
      continue;
    }
    auto reason = classification.reasons.find(name);
    std::string why = reason != classification.reasons.end() ? reason->second
                      : symbols.gc_classes.count(name)       ? "alias escape (demand)"
                                                             : "@gc annotation (redundant — inference covers it)";
    out += padded + " gc     (" + why + ")\n";
  }
  return out;
}

}  // namespace Gcinfer
