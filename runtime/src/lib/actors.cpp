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
#include <unordered_map>
#include <vector>

#include "cluster/link.hpp"
#include "cluster/wire.hpp"
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
  std::string name;  // the class of an actor of another node, from its reply
  std::condition_variable cv;  // the caller waits on it
};

struct Message {
  std::string bytes;
  Reply* reply = nullptr;  // a `call` waits on it
  Actor* caller = nullptr; // the actor that made the call, nullptr for main
  // A call from another node: its number there and the node to answer.
  std::uint64_t call_id = 0;
  std::uint32_t reply_node = 0;
  std::vector<std::uint32_t> path;  // the addresses waiting for this reply
};

// Where an address lives: a local actor, or the node that hosts it.
struct Target {
  Actor* local = nullptr;
  std::uint32_t addr = 0;
  std::uint32_t node = 0;
};

// A call waiting for a reply from another node.
struct PendingCall {
  Reply* reply;
  std::uint32_t node;
  std::uint32_t addr;
};

using Op = Wire::Kind;

constexpr int batch = 64;  // messages an actor handles before others get a turn
// The code a node answers a call to an address it does not host with.
constexpr std::int64_t no_such_actor = -2;

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
  std::vector<std::uint32_t> path;  // who waits for the message it handles
  // On a serving node what it prints is sent to the driver after each
  // message.
  bool captured = false;
  std::string out_text, err_text;
};

class ActorSystem : public std::enable_shared_from_this<ActorSystem> {
 public:
  explicit ActorSystem(Program& program, ClusterLink* link = nullptr) : program_(program), link_(link) {
    if (link_ != nullptr) {
      sent_.assign(link_->nodes(), 0);
      received_.assign(link_->nodes(), 0);
    }
  }

  Program& program() { return program_; }
  bool clustered() const { return link_ != nullptr; }

  // A new actor of this node at `addr` (0: the next address), its state
  // rebuilt from packed bytes in a machine of its own.
  Actor* spawn_here(std::uint32_t addr, std::uint32_t receive, std::string_view packed,
                    std::shared_ptr<SocketSet> sockets) {
    auto machine = std::make_unique<Machine>(program_);
    LibraryState& theirs = library_state(*machine);
    theirs.actors = shared_from_this();
    theirs.sockets = std::move(sockets);
    Value state = unpack_value(*machine, packed);
    theirs.held[0] = state;
    auto a = std::make_unique<Actor>();
    a->name = program_.class_names[as_ptr<Instance>(state)->h.cls];
    a->receive = receive;
    a->state = state;
    if (link_ != nullptr && link_->self() != 0) {
      a->captured = true;
      machine->out.capture(&a->out_text, &a->err_text);
    }
    a->machine = std::move(machine);
    theirs.self = a.get();
    std::unique_lock<std::mutex> g(lock_);
    start_workers();
    a->id = addr != 0 ? addr : static_cast<std::uint32_t>(actors_.size() + 1);
    if (actors_.size() < a->id) actors_.resize(a->id);
    actors_[a->id - 1] = std::move(a);
    return actors_[addr != 0 ? addr - 1 : actors_.size() - 1].get();
  }

  // The sockets of actors spawned from another node (one set per node).
  std::shared_ptr<SocketSet> node_sockets() {
    std::unique_lock<std::mutex> g(lock_);
    if (!sockets_) {
      LibraryState scratch;
      sockets_ = socket_set(scratch);
    }
    return sockets_;
  }

  Target find(Value address, const char* member) {
    std::int64_t id = as_int(address);
    std::unique_lock<std::mutex> g(lock_);
    Target t;
    if (id > 0 && id <= 0xffffffff) {
      t.addr = static_cast<std::uint32_t>(id);
      t.node = host_of(t.addr);
      if (link_ == nullptr || t.node == link_->self()) {
        t.local = local(t.addr);
        if (t.local != nullptr) return t;
      } else if (link_->self() != 0 || t.addr < next_addr_) {
        return t;  // a serving node trusts addresses of other nodes
      }
    }
    raise(ErrorCode::BAD_ARGUMENT, std::string(member) + ": " + std::to_string(id) + " is not an actor address");
  }

