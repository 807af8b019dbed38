// Actors. Each actor owns a machine of its own (heap, registers, tables),
// its state and a mailbox. `send` packs the message into bytes (the sender's
// copy is released) and returns at once; the actor's machine unpacks it in
// its own heap and runs `receive`. Actors run on worker threads (one per
// core; VKVM_WORKERS chooses how many); an actor handles one message at a
// time, and messages from one sender arrive in the order sent.
//
// A `call` to an actor that is idle or only queued runs that actor's
// mailbox on the caller's own thread until the reply is there: the caller
// would only wait anyway, and a chain of calls then needs no thread per
// link. Past `max_inline` nested links (the C++ stack of one thread) or when
// the actor is running elsewhere, the caller waits, first making sure
// another worker is free. The program ends when main has returned and every
// actor is idle with an empty mailbox.
#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "lib/state.hpp"
#include "lib/transfer.hpp"

namespace Vm {

namespace {

// What receive gave for one message.
struct Outcome {
  bool failed = false;
  std::int64_t code = 0;  // the error's code when failed
  Value value = 0;
  std::string error;
};

// The answer to a `call`, filled by whichever thread runs the actor.
struct Reply {
  bool done = false;
  Outcome outcome;
  std::condition_variable cv;  // the caller waits on it
};

struct Message {
  std::string bytes;
  Reply* reply = nullptr;  // a `call` waits on it
  Actor* caller = nullptr; // the actor that made the call, nullptr for main
};

constexpr int batch = 64;  // messages an actor handles before others get a turn

}  // namespace

struct Actor {
  std::uint32_t id = 0;  // the address: 1, 2, ...
  std::string name;      // the class name
  std::uint32_t receive = 0;
  std::unique_ptr<Machine> machine;
  Value state = 0;
  std::deque<Message> mailbox;
  bool scheduled = false;  // queued or running
  bool running = false;    // on some thread's stack now
  std::size_t depth = 0;   // nested calls run below it on its thread
  Actor* waiting_on = nullptr;  // the actor whose reply it waits for
};

class ActorSystem {
 public:
  explicit ActorSystem(Program& program) : program_(program) {}

  Program& program() { return program_; }

  Actor* spawn(std::unique_ptr<Machine> machine, std::uint32_t receive, Value state) {
    std::unique_lock<std::mutex> g(lock_);
    start_workers();
    auto a = std::make_unique<Actor>();
    a->id = static_cast<std::uint32_t>(actors_.size() + 1);
    a->name = program_.class_names[as_ptr<Instance>(state)->h.cls];
    a->receive = receive;
    a->machine = std::move(machine);
    a->state = state;
    actors_.push_back(std::move(a));
    return actors_.back().get();
  }

  Actor* find(Value address, const char* member) {
    std::int64_t id = as_int(address);
    std::unique_lock<std::mutex> g(lock_);
    if (id <= 0 || static_cast<std::uint64_t>(id) > actors_.size()) {
      raise(ErrorCode::BAD_ARGUMENT, std::string(member) + ": " + std::to_string(id) + " is not an actor address");
    }
    return actors_[static_cast<std::size_t>(id - 1)].get();
  }

  void post(Actor* to, Message m) {
    std::unique_lock<std::mutex> g(lock_);
    to->mailbox.push_back(std::move(m));
    if (!to->scheduled) {
      to->scheduled = true;
      ++active_;
      ready_.push_back(to);
      work_cv_.notify_one();
    }
  }

  // Sends a call and waits for its reply (see the top of the file).
  void call(Actor* from, Actor* to, Message m, Reply& reply) {
    std::unique_lock<std::mutex> g(lock_);
    // A call whose target (directly or through the calls it waits on) waits
    // for the caller would never finish.
    for (Actor* a = to; a != nullptr; a = a->waiting_on) {
      if (a == from) {
        raise_lib(LibError::ACTOR_CYCLE, "call: `" + to->name +
                                             "` is waiting for this actor's own reply — the calls would never finish");
      }
    }
    std::size_t depth = from != nullptr ? from->depth + 1 : 1;
    bool here = depth <= max_inline && !to->running;
    bool blocking_worker = !here && from != nullptr;
    if (blocking_worker && waiting_workers_ + 1 >= workers_.size()) {
      if (workers_.size() >= max_workers) {
        raise(ErrorCode::STACK_OVERFLOW, "call: more than " + std::to_string(max_workers) +
                                             " actors wait for replies at once — the calls nest too deeply");
      }
      workers_.emplace_back([this] { work(); });
    }
    m.reply = &reply;
    m.caller = from;
    to->mailbox.push_back(std::move(m));
    if (from != nullptr) from->waiting_on = to;
    if (here) {
      if (to->scheduled) {
        ready_.erase(std::find(ready_.begin(), ready_.end(), to));
      } else {
        to->scheduled = true;
        ++active_;
      }
      to->running = true;
      to->depth = depth;
      while (!reply.done) handle_one(g, to);
      to->running = false;
      reschedule(to);
    } else {
      if (!to->scheduled) {
        to->scheduled = true;
        ++active_;
        ready_.push_back(to);
        work_cv_.notify_one();
      }
      if (blocking_worker) ++waiting_workers_;
      reply.cv.wait(g, [&] { return reply.done; });
      if (blocking_worker) --waiting_workers_;
    }
    if (from != nullptr) from->waiting_on = nullptr;
  }

