// The builtin numbers are written once, in the bytecode's table: the checker's
// library members, the emitter's builtins and the runtime's registrations
// must all agree with it, id for id and arity for arity, and the runtime may
// register nothing the table does not know.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "bytecode/bytecode.hpp"
#include "machine.hpp"
#include "types/types.hpp"

namespace {

using Bytecode::Builtin;

// A library stub (not yet served by the runtime) is registered as "library".
bool served(const Vm::BuiltinEntry& e) { return e.fn != nullptr && std::string(e.name) != "library"; }

TEST(BuiltinTable, RuntimeServesEveryBuiltinWithItsArity) {
  const Vm::BuiltinTable& vm = Vm::builtins();
  for (unsigned id = 0; id < 256; ++id) {
    const Bytecode::BuiltinInfo* info = Bytecode::builtin_info(id);
    if (info == nullptr) continue;
    SCOPED_TRACE("builtin " + std::to_string(id) + " " + std::string(info->name));
    EXPECT_EQ(unsigned(info->id), id);
    EXPECT_TRUE(served(vm.entries[id]));
    EXPECT_EQ(vm.entries[id].arity, info->arity);
  }
}

TEST(BuiltinTable, CheckerAndRuntimeAgreeOnLibraryMembers) {
  const Vm::BuiltinTable& vm = Vm::builtins();
  std::set<std::string> seen;
  for (const Bytecode::MemberInfo& m : Bytecode::library_members) {
    std::string name = std::string(m.module) + "." + std::string(m.member);
    SCOPED_TRACE(name);
    EXPECT_TRUE(seen.insert(name).second) << "listed twice";
    const Types::StdlibMember* checked = Types::stdlib_member(m.module, m.member);
    ASSERT_NE(checked, nullptr);
    EXPECT_EQ(checked->builtin_number, int(m.id));
    EXPECT_EQ(checked->arity, m.arity);
    const Vm::BuiltinEntry& e = vm.entries[unsigned(m.id)];
    EXPECT_TRUE(served(e));
    // json.decode also receives the class number to decode into.
    EXPECT_EQ(e.arity, m.id == Builtin::JSON_DECODE ? -1 : m.arity);
  }
  // Members that share a number with another row: only time.now, the core's `now`.
  for (const Bytecode::MemberInfo& m : Bytecode::library_members) {
    if (Bytecode::builtin_info(unsigned(m.id)) != nullptr) {
      EXPECT_EQ(m.id, Builtin::NOW) << m.module << "." << m.member;
    }
  }
  EXPECT_EQ(Types::stdlib_member("fs", "no_such_member"), nullptr);
}

TEST(BuiltinTable, RuntimeRegistersNothingTheTableLacks) {
  const Vm::BuiltinTable& vm = Vm::builtins();
  std::set<unsigned> known;
  for (unsigned id = 0; id < 256; ++id) {
    if (Bytecode::builtin_info(id) != nullptr) known.insert(id);
  }
  for (const Bytecode::MemberInfo& m : Bytecode::library_members) known.insert(unsigned(m.id));
  for (unsigned id = 0; id < 256; ++id) {
    if (vm.entries[id].arity == -2) continue;
    EXPECT_TRUE(known.count(id)) << "the runtime registers builtin " << id << " (" << vm.entries[id].name
                                 << "), which the builtin table does not list";
  }
}

}  // namespace
