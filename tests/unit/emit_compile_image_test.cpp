// Image compilation with dependency checkouts: `use` paths inside a
// dependency are its own, project files may not import a dependency's
// `internal` modules, and a dependency's `main` never becomes the entry.
// The driver is not a library: its image compile and front end are compiled
// in here (whole-program assembly comes with the assembly tests).
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "../../compiler/bin/command_line.cpp"
#include "../../compiler/bin/discovery.cpp"
#include "../../compiler/bin/front_end.cpp"
#include "../../compiler/bin/image_compile.cpp"

namespace {

namespace fs = std::filesystem;

class CompileImage : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("vk-image-" + std::to_string(::getpid()));
    fs::create_directories(root_ / "app");
    fs::create_directories(root_ / "deps" / "lib" / "util");
    fs::create_directories(root_ / "deps" / "lib" / "internal");
  }
  void TearDown() override { fs::remove_all(root_); }
  void write(const fs::path& rel, const std::string& text) {
    std::ofstream(root_ / rel) << text;
  }
  std::string codes(const Driver::ImageCompile& run) {
    std::string out;
    for (const Diag::Diagnostic& d : run.collector.diagnostics())
      out += d.code + " " + fs::path(d.site.file).filename().string() + ":" + std::to_string(d.site.line) + " " +
             d.message + "\n";
    return out;
  }
  fs::path root_;
};

TEST_F(CompileImage, DependencyUsesAreRewrittenAndInternalsRefused) {
  write("deps/lib/util/u.vk", "pub fn helper() -> Int {\n  return 1\n}\n");
  write("deps/lib/internal/secret.vk", "pub fn hidden() -> Int {\n  return 2\n}\n");
  // Inside the dependency `use util` is the dependency's own module; its
  // `main` is not the program's entry.
  write("deps/lib/top.vk", "use util\nuse fs\n\nfn main() {\n  print_int(util.helper())\n}\n");
  write("app/app.vk", "use lib/util\nuse lib/internal\n\npub fn run() -> Int {\n  return util.helper()\n}\n");
  Driver::DependencyList deps{{"lib", (root_ / "deps" / "lib").string()}};
  Driver::ImageCompile run = Driver::compile_image(deps, (root_ / "app").string());
  std::string got = codes(run);
  EXPECT_NE(got.find("VK-E108 app.vk:2 `lib/internal` is internal to the dependency `lib` — a module under "
                     "`internal/` is the library's own business and cannot be imported across the `[deps]` "
                     "boundary"),
            std::string::npos)
      << got;
  EXPECT_EQ(got.find("VK-E216"), std::string::npos) << got;  // `use util` found lib/util
  EXPECT_FALSE(run.has_entry);
  ASSERT_GE(run.image.size(), 44u);
  EXPECT_EQ(run.image.substr(40, 4), std::string(4, '\xff'));
}

TEST_F(CompileImage, WithoutDependenciesNothingIsRewritten) {
  write("app/app.vk", "fn main() {\n  print(\"x\")\n}\n");
  Driver::ImageCompile run = Driver::compile_image({}, (root_ / "app").string());
  EXPECT_EQ(codes(run), "");
  EXPECT_TRUE(run.has_entry);
  EXPECT_TRUE(Disasm::read(run.image).ok());
}

}  // namespace
