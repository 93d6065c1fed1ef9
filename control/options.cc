// The update options (registry and command line) and the banner.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "control/control.h"
#include "platform/platform.h"

namespace control {
namespace {

constexpr std::u16string_view kOptionsKey = u"VX_Config\\VXUpdate";

// Reads one value into *field when it fits in four bytes.  The buffer is zeroed before
// every query, and the bytes the registry stored are taken little-endian with the missing
// high bytes zero, so a one-byte value of 1 reads as 1 and an empty value as 0.
void QueryOption(platform::RegKey key, std::u16string_view name, std::uint32_t* field) {
  std::array<std::uint8_t, 4> bytes{};
  std::uint32_t size = bytes.size();
  if (platform::RegQueryValueEx(key, name, nullptr, bytes, &size) != platform::kErrorSuccess) {
    return;
  }
  *field = static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

// Reads PackageKey of any type: a value that exists but holds no usable keys still asks
// for signatures, and every check then fails on the key.  Only "not found" means that
// the device takes unsigned packages; any other error counts as a key that cannot be used.
package::DeviceKey QueryPackageKey(platform::RegKey key) {
  package::DeviceKey deviceKey;
  std::uint32_t size = deviceKey.bytes.size();
  const std::int32_t result =
      platform::RegQueryValueEx(key, u"PackageKey", &deviceKey.type, deviceKey.bytes, &size);
  if (result == platform::kErrorFileNotFound) return {};
  deviceKey.present = true;
  deviceKey.unreadable = result != platform::kErrorSuccess && result != platform::kErrorMoreData;
  deviceKey.size = size;
  return deviceKey;
}

// The key of a device whose options key could not be opened with `result`.
package::DeviceKey UnopenedKey(std::int32_t result) {
  package::DeviceKey deviceKey;
  deviceKey.present = deviceKey.unreadable = result != platform::kErrorFileNotFound;
  return deviceKey;
}

// The one reading of PackageKey in this run, by whichever step needs it first (the
// hand-off or the options): the registry may answer a second reading otherwise, and the
// hand-off and the package check must go by one verdict.
std::optional<package::DeviceKey> gDeviceKey;

template <typename Read>
const package::DeviceKey& DeviceKeyOnce(Read read) {
  if (!gDeviceKey) gDeviceKey = read();
  return *gDeviceKey;
}

bool Contains(const char16_t* text, std::u16string_view part) {
  return std::u16string_view(text).find(part) != std::u16string_view::npos;
}

const char* OnOff(std::uint32_t value) { return value != 0 ? "On" : "Off"; }

// The compiler's build date pads a one-digit day with a space ("Dec  6 2026"); the
// banner shows the parts separated by single spaces.
std::string BuildDate() {
  std::string date;
  for (const char c : std::string_view(__DATE__)) {
    if (c == ' ' && !date.empty() && date.back() == ' ') continue;
    date.push_back(c);
  }
  return date;
}

}  // namespace

void ReadUpdateOptions(UpdateOptions* options) {
  *options = UpdateOptions{};
  platform::RegKey key = platform::kNullRegKey;
  const std::int32_t opened =
      platform::RegOpenKeyEx(platform::kHkeyLocalMachine, kOptionsKey, 0, 0, &key);
  if (opened != platform::kErrorSuccess) {
    options->PackageKey = DeviceKeyOnce([opened] { return UnopenedKey(opened); });
    return;
  }
  QueryOption(key, u"ForceFullUpgrade", &options->ForceFullUpgrade);
  QueryOption(key, u"CheckCRC", &options->CheckCRC);
  QueryOption(key, u"FullVerify", &options->FullVerify);
  QueryOption(key, u"VerifyAfterWrite", &options->VerifyAfterWrite);
  QueryOption(key, u"CheckBinCRC", &options->CheckBinCRC);
  options->PackageKey = DeviceKeyOnce([key] { return QueryPackageKey(key); });
  platform::RegCloseKey(key);
}

package::DeviceKey ReadDeviceKey() {
  return DeviceKeyOnce([] {
    platform::RegKey key = platform::kNullRegKey;
    const std::int32_t opened =
        platform::RegOpenKeyEx(platform::kHkeyLocalMachine, kOptionsKey, 0, 0, &key);
    if (opened != platform::kErrorSuccess) return UnopenedKey(opened);
    const package::DeviceKey deviceKey = QueryPackageKey(key);
    platform::RegCloseKey(key);
    return deviceKey;
  });
}

void ApplyCommandLine(const char16_t* commandLine, UpdateOptions* options) {
  if (commandLine == nullptr) return;
  if (Contains(commandLine, u"-c") || Contains(commandLine, u"-C")) options->CheckBinCRC = 1;
}

void PrintBanner(const UpdateOptions& options) {
  const std::string date = BuildDate();
  platform::Printf("===============================\n");
  platform::Printf(" Vornex Updater\n");
  platform::Printf(kRule);
  platform::Printf(" - Version %s\n", kVersion);
  platform::Printf(" - Built on %s\n", date.c_str());
  platform::Printf(kRule);
  platform::Printf(" + Force Update   = %s\n", OnOff(options.ForceFullUpgrade));
  // A forced update writes every image without the version check, so its CRC setting
  // does not apply.
  if (options.ForceFullUpgrade == 0) {
    platform::Printf(" + Check with CRC = %s\n", OnOff(options.CheckCRC));
  }
  platform::Printf(" + Verify All     = %s\n", OnOff(options.FullVerify));
  platform::Printf(" + Verify Changed = %s\n", OnOff(options.VerifyAfterWrite));
  platform::Printf(" + Check Bin CRC  = %s\n", OnOff(options.CheckBinCRC));
  platform::Printf("===============================\n\n");
}

}  // namespace control
