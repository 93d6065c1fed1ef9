// Arbitrary CustomPath values (after a first byte that sets the buffer size): discovery
// never writes outside the bytes it was given, and what it finds is a zero-terminated
// path to a VXUpdate.bin that passes the probe.
#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "control/control.h"
#include "fuzz/support.h"
#include "platform/platform.h"

void fuzz::Start() {
  MakeDevice(false, false, "process");
  const std::string header = "VXUD" + std::string(104, '\0');
  for (const char* file : {"Packages/VXUpdate.bin", "VXUpdate.bin", "Storage Card/VXUpdate.bin"}) {
    WriteDeviceFile(file, header);
  }
}

void fuzz::One(std::span<const std::uint8_t> data) {
  if (data.empty()) return;
  const std::uint32_t sizeBytes = data[0] % (2 * control::kPathUnits + 1);
  std::string reg = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\VX_Config\\VXUpdate]\n\"CustomPath\"=hex(1):";
  for (std::size_t i = 1; i < data.size(); ++i) {
    reg += (i == 1 ? "" : ",") + std::string{"0123456789abcdef"[data[i] >> 4]} +
           "0123456789abcdef"[data[i] & 15];
  }
  WriteDeviceFile("registry.reg", reg + "\n");
  platform::Reconfigure();
  std::array<char16_t, control::kPathUnits + 16> buffer, pristine;
  buffer.fill(0xC3A5);
  pristine.fill(0xC3A5);
  const std::int32_t found = control::FindUpdatePackage(buffer.data(), sizeBytes);
  Expect(std::memcmp(reinterpret_cast<const char*>(buffer.data()) + sizeBytes,
                     reinterpret_cast<const char*>(pristine.data()) + sizeBytes,
                     sizeof buffer - sizeBytes) == 0,
         "discovery wrote past the size it was given");
  if (found == 0) return;
  Expect(found == 1, "discovery answered other than 0 or 1");
  const std::u16string_view path(buffer.data(), platform::BoundedLength(buffer.data(), sizeBytes / 2));
  Expect(path.size() < sizeBytes / 2 && path.ends_with(u"VXUpdate.bin") &&
             control::ProbeUpdatePackage(buffer.data()) == 1,
         "discovery found what is no package path");
}
