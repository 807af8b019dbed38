// Runs the golden cases: tests/golden/<area>/<case>/ holds `args` (one
// argument per line), `in/` (the inputs, copied to a fresh temporary
// directory that becomes the current directory), an optional `tool` (the
// program to run, default vkc) and the expected `stdout`, `stderr` and
// `status`. With --update the expectations are rewritten from the actual run.
//
// Instead of `args`, a case may hold `script`: a shell script run by /bin/sh
// in the work directory, for cases that chain commands (emit, then run the
// image; build, then run the executable). An optional `setup` script runs
// first (its output is discarded; a failing setup fails the case). Both see
// BIN_DIR, VKC, VKVM and VKDIS in the environment and BIN_DIR first on PATH.
//
// --leak-allow FILE names cases ("area/case: reason" per line, `#` starts a
// comment) whose leaks are known and owned by an open fault: they run with
// LeakSanitizer off, every other case as the environment says. --skip FILE
// (same format) leaves the listed cases out, for runs under a mode some
// cases are not made for (a collection at every allocation makes the
// largest ones run for minutes).
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int timeout_seconds = 120;

struct Options {
  fs::path bin_dir;
  fs::path root;
  bool update = false;
  std::vector<std::string> leak_allowed;  // "area/case" names
  std::vector<std::string> skipped;       // "area/case" names
  std::vector<std::string> filters;  // prefixes of "area/case"
};

struct Outcome {
  std::string out;
  std::string err;
  std::string status;  // "0\n", or "timeout\n" / "signal N\n"
};

