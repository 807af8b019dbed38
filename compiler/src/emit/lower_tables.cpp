// `insert`, `delete` and queries over table classes.
#include "emit/method.hpp"

namespace Emit::detail {

Ty MethodEmitter::emit_insert(int dst, const Ast::Insert& e) {
  return fail(dst, e.pos, "cannot lower `insert` yet");
}

Ty MethodEmitter::emit_delete(int dst, const Ast::Delete& e) {
  return fail(dst, e.pos, "cannot lower `delete` yet");
}

Ty MethodEmitter::emit_query(int dst, const Ast::Query& e) {
  return fail(dst, e.pos, "cannot lower a query yet");
}

}  // namespace Emit::detail
