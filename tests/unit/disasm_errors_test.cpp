// Every reader error, in the order the reader meets them, and images whose
// counts promise far more than their bytes hold.
#include <gtest/gtest.h>

#include <chrono>

#include "disasm/disasm.hpp"
#include "image_samples.hpp"

namespace {

using namespace Emit;

std::string error_of(const std::string& bytes) {
  Disasm::Listing listing = Disasm::dump(bytes);
  EXPECT_TRUE(listing.ok() || listing.text.empty());  // never a partial listing
  return listing.error;
}

void put_u32(std::string& bytes, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) bytes.at(at + i) = static_cast<char>(v >> (8 * i));
}

std::uint32_t u32_at(const std::string& bytes, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(bytes.at(at + i));
  return v;
}

// A header whose sections all start at offset 44, followed by `body`.
std::string header_then(std::uint32_t constants, std::uint32_t classes, std::uint32_t interfaces,
                        std::uint32_t methods, const std::string& body) {
  Buf b;
  b.u32(image_magic);
  b.u32(image_version);
  for (std::uint32_t count : {constants, classes, interfaces, methods}) {
    b.u32(44);
    b.u32(count);
  }
  b.u32(none);
  b.raw(body);
  return b.take();
}

TEST(DisasmErrors, MagicAndVersion) {
  EXPECT_EQ(error_of(""), "truncated");
  EXPECT_EQ(error_of("VKB"), "truncated");
  EXPECT_EQ(error_of("XKB1"), "bad magic");
  EXPECT_EQ(error_of("1BKV\x06\0\0\0"), "bad magic");
  EXPECT_EQ(error_of("VKB1"), "truncated");
  std::string image = write_image(Samples::program());
  put_u32(image, 4, 7);
  EXPECT_EQ(error_of(image), "unsupported version 7");
  put_u32(image, 4, 0xFFFFFFFF);
  EXPECT_EQ(error_of(image), "unsupported version 4294967295");
  put_u32(image, 0, 0);
  EXPECT_EQ(error_of(image), "bad magic");  // the magic is checked first
}

TEST(DisasmErrors, EveryCutIsRefused) {
  std::string image = write_image(Samples::program());
  int overruns = 0;
  for (std::size_t length = 0; length < image.size(); ++length) {
    std::string error = error_of(image.substr(0, length));
    if (error == "text constant overruns image" && length >= 44) {
      ++overruns;
    } else {
      EXPECT_EQ(error, "truncated") << length;
    }
  }
  EXPECT_GT(overruns, 0);  // cuts inside a text's bytes
  EXPECT_TRUE(Disasm::dump(image).ok());
}

TEST(DisasmErrors, Constants) {
  Buf body;
  body.u8(0);
  body.i64(1);
  body.u8(3);
  EXPECT_EQ(error_of(header_then(2, 0, 0, 0, body.contents())), "constant 1: unknown tag 3");
  EXPECT_EQ(error_of(header_then(1, 0, 0, 0, "\xff")), "constant 0: unknown tag 255");
  EXPECT_EQ(error_of(header_then(1, 0, 0, 0, std::string("\x01\x05\0\0\0abcd", 9))),
            "text constant overruns image");
  EXPECT_EQ(error_of(header_then(1, 0, 0, 0, std::string("\x01\x04\0\0\0abcd", 9))), "truncated");
  EXPECT_EQ(error_of(header_then(1, 0, 0, 0, std::string("\x01\x05\0", 3))), "truncated");
  EXPECT_EQ(error_of(header_then(1, 0, 0, 0, std::string("\x02\0\0\0\0\0\0", 7))), "truncated");
}

TEST(DisasmErrors, Methods) {
  Image image;
  image.methods = {MethodEntry{}};
  image.methods[0].code = {0, 0};
  std::string good = write_image(image);
  std::size_t method = u32_at(good, 32);
  ASSERT_TRUE(Disasm::dump(good).ok());

  std::string odd = good;
  put_u32(odd, method + 12, 6);
  EXPECT_EQ(error_of(odd), "code length is not a multiple of 4");
  std::string reserved = odd;
  reserved[method + 10] = 1;
  EXPECT_EQ(error_of(reserved), "reserved method field is not zero");  // checked before the length
  std::string reserved_high = good;
  reserved_high[method + 11] = '\x80';
  EXPECT_EQ(error_of(reserved_high), "reserved method field is not zero");
  std::string longer = good;
  put_u32(longer, method + 12, 12);
  EXPECT_EQ(error_of(longer), "truncated");
}

// Counts that promise more than the file holds end in the message of the
// first read that fails, without memory or time for the promised entries.
TEST(DisasmErrors, HugeCountsCostNothing) {
  auto start = std::chrono::steady_clock::now();
  const std::uint32_t huge = 0xFFFFFFFF;
  EXPECT_EQ(error_of(header_then(huge, 0, 0, 0, std::string(6, '\0'))), "truncated");
  EXPECT_EQ(error_of(header_then(huge, 0, 0, 0, "\x07")), "constant 0: unknown tag 7");
  EXPECT_EQ(error_of(header_then(huge, 0, 0, 0, std::string("\x01\xff\xff\xff\xff", 5))),
            "text constant overruns image");
  EXPECT_EQ(error_of(header_then(0, huge, 0, 0, "")), "truncated");

  Buf fields;  // a class claiming 2^32-1 fields, then one claiming as many index columns
  fields.u32(0);
  fields.u32(0);
  fields.u32(huge);
  fields.raw("abc");
  EXPECT_EQ(error_of(header_then(0, 1, 0, 0, fields.contents())), "truncated");
  Buf columns;
  for (std::uint32_t v : {0u, 0u, 0u, 2u, 1u, huge}) columns.u32(v);
  EXPECT_EQ(error_of(header_then(0, 1, 0, 0, columns.contents())), "truncated");
  Buf indexes;
  for (std::uint32_t v : {0u, 0u, 0u, huge, 1u, 0u}) indexes.u32(v);
  EXPECT_EQ(error_of(header_then(0, 1, 0, 0, indexes.contents())), "truncated");

  EXPECT_EQ(error_of(header_then(0, 0, huge, 0, std::string(40, '\0'))), "truncated");
  Buf vtables;  // one interface with 2^32-1 methods, then 2^32-1 vtables
  for (std::uint32_t v : {0u, huge, huge, 0u, 0u, 1u}) vtables.u32(v);
  EXPECT_EQ(error_of(header_then(0, 0, 1, 0, vtables.contents())), "truncated");

  EXPECT_EQ(error_of(header_then(0, 0, 0, huge, std::string(4, '\0'))), "truncated");
  // A method claiming 2^32-4 code bytes, or 2^32-1 line or drop records.
  struct Claim {
    std::size_t at;
    std::uint32_t count;
  };
  for (Claim claim : {Claim{12, 0xFFFFFFFC}, Claim{16, huge}, Claim{20, huge}}) {
    std::string body(claim.at + 4, '\0');
    put_u32(body, claim.at, claim.count);
    EXPECT_EQ(error_of(header_then(0, 0, 0, 1, body)), "truncated") << claim.at;
  }
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_LT(elapsed, std::chrono::seconds(1));
}

}  // namespace
