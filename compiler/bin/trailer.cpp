#include "trailer.hpp"

namespace Driver {

namespace {

constexpr std::string_view magic = "VBT1";
constexpr std::size_t entry_offset = 40;

void put_le(std::string& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xff);
}

std::uint64_t get_le(std::string_view in, std::size_t at, int bytes) {
  std::uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(in[at + static_cast<std::size_t>(i)]);
  return value;
}

}  // namespace

std::string trailer_bytes(std::int64_t image_offset, std::int64_t image_length) {
  std::string out;
  put_le(out, static_cast<std::uint64_t>(image_offset), 8);
  put_le(out, static_cast<std::uint64_t>(image_length), 8);
  out += magic;
  return out;
}

std::string_view strip_existing_trailer(std::string_view bytes) {
  std::size_t n = bytes.size();
  if (n < trailer_size || bytes.substr(n - 4) != magic) return bytes;
  auto offset = static_cast<std::int64_t>(get_le(bytes, n - 20, 8));
  auto length = static_cast<std::int64_t>(get_le(bytes, n - 12, 8));
  auto room = static_cast<std::int64_t>(n - trailer_size);
  // Written as differences so that no field value can overflow the check.
  if (offset < 0 || offset > room || length != room - offset) return bytes;
  return bytes.substr(0, static_cast<std::size_t>(offset));
}

std::int32_t image_entry(std::string_view image) {
  if (image.size() < entry_offset + 4) return -1;
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(get_le(image, entry_offset, 4)));
}

}  // namespace Driver
