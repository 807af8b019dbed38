// The trailer of a standalone executable: runtime bytes, then the image, then
//
//   offset 0   8 bytes  image offset (signed, little-endian) = runtime length
//   offset 8   8 bytes  image length (signed, little-endian)
//   offset 16  4 bytes  "VBT1"
//
// so that the runtime finds the image inside its own file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace Driver {

inline constexpr std::size_t trailer_size = 20;

std::string trailer_bytes(std::int64_t image_offset, std::int64_t image_length);

// The runtime part of a file that ends in a trailer whose fields fit the
// file; any other bytes unchanged. Building from an earlier build's output
// therefore gives the same file as building from the plain runtime.
std::string_view strip_existing_trailer(std::string_view bytes);

// The image's entry field (signed 32-bit at byte 40); -1 means no entry, as
// does an image too short to hold the field.
std::int32_t image_entry(std::string_view image);

}  // namespace Driver
