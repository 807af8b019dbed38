// The image reader and the bytecode listing of `--dump-bc`.
//   read.cpp     reads and checks an image into the bytecode's image entries
//   listing.cpp  prints the listing of a read image, and one instruction
//   format.cpp   the printf-like formatter the listing formats go through
// Malformed images come back as an error message, never as an exception.
// Depends on the bytecode module only: the runtime links it to load images.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "bytecode/bytecode.hpp"

namespace Disasm {

// An image read back: the entries when `error` is empty, else the message of
// the first problem ("truncated", "bad magic", "unsupported version 7", ...).
struct Read {
  Bytecode::Image image;
  std::string error;
  bool ok() const { return error.empty(); }
};

// Reads every section with the reader's checks. Memory is only taken for
// entries whose bytes are present, whatever the counts claim.
Read read(std::string_view image);

// The execution checks an image must pass before it runs, beyond those of
// `read`: every register operand below the method's register count, every
// jump inside its method, every constant, class, method, interface slot and
// builtin id valid, argument windows inside the caller's registers, drop
// masks inside the window, and no instruction that can run off the end of
// its code. Field slots are checked against the widest class, since the
// class of a GETF/SETF operand is only known at run time.
//
// `arity(id)` tells the builtins the runtime has: -2 for an unknown id, -1
// for one whose argument count is not fixed, else the count. The result is
// the first problem found ("method 3 `main`: ...") or empty.
using BuiltinArity = std::function<int(unsigned id)>;
std::string verify(const Bytecode::Image& image, const BuiltinArity& arity);
// The same with the arities of the builtin table; ids missing from it are
// taken as library members of unknown arity.
std::string verify(const Bytecode::Image& image);

// The listing of an image: every line ends in a line feed. No partial listing
// is produced for a malformed image: `text` is empty and `error` says why.
struct Listing {
  std::string text;
  std::string error;
  bool ok() const { return error.empty(); }
};

Listing dump(std::string_view image);

// The same listing handed to `sink` in pieces, for listings too large to hold
// whole. The image is read and checked completely before the first piece, so
// a malformed image sends nothing; the result is its error, or empty.
using Sink = std::function<void(std::string_view)>;
std::string dump_to(std::string_view image, const Sink& sink);

// The text of one instruction at `pc` (jump targets are pc + 1 + sBx).
std::string ins_str(std::uint32_t word, long long pc);

// "now" ... "variant_tag" for ids 0-14, "builtin<id>" for every other id.
std::string builtin_name(unsigned id);
// "SCALAR", "OWNED", "GCREF", "TEXT", "MULTI", "MAP"; "KIND<k>" otherwise.
std::string kind_name(unsigned k);
// A text in double quotes with `"`, `\`, line feed, tab and other bytes
// below 32 escaped; every other byte as it is.
std::string quote(std::string_view text);
// "{r0,r3}" for bits 0 and 3; "{}" for 0.
std::string mask_str(std::uint64_t mask);

using Bytecode::a_of;
using Bytecode::b_of;
using Bytecode::bx_of;
using Bytecode::c_of;
using Bytecode::op_of;
using Bytecode::sbx_of;

}  // namespace Disasm
