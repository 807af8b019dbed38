// Every program that uses tables, union variants, actors or the JSON decode
// (the bundled examples and the table-lowering golden inputs) compiles
// clean, and its image reads back and passes the execution checks.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "disasm/disasm.hpp"
#include "emit_tables_pipeline.hpp"

namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

fs::path repo() { return fs::path(VK_SOURCE_ROOT); }

void expect_clean_image(const fs::path& file) {
  SCOPED_TRACE(file.string());
  CompiledFile c(read_file(file), file.filename().string());
  ASSERT_FALSE(c.collector.has_error()) << c.diagnostics();
  Disasm::Read back = Disasm::read(c.image);
  ASSERT_TRUE(back.ok()) << back.error;
  EXPECT_EQ(Disasm::verify(back.image), "");
  EXPECT_EQ(Emit::write_image(back.image), c.image);
}

TEST(EmitTablesImages, ExamplesReadBackAndVerify) {
  int seen = 0;
  for (const auto& entry : fs::directory_iterator(repo() / "examples")) {
    if (entry.path().extension() != ".vk") continue;  // directories are multi-file programs
    expect_clean_image(entry.path());
    ++seen;
  }
  EXPECT_GT(seen, 3);
}

TEST(EmitTablesImages, GoldenInputsReadBackAndVerify) {
  int seen = 0;
  for (const auto& entry : fs::recursive_directory_iterator(repo() / "tests" / "golden" / "bc_tables")) {
    if (entry.path().extension() != ".vk") continue;
    if (entry.path().filename() == "cannot_lower.vk") continue;  // refused on purpose
    expect_clean_image(entry.path());
    ++seen;
  }
  EXPECT_GE(seen, 8);
}

// A refused construct still leaves a complete, well-formed image behind
// (the driver withholds it): Int 0 stands in for each refused value.
TEST(EmitTablesImages, RefusedConstructsLeaveAWellFormedImage) {
  CompiledFile c(read_file(repo() / "tests" / "golden" / "bc_tables" / "cannot_lower" / "in" / "cannot_lower.vk"));
  EXPECT_TRUE(c.collector.has_error());
  Disasm::Read back = Disasm::read(c.image);
  ASSERT_TRUE(back.ok()) << back.error;
  EXPECT_EQ(Disasm::verify(back.image), "");
}

}  // namespace
