#include "command_line.hpp"

#include <cstdio>
#include <cstdlib>

#include "lexer/lexer.hpp"

namespace Driver {

namespace {

constexpr const char* usage_text =
    "usage: vkc <path>\n"
    "usage: vkc <dir>              (builds when <dir>/vk.toml exists)\n"
    "usage: vkc --emit <path> -o <out.vkb>\n"
    "usage: vkc build <dir> -o <app> [--runtime <path>]\n"
    "usage: vkc run <path> [args...]  (compile, then run main with the args)\n"
    "usage: vkc help\n"
    "usage: vkc version\n"
    "usage: vkc --update-deps <dir>  (re-fetch [deps] at their manifest revs, rewrite vk.lock)\n"
    "usage: vkc --dump-tokens <path>\n"
    "usage: vkc --dump-ast <path>\n"
    "usage: vkc --dump-owner <path>\n"
    "usage: vkc --dump-gc <path>\n"
    "usage: vkc --dump-bc <path>\n"
    "\n"
    "Compiles velkan (.vk) source. <path> is a single .vk file or a\n"
    "directory: a directory is discovered recursively for every .vk file\n"
    "under it (dot-prefixed entries and target/data/node_modules are\n"
    "skipped, same as `vk run`), sorted by path so discovery order is\n"
    "deterministic. Multiple discovered files compile as one program \xE2\x80\x94\n"
    "declarations in one file are visible to bodies in another.\n"
    "\n"
    "With no flag, <path> is fully compiled (lexed, parsed, typechecked,\n"
    "ownership-checked) and nothing is printed on success; diagnostics,\n"
    "if any, print to stderr. One exception: a directory containing a\n"
    "vk.toml manifest is BUILT instead \xE2\x80\x94 `vkc .` inside a project (or\n"
    "`vkc path/to/project` from anywhere) reads the manifest's `name` plus\n"
    "the optional [build] runtime/target keys (paths relative to the\n"
    "manifest) and produces <target>/<name> exactly as `vkc build` would.\n"
    "\n"
    "--dump-tokens prints one line per lexed token to stdout, in source\n"
    "order (\"LINE:COL KIND\" or \"LINE:COL KIND(payload)\"), ending with\n"
    "EOF; lexing diagnostics, if any, print to stderr.\n"
    "\n"
    "--dump-ast prints the declaration- and body-level AST as an indented\n"
    "tree to stdout (class/type/interface/fn declarations, with real\n"
    "statement/expression parsing inside method and free-fn bodies);\n"
    "parsing diagnostics, if any, print to stderr.\n"
    "\n"
    "--dump-owner runs the lexer, parser, typechecker and ownership pass,\n"
    "then prints the ownership pass's four emitter tables to stdout in\n"
    "source order (moves, scope-end drops, @gc rc sites, residual borrow\n"
    "sites \xE2\x80\x94 see compiler/src/dump for the format); lexing, parsing,\n"
    "type and ownership (VK-E3xx) diagnostics print to stderr.\n"
    "\n"
    "--emit runs the whole pipeline and writes the `.vkb` v1 image named\n"
    "by -o (docs/plan/oop-vm/00-vkb-format.md). Every discovered file\n"
    "contributes to one image; the entry point is the zero-argument free\n"
    "fn `main`, if the program declares one. Nothing is written when any\n"
    "diagnostic is an error \xE2\x80\x94 bytecode for a program that does not compile\n"
    "is never produced.\n"
    "\n"
    "--dump-bc emits the same image and prints its disassembly to stdout\n"
    "(compiler/src/disasm). Unlike the other dumps it prints nothing\n"
    "when the compile is not clean: a disassembly of a program that failed\n"
    "to compile would be describing bytecode nobody may run.\n"
    "\n"
    "build compiles <dir> like --emit, then produces one self-contained\n"
    "executable at -o: the vkvm runtime binary (--runtime <path>; else\n"
    "$VK_RUNTIME, a `vkvm` beside this `vkc`, ../lib/velkan/vkvm from this\n"
    "`vkc`'s directory, or runtime/vkvm relative to the current directory)\n"
    "with the compiled .vkb image and a fixed-size trailer appended, so the\n"
    "result runs standalone with no separate .vkb file or argument (vkvm\n"
    "finds the embedded image via /proc/self/exe -- see docs/plan/oop-vm/00-vkb-format.md's\n"
    "\"single-binary trailer\" section). Nothing is written when the compile\n"
    "has diagnostics, when the program declares no zero-argument free fn\n"
    "named `main`, or when the runtime binary cannot be found.\n"
    "\n"
    "run compiles <path> (a file, a directory or a project) like --emit,\n"
    "keeps the image in memory and runs it on the runtime that build would\n"
    "use (a project's [deps] and build.runtime count). Every argument after\n"
    "<path> goes to the program's `main(args: multi Text)`; the exit status\n"
    "is the program's. Diagnostics print as for --emit, and nothing else\n"
    "is printed when the compile is clean.\n"
    "\n"
    "For a directory (or otherwise multi-file) path, every --dump-* flag\n"
    "prints each file's own dump in turn, separated by a header line \xE2\x80\x94 see\n"
    "compiler/src/dump's file_header doc comment.\n"
    "\n"
    "Exit codes: 0 clean, 1 diagnostics reported, 2 usage/IO failure.\n";

[[noreturn]] void usage() {
  std::fputs(usage_text, stderr);
  std::exit(2);
}

// Takes the `-D <flag>` pairs out of the arguments, wherever they stand,
// up to `run <path>`: what follows that belongs to the program.
std::vector<std::string> take_defines(const std::vector<std::string>& args, std::vector<std::string>& program_args) {
  std::vector<std::string> rest;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] != "-D") {
      rest.push_back(args[i]);
      if (rest.size() == 2 && rest[0] == "run") {
        program_args.assign(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
        break;
      }
      continue;
    }
    if (i + 1 == args.size() || args[i + 1].empty() || args[i + 1][0] == '-') {
      fail("-D needs a flag name (vkc -D portable ...)");
    }
    Lexer::defines.insert(args[++i]);
  }
  return rest;
}

}  // namespace

