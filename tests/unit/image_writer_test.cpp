// The image writer's bytes: buffer encodings, constant interning, the header,
// class entries with their padding and metas, vtables and method entries.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "emit/emit.hpp"
#include "image_samples.hpp"

namespace {

using namespace Emit;

std::string hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) {
    if (!out.empty()) out += ' ';
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

std::uint32_t u32_at(const std::string& bytes, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(bytes.at(at + i));
  return v;
}

TEST(ImageWriter, BufWritesLittleEndian) {
  Buf b;
  b.u8(0xab);
  b.u16(0x1234);
  b.u32(0xdeadbeef);
  b.i64(-2);
  b.str("hi");
  b.str("");
  EXPECT_EQ(hex(b.contents()),
            "ab 34 12 ef be ad de fe ff ff ff ff ff ff ff 02 00 00 00 68 69 00 00 00 00");
  b.patch_u32(1, 0x01020304);
  EXPECT_EQ(hex(b.contents().substr(0, 5)), "ab 04 03 02 01");
  EXPECT_EQ(b.size(), 25u);
}

// The pool's table grows as it fills: every value keeps its number, and an
// Int never answers for a Float of the same bits or a text of the same hash.
TEST(ImageWriter, ConstantPoolKeepsNumbersAcrossGrowth) {
  ConstPool pool;
  for (std::int64_t i = 0; i < 3000; ++i) {
    ASSERT_EQ(pool.const_int(i * 7919), std::uint32_t(3 * i));
    ASSERT_EQ(pool.const_float_bits(std::uint64_t(i * 7919)), std::uint32_t(3 * i + 1));
    ASSERT_EQ(pool.const_text("k" + std::to_string(i)), std::uint32_t(3 * i + 2));
  }
  for (std::int64_t i = 2999; i >= 0; --i) {
    EXPECT_EQ(pool.const_int(i * 7919), std::uint32_t(3 * i));
    EXPECT_EQ(pool.const_float_bits(std::uint64_t(i * 7919)), std::uint32_t(3 * i + 1));
    EXPECT_EQ(pool.const_text("k" + std::to_string(i)), std::uint32_t(3 * i + 2));
  }
  EXPECT_EQ(pool.size(), 9000u);
}

TEST(ImageWriter, ConstantPoolInternsByValue) {
  ConstPool pool;
  EXPECT_EQ(pool.const_text("a"), 0u);
  EXPECT_EQ(pool.const_int(0), 1u);
  EXPECT_EQ(pool.const_float(0.0), 2u);  // an Int and a Float never share an entry
  EXPECT_EQ(pool.const_float(-0.0), 3u);
  EXPECT_EQ(pool.const_float_bits(0x7FF8000000000EE1ull), 4u);
  EXPECT_EQ(pool.const_float(std::nan("")), 5u);  // another NaN pattern
  EXPECT_EQ(pool.const_text(""), 6u);
  EXPECT_EQ(pool.const_text("a"), 0u);
  EXPECT_EQ(pool.const_int(0), 1u);
  EXPECT_EQ(pool.const_float(0.0), 2u);
  EXPECT_EQ(pool.const_float(-0.0), 3u);
  EXPECT_EQ(pool.const_float_bits(0x7FF8000000000EE1ull), 4u);
  EXPECT_EQ(pool.const_text(std::string("a\0b", 3)), 7u);
  ASSERT_EQ(pool.size(), 8u);
  EXPECT_EQ(pool.entries()[4].tag, ConstTag::FLT);
  EXPECT_EQ(static_cast<std::uint64_t>(pool.entries()[4].value), 0x7FF8000000000EE1ull);

  Buf b;
  write_constants(b, {pool.entries()[6], pool.entries()[1], pool.entries()[3]});
  EXPECT_EQ(hex(b.contents()),
            "01 00 00 00 00 "                // an empty text is 5 bytes
            "00 00 00 00 00 00 00 00 00 "    // Int 0
            "02 00 00 00 00 00 00 00 80");   // Float -0.0
}

TEST(ImageWriter, EmptyImageHasOnlyHeaderAndVtableCount) {
  std::string bytes = write_image(Samples::empty());
  ASSERT_EQ(bytes.size(), 48u);
  EXPECT_EQ(bytes.substr(0, 4), "VKB1");
  const std::uint32_t expected[] = {0x31424B56, 6, 44, 0, 44, 0, 44, 0, 48, 0, 0xFFFFFFFF};
  for (int i = 0; i < 11; ++i) EXPECT_EQ(u32_at(bytes, 4 * i), expected[i]) << "field " << i;
}

TEST(ImageWriter, HeaderOffsetsFollowTheSections) {
  Image image;
  image.constants = {{ConstTag::INT, 1, {}}, {ConstTag::TEXT, 0, "C"}};
  image.classes = {ClassEntry{1, false, {}, {}}};
  image.interfaces = {{1, 0}};
  image.methods = {MethodEntry{}};
  image.entry = 0;
  std::string bytes = write_image(image);
  // constants: 9 + 6; class: 16; interfaces: 8 + vtable count 4; method: 24
  EXPECT_EQ(u32_at(bytes, 8), 44u);
  EXPECT_EQ(u32_at(bytes, 12), 2u);
  EXPECT_EQ(u32_at(bytes, 16), 59u);
  EXPECT_EQ(u32_at(bytes, 20), 1u);
  EXPECT_EQ(u32_at(bytes, 24), 75u);
  EXPECT_EQ(u32_at(bytes, 28), 1u);
  EXPECT_EQ(u32_at(bytes, 32), 87u);
  EXPECT_EQ(u32_at(bytes, 36), 1u);
  EXPECT_EQ(u32_at(bytes, 40), 0u);
  EXPECT_EQ(bytes.size(), 111u);
}

TEST(ImageWriter, ClassEntryPadsKindsAndWritesMetas) {
  ClassEntry four{7, false, {}, {}};
  for (int i = 0; i < 4; ++i) four.fields.push_back({FieldKind::SCALAR, none, none, 0});
  Buf b4;
  write_class(b4, four);
  EXPECT_EQ(b4.size(), 12u + 4 + 3 * 16 + 4);  // no padding after 4 kind bytes

  ClassEntry five{7, true, {}, {}};
  five.fields = {
      {FieldKind::FLOAT, 1, meta_nullable_float, 0},  // ?Float
      {FieldKind::MAP, 2, none, elem_meta_map(FieldKind::TEXT, FieldKind::SCALAR)},
      {FieldKind::MULTI, none, 0, elem_meta_multi(FieldKind::OWNED)},  // multi Foo
      {FieldKind::SCALAR, 3, meta_bool, 0},
      {FieldKind::BYTES, 4, meta_json, 0},
  };
  five.indexes = {{true, {3}}, {false, {0, 1}}};
  Buf b;
  write_class(b, five);
  EXPECT_EQ(hex(b.contents()),
            "07 00 00 00 01 00 00 00 05 00 00 00 "
            "06 05 04 00 07 00 00 00 "  // kinds, then 3 zero bytes
            "01 00 00 00 02 00 00 00 ff ff ff ff 03 00 00 00 04 00 00 00 "
            "fa ff ff ff ff ff ff ff 00 00 00 00 fc ff ff ff fe ff ff ff "
            "00 00 00 00 03 00 00 00 01 00 00 00 00 00 00 00 00 00 00 00 "
            "02 00 00 00 "
            "01 00 00 00 01 00 00 00 03 00 00 00 "
            "00 00 00 00 02 00 00 00 00 00 00 00 01 00 00 00");
}

TEST(ImageWriter, InterfacesThenVtables) {
  Buf b;
  write_interfaces(b, {{5, 2}, {6, 0}}, {{3, 0, {9, 8}}, {3, 1, {}}});
  EXPECT_EQ(hex(b.contents()),
            "05 00 00 00 02 00 00 00 06 00 00 00 00 00 00 00 "
            "02 00 00 00 "
            "03 00 00 00 00 00 00 00 09 00 00 00 08 00 00 00 "
            "03 00 00 00 01 00 00 00");
}

TEST(ImageWriter, MethodEntryWithCodeLinesAndDrops) {
  MethodEntry m;
  m.name = 2;
  m.args = 1;
  m.regs = 3;
  m.code = {abx(Op::LOADK, 1, 0x102), abc(Op::RET, 1, 0, 0)};
  m.lines = {{0, 12}};
  m.drops = {{1, 0x8000000000000001ull, 4}};
  Buf b;
  write_method(b, m);
  EXPECT_EQ(hex(b.contents()),
            "02 00 00 00 ff ff ff ff 01 03 00 00 08 00 00 00 "
            "01 01 02 01 11 01 00 00 "
            "01 00 00 00 00 00 00 00 0c 00 00 00 "
            "01 00 00 00 01 00 00 00 01 00 00 00 00 00 00 80 04 00 00 00 00 00 00 00");
}

}  // namespace
