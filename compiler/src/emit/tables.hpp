// Private to the emitter: what the table lowerings decide before emitting,
// shared by lower_tables.cpp and the tests.
#pragma once

#include <cstdint>
#include <optional>

#include "emit/program.hpp"

namespace Emit::detail {

// A class whose instances live in a table: declared with `@table` or with
// an `@unique` field (either gives it indexes).
bool is_table_class(const ClassRec& c);

// An index probe for a query over a table: the index number and the key
// expression (the side of `x.f == e` or `e == x.f` that is not the field).
struct ProbePlan {
  std::uint32_t index = 0;
  const Ast::Expr* key = nullptr;
};

// The first `where` condition, in source order, comparing a field of the
// range variable itself for equality with an expression that does not read
// the range variable, the field being neither Float nor Bytes and having an
// index of exactly that one column (the first such index). None: a scan.
std::optional<ProbePlan> probe_key_of_where(const ClassRec& cls, const Ast::Query& q);

}  // namespace Emit::detail
