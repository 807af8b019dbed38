// net: an echo server driven through the library builtins and a client
// thread, on an ephemeral TCP port and on a Unix socket; the deadline
// variants; handles the program never opened; system errors.
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "vmlib_fixture.hpp"

namespace {

using namespace VmLibTest;

constexpr unsigned listen_id = 51, accept_id = 52, read_id = 53, write_id = 54, close_id = 55, read_dl_id = 91,
                   accept_dl_id = 92, write_dl_id = 93, listen_unix_id = 94, peer_id = 95;

// A blocking client: sends `msg`, then reads until the server closes.
std::string client(int fd, const std::string& msg) {
  std::string got;
  if (::send(fd, msg.data(), msg.size(), 0) != static_cast<ssize_t>(msg.size())) return "send failed";
  ::shutdown(fd, SHUT_WR);
  char buf[256];
  for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) got.append(buf, static_cast<std::size_t>(n));
  ::close(fd);
  return got;
}

// The server side: accept one connection, echo what it sends until it
// closes its end, close.
void echo_once(Prog& p, Value listener) {
  Value conn = p.call(accept_id, {listener});
  for (;;) {
    Value t = p.call(read_id, {conn, I(4)});  // small reads: several rounds
    bool done = Vm::as_str(t)->len == 0;
    if (!done) p.call(write_id, {conn, t});
    p.vm->heap.drop(t);
    if (done) break;
  }
  p.call(close_id, {conn});
}

TEST(VmLibNet, EchoOverAnEphemeralTcpPort) {
  Prog p;
  p.start();
  Value host = p.text("127.0.0.1");
  Value listener = p.call(listen_id, {host, I(0)});
  p.vm->heap.drop(host);
  Value addr = p.call(peer_id, {listener});
  std::string where = Prog::str(addr);
  p.vm->heap.drop(addr);
  ASSERT_EQ(where.rfind("127.0.0.1:", 0), 0u) << where;
  int port = std::stoi(where.substr(10));
  ASSERT_GT(port, 0);

  std::string reply;
  std::thread c([&] {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    reply = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? client(fd, "hello, echo") : "no connect";
  });
  echo_once(p, listener);
  c.join();
  EXPECT_EQ(reply, "hello, echo");

  // Nobody connects: the deadline passes and gives nil.
  EXPECT_EQ(p.call(accept_dl_id, {listener, I(30)}), I(Vm::nil_int));

  // A connection with nothing to read: read_dl gives nil; write_dl writes.
  std::string second;
  std::thread c2([&] {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return;
    char buf[64];
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    second.assign(buf, static_cast<std::size_t>(n > 0 ? n : 0));
    ::close(fd);
  });
  Value conn = p.call(accept_dl_id, {listener, I(5000)});
  ASSERT_NE(conn, I(Vm::nil_int));
  Value peer = p.call(peer_id, {conn});
  EXPECT_EQ(Prog::str(peer).rfind("127.0.0.1:", 0), 0u);
  p.vm->heap.drop(peer);
  EXPECT_EQ(p.call(read_dl_id, {conn, I(10), I(20)}), 0u);
  Value hi = p.text("hi");
  EXPECT_EQ(p.call(write_dl_id, {conn, hi, I(1000)}), 1u);
  p.vm->heap.drop(hi);
  p.call(close_id, {conn});
  c2.join();
  EXPECT_EQ(second, "hi");

  // A closed handle, and a descriptor the program never opened, are refused.
  std::string msg;
  EXPECT_EQ(p.error_of(read_id, {conn, I(10)}, &msg), 131);
  EXPECT_EQ(msg, "net.read: " + std::to_string(Vm::as_int(conn)) + " is not an open connection");
  Value text = p.text("x");
  EXPECT_EQ(p.error_of(write_id, {I(1), text}), 131);
  p.vm->heap.drop(text);
  // The port is taken: the system's own words.
  Value h = p.text("127.0.0.1");
  EXPECT_EQ(p.error_of(listen_id, {h, I(port)}, &msg), 130);
  EXPECT_EQ(msg, "net.listen: Address already in use");
  EXPECT_EQ(p.error_of(listen_id, {h, I(70000)}), 9);
  p.vm->heap.drop(h);
  p.call(close_id, {listener});
}

TEST(VmLibNet, EchoOverAUnixSocket) {
  Prog p;
  p.start();
  std::string path = "/tmp/vmlib-net-" + std::to_string(::getpid()) + ".sock";
  Value pt = p.text(path);
  Value first = p.call(listen_unix_id, {pt});
  // A second listener on the same path replaces the socket file left behind.
  Value listener = p.call(listen_unix_id, {pt});
  p.call(close_id, {first});
  p.vm->heap.drop(pt);
  Value me = p.call(peer_id, {listener});
  EXPECT_EQ(Prog::str(me), "unix:" + path);
  p.vm->heap.drop(me);
  std::string reply;
  std::thread c([&] {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
    reply = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? client(fd, "over unix") : "no connect";
  });
  echo_once(p, listener);
  c.join();
  EXPECT_EQ(reply, "over unix");
  p.call(close_id, {listener});
  ::unlink(path.c_str());
}

}  // namespace
