// Discovery with an arbitrary CustomPath: the first input byte chooses the size in bytes
// offered for the path buffer (0 to 240), the rest is the value's bytes, stored as a
// string value (hex(1):) of any length and content.  The 120-unit buffer sits between
// canary units that must stay untouched, and a found path must be a whole, terminated
// path of a package.  The hand-off then runs on what was found; starting a process is
// made to fail from outside (VXU_FAULTS=process), so nothing is run.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "control/control.h"
#include "fuzz/support.h"
#include "platform/platform.h"

namespace {

constexpr std::size_t kCanaryUnits = 16;
constexpr char16_t kCanary = 0xC3A5;
constexpr std::u16string_view kPackageName = u"VXUpdate.bin";

std::string RegistryFile(std::span<const std::uint8_t> value) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\VX_Config\\VXUpdate]\n\"CustomPath\"=hex(1):";
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (i != 0) text += ',';
    text += kDigits[value[i] >> 4];
    text += kDigits[value[i] & 0xF];
  }
  text += '\n';
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::MakeDevice({.zlib = false, .engine = false, .faults = "process"});
  // A package and an updater the fuzzer can name; none in "\Storage Card\", so that the
  // registry is read whatever the size.
  std::string header(package::kHeaderSize, '\0');
  header.replace(0, 4, "VXUD");
  fuzz::WriteDeviceFile("Packages/VXUpdate.bin", header);
  fuzz::WriteDeviceFile("Packages/VXUpdater.exe", "not this build");
  fuzz::WriteDeviceFile("VXUpdate.bin", header);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint32_t sizeBytes = data[0] % (2 * control::kPathUnits + 1);
  fuzz::WriteDeviceFile("registry.reg", RegistryFile(std::span(data + 1, size - 1)));
  // The registry is read once and kept; reading the knobs again forgets it.
  platform::Reconfigure();

  std::array<char16_t, kCanaryUnits + control::kPathUnits + kCanaryUnits> guarded;
  guarded.fill(kCanary);
  char16_t* const buffer = guarded.data() + kCanaryUnits;
  const std::int32_t found = control::FindUpdatePackage(buffer, sizeBytes);

  const auto untouched = [](auto first, auto last) {
    return std::all_of(first, last, [](char16_t unit) { return unit == kCanary; });
  };
  fuzz::Expect(untouched(guarded.begin(), guarded.begin() + kCanaryUnits),
               "discovery wrote before the path buffer");
  fuzz::Expect(untouched(guarded.end() - kCanaryUnits, guarded.end()),
               "discovery wrote after the path buffer");
  // Nothing past the size offered belongs to discovery either; the size is in bytes and
  // may be odd, so this is judged byte by byte.
  std::array<char16_t, control::kPathUnits> pristine;
  pristine.fill(kCanary);
  fuzz::Expect(std::memcmp(reinterpret_cast<const std::uint8_t*>(buffer) + sizeBytes,
                           reinterpret_cast<const std::uint8_t*>(pristine.data()) + sizeBytes,
                           sizeof pristine - sizeBytes) == 0,
               "discovery wrote past the size it was given");
  if (found == 0) return 0;

  fuzz::Expect(found == 1, "discovery answered other than 0 or 1");
  const std::size_t length = platform::BoundedLength(buffer, sizeBytes / 2);
  fuzz::Expect(length < sizeBytes / 2, "a found path without its terminator");
  const std::u16string_view path(buffer, length);
  fuzz::Expect(path.size() >= kPackageName.size() &&
                   path.substr(path.size() - kPackageName.size()) == kPackageName,
               "a found path that does not name VXUpdate.bin");
  fuzz::Expect(control::ProbeUpdatePackage(buffer) == 1, "a found path that is no package");
  control::HandOffToUpdater(buffer);
  return 0;
}
