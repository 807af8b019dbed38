// The writer through the reader: every sample image reads back to the same
// entries, and writing what was read gives the same bytes.
#include <gtest/gtest.h>

#include "disasm/disasm.hpp"
#include "image_samples.hpp"

namespace {

using namespace Emit;

void expect_round_trip(const Image& image) {
  std::string bytes = write_image(image);
  Disasm::Read back = Disasm::read(bytes);
  ASSERT_TRUE(back.ok()) << back.error;
  EXPECT_EQ(back.image.constants, image.constants);
  EXPECT_EQ(back.image.classes, image.classes);
  EXPECT_EQ(back.image.interfaces, image.interfaces);
  EXPECT_EQ(back.image.vtables, image.vtables);
  EXPECT_EQ(back.image.methods, image.methods);
  EXPECT_EQ(back.image.entry, image.entry);
  EXPECT_EQ(write_image(back.image), bytes);
}

TEST(ImageRoundTrip, Samples) {
  expect_round_trip(Samples::empty());
  expect_round_trip(Samples::program());
  expect_round_trip(Samples::all_instructions());
  expect_round_trip(Samples::large(200000));
}

TEST(ImageRoundTrip, ClassPaddingForEveryFieldCount) {
  for (int n = 0; n <= 9; ++n) {
    Image image;
    ClassEntry c;
    for (int i = 0; i < n; ++i) {
      c.fields.push_back({FieldKind(i % 8), std::uint32_t(i), std::uint32_t(100 + i),
                          std::uint32_t(i * 17)});
    }
    c.indexes = {{n % 2 == 1, std::vector<std::uint32_t>(n, 3)}};
    image.classes = {c, c};
    std::string bytes = write_image(image);
    // name, flags, count, kinds padded to 4, three u32 per field, one index
    std::size_t padded = (n + 3) / 4 * 4;
    EXPECT_EQ(bytes.size(), 44 + 2 * (12 + padded + 12 * n + 4 + 8 + 4 * n) + 4u) << n;
    expect_round_trip(image);
  }
}

TEST(ImageRoundTrip, MasksAndRecordsKeepAllBits) {
  Image image;
  MethodEntry m;
  m.regs = 64;
  m.code = {0xFFFFFFFF, 0};
  m.lines = {{0, 0xFFFFFFFF}, {1, 0}};
  m.drops = {{0, ~0ull, 1ull << 63}, {0xFFFFFFFF, 0, ~0ull}};
  image.methods = {m};
  image.entry = 5;
  expect_round_trip(image);
}

// Sections need not follow one another: the reader goes by the offsets.
TEST(ImageRoundTrip, ReaderFollowsOffsetsNotOrder) {
  Image image = Samples::program();
  std::string bytes = write_image(image);
  std::uint32_t methods = 0;
  for (int i = 0; i < 4; ++i) {
    methods |= std::uint32_t(static_cast<unsigned char>(bytes[32 + i])) << (8 * i);
  }
  // Move the method section in front of the constants and leave junk after it.
  std::string moved = bytes.substr(0, 44) + bytes.substr(methods) + bytes.substr(44, methods - 44) + "junk";
  std::uint32_t shift = static_cast<std::uint32_t>(bytes.size() - methods);
  for (int field : {8, 16, 24}) {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= std::uint32_t(static_cast<unsigned char>(moved[field + i])) << (8 * i);
    v += shift;
    for (int i = 0; i < 4; ++i) moved[field + i] = static_cast<char>(v >> (8 * i));
  }
  for (int i = 0; i < 4; ++i) moved[32 + i] = static_cast<char>(44 >> (8 * i));
  Disasm::Read back = Disasm::read(moved);
  ASSERT_TRUE(back.ok()) << back.error;
  EXPECT_EQ(back.image, image);
  EXPECT_EQ(Disasm::dump(moved).text, Disasm::dump(bytes).text);
}

}  // namespace