  // Main has returned: waits for every actor to become idle, then stops the
  // workers.
  void finish() {
    {
      std::unique_lock<std::mutex> g(lock_);
      idle_cv_.wait(g, [&] { return active_ == 0; });
      stopping_ = true;
      work_cv_.notify_all();
    }
    for (std::thread& t : workers_) t.join();
    workers_.clear();
    // Each actor's machine frees its state and whatever it still holds.
    for (auto& a : actors_) {
      a->machine->heap.drop(a->state);
      a->state = 0;
      a->machine.reset();
    }
  }

 private:
  static constexpr std::size_t max_workers = 1024;
  // Calls run on one thread's stack before the next link waits for a worker
  // of its own (each link takes a few KiB of C++ stack).
  static constexpr std::size_t max_inline = 64;

  void start_workers() {
    if (started_) return;
    started_ = true;
    unsigned n = std::thread::hardware_concurrency();
    if (const char* w = std::getenv("VKVM_WORKERS")) n = static_cast<unsigned>(std::strtoul(w, nullptr, 10));
    if (n == 0) n = 1;
    if (n > 64) n = 64;
    for (unsigned i = 0; i < n; ++i) workers_.emplace_back([this] { work(); });
  }

  void work() {
    std::unique_lock<std::mutex> g(lock_);
    for (;;) {
      if (!ready_.empty()) {
        Actor* a = ready_.front();
        ready_.pop_front();
        run(g, a);
      } else if (stopping_) {
        return;
      } else {
        work_cv_.wait(g);
      }
    }
  }

  // Handles up to `batch` messages of `a` on a worker (called with the
  // lock held; the lock is released while receive runs).
  void run(std::unique_lock<std::mutex>& g, Actor* a) {
    a->running = true;
    a->depth = 0;
    for (int n = 0; n < batch && !a->mailbox.empty(); ++n) handle_one(g, a);
    a->running = false;
    reschedule(a);
  }

  // Takes the first message of `a` and runs receive for it.
  void handle_one(std::unique_lock<std::mutex>& g, Actor* a) {
    Message m = std::move(a->mailbox.front());
    a->mailbox.pop_front();
    g.unlock();
    Outcome result;
    deliver(a, m, result);
    g.lock();
    if (m.reply != nullptr) {
      m.reply->outcome = std::move(result);
      m.reply->done = true;
      m.reply->cv.notify_one();
    }
  }

  // After a turn: more mail goes to the back of the queue (others go
  // first), none makes the actor idle.
  void reschedule(Actor* a) {
    if (a->mailbox.empty()) {
      a->scheduled = false;
      if (--active_ == 0) idle_cv_.notify_all();
    } else {
      ready_.push_back(a);
      work_cv_.notify_one();
    }
  }

  // Runs receive for one message on the actor's own machine.
  static void deliver(Actor* a, const Message& m, Outcome& result) {
    Machine& vm = *a->machine;
    Value msg = 0;
    std::string trace;
    try {
      std::string_view in = m.bytes;
      msg = unpack_value(vm, in);
      Value args[2] = {a->state, msg};
      if (msg >= 65536) library_state(vm).held[1] = msg;
      result.value = vm.invoke(a->receive, args, 2, &trace);
    } catch (const VmError& e) {
      result.failed = true;
      result.code = e.code;
      result.error = e.msg;
      vm.out.error("vkvm: actor `" + a->name + "`: " + e.msg + "\n" + trace);
    }
    library_state(vm).held[1] = 0;
    if (msg >= 65536) vm.heap.drop(msg);  // receive only borrowed it
    vm.out.flush();
  }

