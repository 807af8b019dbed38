// A node of a cluster: one NATS connection, one inbox subject per process
// (`vkvm.<random hex>`), a heartbeat thread, and the driver's side of the
// run: discovery, start, termination rounds and end.
//
// Every message to a node goes to its inbox, so what one process publishes
// to another arrives in the order published. Work messages (actor spawns,
// messages, calls, replies, output) are counted per pair of nodes; once
// main has returned, the driver asks every node for its counts until two
// rounds in a row find every node idle, every count sent equal to the
// count received, and nothing changed between the rounds. Heartbeats only
// notice nodes that died; they never decide when a run ends.
#include "cluster/cluster.hpp"

#include <nats/nats.h>
#include <openssl/sha.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <thread>

#include "cluster/link.hpp"
#include "cluster/wire.hpp"
#include "lib/state.hpp"
#include "machine.hpp"
#include "program.hpp"

namespace Vm {

namespace {

using Clock = std::chrono::steady_clock;
using Wire::Kind;

constexpr const char* discover_subject = "vkvm.discover";

std::string hex(const unsigned char* p, std::size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (std::size_t i = 0; i < n; ++i) {
    s.push_back(digits[p[i] >> 4]);
    s.push_back(digits[p[i] & 15]);
  }
  return s;
}

std::string digest_of(const std::string& image) {
  unsigned char d[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(image.data()), image.size(), d);
  return hex(d, sizeof d);
}

std::uint64_t random_u64() {
  std::random_device rd;
  return static_cast<std::uint64_t>(rd()) << 32 ^ rd();
}

int env_int(const char* name, int fallback) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' ? std::atoi(v) : fallback;
}

void say(const std::string& line) {
  std::string s = "vkvm: " + line + "\n";
  std::fflush(stdout);
  if (::write(2, s.data(), s.size()) < 0) return;
}

class Node final : public ClusterLink {
 public:
  Node(Program& program, const std::string& image, const ClusterOptions& o)
      : program_(program), options_(o), digest_(digest_of(image)),
        inbox_("vkvm." + hex(reinterpret_cast<const unsigned char*>(&id_), sizeof id_)),
        timeout_(std::chrono::milliseconds(env_int("VKVM_CLUSTER_TIMEOUT_MS", 3000))) {}

  ~Node() override {
    stop_beats();
    closing_ = true;
    if (inbox_sub_ != nullptr) natsSubscription_Destroy(inbox_sub_);
    if (discover_sub_ != nullptr) natsSubscription_Destroy(discover_sub_);
    if (nc_ != nullptr) {
      natsConnection_Close(nc_);
      natsConnection_Destroy(nc_);
    }
    if (opts_ != nullptr) natsOptions_Destroy(opts_);
  }

  // Connects and subscribes; false with a message when it cannot.
  bool connect() {
    natsStatus s = natsOptions_Create(&opts_);
    if (s == NATS_OK) s = natsOptions_SetURL(opts_, options_.url.c_str());
    if (s == NATS_OK) s = natsOptions_SetAllowReconnect(opts_, false);
    if (s == NATS_OK) s = natsOptions_SetClosedCB(opts_, on_closed, this);
    // A call waits for its reply: every publish goes out at once instead of
    // waiting for the library's flusher.
    if (s == NATS_OK) s = natsOptions_SetSendAsap(opts_, true);
    if (s == NATS_OK) s = natsOptions_SetName(opts_, options_.serve ? "vkvm node" : "vkvm driver");
    if (s == NATS_OK && options_.url.rfind("tls://", 0) == 0) s = natsOptions_SetSecure(opts_, true);
    if (const char* ca = std::getenv("VKVM_NATS_CA"); s == NATS_OK && ca != nullptr) {
      s = natsOptions_LoadCATrustedCertificates(opts_, ca);
    }
    if (const char* creds = std::getenv("VKVM_NATS_CREDS"); s == NATS_OK && creds != nullptr) {
      s = natsOptions_SetUserCredentialsFromFiles(opts_, creds, nullptr);
    }
    if (s == NATS_OK) s = natsConnection_Connect(&nc_, opts_);
    if (s == NATS_OK) s = natsConnection_Subscribe(&inbox_sub_, nc_, inbox_.c_str(), on_message, this);
    // A slow node must never lose a message: no pending limits.
    if (s == NATS_OK) s = natsSubscription_SetPendingLimits(inbox_sub_, -1, -1);
    if (s == NATS_OK && options_.serve) {
      s = natsConnection_Subscribe(&discover_sub_, nc_, discover_subject, on_message, this);
    }
    if (s == NATS_OK) s = natsConnection_Flush(nc_);
    if (s != NATS_OK) {
      say("cannot join the cluster at " + options_.url + ": " + natsStatus_GetText(s));
      return false;
    }
    return true;
  }

