// vktwin: writes one generated program twice, as velkan and as Lua 5.4, so
// that checking it with vkc can be timed against `luac5.4 -o` on the same
// program. Each function is about twenty lines of lets, arithmetic, text
// building, if/else, a while loop, a record constructor and calls.
//
//   vktwin --lines N [--modules M --files F] OUT_VK OUT_LUA
//
// Without --modules, OUT_VK and OUT_LUA are files. With them, both are
// directories: M modules of F files each (velkan: one directory per module,
// `use` of the previous module and a call of its `pub` entry; Lua: the same
// files, global functions), and a root main file.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace {

constexpr int lines_per_fn = 20;  // velkan lines of one generated function with its record

struct Out {
  std::string vk;
  std::string lua;
};

// One function `name` (and its record), calling `callee` when not empty.
void function(Out& out, const std::string& name, const std::string& callee, bool pub, int k) {
  const std::string rec = "R_" + name;
  const std::string c = std::to_string(k % 97 + 3);
  out.vk += "type " + rec + " {\n  label: Text\n  count: Int\n}\n";
  out.vk += std::string(pub ? "pub " : "") + "fn " + name + "(a: Int, b: Int) -> Int {\n";
  out.vk += "  let x = a * " + c + " + b\n";
  out.vk += "  let t = \"n\" .. int_to_text(x) .. \"-\" .. int_to_text(b)\n";
  out.vk += "  if x > " + c + " {\n    x = x - 7\n  } else {\n    x = x + 2\n  }\n";
  out.vk += "  let i = 0\n  while i < 4 {\n    x = x + i * 2\n    i = i + 1\n  }\n";
  out.vk += "  let r = " + rec + " { label: t, count: x }\n";
  out.vk += "  return " + (callee.empty() ? std::string("r.count") : callee + "(x, r.count)") + " + len(r.label)\n}\n";

  out.lua += "function " + name + "(a, b)\n";
  out.lua += "  local x = a * " + c + " + b\n";
  out.lua += "  local t = \"n\" .. tostring(x) .. \"-\" .. tostring(b)\n";
  out.lua += "  if x > " + c + " then\n    x = x - 7\n  else\n    x = x + 2\n  end\n";
  out.lua += "  local i = 0\n  while i < 4 do\n    x = x + i * 2\n    i = i + 1\n  end\n";
  out.lua += "  local r = { label = t, count = x }\n";
  out.lua += "  return " + (callee.empty() ? std::string("r.count") : callee + "(x, r.count)") + " + #r.label\nend\n";
}

// A file of `count` functions prefix_0 .. prefix_{count-1}, each calling the
// one before; the first calls `first_callee` (may be empty).
Out file_of(const std::string& prefix, int count, const std::string& first_callee, bool pub_last) {
  Out out;
  out.vk.reserve(static_cast<std::size_t>(count) * 700);
  out.lua.reserve(static_cast<std::size_t>(count) * 500);
  for (int k = 0; k < count; ++k) {
    std::string callee = k == 0 ? first_callee : prefix + "_" + std::to_string(k - 1);
    function(out, prefix + "_" + std::to_string(k), callee, pub_last && k == count - 1, k);
  }
  return out;
}

void write(const std::filesystem::path& path, const std::string& text) {
  std::filesystem::create_directories(path.parent_path().empty() ? "." : path.parent_path());
  std::ofstream f(path, std::ios::binary);
  f << text;
  if (!f) {
    std::fprintf(stderr, "vktwin: cannot write %s\n", path.c_str());
    std::exit(2);
  }
}

std::string module_name(int m) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "m%03d", m);
  return buf;
}

int usage() {
  std::fprintf(stderr, "usage: vktwin --lines N [--modules M --files F] OUT_VK OUT_LUA\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  long lines = 0;
  int modules = 0;
  int files = 0;
  std::string out_vk;
  std::string out_lua;
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    if (a == "--lines" && i + 1 < argc) {
      lines = std::atol(argv[++i]);
    } else if (a == "--modules" && i + 1 < argc) {
      modules = std::atoi(argv[++i]);
    } else if (a == "--files" && i + 1 < argc) {
      files = std::atoi(argv[++i]);
    } else if (out_vk.empty()) {
      out_vk = a;
    } else if (out_lua.empty()) {
      out_lua = a;
    } else {
      return usage();
    }
  }
  if (lines <= 0 || out_lua.empty() || (modules > 0) != (files > 0)) return usage();
  const long fns = lines / lines_per_fn + 1;

  if (modules == 0) {
    Out out = file_of("f", static_cast<int>(fns), "", false);
    out.vk += "fn main() {\n  print_int(f_" + std::to_string(fns - 1) + "(1, 2))\n}\n";
    out.lua += "print(f_" + std::to_string(fns - 1) + "(1, 2))\n";
    write(out_vk, out.vk);
    write(out_lua, out.lua);
    return 0;
  }

  const int per_file = static_cast<int>(fns / (static_cast<long>(modules) * files)) + 1;
  std::string previous_entry;  // the last module's `pub` entry
  for (int m = 0; m < modules; ++m) {
    const std::string mod = module_name(m);
    std::string entry;
    for (int f = 0; f < files; ++f) {
      const std::string prefix = mod + "_f" + std::to_string(f);
      // The first file of a module calls the previous module's entry, the
      // last one exports this module's.
      bool first = f == 0 && !previous_entry.empty();
      Out out = file_of(prefix, per_file, first ? previous_entry : "", f == files - 1);
      if (first) out.vk = "use " + module_name(m - 1) + "\n" + out.vk;
      write(std::filesystem::path(out_vk) / mod / (prefix + ".vk"), out.vk);
      write(std::filesystem::path(out_lua) / mod / (prefix + ".lua"), out.lua);
      if (f == files - 1) entry = prefix + "_" + std::to_string(per_file - 1);
    }
    previous_entry = entry;
  }
  write(std::filesystem::path(out_vk) / "main.vk",
        "use " + module_name(modules - 1) + "\nfn main() {\n  print_int(" + previous_entry + "(1, 2))\n}\n");
  write(std::filesystem::path(out_lua) / "main.lua", "print(" + previous_entry + "(1, 2))\n");
  return 0;
}
