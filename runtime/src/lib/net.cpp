// The net module: TCP and Unix stream sockets. Every socket is
// non-blocking; the plain members wait as long as it takes (a stop signal
// ends the wait with an error), the _dl members wait at most the given
// number of milliseconds. A handle is the Int the program got from
// listen, listen_unix or accept; any other Int is refused, so a program
// can never write to a descriptor it did not open through this module.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_set>

#include "lib/state.hpp"

namespace Vm {

struct SocketSet {
  std::mutex lock;
  std::unordered_set<int> open;
  std::unordered_set<int> listeners;
};

std::shared_ptr<SocketSet> socket_set(LibraryState& s) {
  if (!s.sockets) s.sockets = std::make_shared<SocketSet>();
  return s.sockets;
}

void release_sockets(LibraryState& s) {
  if (!s.sockets || s.sockets.use_count() > 1) return;  // an actor still shares it
  for (int fd : s.sockets->open) ::close(fd);
  s.sockets->open.clear();
}

namespace {

[[noreturn]] void net_error(const char* member, int err) {
  raise_lib(LibError::NET, std::string(member) + ": " + std::strerror(err));
}

SocketSet& sockets(Machine& vm) { return *socket_set(library_state(vm)); }

int handle_arg(Machine& vm, Value v, const char* member) {
  std::int64_t h = as_int(v);
  SocketSet& set = sockets(vm);
  std::lock_guard<std::mutex> g(set.lock);
  if (h < 0 || h > 0x7fffffff || set.open.count(static_cast<int>(h)) == 0) {
    raise_lib(LibError::NET_CLOSED, std::string(member) + ": " + std::to_string(h) + " is not an open connection");
  }
  return static_cast<int>(h);
}

void track(Machine& vm, int fd, bool listener) {
  SocketSet& set = sockets(vm);
  std::lock_guard<std::mutex> g(set.lock);
  set.open.insert(fd);
  if (listener) set.listeners.insert(fd);
}

std::int64_t now_ms() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits until fd is ready for `events`; false when `timeout_ms` (< 0: no
// limit) passed first. A stop signal ends an unlimited wait with an error.
bool wait_for(int fd, short events, std::int64_t timeout_ms, const char* member) {
  std::int64_t until = timeout_ms < 0 ? -1 : now_ms() + timeout_ms;
  for (;;) {
    int wait = -1;
    if (until >= 0) {
      std::int64_t left = until - now_ms();
      if (left < 0) left = 0;
      wait = left > 0x7fffffff ? 0x7fffffff : static_cast<int>(left);
    }
    pollfd p{fd, events, 0};
    int n = ::poll(&p, 1, wait);
    if (n > 0) return true;
    if (n == 0) {
      if (until >= 0 && now_ms() >= until) return false;
      continue;
    }
    if (errno != EINTR) net_error(member, errno);
    if (timeout_ms < 0 && stop_requested()) {
      raise_lib(LibError::NET, std::string(member) + ": interrupted — the program is stopping");
    }
  }
}

int listen_on(const sockaddr* addr, socklen_t len, int family, const char* member) {
  int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) net_error(member, errno);
  int one = 1;
  if (family != AF_UNIX) ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(fd, addr, len) != 0 || ::listen(fd, 128) != 0) {
    int err = errno;
    ::close(fd);
    net_error(member, err);
  }
  return fd;
}

// net.listen(host, port): a TCP listener; host "" listens on every
// address, port 0 takes a free port (net.peer of the listener tells which).
Value b_listen(Machine& vm, const Call& c) {
  std::string host(c.args[0] == 0 ? std::string_view{} : str_view(c.args[0]));
  std::int64_t port = as_int(c.args[1]);
  if (port < 0 || port > 65535) raise(ErrorCode::BAD_ARGUMENT, "net.listen: " + std::to_string(port) + " is not a port");
  if (host.find('\0') != std::string::npos) raise(ErrorCode::BAD_ARGUMENT, "net.listen: the host contains a NUL byte");
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  std::string service = std::to_string(port);
  int rc = ::getaddrinfo(host.empty() ? nullptr : host.c_str(), service.c_str(), &hints, &found);
  if (rc != 0) raise_lib(LibError::NET, "net.listen: " + host + ": " + ::gai_strerror(rc));
  int fd = -1;
  int err = 0;
  for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
    try {
      fd = listen_on(a->ai_addr, a->ai_addrlen, a->ai_family, "net.listen");
    } catch (const VmError&) {
      err = errno;
    }
  }
  ::freeaddrinfo(found);
  if (fd < 0) net_error("net.listen", err != 0 ? err : EADDRNOTAVAIL);
  track(vm, fd, true);
  return from_int(fd);
}

