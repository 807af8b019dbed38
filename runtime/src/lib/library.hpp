// The registration point of the library builtins (tables, actors, JSON, fs,
// time, env, net, proc). The core calls register_library after its own
// groups; each library file adds a `register_<module>_builtins(table)` and
// one line in library.cpp. Ids the library leaves empty keep the stub that
// raises a catchable "not available in this runtime" error (code 11).
#pragma once

#include "builtins.hpp"

namespace Vm {

void register_library(BuiltinTable& table);

// Every library builtin id (the members of fs, time, env, net, proc, json,
// and the table, actor and JSON lowerings) as a stub that raises
// NOT_AVAILABLE. Runs first, before the core and the library register.
void register_library_stubs(BuiltinTable& table);

// Frees what the library holds for a machine (table rows, actors, sockets);
// the machine calls it when it ends.
void release_library(Machine& vm);

}  // namespace Vm
