// Running one program on several vkvm processes joined through a NATS
// server: the driver runs `main`, serving nodes host actors.
#pragma once

#include <string>
#include <vector>

namespace Vm {

struct Program;

struct ClusterOptions {
  std::string url;       // nats://[user:password@]host:port, or tls://...
  bool serve = false;    // host actors, run no main
  bool once = false;     // a serving node leaves after one run
  int nodes = 0;         // the driver waits for this many serving nodes
  std::string file;      // the image's name, for messages
};

// Runs the driver or a serving node; returns the exit status.
int cluster_main(Program& program, const std::string& image, const ClusterOptions& options,
                 const std::vector<std::string>& args);

}  // namespace Vm
