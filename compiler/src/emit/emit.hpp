// The emitter: turns the checked program into a .vkb image.
//   image.hpp     the constant pool; the image format is bytecode/bytecode.hpp
//   instr.hpp     the instruction set (bytecode/instr.hpp) under Emit
//   emit()        below: numbering, lowering of every body, serialisation
// Private to the folder: program.hpp (program-level tables) and method.hpp
// (the method emitter, whose lowerings are split by construct over lower_*.cpp).
#pragma once

#include <functional>
#include <span>
#include <string>

#include "diag/diag.hpp"
#include "emit/image.hpp"
#include "emit/instr.hpp"
#include "owner/owner.hpp"
#include "types/types.hpp"

namespace Emit {

inline constexpr const char* over_budget_code = "VK-E401";
// limit_code (VK-E402) is in instr.hpp.
inline constexpr const char* cannot_lower_code = "VK-E403";
inline constexpr const char* unguardable_code = "VK-E404";
inline constexpr const char* entry_return_code = "VK-E405";
inline constexpr const char* stdlib_not_linked_code = "VK-E406";

// One source file as the emitter receives it.
struct SourceUnit {
  std::string path;
  const Ast::Program* tree = nullptr;
  const Owner::Tables* tables = nullptr;
};

// Whether a `main` declared in the file at this path may be the entry.
using EntryOk = std::function<bool(const std::string& path)>;

// The image of the whole program, always produced; problems go to the
// collector (VK-E401 ... VK-E406) and the caller withholds the image then.
std::string emit(const EntryOk& entry_ok, const Types::Symbols& merged, const Types::ModuleOf& module_of,
                 const Types::ModuleTables& modules, Diag::Collector& collector,
                 std::span<const SourceUnit> files);

// The same, returning the image entries before serialisation (for tests).
Image emit_image(const EntryOk& entry_ok, const Types::Symbols& merged, const Types::ModuleOf& module_of,
                 const Types::ModuleTables& modules, Diag::Collector& collector,
                 std::span<const SourceUnit> files);

}  // namespace Emit
