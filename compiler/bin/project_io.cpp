#include "project_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace Driver {

namespace {

bool has_nul(const std::string& path) { return path.find('\0') != std::string::npos; }

bool write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

std::string join_path(const std::string& dir, const std::string& name) {
  if (!dir.empty() && dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

std::string resolve_in(const std::string& dir, const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  return join_path(dir, path);
}

bool path_exists(const std::string& path) {
  struct stat st;
  return !has_nul(path) && stat(path.c_str(), &st) == 0;
}

bool is_directory(const std::string& path) {
  struct stat st;
  return !has_nul(path) && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool make_directory(const std::string& path) {
  if (has_nul(path)) {
    errno = EINVAL;
    return false;
  }
  return mkdir(path.c_str(), 0755) == 0;
}

bool read_whole_file(const std::string& path, std::string& bytes) {
  if (has_nul(path)) {
    errno = EINVAL;
    return false;
  }
  // O_NONBLOCK: opening a FIFO must not wait for a writer; it is refused below.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st{};
  int reason = 0;
  if (fstat(fd, &st) != 0) reason = errno;
  else if (S_ISDIR(st.st_mode)) reason = EISDIR;
  else if (!S_ISREG(st.st_mode)) reason = EINVAL;  // a device or pipe may never end
  if (reason != 0) {
    close(fd);
    errno = reason;
    return false;
  }
  bytes.clear();
  bytes.reserve(static_cast<std::size_t>(st.st_size));
  char buffer[1 << 16];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      int saved = errno;
      close(fd);
      errno = saved;
      return false;
    }
    if (n == 0) break;
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  close(fd);
  return true;
}

std::string write_through_temp(const std::string& path, const std::string& temp, unsigned mode,
                               std::initializer_list<std::string_view> parts) {
  if (has_nul(path) || has_nul(temp)) {
    errno = EINVAL;
    return system_message(path);
  }
  std::remove(temp.c_str());
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, static_cast<mode_t>(mode));
  if (fd < 0) return system_message(temp);
  bool ok = true;
  for (std::string_view part : parts) ok = ok && write_all(fd, part);
  int saved = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  if (!ok) {
    std::remove(temp.c_str());
    errno = saved;
    return system_message(temp);
  }
  if (std::rename(temp.c_str(), path.c_str()) != 0) return system_message(path);
  return "";
}

std::string_view trim_line(std::string_view s) {
  auto is_trim_byte = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; };
  while (!s.empty() && is_trim_byte(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_trim_byte(s.back())) s.remove_suffix(1);
  return s;
}

std::string system_message(const std::string& path) { return path + ": " + std::strerror(errno); }

std::string printable(std::string_view text) {
  static const char hex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      out += "\\x";
      out += hex[byte >> 4];
      out += hex[byte & 15];
    } else {
      out += c;
    }
  }
  return out;
}

void say_line(const std::string& message) {
  std::fflush(stdout);
  std::string line = "vkc: " + printable(message) + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

void fail_line(const std::string& message) {
  say_line(message);
  std::exit(2);
}

}  // namespace Driver
