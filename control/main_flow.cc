// The main procedure: one update run from discovery to its end road.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "binding/binding.h"
#include "control/control.h"
#include "device/device.h"
#include "package/package.h"
#include "platform/platform.h"

namespace control {
namespace {

using package::ImageType;
using package::PackageHandle;

constexpr std::u16string_view kCaption = u"Software Updater";
constexpr std::uint32_t kQuestionFlags = platform::kMbYesNo | platform::kMbIconQuestion |
                                         platform::kMbSetForeground | platform::kMbTopmost;
constexpr std::uint32_t kErrorFlags =
    platform::kMbYesNo | platform::kMbIconHand | platform::kMbSetForeground | platform::kMbTopmost;
constexpr std::uint32_t kNotNeededFlags =
    platform::kMbOk | platform::kMbIconAsterisk | platform::kMbSetForeground | platform::kMbTopmost;
static_assert(kQuestionFlags == 0x50024 && kErrorFlags == 0x50014 && kNotNeededFlags == 0x50040);
constexpr std::size_t kConfirmationUnits = 256;
constexpr std::uint32_t kSecond = 1000;

// The package path, filled by discovery and read until the end of the run.
PathBuffer gPackagePath{};

bool Ask(std::u16string_view text, std::uint32_t flags) {
  return platform::MessageBox(text, kCaption, flags) == platform::kIdYes;
}

std::u16string ConfirmationText(const char16_t* path) {
  std::u16string text = u"Firmware update was found in \"";
  text += std::u16string_view(path, platform::BoundedLength(path, kPathUnits));
  text +=
      u"\". Warning: By upgrading firmware all data and configurations may be lost. "
      u"Proceed?";
  // The box text has a fixed room of 256 units with its terminator.
  if (text.size() > kConfirmationUnits - 1) text.resize(kConfirmationUnits - 1);
  return text;
}

std::uint32_t Code(ImageType type) { return static_cast<std::uint32_t>(type); }

// Walks the image sequence, running `step` on each type until one answers non-zero.
// The boot medium is asked anew on every walk.
template <typename Step>
std::int32_t WalkImages(PackageHandle handle, Step step) {
  std::int32_t result = 0;
  if (binding::SystemBootFromDOC() != 0) {
    if ((result = step(Code(ImageType::kSpl))) != 0) return result;
    if ((result = step(Code(ImageType::kIpl))) != 0) return result;
  } else {
    if ((result = step(Code(ImageType::kMiniboot))) != 0) return result;
  }
  if ((result = step(Code(ImageType::kBootloader))) != 0) return result;
  if (package::PackageIsMobile(handle) == 0) return step(Code(ImageType::kWinCE));
  // A header too short to describe the mobile images cannot update them.
  if (package::PackageHeaderLength(handle) < package::kMobileHeaderLength) {
    return package::kImageAbsent;
  }
  if ((result = step(Code(ImageType::kMobileIpl))) != 0) return result;
  return step(Code(ImageType::kMobileDiskImage));
}

// Five seconds of blinking before a reset.  `line` holds one %d for the seconds left.
void Countdown(const char* line) {
  for (std::int32_t left = 5; left >= 1; --left) {
    platform::Printf(line, left);
    binding::GreenLed(left % 2);
    platform::Sleep(kSecond);
  }
}

// The integrity check and its console line; true when the package may be used.
bool CheckPackage(PackageHandle handle, const UpdateOptions& options) {
  platform::Printf(">Check binary");
  // With the CRC check on, the progress dots stand where the three dots would.
  if (options.CheckBinCRC == 0) platform::Printf("...");
  const auto result = static_cast<std::int32_t>(
      package::PackageValidate(handle, options.CheckBinCRC, PrintProgress));
  // Indexed by the result; any value outside the failure codes counts as valid.
  static constexpr std::array<const char*, 7> kLines = {
      "Ok\n\n",
      "Fail - Wrong parameters\n\n",
      "Fail - header newer then expected\n\n",
      "Fail - wrong file size\n\n",
      "Fail - malloc error\n\n",
      "Fail - file read error\n\n",
      "Fail - Wrong file CRC\n\n",
  };
  const std::size_t line =
      result >= 1 && result < static_cast<std::int32_t>(kLines.size()) ? result : 0;
  platform::Printf(kLines[line]);
  return line == 0;
}

// The signature check of a device that holds a key; true when the package may be used.
// Without a key nothing is printed and every package may be used, as ever.
bool CheckSignature(PackageHandle handle, const UpdateOptions& options) {
  if (!options.PackageKey.present) return true;
  platform::Printf(">Check signature...");
  const auto result = package::PackageCheckSignature(
      handle,
      std::u16string_view(gPackagePath.data(),
                          platform::BoundedLength(gPackagePath.data(), kPathUnits)),
      options.PackageKey);
  static constexpr std::array<const char*, 5> kLines = {
      "Ok\n\n",
      "Fail - no signature\n\n",
      "Fail - wrong signature\n\n",
      "Fail - bad device key\n\n",
      "Fail - malloc error\n\n",
  };
  static_assert(kLines.size() == static_cast<std::size_t>(package::SignatureResult::kNoMemory) + 1);
  platform::Printf(kLines[static_cast<std::size_t>(result)]);
  return result == package::SignatureResult::kValid;
}

// True when the device runs on external power, or the user wants to go on without it.
bool ExternalPowerOrConsent() {
  platform::Printf(">Check external power... ");
  std::array<std::uint8_t, platform::kPowerStatusSize> status{};
  // A status that cannot be read proves no external power; the user is asked, which is
  // the safe side of writing flash on a battery.
  const bool online =
      platform::GetSystemPowerStatusEx2(status, true) != 0 && status[0] == platform::kAcLineOnline;
  if (online) {
    platform::Printf("Yes\n");
    return true;
  }
  platform::Printf("No\n");
  return Ask(u"External power not detected. Proceed?", kQuestionFlags);
}

// What one run holds between its steps, for the clean-up to release.
struct Run {
  UpdateOptions options;
  PackageHandle handle = package::InvalidPackageHandle();
  std::int32_t engineLoaded = 0;
  bool locked = false;
  bool success = false;
};

void LockDown(Run* run) {
  platform::Printf("\n>Disable user interface\n\n");
  device::EnableUserInterface(0);
  platform::Printf(">Disable Power Management\n\n");
  device::SetKeepAlive(1);
  binding::VXUpdate_GuaranteeExclusiveAccess(1);
  run->locked = true;
  platform::Printf(kRule);
  binding::RedLed(1);
}

// From opening the package to the end of the update pass.  False on a
// failure before the update pass; otherwise run->success tells how the pass went.
bool OpenCheckAndUpdate(Run* run) {
  run->handle = package::PackageOpen(gPackagePath.data());
  if (run->handle == package::InvalidPackageHandle()) return false;
  if (!CheckPackage(run->handle, run->options)) return false;
  if (!CheckSignature(run->handle, run->options)) return false;
  run->engineLoaded = package::PackageInstallEngine(run->handle);
  if (run->engineLoaded == 0) {
    platform::Printf(
        "Error: Failed to load BSP Api.\n       Update not suited for\n       target hw.\n");
    return false;
  }
  if (package::PackageCheckSuitability(run->handle) != 0) {
    platform::Printf("Error: Update not suited for\n       target hw.\n");
    return false;
  }
  if (!ExternalPowerOrConsent()) return false;
  LockDown(run);

  const PackageHandle handle = run->handle;
  const UpdateOptions* options = &run->options;
  const std::int32_t result = WalkImages(
      handle, [handle, options](std::uint32_t type) { return UpdateImage(handle, type, options); });
  binding::RedLed(0);
  run->success = result == 0;
  return true;
}

// The verify pass; true when every image matches the package.
bool VerifyAll(PackageHandle handle) {
  platform::Printf(kRule);
  binding::GreenLed(1);
  binding::RedLed(1);
  const std::int32_t result =
      WalkImages(handle, [handle](std::uint32_t type) { return VerifyImage(handle, type); });
  binding::GreenLed(0);
  binding::RedLed(0);
  return result == 0;
}

void CleanUp(const Run& run) {
  if (run.engineLoaded != 0) package::PackageUnloadEngine();
  if (run.handle != package::InvalidPackageHandle()) package::PackageClose(run.handle);
  if (!run.locked) return;
  // The engine library is unbound by now, so these calls reach the board support library.
  platform::Printf("\n\n>Enable user interface\n\n");
  device::EnableUserInterface(1);
  binding::VXUpdate_GuaranteeExclusiveAccess(0);
  platform::Printf(">Re-Enable Power Management\n\n");
  device::SetKeepAlive(0);
}

}  // namespace

std::int32_t WinMain(const char16_t* commandLine) {
  if (FindUpdatePackage(gPackagePath.data(), sizeof(gPackagePath)) == 0) return 0;
  if (HandOffToUpdater(gPackagePath.data()) != 0) return 0;

  binding::GreenLed(0);
  binding::RedLed(0);
  Run run;
  ReadUpdateOptions(&run.options);
  ApplyCommandLine(commandLine, &run.options);
  PrintBanner(run.options);

  if (!Ask(ConfirmationText(gPackagePath.data()), kQuestionFlags)) {
    platform::Printf(">bye");
    platform::Sleep(kSecond);
    return 0;
  }

  if (OpenCheckAndUpdate(&run) && run.success && package::PackageWasWritten(run.handle) != 0) {
    if (run.options.FullVerify != 0 && !VerifyAll(run.handle)) run.success = false;
    if (run.success) {
      platform::Printf(kRule);
      platform::Printf("Auto Update OK!\n");
      Countdown("Hw Reset in %d seconds!\n");
      // Nothing is released first: the reset takes the device as it stands.  Should it
      // return, the run ends as one that needed nothing.
      binding::CPU_Reset(1);
    }
  }

  CleanUp(run);
  if (run.success) {
    platform::MessageBox(u"Software update not needed.", kCaption, kNotNeededFlags);
    platform::Printf(">bye");
    platform::Sleep(kSecond);
    return 0;
  }
  if (!Ask(u"Software update error. Retry after a warm boot?", kErrorFlags)) return -1;
  platform::Printf(kRule);
  Countdown("Warm Boot in %d seconds!\n");
  binding::CPU_Reset(0);
  return 0;
}

}  // namespace control
