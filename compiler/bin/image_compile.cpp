#include "image_compile.hpp"

#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "command_line.hpp"
#include "disasm/disasm.hpp"
#include "emit/emit.hpp"
#include "front_end.hpp"
#include "owner/owner.hpp"
#include "seal/seal.hpp"

namespace Driver {

namespace {

bool starts_with_dir(std::string_view path, const std::string& dir) {
  if (dir.empty()) return false;
  std::string prefix = dir.back() == '/' ? dir : dir + "/";
  return path.substr(0, prefix.size()) == prefix;
}

const Dependency* dependency_of(const DependencyList& deps, std::string_view path) {
  for (const Dependency& d : deps)
    if (starts_with_dir(path, d.dir)) return &d;
  return nullptr;
}

// Inside a dependency, `use util` means the dependency's own `util`: every
// path that names neither a library module nor the dependency itself gets
// the dependency's name in front.
Ast::Program rewrite_dependency_uses(const Ast::Program& tree, const std::string& dep) {
  bool any = false;
  for (const Ast::Decl* d : tree.decls) {
    const auto* u = d->get_if<Ast::UseDecl>();
    if (u && !u->path.empty() && !Types::is_stdlib_module(u->path[0]) && u->path[0] != dep) any = true;
  }
  if (!any) return tree;
  auto arena = std::make_shared<Ast::Arena>();
  Ast::Name dep_name = arena->intern(dep);
  std::span<const Ast::Decl*> decls = arena->make_array<const Ast::Decl*>(tree.decls.size());
  for (std::size_t i = 0; i < tree.decls.size(); ++i) {
    const Ast::Decl* d = tree.decls[i];
    const auto* u = d->get_if<Ast::UseDecl>();
    if (!u || u->path.empty() || Types::is_stdlib_module(u->path[0]) || u->path[0] == dep) {
      decls[i] = d;
      continue;
    }
    std::span<Ast::Name> path = arena->make_array<Ast::Name>(u->path.size() + 1);
    path[0] = dep_name;
    for (std::size_t k = 0; k < u->path.size(); ++k) path[k + 1] = u->path[k];
    Ast::UseDecl copy = *u;
    copy.path = path;
    decls[i] = arena->make(copy);
  }
  Ast::Program out = tree;
  out.decls = Ast::List<Ast::Decl>(decls.data(), decls.size());
  out.arenas.push_back(std::move(arena));
  return out;
}

// VK-E108 for a project file's `use` of a dependency's `internal` module.
void check_internal_imports(Diag::Collector& collector, const DependencyList& deps, const std::string& path,
                            const Ast::Program& tree) {
  for (const Ast::Decl* d : tree.decls) {
    const auto* u = d->get_if<Ast::UseDecl>();
    if (!u || u->path.size() < 2) continue;
    for (const Dependency& dep : deps) {
      if (u->path[0] != dep.name) continue;
      for (std::size_t k = 1; k < u->path.size(); ++k) {
        if (u->path[k] != "internal") continue;
        collector.add(Diag::error(dep_internal_code, path, u->pos.line, u->pos.col,
                                  "`" + Types::path_str(u->path) + "` is internal to the dependency `" + dep.name +
                                      "` — a module under `internal/` is the library's own business and cannot be "
                                      "imported across the `[deps]` boundary"));
        break;
      }
    }
  }
}

}  // namespace

bool in_dependency(const DependencyList& deps, std::string_view path) { return dependency_of(deps, path) != nullptr; }

namespace {

// The passes run on a thread whose malloc arena grows its heap by exactly
// each request that finds no room, one mprotect call apiece: hundreds of
// calls for a large program. Growing it once by about what the whole compile
// will hold (some sixteen bytes per source byte) spares them; the pages are
// only made usable, not touched. A thread heap holds at most 64 MB, so larger
// programs reserve that much and grow as usual beyond it.
void reserve_heap(std::size_t source_bytes) {
  std::size_t room = std::min<std::size_t>(source_bytes * 16, std::size_t{48} << 20);
  if (room < (std::size_t{1} << 20)) return;
  // Through a volatile pointer, so the pair is not optimised away.
  void* volatile block = std::malloc(room);
  std::free(block);
}

// The emitter then fills megabytes of fresh memory (the image's code,
// constants and tables, two to three bytes per source byte) taken from the
// free top of that heap, with one page fault per 4 KB page: some 1,600 faults
// at 100k lines, the whole difference in system time from a check. Offering
// that much of the top (more, as only whole aligned 2 MB pages count) to the
// kernel for huge pages first leaves a few hundred. Only advice: where huge
// pages are off, nothing changes.
void prefer_huge_pages_for_image(std::size_t source_bytes) {
  std::size_t room = std::min<std::size_t>(source_bytes * 4, std::size_t{32} << 20);
  if (room < (std::size_t{4} << 20)) return;
  void* volatile block = std::malloc(room);
  if (block) Ast::prefer_huge_pages(block, room);
  std::free(block);
}

// Everything up to the lowered image. The trees, tables and symbols live only
// in here: they are freed before the image is serialised, so its buffers
// reuse their memory instead of touching fresh pages. A check lowers only a
// program the passes before found clean, and gives no image.
std::optional<Emit::Image> lower_program(ImageCompile& out, const DependencyList& deps, const std::string& path,
                                         bool check_only) {
  auto sources = std::make_shared<SourceList>(discover_and_read(path));
  for (const Dependency& dep : deps) {
    SourceList more = discover_and_read(dep.dir);
    for (SourceFile& f : more) sources->push_back(std::move(f));
  }
  out.sources = sources;
  std::size_t source_bytes = 0;
  for (const SourceFile& f : *sources) source_bytes += f.text.size();
  reserve_heap(source_bytes);
  // Trees keep no view into their source texts: each text goes once its file
  // is parsed, and a diagnostic quoting it reads the file again.
  ParsedList parsed = parse_all_releasing(out.collector, *sources);
  out.lookup = build_lookup(*out.sources);
  if (!deps.empty()) {
    for (ParsedFile& file : parsed) {
      if (const Dependency* dep = dependency_of(deps, file.source->path))
        file.tree = rewrite_dependency_uses(file.tree, dep->name);
      else
        check_internal_imports(out.collector, deps, file.source->path, file.tree);
    }
  }
  std::vector<Types::FileTree> trees;
  trees.reserve(parsed.size());
  for (const ParsedFile& file : parsed) trees.push_back({file.source->path, &file.tree});
  CheckedProgram program = typecheck_all(out.collector, path, deps, trees, true);

  // Gc inference's last round was the ownership pass over these very trees;
  // `using` calls rewritten into plain calls need a pass of their own.
  std::vector<Ast::Program> rewritten;
  std::vector<Owner::Tables> tables;
  std::vector<Emit::SourceUnit> units;
  units.reserve(trees.size());
  if (program.using_rewrites.calls.empty()) {
    out.collector.add_all(program.ownership);
    tables = std::move(program.ownership_tables);
    for (std::size_t i = 0; i < trees.size(); ++i) units.push_back({trees[i].path, trees[i].tree, &tables[i]});
  } else {
    rewritten.reserve(trees.size());
    for (const Types::FileTree& file : trees)
      rewritten.push_back(Types::apply_using_rewrites(file.path, *file.tree, program.using_rewrites));
    tables.reserve(trees.size());
    for (std::size_t i = 0; i < trees.size(); ++i)
      tables.push_back(Owner::analyze(trees[i].path, rewritten[i], program.merged, out.collector));
    for (std::size_t i = 0; i < trees.size(); ++i) units.push_back({trees[i].path, &rewritten[i], &tables[i]});
  }
  Emit::EntryOk entry_ok = [&deps](const std::string& p) { return !in_dependency(deps, p); };
  if (check_only && out.collector.has_error()) return std::nullopt;
  prefer_huge_pages_for_image(source_bytes);
  return Emit::emit_image(entry_ok, program.merged, program.module_of, program.modules, out.collector, units);
}

// An image compile allocates and frees many large vectors (trees, tables,
// code, the image): keep them in the heap instead of fresh mappings that
// the kernel must zero on first touch and unmap on each free.
void keep_large_blocks_in_heap() {
  mallopt(M_MMAP_THRESHOLD, 256 << 20);
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
}

}  // namespace

ImageCompile compile_image(const DependencyList& deps, const std::string& path) {
  keep_large_blocks_in_heap();
  ImageCompile out;
  Emit::Image image = *lower_program(out, deps, path, false);
  out.has_entry = image.entry != Emit::none;
  out.image = Emit::write_image(std::move(image));
  Seal::append(out.image);  // every image this driver hands out is sealed
  return out;
}

ImageCompile check_program(const DependencyList& deps, const std::string& path) {
  keep_large_blocks_in_heap();
  ImageCompile out;
  std::optional<Emit::Image> image = lower_program(out, deps, path, true);
  out.has_entry = image && image->entry != Emit::none;
  return out;
}

namespace {

int finish(const ImageCompile& run) {
  std::fflush(stdout);
  std::string text = run.collector.render_all(run.lookup);
  if (!text.empty()) {
    text += '\n';
    std::fwrite(text.data(), 1, text.size(), stderr);
  }
  return run.collector.exit_code();
}

// Writes `bytes` to a temporary file beside `out` (0666 before the umask)
// and renames it over `out`, so no half-written image ever has that name.
std::string write_replacing(const std::string& out, const std::string& bytes) {
  std::string tmp = out + ".tmp" + std::to_string(getpid());
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (fd < 0) return out + ": " + std::strerror(errno);
  // Allocating the blocks up front reports a full disk (or quota) before any
  // byte is written, and spares the rename below: renaming over an existing
  // file makes some file systems allocate the new file's delayed blocks on
  // the spot. A file system without the call just writes as usual.
  if (!bytes.empty() && ::fallocate(fd, 0, 0, off_t(bytes.size())) != 0 &&
      (errno == ENOSPC || errno == EDQUOT || errno == EFBIG)) {
    std::string why = std::strerror(errno);
    ::close(fd);
    ::unlink(tmp.c_str());
    return out + ": " + why;
  }
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      std::string why = std::strerror(errno);
      ::close(fd);
      ::unlink(tmp.c_str());
      return out + ": " + why;
    }
    done += std::size_t(n);
  }
  if (::close(fd) != 0) {
    std::string why = std::strerror(errno);
    ::unlink(tmp.c_str());
    return out + ": " + why;
  }
  if (std::rename(tmp.c_str(), out.c_str()) != 0) {
    std::string why = std::strerror(errno);
    ::unlink(tmp.c_str());
    return out + ": " + why;
  }
  return {};
}

}  // namespace

int emit_mode(const std::string& path, const std::string& out) {
  ImageCompile run = compile_image({}, path);
  if (!run.collector.has_error()) {
    std::string problem = write_replacing(out, run.image);
    if (!problem.empty()) {
      finish(run);
      fail(problem);
    }
  }
  return finish(run);
}

int check_mode(const std::string& path) { return finish(check_program({}, path)); }

int dump_bc_mode(const std::string& path) {
  ImageCompile run = compile_image({}, path);
  if (!run.collector.has_error()) {
    std::string error = Disasm::dump_to(run.image, [](std::string_view piece) {
      std::fwrite(piece.data(), 1, piece.size(), stdout);
    });
    if (!error.empty()) {
      finish(run);
      fail("internal error: the emitted image does not read back: " + error);
    }
  }
  return finish(run);
}

}  // namespace Driver
