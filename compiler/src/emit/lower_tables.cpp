// `insert`, `delete` and queries over table classes.
#include <functional>

#include "emit/method.hpp"
#include "emit/tables.hpp"

namespace Emit::detail {

namespace {

using Types::Typ;

bool is_collection_default(const Ast::Field* decl) {
  if (!decl || decl->default_kind != Ast::DefaultKind::Tokens || decl->default_tokens.empty()) return false;
  Lexer::Kind k = decl->default_tokens[0].kind;
  return k == Lexer::Kind::LBRACKET || k == Lexer::Kind::LBRACE || k == Lexer::Kind::IDENT;
}

}  // namespace

bool is_table_class(const ClassRec& c) { return c.info && (c.info->table || !c.indexes.empty()); }

Ty MethodEmitter::emit_insert(int dst, const Ast::Insert& e) {
  auto cid = prog.class_id(e.class_name);
  if (!cid) return fail(dst, e.pos, "insert into " + q(e.class_name) + ", which is not a declared class");
  const ClassRec& cls = prog.classes[*cid];
  int n = int(cls.fields.size());
  int base = alloc_temps(n + 1);
  load_int(base, *cid, e.pos);
  std::vector<const Ast::FieldInit*> given(cls.fields.size(), nullptr);
  std::vector<Ty> tys(cls.fields.size());
  for (const Ast::FieldInit& f : e.fields) {
    int slot = cls.slot_of(f.field);
    if (slot < 0) {
      report(cannot_lower_code, f.pos, q(cls.name) + " has no field " + q(f.field));
      continue;
    }
    if (given[std::size_t(slot)]) continue;  // the first value given wins, as in the tree's order
    given[std::size_t(slot)] = &f;
    int mark = temp_mark();
    tys[std::size_t(slot)] = emit_expr(base + 1 + slot, *f.value, cls.fields[std::size_t(slot)].info);
    temp_reset(mark);
  }
  for (std::size_t i = 0; i < cls.fields.size(); ++i) {
    if (given[i]) continue;
    int mark = temp_mark();
    emit_default_value(base + 1 + int(i), cls.fields[i], e.pos);
    temp_reset(mark);
  }
  set_line(e.pos.line);
  sync_mask(e.id);
  builtin(dst, base, Builtin::INSERT_ROW);
  // The row keeps copies of what it was given: values made for it go.
  for (std::size_t i = 0; i < cls.fields.size(); ++i) {
    int reg = base + 1 + int(i);
    if (given[i]) {
      release_if_fresh(*given[i]->value, reg, tys[i]);
    } else if (is_collection_default(cls.fields[i].decl)) {
      put_abc(Op::DROP, reg, 0, 0);
    }
  }
  return int_ty();
}

Ty MethodEmitter::emit_delete(int dst, const Ast::Delete& e) {
  Ty ty = type_of(*e.target);
  if (!ty) return fail(dst, e.pos, "cannot resolve the `delete` target's type");
  const ClassRec* cls = class_of(ty);
  if (!cls || !is_table_class(*cls)) return fail(dst, e.pos, "`delete` target is not a table row");
  auto cid = prog.class_id(cls->name);
  int t = alloc_temps(2);
  load_int(t, cid ? std::int64_t(*cid) : 0, e.pos);
  emit_expr(t + 1, *e.target);
  move(dst, t + 1);
  set_line(e.pos.line);
  sync_mask(e.id);
  builtin(t, t, Builtin::DELETE_ROW);
  return int_ty();
}

// ---------------------------------------------------------------- queries

namespace {

// Whether `e` may read the name `var`. Kinds the walk does not open are
// taken as reading it, so a probe key never depends on the range variable.
bool mentions(const Ast::Expr& e, std::string_view var, int depth = 0) {
  if (depth > 200) return true;
  auto in = [&](const Ast::Expr* x) { return x && mentions(*x, var, depth + 1); };
  switch (e.kind) {
    case Ast::ExprKind::IntLit:
    case Ast::ExprKind::FloatLit:
    case Ast::ExprKind::TextLit:
    case Ast::ExprKind::BoolLit:
    case Ast::ExprKind::Nil:
    case Ast::ExprKind::EmptyMap:
      return false;
    case Ast::ExprKind::Ident: return e.as<Ast::Ident>().name == var;
    case Ast::ExprKind::FieldAccess: return in(e.as<Ast::FieldAccess>().object);
    case Ast::ExprKind::Index: return in(e.as<Ast::Index>().collection) || in(e.as<Ast::Index>().index);
    case Ast::ExprKind::Unary: return in(e.as<Ast::Unary>().operand);
    case Ast::ExprKind::BinOp: return in(e.as<Ast::BinOp>().left) || in(e.as<Ast::BinOp>().right);
    case Ast::ExprKind::Interp: return in(e.as<Ast::Interp>().value);
    case Ast::ExprKind::Call: {
      const auto& c = e.as<Ast::Call>();
      if (!c.callee->get_if<Ast::Ident>() && in(c.callee)) return true;
      for (const Ast::Expr* a : c.args)
        if (in(a)) return true;
      return false;
    }
    case Ast::ExprKind::ListLit:
      for (const Ast::Expr* a : e.as<Ast::ListLit>().elements)
        if (in(a)) return true;
      return false;
    default:
      return true;
  }
}

// `x.f` on the range variable itself: the field name, else empty.
std::string_view range_field(const Ast::Expr& e, std::string_view var) {
  const auto* fa = e.get_if<Ast::FieldAccess>();
  if (!fa) return {};
  const auto* obj = fa->object->get_if<Ast::Ident>();
  return obj && obj->name == var ? fa->field : std::string_view();
}

}  // namespace

std::optional<ProbePlan> probe_key_of_where(const ClassRec& cls, const Ast::Query& q) {
  for (const Ast::Expr* w : q.wheres) {
    const auto* b = w->get_if<Ast::BinOp>();
    if (!b || b->op != Ast::BinaryOp::Eq) continue;
    for (int side = 0; side < 2; ++side) {
      const Ast::Expr& field_side = side == 0 ? *b->left : *b->right;
      const Ast::Expr& key_side = side == 0 ? *b->right : *b->left;
      std::string_view f = range_field(field_side, q.var);
      if (f.empty() || mentions(key_side, q.var)) continue;
      int slot = cls.slot_of(f);
      if (slot < 0) continue;
      std::string_view name = Types::named_name(strip_all(*cls.fields[std::size_t(slot)].info));
      if (name == "Float" || name == "Bytes") continue;
      for (std::size_t ix = 0; ix < cls.indexes.size(); ++ix) {
        const TableIndex& index = cls.indexes[ix];
        if (index.slots.size() == 1 && index.slots[0] == std::uint32_t(slot))
          return ProbePlan{std::uint32_t(ix), &key_side};
      }
    }
  }
  return std::nullopt;
}

namespace {

// One query's lowering. The loop registers are temporaries held for the
// whole query, so statements nested in its clauses (a `switch` arm) cannot
// reuse them; the range variable is a local of the query's own scope.
class QueryLowering {
 public:
  QueryLowering(MethodEmitter& m, const Ast::Query& q) : m_(m), q_(q) {}

