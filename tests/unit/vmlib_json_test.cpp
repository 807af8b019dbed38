// json.encode and the checked decode: exact output, round trips, escapes
// and Unicode, every way a text can fail to fit, and a mutation fuzz run of
// the decoder (run under the sanitizers by tests/run.sh).
#include <random>

#include "containers.hpp"
#include "lib/json.hpp"
#include "vmlib_fixture.hpp"

namespace {

using namespace VmLibTest;
using Vm::Instance;

constexpr unsigned encode_id = 57, decode_id = 58;

struct People : Prog {
  std::uint32_t address = 0, person = 0;
  People() {
    address = add_class("Address", {{"city", FieldKind::TEXT}, {"zip", FieldKind::TEXT}});
    person = add_class("Person", {{"name", FieldKind::TEXT},
                                  {"age", FieldKind::SCALAR},
                                  {"emails", FieldKind::MULTI, Emit::none, 3},
                                  {"address", FieldKind::OWNED, 0},
                                  {"score", FieldKind::FLOAT},
                                  {"nick", FieldKind::TEXT},
                                  {"ok", FieldKind::SCALAR, Emit::meta_bool},
                                  {"rank", FieldKind::SCALAR, Emit::meta_nullable_scalar},
                                  {"ratio", FieldKind::FLOAT, Emit::meta_nullable_float},
                                  {"counts", FieldKind::MAP, Emit::none, 0x03},
                                  {"raw", FieldKind::BYTES},
                                  {"extra", FieldKind::TEXT, Emit::meta_json}});
    start();
  }
  Value ada() {
    Instance* p = vm->heap.instance(person);
    p->fields[0] = text("Ada \"the Countess\"\n\t\\ ü");
    p->fields[1] = I(-36);
    Vm::Multi* emails = vm->heap.multi(Vm::Kind::TEXT);
    vm->heap.multi_push(emails, text("ada@example.org"));
    vm->heap.multi_push(emails, text("c\x01@x"));
    p->fields[2] = Vm::from_ptr(emails);
    Instance* a = vm->heap.instance(address);
    a->fields[0] = text("London");
    p->fields[3] = Vm::from_ptr(a);
    p->fields[4] = Vm::from_float(0.1);
    p->fields[6] = 1;
    p->fields[7] = I(Vm::nil_int);
    p->fields[8] = Vm::nil_float_bits;
    Vm::Map* counts = vm->heap.map(0x03);
    p->fields[9] = Vm::from_ptr(counts);
    Value k = text("x");
    Vm::map_set(vm->heap, counts, k, I(3));
    vm->heap.drop(k);
    p->fields[10] = Vm::from_ptr(vm->heap.bytes(std::string_view("\0\xff\x10", 3)));
    p->fields[11] = text("[1,{\"a\":null}]");
    return Vm::from_ptr(p);
  }
  std::string encode(Value v) {
    Value t = call(encode_id, {v});
    std::string s = str(t);
    vm->heap.drop(t);
    return s;
  }
  // The decode of `doc` encoded again, or "<nil>".
  std::string redo(std::string_view doc) {
    Value d = text(doc);
    Value r = call(decode_id, {d, I(person)});
    vm->heap.drop(d);
    if (r == 0) return "<nil>";
    std::string s = encode(r);
    vm->heap.drop(r);
    return s;
  }
};

const char ada_json[] =
    "{\"name\":\"Ada \\\"the Countess\\\"\\n\\t\\\\ ü\",\"age\":-36,\"emails\":[\"ada@example.org\",\"c\\u0001@x\"],"
    "\"address\":{\"city\":\"London\",\"zip\":null},\"score\":0.1,\"nick\":null,\"ok\":true,\"rank\":null,"
    "\"ratio\":null,\"counts\":{\"x\":3},\"raw\":\"AP8Q\",\"extra\":[1,{\"a\":null}]}";

TEST(VmLibJson, EncodeIsCompactInSlotOrderAndDecodeGivesItBack) {
  People p;
  Value ada = p.ada();
  EXPECT_EQ(p.encode(ada), ada_json);
  p.vm->heap.drop(ada);
  EXPECT_EQ(p.redo(ada_json), ada_json);
  // Bare values: nil, Int, a Text, a multi.
  EXPECT_EQ(p.encode(0), "null");
  EXPECT_EQ(p.encode(I(-42)), "-42");
  Value t = p.text("a\"b");
  EXPECT_EQ(p.encode(t), "\"a\\\"b\"");
  p.vm->heap.drop(t);
}

TEST(VmLibJson, DecodeMatchesNamesInAnyOrderAndDecodesEscapes) {
  People p;
  // Members in any order, unknown members skipped, whitespace anywhere,
  // missing nullable fields nil, a missing multi or map empty.
  EXPECT_EQ(p.redo(" { \"unknown\" : [1, {\"deep\": [true, false, null, -1.5e3]}, \"\\u00fc\"],\n"
                   "\"ok\": false, \"score\": 1e2, \"age\": 0, \"name\": \"A\\u00fc\\ud83d\\ude00\\/\",\n"
                   "\"address\": {\"city\": \"X\"}, \"rank\": 7, \"ratio\": -0.5, \"raw\": \"\"} "),
            "{\"name\":\"Aü😀/\",\"age\":0,\"emails\":[],\"address\":{\"city\":\"X\",\"zip\":null},\"score\":100.0,"
            "\"nick\":null,\"ok\":false,\"rank\":7,\"ratio\":-0.5,\"counts\":{},\"raw\":\"\",\"extra\":null}");
  // The last of two members with one name wins.
  EXPECT_EQ(p.redo("{\"name\":\"a\",\"name\":\"b\",\"age\":1,\"score\":0,\"ok\":true}"),
            "{\"name\":\"b\",\"age\":1,\"emails\":[],\"address\":null,\"score\":0.0,\"nick\":null,\"ok\":true,"
            "\"rank\":null,\"ratio\":null,\"counts\":{},\"raw\":null,\"extra\":null}");
  // Large and tiny Floats read to the nearest double.
  EXPECT_NE(p.redo("{\"age\":1,\"score\":1e400,\"ok\":true}").find("\"score\":null"), std::string::npos);
  EXPECT_NE(p.redo("{\"age\":1,\"score\":-1e-400,\"ok\":true}").find("\"score\":-0.0"), std::string::npos);
}

TEST(VmLibJson, AnythingThatDoesNotFitGivesNil) {
  People p;
  const char* base = "\"name\":\"n\",\"age\":1,\"score\":1.5,\"ok\":true";
  ASSERT_NE(p.redo(std::string("{") + base + "}"), "<nil>");
  for (const char* bad : {
           "", "   ", "[1, 2]", "\"text\"", "null", "42", "{", "{\"name\": \"Cut",
           "{\"name\":\"n\",\"score\":1.5,\"ok\":true}",                 // age missing
           "{\"name\":\"n\",\"age\":1,\"score\":1.5}",                   // ok missing
           "{\"name\":\"n\",\"age\":1,\"ok\":true}",                     // score missing
           "{\"name\":5,\"age\":1,\"score\":1.5,\"ok\":true}",            // a number for a Text
           "{\"name\":\"n\",\"age\":\"1\",\"score\":1.5,\"ok\":true}",    // a string for an Int
           "{\"name\":\"n\",\"age\":1.5,\"score\":1.5,\"ok\":true}",      // a fraction for an Int
           "{\"name\":\"n\",\"age\":99999999999999999999,\"score\":1.5,\"ok\":true}",
           "{\"name\":\"n\",\"age\":01,\"score\":1.5,\"ok\":true}",       // a leading zero
           "{\"name\":\"n\",\"age\":1,\"score\":1.5,\"ok\":1}",           // a number for a Bool
           "{\"name\":\"n\",\"age\":1,\"score\":1.5,\"ok\":true,\"rank\":true}",
           "{\"name\":\"n\",\"age\":1,\"score\":1.5,\"ok\":true,\"emails\":[1]}",
           "{\"name\":\"n\",\"age\":1,\"score\":1.5,\"ok\":true,\"address\":[]}",
           "{\"name\":\"n\",\"age\":1,\"score\":1.5,\"ok\":true,\"raw\":\"not base64!\"}",
           "{\"name\":\"\\ud83d\",\"age\":1,\"score\":1.5,\"ok\":true}",  // a lone surrogate
           "{\"name\":\"\\x\",\"age\":1,\"score\":1.5,\"ok\":true}",      // an unknown escape
           "{\"name\":\"a\nb\",\"age\":1,\"score\":1.5,\"ok\":true}",     // a raw line feed
           "{\"name\":\"n\",\"age\":1,\"score\":1.5,\"ok\":true,}",       // a trailing comma
           "{\"name\":\"n\",\"age\":1,\"score\":1.5,\"ok\":true} x",      // text after the object
           "{\"name\":\"n\",\"age\":1,\"score\":1.5,\"ok\":tru}",
           "{\"name\":\"n\",\"age\":-,\"score\":1.5,\"ok\":true}",
       }) {
    EXPECT_EQ(p.redo(bad), "<nil>") << bad;
  }
  // Nesting far deeper than any document needs is refused, not a crash.
  std::string deep = std::string("{\"x\":") + std::string(100000, '[') + std::string(100000, ']') + "," + base + "}";
  EXPECT_EQ(p.redo(deep), "<nil>");
}

TEST(VmLibJson, MutatedDocumentsNeverCrashOrLeak) {
  People p;
  std::mt19937 rng(12345);
  const std::string seed = ada_json;
  const char pieces[] = "{}[]\",:\\u0123456789eE+-.tfnl ";
  int decoded = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string doc = seed;
    int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits; ++e) {
      std::size_t at = rng() % (doc.size() + 1);
      switch (rng() % 3) {
        case 0: doc.insert(at, 1, pieces[rng() % (sizeof pieces - 1)]); break;
        case 1:
          if (at < doc.size()) doc.erase(at, 1 + rng() % 3);
          break;
        default:
          if (at < doc.size()) doc[at] = static_cast<char>(rng() % 256);
      }
    }
    if (p.redo(doc) != "<nil>") ++decoded;
  }
  EXPECT_GT(decoded, 0);  // some mutations still fit (a changed digit, a space)
}

}  // namespace
