// vkc: the velkan compiler. Reads the command line and runs one mode.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "command_line.hpp"
#include "modes.hpp"

int main(int argc, char** argv) {
  static char out_buffer[1 << 16];
  std::setvbuf(stdout, out_buffer, _IOFBF, sizeof out_buffer);
  std::vector<std::string> args(argv + 1, argv + argc);
  Driver::Invocation inv = Driver::parse_command_line(args);
  int status = Driver::run(inv);
  // A dump cut short by a full disk or a closed pipe must not look like success.
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    Driver::fail(std::string("error writing standard output: ") + std::strerror(errno));
  }
  return status;
}
