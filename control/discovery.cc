// Discovery of the update package: "\Storage Card\" first, then the CustomPath folder.
#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "control/control.h"
#include "package/package.h"
#include "platform/platform.h"

namespace control {
namespace {

constexpr std::u16string_view kStorageCard = u"\\Storage Card\\";
constexpr std::u16string_view kPackageName = u"VXUpdate.bin";
constexpr std::uint32_t kPackageNameBytes = kPackageName.size() * 2;
// "\Storage Card\", "VXUpdate.bin" and one terminator, in bytes.
constexpr std::uint32_t kStorageCardRoom =
    (kStorageCard.size() + kPackageName.size() + 1) * sizeof(char16_t);

// Copies `text` to buffer[at...] and terminates it; the caller has made sure it fits.
std::size_t Put(char16_t* buffer, std::size_t at, std::u16string_view text) {
  std::copy(text.begin(), text.end(), buffer + at);
  buffer[at + text.size()] = u'\0';
  return at + text.size();
}

}  // namespace

std::int32_t ProbeUpdatePackage(const char16_t* path) {
  const platform::ScopedFile file{std::u16string_view(path)};
  if (!file.IsOpen()) return 0;
  std::array<std::uint8_t, package::kHeaderSize> header{};
  std::uint32_t read = 0;
  if (!platform::ReadFile(file.handle(), header, &read)) return 0;
  // The header's own length field is not looked at: a whole header of the current length
  // must be there, and it must start with the magic.
  if (read != header.size()) return 0;
  return std::equal(package::kMagic.begin(), package::kMagic.end(), header.begin()) ? 1 : 0;
}

std::int32_t ReadCustomPath(char16_t* buffer, std::uint32_t* sizeBytes) {
  platform::RegKey key = platform::kNullRegKey;
  if (platform::RegOpenKeyEx(platform::kHkeyLocalMachine, u"VX_Config\\VXUpdate", 0, 0, &key) !=
      platform::kErrorSuccess) {
    return 0;
  }
  const std::span<std::uint8_t> bytes(reinterpret_cast<std::uint8_t*>(buffer), *sizeBytes);
  const std::int32_t result =
      platform::RegQueryValueEx(key, u"CustomPath", nullptr, bytes, sizeBytes);
  platform::RegCloseKey(key);
  return result == platform::kErrorSuccess ? 1 : 0;
}

std::int32_t FindUpdatePackage(char16_t* buffer, std::uint32_t sizeBytes) {
  const std::size_t units = sizeBytes / sizeof(char16_t);
  if (sizeBytes >= kStorageCardRoom) {
    Put(buffer, Put(buffer, 0, kStorageCard), kPackageName);
    if (ProbeUpdatePackage(buffer) != 0) return 1;
  }

  std::uint32_t stored = sizeBytes;
  if (ReadCustomPath(buffer, &stored) == 0) return 0;
  // A UTF-16 string comes in whole code units and holds at least its terminator; any
  // other value names no folder.
  if (stored % sizeof(char16_t) != 0 || stored == 0 || stored > sizeBytes) return 0;
  // The folder ends at the first terminator inside what was stored; a value without one
  // names no folder, and neither does an empty one (it has no last character to test).
  const std::size_t storedUnits = stored / sizeof(char16_t);
  const std::size_t length = platform::BoundedLength(buffer, storedUnits);
  if (length == storedUnits || length == 0) return 0;

  // Whether a backslash still fits is judged by the stored byte count, not by the string:
  // a folder of 107 characters in the 240-byte buffer leaves no room and gets none.
  const std::int64_t room = std::int64_t{sizeBytes} - stored - kPackageNameBytes;
  const bool addSeparator = buffer[length - 1] != u'\\' && room >= 2;
  const std::size_t folderLength = length + (addSeparator ? 1 : 0);
  // A folder too long for the file name and its terminator is no place for a package.
  if (folderLength + kPackageName.size() + 1 > units) return 0;
  std::size_t end = length;
  if (addSeparator) end = Put(buffer, end, u"\\");
  Put(buffer, end, kPackageName);
  return ProbeUpdatePackage(buffer);
}

}  // namespace control
