// Project manifests: parsing vk.toml into flat keys, every parse failure with
// its line, output names and the toolchain version constraint.
//
// The driver is not a library, so its project sources are compiled into the
// test binary here, once; the other project_* tests use their headers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../../compiler/bin/deps.cpp"
#include "../../compiler/bin/git.cpp"
#include "../../compiler/bin/lock_file.cpp"
#include "../../compiler/bin/manifest.cpp"
#include "../../compiler/bin/project_io.cpp"
#include "../../compiler/bin/trailer.cpp"

namespace {

using Driver::Manifest;
using Driver::ManifestError;

Manifest parsed(std::string_view text) {
  auto result = Driver::parse_manifest_text(text);
  if (auto* error = std::get_if<ManifestError>(&result)) {
    ADD_FAILURE() << "line " << error->line << ": " << error->message;
    return {};
  }
  return std::get<Manifest>(std::move(result));
}

std::string value(const Manifest& m, const std::string& key) {
  const std::string* v = m.get(key);
  return v ? *v : "<absent>";
}

TEST(ManifestParse, EverySectionWithCrlfRepeatsAndOddValues) {
  Manifest m = parsed(
      "# a project\r\n"
      "name = \"first\"\r\n"
      "description = \"say \"hi\" = ok\"\n"
      "kind = \"\"\"\n"
      "\f\t\n"
      "name = \"second\"\n"
      "[share]\n"
      "anything at all = { not parsed\n"
      "[share.clients]\n"
      "x\n"
      "[[deps]]\n"
      "json = { rev = \"v1\", git = \"../json\", }\n"
      "net={git=\"file:///r/net\",rev=\"abc\",rev=\"def\"}\n"
      "[runtime]\n"
      "vk = \">=0.1\"\n"
      "[build]\n"
      "target = \"\"\n"
      "[deps]\n"
      "a.b = { git = \"x y\", rev = \"=\" }\n"
      "\n"
      "[build]\n"
      "target = \"out dir\"\n");
  EXPECT_EQ(value(m, "name"), "second");  // the later line wins
  EXPECT_EQ(value(m, "description"), "say \"hi\" = ok");
  EXPECT_EQ(value(m, "kind"), "\"");  // three quotes store one
  EXPECT_EQ(value(m, "deps.json.git"), "../json");
  EXPECT_EQ(value(m, "deps.json.rev"), "v1");
  EXPECT_EQ(value(m, "deps.net.rev"), "def");  // a repeated table key overwrites
  EXPECT_EQ(value(m, "deps.a.b.git"), "x y");
  EXPECT_EQ(value(m, "deps.a.b.rev"), "=");
  EXPECT_EQ(value(m, "runtime.vk"), ">=0.1");
  EXPECT_EQ(value(m, "build.target"), "out dir");
  EXPECT_EQ(value(m, "version"), "<absent>");
  EXPECT_EQ(Driver::dep_names(m), (std::vector<std::string>{"a.b", "json", "net"}));
}

// Each input fails at the given line with exactly this message.
TEST(ManifestParse, EveryFailureNamesItsLine) {
  struct Case {
    const char* text;
    int line;
    const char* message;
  };
  const Case cases[] = {
      {"[build", 1, "malformed section header"},
      {"[", 1, "malformed section header"},
      {"\n[ build ]", 2, "unknown section [ build ] (runtime, build and deps exist)"},
      {"[]", 1, "unknown section [] (runtime, build and deps exist)"},
      {"[[share]", 1, "unknown section [[share] (runtime, build and deps exist)"},
      {"[deps]\njson", 2, "expected `name = { git = \"...\", rev = \"...\" }`"},
      {"[deps]\n = {}", 2, "dependency name is empty"},
      {"[deps]\na = { git = \"g\", rev = \"r\" }\n\na = { git = \"g\", rev = \"r\" }", 4,
       "dependency `a` declared twice"},
      {"[deps]\na = \"g\"", 2, "`a`: a dependency is an inline table `{ git = \"...\", rev = \"...\" }`"},
      {"[deps]\na = {", 2, "`a`: a dependency is an inline table `{ git = \"...\", rev = \"...\" }`"},
      {"[deps]\na = { git \"g\" }", 2, "expected `=` after `git` in dependency table"},
      {"[deps]\na = { git }", 2, "expected `=` after `git` in dependency table"},
      {"[deps]\na = { git = 'g', rev = 'r' }", 2, "dependency values must be quoted strings"},
      {"[deps]\na = { git = }", 2, "dependency values must be quoted strings"},
      {"[deps]\na = { git = \"g }", 2, "unterminated string in dependency table"},
      {"[deps]\na = { url = \"g\" }", 2, "unknown key `url` in dependency table (git, rev exist)"},
      {"[deps]\na = { = \"g\" }", 2, "unknown key `` in dependency table (git, rev exist)"},
      {"[deps]\na = { git = \"g\" rev = \"r\" }", 2, "expected `,` between dependency table entries"},
      {"[deps]\na = { git = \"g\" }", 2, "dependency `a` needs both `git` and `rev` (exact tag or SHA)"},
      {"[deps]\na = { git = \"g\", rev = \"\" }", 2, "dependency `a` needs both `git` and `rev` (exact tag or SHA)"},
      {"[deps]\na = { }", 2, "dependency `a` needs both `git` and `rev` (exact tag or SHA)"},
      {"name", 1, "expected `key = \"value\"`"},
      {"name = \"app\" # comment", 1, "`name`: only quoted string values are supported"},
      {"name = app", 1, "`name`: only quoted string values are supported"},
      {"name = \"", 1, "`name`: only quoted string values are supported"},
      {"nom = \"app\"", 1, "unknown key `nom` (name, version, description, kind exist)"},
      {"[build]\nname = \"app\"", 2, "unknown key `name` in [build]"},
      {"[[runtime]]\nversion = \"1\"", 2, "unknown key `version` in [runtime]"},
      {"[runtime]\nvk = 1", 2, "`vk`: only quoted string values are supported"},
  };
  for (const Case& c : cases) {
    auto result = Driver::parse_manifest_text(c.text);
    auto* error = std::get_if<ManifestError>(&result);
    ASSERT_NE(error, nullptr) << c.text;
    EXPECT_EQ(error->line, c.line) << c.text;
    EXPECT_EQ(error->message, c.message) << c.text;
  }
}

TEST(ManifestParse, BinaryJunkAndHugeInputsFailOrParseWithoutCrashing) {
  std::string junk;
  for (int i = 0; i < 100000; ++i) junk += static_cast<char>((i * 7919 + 13) % 256);
  auto result = Driver::parse_manifest_text(junk);
  EXPECT_TRUE(std::holds_alternative<ManifestError>(result));

  std::string deps = "[deps]\n";
  for (int i = 0; i < 10000; ++i) deps += "d" + std::to_string(i) + " = { git = \"g\", rev = \"r\" }\n";
  EXPECT_EQ(Driver::dep_names(parsed(deps)).size(), 10000u);

  std::string long_line = "description = \"" + std::string(1 << 20, 'x') + "\"";
  EXPECT_EQ(parsed(long_line).get("description")->size(), std::size_t{1} << 20);
}

TEST(ManifestNames, BareFileNames) {
  for (const char* ok : {"app", "a.b", "...", "-x", "a b", "\"", ".hidden"}) EXPECT_TRUE(Driver::bare_file_name(ok)) << ok;
  for (const std::string& bad : std::vector<std::string>{"", ".", "..", "a/b", "/", std::string("a\0b", 3)}) {
    EXPECT_FALSE(Driver::bare_file_name(bad)) << bad;
  }
}

TEST(ManifestVersions, IntegerPiecesMakeTheTriple) {
  using T = std::tuple<long long, long long, long long>;
  EXPECT_EQ(Driver::ver_triple("1.x.3"), T(1, 3, 0));
  EXPECT_EQ(Driver::ver_triple(""), T(0, 0, 0));
  EXPECT_EQ(Driver::ver_triple("7"), T(7, 0, 0));
  EXPECT_EQ(Driver::ver_triple("1.2.3.4"), T(1, 2, 3));
  EXPECT_EQ(Driver::ver_triple("0x10.0b11.0o17"), T(16, 3, 15));
  EXPECT_EQ(Driver::ver_triple("1_000.+2.-3"), T(1000, 2, -3));
  EXPECT_EQ(Driver::ver_triple(" 1.2"), T(2, 0, 0));  // pieces are not trimmed
  EXPECT_EQ(Driver::ver_triple("_1.1_.0x.99999999999999999999.9223372036854775807"), T(1, 9223372036854775807LL, 0));
  long long v = 0;
  EXPECT_TRUE(Driver::parses_as_int("-9223372036854775808", &v));
  EXPECT_EQ(v, std::numeric_limits<long long>::min());
  EXPECT_FALSE(Driver::parses_as_int("9223372036854775808"));
  EXPECT_FALSE(Driver::parses_as_int("0b102"));
  EXPECT_FALSE(Driver::parses_as_int("-"));
}

TEST(ManifestVersions, TheToolchainMustBeAtLeastTheRequiredVersion) {
  const std::string path = "p/vk.toml";
  EXPECT_EQ(Driver::runtime_constraint_failure(path, " >= 0.2 "),
            "p/vk.toml: project requires velkan >= 0.2, but this toolchain is 0.1.0 -- upgrade the toolchain");
  EXPECT_EQ(Driver::runtime_constraint_failure(path, "0.1.1"),
            "p/vk.toml: project requires velkan 0.1.1, but this toolchain is 0.1.0 -- upgrade the toolchain");
  for (const char* passes : {"0.1", ">=0.1.0", "0", ">=", "^9", "~1", "", "v9", "> 9", ">=0.0.99"}) {
    EXPECT_EQ(Driver::runtime_constraint_failure(path, passes), "") << passes;
  }
}

TEST(ProjectMessages, ControlBytesAreShownEscaped) {
  EXPECT_EQ(Driver::printable(std::string("a\0b\x1b[2J\t\x7f\xE2\x80\x94", 12)), "a\\x00b\\x1b[2J\\x09\\x7f\xE2\x80\x94");
}

}  // namespace
