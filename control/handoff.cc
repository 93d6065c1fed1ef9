// The hand-off to another updater build found beside the package.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "binding/binding.h"
#include "control/control.h"
#include "platform/platform.h"

namespace control {
namespace {

constexpr std::u16string_view kPackageName = u"VXUpdate.bin";
constexpr std::u16string_view kUpdaterName = u"\\VXUpdater.exe";
// Where a device that holds a key puts the verified copy of an updater it starts: the
// root folder, device storage that the card cannot change between the check and the start.
constexpr std::u16string_view kVerifiedCopy = kUpdaterName;
// The updater path and its terminator must fit in the path buffer.
constexpr std::size_t kMaxFolderLength = kPathUnits - kUpdaterName.size() - 1;

enum class Decision { kGoOn, kStart };

std::uint32_t ReadLittleEndian(std::span<const std::uint8_t> bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

// The label CRC of `file`, whose label is at `label`: the CRC-32 of the bytes before and
// after the label.  Nothing when zlib.dll cannot be bound.  Leaves no library bound.
std::optional<std::uint32_t> ComputeLabelCrc(std::span<const std::uint8_t> file,
                                             std::size_t label) {
  if (!binding::SwitchLibrary(binding::kZlibLibrary)) return std::nullopt;
  const auto before = file.first(label);
  const auto after = file.subspan(label + kLabelSize);
  std::uint32_t crc = binding::crc32(0, nullptr, 0);
  crc = binding::crc32(crc, before.data(), static_cast<std::uint32_t>(before.size()));
  crc = binding::crc32(crc, after.data(), static_cast<std::uint32_t>(after.size()));
  binding::ReleaseLibrary();
  return crc;
}

// The updater beside the package, read whole, and whether to start it.
struct Judged {
  Decision decision = Decision::kGoOn;
  platform::Block bytes;
  std::uint32_t size = 0;
  std::span<const std::uint8_t> Bytes() const { return {bytes.get(), size}; }
};

// Whether the updater whose bytes these are is another build than this one.
Decision Decide(std::span<const std::uint8_t> bytes) {
  const std::optional<std::size_t> label = FindUpdaterLabel(bytes);
  if (!label) return Decision::kStart;
  const std::uint32_t ownCrc = OwnLabelCrc();
  if (ReadLittleEndian(bytes.subspan(*label + kLabelCrcOffset, 4)) != ownCrc) {
    return Decision::kStart;
  }
  // The same label may still sit on a changed file: only the contents prove the build.
  const std::optional<std::uint32_t> computed = ComputeLabelCrc(bytes, *label);
  if (!computed) return Decision::kGoOn;
  return *computed == ownCrc ? Decision::kGoOn : Decision::kStart;
}

// Reads the updater at `path` whole and judges it.  The file is closed before the caller
// starts anything; the bytes stay for the signature check.
Judged Judge(std::u16string_view path) {
  Judged judged;
  const platform::ScopedFile file(path);
  if (!file.IsOpen()) return judged;
  const std::uint32_t size = platform::GetFileSize(file.handle(), nullptr);
  if (size == platform::kInvalidFileSize) return judged;
  // An empty file holds no label; there is nothing to allocate or read.
  if (size == 0) {
    judged.decision = Decision::kStart;
    return judged;
  }
  judged.bytes = platform::AllocateBlock(size);
  if (!judged.bytes) return judged;
  std::uint32_t read = 0;
  if (!platform::ReadFile(file.handle(), std::span(judged.bytes.get(), size), &read) ||
      read != size) {
    return judged;
  }
  judged.size = size;
  judged.decision = Decide(judged.Bytes());
  return judged;
}

void NotStarted(std::u16string_view reason) {
  platform::OutputDebugString(u"VXUpdater.exe not started: " + std::u16string(reason) + u"\r\n");
}

// A device that holds a key starts only bytes it has verified: the very bytes judged,
// written to device storage.  True when the copy is there to be started.
bool PlaceVerifiedCopy(const Judged& judged, std::u16string_view path,
                       const package::DeviceKey& key) {
  // The copy, started, finds the updater beside the package again; should that still
  // differ from it, starting it once more would overwrite the running program and never
  // end.
  if (platform::IsRunningProgram(kVerifiedCopy)) {
    NotStarted(u"this updater is its verified copy");
    return false;
  }
  const package::SignatureResult verdict =
      package::CheckUpdaterSignature(judged.Bytes(), path, key);
  if (verdict != package::SignatureResult::kValid) {
    NotStarted(platform::ToUtf16(package::ToString(verdict)));
    return false;
  }
  if (!platform::WriteNewFile(kVerifiedCopy, judged.Bytes())) {
    NotStarted(u"its copy \\VXUpdater.exe cannot be written");
    return false;
  }
  return true;
}

}  // namespace

std::int32_t HandOffToUpdater(const char16_t* packagePath) {
  const std::u16string_view package(packagePath, platform::BoundedLength(packagePath, kPathUnits));
  const std::size_t folderLength = package.find(kPackageName);
  if (folderLength == std::u16string_view::npos) return 0;
  // A folder too long for the updater path cannot hold an updater we could name.
  if (folderLength > kMaxFolderLength) return 0;

  PathBuffer updater{};
  auto end = std::copy_n(package.begin(), folderLength, updater.begin());
  end = std::copy(kUpdaterName.begin(), kUpdaterName.end(), end);
  const std::u16string_view updaterPath(updater.data(),
                                        static_cast<std::size_t>(end - updater.begin()));

  // An updater started from beside the package finds itself there.  Its own file proves
  // nothing more than it already knows, and starting it again would start the same
  // program over and over without ever updating, should the file differ from its label
  // (a copy changed after stamping).
  if (platform::IsRunningProgram(updaterPath)) return 0;
  const Judged judged = Judge(updaterPath);
  if (judged.decision == Decision::kGoOn) return 0;
  // A device that holds a key runs no program it cannot prove was signed for it.
  std::u16string_view started = updaterPath;
  const package::DeviceKey key = ReadDeviceKey();
  if (key.present) {
    if (!PlaceVerifiedCopy(judged, updaterPath, key)) return 0;
    started = kVerifiedCopy;
  }

  // The started updater decides on its own; whether it could be started is not known to
  // the user either way, so this run ends as if it had been.
  platform::ProcessInformation information;
  platform::CreateProcess(started, nullptr,
                          platform::kCreateNewConsole | platform::kInheritCallerPriority,
                          &information);
  if (information.process != platform::kNullHandle) platform::CloseHandle(information.process);
  if (information.thread != platform::kNullHandle) platform::CloseHandle(information.thread);
  return 1;
}

}  // namespace control
