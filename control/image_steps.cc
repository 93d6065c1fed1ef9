// The per-image steps of the update and verify passes, and the progress printer.
#include <cstdint>
#include <string>

#include "binding/binding.h"
#include "control/control.h"
#include "package/package.h"
#include "platform/platform.h"

namespace control {
namespace {

// The comparison's own "differs" and the device library's failed CRC check both mean
// that the image needs writing.
constexpr std::int32_t kCrcDiffers = 14;
// Item of the device's data store that tells the system a new WinCE image is in place.
constexpr std::uint32_t kNewImageItem = 28;

// Dots printed for the operation in progress.
std::uint32_t gProgressDots = 0;

// The display name as a zero-terminated string for "%S"; the view need not be one.
std::u16string NameOf(std::uint32_t type) { return std::u16string(package::ImageTypeName(type)); }

// Miniboot and SPL are the only images written onto freshly formatted flash.
bool NeedsFormat(std::uint32_t type) {
  return type == static_cast<std::uint32_t>(package::ImageType::kMiniboot) ||
         type == static_cast<std::uint32_t>(package::ImageType::kSpl);
}

const char* OkOrFailed(std::int32_t result) { return result == 0 ? "Ok\n" : "Failed\n"; }

}  // namespace

std::int32_t UpdateImage(package::PackageHandle handle, std::uint32_t type,
                         const UpdateOptions* options) {
  if (handle == package::InvalidPackageHandle()) return package::kImageInvalid;

  if (options->ForceFullUpgrade == 0) {
    platform::Printf("Check %S...", NameOf(type).c_str());
    const std::int32_t check = package::PackageCompareImage(handle, type, options->CheckCRC);
    if (check == package::kImageOk) {
      platform::Printf("Up to Date\n");
      return 0;
    }
    if (check != package::kImageDiffers && check != kCrcDiffers) {
      platform::Printf("Error (Code = %d)\n", check);
      return check;
    }
    platform::Printf("Need to upgrade\n");
  }

  std::int32_t result = 0;
  if (NeedsFormat(type)) {
    platform::Printf("Flash physical format...");
    result = binding::VXUpdate_LowLevelFormat();
    platform::Printf(OkOrFailed(result));
  }
  if (result == 0) {
    platform::Printf("Update %S", NameOf(type).c_str());
    result = package::PackageWriteImage(handle, type, PrintProgress);
    platform::Printf(OkOrFailed(result));
  }
  if (result != 0) return result;

  if (options->VerifyAfterWrite != 0) {
    platform::Printf("Verify %S...", NameOf(type).c_str());
    result = package::PackageCompareImage(handle, type, 1);
    platform::Printf(OkOrFailed(result));
    if (result != 0) return result;
  }

  if (type == static_cast<std::uint32_t>(package::ImageType::kWinCE)) {
    if (binding::GD_setULong(kNewImageItem, 1) == 0) return package::kImageInvalid;
    if (binding::GD_store() == 0) return package::kImageInvalid;
  }
  return 0;
}

std::int32_t VerifyImage(package::PackageHandle handle, std::uint32_t type) {
  if (handle == package::InvalidPackageHandle()) return package::kImageInvalid;
  platform::Printf("Verify %S...", NameOf(type).c_str());
  const std::int32_t result = package::PackageCompareImage(handle, type, 1);
  platform::Printf(OkOrFailed(result));
  return result;
}

void PrintProgress(std::uint32_t total, std::uint32_t done) {
  if (done == 0) gProgressDots = 0;
  // No operation has an amount of 0 to do; should one report it, there is no progress to
  // show and nothing to divide by.
  if (total == 0) return;
  // Formed in 64 bits: in 32 bits the product wraps for amounts above 429 MB, and an
  // operation would no longer end with exactly ten dots.
  const std::uint64_t target = std::uint64_t{done} * 10u / total;
  while (gProgressDots < target) {
    platform::Print(".");
    ++gProgressDots;
  }
}

}  // namespace control
