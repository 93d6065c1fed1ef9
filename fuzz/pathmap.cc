// Device paths from arbitrary UTF-16: a path that maps stays below the device root, and
// a path with a "." or ".." part, a "/", ":" or NUL inside a name is refused.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "fuzz/support.h"
#include "platform/platform.h"

namespace {

std::filesystem::path root;

bool Below(const std::filesystem::path& path) {
  const std::string text = path.string();
  const std::string base = root.string();
  return text.compare(0, base.size(), base) == 0 &&
         (text.size() == base.size() || text[base.size()] == '/');
}

// Whether the device path has a part that must never reach the host.
bool Forbidden(std::u16string_view path) {
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find(u'\\', start);
    if (end == std::u16string_view::npos) end = path.size();
    const std::u16string_view part = path.substr(start, end - start);
    if (part == u"." || part == u"..") return true;
    if (part.find_first_of(std::u16string_view(u"/:\0", 3)) != std::u16string_view::npos) {
      return true;
    }
    start = end + 1;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  root = fuzz::MakeDevice({});
  // A few entries for the case-insensitive matching to find.
  fuzz::WriteDeviceFile("Storage Card/VXUpdate.bin", "VXUD");
  fuzz::WriteDeviceFile("Windows/zlib.dll", "");
  fuzz::WriteDeviceFile("Windows/Sub Folder/x", "");
  fuzz::WriteDeviceFile("registry.reg", "REGEDIT4\n");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::u16string path;
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    path.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  }
  const std::optional<std::string> host = platform::MapDevicePath(path);
  if (Forbidden(path)) fuzz::Expect(!host, "a path that leaves its folder was mapped");
  if (!host) {
    fuzz::Expect(path.empty() || Forbidden(path), "a plain device path was refused");
    return 0;
  }
  fuzz::Expect(Below(*host), "a mapped path does not start with the device root");
  std::error_code error;
  std::filesystem::path resolved = std::filesystem::weakly_canonical(*host, error);
  // A name the host cannot resolve (too long, say) is judged by its text alone.
  if (error) resolved = std::filesystem::path(*host).lexically_normal();
  fuzz::Expect(Below(resolved), "a mapped path resolves outside the device root");
  return 0;
}
