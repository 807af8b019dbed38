// Images built in code with the writer, shared by the image, listing and
// mutation tests and by the check of the vkdis golden inputs.
#pragma once

#include <cstdint>
#include <string>

#include "emit/emit.hpp"

namespace Samples {

using namespace Emit;

// No constants, classes, interfaces or methods, and no entry.
inline Image empty() { return Image{}; }

// A small but complete program image: every constant tag, a gc class with
// every field kind and two table indexes, interfaces with and without
// methods, vtables (one naming a missing interface), methods with line and
// drop records, the entry, and names that are Int, Float or missing constants.
inline Image program() {
  ConstPool pool;
  Image image;
  std::uint32_t node = pool.const_text("Node");
  std::uint32_t point = pool.const_text("Point");
  std::uint32_t shape = pool.const_text("Shape");
  std::uint32_t empty_iface = pool.const_text("Empty");
  std::uint32_t named = pool.const_text("Named");
  std::uint32_t main_name = pool.const_text("main");
  std::uint32_t area = pool.const_text("area");
  std::uint32_t hello = pool.const_text("he said \"hi\"\\\n\t\x01 caf\xc3\xa9\x7f");
  std::uint32_t zero = pool.const_int(0);
  std::uint32_t big = pool.const_int(-9223372036854775807LL - 1);
  std::uint32_t half = pool.const_float(2.5);
  pool.const_float(-1.0 / 0.0);
  pool.const_float_bits(0x7FF8000000000EE1ull);  // the nil Float
  pool.const_float(-0.0);
  pool.const_text("");

  ClassEntry n;
  n.name = node;
  n.gc = true;
  n.fields = {
      {FieldKind::SCALAR, pool.const_text("id"), meta_nullable_scalar, 0},
      {FieldKind::GCREF, pool.const_text("next"), 0, 0},
      {FieldKind::TEXT, pool.const_text("label"), none, 0},
      {FieldKind::MULTI, pool.const_text("kids"), 1, elem_meta_multi(FieldKind::OWNED)},
      {FieldKind::MAP, pool.const_text("tags"), none,
       elem_meta_map(FieldKind::TEXT, FieldKind::SCALAR)},
      {FieldKind::FLOAT, pool.const_text("weight"), meta_nullable_float, 0},
      {FieldKind::BYTES, none, none, 0},
      {FieldKind::OWNED, zero, 1, 0},
      {FieldKind(9), half, none, 0},
  };
  n.indexes = {{true, {0}}, {false, {2, 5}}};
  ClassEntry p;
  p.name = point;
  p.fields = {{FieldKind::SCALAR, pool.const_text("x"), meta_bool, 0},
              {FieldKind::SCALAR, pool.const_text("y"), meta_nullable_bool, 0},
              {FieldKind::TEXT, pool.const_text("tag"), meta_json, 0},
              {FieldKind::FLOAT, pool.const_text("z"), none, 0}};
  image.classes = {n, p};

  image.interfaces = {{shape, 2}, {empty_iface, 0}, {named, 1}};
  image.vtables = {{1, 0, {1, 2}}, {1, 2, {2}}, {0, 7, {}}};

  MethodEntry m;
  m.name = main_name;
  m.args = 0;
  m.regs = 4;
  m.code = {
      abx(Op::LOADK, 0, hello),
      abc(Op::BUILTIN, 1, 0, int(Builtin::PRINT)),
      abc(Op::BUILTIN, 2, elem_meta_map(FieldKind::TEXT, FieldKind::GCREF), int(Builtin::MAP_NEW)),
      abc(Op::BUILTIN, 3, 3, int(Builtin::MULTI_NEW)),
      abx(Op::NEW, 1, 0),
      abc(Op::SETF, 1, 2, 0),
      abc(Op::GETF, 3, 1, 2),
      asbx(Op::JZ, 3, 2),
      abx(Op::CALL, 1, 1),
      asbx(Op::JMP, 0, -10),
      abc(Op::DROP, 1, 0, 0),
      abx(Op::LOADK, 0, big),
      abc(Op::RET, 0, 0, 0),
  };
  m.lines = {{0, 3}, {4, 4}, {10, 7}};
  m.drops = {{4, 0b10, 0}, {8, 0b10, 0b1001}, {11, 0, 0}};
  MethodEntry a;
  a.name = area;
  a.owner = 1;
  a.args = 1;
  a.regs = 2;
  a.code = {abx(Op::ICALL, 0, 3), abc(Op::RET0, 0, 0, 0)};
  MethodEntry odd;
  odd.name = 4000;  // a constant this image does not have
  odd.args = 255;
  odd.regs = 64;
  odd.owner = 0;
  image.methods = {m, a, odd};
  image.entry = 0;
  image.constants = pool.entries();
  return image;
}

// One method holding every opcode at the edges of its operand fields, and
// the invalid opcode bytes.
inline Image all_instructions() {
  ConstPool pool;
  Image image;
  MethodEntry m;
  m.name = pool.const_text("every");
  m.regs = 64;
  for (int op = 0; op < 256; ++op) {
    const OpInfo* info = op_info(op);
    if (info == nullptr) {
      if (op <= 48 || op == 255) m.code.push_back(std::uint32_t(op) | 0xABCDEF00u);
      continue;
    }
    Op o = static_cast<Op>(op);
    switch (info->form) {
      case Form::ASBX:
      case Form::SBX:
        m.code.push_back(asbx(o, info->form == Form::SBX ? 0 : 63, min_sbx));
        m.code.push_back(asbx(o, 0, max_sbx));
        m.code.push_back(asbx(o, 1, 0));
        break;
      case Form::ABX:
      case Form::BX:
        m.code.push_back(abx(o, info->form == Form::BX ? 0 : 63, max_bx));
        m.code.push_back(abx(o, 0, 0));
        break;
      default:
        m.code.push_back(abc(o, 255, 255, 255));
        m.code.push_back(abc(o, 0, 0, 0));
        break;
    }
  }
  m.code.push_back(abc(Op::BUILTIN, 5, 0x53, int(Builtin::MAP_NEW)));
  m.code.push_back(abc(Op::BUILTIN, 5, 6, int(Builtin::FLOAT)));
  m.code.push_back(abc(Op::BUILTIN, 5, 6, int(Builtin::VARIANT_TAG)));
  m.code.push_back(abc(Op::BUILTIN, 5, 6, 15));
  image.methods = {m};
  image.constants = pool.entries();
  return image;
}

// A program image of about `bytes` bytes: many methods of straight-line code
// with line and drop records, over a pool of Int and Text constants.
inline Image large(std::size_t bytes) {
  ConstPool pool;
  Image image;
  for (int i = 0; i < 2000; ++i) pool.const_text("name_" + std::to_string(i));
  for (int i = 0; i < 2000; ++i) pool.const_int(i * 7919);
  std::size_t size = 0;
  for (std::uint32_t id = 0; size < bytes; ++id) {
    MethodEntry m;
    m.name = id % 2000;
    m.args = 2;
    m.regs = 16;
    for (int pc = 0; pc < 1000; ++pc) {
      int r = pc % 16;
      switch (pc % 5) {
        case 0: m.code.push_back(abx(Op::LOADK, r, 2000 + pc)); break;
        case 1: m.code.push_back(abc(Op::ADD, r, (r + 1) % 16, (r + 2) % 16)); break;
        case 2: m.code.push_back(abx(Op::CALL, r, id % 4096)); break;
        case 3: m.code.push_back(asbx(Op::JZ, r, -pc)); break;
        default: m.code.push_back(abc(Op::BUILTIN, r, r, pc % 90)); break;
      }
      if (pc % 10 == 0) m.lines.push_back({std::uint32_t(pc), std::uint32_t(pc / 10 + 1)});
      if (pc % 50 == 0) m.drops.push_back({std::uint32_t(pc), 0x5ull << (pc % 60), 1ull << r});
    }
    size += 4000 + 8 * m.lines.size() + 20 * m.drops.size() + 24;
    image.methods.push_back(std::move(m));
  }
  image.entry = 0;
  image.constants = pool.entries();
  return image;
}

}  // namespace Samples
