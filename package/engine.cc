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

// Binds the first of vx_bsp_api.dll and zlib.dll that exports crc32.  False when neither
// does; whatever was bound last then stays bound.
bool BindCrcProvider() {
  if (binding::SwitchLibrary(binding::kBoardSupportLibrary) &&
      binding::LibrarySupports(kCrc32Entry) == 1) {
    return true;
  }
  binding::ReleaseLibrary();
  return binding::SwitchLibrary(binding::kZlibLibrary) &&
         binding::LibrarySupports(kCrc32Entry) == 1;
}

// Writes the engine bytes to "\VXUpdate.dll" in one write.  False when the file cannot
// be created or takes fewer bytes; a partial file is left behind and never bound.
bool WriteEngineFile(std::span<const std::uint8_t> engine) {
  const platform::Handle file =
      platform::CreateFile(binding::kEngineLibrary, platform::kGenericWrite, 0,
                           platform::kCreateAlways, 0);
  if (file == platform::kInvalidHandle) return false;
  std::uint32_t written = 0;
  platform::WriteFile(file, engine, &written);
  platform::CloseHandle(file);
  return written == engine.size();
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
  const std::uint32_t fileSize = platform::GetFileSize(handle->file, &sizeHigh);
  if (sizeHigh == 0 &&
      (fileSize == platform::kInvalidFileSize || fileSize < header.engineOffset ||
       fileSize - header.engineOffset < header.engineLength)) {
    return 0;
  }
  platform::Block engine = platform::AllocateBlock(header.engineLength);
  if (!engine) return 0;
  const std::span<std::uint8_t> bytes(engine.get(), header.engineLength);
  std::uint32_t read = 0;
  platform::ReadFile(handle->file, bytes, &read);
  if (read != header.engineLength) return 0;

  if (BindCrcProvider()) {
    std::uint32_t crc = binding::crc32(0, nullptr, 0);
    crc = binding::crc32(crc, bytes.data(), header.engineLength);
    if (crc != header.engineCrc) return 0;
  }
  if (!WriteEngineFile(bytes)) return 0;
  binding::ReleaseLibrary();
  return binding::SwitchLibrary(binding::kEngineLibrary) ? 1 : 0;
}

void PackageUnloadEngine() { binding::ReleaseLibrary(); }

}  // namespace package
