// Opens arbitrary bytes as the update package "\Storage Card\VXUpdate.bin", validates
// them with and without the CRC pass, and runs suitability, comparison and writing of
// every image type against the fake engine.
//
// The bytes at offset 16 of the header are never read by the updater; the target reads
// them to steer the fake engine (boot source, refusals, failing entries, how many bytes a
// write asks for), so that the fuzzer reaches every answer an engine can give, and to
// make memory short.  Memory is always held below 1 MiB from outside (VXU_FAULTS=alloc):
// transfer buffers then come from the halving road, and iterations stay fast under
// AddressSanitizer, which maps and unmaps every block of a mebibyte.
#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "binding/binding.h"
#include "fuzz/support.h"
#include "package/package.h"
#include "platform/platform.h"

namespace {

constexpr std::u16string_view kPackagePath = u"\\Storage Card\\VXUpdate.bin";

using SteerEntry = void (*)(std::uint32_t bits);

// Steering bit 7: no transfer buffer of 64 KiB can be had.  Otherwise 64 KiB is the most.
constexpr std::uint32_t kMemoryShort = 1u << 7;
constexpr const char* kEnoughMemory = "alloc:65536";
constexpr const char* kShortMemory = "alloc:32768";

// The progress reports of one operation: the first starts it with done 0, done never
// falls and never passes the total, and the total stays the same.
struct ProgressLog {
  bool started = false;
  std::uint32_t total = 0;
  std::uint32_t done = 0;
};
ProgressLog progressLog;

void StartOperation() { progressLog = ProgressLog{}; }

void Progress(std::uint32_t total, std::uint32_t done) {
  if (!progressLog.started) {
    fuzz::Expect(done == 0, "an operation's first progress report is not done 0");
    progressLog = ProgressLog{true, total, 0};
    return;
  }
  fuzz::Expect(total == progressLog.total, "the progress total changed within an operation");
  fuzz::Expect(done >= progressLog.done, "progress went backwards");
  fuzz::Expect(done <= total, "progress passed its total");
  progressLog.done = done;
}

std::uint32_t HostCrc(std::span<const std::uint8_t> bytes) {
  return static_cast<std::uint32_t>(
      ::crc32(::crc32(0, nullptr, 0), bytes.data(), static_cast<uInt>(bytes.size())));
}

// What the integrity check must answer for these bytes, worked out here independently.
package::ValidateResult ExpectedValidation(std::span<const std::uint8_t> file, bool checkCrc,
                                           bool memoryShort) {
  const std::uint8_t* h = file.data();
  const std::uint32_t headerLength = fuzz::LoadLe32(h + 4);
  if (headerLength > 108) return package::ValidateResult::kHeaderTooNew;
  std::uint32_t sum = fuzz::LoadLe32(h + 20) + fuzz::LoadLe32(h + 28);
  const std::uint32_t directoryEnd = headerLength >= 108 ? 108 : headerLength >= 92 ? 92 : 76;
  for (std::uint32_t at = 36; at < directoryEnd; at += 8) sum += fuzz::LoadLe32(h + at + 4);
  const std::uint32_t payloadSize = fuzz::LoadLe32(h + 12);
  if (sum != payloadSize) return package::ValidateResult::kWrongSize;
  if (!checkCrc) return package::ValidateResult::kValid;
  if (memoryShort) return package::ValidateResult::kNoMemory;
  if (std::uint64_t{headerLength} + payloadSize > file.size()) {
    return package::ValidateResult::kReadError;
  }
  return HostCrc(file.subspan(headerLength, payloadSize)) == fuzz::LoadLe32(h + 8)
             ? package::ValidateResult::kValid
             : package::ValidateResult::kWrongCrc;
}

void Steer(std::uint32_t bits) {
  const auto steer = reinterpret_cast<SteerEntry>(
      platform::GetProcAddress(binding::State().module, u"FuzzEngineSteer"));
  fuzz::Expect(steer != nullptr, "the fake engine is not bound");
  steer(bits);
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
  fuzz::WriteDeviceFile("Storage Card/VXUpdate.bin.sig",
                        tail.subspan(std::min<std::size_t>(tail.size(), 32)));
  const package::SignatureResult result = package::PackageCheckSignature(handle, kPackagePath, key);
  fuzz::Expect((key.type == platform::kRegBinary && key.size == 32) ||
                   result == package::SignatureResult::kBadDeviceKey,
               "a device key of another type or size was used");
  fuzz::Expect(opened || result != package::SignatureResult::kValid, "no package verified");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::MakeDevice({.zlib = true, .engine = true, .faults = kEnoughMemory});
  // Held for the whole run, so that binding and unbinding in every iteration only counts
  // references instead of loading the objects again.
  fuzz::Expect(platform::LoadLibrary(binding::kZlibLibrary) != platform::kNullModule,
               "zlib.dll does not load");
  fuzz::Expect(platform::LoadLibrary(binding::kEngineLibrary) != platform::kNullModule,
               "the fake engine does not load");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> file(data, size);
  const std::uint32_t steering = size >= 20 ? fuzz::LoadLe32(data + 16) : 0;
  const bool memoryShort = (steering & kMemoryShort) != 0;
  static bool wasShort = false;
  if (memoryShort != wasShort) {
    setenv("VXU_FAULTS", memoryShort ? kShortMemory : kEnoughMemory, 1);
    platform::Reconfigure();
    wasShort = memoryShort;
  }
  fuzz::WriteDeviceFile("Storage Card/VXUpdate.bin", file);
  const bool isPackage = size >= package::kHeaderSize && data[0] == 'V' && data[1] == 'X' &&
                         data[2] == 'U' && data[3] == 'D';

  const package::PackageHandle handle = package::PackageOpen(kPackagePath);
  const bool opened = handle != package::InvalidPackageHandle();
  fuzz::Expect(opened == isPackage, "PackageOpen disagrees with the recognition rule");

  for (const bool checkCrc : {false, true}) {
    StartOperation();
    const package::ValidateResult result = package::PackageValidate(handle, checkCrc, Progress);
    const package::ValidateResult expected =
        opened ? ExpectedValidation(file, checkCrc, memoryShort) : package::ValidateResult::kInvalidHandle;
    fuzz::Expect(result == expected, "PackageValidate gave another result than the rule");
    fuzz::Expect(binding::State().bound == 0, "the integrity check left a library bound");
  }

  CheckSignature(file, steering, handle, opened);

  fuzz::Expect(binding::SwitchLibrary(binding::kEngineLibrary), "the fake engine does not bind");
  Steer(steering);

  const std::int32_t suited = package::PackageCheckSuitability(handle);
  if (!opened) fuzz::Expect(suited == package::kImageInvalid, "suitability of no package");
  for (std::uint32_t type = 0; type <= package::kImageTypeCount + 1; ++type) {
    const bool hasEntry = type >= 1 && type <= 10 && (type < 6 || type > 8);
    for (const std::uint32_t checkCrc : {0u, 1u}) {
      const std::int32_t compared = package::PackageCompareImage(handle, type, checkCrc);
      if (!opened || !hasEntry) {
        fuzz::Expect(compared == package::kImageInvalid, "comparison of a type without entry");
      }
    }
    const std::uint32_t writtenBefore = package::PackageWasWritten(handle);
    StartOperation();
    const std::int32_t written = package::PackageWriteImage(handle, type, Progress);
    if (!opened || !hasEntry) {
      fuzz::Expect(written == package::kImageInvalid, "writing a type without entry");
    }
    if (memoryShort && opened && hasEntry) {
      fuzz::Expect(written == package::kImageNoMemory || written == package::kImageAbsent,
                   "an image was written without a transfer buffer");
    }
    const std::uint32_t writtenAfter = package::PackageWasWritten(handle);
    fuzz::Expect(writtenAfter == (written == package::kImageOk ? 1u : writtenBefore),
                 "the written flag does not follow the write results");
  }
  binding::ReleaseLibrary();
  package::PackageClose(handle);
  return 0;
}