  Ty run(int dst, const ClassRec& row_cls, std::optional<std::uint32_t> table_id);

 private:
  // Reads element `index` of the multi in `coll` into `into`.
  void read_element(int into, int coll, int index);
  // A counted loop of `count` rounds over i_: `body(next)` emits one round,
  // jumping to the pcs it adds to `next` to skip to the following round.
  void each_element(int count, const std::function<void(std::vector<std::size_t>&)>& body);
  // Appends the value of `select` (x bound to the current row) to `out`.
  void push_selected(int out, int x);
  // Sorts the multi in `coll` by the order key, x bound to each element.
  void sort_by_key(int coll, int x);
  // Whether the key in a comes before the key in b, into c.
  void key_before(int c, int a, int b, const Ty& key_ty);
  void apply_take(int res);

  MethodEmitter& m_;
  const Ast::Query& q_;
  int i_ = -1, c_ = -1, one_ = -1;  // loop index, condition, Int 1
};

void QueryLowering::read_element(int into, int coll, int index) {
  int mark = m_.temp_mark();
  int w = m_.alloc_temps(2);
  m_.move(w, coll);
  m_.move(w + 1, index);
  m_.sync_mask(q_.id);
  m_.builtin(into, w, Builtin::MULTI_GET);
  m_.temp_reset(mark);
}

void QueryLowering::each_element(int count, const std::function<void(std::vector<std::size_t>&)>& body) {
  m_.load_int(i_, 0, q_.pos);
  std::size_t top = m_.here();
  m_.put_abc(Op::LT, c_, i_, count);
  std::size_t exit = m_.put_jump(Op::JZ, c_);
  std::vector<std::size_t> next;
  body(next);
  for (std::size_t at : next) m_.patch_jump(at, m_.here());
  m_.load_int(one_, 1, q_.pos);
  m_.put_abc(Op::ADD, i_, i_, one_);
  m_.patch_jump(m_.put_jump(Op::JMP), top);
  m_.patch_jump(exit, m_.here());
}

void QueryLowering::push_selected(int out, int x) {
  int mark = m_.temp_mark();
  int v = x;
  if (!(q_.select->get_if<Ast::Ident>() && q_.select->as<Ast::Ident>().name == q_.var)) {
    v = m_.alloc_temp();
    Ty ty = m_.emit_expr(v, *q_.select);
    // The result keeps its own text.
    m_.own_text(v, *q_.select, ty);
  }
  int w = m_.alloc_temps(2);
  m_.move(w, out);
  m_.move(w + 1, v);
  m_.sync_mask(q_.id);
  m_.builtin(w, w, Builtin::MULTI_PUSH);
  m_.temp_reset(mark);
}

void QueryLowering::key_before(int c, int a, int b, const Ty& key_ty) {
  if (!m_.is_float(key_ty) && !m_.is_text(key_ty)) {
    m_.put_abc(Op::LT, c, a, b);
    return;
  }
  int mark = m_.temp_mark();
  int w = m_.alloc_temps(2);
  m_.move(w, a);
  m_.move(w + 1, b);
  m_.sync_mask(q_.id);
  if (m_.is_text(key_ty)) {
    m_.builtin(c, w, Builtin::TEXT_CMP);
  } else {
    m_.builtin(c, w, Builtin::FLOAT_CMP);
    int zero = m_.alloc_temp();
    m_.load_int(zero, 0, q_.pos);
    m_.put_abc(Op::LT, c, c, zero);
  }
  m_.temp_reset(mark);
}

// Selection sort, smallest key first (largest with `desc`); stable enough
// for equal keys to keep the order of the rows before them.
void QueryLowering::sort_by_key(int coll, int x) {
  int mark = m_.temp_mark();
  int n = m_.alloc_temp(), j = m_.alloc_temp(), least = m_.alloc_temp(), kj = m_.alloc_temp(),
      km = m_.alloc_temp(), a = m_.alloc_temp(), b = m_.alloc_temp();
  int floor = m_.hold_temps();
  m_.set_line(q_.order_key->pos.line);
  m_.sync_mask(q_.id);
  m_.builtin(n, coll, Builtin::COUNT);
  m_.load_int(i_, 0, q_.pos);
  std::size_t outer = m_.here();
  m_.put_abc(Op::LT, c_, i_, n);
  std::size_t outer_exit = m_.put_jump(Op::JZ, c_);
  m_.move(least, i_);
  m_.load_int(one_, 1, q_.pos);
  m_.put_abc(Op::ADD, j, i_, one_);
  std::size_t inner = m_.here();
  m_.put_abc(Op::LT, c_, j, n);
  std::size_t inner_exit = m_.put_jump(Op::JZ, c_);
  auto key_of = [&](int into, int index) {
    read_element(x, coll, index);
    int kmark = m_.temp_mark();
    Ty ty = m_.emit_expr(into, *q_.order_key);
    m_.temp_reset(kmark);
    return ty;
  };
  Ty kj_ty = key_of(kj, j);
  Ty km_ty = key_of(km, least);
  Ty key_ty = kj_ty ? kj_ty : km_ty;
  if (q_.descending)
    key_before(c_, km, kj, key_ty);
  else
    key_before(c_, kj, km, key_ty);
  // A key made for the test (a concatenation, say) is released at once.
  m_.release_if_fresh(*q_.order_key, kj, key_ty);
  m_.release_if_fresh(*q_.order_key, km, key_ty);
  std::size_t keep = m_.put_jump(Op::JZ, c_);
  m_.move(least, j);
  m_.patch_jump(keep, m_.here());
  m_.load_int(one_, 1, q_.pos);
  m_.put_abc(Op::ADD, j, j, one_);
  m_.patch_jump(m_.put_jump(Op::JMP), inner);
  m_.patch_jump(inner_exit, m_.here());
  // Exchange the elements at i and least: both are read before either store.
  read_element(a, coll, i_);
  read_element(b, coll, least);
  for (int k = 0; k < 2; ++k) {
    int w = m_.alloc_temps(3);
    m_.move(w, coll);
    m_.move(w + 1, k == 0 ? i_ : least);
    m_.move(w + 2, k == 0 ? b : a);
    m_.sync_mask(q_.id);
    m_.builtin(c_, w, Builtin::MULTI_STORE);
    m_.temp_reset(w);
  }
  m_.load_int(one_, 1, q_.pos);
  m_.put_abc(Op::ADD, i_, i_, one_);
  m_.patch_jump(m_.put_jump(Op::JMP), outer);
  m_.patch_jump(outer_exit, m_.here());
  m_.release_temps(floor);
  m_.temp_reset(mark);
}

// The limit goes into a fresh temporary (never the user's variable), is
// clamped to 0 … count, and the result is replaced by its first `limit`
// elements.
void QueryLowering::apply_take(int res) {
  int mark = m_.temp_mark();
  int limit = m_.alloc_temp();
  m_.set_line(q_.take->pos.line);
  m_.emit_expr(limit, *q_.take);
  int count = m_.alloc_temp();
  m_.sync_mask(q_.id);
  m_.builtin(count, res, Builtin::COUNT);
  m_.put_abc(Op::LT, c_, count, limit);
  std::size_t within = m_.put_jump(Op::JZ, c_);
  m_.move(limit, count);
  m_.patch_jump(within, m_.here());
  int zero = m_.alloc_temp();
  m_.load_int(zero, 0, q_.pos);
  m_.put_abc(Op::LT, c_, limit, zero);
  std::size_t not_negative = m_.put_jump(Op::JZ, c_);
  m_.move(limit, zero);
  m_.patch_jump(not_negative, m_.here());
  int w = m_.alloc_temps(3);
  m_.move(w, res);
  m_.move(w + 1, zero);
  m_.move(w + 2, limit);
  int cut = m_.alloc_temp();
  m_.sync_mask(q_.id);
  m_.builtin(cut, w, Builtin::SLICE);
  m_.put_abc(Op::DROP, res, 0, 0);
  m_.move(res, cut);
  m_.temp_reset(mark);
}

Ty QueryLowering::run(int dst, const ClassRec& row_cls, std::optional<std::uint32_t> table_id) {
  Ty row_ty = m_.named(row_cls.name);
  std::size_t scope = m_.scope_mark();
  int mark = m_.temp_mark();
  int src = m_.alloc_temp(), res = m_.alloc_temp(), n = m_.alloc_temp(), x = m_.alloc_temp();
  i_ = m_.alloc_temp();
  c_ = m_.alloc_temp();
  one_ = m_.alloc_temp();
  int floor = m_.hold_temps();
  m_.locals_push(q_.var, x, row_ty, q_.id);

  bool identity = q_.select->get_if<Ast::Ident>() && q_.select->as<Ast::Ident>().name == q_.var;
  Ty selected = identity ? row_ty : m_.type_of(*q_.select);
  std::optional<int> kinds = selected ? m_.kinds_of(m_.ty_of(Types::t_multi(*selected))) : std::nullopt;
  if (!kinds) {
    m_.scope_restore(scope);
    m_.release_temps(floor);
    m_.temp_reset(mark);
    return m_.fail(dst, q_.select->pos, "cannot resolve the type of the query's selected value");
  }
  // Ordering a selection other than the rows themselves: the rows are
  // collected (in a multi that does not own them), sorted by the key read
  // from each row, and only then selected.
  bool rows_first = q_.order_key && !identity;

  m_.set_line(q_.pos.line);
  m_.sync_mask(q_.id);
  bool drop_src = table_id.has_value();
  if (q_.source_expr) {
    m_.emit_expr(src, *q_.source_expr);
  } else if (auto probe = probe_key_of_where(row_cls, q_)) {
    int t = m_.alloc_temps(3);
    m_.load_int(t, *table_id, q_.pos);
    m_.load_int(t + 1, probe->index, q_.pos);
    Ty key_ty;
    int key = m_.emit_operand(*probe->key, &key_ty);
    m_.move(t + 2, key);
    m_.set_line(q_.pos.line);
    m_.sync_mask(q_.id);
    m_.builtin(src, t, Builtin::PROBE_INDEX);
    m_.release_if_fresh(*probe->key, t + 2, key_ty);
    m_.temp_reset(t);
  } else {
    m_.load_int(src, *table_id, q_.pos);
    m_.builtin(src, src, Builtin::SCAN_TABLE);
  }
  m_.put_abc(Op::BUILTIN, res, rows_first ? 0 : *kinds, int(Builtin::MULTI_NEW));
  m_.builtin(n, src, Builtin::LEN);
  each_element(n, [&](std::vector<std::size_t>& next) {
    read_element(x, src, i_);
    for (const Ast::Expr* w : q_.wheres) {
      int wmark = m_.temp_mark();
      m_.set_line(w->pos.line);
      int r = m_.emit_operand(*w);
      next.push_back(m_.put_jump(Op::JZ, r));
      m_.temp_reset(wmark);
    }
    m_.set_line(q_.select->pos.line);
    if (rows_first) {
      int w = m_.alloc_temps(2);
      m_.move(w, res);
      m_.move(w + 1, x);
      m_.sync_mask(q_.id);
      m_.builtin(w, w, Builtin::MULTI_PUSH);
      m_.temp_reset(w);
    } else {
      push_selected(res, x);
    }
  });
  if (drop_src) m_.put_abc(Op::DROP, src, 0, 0);
  if (q_.order_key) sort_by_key(res, x);
  if (rows_first) {
    // src is free again: it receives the selection of the sorted rows.
    m_.set_line(q_.select->pos.line);
    m_.sync_mask(q_.id);
    m_.put_abc(Op::BUILTIN, src, *kinds, int(Builtin::MULTI_NEW));
    m_.builtin(n, res, Builtin::COUNT);
    each_element(n, [&](std::vector<std::size_t>&) {
      read_element(x, res, i_);
      push_selected(src, x);
    });
    m_.put_abc(Op::DROP, res, 0, 0);
    m_.move(res, src);
  }
  // The limit is read in the enclosing scope.
  m_.scope_restore(scope);
  if (q_.take) apply_take(res);
  m_.move(dst, res);
  m_.release_temps(floor);
  m_.temp_reset(mark);
  return m_.ty_of(Types::t_multi(*selected));
}

}  // namespace

Ty MethodEmitter::emit_query(int dst, const Ast::Query& e) {
  const ClassRec* row_cls = nullptr;
  std::optional<std::uint32_t> table_id;
  if (!e.source_expr) {
    table_id = prog.class_id(e.table);
    row_cls = table_id ? &prog.classes[*table_id] : nullptr;
    if (!row_cls || !is_table_class(*row_cls))
      return fail(dst, e.pos, "query over " + q(e.table) + ", which is not a declared table class");
  } else {
    Ty src_ty = type_of(*e.source_expr);
    const auto* m = src_ty ? strip_all(*src_ty).get_if<Types::TMulti>() : nullptr;
    row_cls = m ? class_of(ty_of(*m->elem)) : nullptr;
    if (!row_cls)
      return fail(dst, e.source_expr->pos,
                  "query navigation source must be a `backlink`/`multi` of a table class");
  }
  QueryLowering lowering(*this, e);
  return lowering.run(dst, *row_cls, table_id);
}

}  // namespace Emit::detail
