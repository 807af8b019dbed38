// What the library keeps per machine: the tables of rows, the actor system
// this machine belongs to, and the sockets it opened. Made on first use and
// freed by release_library when the machine ends.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "builtins.hpp"

namespace Vm {

// The library's error codes (Error.code), above the core's.
enum class LibError : std::int64_t {
  DUPLICATE_KEY = 100,  // insert refused by a @unique index
  NOT_A_ROW = 101,      // delete of a value that is not a row of the table
  FS = 110,             // a file system call failed
  TIME = 111,           // a time outside the calendar's range
  PROC = 120,           // a program could not be started
  NET = 130,            // a socket call failed
  NET_CLOSED = 131,     // read or write on a closed connection
  ACTOR = 140,          // a call to an actor whose receive failed
  ACTOR_CYCLE = 141,    // a call that would wait for itself
  JSON = 150,           // a value json.encode cannot write
};

[[noreturn]] inline void raise_lib(LibError code, std::string msg) {
  raise_code(static_cast<std::int64_t>(code), std::move(msg));
}

class Tables;       // tables.cpp
struct SocketSet;   // net.cpp
class ActorSystem;  // actors.cpp
struct Actor;

struct LibraryState {
  std::unique_ptr<Tables> tables;
  // The actor system of the program: owned by the main machine, shared by
  // the machines of its actors.
  std::shared_ptr<ActorSystem> actors;
  Actor* self = nullptr;  // the actor this machine runs, nullptr for main
  // An actor's state and the message its receive is handling (0 when none):
  // values the machine holds outside its registers.
  Value held[2] = {0, 0};
  // The sockets the program opened (a connection may be handed to an
  // actor, so the main machine and its actors share one set).
  std::shared_ptr<SocketSet> sockets;
  // Why the last json.decode of this machine gave nil; empty after a success.
  std::string json_error;

  LibraryState();
  ~LibraryState();
};

LibraryState& library_state(Machine& vm);

// Freeing per module, called by release_library.
void release_tables(Machine& vm, LibraryState& s);
void release_actors(Machine& vm, LibraryState& s);
void release_sockets(LibraryState& s);

// True once SIGINT or SIGTERM arrived after env.stopping() was first asked.
bool stop_requested();
// The socket set, made on first use (shared with actors it spawns).
std::shared_ptr<SocketSet> socket_set(LibraryState& s);

// Registration per module (library.cpp calls them).
void register_table_builtins(BuiltinTable& t);
void register_json_builtins(BuiltinTable& t);
void register_system_builtins(BuiltinTable& t);  // fs, time, env, proc
void register_net_builtins(BuiltinTable& t);
void register_actor_builtins(BuiltinTable& t);

// An Int argument that must name a class of the program.
std::uint32_t class_arg(Machine& vm, Value v, const char* builtin);

// A new instance of the library record `name` (`Stat`, `TimeParts`,
// `Proc`) with its fields set by name; fields the program's record lacks
// are skipped. Text values are taken (the record owns them).
struct RecordField {
  const char* name;
  Value value;
  bool text;
};
Value make_record(Machine& vm, const char* name, std::initializer_list<RecordField> fields);

}  // namespace Vm