  void post(Actor* to, Message m) {
    std::unique_lock<std::mutex> g(lock_);
    enqueue(to, std::move(m));
  }

  // Sends a call and waits for its reply (see the top of the file).
  void call(Actor* from, Actor* to, Message m, Reply& reply) {
    std::unique_lock<std::mutex> g(lock_);
    // A call whose target (directly or through the calls it waits on) waits
    // for the caller would never finish.
    bool cycle = from != nullptr && std::find(from->path.begin(), from->path.end(), to->id) != from->path.end();
    for (Actor* a = to; a != nullptr && !cycle; a = a->waiting_on) cycle = a == from;
    if (cycle) {
      raise_lib(LibError::ACTOR_CYCLE, "call: `" + to->name +
                                           "` is waiting for this actor's own reply — the calls would never finish");
    }
    std::size_t depth = from != nullptr ? from->depth + 1 : 1;
    bool here = depth <= max_inline && !to->running;
    bool blocking_worker = !here && from != nullptr;
    if (blocking_worker) make_room();
    m.reply = &reply;
    m.caller = from;
    if (from != nullptr) {
      m.path = from->path;
      m.path.push_back(from->id);
    }
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
      wait_reply(g, reply, blocking_worker);
    }
    if (from != nullptr) from->waiting_on = nullptr;
  }

  // A call to an actor of another node: waits for its REPLY, or for the
  // loss of its node.
  void call_remote(Actor* from, const Target& to, std::string bytes, Reply& reply) {
    std::vector<std::uint32_t> path;
    if (from != nullptr) {
      path = from->path;
      path.push_back(from->id);
    }
    if (std::find(path.begin(), path.end(), to.addr) != path.end()) {
      raise_lib(LibError::ACTOR_CYCLE, "call: actor " + std::to_string(to.addr) +
                                           " is waiting for this actor's own reply — the calls would never finish");
    }
    std::unique_lock<std::mutex> g(lock_);
    if (!link_->alive(to.node)) {
      reply.outcome = lost_outcome(to.addr);
      return;
    }
    bool blocking_worker = from != nullptr;
    if (blocking_worker) make_room();
    std::uint64_t id = next_call_++;
    calls_[id] = PendingCall{&reply, to.node, to.addr};
    ++sent_[to.node];
    Wire::Writer w(Op::CALL, link_->run(), link_->self());
    w.u32(to.addr).u64(id).u32(static_cast<std::uint32_t>(path.size()));
    for (std::uint32_t a : path) w.u32(a);
    w.bytes(bytes);
    g.unlock();
    link_->publish(to.node, w.str());
    g.lock();
    wait_reply(g, reply, blocking_worker);
    calls_.erase(id);
  }

  // A message to an actor of another node.
  void send_remote(Machine& vm, const Target& to, const std::string& bytes) {
    std::unique_lock<std::mutex> g(lock_);
    if (!link_->alive(to.node)) {
      g.unlock();
      vm.out.error("vkvm: send: actor " + std::to_string(to.addr) +
                   " was on a node that was lost; the message is dropped\n");
      return;
    }
    ++sent_[to.node];
    g.unlock();
    Wire::Writer w(Op::MSG, link_->run(), link_->self());
    w.u32(to.addr).bytes(bytes);
    link_->publish(to.node, w.str());
  }

  // A spawn in a cluster: the driver chooses the address and the node.
  std::uint32_t spawn_anywhere(std::uint32_t receive, const std::string& packed, std::shared_ptr<SocketSet> sockets) {
    std::unique_lock<std::mutex> g(lock_);
    if (link_->self() == 0) {
      std::uint32_t addr = place(receive, packed, g);
      if (host_of(addr) == 0) {
        g.unlock();
        spawn_here(addr, receive, packed, std::move(sockets));
      }
      return addr;
    }
    std::uint64_t id = next_call_++;
    spawns_[id] = 0;
    ++sent_[0];
    Wire::Writer w(Op::SPAWN_REQ, link_->run(), link_->self());
    w.u64(id).u32(receive).bytes(packed);
    g.unlock();
    link_->publish(0, w.str());
    g.lock();
    reply_cv_.wait(g, [&] { return spawns_[id] != 0; });
    std::uint32_t addr = spawns_[id];
    spawns_.erase(id);
    return addr;
  }

  // A work message from another node (on the cluster's delivery thread).
  void receive(Wire::Reader& r) {
    std::unique_lock<std::mutex> g(lock_);
    if (r.from >= received_.size()) return;
    ++received_[r.from];
    switch (r.kind) {
      case Op::SPAWN: {
        std::uint32_t addr = r.u32(), receive = r.u32();
        std::string_view packed = r.bytes();
        if (r.bad) return;
        g.unlock();
        spawn_here(addr, receive, packed, node_sockets());
        return;
      }
      case Op::SPAWN_REQ: {
        std::uint64_t id = r.u64();
        std::uint32_t receive = r.u32();
        std::string packed(r.bytes());
        if (r.bad) return;
        std::uint32_t addr = place(receive, packed, g);
        std::uint32_t from = r.from;
        ++sent_[from];
        g.unlock();
        if (host_of(addr) == 0) spawn_here(addr, receive, packed, node_sockets());
        Wire::Writer w(Op::SPAWNED, link_->run(), 0);
        w.u64(id).u32(addr);
        link_->publish(from, w.str());
        return;
      }
      case Op::SPAWNED: {
        std::uint64_t id = r.u64();
        std::uint32_t addr = r.u32();
        auto it = spawns_.find(id);
        if (it != spawns_.end()) it->second = addr;
        reply_cv_.notify_all();
        return;
      }
      case Op::MSG:
      case Op::CALL: {
        Message m;
        std::uint32_t addr = r.u32();
        if (r.kind == Op::CALL) {
          m.call_id = r.u64();
          m.reply_node = r.from;
          std::uint32_t n = r.u32();
          for (std::uint32_t i = 0; i < n && !r.bad; ++i) m.path.push_back(r.u32());
        }
        m.bytes = std::string(r.bytes());
        if (r.bad) return;
        Actor* to = local(addr);
        if (to != nullptr) {
          enqueue(to, std::move(m));
          return;
        }
        std::string why = std::to_string(addr) + " is not an actor address";
        if (m.call_id != 0) {
          Outcome o{true, no_such_actor, 0, "call: " + why};
          publish_reply(g, m, o, "");
        } else {
          publish_out(g, "", "vkvm: send: " + why + "\n");
        }
        return;
      }
      case Op::REPLY: {
        std::uint64_t id = r.u64();
        Outcome o;
        o.code = static_cast<std::int64_t>(r.u64());
        o.failed = o.code != 0;
        o.value = r.u64();
        o.error = std::string(r.bytes());
        std::string name(r.bytes());
        auto it = calls_.find(id);
        if (r.bad || it == calls_.end()) return;
        it->second.reply->name = name;
        complete(*it->second.reply, std::move(o));
        return;
      }
      case Op::OUT: {
        int stream = r.u8();
        std::string_view text = r.bytes();
        if (!r.bad) write_all(stream == 2 ? 2 : 1, text);
        return;
      }
      default:
        return;
    }
  }

  NodeCounts counts() {
    std::unique_lock<std::mutex> g(lock_);
    return NodeCounts{active_ == 0 && spawns_.empty(), sent_, received_};
  }

  void lost(std::uint32_t node) {
    std::unique_lock<std::mutex> g(lock_);
    for (auto& [id, c] : calls_) {
      if (c.node == node && !c.reply->done) complete(*c.reply, lost_outcome(c.addr));
    }
  }

 private:
  // Waits for a reply; a worker's place among the waiting ones was taken
  // by make_room.
  void wait_reply(std::unique_lock<std::mutex>& g, Reply& reply, bool blocking_worker) {
    reply.cv.wait(g, [&] { return reply.done; });
    if (blocking_worker) --waiting_workers_;
  }

 public:

  // Main has returned: waits for every actor to become idle, then stops the
  // workers.
  void finish() {
    std::unique_lock<std::mutex> g(lock_);
    idle_cv_.wait(g, [&] { return active_ == 0; });
    if (link_ != nullptr && link_->self() == 0) {
      // The driver: every node idle, no message in flight.
      g.unlock();
      link_->wait_quiet(*this);
      g.lock();
    }
    stopping_ = true;
    work_cv_.notify_all();
    g.unlock();
    for (std::thread& t : workers_) t.join();
    workers_.clear();
    // Each actor's machine frees its state and whatever it still holds.
    for (auto& a : actors_) {
      if (a == nullptr) continue;
      a->machine->heap.drop(a->state);
      a->state = 0;
      a->machine.reset();
    }
  }

 private:
  // A worker about to wait makes sure another worker is free, and counts
  // itself as waiting at once (the lock may be released before it waits).
  void make_room() {
    if (waiting_workers_ + 1 >= workers_.size()) {
      if (workers_.size() >= max_workers) {
        raise(ErrorCode::STACK_OVERFLOW, "call: more than " + std::to_string(max_workers) +
                                             " actors wait for replies at once — the calls nest too deeply");
      }
      workers_.emplace_back([this] { work(); });
    }
    ++waiting_workers_;
  }

  // The node hosting an address: spawns go round the first placement()
  // nodes in address order, so every node knows where an address lives.
  std::uint32_t host_of(std::uint32_t addr) const {
    if (link_ == nullptr) return 0;
    return (addr - 1) % link_->placement();
  }

  Actor* local(std::uint32_t addr) const { return addr - 1 < actors_.size() ? actors_[addr - 1].get() : nullptr; }

  void enqueue(Actor* to, Message m) {
    to->mailbox.push_back(std::move(m));
    if (!to->scheduled) {
      to->scheduled = true;
      ++active_;
      ready_.push_back(to);
      work_cv_.notify_one();
    }
  }

  // The driver takes the next address whose node is alive and sends the
  // spawn there (the caller makes actors of its own node).
  std::uint32_t place(std::uint32_t receive, const std::string& packed, std::unique_lock<std::mutex>& g) {
    std::uint32_t addr = next_addr_++;
    for (std::uint32_t tries = 0; !link_->alive(host_of(addr)) && tries < link_->placement(); ++tries) addr = next_addr_++;
    std::uint32_t node = host_of(addr);
    if (node != 0) {
      ++sent_[node];
      Wire::Writer w(Op::SPAWN, link_->run(), 0);
      w.u32(addr).u32(receive).bytes(packed);
      g.unlock();
      link_->publish(node, w.str());
      g.lock();
    }
    return addr;
  }

  static void complete(Reply& reply, Outcome o) {
    reply.outcome = std::move(o);
    reply.done = true;
    reply.cv.notify_one();
  }

  static Outcome lost_outcome(std::uint32_t addr) {
    return Outcome{true, static_cast<std::int64_t>(LibError::ACTOR), 0,
                   "call: actor " + std::to_string(addr) + " failed to reply: its node was lost"};
  }

  // Called with the lock held; publishes without it.
  void publish_reply(std::unique_lock<std::mutex>& g, const Message& m, const Outcome& o, const std::string& name) {
    ++sent_[m.reply_node];
    Wire::Writer w(Op::REPLY, link_->run(), link_->self());
    w.u64(m.call_id).u64(o.failed ? static_cast<std::uint64_t>(o.code == 0 ? -1 : o.code) : 0);
    w.u64(static_cast<std::uint64_t>(o.value)).bytes(o.error).bytes(name);
    g.unlock();
    link_->publish(m.reply_node, w.str());
    g.lock();
  }

  // What an actor of a serving node printed goes to the driver.
  void publish_out(std::unique_lock<std::mutex>& g, const std::string& out, const std::string& err) {
    for (int stream = 1; stream <= 2; ++stream) {
      const std::string& text = stream == 1 ? out : err;
      if (text.empty()) continue;
      if (link_->self() == 0) {
        write_all(stream, text);
        continue;
      }
      ++sent_[0];
      Wire::Writer w(Op::OUT, link_->run(), link_->self());
      w.u8(static_cast<std::uint8_t>(stream)).bytes(text);
      g.unlock();
      link_->publish(0, w.str());
      g.lock();
    }
  }

  static void write_all(int fd, std::string_view s) {
    while (!s.empty()) {
      ssize_t n = ::write(fd, s.data(), s.size());
      if (n <= 0) return;
      s.remove_prefix(static_cast<std::size_t>(n));
    }
  }

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
    a->path = std::move(m.path);
    deliver(a, m, result);
    g.lock();
    a->path.clear();
    if (a->captured) {
      std::string out = std::move(a->out_text), err = std::move(a->err_text);
      a->out_text.clear();
      a->err_text.clear();
      publish_out(g, out, err);
    }
    if (m.reply != nullptr) {
      complete(*m.reply, std::move(result));
    } else if (m.call_id != 0) {
      publish_reply(g, m, result, a->name);
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
  ClusterLink* link_;  // nullptr for a program alone on this machine
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
  // In a cluster: work messages sent to and received from each node, the
  // next address (on the driver), calls and spawns waiting for a node.
  std::vector<std::uint64_t> sent_, received_;
  std::uint32_t next_addr_ = 1;
  std::uint64_t next_call_ = 1;
  std::unordered_map<std::uint64_t, PendingCall> calls_;
  std::unordered_map<std::uint64_t, std::uint32_t> spawns_;
  std::condition_variable reply_cv_;  // spawns wait for their address
  std::shared_ptr<SocketSet> sockets_;
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
  std::string packed;
  pack_value(vm, state, packed);
  std::shared_ptr<SocketSet> sockets = socket_set(library_state(vm));
  if (sys.clustered()) return from_int(sys.spawn_anywhere(static_cast<std::uint32_t>(receive), packed, sockets));
  return from_int(sys.spawn_here(0, static_cast<std::uint32_t>(receive), packed, sockets)->id);
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
  Target to = sys.find(c.args[0], "send");
  if (to.local != nullptr) sys.post(to.local, std::move(m));
  else sys.send_remote(vm, to, m.bytes);
  return 0;
}

