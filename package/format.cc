// The layout of VXUpdate.bin: the header fields, the image directory, the payload-length
// rule and the image type names.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "package/package.h"

namespace package {
namespace {

constexpr std::array<std::u16string_view, kImageTypeCount> kImageTypeNames = {
    u"Miniboot", u"SPL",    u"Bootloader", u"WinCE",      u"IPL",
    u"Xilinx",   u"Atmel",  u"Altera",     u"Mobile IPL", u"Mobile Disk Image",
};

// Field offsets of the header.
constexpr std::size_t kHeaderLengthAt = 4;
constexpr std::size_t kPayloadCrcAt = 8;
constexpr std::size_t kPayloadSizeAt = 12;
constexpr std::size_t kReservedAt = 16;
constexpr std::size_t kExtraLengthAt = 20;
constexpr std::size_t kEngineOffsetAt = 24;
constexpr std::size_t kEngineLengthAt = 28;
constexpr std::size_t kEngineCrcAt = 32;
constexpr std::size_t kIpl0At = 36;
constexpr std::size_t kSplAt = 44;
constexpr std::size_t kMinibootAt = 52;
constexpr std::size_t kBootloaderAt = 60;
constexpr std::size_t kWinceAt = 68;
constexpr std::size_t kIpl1At = 76;
constexpr std::size_t kIpl2At = 84;
constexpr std::size_t kMobileIplAt = 92;
constexpr std::size_t kMobileDiskImageAt = 100;

std::uint32_t Load32(std::span<const std::uint8_t, kHeaderSize> bytes, std::size_t at) {
  return static_cast<std::uint32_t>(bytes[at]) |
         static_cast<std::uint32_t>(bytes[at + 1]) << 8 |
         static_cast<std::uint32_t>(bytes[at + 2]) << 16 |
         static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

void Store32(std::array<std::uint8_t, kHeaderSize>& bytes, std::size_t at, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) {
    bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}

ImageEntry LoadEntry(std::span<const std::uint8_t, kHeaderSize> bytes, std::size_t at) {
  return ImageEntry{Load32(bytes, at), Load32(bytes, at + 4)};
}

void StoreEntry(std::array<std::uint8_t, kHeaderSize>& bytes, std::size_t at,
                const ImageEntry& entry) {
  Store32(bytes, at, entry.offset);
  Store32(bytes, at + 4, entry.length);
}

constexpr std::array<std::string_view, 7> kValidateResultNames = {
    "valid",
    "invalid handle",
    "header too new",
    "payload size mismatch",
    "no transfer buffer",
    "payload read error",
    "payload CRC mismatch",
};
static_assert(kValidateResultNames.size() ==
                  static_cast<std::size_t>(ValidateResult::kWrongCrc) + 1,
              "every ValidateResult needs a name, in code order");

}  // namespace

std::u16string_view ImageTypeName(std::uint32_t type) {
  if (type < 1 || type > kImageTypeCount) return {};
  return kImageTypeNames[type - 1];
}

PackageHeader DecodeHeader(std::span<const std::uint8_t, kHeaderSize> bytes) {
  PackageHeader header;
  for (std::size_t i = 0; i < header.magic.size(); ++i) header.magic[i] = bytes[i];
  header.headerLength = Load32(bytes, kHeaderLengthAt);
  header.payloadCrc = Load32(bytes, kPayloadCrcAt);
  header.payloadSize = Load32(bytes, kPayloadSizeAt);
  header.reserved = Load32(bytes, kReservedAt);
  header.extraLength = Load32(bytes, kExtraLengthAt);
  header.engineOffset = Load32(bytes, kEngineOffsetAt);
  header.engineLength = Load32(bytes, kEngineLengthAt);
  header.engineCrc = Load32(bytes, kEngineCrcAt);
  header.ipl0 = LoadEntry(bytes, kIpl0At);
  header.spl = LoadEntry(bytes, kSplAt);
  header.miniboot = LoadEntry(bytes, kMinibootAt);
  header.bootloader = LoadEntry(bytes, kBootloaderAt);
  header.wince = LoadEntry(bytes, kWinceAt);
  header.ipl1 = LoadEntry(bytes, kIpl1At);
  header.ipl2 = LoadEntry(bytes, kIpl2At);
  header.mobileIpl = LoadEntry(bytes, kMobileIplAt);
  header.mobileDiskImage = LoadEntry(bytes, kMobileDiskImageAt);
  return header;
}

std::array<std::uint8_t, kHeaderSize> EncodeHeader(const PackageHeader& header) {
  std::array<std::uint8_t, kHeaderSize> bytes{};
  for (std::size_t i = 0; i < header.magic.size(); ++i) bytes[i] = header.magic[i];
  Store32(bytes, kHeaderLengthAt, header.headerLength);
  Store32(bytes, kPayloadCrcAt, header.payloadCrc);
  Store32(bytes, kPayloadSizeAt, header.payloadSize);
  Store32(bytes, kReservedAt, header.reserved);
  Store32(bytes, kExtraLengthAt, header.extraLength);
  Store32(bytes, kEngineOffsetAt, header.engineOffset);
  Store32(bytes, kEngineLengthAt, header.engineLength);
  Store32(bytes, kEngineCrcAt, header.engineCrc);
  StoreEntry(bytes, kIpl0At, header.ipl0);
  StoreEntry(bytes, kSplAt, header.spl);
  StoreEntry(bytes, kMinibootAt, header.miniboot);
  StoreEntry(bytes, kBootloaderAt, header.bootloader);
  StoreEntry(bytes, kWinceAt, header.wince);
  StoreEntry(bytes, kIpl1At, header.ipl1);
  StoreEntry(bytes, kIpl2At, header.ipl2);
  StoreEntry(bytes, kMobileIplAt, header.mobileIpl);
  StoreEntry(bytes, kMobileDiskImageAt, header.mobileDiskImage);
  return bytes;
}

std::uint32_t ExpectedPayloadSize(const PackageHeader& header) {
  // Unsigned 32-bit arithmetic: the sum wraps modulo 2^32, as the rule says.
  std::uint32_t sum = header.extraLength + header.engineLength + header.ipl0.length +
                      header.spl.length + header.miniboot.length + header.bootloader.length +
                      header.wince.length;
  if (header.headerLength >= kIplVariantsHeaderLength) {
    sum += header.ipl1.length + header.ipl2.length;
  }
  if (header.headerLength >= kMobileHeaderLength) {
    sum += header.mobileIpl.length + header.mobileDiskImage.length;
  }
  return sum;
}

std::optional<ImageEntry> EntryOf(const PackageHeader& header, std::uint32_t type,
                                  std::int32_t variant) {
  if (type == static_cast<std::uint32_t>(ImageType::kIpl)) {
    switch (variant) {
      case 0:
        return header.ipl0;
      case 1:
        if (header.headerLength < kIplVariantsHeaderLength) return std::nullopt;
        return header.ipl1;
      case 2:
        if (header.headerLength < kIplVariantsHeaderLength) return std::nullopt;
        return header.ipl2;
      default:
        return std::nullopt;
    }
  }
  if (variant != 0) return std::nullopt;
  switch (static_cast<ImageType>(type)) {
    case ImageType::kMiniboot:
      return header.miniboot;
    case ImageType::kSpl:
      return header.spl;
    case ImageType::kBootloader:
      return header.bootloader;
    case ImageType::kWinCE:
      return header.wince;
    case ImageType::kMobileIpl:
      if (header.headerLength < kMobileHeaderLength) return std::nullopt;
      return header.mobileIpl;
    case ImageType::kMobileDiskImage:
      if (header.headerLength < kMobileHeaderLength) return std::nullopt;
      return header.mobileDiskImage;
    default:
      return std::nullopt;
  }
}

std::optional<std::size_t> SlotOf(std::uint32_t type) {
  switch (static_cast<ImageType>(type)) {
    case ImageType::kIpl:
      return 0;
    case ImageType::kSpl:
      return 1;
    case ImageType::kMiniboot:
      return 2;
    case ImageType::kBootloader:
      return 3;
    case ImageType::kWinCE:
      return 4;
    case ImageType::kMobileIpl:
      return 5;
    case ImageType::kMobileDiskImage:
      return 6;
    default:
      return std::nullopt;
  }
}

std::string_view ToString(ValidateResult result) {
  const auto index = static_cast<std::size_t>(result);
  if (index >= kValidateResultNames.size()) return "unknown";
  return kValidateResultNames[index];
}

}  // namespace package
