// Union variant constructors and `switch` on unions.
#include "emit/method.hpp"

namespace Emit::detail {

Ty MethodEmitter::emit_variant_ctor(int dst, const Ast::Call& c, const Types::FoundVariant& v) {
  return fail(dst, c.pos, "cannot lower the variant " + q(v.variant->name) + " of " + q(v.union_info->name) +
                              " yet");
}

Ty MethodEmitter::emit_union_switch(int dst, const Ast::Switch& s, int, const Types::UnionInfo& u) {
  return fail(dst, s.pos, "cannot lower a `switch` on the union " + q(u.name) + " yet");
}

}  // namespace Emit::detail
