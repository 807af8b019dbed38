// The listing: a whole program image against its expected text, every
// instruction form, and the helpers with fixed output.
#include <gtest/gtest.h>

#include <algorithm>

#include "disasm/disasm.hpp"
#include "image_samples.hpp"

namespace {

using namespace Emit;

const char* const program_listing =
    "== CONSTANTS ==\n"
    "k0   TEXT \"Node\"\n"
    "k1   TEXT \"Point\"\n"
    "k2   TEXT \"Shape\"\n"
    "k3   TEXT \"Empty\"\n"
    "k4   TEXT \"Named\"\n"
    "k5   TEXT \"main\"\n"
    "k6   TEXT \"area\"\n"
    "k7   TEXT \"he said \\\"hi\\\"\\\\\\n\\t\\x01 caf\xc3\xa9\x7f\"\n"
    "k8   INT  0\n"
    "k9   INT  -9223372036854775808\n"
    "k10  FLT  0x1.4p+1\n"
    "k11  FLT  -infinity\n"
    "k12  FLT  nan\n"
    "k13  FLT  -0x0p+0\n"
    "k14  TEXT \"\"\n"
    "k15  TEXT \"id\"\n"
    "k16  TEXT \"next\"\n"
    "k17  TEXT \"label\"\n"
    "k18  TEXT \"kids\"\n"
    "k19  TEXT \"tags\"\n"
    "k20  TEXT \"weight\"\n"
    "k21  TEXT \"x\"\n"
    "k22  TEXT \"y\"\n"
    "k23  TEXT \"tag\"\n"
    "k24  TEXT \"z\"\n"
    "== CLASSES ==\n"
    "c0   Node flags=gc fields=[id:SCALAR, next:GCREF, label:TEXT, kids:MULTI, tags:MAP, "
    "weight:KIND6, KIND7, 0:OWNED, 0x1.4p+1:KIND9]\n"
    "c1   Point flags=- fields=[x:SCALAR, y:SCALAR, tag:TEXT, z:KIND6]\n"
    "== INTERFACES ==\n"
    "i0   Shape methods=2 slots=s0..s1\n"
    "i1   Empty methods=0 slots=s2..s1\n"
    "i2   Named methods=1 slots=s2..s2\n"
    "== VTABLES ==\n"
    "c1 i0 slots s0.. -> [m1, m2]\n"
    "c1 i2 slots s2.. -> [m2]\n"
    "c0 i7 slots s0.. -> []\n"
    "== METHODS ==\n"
    "m0   main args=0 regs=4 [free fn] [ENTRY]\n"
    "  lines: 0->3 4->4 10->7\n"
    "  drops: pc 4 owned={r1} gc={}\n"
    "  drops: pc 8 owned={r1} gc={r0,r3}\n"
    "  drops: pc 11 owned={} gc={}\n"
    "  0000  LOADK     r0, k7\n"
    "  0001  BUILTIN   r1, r0, print\n"
    "  0002  BUILTIN   r2, kinds=0x23, map_new\n"
    "  0003  BUILTIN   r3, kinds=0x03, multi_new\n"
    "  0004  NEW       r1, c0\n"
    "  0005  SETF      r1, f2, r0\n"
    "  0006  GETF      r3, r1, f2\n"
    "  0007  JZ        r3, -> 0010\n"
    "  0008  CALL      r1, m1\n"
    "  0009  JMP       -> 0000\n"
    "  0010  DROP      r1\n"
    "  0011  LOADK     r0, k9\n"
    "  0012  RET       r0\n"
    "m1   area args=1 regs=2 [class c1]\n"
    "  lines: (none)\n"
    "  drops: (none)\n"
    "  0000  ICALL     r0, s3\n"
    "  0001  RET0\n"
    "m2   <k4000?> args=255 regs=64 [class c0]\n"
    "  lines: (none)\n"
    "  drops: (none)\n"
    "== ENTRY ==\n"
    "m0\n";

TEST(DisasmListing, ProgramImage) {
  Disasm::Listing listing = Disasm::dump(write_image(Samples::program()));
  ASSERT_TRUE(listing.ok()) << listing.error;
  EXPECT_EQ(listing.text, program_listing);
}

// Pieces handed out one by one add up to the whole listing, stay small while
// one long name is repeated many times, and never start for a bad image.
TEST(DisasmListing, ListingInPieces) {
  std::string pieces;
  std::size_t calls = 0;
  auto collect = [&](std::string_view piece) {
    pieces += piece;
    ++calls;
  };
  std::string program = write_image(Samples::program());
  EXPECT_EQ(Disasm::dump_to(program, collect), "");
  EXPECT_EQ(pieces, program_listing);

  Image image;
  image.constants = {{ConstTag::TEXT, 0, std::string(20000, 'n')}};
  ClassEntry c{0, false, {}, {}};
  c.fields.assign(1000, Field{FieldKind::TEXT, 0, none, 0});
  image.classes = {c};
  image.interfaces = {{0, 3000}};
  image.vtables = {{0, 0, std::vector<std::uint32_t>(3000, 7)}};
  std::string bytes = write_image(image);
  pieces.clear();
  calls = 0;
  std::size_t largest = 0;
  EXPECT_EQ(Disasm::dump_to(bytes,
                            [&](std::string_view piece) {
                              pieces += piece;
                              largest = std::max(largest, piece.size());
                            }),
            "");
  EXPECT_EQ(pieces, Disasm::dump(bytes).text);
  EXPECT_GT(pieces.size(), 20000000u);
  EXPECT_LT(largest, 65536u + 20010u);
  EXPECT_NE(pieces.find(", m7, m7]\n== METHODS =="), std::string::npos);

  pieces.clear();
  calls = 0;
  EXPECT_EQ(Disasm::dump_to(program.substr(0, program.size() - 1), collect), "truncated");
  EXPECT_EQ(calls, 0u);
}

TEST(DisasmListing, EmptyImageListsEverySectionHeader) {
  Disasm::Listing listing = Disasm::dump(write_image(Samples::empty()));
  EXPECT_EQ(listing.text,
            "== CONSTANTS ==\n== CLASSES ==\n== INTERFACES ==\n== VTABLES ==\n"
            "== METHODS ==\n== ENTRY ==\n(none)\n");
}

TEST(DisasmListing, EntryIsASigned32BitNumber) {
  Image image;
  image.methods = {MethodEntry{}};
  image.entry = 0x80000000u;
  std::string text = Disasm::dump(write_image(image)).text;
  EXPECT_NE(text.find("m0   <k4294967295?> args=0 regs=1 [free fn]\n"), std::string::npos) << text;
  EXPECT_NE(text.find("== ENTRY ==\nm-2147483648\n"), std::string::npos) << text;
}

TEST(DisasmListing, IndexColumnWidens) {
  Image image;
  for (int i = 0; i < 1001; ++i) image.constants.push_back({ConstTag::INT, i, {}});
  std::string text = Disasm::dump(write_image(image)).text;
  EXPECT_NE(text.find("\nk9   INT  9\nk10  INT  10\n"), std::string::npos);
  EXPECT_NE(text.find("\nk99  INT  99\nk100 INT  100\n"), std::string::npos);
  EXPECT_NE(text.find("\nk1000 INT  1000\n"), std::string::npos);
}

// Float constants in every shape the hexadecimal form distinguishes, as
// constant lines and as names.
TEST(DisasmListing, FloatConstantsInHexadecimalForm) {
  const std::uint64_t bits[] = {
      0x4008000000000000ull,  // 3.0
      0x3FF0000000000000ull,  // 1.0
      0x3FE0000000000000ull,  // 0.5
      0x0000000000000000ull,  // 0.0
      0x8000000000000000ull,  // -0.0
      0x0000000000000001ull,  // the smallest subnormal
      0x800FFFFFFFFFFFFFull,  // the largest negative subnormal
      0x7FEFFFFFFFFFFFFFull,  // the largest finite value
      0x3FF0000000000010ull,  // a fraction with inner zeros
      0x7FF0000000000000ull,  // infinity
      0xFFF8000000000000ull,  // a NaN with the sign bit set
  };
  Image image;
  for (std::uint64_t b : bits) {
    image.constants.push_back({ConstTag::FLT, static_cast<std::int64_t>(b), {}});
  }
  image.classes = {ClassEntry{5, false, {{FieldKind::FLOAT, 8, none, 0}}, {}}};
  Disasm::Listing listing = Disasm::dump(write_image(image));
  ASSERT_TRUE(listing.ok()) << listing.error;
  EXPECT_EQ(listing.text,
            "== CONSTANTS ==\n"
            "k0   FLT  0x1.8p+1\n"
            "k1   FLT  0x1p+0\n"
            "k2   FLT  0x1p-1\n"
            "k3   FLT  0x0p+0\n"
            "k4   FLT  -0x0p+0\n"
            "k5   FLT  0x0.0000000000001p-1022\n"
            "k6   FLT  -0x0.fffffffffffffp-1022\n"
            "k7   FLT  0x1.fffffffffffffp+1023\n"
            "k8   FLT  0x1.000000000001p+0\n"
            "k9   FLT  infinity\n"
            "k10  FLT  -nan\n"
            "== CLASSES ==\n"
            "c0   0x0.0000000000001p-1022 flags=- fields=[0x1.000000000001p+0:KIND6]\n"
            "== INTERFACES ==\n== VTABLES ==\n== METHODS ==\n== ENTRY ==\n(none)\n");
}

TEST(DisasmListing, EveryInstructionForm) {
  EXPECT_EQ(Disasm::ins_str(abc(Op::NOP, 0, 0, 0), 0), "NOP");
  EXPECT_EQ(Disasm::ins_str(abx(Op::LOADK, 63, 65535), 0), "LOADK     r63, k65535");
  EXPECT_EQ(Disasm::ins_str(abc(Op::MOVE, 1, 2, 0), 0), "MOVE      r1, r2");
  EXPECT_EQ(Disasm::ins_str(abc(Op::ADD, 1, 2, 3), 0), "ADD       r1, r2, r3");
  EXPECT_EQ(Disasm::ins_str(abc(Op::EQS, 255, 255, 255), 0), "EQS       r255, r255, r255");
  EXPECT_EQ(Disasm::ins_str(asbx(Op::JMP, 0, -3), 10), "JMP       -> 0008");
  EXPECT_EQ(Disasm::ins_str(asbx(Op::JMP, 0, -32768), 0), "JMP       -> -32767");
  EXPECT_EQ(Disasm::ins_str(asbx(Op::JMP, 0, -4), 0), "JMP       -> -003");
  EXPECT_EQ(Disasm::ins_str(asbx(Op::JZ, 4, 32767), 70000), "JZ        r4, -> 102768");
  EXPECT_EQ(Disasm::ins_str(abx(Op::CALL, 2, 9), 0), "CALL      r2, m9");
  EXPECT_EQ(Disasm::ins_str(abx(Op::ICALL, 2, 9), 0), "ICALL     r2, s9");
  EXPECT_EQ(Disasm::ins_str(abc(Op::RET, 7, 0, 0), 0), "RET       r7");
  EXPECT_EQ(Disasm::ins_str(abc(Op::RET0, 0, 0, 0), 0), "RET0");
  EXPECT_EQ(Disasm::ins_str(abx(Op::NEW, 0, 300), 0), "NEW       r0, c300");
  EXPECT_EQ(Disasm::ins_str(abc(Op::GETF, 1, 2, 200), 0), "GETF      r1, r2, f200");
  EXPECT_EQ(Disasm::ins_str(abc(Op::SETF, 1, 200, 2), 0), "SETF      r1, f200, r2");
  EXPECT_EQ(Disasm::ins_str(abc(Op::RELEASE_S, 5, 0, 0), 0), "RELEASE_S r5");
  EXPECT_EQ(Disasm::ins_str(abc(Op::BORROW_X, 5, 0, 0), 0), "BORROW_X  r5");
  EXPECT_EQ(Disasm::ins_str(abc(Op::BUILTIN, 1, 3, 4), 0), "BUILTIN   r1, kinds=0x03, multi_new");
  EXPECT_EQ(Disasm::ins_str(abc(Op::BUILTIN, 1, 0x53, 9), 0), "BUILTIN   r1, kinds=0x53, map_new");
  EXPECT_EQ(Disasm::ins_str(abc(Op::BUILTIN, 1, 2, 70), 0), "BUILTIN   r1, r2, builtin70");
  EXPECT_EQ(Disasm::ins_str(abc(Op::BUILTIN, 1, 2, 14), 0), "BUILTIN   r1, r2, variant_tag");
  EXPECT_EQ(Disasm::ins_str(abc(Op::DB_STUB, 0, 0, 0), 0), "DB_STUB");
  EXPECT_EQ(Disasm::ins_str(abx(Op::TRAP, 0, 65535), 0), "TRAP      65535");
  EXPECT_EQ(Disasm::ins_str(asbx(Op::TRY, 3, 5), 1), "TRY       r3, handler -> 0007");
  EXPECT_EQ(Disasm::ins_str(abc(Op::ENDTRY, 0, 0, 0), 0), "ENDTRY");
  EXPECT_EQ(Disasm::ins_str(abc(Op::FNEG, 1, 2, 0), 0), "FNEG      r1, r2");
  EXPECT_EQ(Disasm::ins_str(abc(Op::SHL, 1, 2, 3), 0), "SHL       r1, r2, r3");
  EXPECT_EQ(Disasm::ins_str(27, 0), "?OP27");
  EXPECT_EQ(Disasm::ins_str(0xFFFFFF1C, 0), "?OP28");
  EXPECT_EQ(Disasm::ins_str(47, 0), "?OP47");
  EXPECT_EQ(Disasm::ins_str(255, 0), "?OP255");
}

TEST(DisasmListing, EveryOpcodeListsItsMnemonic) {
  Disasm::Listing listing = Disasm::dump(write_image(Samples::all_instructions()));
  ASSERT_TRUE(listing.ok());
  for (unsigned op = 0; op < 256; ++op) {
    const OpInfo* info = op_info(op);
    std::string expected = info ? "  " + std::string(info->mnemonic) : "  ?OP" + std::to_string(op);
    if (info || op <= 48 || op == 255) {
      EXPECT_NE(listing.text.find(expected), std::string::npos) << op;
    }
  }
}

TEST(DisasmListing, Helpers) {
  EXPECT_EQ(Disasm::quote(std::string("\"\\\n\t\x01", 5)), "\"\\\"\\\\\\n\\t\\x01\"");
  EXPECT_EQ(Disasm::quote(std::string("a\0\x1f\x7f\x80\xff ", 7)),
            std::string("\"a\\x00\\x1f\x7f\x80\xff \""));
  EXPECT_EQ(Disasm::quote(""), "\"\"");
  EXPECT_EQ(Disasm::mask_str(0), "{}");
  EXPECT_EQ(Disasm::mask_str(5), "{r0,r2}");
  EXPECT_EQ(Disasm::mask_str(9), "{r0,r3}");
  EXPECT_EQ(Disasm::mask_str(1ull << 63), "{r63}");
  EXPECT_EQ(Disasm::builtin_name(0), "now");
  EXPECT_EQ(Disasm::builtin_name(5), "multi_push");
  EXPECT_EQ(Disasm::builtin_name(14), "variant_tag");
  EXPECT_EQ(Disasm::builtin_name(15), "builtin15");
  EXPECT_EQ(Disasm::builtin_name(16), "builtin16");
  EXPECT_EQ(Disasm::builtin_name(255), "builtin255");
  const char* kinds[] = {"SCALAR", "OWNED", "GCREF", "TEXT", "MULTI", "MAP", "KIND6", "KIND7", "KIND8"};
  for (unsigned k = 0; k < 9; ++k) EXPECT_EQ(Disasm::kind_name(k), kinds[k]);
  EXPECT_EQ(Disasm::kind_name(255), "KIND255");
}

}  // namespace
