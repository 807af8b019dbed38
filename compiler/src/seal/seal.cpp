#include "seal/seal.hpp"

#include <openssl/sha.h>

#include <cstring>

namespace Seal {

namespace {

void digest_of(std::string_view bytes, unsigned char out[digest_size]) {
  static_assert(digest_size == SHA256_DIGEST_LENGTH);
  SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), out);
}

}  // namespace

void append(std::string& image) {
  unsigned char digest[digest_size];
  digest_of(image, digest);
  image.reserve(image.size() + size);
  image.append(magic);
  image.append(reinterpret_cast<const char*>(digest), digest_size);
}

State check(std::string_view image) {
  if (image.size() < size || image.substr(image.size() - size, magic.size()) != magic) return State::UNSEALED;
  std::string_view body = image.substr(0, image.size() - size);
  unsigned char digest[digest_size];
  digest_of(body, digest);
  return std::memcmp(digest, image.data() + body.size() + magic.size(), digest_size) == 0 ? State::INTACT
                                                                                           : State::DAMAGED;
}

}  // namespace Seal
