// The registry file reader on arbitrary bytes, then the same bytes as the device's
// registry.reg read through the registry functions: every key the reader found opens,
// and every value of it answers with its bytes, its size and ERROR_MORE_DATA exactly when
// the room offered is too small.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "fuzz/support.h"
#include "platform/platform.h"
#include "platform/posix/registry_file.h"

namespace {

using platform::posix::ParsedRegistry;
using platform::posix::RegistryKey;

// Lookups are bounded so that a file of many keys still runs quickly.
constexpr std::size_t kKeysLookedUp = 8;
constexpr std::size_t kValuesLookedUp = 8;

bool HasUpperAscii(const std::u16string& text) {
  return std::any_of(text.begin(), text.end(), [](char16_t c) { return c >= u'A' && c <= u'Z'; });
}

void CheckShape(const ParsedRegistry& parsed) {
  // Without its header the first line is read as content and may be skipped too.
  std::size_t lastLine = parsed.badHeader ? 0 : 1;
  for (const auto& skipped : parsed.skipped) {
    fuzz::Expect(skipped.line > lastLine, "skipped lines are not in rising order after line 1");
    lastLine = skipped.line;
  }
  if (!parsed.keys.empty()) fuzz::Expect(parsed.keys.count(u"") == 1, "keys without the hive");
  for (const auto& [path, key] : parsed.keys) {
    fuzz::Expect(!HasUpperAscii(path), "a key path kept with upper-case letters");
    // Every key implies the keys above it.
    for (std::size_t end = path.find(u'\\'); end != std::u16string::npos;
         end = path.find(u'\\', end + 1)) {
      fuzz::Expect(parsed.keys.count(path.substr(0, end)) == 1, "a key without its parent");
    }
    for (const auto& [name, value] : key.values) {
      fuzz::Expect(!HasUpperAscii(name), "a value name kept with upper-case letters");
    }
  }
}

void CheckValue(platform::RegKey key, const std::u16string& name,
                const platform::posix::RegistryValue& value) {
  std::array<std::uint8_t, 256> buffer{};
  const auto stored = static_cast<std::uint32_t>(value.data.size());
  for (const std::uint32_t room : {0u, stored == 0 ? 0u : stored - 1, stored, 240u}) {
    buffer.fill(0xA5);
    std::uint32_t type = 0xFFFFFFFF;
    std::uint32_t size = room;
    const std::int32_t result = platform::RegQueryValueEx(key, name, &type, buffer, &size);
    fuzz::Expect(size == stored, "RegQueryValueEx reported another size than stored");
    const bool fits = stored <= std::min<std::size_t>(room, buffer.size());
    if (!fits) {
      fuzz::Expect(result == platform::kErrorMoreData, "a value too large was not refused");
      fuzz::Expect(std::all_of(buffer.begin(), buffer.end(), [](std::uint8_t b) { return b == 0xA5; }),
                   "a refused value was still copied");
      continue;
    }
    fuzz::Expect(result == platform::kErrorSuccess, "a value that fits was not read");
    fuzz::Expect(type == value.type, "RegQueryValueEx reported another type");
    fuzz::Expect(std::equal(value.data.begin(), value.data.end(), buffer.begin()),
                 "RegQueryValueEx returned other bytes");
    fuzz::Expect(std::all_of(buffer.begin() + stored, buffer.end(),
                             [](std::uint8_t b) { return b == 0xA5; }),
                 "RegQueryValueEx wrote past the value");
  }
}

void CheckLookups(const ParsedRegistry& parsed) {
  platform::RegKey key = platform::kNullRegKey;
  const bool configKnown = parsed.keys.count(u"vx_config\\vxupdate") == 1;
  const std::int32_t opened =
      platform::RegOpenKeyEx(platform::kHkeyLocalMachine, u"VX_Config\\VXUpdate", 0, 0, &key);
  fuzz::Expect((opened == platform::kErrorSuccess) == configKnown,
               "the updater's key opens other than the reader found it");
  if (opened == platform::kErrorSuccess) platform::RegCloseKey(key);

  std::size_t keys = 0;
  for (const auto& [path, found] : parsed.keys) {
    if (keys++ == kKeysLookedUp) break;
    key = platform::kNullRegKey;
    fuzz::Expect(platform::RegOpenKeyEx(platform::kHkeyLocalMachine, path, 0, 0, &key) ==
                     platform::kErrorSuccess,
                 "a key the reader found does not open");
    std::size_t values = 0;
    for (const auto& [name, value] : found.values) {
      if (values++ == kValuesLookedUp) break;
      CheckValue(key, name, value);
    }
    std::uint32_t size = 4;
    std::array<std::uint8_t, 4> small{};
    if (found.values.count(u"custompath") == 0) {
      fuzz::Expect(platform::RegQueryValueEx(key, u"CustomPath", nullptr, small, &size) ==
                       platform::kErrorFileNotFound,
                   "a missing value was found");
    }
    platform::RegCloseKey(key);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::MakeDevice({});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  const ParsedRegistry parsed = platform::posix::ParseRegistryFile(bytes);
  CheckShape(parsed);

  fuzz::WriteDeviceFile("registry.reg", bytes);
  // The registry is read once and kept; reading the knobs again forgets it.
  platform::Reconfigure();
  CheckLookups(parsed);
  return 0;
}
