// The .vkb inputs of the vkdis golden cases are made by the writer. This test
// checks that the committed files are still exactly what the writer makes;
// with VK_UPDATE_VKDIS_INPUTS=1 it writes them instead.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "image_samples.hpp"

namespace {

using namespace Emit;
namespace fs = std::filesystem;

void put_u32(std::string& bytes, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) bytes.at(at + i) = static_cast<char>(v >> (8 * i));
}

std::uint32_t u32_at(const std::string& bytes, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(bytes.at(at + i));
  return v;
}

// An image with one two-instruction method, whose entry starts at the method offset.
std::string one_method() {
  Image image;
  ConstPool pool;
  MethodEntry m;
  m.name = pool.const_text("main");
  m.code = {abc(Op::RET0, 0, 0, 0), abc(Op::NOP, 0, 0, 0)};
  image.methods = {m};
  image.constants = pool.entries();
  image.entry = 0;
  return write_image(image);
}

struct Input {
  const char* case_name;
  const char* file;
  std::function<std::string()> bytes;
};

std::vector<Input> inputs() {
  return {
      {"program", "program.vkb", [] { return write_image(Samples::program()); }},
      {"every_instruction", "every.vkb", [] { return write_image(Samples::all_instructions()); }},
      {"empty", "empty.vkb", [] { return write_image(Samples::empty()); }},
      {"bad_magic", "bad.vkb", [] { return std::string("VKB0\x06\0\0\0", 8); }},
      {"unsupported_version", "v7.vkb",
       [] {
         std::string b = write_image(Samples::program());
         put_u32(b, 4, 7);
         return b;
       }},
      {"truncated", "cut.vkb", [] { return write_image(Samples::program()).substr(0, 300); }},
      {"huge_counts", "huge.vkb",
       [] {  // 50 bytes claiming 2^32-1 Int constants
         std::string b = write_image(Samples::empty()).substr(0, 44) + std::string(6, '\0');
         put_u32(b, 12, 0xFFFFFFFF);
         return b;
       }},
      {"unknown_tag", "tag.vkb",
       [] {
         std::string b = write_image(Samples::program());
         b.at(44 + 5 + 4) = 9;  // constant 1 follows the 9 bytes of "Node"
         return b;
       }},
      {"text_overrun", "text.vkb",
       [] {
         std::string b = write_image(Samples::program());
         put_u32(b, 45, 0x7FFFFFFF);
         return b;
       }},
      {"odd_code_length", "odd.vkb",
       [] {
         std::string b = one_method();
         put_u32(b, u32_at(b, 32) + 12, 6);
         return b;
       }},
      {"reserved_field", "reserved.vkb",
       [] {
         std::string b = one_method();
         put_u32(b, u32_at(b, 32) + 12, 6);
         b.at(u32_at(b, 32) + 10) = 1;
         return b;
       }},
  };
}

fs::path vkdis_cases() {
  return fs::path(VK_SOURCE_ROOT) / "tests" / "golden" / "vkdis";
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(DisasmGoldenInputs, MatchTheWriter) {
  bool update = std::getenv("VK_UPDATE_VKDIS_INPUTS") != nullptr;
  if (!fs::exists(vkdis_cases())) GTEST_SKIP() << "no golden tree beside the sources";
  for (const Input& input : inputs()) {
    fs::path path = vkdis_cases() / input.case_name / "in" / input.file;
    std::string bytes = input.bytes();
    if (update) {
      fs::create_directories(path.parent_path());
      std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    }
    EXPECT_EQ(read_file(path), bytes) << path;
  }
}

}  // namespace
