// Buffered standard output. `print` text collects here and goes out when the
// buffer fills, before anything is written to standard error, and at exit.
#pragma once

#include <unistd.h>

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
      if (n <= 0) return;  // a closed pipe loses the rest, as for any program
      s.remove_prefix(static_cast<std::size_t>(n));
    }
  }
  std::string buf_;
  std::string* out_ = nullptr;
  std::string* err_ = nullptr;
};

}  // namespace Vm
