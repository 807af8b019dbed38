// Builtins over Bytes: access, slices, conversions, base64 and the digests
// (SHA-1, SHA-256 and HMAC-SHA-256 from OpenSSL's libcrypto).
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <cstring>

#include "builtins.hpp"
#include "bytecode/bytecode.hpp"

namespace Vm {

using Bytecode::Builtin;

namespace {

constexpr char b64_alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string_view bytes_arg(Value v, const char* name) { return text_arg(v, name); }

Value b_bytes_len(Machine&, const Call& c) { return bytes_arg(c.args[0], "bytes_len").size(); }

Value b_bytes_at(Machine&, const Call& c) {
  std::string_view b = bytes_arg(c.args[0], "bytes_at");
  std::int64_t i = as_int(c.args[1]);
  if (i < 0 || static_cast<std::uint64_t>(i) >= b.size()) raise_index(i, b.size(), "bytes");
  return static_cast<unsigned char>(b[static_cast<std::size_t>(i)]);
}

Value b_bytes_slice(Machine& vm, const Call& c) {
  std::string_view b = bytes_arg(c.args[0], "bytes_slice");
  std::int64_t from = as_int(c.args[1]), to = as_int(c.args[2]);
  if (from < 0 || static_cast<std::uint64_t>(from) > b.size()) raise_index(from, b.size(), "bytes");
  if (to < from || static_cast<std::uint64_t>(to) > b.size()) raise_index(to, b.size(), "bytes");
  return new_bytes(vm, b.substr(static_cast<std::size_t>(from), static_cast<std::size_t>(to - from)));
}

Value b_bytes_eq(Machine&, const Call& c) {
  return from_bool(bytes_arg(c.args[0], "bytes_eq") == bytes_arg(c.args[1], "bytes_eq"));
}

Value b_bytes_concat(Machine& vm, const Call& c) {
  std::string_view a = bytes_arg(c.args[0], "bytes_concat"), b = bytes_arg(c.args[1], "bytes_concat");
  Str* s = vm.heap.bytes_buffer(a.size() + b.size());
  if (!a.empty()) std::memcpy(s->data, a.data(), a.size());
  if (!b.empty()) std::memcpy(s->data + a.size(), b.data(), b.size());
  return from_ptr(s);
}

Value b_bytes_of_text(Machine& vm, const Call& c) { return new_bytes(vm, text_arg(c.args[0], "bytes_of_text")); }
Value b_text_of_bytes(Machine& vm, const Call& c) { return new_text(vm, bytes_arg(c.args[0], "text_of_bytes")); }

Value b_base64_encode(Machine& vm, const Call& c) {
  std::string_view in = bytes_arg(c.args[0], "base64_encode");
  Str* s = vm.heap.text_buffer((in.size() + 2) / 3 * 4);
  char* out = s->data;
  std::size_t i = 0;
  for (; i + 3 <= in.size(); i += 3) {
    std::uint32_t v = std::uint32_t(std::uint8_t(in[i])) << 16 | std::uint32_t(std::uint8_t(in[i + 1])) << 8 |
                      std::uint8_t(in[i + 2]);
    *out++ = b64_alphabet[v >> 18];
    *out++ = b64_alphabet[v >> 12 & 63];
    *out++ = b64_alphabet[v >> 6 & 63];
    *out++ = b64_alphabet[v & 63];
  }
  if (i < in.size()) {
    std::uint32_t v = std::uint32_t(std::uint8_t(in[i])) << 16;
    if (i + 1 < in.size()) v |= std::uint32_t(std::uint8_t(in[i + 1])) << 8;
    *out++ = b64_alphabet[v >> 18];
    *out++ = b64_alphabet[v >> 12 & 63];
    *out++ = i + 1 < in.size() ? b64_alphabet[v >> 6 & 63] : '=';
    *out++ = '=';
  }
  return from_ptr(s);
}

int b64_value(char ch) {
  if (ch >= 'A' && ch <= 'Z') return ch - 'A';
  if (ch >= 'a' && ch <= 'z') return ch - 'a' + 26;
  if (ch >= '0' && ch <= '9') return ch - '0' + 52;
  if (ch == '+') return 62;
  if (ch == '/') return 63;
  return -1;
}

// Standard padded base64 only; anything else (wrong length, a stray byte,
// padding inside, non-zero bits in the padding) gives nil.
Value b_base64_decode(Machine& vm, const Call& c) {
  std::string_view in = text_arg(c.args[0], "base64_decode");
  if (in.size() % 4 != 0) return 0;
  std::size_t pad = 0;
  if (!in.empty() && in.back() == '=') pad = in.size() >= 2 && in[in.size() - 2] == '=' ? 2 : 1;
  std::string out;
  out.reserve(in.size() / 4 * 3);
  for (std::size_t i = 0; i < in.size(); i += 4) {
    bool last = i + 4 == in.size();
    int v[4];
    for (int j = 0; j < 4; ++j) {
      bool padding = last && j >= 4 - static_cast<int>(pad);
      v[j] = padding ? 0 : b64_value(in[i + j]);
      if (v[j] < 0) return 0;
    }
    std::uint32_t w = std::uint32_t(v[0]) << 18 | std::uint32_t(v[1]) << 12 | std::uint32_t(v[2]) << 6 | std::uint32_t(v[3]);
    out += static_cast<char>(w >> 16);
    if (!(last && pad == 2)) out += static_cast<char>(w >> 8 & 0xff);
    else if ((w >> 8 & 0xff) != 0) return 0;
    if (!(last && pad >= 1)) out += static_cast<char>(w & 0xff);
    else if ((w & 0xff) != 0) return 0;
  }
  return new_bytes(vm, out);
}

Value b_sha1(Machine& vm, const Call& c) {
  std::string_view in = bytes_arg(c.args[0], "sha1");
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(in.data()), in.size(), digest);
  return new_bytes(vm, std::string_view(reinterpret_cast<char*>(digest), sizeof digest));
}

Value b_sha256(Machine& vm, const Call& c) {
  std::string_view in = bytes_arg(c.args[0], "sha256");
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(in.data()), in.size(), digest);
  return new_bytes(vm, std::string_view(reinterpret_cast<char*>(digest), sizeof digest));
}

