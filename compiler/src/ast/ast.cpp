#include "ast/ast.hpp"

namespace Ast {

std::string_view op_text(BinaryOp op) {
  switch (op) {
    case BinaryOp::Add: return "+";
    case BinaryOp::Sub: return "-";
    case BinaryOp::Mul: return "*";
    case BinaryOp::Div: return "/";
    case BinaryOp::Mod: return "%";
    case BinaryOp::Concat: return "..";
    case BinaryOp::Eq: return "==";
    case BinaryOp::Ne: return "!=";
    case BinaryOp::Lt: return "<";
    case BinaryOp::Le: return "<=";
    case BinaryOp::Gt: return ">";
    case BinaryOp::Ge: return ">=";
    case BinaryOp::And: return "and";
    case BinaryOp::Or: return "or";
    case BinaryOp::BitAnd: return "&";
    case BinaryOp::BitOr: return "|";
    case BinaryOp::BitXor: return "^";
    case BinaryOp::Shl: return "<<";
    case BinaryOp::Shr: return ">>";
  }
  return "?";
}

std::string_view op_text(UnaryOp op) { return op == UnaryOp::Neg ? "-" : "not "; }

std::vector<const SwitchArm*> switch_lowering_order(std::span<const SwitchArm> arms) {
  std::vector<const SwitchArm*> order;
  order.reserve(arms.size());
  for (const SwitchArm& arm : arms)
    if (!arm.is_default) order.push_back(&arm);
  for (const SwitchArm& arm : arms)
    if (arm.is_default) order.push_back(&arm);
  return order;
}

}  // namespace Ast
