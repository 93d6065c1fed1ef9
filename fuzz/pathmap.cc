// Arbitrary UTF-16LE device paths: a path with ".", "..", "/", ":" or NUL in a part is
// refused, and every other one maps to a host path that stays below the device root,
// also once symbolic links and existing names are resolved.
#include <optional>
#include <string>

#include "fuzz/support.h"
#include "platform/platform.h"

namespace {

std::string gRoot;

bool Below(const std::string& path) {
  return path.compare(0, gRoot.size(), gRoot) == 0 &&
         (path.size() == gRoot.size() || path[gRoot.size()] == '/');
}

}  // namespace

void fuzz::Start() {
  gRoot = MakeDevice(false, false, nullptr).string();
  WriteDeviceFile("Storage Card/VXUpdate.bin", "VXUD");
  WriteDeviceFile("Windows/Sub Folder/x", "");
}

void fuzz::One(std::span<const std::uint8_t> data) {
  std::u16string path;
  for (std::size_t i = 0; i + 1 < data.size(); i += 2) path += char16_t(data[i] | data[i + 1] << 8);
  bool forbidden = false;
  for (std::size_t start = 0, end; start <= path.size(); start = end + 1) {
    end = std::min(path.find(u'\\', start), path.size());
    const std::u16string_view part = std::u16string_view(path).substr(start, end - start);
    forbidden |= part == u"." || part == u".." ||
                 part.find_first_of(std::u16string_view(u"/:\0", 3)) != part.npos;
  }
  const std::optional<std::string> host = platform::MapDevicePath(path);
  Expect(host.has_value() == !(forbidden || path.empty()), "a path mapped against the rule");
  if (!host) return;
  std::error_code error;
  const auto resolved = std::filesystem::weakly_canonical(*host, error);
  Expect(Below(*host) && (error || Below(resolved.string())), "a mapped path leaves the root");
}
