// The image format of the simulated device.
//
// Every flash image starts with a 512-byte header (all numbers little-endian):
//
//   offset size field
//   0      8    magic "VXSIMIMG"
//   8      4    header revision (1 or 2): how the build stamp below is encoded
//   12     4    image type (1 to 10)
//   16     4    hardware ID the image is built for
//   20     4    version: major << 16 | minor
//   24     4    image length in bytes, header included (at least 512)
//   28     4    CRC-32 (zlib) of the body: the bytes from 512 to the image length
//   32     8    build stamp: revision 1 holds the date as YYYYMMDD (4 bytes) and the
//               time as HHMMSS (4 bytes); revision 2 holds seconds since 1970-01-01
//               UTC (8 bytes)
//   40     40   build tag: free text, zero padded
//   80     4    CRC-32 of bytes 0 to 79, so that random bytes never pass as a header
//   84     428  zero
//
// The body follows the header.  An image built by BuildImage has a body derived from
// its fields only, so the same arguments always give the same bytes.
#ifndef SIM_IMAGE_FORMAT_H_
#define SIM_IMAGE_FORMAT_H_

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

inline constexpr std::size_t kHeaderSize = 512;
inline constexpr std::size_t kInfoRecordSize = 100;
inline constexpr std::size_t kBuildTagSize = 40;
inline constexpr std::array<std::uint8_t, 8> kImageMagic = {'V', 'X', 'S', 'I', 'M', 'I', 'M', 'G'};
inline constexpr std::uint32_t kFirstImageType = 1;
inline constexpr std::uint32_t kLastImageType = 10;

// A calendar date of a build.
struct BuildDate {
  int year = 2000;
  int month = 1;
  int day = 1;
};

// The fields of an image header.
struct ImageHeader {
  std::uint32_t revision = 1;
  std::uint32_t type = 0;
  std::uint32_t hardware = 0;
  std::uint32_t version = 0;  // major << 16 | minor
  std::uint32_t length = kHeaderSize;
  std::uint32_t bodyCrc = 0;
  BuildDate date;
  std::string tag;  // at most kBuildTagSize bytes are kept
};

// The display name of an image type ("Miniboot", ..., "Mobile Disk Image"); empty for
// a code outside 1 to 10.
std::string_view ImageTypeName(std::uint32_t type);
// The image type a name stands for: the display name in any case, with or without its
// spaces, or the code as a number.  0 when the name means nothing.
std::uint32_t ImageTypeFromName(std::string_view name);
// "1.0" from a version field, and back.  ParseVersion answers nothing for text that is
// not MAJOR.MINOR with both parts below 65536.
std::string VersionText(std::uint32_t version);
std::optional<std::uint32_t> ParseVersion(std::string_view text);
// A whole number, decimal or hexadecimal after "0x"; nothing for anything else.
std::optional<std::uint64_t> ParseNumber(std::string_view text);
// The same, limited to 32 bits.
std::optional<std::uint32_t> ParseU32(std::string_view text);
// "YYYY-MM-DD" and back; ParseDate answers nothing for an impossible date.
std::string DateText(const BuildDate& date);
std::optional<BuildDate> ParseDate(std::string_view text);

// CRC-32 as zlib computes it, continued from `crc`.
std::uint32_t Crc32(std::uint32_t crc, std::span<const std::uint8_t> bytes);

// The 512 header bytes of `header` (revision 1 or 2 decides the stamp encoding).
std::array<std::uint8_t, kHeaderSize> EncodeHeader(const ImageHeader& header);
// The header in the first 512 bytes, or nothing when there are fewer bytes, the magic
// or the header CRC is wrong, the revision is unknown, the length is below 512 or the
// build date impossible; then *reason, when given, says which.
std::optional<ImageHeader> DecodeHeader(std::span<const std::uint8_t> bytes,
                                        std::string* reason = nullptr);

// A whole image of `length` bytes (at least 512) with a deterministic body; fills in
// the header's length and body CRC.
std::vector<std::uint8_t> BuildImage(ImageHeader header);

// The state of an image in flash, as the info record reports it at bytes 36 to 39.
enum class FlashState : std::uint32_t {
  kComplete = 0,  // the image was written to its end
  kDamaged = 1,   // a write began and never completed
  kAbsent = 2,    // nothing of that type is in flash
};

// Fills the 100-byte image information record from a header.  Bytes 0 to 3 (the size
// the caller set) are left alone.  Layout, all little-endian:
//   4-7    header revision            (a differing revision masks 20-27 and 52-91)
//   8-11   image type
//   12-15  hardware ID
//   16-19  version
//   20-27  build stamp, encoded as the header revision encodes it
//   28-31  image length
//   32-35  body CRC
//   36-39  flash state (FlashState); always 0 for an image in a buffer
//   40-51  zero
//   52-91  build tag
//   92-99  zero
// Without a header (nothing readable in flash) only the type and the state are set.
void FillInfoRecord(std::span<std::uint8_t, kInfoRecordSize> record,
                    const std::optional<ImageHeader>& header, std::uint32_t type, FlashState state);

// Little-endian helpers.
std::uint32_t LoadU32(const std::uint8_t* bytes);
void StoreU32(std::uint8_t* bytes, std::uint32_t value);

}  // namespace sim

#endif  // SIM_IMAGE_FORMAT_H_
