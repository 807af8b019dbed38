// The image seal: a magic and a SHA-256 digest of every image byte before
// it, appended after the last method. It tells an image damaged on disk or
// in transit from a sound one; it is not a signature (anyone can compute it),
// so it says nothing about who wrote the image. The image reader never looks
// past the last method, so a sealed image lists exactly as an unsealed one.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace Seal {

inline constexpr std::string_view magic = "VKS1";
inline constexpr std::size_t digest_size = 32;
inline constexpr std::size_t size = 4 + digest_size;  // magic, then digest

// Appends the seal of `image` (the finished image bytes) to it.
void append(std::string& image);

enum class State {
  UNSEALED,  // the image does not end in a seal: nothing to check
  INTACT,    // the digest matches every byte before the seal
  DAMAGED,   // the image ends in a seal whose digest does not match
};

State check(std::string_view image);

}  // namespace Seal
