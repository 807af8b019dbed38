#include "assembly.hpp"

#include <sys/stat.h>

#include "gcinfer/gcinfer.hpp"

namespace Driver {

namespace {

bool is_directory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool starts_with_dir(std::string_view path, std::string_view dir) {
  return path.size() > dir.size() && path.substr(0, dir.size()) == dir && path[dir.size()] == '/';
}

// module_of_file once whether `root` is a directory is known.
std::string module_under(std::string_view root, bool root_is_dir, std::string_view path) {
  if (!root_is_dir) return ".";
  if (!root.empty() && root.back() == '/') root.remove_suffix(1);
  std::string_view rel = starts_with_dir(path, root) ? path.substr(root.size() + 1) : path;
  std::size_t slash = rel.rfind('/');
  if (slash == std::string_view::npos || slash == 0) return ".";
  return std::string(rel.substr(0, slash));
}

std::string module_in_deps(const std::string& root, bool root_is_dir, const DependencyList& deps,
                           std::string_view path) {
  for (const Dependency& dep : deps) {
    std::string_view dir = dep.dir;
    if (!dir.empty() && dir.back() == '/') dir.remove_suffix(1);
    if (!starts_with_dir(path, dir)) continue;
    std::string inner = module_under(dir, true, path);
    return inner == "." ? dep.name : dep.name + "/" + inner;
  }
  return module_under(root, root_is_dir, path);
}

struct FirstSite {
  const std::string* path;
  Ast::Pos pos;
};

void report_collision(Diag::Collector& collector, std::string_view kind, std::string_view name,
                      const std::string& path, Ast::Pos at, const FirstSite& first) {
  std::string n(name);
  collector.add(Diag::error(duplicate_symbol_code, path, at.line, at.col,
                            std::string(kind) + " `" + n + "` already declared in `" + *first.path + "`",
                            {Diag::related_site(*first.path, first.pos.line, first.pos.col,
                                                "`" + n + "` first declared here")}));
}

}  // namespace

std::string module_of_file(const std::string& root, std::string_view path) {
  return module_under(root, is_directory(root), path);
}

std::string module_of_multi(const std::string& root, const DependencyList& deps, std::string_view path) {
  return module_in_deps(root, is_directory(root), deps, path);
}

Types::Symbols merge_symbols(std::span<const Types::FileSymbols> files) {
  Types::Symbols merged;
  std::size_t classes = 0, functions = 0;
  for (const Types::FileSymbols& file : files) {
    classes += file.symbols.classes.size();
    functions += file.symbols.functions.size();
  }
  merged.classes.reserve(classes);
  merged.functions.reserve(functions);
  for (const Types::FileSymbols& file : files) Types::merge_keep_first(merged, file.symbols);
  return merged;
}

void check_symbol_collisions(Diag::Collector& collector, std::span<const Types::FileSymbols> files) {
  // Class and interface names are global to the program, across modules. The
  // tables below refer to the files' entries; the first file declaring a
  // name is looked up only when a second one does.
  Types::NameMap<Types::ClassInfo> classes;
  Types::NameMap<Types::InterfaceInfo> interfaces;
  std::size_t class_count = 0;
  for (const Types::FileSymbols& file : files) class_count += file.symbols.classes.size();
  classes.reserve(class_count);
  auto first_site = [&](auto member, const auto* first) {
    for (const Types::FileSymbols& earlier : files) {
      if ((earlier.symbols.*member).find(first->name) == first) return FirstSite{&earlier.path, first->pos};
    }
    return FirstSite{&files.front().path, first->pos};  // not reached: the entry is some file's
  };
  for (const Types::FileSymbols& file : files) {
    for (const Types::ClassInfo* c : file.symbols.classes.in_name_order()) {
      auto [first, added] = classes.insert_shared(*c);
      if (!added) {
        report_collision(collector, "class", c->name, file.path, c->pos, first_site(&Types::Symbols::classes, first));
      }
    }
    for (const Types::InterfaceInfo* i : file.symbols.interfaces.in_name_order()) {
      auto [first, added] = interfaces.insert_shared(*i);
      if (!added) {
        report_collision(collector, "interface", i->name, file.path, i->pos,
                         first_site(&Types::Symbols::interfaces, first));
      }
    }
  }
}

CheckedProgram typecheck_all(Diag::Collector& collector, const std::string& root, const DependencyList& deps,
                             std::span<const Types::FileTree> trees, bool keep_ownership_tables) {
  CheckedProgram out;
  out.files.reserve(trees.size());
  for (const Types::FileTree& file : trees) {
    out.files.push_back({file.path, Types::collect_declarations(file.path, *file.tree, collector)});
  }
  check_symbol_collisions(collector, out.files);

  bool root_is_dir = is_directory(root);
  out.module_of = [root, root_is_dir, deps](std::string_view path) {
    return module_in_deps(root, root_is_dir, deps, path);
  };
  // The module tables are built before the module checks, which read them too.
  out.modules = Types::module_symbols(out.module_of, out.files);
  Types::check_modules(collector, out.module_of, out.files, trees, out.modules);

  out.merged = Gcinfer::infer_checking(trees, Types::with_builtin_records(merge_symbols(out.files)), out.ownership,
                                       keep_ownership_tables ? &out.ownership_tables : nullptr);
  for (auto& [module, symbols] : out.modules) symbols.gc_classes = out.merged.gc_classes;

  for (std::size_t i = 0; i < trees.size(); ++i) {
    Types::FileTyping typing = Types::typecheck_program(trees[i].path, out.module_of, out.modules,
                                                        out.files[i].symbols, *trees[i].tree, out.merged, collector);
    if (!typing.using_calls.empty()) {
      out.using_rewrites.calls[trees[i].path].insert(typing.using_calls.begin(), typing.using_calls.end());
    }
  }
  return out;
}

}  // namespace Driver