void fail(const std::string& message) {
  std::fflush(stdout);
  std::fprintf(stderr, "vkc: %s\n", message.c_str());
  std::exit(2);
}

Invocation parse_command_line(const std::vector<std::string>& all_args) {
  Invocation inv;
  std::vector<std::string> a = take_defines(all_args, inv.program_args);
  if (a.size() == 2 && a[0] == "run") {
    inv.mode = Mode::Run;
    inv.path = a[1];
    return inv;
  }
  if (a.size() == 1) {
    if (a[0] == "run") usage();
    if (a[0] == "help" || a[0] == "--help" || a[0] == "-h") {
      std::fputs(usage_text, stdout);
      std::exit(0);
    }
    if (a[0] == "version" || a[0] == "--version") {
      inv.mode = Mode::Version;
    } else {
      inv.mode = Mode::Check;
      inv.path = a[0];
    }
    return inv;
  }
  if (a.size() == 2) {
    static const std::pair<const char*, Mode> dumps[] = {
        {"--dump-tokens", Mode::DumpTokens}, {"--dump-ast", Mode::DumpAst}, {"--dump-owner", Mode::DumpOwner},
        {"--dump-gc", Mode::DumpGc},         {"--dump-bc", Mode::DumpBc},   {"--update-deps", Mode::UpdateDeps},
    };
    for (const auto& [flag, mode] : dumps) {
      if (a[0] == flag) {
        inv.mode = mode;
        inv.path = a[1];
        return inv;
      }
    }
    usage();
  }
  if (a.size() == 4 && a[0] == "--emit" && a[2] == "-o") {
    inv.mode = Mode::Emit;
    inv.path = a[1];
    inv.out = a[3];
    return inv;
  }
  if (a.size() == 4 && a[0] == "build" && a[2] == "-o") {
    inv.mode = Mode::Build;
    inv.path = a[1];
    inv.out = a[3];
    return inv;
  }
  if (a.size() == 6 && a[0] == "build" && a[2] == "-o" && a[4] == "--runtime") {
    inv.mode = Mode::Build;
    inv.path = a[1];
    inv.out = a[3];
    inv.runtime = a[5];
    return inv;
  }
  if (a.size() == 6 && a[0] == "build" && a[2] == "--runtime" && a[4] == "-o") {
    inv.mode = Mode::Build;
    inv.path = a[1];
    inv.runtime = a[3];
    inv.out = a[5];
    return inv;
  }
  usage();
}

}  // namespace Driver
