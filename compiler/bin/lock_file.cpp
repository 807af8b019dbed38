#include "lock_file.hpp"

#include <cerrno>

#include "project_io.hpp"

namespace Driver {

Lock parse_lock_text(std::string_view text) {
  Lock lock;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = trim_line(text.substr(pos, end - pos));
    pos = end + 1;
    if (line.empty() || line[0] == '#') continue;
    std::size_t space = line.find(' ');
    if (space == std::string_view::npos) continue;
    lock[std::string(line.substr(0, space))] = std::string(trim_line(line.substr(space + 1)));
  }
  return lock;
}

std::string render_lock(const Lock& lock) {
  std::string text = std::string(lock_header) + "\n";
  for (const auto& [name, hash] : lock) text += name + " " + hash + "\n";
  return text;
}

Lock read_lock(const std::string& path) {
  std::string text;
  if (!read_whole_file(path, text)) {
    if (errno == ENOENT) return {};
    fail_line(system_message(path));
  }
  return parse_lock_text(text);
}

void write_lock(const std::string& path, const Lock& lock) {
  std::string failure = write_through_temp(path, path + ".vkc-write.tmp", 0666, {render_lock(lock)});
  if (!failure.empty()) fail_line(failure);
}

}  // namespace Driver
