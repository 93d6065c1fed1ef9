// Arbitrary bytes as registry.reg: the reader's result has a sound shape (skipped lines in
// rising order, lower-case paths, every key with its parents), and every key and value it
// found reads back through the registry calls, whole or refused without a byte copied, or
// fails as a registry failure where a broken line left it unknown.
#include <algorithm>
#include <array>

#include "fuzz/support.h"
#include "platform/platform.h"
#include "platform/posix/registry_file.h"

namespace {

// ERROR_REGISTRY_IO_FAILED: what fails where the registry cannot say "missing".
constexpr std::int32_t kRegistryFailure = 1016;

bool Lower(const std::u16string& text) {
  return std::none_of(text.begin(), text.end(), [](char16_t c) { return c >= u'A' && c <= u'Z'; });
}

}  // namespace

void fuzz::Start() { MakeDevice(false, false, nullptr); }

void fuzz::One(std::span<const std::uint8_t> bytes) {
  const auto parsed = platform::posix::ParseRegistryFile(bytes);
  std::size_t last = parsed.badHeader ? 0 : 1;
  for (const auto& skipped : parsed.skipped) {
    Expect(skipped.line > last, "skipped lines not in rising order after the header");
    last = skipped.line;
  }
  WriteDeviceFile("registry.reg", bytes);
  platform::Reconfigure();
  std::size_t keys = 0;
  for (const auto& [path, key] : parsed.keys) {
    const std::size_t parent = path.rfind(u'\\');
    Expect(Lower(path) && (parent == path.npos || parsed.keys.count(path.substr(0, parent)) == 1),
           "a key path kept with upper-case letters or without its parent");
    if (++keys > 8) continue;
    platform::RegKey open = platform::kNullRegKey;
    const std::int32_t opened = platform::RegOpenKeyEx(platform::kHkeyLocalMachine, path, 0, 0, &open);
    // A file that is no registry or a broken section line: the key fails, as a registry
    // failure, and is never taken for missing.
    if (parsed.badHeader || parsed.broken) {
      Expect(opened == kRegistryFailure && open == platform::kNullRegKey,
             "a key of a broken registry opens, or reads as missing");
      continue;
    }
    Expect(opened == 0, "a key the reader found does not open");
    std::size_t values = 0;
    for (const auto& [name, value] : key.values) {
      Expect(Lower(name), "a value name kept with upper-case letters");
      if (++values > 8) continue;
      if (value.unreadable) {
        std::array<std::uint8_t, 4> buffer{};
        std::uint32_t type = 0, size = buffer.size();
        Expect(platform::RegQueryValueEx(open, name, &type, buffer, &size) == kRegistryFailure,
               "a value of a broken line reads, or reads as missing");
        continue;
      }
      const auto stored = static_cast<std::uint32_t>(value.data.size());
      for (const std::uint32_t room : {stored == 0 ? 0u : stored - 1, stored, 240u}) {
        std::array<std::uint8_t, 256> buffer;
        buffer.fill(0xA5);
        std::uint32_t type = 0, size = room;
        const std::int32_t result = platform::RegQueryValueEx(open, name, &type, buffer, &size);
        const bool fits = stored <= std::min<std::uint32_t>(room, 256);
        Expect(size == stored && result == (fits ? 0 : platform::kErrorMoreData),
               "a value reported with another size or result");
        // A refused value must leave the buffer untouched, which the next check sees.
        Expect(!fits || std::equal(value.data.begin(), value.data.end(), buffer.begin()),
               "a value read back other than stored");
        Expect(std::all_of(buffer.begin() + (fits ? stored : 0), buffer.end(),
                           [](std::uint8_t b) { return b == 0xA5; }),
               "a value written past its size");
        Expect(!fits || type == value.type, "a value read back with another type");
      }
    }
    platform::RegCloseKey(open);
  }
}
