// The open package: opening, closing, the accessors and the integrity check.
#include <algorithm>
#include <cstdint>
#include <new>
#include <optional>
#include <span>
#include <string_view>

#include "binding/binding.h"
#include "package/internal.h"
#include "package/package.h"
#include "platform/platform.h"

namespace package {
namespace {

constexpr std::uint32_t kLargestTransferBuffer = 1u << 20;
constexpr std::uint32_t kSmallestTransferBuffer = 1u << 16;

// Releases the record of a handle that failed to open, closing its file when it got one.
void Discard(PackageRecord* record) {
  if (record->file != platform::kInvalidHandle) platform::CloseHandle(record->file);
  record->~PackageRecord();
  platform::Free(record);
}

// Reads the payload through the bound crc32 and compares it with payloadCrc.  Ends with
// nothing bound.
ValidateResult CheckPayloadCrc(PackageRecord& record, const PackageHeader& header,
                               TransferBuffer& buffer, ProgressCallback progress) {
  ValidateResult result = ValidateResult::kValid;
  std::uint32_t crc = binding::crc32(0, nullptr, 0);
  const std::uint32_t total = header.payloadSize;
  // An empty payload reports no progress: there is nothing to show, and a printer that
  // divides by the total must not be handed a 0.
  if (progress != nullptr && total != 0) progress(total, 0);
  std::uint32_t remaining = total;
  while (result == ValidateResult::kValid && remaining != 0) {
    const std::uint32_t wanted = std::min(buffer.size, remaining);
    std::uint32_t read = 0;
    const bool ok = ReadPackage(record, std::span(buffer.block.get(), wanted), &read);
    // A file that ends before the payload does is as unreadable as a failing read; going
    // on would never end.
    if (!ok || read == 0 || read > remaining) {
      result = ValidateResult::kReadError;
    } else {
      crc = binding::crc32(crc, buffer.block.get(), read);
      remaining -= read;
    }
    if (progress != nullptr) progress(total, total - remaining);
  }
  binding::ReleaseLibrary();
  if (result == ValidateResult::kValid && crc != header.payloadCrc) {
    result = ValidateResult::kWrongCrc;
  }
  return result;
}

}  // namespace

PackageHandle InvalidPackageHandle() {
  // All bits set: no allocation can start at the last byte of the address space.
  return reinterpret_cast<PackageHandle>(~std::uintptr_t{0});
}

bool IsValid(PackageHandle handle) {
  return handle != nullptr && handle != InvalidPackageHandle();
}

PackageHeader HeaderOf(const PackageRecord& record) {
  return DecodeHeader(std::span<const std::uint8_t, kHeaderSize>(record.header));
}

std::optional<TransferBuffer> AllocateTransferBuffer() {
  for (std::uint32_t size = kLargestTransferBuffer; size >= kSmallestTransferBuffer; size /= 2) {
    platform::Block block = platform::AllocateBlock(size);
    if (block) return TransferBuffer{std::move(block), size};
  }
  return std::nullopt;
}

PackageHandle PackageOpen(std::u16string_view path) {
  void* memory = platform::Malloc(sizeof(PackageRecord));
  if (memory == nullptr) return InvalidPackageHandle();
  auto* record = new (memory) PackageRecord;
  record->selectedVariant.fill(-1);
  record->written = 0;
  record->mobile = 0;

  record->file = platform::CreateFile(path, platform::kGenericRead, platform::kFileShareRead,
                                      platform::kOpenExisting, platform::kFileAttributeNormal);
  if (record->file == platform::kInvalidHandle) {
    Discard(record);
    return InvalidPackageHandle();
  }
  std::uint32_t read = 0;
  platform::ReadFile(record->file, record->header, &read);
  if (read != kHeaderSize) {
    Discard(record);
    return InvalidPackageHandle();
  }
  if (!std::equal(kMagic.begin(), kMagic.end(), record->header.begin())) {
    Discard(record);
    return InvalidPackageHandle();
  }
  return record;
}

ValidateResult PackageValidate(PackageHandle handle, std::uint32_t checkCrc,
                               ProgressCallback progress) {
  if (!IsValid(handle)) return ValidateResult::kInvalidHandle;
  const PackageHeader header = HeaderOf(*handle);
  if (header.headerLength > kMobileHeaderLength) return ValidateResult::kHeaderTooNew;
  if (ExpectedPayloadSize(header) != header.payloadSize) return ValidateResult::kWrongSize;
  if (checkCrc == 0) return ValidateResult::kValid;

  std::optional<TransferBuffer> buffer = AllocateTransferBuffer();
  if (!buffer) return ValidateResult::kNoMemory;
  if (!SeekTo(*handle, header.headerLength)) return ValidateResult::kReadError;
  // Without zlib.dll the package counts as valid: the CRC check is a bonus, not a gate.
  if (!binding::SwitchLibrary(binding::kZlibLibrary)) return ValidateResult::kValid;
  return CheckPayloadCrc(*handle, header, *buffer, progress);
}

void PackageClose(PackageHandle handle) {
  if (!IsValid(handle)) return;
  Discard(handle);
}

std::uint32_t PackageWasWritten(PackageHandle handle) {
  return IsValid(handle) ? handle->written : 0;
}

std::uint32_t PackageIsMobile(PackageHandle handle) {
  return IsValid(handle) ? handle->mobile : 0;
}

std::uint32_t PackageHeaderLength(PackageHandle handle) {
  return IsValid(handle) ? HeaderOf(*handle).headerLength : 0;
}

}  // namespace package
