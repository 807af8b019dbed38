// Bounds-checked little-endian reads over an image. Private to the disassembler.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace Disasm {

// A malformed image. Thrown by the reader and caught at the module's boundary.
struct Bad {
  std::string message;
};

class Reader {
 public:
  explicit Reader(std::string_view image) : image_(image) {}

  std::size_t pos() const { return pos_; }
  void seek(std::size_t pos) { pos_ = pos; }
  std::size_t remaining() const { return pos_ < image_.size() ? image_.size() - pos_ : 0; }

  std::uint8_t u8() { return static_cast<std::uint8_t>(take(1)); }
  std::uint16_t u16() { return static_cast<std::uint16_t>(take(2)); }
  std::uint32_t u32() { return static_cast<std::uint32_t>(take(4)); }
  std::int64_t i64() { return static_cast<std::int64_t>(take(8)); }

  // `n` raw bytes; `overrun` is the message when fewer remain.
  std::string_view bytes(std::uint64_t n, const char* overrun) {
    if (n > remaining()) throw Bad{overrun};
    std::string_view out = image_.substr(pos_, n);
    pos_ += n;
    return out;
  }

 private:
  std::uint64_t take(int width) {
    if (static_cast<std::size_t>(width) > remaining()) throw Bad{"truncated"};
    std::uint64_t v = 0;
    for (int i = width - 1; i >= 0; --i) v = v << 8 | static_cast<std::uint8_t>(image_[pos_ + i]);
    pos_ += width;
    return v;
  }

  std::string_view image_;
  std::size_t pos_ = 0;
};

}  // namespace Disasm