  int drive(const std::vector<std::string>& args) {
    if (!gather()) return 1;
    {
      std::unique_lock<std::mutex> g(m_);
      run_ = random_u64() | 1;
      self_ = 0;
      alive_.assign(inboxes_.size(), true);
      seen_.assign(inboxes_.size(), Clock::now());
      const char* p = std::getenv("VKVM_PLACEMENT");
      placement_ = p != nullptr && std::string(p) == "local" ? 1 : static_cast<std::uint32_t>(inboxes_.size());
      system_ = make_cluster_system(program_, *this);
    }
    for (std::uint32_t i = 1; i < inboxes_.size(); ++i) {
      Wire::Writer w(Kind::START, run_, 0);
      w.u32(i).u32(placement_).u32(static_cast<std::uint32_t>(inboxes_.size()));
      for (const std::string& s : inboxes_) w.bytes(s);
      publish(i, w.str());
    }
    start_beats();
    int status;
    {
      Machine machine(program_);
      library_state(machine).actors = system_;
      status = machine.run(args);
    }  // the machine's end waits until every node is quiet
    for (std::uint32_t i = 1; i < inboxes_.size(); ++i) {
      if (alive(i)) publish(i, Wire::Writer(Kind::END, run_, 0).str());
    }
    natsConnection_FlushTimeout(nc_, 2000);
    stop_beats();
    system_.reset();
    return status;
  }

  int serve() {
    say("serving " + options_.file + " (image " + digest_.substr(0, 16) + ") at " + options_.url);
    for (;;) {
      std::shared_ptr<ActorSystem> sys;
      {
        std::unique_lock<std::mutex> g(m_);
        cv_.wait(g, [&] { return started_ || refused_; });
        if (refused_) {
          refused_ = false;
          if (options_.once) return 2;
          continue;
        }
      }
      start_beats();
      {
        std::unique_lock<std::mutex> g(m_);
        cv_.wait(g, [&] { return ended_; });
        sys = system_;
      }
      cluster_end(*sys);
      stop_beats();
      {
        std::unique_lock<std::mutex> g(m_);
        system_.reset();
        started_ = ended_ = false;
        run_ = 0;
      }
      sys.reset();
      if (options_.once) return 0;
    }
  }

  // ClusterLink
  std::uint32_t self() const override { return self_; }
  std::uint32_t nodes() const override { return static_cast<std::uint32_t>(inboxes_.size()); }
  std::uint32_t placement() const override { return placement_; }
  std::uint64_t run() const override { return run_; }
  bool alive(std::uint32_t node) const override {
    std::unique_lock<std::mutex> g(m_);
    return node < alive_.size() && alive_[node];
  }
  void publish(std::uint32_t node, const std::string& bytes) override {
    natsStatus s = natsConnection_Publish(nc_, inboxes_[node].c_str(), bytes.data(), static_cast<int>(bytes.size()));
    // A message the server refuses is counted as sent but never arrives, so
    // the run could neither deliver it nor end: stop with the reason.
    if (s == NATS_MAX_PAYLOAD) {
      say("cannot send a message of " + std::to_string(bytes.size()) + " bytes to node " + std::to_string(node) +
          ": it is larger than the server's limit of " + std::to_string(natsConnection_GetMaxPayload(nc_)) +
          " bytes");
      std::_Exit(1);
    }
  }

