// vkdis FILE.vkb: prints the bytecode listing of an image file.
// Exit status 0 with the listing on standard output; 2 with one line
// "vkdis: <message>" on standard error when the file cannot be read or the
// image is malformed, or with the usage line for wrong arguments.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "disasm/disasm.hpp"

namespace {

int fail(const std::string& message) {
  std::fprintf(stderr, "vkdis: %s\n", message.c_str());
  return 2;
}

// The whole file, or the system's reason why it cannot be read.
std::optional<std::string> read_file(const char* path, std::string& error) {
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) {
    error = std::string(path) + ": " + std::strerror(errno);
    return std::nullopt;
  }
  std::string bytes;
  char chunk[65536];
  std::size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes.append(chunk, got);
  bool failed = std::ferror(file) != 0;
  int saved = errno;
  std::fclose(file);
  if (failed) {
    error = std::string(path) + ": " + std::strerror(saved);
    return std::nullopt;
  }
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: vkdis FILE.vkb\n", stderr);
    return 2;
  }
  std::string error;
  std::optional<std::string> image = read_file(argv[1], error);
  if (!image) return fail(error);
  // Written as it is made: a small image can name one long text many times.
  std::string bad = Disasm::dump_to(*image, [](std::string_view piece) {
    std::fwrite(piece.data(), 1, piece.size(), stdout);
  });
  if (!bad.empty()) return fail(bad);
  return std::fflush(stdout) == 0 && std::ferror(stdout) == 0 ? 0 : fail("cannot write the listing");
}