Value b_hmac_sha256(Machine& vm, const Call& c) {
  std::string_view key = bytes_arg(c.args[0], "hmac_sha256");
  std::string_view msg = bytes_arg(c.args[1], "hmac_sha256");
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
           reinterpret_cast<const unsigned char*>(msg.data()), msg.size(), digest, &len) == nullptr) {
    raise(ErrorCode::BAD_ARGUMENT, "hmac_sha256: the digest failed");
  }
  return new_bytes(vm, std::string_view(reinterpret_cast<char*>(digest), len));
}

}  // namespace

void register_bytes_builtins(BuiltinTable& t) {
  t.add(unsigned(Builtin::BYTES_LEN), b_bytes_len, 1, "bytes_len");
  t.add(unsigned(Builtin::BYTES_AT), b_bytes_at, 2, "bytes_at");
  t.add(unsigned(Builtin::BYTES_SLICE), b_bytes_slice, 3, "bytes_slice");
  t.add(unsigned(Builtin::BYTES_EQ), b_bytes_eq, 2, "bytes_eq");
  t.add(unsigned(Builtin::BYTES_CONCAT), b_bytes_concat, 2, "bytes_concat");
  t.add(unsigned(Builtin::BASE64_ENCODE), b_base64_encode, 1, "base64_encode");
  t.add(unsigned(Builtin::BASE64_DECODE), b_base64_decode, 1, "base64_decode");
  t.add(unsigned(Builtin::BYTES_OF_TEXT), b_bytes_of_text, 1, "bytes_of_text");
  t.add(unsigned(Builtin::TEXT_OF_BYTES), b_text_of_bytes, 1, "text_of_bytes");
  t.add(unsigned(Builtin::SHA1), b_sha1, 1, "sha1");
  t.add(unsigned(Builtin::SHA256), b_sha256, 1, "sha256");
  t.add(unsigned(Builtin::HMAC_SHA256), b_hmac_sha256, 2, "hmac_sha256");
}

}  // namespace Vm
