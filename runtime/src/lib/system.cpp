// The fs, time, env and proc modules. Failures of the system (a missing
// file, a directory that cannot be read) are catchable errors whose message
// names the member, the path and the system's own words.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "lib/state.hpp"

extern char** environ;

namespace Vm {

namespace {

[[noreturn]] void fs_error(const char* member, std::string_view path, int err) {
  raise_lib(LibError::FS, std::string(member) + ": " + std::string(path) + ": " + std::strerror(err));
}

// A path argument: a Text without NUL bytes.
std::string path_arg(Value v, const char* member) {
  std::string_view s = text_arg(v, member);
  if (s.find('\0') != std::string_view::npos) {
    raise(ErrorCode::BAD_ARGUMENT, std::string(member) + ": the path contains a NUL byte");
  }
  return std::string(s);
}

int open_retry(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do fd = ::open(path, flags | O_CLOEXEC, mode);
  while (fd < 0 && errno == EINTR);
  return fd;
}

// Reads from fd until EOF or `limit` bytes.
bool read_fd(int fd, std::string& out, std::uint64_t limit) {
  char buf[65536];
  while (out.size() < limit) {
    std::size_t want = std::min<std::uint64_t>(sizeof buf, limit - out.size());
    ssize_t n = ::read(fd, buf, want);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  return true;
}

// ---- fs ----

Value b_exists(Machine&, const Call& c) {
  std::string path = path_arg(c.args[0], "fs.exists");
  struct stat st {};
  return from_bool(::stat(path.c_str(), &st) == 0);
}

Value b_list(Machine& vm, const Call& c) {
  std::string path = path_arg(c.args[0], "fs.list");
  DIR* d = ::opendir(path.c_str());
  if (d == nullptr) fs_error("fs.list", path, errno);
  std::vector<std::string> names;
  errno = 0;
  while (dirent* e = ::readdir(d)) {
    std::string_view n = e->d_name;
    if (n != "." && n != "..") names.emplace_back(n);
  }
  int err = errno;
  ::closedir(d);
  if (err != 0) fs_error("fs.list", path, err);
  std::sort(names.begin(), names.end());
  Multi* m = vm.heap.multi(Kind::TEXT, static_cast<std::uint32_t>(names.size()));
  Value result = from_ptr(m);
  try {
    for (const std::string& n : names) m->items[m->count++] = new_text(vm, n);
  } catch (...) {
    vm.heap.drop(result);
    throw;
  }
  return result;
}

Value b_stat(Machine& vm, const Call& c) {
  std::string path = path_arg(c.args[0], "fs.stat");
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return 0;
    fs_error("fs.stat", path, errno);
  }
  return make_record(vm, "Stat",
                     {{"size", from_int(st.st_size), false},
                      {"mtime", from_int(st.st_mtim.tv_sec), false},
                      {"inode", from_int(static_cast<std::int64_t>(st.st_ino)), false},
                      {"dir", from_bool(S_ISDIR(st.st_mode)), false}});
}

// fs.read_all(path, limit): the whole file; a file larger than `limit`
// bytes is an error (a limit of 0 or less reads any size).
Value b_read_all(Machine& vm, const Call& c) {
  std::string path = path_arg(c.args[0], "fs.read_all");
  std::int64_t limit = as_int(c.args[1]);
  int fd = open_retry(path.c_str(), O_RDONLY);
  if (fd < 0) fs_error("fs.read_all", path, errno);
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    fs_error("fs.read_all", path, EISDIR);
  }
  std::string data;
  std::uint64_t cap = limit > 0 ? static_cast<std::uint64_t>(limit) + 1 : ~std::uint64_t(0);
  bool ok = read_fd(fd, data, cap);
  int err = errno;
  ::close(fd);
  if (!ok) fs_error("fs.read_all", path, err);
  if (limit > 0 && data.size() > static_cast<std::uint64_t>(limit)) {
    raise_lib(LibError::FS, "fs.read_all: " + path + ": the file is larger than " + std::to_string(limit) + " bytes");
  }
  return new_text(vm, data);
}

// fs.read_at(path, offset, count): up to `count` bytes from `offset`
// (fewer at the end of the file, none past it).
Value b_read_at(Machine& vm, const Call& c) {
  std::string path = path_arg(c.args[0], "fs.read_at");
  std::int64_t offset = as_int(c.args[1]), count = as_int(c.args[2]);
  if (offset < 0 || count < 0) {
    raise(ErrorCode::BAD_ARGUMENT, "fs.read_at: the offset and count must not be negative");
  }
  int fd = open_retry(path.c_str(), O_RDONLY);
  if (fd < 0) fs_error("fs.read_at", path, errno);
  std::string data;
  data.resize(static_cast<std::size_t>(std::min<std::int64_t>(count, 1 << 20)));
  std::size_t done = 0;
  int err = 0;
  while (static_cast<std::int64_t>(done) < count) {
    if (done == data.size()) data.resize(std::min<std::size_t>(static_cast<std::size_t>(count), data.size() * 2));
    ssize_t n = ::pread(fd, data.data() + done, data.size() - done, static_cast<off_t>(offset) + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) err = errno;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
  if (err != 0) fs_error("fs.read_at", path, err);
  data.resize(done);
  return new_text(vm, data);
}

Value b_append(Machine&, const Call& c) {
  std::string path = path_arg(c.args[0], "fs.append");
  std::string_view text = text_arg(c.args[1], "fs.append");
  int fd = open_retry(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
  if (fd < 0) fs_error("fs.append", path, errno);
  while (!text.empty()) {
    ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int err = n < 0 ? errno : EIO;
      ::close(fd);
      fs_error("fs.append", path, err);
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  if (::close(fd) != 0 && errno != EINTR) fs_error("fs.append", path, errno);
  return 0;
}

// ---- env ----

// Set by SIGINT and SIGTERM once a program has asked env.stopping(); the
// signals are process-wide, so is the flag.
std::atomic<bool> stop_requested_flag{false};
std::atomic<bool> handlers_installed{false};

extern "C" void on_stop_signal(int) { stop_requested_flag.store(true); }

void install_stop_handlers() {
  if (handlers_installed.exchange(true)) return;
  struct sigaction sa {};
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGINT, &sa, nullptr);
  ::sigaction(SIGTERM, &sa, nullptr);
}

Value b_env_get(Machine& vm, const Call& c) {
  std::string name = path_arg(c.args[0], "env.get");
  const char* v = ::getenv(name.c_str());
  return v == nullptr ? 0 : new_text(vm, v);
}

Value b_stopping(Machine&, const Call&) {
  install_stop_handlers();
  return from_bool(stop_requested_flag.load());
}

// ---- time ----

Value b_sleep(Machine&, const Call& c) {
  std::int64_t ms = as_int(c.args[0]);
  if (ms <= 0) return 0;
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  // A stop signal ends the sleep early, so a server notices it at once.
  while (::nanosleep(&ts, &ts) != 0 && errno == EINTR && !stop_requested_flag.load()) {
  }
  return 0;
}

Value b_ticks(Machine&, const Call&) {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return from_int(static_cast<std::int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec);
}

tm broken_down(std::int64_t t, bool local, const char* member) {
  time_t tt = static_cast<time_t>(t);
  tm parts{};
  if ((local ? ::localtime_r(&tt, &parts) : ::gmtime_r(&tt, &parts)) == nullptr ||
      parts.tm_year + 1900LL > 9999 || parts.tm_year + 1900LL < 0) {
    raise_lib(LibError::TIME, std::string(member) + ": " + std::to_string(t) + " is outside the years 0 to 9999");
  }
  return parts;
}

Value b_local(Machine& vm, const Call& c) {
  tm p = broken_down(as_int(c.args[0]), true, "time.local");
  return make_record(vm, "TimeParts",
                     {{"year", from_int(p.tm_year + 1900LL), false},
                      {"month", from_int(p.tm_mon + 1), false},
                      {"day", from_int(p.tm_mday), false},
                      {"hour", from_int(p.tm_hour), false},
                      {"minute", from_int(p.tm_min), false},
                      {"second", from_int(p.tm_sec), false},
                      {"dow", from_int(p.tm_wday), false}});
}

Value b_iso(Machine& vm, const Call& c) {
  tm p = broken_down(as_int(c.args[0]), false, "time.iso");
  char buf[96];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02dZ", p.tm_year + 1900, p.tm_mon + 1, p.tm_mday,
                p.tm_hour, p.tm_min, p.tm_sec);
  return new_text(vm, buf);
}

// ---- proc ----

// proc.run(program, args): runs the program (found on PATH when the name
// has no '/') with the arguments, without a shell; standard input is empty,
// standard output and error are captured. Nil when it cannot be started.
Value b_run(Machine& vm, const Call& c) {
  std::string program = path_arg(c.args[0], "proc.run");
  std::vector<std::string> argv_s{program};
  if (c.args[1] != 0) {
    auto* m = as_ptr<Multi>(c.args[1]);
    if (m->h.type != ObjType::MULTI || (m->elem() != Kind::TEXT)) {
      raise(ErrorCode::BAD_ARGUMENT, "proc.run: the arguments must be a multi of Text");
    }
    for (std::uint32_t i = 0; i < m->count; ++i) argv_s.push_back(path_arg(m->items[i], "proc.run"));
  }
  std::vector<char*> argv;
  for (std::string& a : argv_s) argv.push_back(a.data());
  argv.push_back(nullptr);

  int out_pipe[2], err_pipe[2];
  if (::pipe2(out_pipe, O_CLOEXEC) != 0) raise_lib(LibError::PROC, std::string("proc.run: ") + std::strerror(errno));
  if (::pipe2(err_pipe, O_CLOEXEC) != 0) {
    int e = errno;
    ::close(out_pipe[0]);
    ::close(out_pipe[1]);
    raise_lib(LibError::PROC, std::string("proc.run: ") + std::strerror(e));
  }
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&fa, out_pipe[1], 1);
  posix_spawn_file_actions_adddup2(&fa, err_pipe[1], 2);
  // The runtime ignores SIGPIPE (its own writes report failures); the
  // program it starts gets the usual disposition back.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
  vm.out.flush();
  pid_t pid = 0;
  int rc = ::posix_spawnp(&pid, program.c_str(), &fa, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  if (rc != 0) {
    ::close(out_pipe[0]);
    ::close(err_pipe[0]);
    return 0;
  }
  // Both pipes are drained together so a child that fills one never blocks.
  std::string out, err;
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&out, &err};
  int open_count = 2;
  while (open_count > 0) {
    int n = ::poll(fds, 2, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[65536];
      ssize_t got = ::read(fds[i].fd, buf, sizeof buf);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      } else {
        sinks[i]->append(buf, static_cast<std::size_t>(got));
      }
    }
  }
  for (pollfd& p : fds) {
    if (p.fd >= 0) ::close(p.fd);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  std::int64_t code = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
  Value out_t = new_text(vm, out);
  Value err_t = 0;
  try {
    err_t = new_text(vm, err);
  } catch (...) {
    vm.heap.release_str(out_t);
    throw;
  }
  return make_record(vm, "Proc", {{"code", from_int(code), false}, {"out", out_t, true}, {"err", err_t, true}});
}

}  // namespace

