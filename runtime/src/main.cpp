// vkvm: runs a velkan image.
//
//   vkvm FILE.vkb [args...]   runs the image file
//   <app> [args...]           an executable built by `vkc build`: the runtime
//                             followed by the image and a 20-byte trailer
//                             (image offset, image length, "VBT1"), found
//                             through /proc/self/exe
//
// Exit status: main's Int result (0 for a main without one), 1 for an
// uncaught runtime error or output that cannot be written, 2 for usage,
// unreadable, damaged or malformed images.
// VKVM_GC_STRESS=1 collects at every allocation; VKVM_GC_STATS=1 reports the
// collector's work on standard error at exit.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "cluster/cluster.hpp"
#include "machine.hpp"
#include "program.hpp"
#include "seal/seal.hpp"

namespace {

constexpr std::size_t trailer_size = 20;

std::int64_t read_i64(std::string_view s, std::size_t at) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(s[at + i]);
  return static_cast<std::int64_t>(v);
}

// Reads `length` bytes at `offset` of an open file.
bool read_at(int fd, std::uint64_t offset, std::uint64_t length, std::string& out) {
  out.resize(length);
  std::uint64_t done = 0;
  while (done < length) {
    ssize_t n = ::pread(fd, out.data() + done, length - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::uint64_t>(n);
  }
  return true;
}

// The image inside a built executable, when its trailer is sound.
bool embedded_image(std::string& out) {
  int fd = ::open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  std::string trailer;
  bool ok = ::fstat(fd, &st) == 0 && st.st_size >= static_cast<off_t>(trailer_size) &&
            read_at(fd, static_cast<std::uint64_t>(st.st_size) - trailer_size, trailer_size, trailer) &&
            trailer.substr(16) == "VBT1";
  if (ok) {
    std::uint64_t n = static_cast<std::uint64_t>(st.st_size);
    std::int64_t offset = read_i64(trailer, 0);
    std::int64_t length = read_i64(trailer, 8);
    ok = offset >= 0 && length >= 0 && static_cast<std::uint64_t>(offset) <= n - trailer_size &&
         static_cast<std::uint64_t>(length) == n - trailer_size - static_cast<std::uint64_t>(offset) &&
         read_at(fd, static_cast<std::uint64_t>(offset), static_cast<std::uint64_t>(length), out);
  }
  ::close(fd);
  return ok;
}

// The whole of a regular file; otherwise false with the reason.
bool read_file(const std::string& path, std::string& out, std::string& error) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = std::strerror(errno);
    return false;
  }
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0;
  if (ok && !S_ISREG(st.st_mode)) {
    error = S_ISDIR(st.st_mode) ? "is a directory" : "not a regular file";
    ok = false;
  } else if (ok && !read_at(fd, 0, static_cast<std::uint64_t>(st.st_size), out)) {
    error = std::strerror(errno ? errno : EIO);
    ok = false;
  }
  ::close(fd);
  return ok;
}

int fail(const std::string& message) {
  std::string line = "vkvm: " + message + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  return 2;
}

// Standard streams a parent closed get a descriptor that refuses writes, so
// `print` reports the failure instead of writing into a file or socket the
// program opened later under the same number. A pipe nobody reads is
// reported the same way instead of killing the process silently.
void guard_standard_streams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) ::open("/dev/null", O_RDONLY);
  }
  ::signal(SIGPIPE, SIG_IGN);
}

// `--cluster URL [--serve] [--once] [--nodes N]` before the image; `at`
// moves past them. False with a message for a malformed flag.
bool cluster_flags(int argc, char** argv, int& at, Vm::ClusterOptions& o, std::string& error) {
  while (at < argc && std::strncmp(argv[at], "--", 2) == 0) {
    std::string flag = argv[at++];
    if (flag == "--serve") {
      o.serve = true;
    } else if (flag == "--once") {
      o.once = true;
    } else if ((flag == "--cluster" || flag == "--nodes") && at < argc) {
      std::string value = argv[at++];
      if (flag == "--cluster") o.url = value;
      else if (value.empty() || value.size() > 4 || value.find_first_not_of("0123456789") != std::string::npos) {
        error = "--nodes needs a number of serving nodes, not `" + value + "`";
        return false;
      } else o.nodes = std::stoi(value);
    } else {
      error = "unknown option `" + flag + "` (usage: vkvm [--cluster URL [--serve] [--once] [--nodes N]] FILE.vkb [args...])";
      return false;
    }
  }
  if (o.url.empty() && (o.serve || o.once || o.nodes > 0)) {
    error = "--serve, --once and --nodes need --cluster URL";
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  guard_standard_streams();
  std::string bytes, error, name;
  Vm::ClusterOptions cluster;
  int first_arg = 1;  // the program's own arguments follow the image
  if (embedded_image(bytes)) {
    name = argc > 0 ? argv[0] : "vkvm";
  } else {
    int at = 1;
    if (!cluster_flags(argc, argv, at, cluster, error)) return fail(error);
    if (argc < at + 1) return fail("usage: vkvm FILE.vkb [args...]");
    name = argv[at];
    first_arg = at + 1;
    if (!read_file(name, bytes, error)) return fail(name + ": " + error);
  }
  // The seal goes first: a damaged image must not reach the reader at all.
  if (Seal::check(bytes) == Seal::State::DAMAGED) return fail("image is damaged (checksum mismatch)");
  Vm::Loaded loaded = Vm::load(bytes);
  if (!loaded.program) return fail(name + ": " + loaded.error);
  if (loaded.program->entry == Bytecode::none) return fail(name + ": the image has no entry point");
  std::vector<std::string> args(argv + std::min(first_arg, argc), argv + argc);
  if (!cluster.url.empty()) {
#ifdef VK_CLUSTER
    cluster.file = name;
    return Vm::cluster_main(*loaded.program, bytes, cluster, args);
#else
    return fail("--cluster: this vkvm was built without cluster support (configure with -DVK_CLUSTER=ON)");
#endif
  }
  Vm::Machine machine(*loaded.program);
  int status = machine.run(args);
  // VKVM_GC_STATS=1: what the collector did, for tests of memory behaviour.
  const char* stats = std::getenv("VKVM_GC_STATS");
  if (stats != nullptr && stats[0] == '1') {
    machine.out.error("vkvm: gc: " + std::to_string(machine.heap.collections()) + " collections, " +
                      std::to_string(machine.heap.live_gc_objects()) + " gc objects live at exit\n");
  }
  return status;
}
