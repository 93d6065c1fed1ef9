// The per-image operations: suitability check, version comparison and writing.  All
// three pick the directory entry of an image the same way (SelectEntry).
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "binding/binding.h"
#include "package/internal.h"
#include "package/package.h"
#include "platform/platform.h"

namespace package {
namespace {

constexpr std::uint32_t kIplType = static_cast<std::uint32_t>(ImageType::kIpl);

// The image information record the device library fills, and the ranges that the
// comparison disregards when the value at bytes 4 to 7 differs.
constexpr std::size_t kImageInfoSize = 100;
using ImageInfo = std::array<std::uint8_t, kImageInfoSize>;
struct ByteRange {
  std::size_t first;
  std::size_t end;  // one past the last byte
};
constexpr std::array<ByteRange, 3> kMaskedRanges = {{{4, 8}, {20, 28}, {52, 92}}};

using Probe = std::array<std::uint8_t, kImageProbeSize>;

// The directory entry of `type` in the given variant.  kImageOk with *entry set, 9 for a
// type without entry, 6 for an absent entry, an entry the header layout does not have, or
// an IPL variant that no suitability check has chosen yet (-1): nothing is ever read from
// an index that does not exist.
std::int32_t SelectEntry(const PackageRecord& record, std::uint32_t type, std::int32_t variant,
                         ImageEntry* entry) {
  if (!SlotOf(type)) return kImageInvalid;
  const std::optional<ImageEntry> found = EntryOf(HeaderOf(record), type, variant);
  if (!found || found->Absent()) return kImageAbsent;
  *entry = *found;
  return kImageOk;
}

// The variant that comparing and writing use: the one the suitability check chose for
// IPL, the only one for every other type.
std::int32_t ChosenVariant(const PackageRecord& record, std::uint32_t type) {
  if (type != kIplType) return 0;
  return record.selectedVariant[*SlotOf(type)];
}

// Reads the first 512 bytes of an image.  kImageOk, or 3 when positioning fails or fewer
// bytes arrive.
std::int32_t ReadProbe(PackageRecord& record, const ImageEntry& entry, Probe& probe) {
  if (!SeekTo(record, entry.offset)) return kImageReadFailed;
  std::uint32_t read = 0;
  ReadPackage(record, probe, &read);
  return read == probe.size() ? kImageOk : kImageReadFailed;
}

// One variant of one image: the device library judges its first 512 bytes.
std::int32_t CheckEntry(PackageRecord& record, std::uint32_t type, const ImageEntry& entry) {
  Probe probe{};
  const std::int32_t read = ReadProbe(record, entry, probe);
  if (read != kImageOk) return read;
  return binding::VXUpdate_CheckImageType(type, probe.data(), kImageProbeSize);
}

void SetRecordSize(ImageInfo& info) {
  info.fill(0);
  for (std::size_t i = 0; i < 4; ++i) {
    info[i] = static_cast<std::uint8_t>(kImageInfoSize >> (8 * i));
  }
}

// Equal records, or records that differ only where a different value at bytes 4 to 7
// lets them differ.
bool SameImage(ImageInfo& flash, ImageInfo& package) {
  const bool keyDiffers = !std::equal(flash.begin() + 4, flash.begin() + 8, package.begin() + 4);
  if (keyDiffers) {
    for (const ByteRange& range : kMaskedRanges) {
      std::fill(flash.begin() + range.first, flash.begin() + range.end, 0);
      std::fill(package.begin() + range.first, package.begin() + range.end, 0);
    }
  }
  return flash == package;
}

// Streams an image that is positioned and has a buffer: first call, follow-ups while
// the library expects bytes, closing call.
std::int32_t StreamImage(PackageRecord& record, std::uint32_t type, const ImageEntry& entry,
                         TransferBuffer& buffer, ProgressCallback progress) {
  std::uint8_t* const data = buffer.block.get();
  std::uint32_t read = 0;
  if (!ReadPackage(record, std::span(data, kFirstChunkSize), &read)) {
    return kImageReadFailed;
  }
  std::uint32_t remaining = 0;
  std::int32_t result = binding::VXUpdate_WriteFirst(type, data, read, &remaining);
  while (result == kImageOk) {
    if (remaining == 0) return binding::VXUpdate_WriteLast();
    const std::uint32_t wanted = std::min(buffer.size, remaining);
    if (!ReadPackage(record, std::span(data, wanted), &read)) return kImageReadFailed;
    // The package ends before the library has all it asked for: waiting for more would
    // never end.
    if (read == 0) return kImageReadFailed;
    result = binding::VXUpdate_WriteNext(data, read, &remaining);
    // A library that expects more than the directory says must not make the done count
    // wrap around into a huge number.
    if (progress != nullptr) progress(entry.length, entry.length - std::min(remaining, entry.length));
  }
  return result;
}

}  // namespace

std::int32_t PackageCheckImage(PackageHandle handle, std::uint32_t type) {
  if (!IsValid(handle)) return kImageInvalid;
  const bool variantsFollow =
      type == kIplType && HeaderOf(*handle).headerLength >= kIplVariantsHeaderLength;
  const std::int32_t lastVariant = variantsFollow ? 2 : 0;
  std::int32_t result = kImageInvalid;
  for (std::int32_t variant = 0; variant <= lastVariant; ++variant) {
    ImageEntry entry;
    const std::int32_t selected = SelectEntry(*handle, type, variant, &entry);
    if (selected == kImageInvalid) return selected;
    result = selected == kImageOk ? CheckEntry(*handle, type, entry) : selected;
    if (result == kImageOk) {
      handle->selectedVariant[*SlotOf(type)] = variant;
      return kImageOk;
    }
  }
  // Every variant failed: the last one tried speaks for them.
  return result;
}

std::int32_t PackageCheckSuitability(PackageHandle handle) {
  if (!IsValid(handle)) return kImageInvalid;
  const PackageHeader header = HeaderOf(*handle);
  const bool mobile = header.wince.offset == 0 && header.wince.length == 0;
  handle->mobile = mobile ? 1 : 0;

  std::int32_t loaders = kImageOk;
  if (binding::SystemBootFromDOC() != 0) {
    loaders = PackageCheckImage(handle, static_cast<std::uint32_t>(ImageType::kSpl));
    if (loaders == kImageOk) loaders = PackageCheckImage(handle, kIplType);
  } else {
    loaders = PackageCheckImage(handle, static_cast<std::uint32_t>(ImageType::kMiniboot));
  }
  if (loaders == kImageOk) {
    loaders = PackageCheckImage(handle, static_cast<std::uint32_t>(ImageType::kBootloader));
  }

  if (!mobile) {
    if (loaders != kImageOk) return loaders;
    return PackageCheckImage(handle, static_cast<std::uint32_t>(ImageType::kWinCE));
  }
  // A mobile package carries its system as Mobile IPL and Mobile Disk Image, which only
  // the 108-byte header has.
  if (header.headerLength < kMobileHeaderLength) return kImageAbsent;
  if (loaders != kImageOk) return loaders;
  const std::int32_t mobileIpl =
      PackageCheckImage(handle, static_cast<std::uint32_t>(ImageType::kMobileIpl));
  if (mobileIpl != kImageOk) return mobileIpl;
  return PackageCheckImage(handle, static_cast<std::uint32_t>(ImageType::kMobileDiskImage));
}

std::int32_t PackageCompareImage(PackageHandle handle, std::uint32_t type,
                                 std::uint32_t checkCrc) {
  if (!IsValid(handle)) return kImageInvalid;
  ImageEntry entry;
  const std::int32_t selected = SelectEntry(*handle, type, ChosenVariant(*handle, type), &entry);
  if (selected != kImageOk) return selected;
  Probe probe{};
  const std::int32_t read = ReadProbe(*handle, entry, probe);
  if (read != kImageOk) return read;

  ImageInfo flash;
  SetRecordSize(flash);
  if (binding::GetImageInfo(flash.data(), type) == 0) return kImageInvalid;
  ImageInfo package;
  SetRecordSize(package);
  if (binding::GetImageInfoFromBuffer(package.data(), probe.data(), kImageProbeSize) == 0) {
    return kImageAbsent;
  }
  if (!SameImage(flash, package)) return kImageDiffers;
  if (checkCrc != 0) return binding::VXUpdate_CheckCRC(type);
  return kImageOk;
}

std::int32_t PackageWriteImage(PackageHandle handle, std::uint32_t type,
                               ProgressCallback progress) {
  if (!IsValid(handle)) return kImageInvalid;
  ImageEntry entry;
  const std::int32_t selected = SelectEntry(*handle, type, ChosenVariant(*handle, type), &entry);
  if (selected != kImageOk) return selected;
  std::optional<TransferBuffer> buffer = AllocateTransferBuffer();
  if (!buffer) return kImageNoMemory;
  if (!SeekTo(*handle, entry.offset)) return kImageReadFailed;
  if (progress != nullptr) progress(entry.length, 0);
  const std::int32_t result = StreamImage(*handle, type, entry, *buffer, progress);
  if (result == kImageOk) handle->written = 1;
  return result;
}

}  // namespace package
