// json.encode and the checked decode: exact output, round trips, escapes
// and Unicode, every way a text can fail to fit, and a mutation fuzz run of
// the decoder (run under the sanitizers by tests/run.sh).
#include <random>

#include "containers.hpp"
#include "lib/json.hpp"
#include "lib/state.hpp"
#include "vmlib_fixture.hpp"

namespace {

using namespace VmLibTest;
using Vm::Instance;

constexpr unsigned encode_id = 57, decode_id = 58;
// The element meta bit of a field declared `?T` (Text, Bytes, class, ...).
constexpr std::uint32_t nullable = Emit::elem_meta_nullable;

struct People : Prog {
  std::uint32_t address = 0, person = 0;
  People() {
    address = add_class("Address", {{"city", FieldKind::TEXT}, {"zip", FieldKind::TEXT, Emit::none, nullable}});
    person = add_class("Person", {{"name", FieldKind::TEXT},
                                  {"age", FieldKind::SCALAR},
                                  {"emails", FieldKind::MULTI, Emit::none, 3},
                                  {"address", FieldKind::OWNED, 0, nullable},
                                  {"score", FieldKind::FLOAT},
                                  {"nick", FieldKind::TEXT, Emit::none, nullable},
                                  {"ok", FieldKind::SCALAR, Emit::meta_bool},
                                  {"rank", FieldKind::SCALAR, Emit::meta_nullable_scalar},
                                  {"ratio", FieldKind::FLOAT, Emit::meta_nullable_float},
                                  {"counts", FieldKind::MAP, Emit::none, 0x03},
                                  {"raw", FieldKind::BYTES, Emit::none, nullable},
                                  {"extra", FieldKind::TEXT, Emit::meta_json, nullable}});
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
    EXPECT_EQ(why(), "");
    std::string s = encode(r);
    vm->heap.drop(r);
    return s;
  }
  // Why the last decode gave nil.
  std::string why() { return Vm::library_state(*vm).json_error; }
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
  EXPECT_NE(p.redo("{\"name\":\"n\",\"age\":1,\"score\":1e400,\"ok\":true}").find("\"score\":null"), std::string::npos);
  EXPECT_NE(p.redo("{\"name\":\"n\",\"age\":1,\"score\":-1e-400,\"ok\":true}").find("\"score\":-0.0"), std::string::npos);
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
           "{\"age\":1,\"score\":1.5,\"ok\":true}",                       // a Text missing
           "{\"name\":null,\"age\":1,\"score\":1.5,\"ok\":true}",         // a Text null
           "{\"name\":\"n\",\"age\":1,\"score\":1.5,\"ok\":true,\"emails\":null}",
           "{\"name\":\"n\",\"age\":1,\"score\":1.5,\"ok\":true,\"emails\":[\"a\",null]}",
           "{\"name\":\"n\",\"age\":1,\"score\":1.5,\"ok\":true,\"counts\":{\"a\":null}}",
           "{\"name\":\"n\",\"age\":1,\"score\":1.5,\"ok\":true,\"address\":{}}",  // its city missing
           "{\"name\":\"n\",\"age\":1,\"score\":1.5,\"ok\":true,\"rank\":-4611686018427387904}",
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
  // Nesting far deeper than the C++ stack would allow is skipped, and kept
  // as text by a json.Value member; cut short, it is refused.
  std::string deep = std::string(300000, '[') + std::string(300000, ']');
  EXPECT_NE(p.redo(std::string("{\"x\":") + deep + "," + base + "}"), "<nil>");
  std::string kept = p.redo(std::string("{\"extra\":") + deep + "," + base + "}");
  EXPECT_NE(kept.find("\"extra\":[[[[[["), std::string::npos);
  EXPECT_EQ(p.redo(std::string("{\"x\":") + deep.substr(1) + "," + base + "}"), "<nil>");
}

TEST(VmLibJson, LastErrorSaysWhereAndWhy) {
  People p;
  const std::string base = "\"age\":1,\"score\":1.5,\"ok\":true";
  auto why = [&](const std::string& doc) {
    EXPECT_EQ(p.redo(doc), "<nil>") << doc;
    return p.why();
  };
  EXPECT_EQ(why(""), "line 1, column 1: expected `{`: the text must be a JSON object");
  EXPECT_EQ(why("{\n  \"name\": \"n\",\n  \"age\": 1 \"score\": 2}"), "line 3, column 12: expected `,` or `}`");
  EXPECT_EQ(why("{\"name\":\"n\"," + base + "} x"), "line 1, column 44: text after the object");
  EXPECT_EQ(why("{\"name\":\"a\x01\"}"), "line 1, column 11: a control byte inside a string (write it as an escape)");
  EXPECT_EQ(why("{\"name\":\"n\",\"age\":\"1\",\"score\":1.5,\"ok\":true}"), "member `age`: expected an integer");
  EXPECT_EQ(why("{" + base + "}"), "member `name` is missing");
  EXPECT_EQ(why("{\"name\":null," + base + "}"), "member `name` is null, and the field cannot be nil");
  EXPECT_EQ(why("{\"name\":\"n\"," + base + ",\"address\":{\"zip\":\"1\"}}"), "member `address.city` is missing");
  EXPECT_EQ(why("{\"name\":\"n\"," + base + ",\"emails\":[\"a\",\"b\",7]}"), "member `emails[2]`: expected a string");
  EXPECT_EQ(why("{\"name\":\"n\"," + base + ",\"emails\":[\"a\",null]}"),
            "member `emails[1]` is null, and the elements cannot be nil");
  EXPECT_EQ(why("{\"name\":\"n\"," + base + ",\"counts\":{\"a\":1,\"b\":\"x\"}}"), "member `counts[\"b\"]`: expected an integer");
  EXPECT_EQ(why("{\"name\":\"n\"," + base + ",\"rank\":-4611686018427387904}"),
            "member `rank`: -4611686018427387904 is out of range for an Int");
  EXPECT_EQ(why("{\"name\":\"n\",\"age\":1e3,\"score\":1.5,\"ok\":true}"), "member `age`: expected an integer");
  // A success clears the reason.
  EXPECT_NE(p.redo("{\"name\":\"n\"," + base + "}"), "<nil>");
  EXPECT_EQ(p.why(), "");
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
