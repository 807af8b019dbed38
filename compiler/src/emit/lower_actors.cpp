// `spawn` of actors and the checked JSON decode `json.decode(text) as T`.
#include "emit/method.hpp"

namespace Emit::detail {

Ty MethodEmitter::emit_spawn(int dst, const Ast::Spawn& e) {
  return fail(dst, e.pos, "cannot lower `spawn " + std::string(e.class_name) + "` yet");
}

Ty MethodEmitter::emit_as(int dst, const Ast::As& e) {
  return fail(dst, e.pos, "cannot lower `as` yet");
}

}  // namespace Emit::detail
