#include <vector>

#include "disasm/disasm.hpp"
#include "disasm/format.hpp"

namespace Disasm {

namespace {

using Bytecode::ConstTag;
using Bytecode::Form;

void append_ins(std::string& out, std::uint32_t word, long long pc) {
  const Bytecode::OpInfo* info = Bytecode::op_info(op_of(word));
  if (info == nullptr) {
    format_to(out, "?OP%d", {op_of(word)});
    return;
  }
  long long a = a_of(word), b = b_of(word), c = c_of(word), bx = bx_of(word);
  long long target = pc + 1 + sbx_of(word);
  if (op_of(word) == int(Bytecode::Op::BUILTIN)) {
    bool kinds = c == int(Bytecode::Builtin::MULTI_NEW) || c == int(Bytecode::Builtin::MAP_NEW);
    format_to(out, kinds ? Bytecode::builtin_kinds_listing : info->listing,
              {a, b, builtin_name(static_cast<unsigned>(c))});
    return;
  }
  switch (info->form) {
    case Form::NONE: format_to(out, info->listing, {}); break;
    case Form::A: format_to(out, info->listing, {a}); break;
    case Form::AB: format_to(out, info->listing, {a, b}); break;
    case Form::ABC: format_to(out, info->listing, {a, b, c}); break;
    case Form::ABX: format_to(out, info->listing, {a, bx}); break;
    case Form::BX: format_to(out, info->listing, {bx}); break;
    case Form::ASBX: format_to(out, info->listing, {a, target}); break;
    case Form::SBX: format_to(out, info->listing, {target}); break;
  }
}

// The listing of an image that has been read without error.
// With a sink, the text is handed over in pieces as it grows: names are
// looked up by index, so a small image can list at many times its size.
class Printer {
 public:
  Printer(const Bytecode::Image& image, const Sink* sink) : image_(image), sink_(sink) {
    out_.reserve(4096);
  }

  std::string run() {
    constants();
    classes();
    interfaces();
    vtables();
    methods();
    out_ += "== ENTRY ==\n";
    if (image_.entry == Bytecode::none) out_ += "(none)\n";
    else format_to(out_, "m%d\n", {entry()});
    if (sink_ != nullptr) {
      (*sink_)(out_);
      out_.clear();
    }
    return std::move(out_);
  }

 private:
  void spill() {
    if (sink_ != nullptr && out_.size() >= 65536) {
      (*sink_)(out_);
      out_.clear();
    }
  }

  // The header's entry field is a signed 32-bit number.
  long long entry() const { return static_cast<std::int32_t>(image_.entry); }

  // The text a constant index stands for where a name is expected.
  std::string name(std::uint32_t k) const {
    if (k >= image_.constants.size()) {
      std::string out;
      format_to(out, "<k%d?>", {k});
      return out;
    }
    const Bytecode::Constant& c = image_.constants[k];
    switch (c.tag) {
      case ConstTag::INT: return std::to_string(c.value);
      case ConstTag::TEXT: return c.text;
      case ConstTag::FLT: return hex_float(static_cast<std::uint64_t>(c.value));
    }
    return {};
  }

  void constants() {
    out_ += "== CONSTANTS ==\n";
    for (std::size_t i = 0; i < image_.constants.size(); ++i) {
      const Bytecode::Constant& c = image_.constants[i];
      long long k = static_cast<long long>(i);
      switch (c.tag) {
        case ConstTag::INT: format_to(out_, "k%-3d INT  %Ld\n", {k, c.value}); break;
        case ConstTag::TEXT: format_to(out_, "k%-3d TEXT %s\n", {k, quote(c.text)}); break;
        case ConstTag::FLT:
          format_to(out_, "k%-3d FLT  %s\n", {k, hex_float(static_cast<std::uint64_t>(c.value))});
          break;
      }
      spill();
    }
  }

  void classes() {
    out_ += "== CLASSES ==\n";
    for (std::size_t i = 0; i < image_.classes.size(); ++i) {
      const Bytecode::ClassEntry& c = image_.classes[i];
      // "c%-3d %s flags=%s fields=[%s]", the fields joined with ", "
      format_to(out_, "c%-3d %s flags=%s fields=[",
                {static_cast<long long>(i), name(c.name), c.gc ? "gc" : "-"});
      for (std::size_t j = 0; j < c.fields.size(); ++j) {
        const Bytecode::Field& f = c.fields[j];
        if (j > 0) out_ += ", ";
        if (f.name != Bytecode::none) out_ += name(f.name) + ':';
        out_ += kind_name(static_cast<unsigned>(f.kind));
        spill();
      }
      out_ += "]\n";
    }
  }

