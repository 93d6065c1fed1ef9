// Installation of the update engine library carried in the package: extracted, checked
// against engineCrc when some bound library offers crc32, written to "\VXUpdate.dll" and
// bound in place of the board support library.
#include <cstdint>
#include <span>
#include <string_view>

#include "binding/binding.h"
#include "package/internal.h"
#include "package/package.h"
#include "platform/platform.h"

namespace package {
namespace {

constexpr std::u16string_view kCrc32Entry = u"crc32";

enum class CrcProvider { kNone, kBoardSupport, kZlib };

// Binds the first of vx_bsp_api.dll and zlib.dll that exports crc32.  With neither,
// whatever was bound last (zlib.dll without crc32, or nothing) stays bound.
CrcProvider BindCrcProvider() {
  if (binding::SwitchLibrary(binding::kBoardSupportLibrary) &&
      binding::LibrarySupports(kCrc32Entry) == 1) {
    return CrcProvider::kBoardSupport;
  }
  binding::ReleaseLibrary();
  return binding::SwitchLibrary(binding::kZlibLibrary) && binding::LibrarySupports(kCrc32Entry) == 1
             ? CrcProvider::kZlib
             : CrcProvider::kNone;
}

// The binding after a refused or unwritable engine: the board support library stays
// bound when it gave the CRC; any other library is let go.  zlib.dll answers no device
// entry, so left bound it would turn the lights and the reset of the warm boot that
// follows into fallbacks, and the device would never reboot.
std::int32_t Refuse(CrcProvider provider) {
  if (provider != CrcProvider::kBoardSupport) binding::ReleaseLibrary();
  return 0;
}

}  // namespace

std::int32_t PackageInstallEngine(PackageHandle handle) {
  if (!IsValid(handle)) return 0;
  const PackageHeader header = HeaderOf(*handle);
  if (!SeekTo(*handle, header.engineOffset)) return 0;
  // An empty engine cannot be a library: refusing it here leaves the binding as it was
  // and no empty "\VXUpdate.dll" behind.
  if (header.engineLength == 0) return 0;
  // The read below could only come up short when the file does not hold the engine, so
  // that is found out before any memory is asked for: a damaged length near 2^32 must not
  // turn into an allocation of that size.
  std::uint32_t sizeHigh = 0;
  const std::uint32_t fileSize = PackageFileSize(*handle, &sizeHigh);
  if (sizeHigh == 0 && (fileSize == platform::kInvalidFileSize || fileSize < header.engineOffset ||
                        fileSize - header.engineOffset < header.engineLength)) {
    return 0;
  }
  platform::Block engine = platform::AllocateBlock(header.engineLength);
  if (!engine) return 0;
  const std::span<std::uint8_t> bytes(engine.get(), header.engineLength);
  std::uint32_t read = 0;
  ReadPackage(*handle, bytes, &read);
  if (read != header.engineLength) return 0;

  const CrcProvider provider = BindCrcProvider();
  if (provider != CrcProvider::kNone) {
    std::uint32_t crc = binding::crc32(0, nullptr, 0);
    crc = binding::crc32(crc, bytes.data(), header.engineLength);
    if (crc != header.engineCrc) return Refuse(provider);
  }
  // A partial file is left behind when the write comes up short, and never bound.
  if (!platform::WriteNewFile(binding::kEngineLibrary, bytes)) return Refuse(provider);
  binding::ReleaseLibrary();
  return binding::SwitchLibrary(binding::kEngineLibrary) ? 1 : 0;
}

void PackageUnloadEngine() { binding::ReleaseLibrary(); }

}  // namespace package
