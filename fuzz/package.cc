// Arbitrary bytes as the update package: opening, the integrity check with and without
// the CRC pass (against the rule worked out here), and suitability, comparison and
// writing of every image type against the fake engine.  Bytes 16 to 19, which the
// updater never reads, steer the engine (see fake_engine.cc); bit 7 makes memory short.
// Memory is held below 1 MiB all the time, so transfer buffers take the halving road.
#include <zlib.h>

#include <algorithm>

#include "binding/binding.h"
#include "fuzz/support.h"
#include "package/package.h"
#include "platform/platform.h"

namespace {

using package::ValidateResult;

// An operation's progress: done starts at 0, never falls, never passes a fixed total.
std::uint32_t gTotal = 0, gDone = 0;
void Progress(std::uint32_t total, std::uint32_t done) {
  if (done == 0) gTotal = total;
  fuzz::Expect(total == gTotal && done >= gDone && done <= total, "progress out of order");
  gDone = done;
}

ValidateResult Expected(std::span<const std::uint8_t> file, bool checkCrc, bool memoryShort) {
  const std::uint8_t* h = file.data();
  const std::uint32_t headerLength = fuzz::LoadLe32(h + 4), payload = fuzz::LoadLe32(h + 12);
  if (headerLength > 108) return ValidateResult::kHeaderTooNew;
  std::uint32_t sum = fuzz::LoadLe32(h + 20) + fuzz::LoadLe32(h + 28);
  const std::uint32_t end = headerLength >= 108 ? 108 : headerLength >= 92 ? 92 : 76;
  for (std::uint32_t at = 40; at < end; at += 8) sum += fuzz::LoadLe32(h + at);
  if (sum != payload) return ValidateResult::kWrongSize;
  if (!checkCrc) return ValidateResult::kValid;
  if (memoryShort) return ValidateResult::kNoMemory;
  if (std::uint64_t{headerLength} + payload > file.size()) return ValidateResult::kReadError;
  return ::crc32(0, h + headerLength, payload) == fuzz::LoadLe32(h + 8) ? ValidateResult::kValid
                                                                         : ValidateResult::kWrongCrc;
}

// The input's last 96 bytes are also a device key (32) and a signature (64); steering bits
// 8 and 9 give the key another type or size, which must never be used.
void CheckSignature(std::span<const std::uint8_t> file, std::uint32_t steering,
                    package::PackageHandle handle, bool opened) {
  package::DeviceKey key{
      .present = true,
      .type = (steering & 1u << 8) != 0 ? platform::kRegDword : platform::kRegBinary,
      .size = (steering & 1u << 9) != 0 ? 31u : 32u};
  const auto tail = file.last(std::min<std::size_t>(file.size(), 96));
  std::copy_n(tail.begin(), std::min<std::size_t>(tail.size(), 32), key.bytes.begin());
  fuzz::WriteDeviceFile("VXUpdate.bin.sig",
                        tail.subspan(std::min<std::size_t>(tail.size(), 32)));
  const package::SignatureResult result = package::PackageCheckSignature(handle, u"\\VXUpdate.bin", key);
  fuzz::Expect((key.type == platform::kRegBinary && key.size == 32) ||
                   result == package::SignatureResult::kBadDeviceKey,
               "a device key of another type or size was used");
  fuzz::Expect(opened || result != package::SignatureResult::kValid, "no package verified");
}

}  // namespace

void fuzz::Start() {
  MakeDevice(true, true, "alloc:65536");
  // Held for the whole run, so that binding in every input only counts references.
  Expect(platform::LoadLibrary(binding::kZlibLibrary) != platform::kNullModule &&
             platform::LoadLibrary(binding::kEngineLibrary) != platform::kNullModule,
         "zlib.dll or the fake engine does not load");
}

void fuzz::One(std::span<const std::uint8_t> file) {
  const std::uint32_t steering = file.size() >= 20 ? LoadLe32(file.data() + 16) : 0;
  const bool memoryShort = (steering & 0x80) != 0;
  setenv("VXU_FAULTS", memoryShort ? "alloc:32768" : "alloc:65536", 1);
  platform::Reconfigure();
  WriteDeviceFile("VXUpdate.bin", file);
  const package::PackageHandle handle = package::PackageOpen(u"\\VXUpdate.bin");
  const bool opened = handle != package::InvalidPackageHandle();
  Expect(opened == (file.size() >= 108 && std::equal(package::kMagic.begin(),
                                                     package::kMagic.end(), file.begin())),
         "PackageOpen disagrees with the recognition rule");
  for (const bool checkCrc : {false, true}) {
    gDone = 0;
    Expect(package::PackageValidate(handle, checkCrc, Progress) ==
               (opened ? Expected(file, checkCrc, memoryShort) : ValidateResult::kInvalidHandle),
           "PackageValidate disagrees with the rule");
    Expect(binding::State().bound == 0, "the integrity check left a library bound");
  }
  CheckSignature(file, steering, handle, opened);
  Expect(binding::SwitchLibrary(binding::kEngineLibrary), "the fake engine does not bind");
  reinterpret_cast<void (*)(std::uint32_t)>(
      platform::GetProcAddress(binding::State().module, u"FuzzEngineSteer"))(steering);
  package::PackageCheckSuitability(handle);
  for (std::uint32_t type = 0; type <= 11; ++type) {
    const bool entry = opened && type >= 1 && type <= 10 && (type < 6 || type > 8);
    for (const std::uint32_t checkCrc : {0u, 1u}) {
      const std::int32_t compared = package::PackageCompareImage(handle, type, checkCrc);
      Expect(entry || compared == package::kImageInvalid, "compared an image without entry");
    }
    const std::uint32_t before = package::PackageWasWritten(handle);
    gDone = 0;
    const std::int32_t written = package::PackageWriteImage(handle, type, Progress);
    Expect(entry || written == package::kImageInvalid, "wrote an image without entry");
    Expect(!memoryShort || written != package::kImageOk, "wrote without a transfer buffer");
    Expect(package::PackageWasWritten(handle) == (written == package::kImageOk ? 1 : before),
           "the written flag does not follow the write results");
  }
  binding::ReleaseLibrary();
  package::PackageClose(handle);
}