  void interfaces() {
    out_ += "== INTERFACES ==\n";
    long long slot = 0;
    for (std::size_t i = 0; i < image_.interfaces.size(); ++i) {
      const Bytecode::InterfaceEntry& entry = image_.interfaces[i];
      long long count = entry.method_count;
      first_slot_.push_back(slot);
      format_to(out_, "i%-3d %s methods=%d slots=s%d..s%d\n",
                {static_cast<long long>(i), name(entry.name), count, slot, slot + count - 1});
      slot += count;
      spill();
    }
  }

  void vtables() {
    out_ += "== VTABLES ==\n";
    for (const Bytecode::Vtable& v : image_.vtables) {
      long long first = v.interface_id < first_slot_.size() ? first_slot_[v.interface_id] : 0;
      // "c%d i%d slots s%d.. -> [%s]", the methods as "m%d" joined with ", "
      format_to(out_, "c%d i%d slots s%d.. -> [", {v.class_id, v.interface_id, first});
      for (std::size_t j = 0; j < v.methods.size(); ++j) {
        format_to(out_, j > 0 ? ", m%d" : "m%d", {v.methods[j]});
        spill();
      }
      out_ += "]\n";
    }
  }

  void methods() {
    out_ += "== METHODS ==\n";
    for (std::size_t i = 0; i < image_.methods.size(); ++i) {
      const Bytecode::MethodEntry& m = image_.methods[i];
      long long index = static_cast<long long>(i);
      std::string owner;
      if (m.owner == Bytecode::none) owner = "[free fn]";
      else format_to(owner, "[class c%d]", {m.owner});
      format_to(out_, "m%-3d %s args=%d regs=%d %s%s\n",
                {index, name(m.name), m.args, m.regs, owner, index == entry() ? " [ENTRY]" : ""});
      out_ += "  lines: ";
      if (m.lines.empty()) out_ += "(none)";
      for (std::size_t j = 0; j < m.lines.size(); ++j) {
        if (j > 0) out_ += ' ';
        format_to(out_, "%d->%d", {m.lines[j].pc, m.lines[j].line});
        spill();
      }
      out_ += '\n';
      if (m.drops.empty()) out_ += "  drops: (none)\n";
      for (const Bytecode::DropRecord& d : m.drops) {
        format_to(out_, "  drops: pc %d owned=%s gc=%s\n", {d.pc, mask_str(d.owned), mask_str(d.gc)});
        spill();
      }
      for (std::size_t pc = 0; pc < m.code.size(); ++pc) {
        format_to(out_, "  %04d  ", {static_cast<long long>(pc)});
        append_ins(out_, m.code[pc], static_cast<long long>(pc));
        out_ += '\n';
        spill();
      }
    }
  }

  const Bytecode::Image& image_;
  const Sink* sink_;  // null: the whole text is returned
  std::vector<long long> first_slot_;
  std::string out_;
};

}  // namespace

Listing dump(std::string_view image) {
  Read read_back = read(image);
  if (!read_back.ok()) return Listing{{}, std::move(read_back.error)};
  return Listing{Printer(read_back.image, nullptr).run(), {}};
}

std::string dump_to(std::string_view image, const Sink& sink) {
  Read read_back = read(image);
  if (!read_back.ok()) return std::move(read_back.error);
  Printer(read_back.image, &sink).run();
  return {};
}

std::string ins_str(std::uint32_t word, long long pc) {
  std::string out;
  append_ins(out, word, pc);
  return out;
}

std::string builtin_name(unsigned id) {
  const Bytecode::BuiltinInfo* info = Bytecode::builtin_info(id);
  if (id <= unsigned(Bytecode::Builtin::VARIANT_TAG) && info != nullptr) return std::string(info->name);
  return "builtin" + std::to_string(id);
}

std::string kind_name(unsigned k) {
  static constexpr const char* names[] = {
#define VK_FIELD_KIND_NAME(value, enumerator, name) name,
      VK_FIELD_KINDS(VK_FIELD_KIND_NAME)
#undef VK_FIELD_KIND_NAME
  };
  if (k < std::size(names) && names[k] != nullptr) return names[k];
  return "KIND" + std::to_string(k);
}

std::string quote(std::string_view text) {
  std::string out = "\"";
  for (char ch : text) {
    auto byte = static_cast<unsigned char>(ch);
    switch (ch) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      default:
        if (byte < 32) format_to(out, "\\x%02x", {byte});
        else out += ch;
    }
  }
  out += '"';
  return out;
}

std::string mask_str(std::uint64_t mask) {
  std::string out = "{";
  for (int r = 0; r < 64; ++r) {
    if ((mask >> r & 1) == 0) continue;
    if (out.size() > 1) out += ',';
    format_to(out, "r%d", {r});
  }
  out += '}';
  return out;
}

}  // namespace Disasm
