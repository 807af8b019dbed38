#include "lib/library.hpp"

#include "lib/state.hpp"

namespace Vm {

namespace {

Value not_available(Machine& vm, const Call&) {
  (void)vm;
  raise(ErrorCode::NOT_AVAILABLE, "this library function is not available in this runtime");
}

// The lowerings the library serves besides the members of its modules:
// insert/delete/queries, spawn, send and call.
constexpr Bytecode::Builtin library_lowerings[] = {
    Bytecode::Builtin::INSERT_ROW, Bytecode::Builtin::DELETE_ROW, Bytecode::Builtin::SCAN_TABLE,
    Bytecode::Builtin::PROBE_INDEX, Bytecode::Builtin::TEXT_CMP, Bytecode::Builtin::SPAWN,
    Bytecode::Builtin::SEND, Bytecode::Builtin::CALL,
};

}  // namespace

void register_library_stubs(BuiltinTable& table) {
  for (const Bytecode::MemberInfo& m : Bytecode::library_members) {
    // time.now is the core's `now`; json.decode also takes the class number.
    if (m.id == Bytecode::Builtin::NOW) continue;
    int arity = m.id == Bytecode::Builtin::JSON_DECODE ? -1 : m.arity;
    table.add(unsigned(m.id), not_available, arity, "library");
  }
  for (Bytecode::Builtin id : library_lowerings) {
    table.add(unsigned(id), not_available, Bytecode::builtin_info(unsigned(id))->arity, "library");
  }
}

void register_library(BuiltinTable& table) {
  register_table_builtins(table);
  register_json_builtins(table);
  register_system_builtins(table);
  register_net_builtins(table);
  register_actor_builtins(table);
}

LibraryState& library_state(Machine& vm) {
  if (vm.library == nullptr) vm.library = new LibraryState();
  return *vm.library;
}

void release_library(Machine& vm) {
  if (vm.library == nullptr) return;
  // Actors first: their machines may still hold messages of this one.
  release_actors(vm, *vm.library);
  release_tables(vm, *vm.library);
  release_sockets(*vm.library);
  delete vm.library;
  vm.library = nullptr;
}

std::uint32_t class_arg(Machine& vm, Value v, const char* builtin) {
  std::int64_t c = as_int(v);
  if (c < 0 || static_cast<std::uint64_t>(c) >= vm.program.layouts.size()) {
    raise(ErrorCode::BAD_ARGUMENT, std::string(builtin) + ": " + std::to_string(c) + " is not a class of the program");
  }
  return static_cast<std::uint32_t>(c);
}

Value make_record(Machine& vm, const char* name, std::initializer_list<RecordField> fields) {
  int cls = vm.program.class_index(name);
  if (cls < 0) {
    for (const RecordField& f : fields) {
      if (f.text) vm.heap.release_str(f.value);
    }
    raise(ErrorCode::NOT_AVAILABLE, std::string("the program has no `") + name + "` record");
  }
  Instance* r = vm.heap.instance(static_cast<std::uint32_t>(cls));
  const ClassLayout& layout = vm.heap.layout(static_cast<std::uint32_t>(cls));
  for (const RecordField& f : fields) {
    int slot = vm.program.field_index(static_cast<std::uint32_t>(cls), f.name);
    bool fits = slot >= 0 && (layout.kinds[std::size_t(slot)] == Kind::TEXT) == f.text;
    if (fits) r->fields[slot] = f.value;
    else if (f.text) vm.heap.release_str(f.value);
  }
  return from_ptr(r);
}

}  // namespace Vm
