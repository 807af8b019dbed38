// Loops: two passes over the body, the first silent, so that the second sees
// what the previous iteration moved.
//
// The state after a silent pass depends only on the loop, the entry marks and
// the entry dead flag, so silent passes are remembered by that key. Without
// this, a loop nested d deep would run its body 2^d times; with it, each
// (loop, entry state) pair runs once, and a silent pass whose joined state
// equals its entry state reuses the first run.
#include <cstring>

#include "owner/analyzer.hpp"

namespace Owner::detail {

namespace {

std::string silent_key(Ast::NodeId id, bool dead, const Marks& marks) {
  std::string key;
  key.reserve(sizeof id + 1 + marks.size() * 9);
  key.append(reinterpret_cast<const char*>(&id), sizeof id);
  key.push_back(dead ? 'd' : 'l');
  for (const Mark& m : marks) {
    if (!m.moved) {
      key.push_back('L');
      continue;
    }
    key.push_back('M');
    char pos[sizeof m.at.line + sizeof m.at.col];
    std::memcpy(pos, &m.at.line, sizeof m.at.line);
    std::memcpy(pos + sizeof m.at.line, &m.at.col, sizeof m.at.col);
    key.append(pos, sizeof pos);
  }
  return key;
}

}  // namespace

void Analyzer::merge_into(std::optional<Marks>& into, const Marks& marks) {
  into = into ? join(*into, marks) : marks;
}

// The state at the loop head is the entry joined with every path back to it
// (the end of the body and each `continue`); after the loop it is that joined
// with every `break`. A path that leaves the loop by `break` does not reach
// the next iteration, and one that takes `continue` does.
void Analyzer::loop(const Ast::Stmt& s) {
  bool entry_dead = dead_;
  if (const auto* f = s.get_if<Ast::For>()) read(*f->iterable);
  Marks entry = marks_;
  LoopFlow first = silent_pass(s, entry, entry_dead);
  Marks head = first.back ? join(entry, *first.back) : entry;
  LoopFlow second;
  if (recording_) {
    marks_ = head;
    dead_ = entry_dead;
    second = flow_pass(s);
  } else {
    second = silent_pass(s, head, entry_dead);
  }
  Marks after = std::move(entry);
  if (second.back) after = join(after, *second.back);
  if (second.out) after = join(after, *second.out);
  marks_ = std::move(after);
  dead_ = entry_dead;
}

LoopFlow Analyzer::silent_pass(const Ast::Stmt& s, const Marks& entry, bool entry_dead) {
  std::string key = silent_key(s.id, entry_dead, entry);
  if (auto it = silent_runs_.find(key); it != silent_runs_.end()) return it->second;
  bool was_recording = recording_;
  recording_ = false;
  marks_ = entry;
  dead_ = entry_dead;
  LoopFlow flow = flow_pass(s);
  recording_ = was_recording;
  silent_runs_.emplace(std::move(key), flow);
  return flow;
}

// One pass over the body from the current state, collecting where it goes.
LoopFlow Analyzer::flow_pass(const Ast::Stmt& s) {
  flows_.emplace_back();
  loop_pass(s);
  LoopFlow flow = std::move(flows_.back());
  flows_.pop_back();
  if (!dead_) merge_into(flow.back, marks_);
  return flow;
}

// One pass over the loop: condition and body in the loop's scope.
void Analyzer::loop_pass(const Ast::Stmt& s) {
  int outer_loop = loop_scope_;
  switch (s.kind) {
    case Ast::StmtKind::While: {
      const auto& w = s.as<Ast::While>();
      read(*w.cond);
      push_scope(s.id, s.pos, "WHILE");
      loop_scope_ = static_cast<int>(scopes_.size()) - 1;
      block(w.body);
      pop_scope();
      break;
    }
    case Ast::StmtKind::DoWhile: {
      const auto& d = s.as<Ast::DoWhile>();
      push_scope(s.id, s.pos, "DO");
      loop_scope_ = static_cast<int>(scopes_.size()) - 1;
      block(d.body);
      pop_scope();
      read(*d.cond);
      break;
    }
    case Ast::StmtKind::For: {
      const auto& f = s.as<Ast::For>();
      push_scope(s.id, s.pos, "FOR");
      loop_scope_ = static_cast<int>(scopes_.size()) - 1;
      declare_loop_vars(f);
      block(f.body);
      pop_scope();
      break;
    }
    default:
      break;
  }
  loop_scope_ = outer_loop;
}

// A loop variable owns its value only where the loop copies the element
// (Text elements, Text keys and values); any other owned element stays in the
// container and the variable borrows it.
void Analyzer::declare_loop_vars(const Ast::For& s) {
  std::optional<Types::Typ> iter_ty = type_of(*s.iterable);
  const Types::Typ* iter = iter_ty ? &Types::strip_nullable(*iter_ty) : nullptr;
  std::optional<Place> container = place_of(*s.iterable);
  if (container) *container = canonical(*container);
  int container_root = container ? find_local(place_of(*s.iterable)->root) : -1;

  auto declare_var = [&](std::string_view name, std::optional<Types::Typ> ty, std::string_view index_name) {
    Local local;
    local.name = name;
    local.ty = std::move(ty);
    local.oclass = class_of(local.ty);
    local.slot = s.id;
    local.pos = s.pos;
    if (local.oclass == OClass::Owned) {
      if (Types::named_name(Types::strip_nullable(*local.ty)) == "Text") {
        local.holder = true;
      } else {
        local.borrow = true;
        Proj element{Proj::Kind::IndexText, std::string(index_name), 0};
        if (container) {
          local.place = *container;
          local.place->projs.push_back(element);
          local.label_place = place_text(*local.place);
          if (container_root >= 0 && locals_[static_cast<std::size_t>(container_root)].place)
            local.via = container_root;
        } else {
          local.label_place = expr_text(*s.iterable) + "[" + std::string(index_name) + "]";
        }
      }
    }
    declare(std::move(local));
  };

  if (s.second_var.empty()) {
    std::optional<Types::Typ> elem;
    if (iter) {
      if (const auto* m = iter->get_if<Types::TMulti>()) elem = *m->elem;
    }
    declare_var(s.var, std::move(elem), s.var);
  } else {
    std::optional<Types::Typ> key, value;
    if (iter) {
      if (const auto* m = iter->get_if<Types::TMap>()) {
        key = *m->key;
        value = *m->value;
      }
    }
    declare_var(s.var, std::move(key), s.var);
    declare_var(s.second_var, std::move(value), s.var);
  }
}

}  // namespace Owner::detail
