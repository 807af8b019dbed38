#include "discovery.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <utility>

#include "command_line.hpp"

namespace Driver {

namespace {

struct DirId {
  dev_t dev;
  ino_t ino;
  bool operator==(const DirId&) const = default;
};

struct Walk {
  std::vector<std::pair<std::string, std::string>> found;  // (relative, full)
  std::vector<DirId> ancestors;  // directories on the current walk path
  std::string error;
};

std::string join(const std::string& dir, const std::string& name) {
  if (!dir.empty() && dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

bool ends_with_vk(const std::string& name) {
  return name.size() >= 3 && name.compare(name.size() - 3, 3, ".vk") == 0;
}

// Symbolic links are followed; a directory that is one of its own ancestors
// (a link back up the tree) is skipped, so link cycles end.
void walk(Walk& w, const std::string& dir, const std::string& rel) {
  std::unique_ptr<DIR, int (*)(DIR*)> handle(opendir(dir.c_str()), closedir);
  if (!handle) {
    w.error = dir + ": " + std::strerror(errno);
    return;
  }
  std::vector<std::string> names;
  while (dirent* entry = readdir(handle.get())) names.emplace_back(entry->d_name);
  handle.reset();
  for (const std::string& name : names) {
    if (skip_name(name)) continue;
    std::string full = join(dir, name);
    std::string relative = rel.empty() ? name : rel + "/" + name;
    struct stat st;
    if (stat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      DirId id{st.st_dev, st.st_ino};
      if (std::find(w.ancestors.begin(), w.ancestors.end(), id) != w.ancestors.end()) continue;
      w.ancestors.push_back(id);
      walk(w, full, relative);
      w.ancestors.pop_back();
      if (!w.error.empty()) return;
    } else if (ends_with_vk(name)) {
      w.found.emplace_back(std::move(relative), std::move(full));
    }
  }
}

// Reads a whole file in binary; false with errno set on failure.
bool read_file(const std::string& path, std::string& text) {
  // O_NONBLOCK: opening a FIFO must not wait for a writer; it is refused below.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    // Devices and pipes may never end (/dev/zero); sources are regular files.
    close(fd);
    errno = EINVAL;
    return false;
  }
  text.reserve(static_cast<std::size_t>(st.st_size));
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
    text.append(buffer, static_cast<std::size_t>(n));
  }
  close(fd);
  return true;
}

}  // namespace

bool skip_name(const std::string& name) {
  return (!name.empty() && name[0] == '.') || name == "target" || name == "data" || name == "node_modules";
}

std::variant<std::vector<std::string>, DiscoveryError> discover_dir(const std::string& root) {
  Walk w;
  struct stat st;
  if (stat(root.c_str(), &st) == 0) w.ancestors.push_back({st.st_dev, st.st_ino});
  walk(w, root, "");
  if (!w.error.empty()) return DiscoveryError{w.error};
  std::stable_sort(w.found.begin(), w.found.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::string> paths;
  paths.reserve(w.found.size());
  for (auto& entry : w.found) paths.push_back(std::move(entry.second));
  return paths;
}

std::variant<std::vector<std::string>, DiscoveryError> discover_files(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return DiscoveryError{"no such file or directory: " + path};
  if (S_ISDIR(st.st_mode)) return discover_dir(path);
  return std::vector<std::string>{path};
}

SourceList discover_and_read(const std::string& path) {
  auto discovered = discover_files(path);
  if (auto* error = std::get_if<DiscoveryError>(&discovered)) fail(error->message);
  SourceList sources;
  for (std::string& file : std::get<std::vector<std::string>>(discovered)) {
    std::string text;
    if (!read_file(file, text)) {
      fail(file + ": " + (errno == EINVAL ? std::string("not a regular file") : std::strerror(errno)));
    }
    sources.push_back({std::move(file), std::move(text)});
  }
  return sources;
}

void release_text(SourceFile& source) {
  std::string().swap(source.text);
  source.released = true;
}

void release_texts(SourceList& sources) {
  for (SourceFile& s : sources) release_text(s);
}

Diag::Lookup build_lookup(const SourceList& sources) {
  // A released file is read on its first lookup; its text then lives as long
  // as the lookup, since the views handed out point into it.
  struct Entry {
    std::string_view text;
    bool released = false;
    bool read = false;
    bool found = false;
    std::string reread;
  };
  auto table = std::make_shared<std::unordered_map<std::string, Entry>>();
  for (const SourceFile& s : sources) table->emplace(s.path, Entry{s.text, s.released, false, false, {}});
  return [table](const std::string& path) -> std::optional<std::string_view> {
    auto it = table->find(path);
    if (it == table->end()) return std::nullopt;
    Entry& entry = it->second;
    if (!entry.released) return entry.text;
    if (!entry.read) {
      entry.read = true;
      entry.found = read_file(path, entry.reread);
    }
    if (!entry.found) return std::nullopt;
    return std::string_view(entry.reread);
  };
}

}  // namespace Driver
