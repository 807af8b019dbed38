// Buffered standard output. `print` text collects here and goes out when the
// buffer fills, before anything is written to standard error, and at exit.
// A write that fails (a closed descriptor, a full disk, a pipe nobody reads)
// ends the run with a message and status 1.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

namespace Vm {

class Output {
 public:
  Output() { buf_.reserve(capacity); }
  ~Output() { flush(); }

  void write(std::string_view s) {
    if (buf_.size() + s.size() > capacity) {
      flush();
      if (s.size() > capacity) {
        if (out_ != nullptr) out_->append(s);
        else write_fd(1, s);
        return;
      }
    }
    buf_.append(s);
  }
  void put(char c) {
    if (buf_.size() + 1 > capacity) flush();
    buf_.push_back(c);
  }
  void flush() {
    if (out_ != nullptr) out_->append(buf_);
    else write_fd(1, buf_);
    buf_.clear();
  }
  // Standard error: the pending standard output goes first.
  void error(std::string_view s) {
    flush();
    if (err_ != nullptr) err_->append(s);
    else write_fd(2, s);
  }
  // Collects both streams into strings instead (for tests and embedders).
  void capture(std::string* out, std::string* err) {
    out_ = out;
    err_ = err;
  }

 private:
  static constexpr std::size_t capacity = 1 << 16;
  static void write_fd(int fd, std::string_view s) {
    while (!s.empty()) {
      ssize_t n = ::write(fd, s.data(), s.size());
      if (n < 0 && errno == EINTR) continue;  // a stop signal the program handles
      if (n <= 0) failed(n < 0 ? errno : EIO);
      s.remove_prefix(static_cast<std::size_t>(n));
    }
  }
  // Output that cannot be written ends the run: whatever the program does
  // next, its results would be lost. Any thread may get here, so the process
  // ends at once, without running destructors that would flush again.
  [[noreturn]] static void failed(int error) {
    std::string line = "vkvm: cannot write output: ";
    line += std::strerror(error);
    line += '\n';
    [[maybe_unused]] ssize_t ignored = ::write(2, line.data(), line.size());
    ::_exit(1);
  }
  std::string buf_;
  std::string* out_ = nullptr;
  std::string* err_ = nullptr;
};

}  // namespace Vm
