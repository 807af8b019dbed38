// The byte layout of the messages nodes of one run exchange: a kind byte,
// the run number and the sender's node number, then the kind's fields
// (little-endian integers, length-prefixed byte strings).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Vm::Wire {

enum class Kind : std::uint8_t {
  // Work: counted by the termination detection.
  SPAWN = 1,      // addr, receive, state bytes (driver to host)
  SPAWN_REQ = 2,  // request id, receive, state bytes (node to driver)
  SPAWNED = 3,    // request id, addr (driver to node)
  MSG = 4,        // addr, message bytes
  CALL = 5,       // addr, call id, path of waiting addresses, message bytes
  REPLY = 6,      // call id, code (0: a value), value, error, actor name
  OUT = 7,        // stream (1 or 2), text (node to driver)
  // Control: not counted.
  DISCOVER = 20,  // digest, driver inbox (to the discovery subject)
  HELLO = 21,     // node inbox, digest (node to driver)
  REFUSE = 22,    // reason (driver to node)
  START = 23,     // node number, placement count, inboxes of every node
  PROBE = 24,     // round
  STATE = 25,     // round, idle, sent per node, received per node
  END = 26,
  BEAT = 27,
  LOST = 28,      // node number
};

class Writer {
 public:
  Writer(Kind kind, std::uint64_t run, std::uint32_t from) {
    s_.push_back(static_cast<char>(kind));
    u64(run);
    u32(from);
  }
  Writer& u8(std::uint8_t v) {
    s_.push_back(static_cast<char>(v));
    return *this;
  }
  Writer& u32(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) s_.push_back(static_cast<char>(v >> (8 * i)));
    return *this;
  }
  Writer& u64(std::uint64_t v) {
    for (int i = 0; i < 8; ++i) s_.push_back(static_cast<char>(v >> (8 * i)));
    return *this;
  }
  Writer& bytes(std::string_view b) {
    u32(static_cast<std::uint32_t>(b.size()));
    s_.append(b);
    return *this;
  }
  Writer& u64s(const std::vector<std::uint64_t>& v) {
    u32(static_cast<std::uint32_t>(v.size()));
    for (std::uint64_t x : v) u64(x);
    return *this;
  }
  std::string& str() { return s_; }

 private:
  std::string s_;
};

// Reads fields in order; a short or malformed message sets `bad` and reads
// zeros from then on (a message from a stranger must not crash a node).
class Reader {
 public:
  explicit Reader(std::string_view s) : s_(s) {
    kind = static_cast<Kind>(u8());
    run = u64();
    from = u32();
  }
  std::uint8_t u8() { return static_cast<std::uint8_t>(take(1)); }
  std::uint32_t u32() { return static_cast<std::uint32_t>(take(4)); }
  std::uint64_t u64() { return take(8); }
  std::string_view bytes() {
    std::uint32_t n = u32();
    if (bad || n > s_.size()) {
      bad = true;
      return {};
    }
    std::string_view b = s_.substr(0, n);
    s_.remove_prefix(n);
    return b;
  }
  std::vector<std::uint64_t> u64s() {
    std::uint32_t n = u32();
    std::vector<std::uint64_t> v;
    if (bad || n > s_.size() / 8) {
      bad = true;
      return v;
    }
    for (std::uint32_t i = 0; i < n; ++i) v.push_back(u64());
    return v;
  }

  Kind kind;
  std::uint64_t run;
  std::uint32_t from;
  bool bad = false;

 private:
  std::uint64_t take(int n) {
    if (bad || s_.size() < static_cast<std::size_t>(n)) {
      bad = true;
      return 0;
    }
    std::uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(s_[static_cast<std::size_t>(i)]);
    s_.remove_prefix(static_cast<std::size_t>(n));
    return v;
  }
  std::string_view s_;
};

}  // namespace Vm::Wire
