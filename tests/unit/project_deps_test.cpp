// Dependencies and standalone executables: the lock file format, what may
// reach git or the file system from a [deps] entry, the shell form of git
// command lines, and the trailer of a built executable.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../../compiler/bin/deps.hpp"
#include "../../compiler/bin/git.hpp"
#include "../../compiler/bin/lock_file.hpp"
#include "../../compiler/bin/trailer.hpp"

namespace {

const std::string header = "# vk.lock \xE2\x80\x94 written by vkc; pins [deps] revs to commit SHAs. Do not edit.\n";

TEST(LockFile, ReadingTrimsSkipsAndLetsTheLaterLineWin) {
  Driver::Lock lock = Driver::parse_lock_text(header +
                                              "json 1111\r\n"
                                              "  # a comment\n"
                                              "lonely\n"
                                              "net   2222  extra  \n"
                                              "json 3333\n"
                                              "\n"
                                              "a\tb c");
  EXPECT_EQ(lock, (Driver::Lock{{"json", "3333"}, {"net", "2222  extra"}, {"a\tb", "c"}}));
  EXPECT_TRUE(Driver::parse_lock_text("").empty());
  EXPECT_TRUE(Driver::parse_lock_text(std::string("\0\xff\n\x01", 4)).empty());
}

TEST(LockFile, WrittenSortedUnderTheHeaderAndReadBackTheSame) {
  Driver::Lock lock{{"zeta", "ffff"}, {"Alpha", "0000"}, {"beta", "1234"}};
  std::string text = Driver::render_lock(lock);
  EXPECT_EQ(text, header + "Alpha 0000\nbeta 1234\nzeta ffff\n");
  EXPECT_EQ(Driver::parse_lock_text(text), lock);
  EXPECT_EQ(Driver::render_lock({}), header);
}

TEST(GitCommands, EveryPathUrlAndRevIsQuotedForTheShell) {
  EXPECT_EQ(Driver::shell_quote("plain"), "'plain'");
  EXPECT_EQ(Driver::shell_quote("o'neil"), "'o'\\''neil'");
  EXPECT_EQ(Driver::shell_quote("$(touch x) `y` \"z\""), "'$(touch x) `y` \"z\"'");
  EXPECT_EQ(Driver::shell_quote(""), "''");
  using Driver::quoted;
  using Driver::word;
  EXPECT_EQ(Driver::git_command_line({word("clone"), quoted("../it's"), quoted("p/.vk-deps/a")}),
            "git clone '../it'\\''s' 'p/.vk-deps/a'");
  EXPECT_EQ(Driver::git_command_line({word("-C"), quoted("d"), word("checkout"), word("-q"), quoted("v1")}),
            "git -C 'd' checkout -q 'v1'");
}

TEST(GitCommands, NulBytesNeverReachGit) {
  EXPECT_EQ(Driver::git_run({Driver::word("--version"), Driver::quoted(std::string("a\0b", 3))}).value_or(""),
            std::string("git --version 'a\0b' >/dev/null 2>&1", 35));
}

TEST(DependencyEntries, NamesMustStayInsideTheCheckoutDirectory) {
  for (const std::string& bad : std::vector<std::string>{".", "..", "a/b", "../../x", "a\\b", "a b", "-x", "--upload-pack=x", "tab\there",
                          std::string("nul\0", 4), "del\x7f"}) {
    EXPECT_NE(Driver::dep_problem(bad, "u", "r"), "") << bad;
  }
  for (const char* ok : {"json", "o'neil", "$(touch${IFS}x)", "a.b", "...", ".git", "x-", "\xC3\xA9t\xC3\xA9"}) {
    EXPECT_EQ(Driver::dep_problem(ok, "../repo", "v1"), "") << ok;
  }
  EXPECT_EQ(Driver::dep_problem("a", "--upload-pack=touch x", "v1"),
            "dependency `a`: `git` value `--upload-pack=touch x` begins with `-`, which git would take as an option");
  EXPECT_EQ(Driver::dep_problem("a", "u", "-q"),
            "dependency `a`: `rev` value `-q` begins with `-`, which git would take as an option");
}

std::string le64(std::int64_t v) {
  std::string out;
  for (int i = 0; i < 8; ++i) out += static_cast<char>((static_cast<std::uint64_t>(v) >> (8 * i)) & 0xff);
  return out;
}

TEST(Trailer, LayoutIsOffsetLengthMagicLittleEndian) {
  EXPECT_EQ(Driver::trailer_bytes(0x0102030405060708, 3), le64(0x0102030405060708) + le64(3) + "VBT1");
  EXPECT_EQ(Driver::trailer_bytes(0, 0).size(), Driver::trailer_size);
}

TEST(Trailer, OnlyATrailerThatFitsTheFileIsStripped) {
  std::string runtime = "RUNTIME";
  std::string built = runtime + "image" + Driver::trailer_bytes(7, 5);
  EXPECT_EQ(Driver::strip_existing_trailer(built), runtime);
  EXPECT_EQ(Driver::strip_existing_trailer(Driver::trailer_bytes(0, 0)), "");
  // Fields that do not fit leave the bytes whole.
  for (const std::string& odd : {runtime + "image" + Driver::trailer_bytes(7, 6),
                                 runtime + "image" + Driver::trailer_bytes(8, 5),
                                 runtime + "image" + Driver::trailer_bytes(13, -1),
                                 runtime + "image" + Driver::trailer_bytes(-1, 13),
                                 runtime + "image" + Driver::trailer_bytes(INT64_MAX, INT64_MIN + 12),
                                 runtime + "image" + Driver::trailer_bytes(7, 5).substr(0, 19) + "2",
                                 std::string("VBT1"), std::string(), runtime + "VBT1"}) {
    EXPECT_EQ(Driver::strip_existing_trailer(odd), odd);
  }
}

TEST(Trailer, EntryFieldOfTheImage) {
  std::string image(40, 'x');
  EXPECT_EQ(Driver::image_entry(image), -1);  // too short to hold one
  EXPECT_EQ(Driver::image_entry(image + std::string("\x05\x01\0\0", 4)), 0x105);
  EXPECT_EQ(Driver::image_entry(image + std::string("\xff\xff\xff\xff", 4)), -1);
}

}  // namespace