std::string read_all(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_all(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

std::vector<std::string> read_lines(const fs::path& path) {
  std::vector<std::string> lines;
  std::ifstream in(path, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

// Gives the scripts of a case the tools of the build under test.
void export_tool_environment(const Options& opt) {
  std::string bin = opt.bin_dir.string();
  setenv("BIN_DIR", bin.c_str(), 1);
  setenv("VKC", (bin + "/vkc").c_str(), 1);
  setenv("VKVM", (bin + "/vkvm").c_str(), 1);
  setenv("VKDIS", (bin + "/vkdis").c_str(), 1);
  const char* path = std::getenv("PATH");
  setenv("PATH", (bin + ":" + (path ? path : "/usr/bin:/bin")).c_str(), 1);
}

// Runs the case's `setup` script, if any; false when it fails.
bool run_setup(const fs::path& case_dir, const fs::path& work) {
  if (!fs::exists(case_dir / "setup")) return true;
  std::string command = "cd '" + work.string() + "' && /bin/sh '" + (case_dir / "setup").string() +
                        "' >/dev/null 2>&1 </dev/null";
  return std::system(command.c_str()) == 0;
}

// The cases of a list file: the name before the colon of each line.
std::vector<std::string> read_case_list(const fs::path& path) {
  std::vector<std::string> names;
  for (const std::string& line : read_lines(path)) {
    if (line.empty() || line[0] == '#') continue;
    names.push_back(line.substr(0, line.find(':')));
  }
  return names;
}

Outcome run_case(const Options& opt, const fs::path& case_dir, const fs::path& work, const fs::path& capture,
                 bool leaks_allowed) {
  std::string tool = fs::exists(case_dir / "tool") ? read_lines(case_dir / "tool").at(0) : "vkc";
  std::string program = (opt.bin_dir / tool).string();
  std::vector<std::string> args;
  if (fs::exists(case_dir / "script")) {
    program = "/bin/sh";
    args = {(case_dir / "script").string()};
  } else {
    args = read_lines(case_dir / "args");
  }
  std::vector<char*> argv;
  argv.push_back(program.data());
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  fs::path out_path = capture / "stdout", err_path = capture / "stderr";

  pid_t pid = fork();
  if (pid == 0) {
    int in = open("/dev/null", O_RDONLY);
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0 || chdir(work.c_str()) != 0) _exit(127);
    if (leaks_allowed) {
      const char* asan = std::getenv("ASAN_OPTIONS");
      std::string options = std::string(asan ? asan : "") + (asan && *asan ? ":" : "") + "detect_leaks=0";
      setenv("ASAN_OPTIONS", options.c_str(), 1);
    }
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  Outcome result;
  int wstatus = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  for (;;) {
    pid_t done = waitpid(pid, &wstatus, WNOHANG);
    if (done == pid) break;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &wstatus, 0);
      result.status = "timeout\n";
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (result.status.empty()) {
    if (WIFEXITED(wstatus)) {
      result.status = std::to_string(WEXITSTATUS(wstatus)) + "\n";
    } else {
      result.status = "signal " + std::to_string(WTERMSIG(wstatus)) + "\n";
    }
  }
  result.out = read_all(out_path);
  result.err = read_all(err_path);
  return result;
}

// The first line where two texts differ, for the failure report.
std::string first_difference(const std::string& expected, const std::string& actual) {
  std::istringstream e(expected), a(actual);
  std::string el, al;
  for (int line = 1;; ++line) {
    bool has_e = static_cast<bool>(std::getline(e, el));
    bool has_a = static_cast<bool>(std::getline(a, al));
    if (!has_e && !has_a) return "    (differs only in the final line feed)\n";
    if (!has_e || !has_a || el != al) {
      return "    line " + std::to_string(line) + "\n    expected: " + (has_e ? el : "<end>") +
             "\n    actual:   " + (has_a ? al : "<end>") + "\n";
    }
  }
}

bool selected(const Options& opt, const std::string& name) {
  if (opt.filters.empty()) return true;
  return std::any_of(opt.filters.begin(), opt.filters.end(),
                     [&](const std::string& f) { return name.compare(0, f.size(), f) == 0; });
}

int usage() {
  std::cerr << "usage: golden_runner --bin-dir DIR --root DIR [--update] [--leak-allow FILE] [--skip FILE] [AREA/ | AREA/CASE ...]\n"
               "Runs the golden cases under ROOT whose area/case name starts with one of the\n"
               "filters (all when none); --update rewrites their stdout, stderr and status.\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--bin-dir" && i + 1 < argc) {
      opt.bin_dir = fs::absolute(argv[++i]);
    } else if (a == "--root" && i + 1 < argc) {
      opt.root = fs::absolute(argv[++i]);
    } else if (a == "--update") {
      opt.update = true;
    } else if (a == "--leak-allow" && i + 1 < argc) {
      opt.leak_allowed = read_case_list(argv[++i]);
    } else if (a == "--skip" && i + 1 < argc) {
      opt.skipped = read_case_list(argv[++i]);
    } else if (a == "--help" || a.starts_with("--")) {
      return usage();
    } else {
      opt.filters.push_back(a);
    }
  }
  if (opt.bin_dir.empty() || opt.root.empty()) return usage();
  export_tool_environment(opt);

  std::vector<fs::path> cases;
  for (const auto& area : fs::directory_iterator(opt.root)) {
    if (!area.is_directory()) continue;
    for (const auto& c : fs::directory_iterator(area.path())) {
      if (fs::exists(c.path() / "args") || fs::exists(c.path() / "script")) cases.push_back(c.path());
    }
  }
  std::sort(cases.begin(), cases.end());

  fs::path scratch = fs::temp_directory_path() / ("vk-golden-" + std::to_string(getpid()));
  int passed = 0, failed = 0;
  for (const fs::path& case_dir : cases) {
    std::string name = case_dir.parent_path().filename().string() + "/" + case_dir.filename().string();
    if (!selected(opt, name)) continue;
    if (std::find(opt.skipped.begin(), opt.skipped.end(), name) != opt.skipped.end()) continue;
    fs::path work = scratch / "work", capture = scratch / "capture";
    fs::remove_all(scratch);
    fs::create_directories(work);
    fs::create_directories(capture);
    if (fs::exists(case_dir / "in")) {
      fs::copy(case_dir / "in", work, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    }
    if (!run_setup(case_dir, work)) {
      ++failed;
      std::cout << "FAIL " << name << "\n  setup failed\n";
      continue;
    }
    bool leaks_allowed =
        std::find(opt.leak_allowed.begin(), opt.leak_allowed.end(), name) != opt.leak_allowed.end();
    Outcome got = run_case(opt, case_dir, work, capture, leaks_allowed);
    if (opt.update) {
      write_all(case_dir / "stdout", got.out);
      write_all(case_dir / "stderr", got.err);
      write_all(case_dir / "status", got.status);
      std::cout << "updated " << name << "\n";
      ++passed;
      continue;
    }
    std::string report;
    const std::pair<const char*, const std::string*> parts[] = {
        {"stdout", &got.out}, {"stderr", &got.err}, {"status", &got.status}};
    for (const auto& [file, actual] : parts) {
      std::string expected = fs::exists(case_dir / file) ? read_all(case_dir / file) : "";
      if (expected != *actual) report += "  " + std::string(file) + " differs\n" + first_difference(expected, *actual);
    }
    if (report.empty()) {
      ++passed;
    } else {
      ++failed;
      std::cout << "FAIL " << name << "\n" << report;
    }
  }
  fs::remove_all(scratch);
  std::cout << passed << " passed, " << failed << " failed\n";
  return failed == 0 ? 0 : 1;
}