  Program& program_;
  std::mutex lock_;
  std::condition_variable work_cv_;  // workers wait for a ready actor
  std::condition_variable idle_cv_;  // finish waits for every actor idle
  std::vector<std::unique_ptr<Actor>> actors_;
  std::deque<Actor*> ready_;
  std::vector<std::thread> workers_;
  std::size_t active_ = 0;  // actors queued or running
  std::size_t waiting_workers_ = 0;  // workers blocked in a call
  bool started_ = false;
  bool stopping_ = false;
};

namespace {

ActorSystem& system_of(Machine& vm) {
  LibraryState& s = library_state(vm);
  if (!s.actors) s.actors = std::make_shared<ActorSystem>(vm.program);
  return *s.actors;
}

// builtin 68: spawn. args[0] is the actor's state (built by the caller, who
// keeps and releases it), args[1] the method number of its receive.
Value b_spawn(Machine& vm, const Call& c) {
  if (c.args + 2 > c.window_end) raise(ErrorCode::BAD_ARGUMENT, "spawn: the receive method is missing");
  Value state = c.args[0];
  std::int64_t receive = as_int(c.args[1]);
  if (state == 0 || as_obj(state)->type != ObjType::INSTANCE) raise(ErrorCode::NIL_VALUE, "spawn: the state is nil");
  if (receive < 0 || static_cast<std::uint64_t>(receive) >= vm.program.methods.size() ||
      vm.program.methods[static_cast<std::size_t>(receive)].args != 2) {
    raise(ErrorCode::BAD_ARGUMENT, "spawn: " + std::to_string(receive) + " is not a receive method");
  }
  ActorSystem& sys = system_of(vm);
  LibraryState& mine = library_state(vm);
  auto machine = std::make_unique<Machine>(vm.program);
  LibraryState& theirs = library_state(*machine);
  theirs.actors = mine.actors;
  theirs.sockets = socket_set(mine);
  std::string packed;
  pack_value(vm, state, packed);
  std::string_view in = packed;
  Value copy = unpack_value(*machine, in);
  theirs.held[0] = copy;
  Actor* a = sys.spawn(std::move(machine), static_cast<std::uint32_t>(receive), copy);
  theirs.self = a;
  return from_int(a->id);
}

Message pack_message(Machine& vm, Value msg) {
  Message m;
  try {
    pack_value(vm, msg, m.bytes);
  } catch (...) {
    if (msg >= 65536) vm.heap.drop(msg);
    throw;
  }
  if (msg >= 65536) vm.heap.drop(msg);  // the message moved to the receiver
  return m;
}

// builtin 69: send(address, message); takes the message.
Value b_send(Machine& vm, const Call& c) {
  ActorSystem& sys = system_of(vm);
  Message m = pack_message(vm, c.args[1]);  // taken even when the address is bad
  sys.post(sys.find(c.args[0], "send"), std::move(m));
  return 0;
}

// builtin 88: call(address, message); takes the message and waits for the
// value receive returns. A receive that fails makes the call fail.
Value b_call(Machine& vm, const Call& c) {
  ActorSystem& sys = system_of(vm);
  Message m = pack_message(vm, c.args[1]);  // taken even when the address is bad
  Actor* to = sys.find(c.args[0], "call");
  vm.out.flush();  // what main printed before the call comes first
  Reply reply;
  sys.call(library_state(vm).self, to, std::move(m), reply);
  if (reply.outcome.failed) {
    // A failure passed up a chain of calls keeps the innermost reason once.
    if (reply.outcome.code == static_cast<std::int64_t>(LibError::ACTOR)) {
      raise_lib(LibError::ACTOR, std::move(reply.outcome.error));
    }
    raise_lib(LibError::ACTOR, "call: `" + to->name + "` failed to reply: " + reply.outcome.error);
  }
  return reply.outcome.value;
}

}  // namespace

void release_actors(Machine&, LibraryState& s) {
  if (!s.actors || s.self != nullptr) {
    s.actors.reset();  // an actor's machine: the main machine ends the system
    return;
  }
  std::shared_ptr<ActorSystem> sys = std::move(s.actors);
  sys->finish();
}

void register_actor_builtins(BuiltinTable& t) {
  t.add(unsigned(Bytecode::Builtin::SPAWN), b_spawn, -1, "spawn");
  t.add(unsigned(Bytecode::Builtin::SEND), b_send, 2, "send");
  t.add(unsigned(Bytecode::Builtin::CALL), b_call, 2, "call");
}

}  // namespace Vm