// builtin 88: call(address, message); takes the message and waits for the
// value receive returns. A receive that fails makes the call fail.
Value b_call(Machine& vm, const Call& c) {
  ActorSystem& sys = system_of(vm);
  Message m = pack_message(vm, c.args[1]);  // taken even when the address is bad
  Target to = sys.find(c.args[0], "call");
  vm.out.flush();  // what main printed before the call comes first
  Reply reply;
  if (to.local != nullptr) {
    sys.call(library_state(vm).self, to.local, std::move(m), reply);
    reply.name = to.local->name;
  } else {
    sys.call_remote(library_state(vm).self, to, std::move(m.bytes), reply);
  }
  if (reply.outcome.failed) {
    if (reply.outcome.code == no_such_actor) raise(ErrorCode::BAD_ARGUMENT, std::move(reply.outcome.error));
    if (reply.name.empty()) reply.name = "actor " + std::to_string(to.addr);  // its node was lost
    // A failure passed up a chain of calls keeps the innermost reason once.
    if (reply.outcome.code == static_cast<std::int64_t>(LibError::ACTOR)) {
      raise_lib(LibError::ACTOR, std::move(reply.outcome.error));
    }
    raise_lib(LibError::ACTOR, "call: `" + reply.name + "` failed to reply: " + reply.outcome.error);
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

std::shared_ptr<ActorSystem> make_cluster_system(Program& program, ClusterLink& link) {
  return std::make_shared<ActorSystem>(program, &link);
}
void cluster_receive(ActorSystem& system, Wire::Reader& message) { system.receive(message); }
NodeCounts cluster_counts(ActorSystem& system) { return system.counts(); }
void cluster_lost(ActorSystem& system, std::uint32_t node) { system.lost(node); }
void cluster_end(ActorSystem& system) { system.finish(); }

void register_actor_builtins(BuiltinTable& t) {
  t.add(unsigned(Bytecode::Builtin::SPAWN), b_spawn, -1, "spawn");
  t.add(unsigned(Bytecode::Builtin::SEND), b_send, 2, "send");
  t.add(unsigned(Bytecode::Builtin::CALL), b_call, 2, "call");
}

}  // namespace Vm
