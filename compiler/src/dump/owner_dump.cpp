// The ownership tables as text, one line per record.
#include "dump/dump.hpp"

namespace Dump {

namespace {

std::string pos_text(Ast::Pos pos) { return std::to_string(pos.line) + ":" + std::to_string(pos.col); }

std::string item_list(std::span<const Owner::DropItem> items) {
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i) out += ", ";
    out += items[i].name;
    if (items[i].gc) out += ":gc";
  }
  return out + "]";
}

std::string drop_line(const Owner::Drop& d) {
  std::string head = pos_text(d.pos) + " ";
  switch (d.kind) {
    case Owner::DropKind::Return: return head + "RETURN " + item_list(d.items);
    case Owner::DropKind::Overwrite: {
      std::string names;
      for (std::size_t i = 0; i < d.items.size(); ++i) {
        if (i) names += ", ";
        names += d.items[i].name;
      }
      return head + "OVERWRITE " + names;
    }
    case Owner::DropKind::LiveMask: return head + "LIVE-MASK " + item_list(d.items);
    case Owner::DropKind::Break: return head + "BREAK " + item_list(d.items);
    case Owner::DropKind::Continue: return head + "CONTINUE " + item_list(d.items);
    case Owner::DropKind::Scope: return head + "SCOPE " + std::string(d.label) + " " + item_list(d.items);
    case Owner::DropKind::JoinDrop: return head + "JOIN-DROP " + std::string(d.label) + " " + item_list(d.items);
  }
  return head;
}

}  // namespace

std::string dump_owner(const Owner::Tables& tables) {
  std::string out = "== MOVES ==\n";
  for (const Owner::Move& m : tables.moves)
    out += pos_text(m.pos) + " MOVE " + m.place + " " + Owner::move_kind_text(m) + "\n";
  out += "== DROPS ==\n";
  for (const Owner::Drop& d : tables.drops) out += drop_line(d) + "\n";
  out += "== RESIDUAL ==\n";
  for (const Owner::Residual& r : tables.residual) {
    out += pos_text(r.pos) + " RESIDUAL " + std::string(Owner::access_text(r.first_kind)) + " " + r.first +
           " vs " + std::string(Owner::access_text(r.second_kind)) + " " + r.second + "\n";
  }
  return out;
}

}  // namespace Dump
