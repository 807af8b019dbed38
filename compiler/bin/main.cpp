// vkc: the velkan compiler. Reads the command line and runs one mode.
#include <pthread.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "command_line.hpp"
#include "modes.hpp"

namespace {

// The passes recurse over the syntax tree, whose depth the parser bounds
// (Parser::max_depth, which a long flat chain such as `1 + 1 + ... + 1`
// reaches one level per term). They run on a thread whose stack is sized for
// that bound in every pass, sanitizer builds included. The stack is only
// reserved: pages are committed as deep recursion touches them.
constexpr std::size_t pass_stack_bytes = std::size_t{1} << 30;

struct Run {
  std::vector<std::string> args;
  int status = 0;
};

void* run_mode(void* arg) {
  Run& run = *static_cast<Run*>(arg);
  Driver::Invocation inv = Driver::parse_command_line(run.args);
  run.status = Driver::run(inv);
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  static char out_buffer[1 << 16];
  std::setvbuf(stdout, out_buffer, _IOFBF, sizeof out_buffer);
  Run run{std::vector<std::string>(argv + 1, argv + argc)};

  pthread_attr_t attr;
  pthread_t thread;
  int err = pthread_attr_init(&attr);
  if (err == 0) err = pthread_attr_setstacksize(&attr, pass_stack_bytes);
  if (err == 0) err = pthread_create(&thread, &attr, run_mode, &run);
  if (err == 0) err = pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  if (err != 0) Driver::fail(std::string("cannot start the compiler thread: ") + std::strerror(err));

  // A dump cut short by a full disk or a closed pipe must not look like success.
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    Driver::fail(std::string("error writing standard output: ") + std::strerror(errno));
  }
  return run.status;
}
