#include "lib/library.hpp"

#include "lib/state.hpp"

namespace Vm {

namespace {

Value not_available(Machine& vm, const Call&) {
  (void)vm;
  raise(ErrorCode::NOT_AVAILABLE, "this library function is not available in this runtime");
}

// Library ids: members of the library modules (40-58, 84, 91-95; time.now
// is builtin 0 of the core), and the lowerings of insert/delete/queries
// (61-67), spawn (68), send (69) and call (88).
constexpr struct {
  unsigned first, last;
  int arity;
} library_ids[] = {
    {40, 40, 1}, {41, 41, 1}, {42, 42, 1}, {43, 43, 2}, {44, 44, 3}, {45, 45, 2},
    {46, 46, 1}, {47, 47, 1}, {48, 48, 1}, {49, 49, 1}, {50, 50, 0}, {51, 51, 2},
    {52, 52, 1}, {53, 53, 2}, {54, 54, 2}, {55, 55, 1}, {56, 56, 2}, {57, 57, 1},
    {58, 58, -1}, {59, 59, -1}, {61, 66, -1}, {68, 68, -1}, {69, 69, 2}, {84, 84, 0}, {88, 88, 2},
    {89, 90, -1}, {91, 91, 3}, {92, 92, 2}, {93, 93, 3}, {94, 94, 1}, {95, 95, 1},
};

}  // namespace

void register_library_stubs(BuiltinTable& table) {
  for (const auto& range : library_ids) {
    for (unsigned id = range.first; id <= range.last; ++id) {
      table.add(id, not_available, range.arity, "library");
    }
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
