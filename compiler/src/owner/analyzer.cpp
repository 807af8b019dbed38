// The per-function driver of the ownership pass: parameters, scopes and the
// records of the three tables.
#include "owner/analyzer.hpp"

#include <algorithm>

namespace Owner {

std::string_view access_text(Access access) {
  switch (access) {
    case Access::BorrowS: return "BORROW_S";
    case Access::BorrowX: return "BORROW_X";
    case Access::Move: return "MOVE";
  }
  return "?";
}

std::string move_kind_text(const Move& move) {
  switch (move.kind) {
    case MoveKind::Let: return "LET";
    case MoveKind::Assign: return "ASSIGN";
    case MoveKind::Return: return "RETURN";
    case MoveKind::Arg: return "ARG(" + move.name + ")";
    case MoveKind::Ctor: return "CTOR(" + move.name + ")";
  }
  return "?";
}

namespace {

bool before(Ast::Pos a, Ast::Pos b) { return a.line != b.line ? a.line < b.line : a.col < b.col; }

// Sorts the records made since `from` (one function's, all inside its text).
template <class Record>
void sort_since(std::vector<Record>& records, std::size_t from) {
  auto less = [](const Record& a, const Record& b) { return before(a.pos, b.pos); };
  auto first = records.begin() + static_cast<std::ptrdiff_t>(from);
  if (!std::is_sorted(first, records.end(), less)) std::stable_sort(first, records.end(), less);
}

// Functions come in source order, so sorting each one's records usually
// leaves the whole table sorted; the full sort is the fallback.
template <class Record>
void sort_by_pos(std::vector<Record>& records) {
  sort_since(records, 0);
}

void analyze_all(detail::Analyzer& analyzer, const Ast::Program& tree, Tables& out) {
  auto one = [&](const Ast::Method& m, const Ast::ClassDecl* owner) {
    std::size_t moves = out.moves.size(), drops = out.drops.size(), residual = out.residual.size();
    analyzer.analyze_function(m, owner);
    sort_since(out.moves, moves);
    sort_since(out.drops, drops);
    sort_since(out.residual, residual);
  };
  for (const Ast::Decl* decl : tree.decls) {
    if (const auto* c = decl->get_if<Ast::ClassDecl>()) {
      for (const Ast::Method* m : c->methods) one(*m, c);
    } else if (const auto* f = decl->get_if<Ast::FnDecl>()) {
      if (f->fn) one(*f->fn, nullptr);
    }
  }
}

}  // namespace

std::span<const DropItem> DropItems::add(std::span<const DropItem> items) {
  if (items.size() > room_ - used_) {
    room_ = std::max<std::size_t>(items.size(), 1024);
    blocks_.push_back(std::make_unique<DropItem[]>(room_));
    used_ = 0;
  }
  DropItem* at = blocks_.back().get() + used_;
  std::copy(items.begin(), items.end(), at);
  used_ += items.size();
  return {at, items.size()};
}

Tables analyze(const std::string& path, const Ast::Program& tree, const Types::Symbols& symbols,
               Diag::Collector& collector, const EscapeObserver* observer) {
  Tables out;
  detail::Analyzer analyzer(path, symbols, collector, observer, out);
  analyze_all(analyzer, tree, out);
  sort_by_pos(out.moves);
  sort_by_pos(out.drops);
  sort_by_pos(out.residual);
  return out;
}

void check(const std::string& path, const Ast::Program& tree, const Types::Symbols& symbols,
           Diag::Collector& collector) {
  Tables unused;
  detail::Analyzer analyzer(path, symbols, collector, nullptr, unused, false, false);
  analyze_all(analyzer, tree, unused);
}

void check_finding_escapes(const std::string& path, const Ast::Program& tree, const Types::Symbols& symbols,
                           Diag::Collector& collector, const EscapeObserver& observer) {
  Tables unused;
  detail::Analyzer analyzer(path, symbols, collector, &observer, unused, false, false);
  analyzer.report_observed_escapes();
  analyze_all(analyzer, tree, unused);
}

Tables analyze_finding_escapes(const std::string& path, const Ast::Program& tree, const Types::Symbols& symbols,
                               Diag::Collector& collector, const EscapeObserver& observer) {
  Tables out;
  detail::Analyzer analyzer(path, symbols, collector, &observer, out);
  analyzer.report_observed_escapes();
  analyze_all(analyzer, tree, out);
  sort_by_pos(out.moves);
  sort_by_pos(out.drops);
  sort_by_pos(out.residual);
  return out;
}

void find_escapes(const std::string& path, const Ast::Program& tree, const Types::Symbols& symbols,
                  const EscapeObserver& observer) {
  Tables unused;
  Diag::Collector unused_collector;
  detail::Analyzer analyzer(path, symbols, unused_collector, &observer, unused, true);
  analyze_all(analyzer, tree, unused);
}

namespace detail {

Analyzer::Analyzer(const std::string& path, const Types::Symbols& symbols, Diag::Collector& collector,
                   const EscapeObserver* observer, Tables& out, bool quiet, bool keep_tables)
    : path_(path),
      symbols_(symbols),
      collector_(collector),
      observer_(observer),
      out_(out),
      quiet_(quiet),
      keep_tables_(keep_tables) {}

void Analyzer::analyze_function(const Ast::Method& fn, const Ast::ClassDecl* owner) {
  fn_name_ = fn.name;
  locals_.clear();
  marks_.clear();
  scopes_.clear();
  silent_runs_.clear();
  flows_.clear();
  loop_scope_ = -1;
  dead_ = false;
  recording_ = true;
  depth_ = 0;
  local_borrows_ = 0;

  push_scope(fn.id, fn.pos, "BODY");
  if (owner && !fn.is_static) {
    Local self;
    self.name = "self";
    self.ty = Types::t_named(owner->name);
    self.oclass = class_of(self.ty);
    self.slot = fn.id;
    self.pos = fn.pos;
    if (self.oclass == OClass::Owned) {
      self.borrow = true;
      self.from_caller = true;
      self.exclusive = assigns_self(fn);
    }
    declare(std::move(self));
  }
  for (const Ast::Param& p : fn.params) {
    Local local;
    local.name = p.name;
    if (p.ty) local.ty = Types::typ_of_field_ty(*p.ty);
    local.oclass = class_of(local.ty);
    local.slot = p.id;
    local.pos = p.pos;
    if (local.oclass != OClass::Copy) {
      if (p.mode == Ast::ParamMode::Take) {
        local.holder = true;
      } else if (local.oclass == OClass::Owned) {
        local.borrow = true;
        local.from_caller = true;
        local.exclusive = p.mode == Ast::ParamMode::Mut;
      }
    }
    declare(std::move(local));
  }
  block(fn.body);
  pop_scope();
}

void Analyzer::push_scope(Ast::NodeId id, Ast::Pos pos, std::string label, bool records) {
  scopes_.push_back(Scope{id, pos, std::move(label), locals_.size(), records});
}

void Analyzer::pop_scope() {
  Scope& scope = scopes_.back();
  if (!dead_ && scope.records && stores()) {
    record_drop(scope.id, scope.pos, DropKind::Scope, scope.label, live_holders(scope.first_local, true));
  }
  for (std::size_t i = scope.first_local; i < locals_.size(); ++i)
    if (locals_[i].place) --local_borrows_;
  locals_.resize(scope.first_local);
  marks_.resize(scope.first_local);
  scopes_.pop_back();
}

int Analyzer::declare(Local local) {
  if (local.place) ++local_borrows_;
  locals_.push_back(std::move(local));
  marks_.push_back(Mark{});
  return static_cast<int>(locals_.size()) - 1;
}

int Analyzer::find_local(std::string_view name) const {
  // Names of one file share their bytes (the parser interns them): equal
  // names are mostly the same pointer, and unequal ones differ early.
  for (std::size_t i = locals_.size(); i-- > 0;) {
    std::string_view local = locals_[i].name;
    if (local.size() != name.size()) continue;
    if (local.data() == name.data() || local.empty() || (local[0] == name[0] && local == name)) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

// Live holders of locals [from, end), newest first; Gc ones only when asked.
std::span<const DropItem> Analyzer::live_holders(std::size_t from, bool owned_only) {
  holders_.clear();
  for (std::size_t i = locals_.size(); i-- > from;) {
    const Local& l = locals_[i];
    if (l.holder && !marks_[i].moved && (l.oclass == OClass::Owned || (l.oclass == OClass::Gc && !owned_only)))
      holders_.push_back(DropItem{l.name, l.oclass == OClass::Gc, l.slot});
  }
  return holders_;
}

// A label the records can point at for as long as the tables live.
std::string_view Analyzer::lasting_label(std::string_view label) {
  static constexpr std::string_view fixed[] = {"", "BODY", "CATCH", "WHILE", "DO", "FOR", "THEN", "ELSE"};
  for (std::string_view f : fixed)
    if (f == label) return f;
  static const std::vector<std::string> arms = [] {
    std::vector<std::string> out;
    for (int k = 0; k < 64; ++k) out.push_back("ARM" + std::to_string(k));
    return out;
  }();
  for (const std::string& arm : arms)
    if (arm == label) return arm;
  out_.texts.push_back(std::make_unique<const std::string>(label));
  return *out_.texts.back();
}

void Analyzer::record_drop(Ast::NodeId id, Ast::Pos pos, DropKind kind, std::string_view label,
                           std::span<const DropItem> items) {
  if (!stores() || items.empty()) return;
  out_.drops.push_back(Drop{id, pos, kind, lasting_label(label), out_.items.add(items)});
}

void Analyzer::record_move(const Place& place, MoveKind kind, std::string_view name) {
  if (!stores()) return;
  out_.moves.push_back(Move{place.id, place.pos, place_text(place), kind, std::string(name)});
}

void Analyzer::live_mask(Ast::NodeId id, Ast::Pos pos) {
  if (!stores()) return;
  record_drop(id, pos, DropKind::LiveMask, "", live_holders(0, false));
}

// Wherever the code is, reached or not: the emitter lowers every body.
void Analyzer::need_record(std::string_view record) {
  if (!keep_tables_) return;
  std::vector<std::string_view>& records = out_.library_records;
  if (std::find(records.begin(), records.end(), record) == records.end()) records.push_back(record);
}

void Analyzer::report(const char* code, Ast::Pos pos, std::string message, Diag::Related related) {
  if (!recording_ || quiet_) return;
  collector_.add(Diag::error(code, path_, pos.line, pos.col, std::move(message), {std::move(related)}));
}

Marks Analyzer::join(const Marks& a, const Marks& b) {
  Marks out(std::min(a.size(), b.size()));
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (a[i].moved && b[i].moved) {
      out[i] = before(b[i].at, a[i].at) ? b[i] : a[i];
    } else if (a[i].moved) {
      out[i] = a[i];
    } else {
      out[i] = b[i];
    }
  }
  return out;
}

}  // namespace detail
}  // namespace Owner
