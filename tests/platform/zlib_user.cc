// A device library that depends on zlib and exports one entry of its own.
#include <zlib.h>

#include <cstdint>

extern "C" {

// Keeps the dependency on zlib real: the library calls crc32 but does not define it.
std::uint32_t Checksum(const unsigned char* data, unsigned int size) {
  return static_cast<std::uint32_t>(::crc32(0, data, size));
}

std::int32_t OwnEntry() { return 42; }

}  // extern "C"
