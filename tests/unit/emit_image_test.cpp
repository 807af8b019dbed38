// Images the emitter writes: every program of the test inputs and examples
// that compiles cleanly reads back, passes the loader's execution checks and
// round-trips; and the parts of an image the listing does not show (field
// metas, table indexes, entry, constant order) are what the runtime expects.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "emit_test_pipeline.hpp"

namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Every single-file program under the golden inputs and the examples.
std::vector<fs::path> program_files() {
  std::vector<fs::path> out;
  fs::path root = fs::path(VK_SOURCE_ROOT);
  for (const char* dir : {"tests/golden", "examples"}) {
    if (!fs::exists(root / dir)) continue;
    for (const auto& e : fs::recursive_directory_iterator(root / dir)) {
      if (e.path().extension() != ".vk" || !e.is_regular_file()) continue;
      // Files of a multi-file program are compiled with their modules, not alone.
      std::size_t siblings = 0;
      for (const auto& s : fs::directory_iterator(e.path().parent_path()))
        if (s.path().extension() == ".vk" || s.is_directory()) ++siblings;
      if (siblings == 1) out.push_back(e.path());
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

TEST(EmitImage, EveryCleanProgramReadsBackAndPassesTheExecutionChecks) {
  int clean = 0;
  for (const fs::path& p : program_files()) {
    std::string text = read_file(p);
    if (text.size() > 200000) continue;
    EmittedProgram prog(text);
    if (prog.has_error()) continue;
    ++clean;
    SCOPED_TRACE(p.string());
    Disasm::Read back = Disasm::read(prog.bytes);
    ASSERT_TRUE(back.ok()) << back.error;
    EXPECT_EQ(back.image, prog.image);
    // Writing an image while freeing it gives the same bytes.
    EXPECT_EQ(Emit::write_image(Emit::Image(prog.image)), prog.bytes);
    EXPECT_EQ(Disasm::verify(back.image), "");
    EXPECT_TRUE(Disasm::dump(prog.bytes).ok());
  }
  EXPECT_GT(clean, 20);
}

TEST(EmitImage, FieldMetasKindsAndPadding) {
  EmittedProgram prog(R"(
class Foo {
  n: Int
}
class Holder {
  f: ?Float
  b: ?Bool
  i: ?Int
  flag: Bool
  m: map<Text, Int>
  foos: multi Foo
  one: ?Foo
  r: ref Foo
  t: Text
}
fn main() {
  print("x")
}
)");
  ASSERT_FALSE(prog.has_error()) << prog.messages();
  ASSERT_EQ(prog.image.classes.size(), 2u);
  const Emit::ClassEntry& h = prog.image.classes[1];
  ASSERT_EQ(h.fields.size(), 9u);
  EXPECT_EQ(h.fields[0].kind, Emit::FieldKind::FLOAT);
  EXPECT_EQ(h.fields[0].class_meta, Emit::meta_nullable_float);
  EXPECT_EQ(h.fields[1].class_meta, Emit::meta_nullable_bool);
  EXPECT_EQ(h.fields[2].class_meta, Emit::meta_nullable_scalar);
  EXPECT_EQ(h.fields[3].class_meta, Emit::meta_bool);
  EXPECT_EQ(h.fields[4].kind, Emit::FieldKind::MAP);
  EXPECT_EQ(h.fields[4].elem_meta, 0x03u);
  EXPECT_EQ(h.fields[5].kind, Emit::FieldKind::MULTI);
  EXPECT_EQ(h.fields[5].elem_meta, 1u);
  EXPECT_EQ(h.fields[5].class_meta, 0u);
  EXPECT_EQ(h.fields[6].kind, Emit::FieldKind::OWNED);
  EXPECT_EQ(h.fields[6].class_meta, 0u);
  // `?Foo` may be nil: the nullable bit; scalars keep it in the class meta.
  EXPECT_EQ(h.fields[6].elem_meta, Emit::elem_meta_nullable);
  EXPECT_EQ(h.fields[0].elem_meta, 0u);
  EXPECT_EQ(h.fields[2].elem_meta, 0u);
  EXPECT_EQ(h.fields[8].elem_meta, 0u);
  EXPECT_EQ(h.fields[7].class_meta, 0u);
  EXPECT_EQ(h.fields[8].kind, Emit::FieldKind::TEXT);
  EXPECT_EQ(h.fields[8].class_meta, Emit::none);
  // Constants start with the class names, then the field names.
  ASSERT_GE(prog.image.constants.size(), 4u);
  EXPECT_EQ(prog.image.constants[0].text, "Foo");
  EXPECT_EQ(prog.image.constants[1].text, "Holder");
  EXPECT_EQ(prog.image.constants[2].text, "n");
  EXPECT_EQ(prog.image.constants[3].text, "f");
}

TEST(EmitImage, TableIndexesInClassOrder) {
  EmittedProgram prog(R"(
@table(name: "people", index: [city, age])
type Person {
  email: Text @unique
  city: Text
  age: Int
}
fn main() {
  print("x")
}
)");
  ASSERT_FALSE(prog.has_error()) << prog.messages();
  const Emit::ClassEntry& p = prog.image.classes.at(0);
  ASSERT_EQ(p.indexes.size(), 2u);
  EXPECT_TRUE(p.indexes[0].unique);
  EXPECT_EQ(p.indexes[0].slots, std::vector<std::uint32_t>{0});
  EXPECT_FALSE(p.indexes[1].unique);
  EXPECT_EQ(p.indexes[1].slots, (std::vector<std::uint32_t>{1, 2}));
}

TEST(EmitImage, EntryRules) {
  const char* with_args = "fn main(args: multi Text) {\n  print(\"x\")\n}\n";
  EXPECT_EQ(EmittedProgram(with_args).image.entry, 0u);
  // A `main` taking anything else is an ordinary function.
  EXPECT_EQ(EmittedProgram("fn main(n: Int) {\n  print_int(n)\n}\n").image.entry, Emit::none);
  EXPECT_EQ(EmittedProgram("fn helper() {\n  print(\"x\")\n}\n").image.entry, Emit::none);
  // A file the entry filter refuses (a dependency's) never gives the entry.
  EXPECT_EQ(EmittedProgram(with_args, false).image.entry, Emit::none);
  std::string bytes = EmittedProgram("fn helper() {\n  print(\"x\")\n}\n").bytes;
  EXPECT_EQ(bytes.substr(40, 4), std::string(4, '\xff'));
}

// A method's code: its mnemonics in order, one per instruction.
std::string ops_of(const Emit::Image& image, std::size_t method) {
  std::string out;
  for (std::uint32_t w : image.methods.at(method).code) {
    const Emit::OpInfo* info = Emit::op_info(Emit::op_of(w));
    out += info ? std::string(info->mnemonic) : "?";
    out += ' ';
  }
  return out;
}

TEST(EmitImage, LongOperatorChainsUseConstantRegisters) {
  std::string sum = "1";
  for (int i = 0; i < 300; ++i) sum += " + 1";
  EmittedProgram prog("fn f() -> Int {\n  return " + sum + "\n}\nfn main() {\n  print_int(f())\n}\n");
  ASSERT_FALSE(prog.has_error()) << prog.messages();
  EXPECT_LE(prog.image.methods[0].regs, 4);
  EXPECT_EQ(prog.image.methods[0].code.size(), 301u + 300u + 1u);
}

TEST(EmitImage, EmptyBodyIsOneRet0AndReturnGetsNoExtra) {
  EmittedProgram prog("fn a() {\n}\nfn b(x: Int) -> Int {\n  return x\n}\nfn main() {\n  a()\n}\n");
  ASSERT_FALSE(prog.has_error()) << prog.messages();
  EXPECT_EQ(ops_of(prog.image, 0), "RET0 ");
  EXPECT_EQ(ops_of(prog.image, 1), "RET ");
}

}  // namespace
