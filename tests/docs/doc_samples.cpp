// Runs every velkan sample of the markdown guides and checks what it prints.
//
//   doc_samples --vkc <vkc> <file.md>...
//
// A sample is one or more fenced blocks whose info string is `vk` (the file
// main.vk) or names a file (`vk file=shapes/area.vk`, `toml file=vk.toml`),
// closed by the block that says what running it gives:
//   ```output   the exact standard output of `vkc run main.vk` (of `vkc run .`
//               for a sample of several files); status 0, nothing
//               on standard error
//   ```error    the exact standard error (diagnostics or a runtime fault);
//               status 1, nothing on standard output
// An optional ```stdin block before it is the program's standard input. A
// `vk` block that no `output` or `error` block closes is a failure: no sample
// goes unchecked.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Block {
  std::string info;  // the fence's info string, e.g. "vk file=a.vk"
  std::string body;
  int line = 0;      // of the opening fence
};

std::vector<Block> read_blocks(const std::string& text) {
  std::vector<Block> blocks;
  std::istringstream in(text);
  std::string line;
  int number = 0;
  Block* open = nullptr;
  while (std::getline(in, line)) {
    ++number;
    if (line.rfind("```", 0) == 0) {
      if (open) {
        open = nullptr;
      } else {
        blocks.push_back({line.substr(3), "", number});
        open = &blocks.back();
      }
      continue;
    }
    if (open) open->body += line + "\n";
  }
  return blocks;
}

// The file a block writes into the sample, or empty when it writes none.
std::string file_of(const Block& b) {
  std::size_t at = b.info.find("file=");
  if (at != std::string::npos) return b.info.substr(at + 5);
  return b.info == "vk" ? "main.vk" : "";
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

struct Outcome {
  std::string out, err;
  int status = -1;
};

// `vkc run <target>` in `dir`, with `input` on standard input.
Outcome run_sample(const std::string& vkc, const fs::path& dir, const std::string& target, const std::string& input) {
  fs::path in = dir / ".stdin", out = dir / ".stdout", err = dir / ".stderr";
  std::ofstream(in, std::ios::binary) << input;
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(dir.c_str()) != 0) _exit(127);
    int i = open(".stdin", O_RDONLY), o = open(".stdout", O_WRONLY | O_CREAT | O_TRUNC, 0644),
        e = open(".stderr", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (i < 0 || o < 0 || e < 0) _exit(127);
    dup2(i, 0);
    dup2(o, 1);
    dup2(e, 2);
    alarm(60);  // a sample that hangs fails instead of stopping the suite
    execl(vkc.c_str(), vkc.c_str(), "run", target.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  Outcome r;
  r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  r.out = read_file(out);
  r.err = read_file(err);
  return r;
}

void show_difference(const char* what, const std::string& expected, const std::string& actual) {
  std::cerr << "  expected " << what << ":\n" << expected << "  actual " << what << ":\n" << actual;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4 || std::string(argv[1]) != "--vkc") {
    std::cerr << "usage: doc_samples --vkc <vkc> <file.md>...\n";
    return 2;
  }
  std::string vkc = fs::absolute(argv[2]).string();
  int samples = 0, failures = 0;
  for (int a = 3; a < argc; ++a) {
    std::string doc = argv[a];
    std::vector<Block> blocks = read_blocks(read_file(doc));
    std::vector<const Block*> files;
    std::string input;
    for (const Block& b : blocks) {
      if (!file_of(b).empty()) {
        files.push_back(&b);
        continue;
      }
      if (b.info == "stdin") {
        input = b.body;
        continue;
      }
      if (b.info != "output" && b.info != "error") continue;
      if (files.empty()) {
        std::cerr << doc << ":" << b.line << ": an `" << b.info << "` block without a sample before it\n";
        ++failures;
        continue;
      }
      ++samples;
      fs::path dir = fs::temp_directory_path() / ("doc_sample_" + std::to_string(getpid()) + "_" +
                                                  std::to_string(samples));
      fs::remove_all(dir);
      for (const Block* f : files) {
        fs::path path = dir / file_of(*f);
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << f->body;
      }
      // A lone main.vk is run by name, so diagnostics say `main.vk:3:5`.
      bool lone = files.size() == 1 && file_of(*files.front()) == "main.vk";
      Outcome got = run_sample(vkc, dir, lone ? "main.vk" : ".", input);
      bool ok = b.info == "output" ? got.status == 0 && got.err.empty() && got.out == b.body
                                   : got.status == 1 && got.out.empty() && got.err == b.body;
      if (!ok) {
        ++failures;
        std::cerr << doc << ":" << files.front()->line << ": sample gives status " << got.status << "\n";
        show_difference("standard output", b.info == "output" ? b.body : "", got.out);
        show_difference("standard error", b.info == "error" ? b.body : "", got.err);
      }
      fs::remove_all(dir);
      files.clear();
      input.clear();
    }
    if (!files.empty()) {
      std::cerr << doc << ":" << files.front()->line << ": a sample without an `output` or `error` block\n";
      ++failures;
    }
  }
  std::cout << samples << " sample(s), " << failures << " failure(s)\n";
  return failures == 0 ? 0 : 1;
}
