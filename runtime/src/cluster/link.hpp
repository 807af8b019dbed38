// What the actor system of one node needs of the cluster it runs in, and
// what the cluster asks of the actor system. Node 0 is the driver (the node
// that runs `main`); the others serve actors only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Vm {

struct Program;
class ActorSystem;

namespace Wire {
class Reader;
}

class ClusterLink {
 public:
  virtual ~ClusterLink() = default;
  virtual std::uint32_t self() const = 0;
  virtual std::uint32_t nodes() const = 0;
  // Spawns spread over nodes 0 .. placement()-1 (1: every actor on the driver).
  virtual std::uint32_t placement() const = 0;
  virtual std::uint64_t run() const = 0;
  virtual bool alive(std::uint32_t node) const = 0;
  // Sends an encoded message to a node; order from one thread is kept.
  virtual void publish(std::uint32_t node, const std::string& bytes) = 0;
  // On the driver, once main has returned and its own actors are idle:
  // returns when every node is idle and no message is in flight.
  virtual void wait_quiet(ActorSystem& system) = 0;
};

// Counters of one node for the termination detection: work messages sent
// to and received from each node, and whether every actor here is idle.
struct NodeCounts {
  bool idle = true;
  std::vector<std::uint64_t> sent, received;
};

// The actor system of a node in a cluster (actors.cpp).
std::shared_ptr<ActorSystem> make_cluster_system(Program& program, ClusterLink& link);
// A work message for this node (called on the cluster's delivery thread).
void cluster_receive(ActorSystem& system, Wire::Reader& message);
NodeCounts cluster_counts(ActorSystem& system);
// Every call waiting on an actor of a lost node fails.
void cluster_lost(ActorSystem& system, std::uint32_t node);
// The end of a run on a serving node: stops the workers, frees the actors.
void cluster_end(ActorSystem& system);

}  // namespace Vm