bool stop_requested() { return stop_requested_flag.load(); }

void register_system_builtins(BuiltinTable& t) {
  t.add(unsigned(Bytecode::Builtin::FS_EXISTS), b_exists, 1, "fs.exists");
  t.add(unsigned(Bytecode::Builtin::FS_LIST), b_list, 1, "fs.list");
  t.add(unsigned(Bytecode::Builtin::FS_STAT), b_stat, 1, "fs.stat");
  t.add(unsigned(Bytecode::Builtin::FS_READ_ALL), b_read_all, 2, "fs.read_all");
  t.add(unsigned(Bytecode::Builtin::FS_READ_AT), b_read_at, 3, "fs.read_at");
  t.add(unsigned(Bytecode::Builtin::FS_APPEND), b_append, 2, "fs.append");
  t.add(unsigned(Bytecode::Builtin::TIME_SLEEP), b_sleep, 1, "time.sleep");
  t.add(unsigned(Bytecode::Builtin::TIME_TICKS), b_ticks, 0, "time.ticks");
  t.add(unsigned(Bytecode::Builtin::TIME_LOCAL), b_local, 1, "time.local");
  t.add(unsigned(Bytecode::Builtin::TIME_ISO), b_iso, 1, "time.iso");
  t.add(unsigned(Bytecode::Builtin::ENV_GET), b_env_get, 1, "env.get");
  t.add(unsigned(Bytecode::Builtin::ENV_STOPPING), b_stopping, 0, "env.stopping");
  t.add(unsigned(Bytecode::Builtin::PROC_RUN), b_run, 2, "proc.run");
}

}  // namespace Vm