Value b_listen_unix(Machine& vm, const Call& c) {
  std::string_view path = text_arg(c.args[0], "net.listen_unix");
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr.sun_path || path.find('\0') != std::string_view::npos) {
    raise(ErrorCode::BAD_ARGUMENT, "net.listen_unix: the path is empty, too long or contains a NUL byte");
  }
  std::memcpy(addr.sun_path, path.data(), path.size());
  // A socket file left by an earlier run is replaced; any other file is not.
  struct stat st {};
  if (::lstat(addr.sun_path, &st) == 0 && S_ISSOCK(st.st_mode)) ::unlink(addr.sun_path);
  int fd = listen_on(reinterpret_cast<sockaddr*>(&addr), sizeof addr, AF_UNIX, "net.listen_unix");
  track(vm, fd, true);
  return from_int(fd);
}

// Accepts one connection; -1 when the deadline passed.
int accept_one(Machine& vm, int lfd, std::int64_t timeout_ms, const char* member) {
  for (;;) {
    int fd = ::accept4(lfd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      track(vm, fd, false);
      return fd;
    }
    if (errno == EINTR || errno == ECONNABORTED) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) net_error(member, errno);
    if (!wait_for(lfd, POLLIN, timeout_ms, member)) return -1;
  }
}

Value b_accept(Machine& vm, const Call& c) {
  return from_int(accept_one(vm, handle_arg(vm, c.args[0], "net.accept"), -1, "net.accept"));
}

Value b_accept_dl(Machine& vm, const Call& c) {
  int fd = accept_one(vm, handle_arg(vm, c.args[0], "net.accept_dl"), std::max<std::int64_t>(0, as_int(c.args[1])),
                      "net.accept_dl");
  return fd < 0 ? from_int(nil_int) : from_int(fd);
}

// Reads what is there, up to `max` bytes ("" at the end of the stream);
// false when the deadline passed first.
bool read_some(int fd, std::int64_t max, std::int64_t timeout_ms, const char* member, std::string& out) {
  if (max <= 0) raise(ErrorCode::BAD_ARGUMENT, std::string(member) + ": the byte count must be positive");
  out.resize(static_cast<std::size_t>(std::min<std::int64_t>(max, 1 << 20)));
  for (;;) {
    ssize_t n = ::recv(fd, out.data(), out.size(), 0);
    if (n >= 0) {
      out.resize(static_cast<std::size_t>(n));
      return true;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) net_error(member, errno);
    if (!wait_for(fd, POLLIN, timeout_ms, member)) return false;
  }
}

Value b_read(Machine& vm, const Call& c) {
  std::string data;
  read_some(handle_arg(vm, c.args[0], "net.read"), as_int(c.args[1]), -1, "net.read", data);
  return new_text(vm, data);
}

Value b_read_dl(Machine& vm, const Call& c) {
  std::string data;
  if (!read_some(handle_arg(vm, c.args[0], "net.read_dl"), as_int(c.args[1]),
                 std::max<std::int64_t>(0, as_int(c.args[2])), "net.read_dl", data)) {
    return 0;
  }
  return new_text(vm, data);
}

// Writes every byte; false when the deadline passed first.
bool write_all(int fd, std::string_view s, std::int64_t timeout_ms, const char* member) {
  std::int64_t until = timeout_ms < 0 ? -1 : now_ms() + timeout_ms;
  while (!s.empty()) {
    ssize_t n = ::send(fd, s.data(), s.size(), MSG_NOSIGNAL);
    if (n > 0) {
      s.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) net_error(member, errno);
    std::int64_t left = until < 0 ? -1 : std::max<std::int64_t>(0, until - now_ms());
    if (!wait_for(fd, POLLOUT, left, member)) return false;
  }
  return true;
}

