#include "git.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "project_io.hpp"

extern char** environ;

namespace Driver {

namespace {

// Runs git with `args`, standard output to `out_fd` (or /dev/null when -1) and
// standard error to /dev/null; true when it exits with status 0.
bool spawn_git(const std::vector<GitArg>& args, int out_fd) {
  for (const GitArg& a : args) {
    if (a.text.find('\0') != std::string::npos) return false;  // no shell could pass it either
  }
  std::vector<std::string> owned{"git"};
  for (const GitArg& a : args) owned.push_back(a.text);
  std::vector<char*> argv;
  for (std::string& s : owned) argv.push_back(s.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return false;
  if (out_fd >= 0) posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
  else posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  int spawned = posix_spawnp(&pid, "git", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return false;  // no git on PATH: as a shell's status 127
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string temp_dir() {
  const char* dir = std::getenv("TMPDIR");
  return dir && *dir ? dir : "/tmp";
}

}  // namespace

std::string shell_quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') out += "'\\''";
    else out += c;
  }
  return out + "'";
}

std::string git_command_line(const std::vector<GitArg>& args) {
  std::string line = "git";
  for (const GitArg& a : args) line += " " + (a.quoted ? shell_quote(a.text) : a.text);
  return line;
}

std::optional<std::string> git_run(const std::vector<GitArg>& args) {
  if (spawn_git(args, -1)) return std::nullopt;
  return git_command_line(args) + " >/dev/null 2>&1";
}

std::optional<std::string> git_read(const std::vector<GitArg>& args) {
  std::string path = join_path(temp_dir(), "vk-gitXXXXXX.out");
  int fd = mkostemps(path.data(), 4, O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  bool ok = spawn_git(args, fd);
  close(fd);
  std::string output;
  bool read = ok && read_whole_file(path, output);
  std::remove(path.c_str());
  if (!read) return std::nullopt;
  std::size_t end = output.find('\n');
  std::string_view first(output.data(), end == std::string::npos ? output.size() : end);
  while (!first.empty() && (first.front() == ' ' || first.front() == '\t' || first.front() == '\r')) first.remove_prefix(1);
  while (!first.empty() && (first.back() == ' ' || first.back() == '\t' || first.back() == '\r')) first.remove_suffix(1);
  if (first.empty()) return std::nullopt;
  return std::string(first);
}

}  // namespace Driver