  void wait_quiet(ActorSystem& sys) override {
    std::vector<NodeCounts> previous;
    for (int pause = 1;; pause = std::min(pause * 2, 50)) {
      std::unique_lock<std::mutex> g(m_);
      ++round_;
      states_.assign(inboxes_.size(), std::nullopt);
      g.unlock();
      for (std::uint32_t i = 1; i < inboxes_.size(); ++i) {
        if (alive(i)) {
          Wire::Writer w(Kind::PROBE, run_, 0);
          w.u64(round_);
          publish(i, w.str());
        }
      }
      g.lock();
      cv_.wait(g, [&] {
        for (std::size_t i = 1; i < states_.size(); ++i) {
          if (alive_[i] && !states_[i]) return false;
        }
        return true;
      });
      g.unlock();
      std::vector<NodeCounts> now(inboxes_.size());
      now[0] = cluster_counts(sys);
      g.lock();
      for (std::size_t i = 1; i < now.size(); ++i) {
        if (states_[i]) now[i] = *states_[i];
      }
      if (quiet(now) && same(now, previous)) return;
      previous = std::move(now);
      g.unlock();
      std::this_thread::sleep_for(std::chrono::milliseconds(pause));
    }
  }

 private:
  struct Hello {
    std::string inbox, digest;
  };

  // The driver: asks who serves, waits for them, refuses other images.
  bool gather() {
    Wire::Writer w(Kind::DISCOVER, 0, 0);
    w.bytes(inbox_).bytes(digest_);
    natsConnection_Publish(nc_, discover_subject, w.str().data(), static_cast<int>(w.str().size()));
    natsConnection_Flush(nc_);
    inboxes_.assign(1, inbox_);
    auto wait_for = std::chrono::milliseconds(options_.nodes > 0 ? env_int("VKVM_CLUSTER_JOIN_MS", 10000)
                                                                  : env_int("VKVM_CLUSTER_WAIT_MS", 300));
    auto until = Clock::now() + wait_for;
    std::unique_lock<std::mutex> g(m_);
    std::size_t seen = 0;
    for (;;) {
      for (; seen < hellos_.size(); ++seen) {
        const Hello& h = hellos_[seen];
        if (h.digest != digest_) {
          say("a node at " + options_.url + " runs a different image (" + h.digest.substr(0, 16) + ", this one is " +
              digest_.substr(0, 16) + "); it is left out");
          Wire::Writer r(Kind::REFUSE, 0, 0);
          r.bytes("the driver runs a different image (" + digest_.substr(0, 16) + ", this node has " +
                  h.digest.substr(0, 16) + ")");
          natsConnection_Publish(nc_, h.inbox.c_str(), r.str().data(), static_cast<int>(r.str().size()));
        } else if (options_.nodes == 0 || static_cast<int>(inboxes_.size()) <= options_.nodes) {
          inboxes_.push_back(h.inbox);
        }
      }
      if (options_.nodes > 0 && static_cast<int>(inboxes_.size()) > options_.nodes) return true;
      if (cv_.wait_until(g, until) == std::cv_status::timeout && seen == hellos_.size()) break;
    }
    if (options_.nodes > 0) {
      say("only " + std::to_string(inboxes_.size() - 1) + " of " + std::to_string(options_.nodes) +
          " nodes joined the cluster at " + options_.url);
      return false;
    }
    return true;
  }

  bool quiet(const std::vector<NodeCounts>& c) const {
    for (std::size_t i = 0; i < c.size(); ++i) {
      if (!alive_[i]) continue;
      if (!c[i].idle || c[i].sent.size() != c.size() || c[i].received.size() != c.size()) return false;
      for (std::size_t j = 0; j < c.size(); ++j) {
        if (alive_[j] && c[i].sent[j] != c[j].received[i]) return false;
      }
    }
    return true;
  }

  bool same(const std::vector<NodeCounts>& a, const std::vector<NodeCounts>& b) const {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (alive_[i] && (a[i].sent != b[i].sent || a[i].received != b[i].received)) return false;
    }
    return true;
  }