Value b_write(Machine& vm, const Call& c) {
  int fd = handle_arg(vm, c.args[0], "net.write");
  write_all(fd, text_arg(c.args[1], "net.write"), -1, "net.write");
  return 0;
}

Value b_write_dl(Machine& vm, const Call& c) {
  int fd = handle_arg(vm, c.args[0], "net.write_dl");
  return from_bool(write_all(fd, text_arg(c.args[1], "net.write_dl"), std::max<std::int64_t>(0, as_int(c.args[2])),
                             "net.write_dl"));
}

Value b_close(Machine& vm, const Call& c) {
  int fd = handle_arg(vm, c.args[0], "net.close");
  SocketSet& set = sockets(vm);
  {
    std::lock_guard<std::mutex> g(set.lock);
    set.open.erase(fd);
    set.listeners.erase(fd);
  }
  ::close(fd);
  return 0;
}

std::string address_text(const sockaddr_storage& a, socklen_t len) {
  char host[INET6_ADDRSTRLEN] = "";
  if (a.ss_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(&a);
    ::inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
    return std::string(host) + ":" + std::to_string(ntohs(in->sin_port));
  }
  if (a.ss_family == AF_INET6) {
    const auto* in = reinterpret_cast<const sockaddr_in6*>(&a);
    ::inet_ntop(AF_INET6, &in->sin6_addr, host, sizeof host);
    return "[" + std::string(host) + "]:" + std::to_string(ntohs(in->sin6_port));
  }
  if (a.ss_family == AF_UNIX) {
    const auto* un = reinterpret_cast<const sockaddr_un*>(&a);
    std::size_t n = len > offsetof(sockaddr_un, sun_path) ? len - offsetof(sockaddr_un, sun_path) : 0;
    std::string path(un->sun_path, strnlen(un->sun_path, n));
    return "unix:" + path;
  }
  return "unknown";
}

// The other end of a connection ("127.0.0.1:5000", "[::1]:5000",
// "unix:<path>"); for a listener, its own address.
Value b_peer(Machine& vm, const Call& c) {
  int fd = handle_arg(vm, c.args[0], "net.peer");
  bool listener;
  {
    SocketSet& set = sockets(vm);
    std::lock_guard<std::mutex> g(set.lock);
    listener = set.listeners.count(fd) != 0;
  }
  sockaddr_storage a{};
  socklen_t len = sizeof a;
  int rc = listener ? ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len)
                    : ::getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len);
  if (rc != 0) net_error("net.peer", errno);
  return new_text(vm, address_text(a, len));
}

}  // namespace

void register_net_builtins(BuiltinTable& t) {
  t.add(unsigned(Bytecode::Builtin::NET_LISTEN), b_listen, 2, "net.listen");
  t.add(unsigned(Bytecode::Builtin::NET_ACCEPT), b_accept, 1, "net.accept");
  t.add(unsigned(Bytecode::Builtin::NET_READ), b_read, 2, "net.read");
  t.add(unsigned(Bytecode::Builtin::NET_WRITE), b_write, 2, "net.write");
  t.add(unsigned(Bytecode::Builtin::NET_CLOSE), b_close, 1, "net.close");
  t.add(unsigned(Bytecode::Builtin::NET_READ_DL), b_read_dl, 3, "net.read_dl");
  t.add(unsigned(Bytecode::Builtin::NET_ACCEPT_DL), b_accept_dl, 2, "net.accept_dl");
  t.add(unsigned(Bytecode::Builtin::NET_WRITE_DL), b_write_dl, 3, "net.write_dl");
  t.add(unsigned(Bytecode::Builtin::NET_LISTEN_UNIX), b_listen_unix, 1, "net.listen_unix");
  t.add(unsigned(Bytecode::Builtin::NET_PEER), b_peer, 1, "net.peer");
}

}  // namespace Vm
