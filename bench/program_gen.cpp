#include "program_gen.hpp"

#include <algorithm>
#include <array>

#include "program_parts.hpp"

namespace Bench {
namespace {

// Entries per group function: main calls groups, groups call entries, so no
// function grows with the size of the program.
constexpr std::size_t group_size = 16;

constexpr std::array<std::string_view, 12> module_names = {
    "billing", "catalog", "shipping", "stock",  "payroll", "metering",
    "booking", "routing", "audit",    "pricing", "support", "weather"};

// Writes the group function over `entries` and returns its name.
std::string write_group(Writer& out, std::string_view prefix, int number, std::span<const std::string> entries,
                        bool pub) {
  const std::string name = cat(prefix, "group_", number);
  out.line(cat("-- Runs ", entries.size(), " parts and folds their results into one checksum."));
  out.open(cat(pub ? "pub " : "", "fn ", name, "(n: Int) -> Int"));
  out.line("let total = 0");
  for (std::size_t i = 0; i < entries.size(); ++i) {
    out.line(cat("total = (total * 31 + ", entries[i], "(n + ", i, ")) % 1000003"));
  }
  out.line("return total");
  out.close();
  out.blank();
  return name;
}

void write_main(Writer& out, std::span<const std::string> groups) {
  out.line("-- Entry point: runs every group and prints the checksum.");
  out.open("fn main() -> Int");
  out.line("let total = 0");
  for (const std::string& group : groups) out.line(cat("total += ", group, "(", group.size() % 7, ")"));
  out.line("print(\"checksum ${total}\")");
  out.line("return 0");
  out.close();
}

// Lines main and the group functions take for `parts` parts.
std::size_t wrapper_lines(std::size_t parts) {
  const std::size_t groups = (parts + group_size - 1) / group_size;
  return parts + groups * 6 + 8;
}

std::string module_name(int index) {
  const auto base = module_names[static_cast<std::size_t>(index) % module_names.size()];
  if (static_cast<std::size_t>(index) < module_names.size()) return std::string(base);
  return cat(base, index / static_cast<int>(module_names.size()) + 1);
}

}  // namespace

std::size_t count_lines(std::string_view text) {
  const auto breaks = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
  return breaks + (!text.empty() && text.back() != '\n' ? 1 : 0);
}

std::string generate_program(std::size_t lines, std::uint64_t seed) {
  Rng rng(seed);
  PartWriter parts(rng, false);
  Writer out;
  out.line(cat("-- Generated benchmark program: about ", lines, " lines, seed ", seed, "."));
  out.blank();
  std::vector<std::string> entries;
  // Parts average about 70 lines; stop once the wrappers would overshoot.
  while (out.lines() + wrapper_lines(entries.size() + 1) + 70 <= lines || entries.empty()) {
    entries.push_back(parts.write_part(out));
  }
  std::vector<std::string> groups;
  for (std::size_t at = 0; at < entries.size(); at += group_size) {
    const std::size_t end = std::min(entries.size(), at + group_size);
    groups.push_back(write_group(out, "", static_cast<int>(groups.size()),
                                 std::span<const std::string>(entries).subspan(at, end - at), false));
  }
  write_main(out, groups);
  return out.release();
}

std::vector<GeneratedFile> generate_modules(std::size_t lines, int modules, std::uint64_t seed) {
  Rng rng(seed);
  PartWriter parts(rng, true);
  std::vector<GeneratedFile> files;
  std::vector<std::string> root_uses;
  std::vector<std::string> root_groups;
  std::vector<std::string> previous_entries;
  std::string previous_module;
  modules = std::max(modules, 1);
  const std::size_t per_module = std::max<std::size_t>(lines / static_cast<std::size_t>(modules), 200);

  for (int m = 0; m < modules; ++m) {
    const std::string name = module_name(m);
    parts.start_module();
    parts.set_foreign_entries(previous_entries);
    std::vector<std::string> entries;
    std::vector<std::string> pending;  // entries not yet in a group
    std::size_t written = 0;
    int group_number = 0;
    for (int file = 1; written < per_module; ++file) {
      // Files of 800 to 3000 lines, the last one taking what is left.
      const std::size_t target = std::min<std::size_t>(per_module - written,
                                                       static_cast<std::size_t>(rng.between(800, 3000)));
      parts.clear_foreign_used();
      Writer body;
      std::string first_entry;
      while (body.lines() + 70 <= target || body.lines() == 0) {
        const std::string entry = parts.write_part(body);
        if (first_entry.empty()) first_entry = entry;
        entries.push_back(entry);
        pending.push_back(entry);
        if (pending.size() == group_size) {
          root_groups.push_back(write_group(body, cat(name, "_"), group_number++, pending, true));
          pending.clear();
        }
      }
      const bool last_file = written + body.lines() + 70 > per_module;
      if (last_file && !pending.empty()) {
        root_groups.push_back(write_group(body, cat(name, "_"), group_number++, pending, true));
        pending.clear();
      }
      Writer head;
      head.line(cat("-- Module ", name, ", file ", file, "."));
      if (parts.foreign_used()) head.line(cat("use ", previous_module));
      head.blank();
      written += head.lines() + body.lines();
      std::string text = head.release() + body.release();
      const std::size_t slash = first_entry.find('_');
      files.push_back({cat(name, "/", first_entry.substr(slash + 1), ".vk"), std::move(text)});
      if (last_file) break;
    }
    root_uses.push_back(name);
    previous_entries = std::move(entries);
    previous_module = name;
  }

  Writer root;
  root.line(cat("-- Generated benchmark program: about ", lines, " lines in ", modules, " modules, seed ", seed, "."));
  for (const std::string& name : root_uses) root.line(cat("use ", name));
  root.blank();
  write_main(root, root_groups);
  files.push_back({"main.vk", root.release()});
  return files;
}

}  // namespace Bench