  static void on_message(natsConnection*, natsSubscription*, natsMsg* msg, void* closure) {
    std::string data(natsMsg_GetData(msg), static_cast<std::size_t>(natsMsg_GetDataLength(msg)));
    natsMsg_Destroy(msg);
    static_cast<Node*>(closure)->handle(data);
  }

  void handle(const std::string& data) {
    Wire::Reader r(data);
    if (r.bad) return;
    std::unique_lock<std::mutex> g(m_);
    if (static_cast<int>(r.kind) < static_cast<int>(Kind::DISCOVER)) {
      if (r.run != run_ || run_ == 0 || !system_) return;
      if (r.from < seen_.size()) seen_[r.from] = Clock::now();
      std::shared_ptr<ActorSystem> sys = system_;
      g.unlock();
      cluster_receive(*sys, r);
      return;
    }
    switch (r.kind) {
      case Kind::DISCOVER: {
        std::string driver(r.bytes());
        if (r.bad || run_ != 0) return;  // busy in a run
        Wire::Writer w(Kind::HELLO, 0, 0);
        w.bytes(inbox_).bytes(digest_);
        natsConnection_Publish(nc_, driver.c_str(), w.str().data(), static_cast<int>(w.str().size()));
        return;
      }
      case Kind::HELLO: {
        Hello h{std::string(r.bytes()), std::string(r.bytes())};
        if (!r.bad && run_ == 0) hellos_.push_back(std::move(h));
        cv_.notify_all();
        return;
      }
      case Kind::REFUSE: {
        std::string why(r.bytes());
        say("refused by the driver: " + why);
        refused_ = true;
        cv_.notify_all();
        return;
      }
      case Kind::START: {
        if (run_ != 0) return;
        self_ = r.u32();
        placement_ = r.u32();
        std::uint32_t n = r.u32();
        std::vector<std::string> inboxes;
        for (std::uint32_t i = 0; i < n && !r.bad; ++i) inboxes.emplace_back(r.bytes());
        if (r.bad || self_ == 0 || self_ >= n || placement_ == 0) return;
        inboxes_ = std::move(inboxes);
        run_ = r.run;
        alive_.assign(n, true);
        seen_.assign(n, Clock::now());
        system_ = make_cluster_system(program_, *this);
        started_ = true;
        cv_.notify_all();
        return;
      }
      case Kind::PROBE: {
        std::uint64_t round = r.u64();
        if (r.run != run_ || !system_) return;
        std::shared_ptr<ActorSystem> sys = system_;
        g.unlock();
        NodeCounts c = cluster_counts(*sys);
        Wire::Writer w(Kind::STATE, run_, self_);
        w.u64(round).u8(c.idle ? 1 : 0).u64s(c.sent).u64s(c.received);
        publish(0, w.str());
        return;
      }
      case Kind::STATE: {
        std::uint64_t round = r.u64();
        NodeCounts c;
        c.idle = r.u8() != 0;
        c.sent = r.u64s();
        c.received = r.u64s();
        if (r.bad || r.run != run_ || round != round_ || r.from >= states_.size()) return;
        seen_[r.from] = Clock::now();
        states_[r.from] = std::move(c);
        cv_.notify_all();
        return;
      }
      case Kind::END:
        if (r.run != run_) return;
        ended_ = true;
        cv_.notify_all();
        return;
      case Kind::BEAT:
        if (r.run == run_ && r.from < seen_.size()) seen_[r.from] = Clock::now();
        return;
      case Kind::LOST: {
        std::uint32_t node = r.u32();
        if (r.bad || r.run != run_ || node >= alive_.size() || !alive_[node]) return;
        alive_[node] = false;
        std::shared_ptr<ActorSystem> sys = system_;
        g.unlock();
        if (sys) cluster_lost(*sys, node);
        return;
      }
      default:
        return;
    }
  }

