// A device engine library for the image-writer benchmark: it takes every image and throws
// its bytes away, so that what is timed is the writer's own work (reading the package and
// handing over the chunks) and not a flash store.
//
// Like the simulated engine it asks for exactly the image's length, which an image header
// carries little-endian at bytes 24 to 27, less the bytes of the first chunk that belong
// to the image.
#include <algorithm>
#include <cstdint>

namespace {

constexpr std::uint32_t kLengthOffset = 24;

std::uint32_t g_remaining = 0;

std::uint32_t LoadU32(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

}  // namespace

#define VXBENCH_ENTRY extern "C" __attribute__((visibility("default")))

VXBENCH_ENTRY std::int32_t VXUpdate_WriteFirst(std::uint32_t /*type*/, const std::uint8_t* data,
                                               std::uint32_t count, std::uint32_t* remaining) {
  // Too short to carry a length: an image of just these bytes.
  const std::uint32_t length =
      data != nullptr && count >= kLengthOffset + 4 ? LoadU32(data + kLengthOffset) : count;
  g_remaining = length - std::min(count, length);
  *remaining = g_remaining;
  return 0;
}

VXBENCH_ENTRY std::int32_t VXUpdate_WriteNext(const std::uint8_t* /*data*/, std::uint32_t count,
                                              std::uint32_t* remaining) {
  g_remaining -= std::min(count, g_remaining);
  *remaining = g_remaining;
  return 0;
}

VXBENCH_ENTRY std::int32_t VXUpdate_WriteLast() { return 0; }