  // Heartbeats both ways; the driver declares a silent node lost, a node
  // whose driver went silent leaves the run.
  void start_beats() {
    beating_ = true;
    beats_ = std::thread([this] {
      std::unique_lock<std::mutex> g(m_);
      while (beating_) {
        std::vector<std::uint32_t> lost;
        auto now = Clock::now();
        for (std::uint32_t i = 0; i < alive_.size(); ++i) {
          if (i == self_ || !alive_[i] || (self_ != 0 && i != 0)) continue;
          if (now - seen_[i] > timeout_) lost.push_back(i);
        }
        g.unlock();
        if (self_ != 0) {
          if (!lost.empty()) {
            say("lost the driver of the run (no word for " + std::to_string(timeout_.count()) + " ms)");
            std::_Exit(1);
          }
          publish(0, Wire::Writer(Kind::BEAT, run_, self_).str());
        } else {
          for (std::uint32_t n : lost) declare_lost(n);
          for (std::uint32_t i = 1; i < inboxes_.size(); ++i) {
            if (alive(i)) publish(i, Wire::Writer(Kind::BEAT, run_, 0).str());
          }
        }
        g.lock();
        beat_cv_.wait_for(g, std::chrono::milliseconds(200), [&] { return !beating_; });
      }
    });
  }

  void stop_beats() {
    {
      std::unique_lock<std::mutex> g(m_);
      beating_ = false;
      beat_cv_.notify_all();
    }
    if (beats_.joinable()) beats_.join();
  }

  void declare_lost(std::uint32_t node) {
    std::shared_ptr<ActorSystem> sys;
    {
      std::unique_lock<std::mutex> g(m_);
      if (!alive_[node]) return;
      alive_[node] = false;
      sys = system_;
      cv_.notify_all();
    }
    say("lost node " + std::to_string(node) + " of the run (no word for " + std::to_string(timeout_.count()) +
        " ms); calls to its actors fail");
    Wire::Writer w(Kind::LOST, run_, 0);
    w.u32(node);
    for (std::uint32_t i = 1; i < inboxes_.size(); ++i) {
      if (alive(i)) publish(i, w.str());
    }
    if (sys) cluster_lost(*sys, node);
  }

  static void on_closed(natsConnection* nc, void* closure) {
    Node* self = static_cast<Node*>(closure);
    if (self->closing_) return;
    const char* text = nullptr;
    natsStatus s = natsConnection_GetLastError(nc, &text);
    std::string reason = text != nullptr && *text != '\0' ? text
                         : s != NATS_OK                   ? natsStatus_GetText(s)
                                                          : "the connection to the server closed";
    say("lost the cluster: " + reason);
    std::_Exit(1);
  }

  Program& program_;
  ClusterOptions options_;
  std::uint64_t id_ = random_u64();
  std::string digest_;
  std::string inbox_;
  std::chrono::milliseconds timeout_;
  natsOptions* opts_ = nullptr;
  natsConnection* nc_ = nullptr;
  natsSubscription* inbox_sub_ = nullptr;
  natsSubscription* discover_sub_ = nullptr;
  std::atomic<bool> closing_{false};

  mutable std::mutex m_;
  std::condition_variable cv_;
  std::condition_variable beat_cv_;
  std::thread beats_;
  bool beating_ = false;
  // The run.
  std::uint64_t run_ = 0;
  std::uint32_t self_ = 0;
  std::uint32_t placement_ = 1;
  std::vector<std::string> inboxes_;
  std::vector<bool> alive_;
  std::vector<Clock::time_point> seen_;
  std::shared_ptr<ActorSystem> system_;
  bool started_ = false, ended_ = false, refused_ = false;
  // The driver's discovery and termination rounds.
  std::vector<Hello> hellos_;
  std::uint64_t round_ = 0;
  std::vector<std::optional<NodeCounts>> states_;
};

}  // namespace

int cluster_main(Program& program, const std::string& image, const ClusterOptions& options,
                 const std::vector<std::string>& args) {
  int status;
  {
    Node node(program, image, options);
    if (!node.connect()) return 1;
    status = options.serve ? node.serve() : node.drive(args);
  }
  nats_Close();
  return status;
}

}  // namespace Vm
