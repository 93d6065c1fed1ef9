// The binding record, its four operations (bind, unbind, switch, ask) and the 17 entry
// points that call through it.
#include "binding/binding.h"

#include <algorithm>

namespace binding {

// Defined constexpr so that the entry points find their slots by name at compile time.
constexpr std::array<std::u16string_view, kEntryCount> kEntryNames = {
    // 1 to 10
    u"HalImagerInit",
    u"HalImagerDeInit",
    u"HalImagerSensorPowerOn",
    u"HalImagerSensorPowerOff",
    u"HalImagerSensorStart",
    u"HalImagerSensorStop",
    u"HalImagerPointerOn",
    u"HalImagerPointerOff",
    u"HalImagerGetImageBuffer",
    u"HalImagerGetImageWidth",
    // 11 to 20
    u"HalImagerGetImageHeight",
    u"HalImagerGetHistogram",
    u"HalImagerGetHistogramChannels",
    u"HalImagerGetExpositionTime",
    u"HalImagerSetExpositionTime",
    u"HalImagerGetExpositionDelay",
    u"HalImagerGetGain",
    u"HalImagerGetOffset",
    u"HalImagerAcquisitionModifyExpositionPolicy1",
    u"HalImagerAcquisitionModifyExpositionPolicy2",
    // 21 to 30
    u"HalImagerGetEGCMinimumReachedValue",
    u"HalImagerGetEGCMaximumReachedValue",
    u"HalImagerGetImageReadyInterrupt",
    u"HalImagerGetImageReadyInterruptQuantum",
    u"HalImagerAcquireImage",
    u"HalImagerTEST_FpgaTestAcqEnable",
    u"HalImagerOnPowerUp",
    u"HalImagerOnPowerDown",
    u"HalImagerSetLightLevel",
    u"HalImagerSetLightMode",
    // 31 to 40
    u"HalImagerEnablePowerManagement",
    u"HalImagerDisablePowerManagement",
    u"Laser1DPower",
    u"Laser1DStart",
    u"Laser1DAim",
    u"GetOSTimer",
    u"usGetOSTimer",
    u"msGetOSTimer",
    u"GetElapsedTimeMS",
    u"usWait",
    // 41 to 50
    u"msWait",
    u"GetSE_BUTTON_Interrupt",
    u"GetSE_BUTTON_RELEASE_Interrupt",
    u"GetSE1D_DBP_Interrupt",
    u"GetSE1D_SOS_Interrupt",
    u"RFIDPower",
    u"BeeperInit",
    u"BeeperPlay",
    u"BeeperRelease",
    u"BeeperBeginSound",
    // 51 to 60
    u"GD_getULong",
    u"GD_setULong",
    u"GD_store",
    u"GD_getString",
    u"GD_setString",
    u"GetBatterySerialNumber",
    u"GetBatteryCharges_Completed",
    u"GetBatteryCharges_NotCompleted",
    u"GetMinibootVersion",
    u"GetWinceVersion",
    // 61 to 70
    u"GetWinceBuildVersion",
    u"GetBootloaderVersion",
    u"GetBackLightStatus",
    u"Laser2DPower",
    u"Laser2DStart",
    u"Laser2DAim",
    u"GreenLed",
    u"RedLed",
    u"GetBatteryLevel",
    u"InCradle",
    // 71 to 80
    u"BlinkGreenLed",
    u"BlinkGreenLedAsync",
    u"BlinkGoodReadLed",
    u"BlinkGoodReadLedAsync",
    u"SetRangeLimiter",
    u"SetLaserEnable",
    u"SetScanEnable",
    u"GetDBPStatus",
    u"GetSOSStatus",
    u"StartBluetooth",
    // 81 to 90
    u"StopBluetooth",
    u"StartPcCard_slot0",
    u"StopPcCard_slot0",
    u"StartGsm",
    u"BlinkGreenSpot",
    u"BlinkGreenSpotAsync",
    u"SetBlinkKeyboardLightForGoodRead",
    u"GetBlinkKeyboardLightForGoodRead",
    u"CPU_Reset",
    u"GetResumeTimeout_s",
    // 91 to 100
    u"SetResumeTimeout_s",
    u"GetDeviceID",
    u"GetDriversGlobals",
    u"GetGpioRegisters",
    u"PcCardEmulateInsertion",
    u"PcCardEmulateExtraction",
    u"PcCardStartup",
    u"Flash_WriteFile",
    u"Flash_EraseFile",
    u"GetWinceFlashStartAddress",
    // 101 to 110
    u"GetBootloaderFlashStartAddress",
    u"GetMinibootFlashStartAddress",
    u"GetFilePartitionStartAddress",
    u"GetPsmManagedAreaLength",
    u"GetPsmRegistryAreaLength",
    u"VXUpdate_InvalidateRegistry",
    u"VXUpdate_LowLevelFormat",
    u"VXUpdate_WriteFirst",
    u"VXUpdate_WriteNext",
    u"VXUpdate_WriteLast",
    // 111 to 120
    u"VXUpdate_CheckImageType",
    u"VXUpdate_FormatMessage",
    u"VXUpdate_CheckCRC",
    u"VXUpdate_GuaranteeExclusiveAccess",
    u"GetDocBasePhysical",
    u"SetWakeupOnScanButton",
    u"GetBLoaderSecurityLevel",
    u"SystemBootFromDOC",
    u"SetEnableKeyboard",
    u"GetImageInfo",
    // 121 to 130
    u"GetImageInfoFromBuffer",
    u"crc32",
    u"GetTriggerStatus",
    u"GetDBPSize",
    u"IsWindowsMobile",
    u"Dac_Init",
    u"Dac_SetContrast",
    u"Dac_GetContrast",
    u"Dac_SetVolume",
    u"Dac_GetVolume",
    // 131 to 140
    u"BeeperSetVolume",
    u"BeeperGetVolume",
    u"KeyboardInitialize",
    u"KeyboardInterruptDone",
    u"KeyboardInterruptDisable",
    u"KeyboardInterruptInitialize",
    u"EnableAllKeyboardColumns",
    u"DisableAllKeyboardColumns",
    u"GetScanCodes_AntiBaunce",
    u"LcdInvertBacklight",
    // 141 to 150
    u"SetKeyboardLight",
    u"CapsLockLed",
    u"GetBrightnessStep",
    u"IsSoftReset",
    u"ATSendCommand",
    u"ATReceiveData",
    u"StopCharger",
    u"StartCharger",
    u"ReadATSwVersion",
    u"GetChargerStatus",
    // 151 to 155
    u"GetBatteryTVC",
    u"BatteryWarningStatus",
    u"BatteryDischargedStatus",
    u"AcStatus",
    u"WaitAcinEvent",
};

namespace {

// The device's other software expects "BacklightEvent" to exist while a board support
// library is in use; it is created between these two stretches of lookups, as the
// device's own binding always has, and otherwise left alone.
constexpr std::size_t kLookupsBeforeBacklightEvent = 74;
constexpr std::u16string_view kBacklightEventName = u"BacklightEvent";

BindingState g_state;

void LookUpEntries(std::size_t first, std::size_t end) {
  for (std::size_t slot = first; slot < end; ++slot) {
    g_state.entries[slot] = platform::GetProcAddress(g_state.module, kEntryNames[slot]);
  }
}

}  // namespace

const BindingState& State() { return g_state; }

std::uint8_t EnsureLibrary(std::u16string_view library) {
  // Whatever is bound answers for every entry: the name asked for does not matter then.
  if (g_state.bound != 0) return g_state.bound;
  g_state.module = platform::LoadLibrary(library);
  if (g_state.module == platform::kNullModule) return g_state.bound;
  g_state.bound = 1;
  LookUpEntries(0, kLookupsBeforeBacklightEvent);
  // A failed creation is of no concern to the updater: nothing here waits on the event,
  // and the unbind skips a null handle.
  g_state.backlightEvent = platform::CreateEvent(false, false, kBacklightEventName);
  LookUpEntries(kLookupsBeforeBacklightEvent, kEntryCount);
  return g_state.bound;
}

void ReleaseLibrary() {
  if (g_state.module == platform::kNullModule) return;
  if (g_state.backlightEvent != platform::kNullHandle) {
    platform::CloseHandle(g_state.backlightEvent);
  }
  // A library that refuses to unload is forgotten all the same: the binding must never
  // call into a library it has given up.
  platform::FreeLibrary(g_state.module);
  g_state = BindingState{};
}

bool SwitchLibrary(std::u16string_view library) {
  ReleaseLibrary();
  return EnsureLibrary(library) == 1;
}

std::uint8_t LibrarySupports(std::u16string_view entry) {
  EnsureLibrary(kBoardSupportLibrary);
  if (g_state.module == platform::kNullModule) return 0;
  // Asked of the library itself, so that names outside the entry table can be asked too.
  return platform::GetProcAddress(g_state.module, entry) != nullptr ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Entry points

namespace {

consteval std::size_t SlotOf(std::u16string_view name) {
  for (std::size_t slot = 0; slot < kEntryCount; ++slot) {
    if (kEntryNames[slot] == name) return slot;
  }
  return kEntryCount;
}

constexpr std::size_t kGdSetULong = SlotOf(u"GD_setULong");
constexpr std::size_t kGdStore = SlotOf(u"GD_store");
constexpr std::size_t kGreenLed = SlotOf(u"GreenLed");
constexpr std::size_t kRedLed = SlotOf(u"RedLed");
constexpr std::size_t kCpuReset = SlotOf(u"CPU_Reset");
constexpr std::size_t kLowLevelFormat = SlotOf(u"VXUpdate_LowLevelFormat");
constexpr std::size_t kWriteFirst = SlotOf(u"VXUpdate_WriteFirst");
constexpr std::size_t kWriteNext = SlotOf(u"VXUpdate_WriteNext");
constexpr std::size_t kWriteLast = SlotOf(u"VXUpdate_WriteLast");
constexpr std::size_t kCheckImageType = SlotOf(u"VXUpdate_CheckImageType");
constexpr std::size_t kCheckCrc = SlotOf(u"VXUpdate_CheckCRC");
constexpr std::size_t kExclusiveAccess = SlotOf(u"VXUpdate_GuaranteeExclusiveAccess");
constexpr std::size_t kSystemBootFromDoc = SlotOf(u"SystemBootFromDOC");
constexpr std::size_t kSetEnableKeyboard = SlotOf(u"SetEnableKeyboard");
constexpr std::size_t kGetImageInfo = SlotOf(u"GetImageInfo");
constexpr std::size_t kGetImageInfoFromBuffer = SlotOf(u"GetImageInfoFromBuffer");
constexpr std::size_t kCrc32 = SlotOf(u"crc32");
// The numbers the device documentation uses (1-based) for the entries the updater calls.
static_assert(kGdSetULong == 51 && kGdStore == 52 && kGreenLed == 66 && kRedLed == 67 &&
              kCpuReset == 88 && kLowLevelFormat == 106 && kWriteFirst == 107 &&
              kWriteNext == 108 && kWriteLast == 109 && kCheckImageType == 110 &&
              kCheckCrc == 112 && kExclusiveAccess == 113 && kSystemBootFromDoc == 117 &&
              kSetEnableKeyboard == 118 && kGetImageInfo == 119 && kGetImageInfoFromBuffer == 120 &&
              kCrc32 == 121);

// Writes "mc_api: NAME not supported\r\n".  Built on the stack: a missing entry is an
// ordinary road, taken on every call, and must not depend on free memory.
void ReportMissing(std::u16string_view name) {
  constexpr std::u16string_view kPrefix = u"mc_api: ";
  constexpr std::u16string_view kSuffix = u" not supported\r\n";
  constexpr std::size_t kLongestName = 48;
  std::array<char16_t, kPrefix.size() + kLongestName + kSuffix.size()> line{};
  name = name.substr(0, kLongestName);
  auto end = std::copy(kPrefix.begin(), kPrefix.end(), line.begin());
  end = std::copy(name.begin(), name.end(), end);
  end = std::copy(kSuffix.begin(), kSuffix.end(), end);
  platform::OutputDebugString(
      std::u16string_view(line.data(), static_cast<std::size_t>(end - line.begin())));
}

// The common first half of every entry point: binds vx_bsp_api.dll when nothing is bound
// and answers the entry with its exact host signature, or null once the missing entry has
// been reported.  Nothing is remembered, so a library bound later is used at once.
template <typename Signature>
Signature* Resolve(std::size_t slot) {
  EnsureLibrary(kBoardSupportLibrary);
  const platform::Proc proc = g_state.entries[slot];
  if (proc == nullptr) {
    ReportMissing(kEntryNames[slot]);
    return nullptr;
  }
  return reinterpret_cast<Signature*>(proc);
}

// The fallback of every VXUpdate_ entry: a value that each caller takes as a failure.
constexpr std::int32_t kUpdateFallback = -1;

}  // namespace

std::int32_t VXUpdate_LowLevelFormat() {
  auto* entry = Resolve<std::int32_t()>(kLowLevelFormat);
  return entry != nullptr ? entry() : kUpdateFallback;
}

std::int32_t VXUpdate_CheckImageType(std::uint32_t type, const std::uint8_t* data,
                                     std::uint32_t size) {
  using Signature = std::int32_t(std::uint32_t, const std::uint8_t*, std::uint32_t);
  auto* entry = Resolve<Signature>(kCheckImageType);
  return entry != nullptr ? entry(type, data, size) : kUpdateFallback;
}

std::int32_t VXUpdate_WriteFirst(std::uint32_t type, const std::uint8_t* data, std::uint32_t count,
                                 std::uint32_t* remaining) {
  using Signature = std::int32_t(std::uint32_t, const std::uint8_t*, std::uint32_t, std::uint32_t*);
  auto* entry = Resolve<Signature>(kWriteFirst);
  return entry != nullptr ? entry(type, data, count, remaining) : kUpdateFallback;
}

std::int32_t VXUpdate_WriteNext(const std::uint8_t* data, std::uint32_t count,
                                std::uint32_t* remaining) {
  using Signature = std::int32_t(const std::uint8_t*, std::uint32_t, std::uint32_t*);
  auto* entry = Resolve<Signature>(kWriteNext);
  return entry != nullptr ? entry(data, count, remaining) : kUpdateFallback;
}

std::int32_t VXUpdate_WriteLast() {
  auto* entry = Resolve<std::int32_t()>(kWriteLast);
  return entry != nullptr ? entry() : kUpdateFallback;
}

std::int32_t VXUpdate_CheckCRC(std::uint32_t type) {
  auto* entry = Resolve<std::int32_t(std::uint32_t)>(kCheckCrc);
  return entry != nullptr ? entry(type) : kUpdateFallback;
}

std::int32_t VXUpdate_GuaranteeExclusiveAccess(std::int32_t take) {
  auto* entry = Resolve<std::int32_t(std::int32_t)>(kExclusiveAccess);
  return entry != nullptr ? entry(take) : kUpdateFallback;
}

std::int32_t SystemBootFromDOC() {
  // Without the entry the device is taken to boot from DOC: the SPL and IPL road.
  auto* entry = Resolve<std::int32_t()>(kSystemBootFromDoc);
  return entry != nullptr ? entry() : 1;
}

std::int32_t GD_setULong(std::uint32_t item, std::uint32_t value) {
  auto* entry = Resolve<std::int32_t(std::uint32_t, std::uint32_t)>(kGdSetULong);
  return entry != nullptr ? entry(item, value) : 0;
}

std::int32_t GD_store() {
  auto* entry = Resolve<std::int32_t()>(kGdStore);
  return entry != nullptr ? entry() : 0;
}

void GreenLed(std::int32_t on) {
  if (auto* entry = Resolve<void(std::int32_t)>(kGreenLed)) entry(on);
}

void RedLed(std::int32_t on) {
  if (auto* entry = Resolve<void(std::int32_t)>(kRedLed)) entry(on);
}

void CPU_Reset(std::int32_t hardware) {
  if (auto* entry = Resolve<void(std::int32_t)>(kCpuReset)) entry(hardware);
}

std::int32_t SetEnableKeyboard(std::int32_t enable) {
  auto* entry = Resolve<std::int32_t(std::int32_t)>(kSetEnableKeyboard);
  return entry != nullptr ? entry(enable) : 1;
}

std::int32_t GetImageInfo(std::uint8_t* record, std::uint32_t type) {
  auto* entry = Resolve<std::int32_t(std::uint8_t*, std::uint32_t)>(kGetImageInfo);
  return entry != nullptr ? entry(record, type) : 0;
}

std::int32_t GetImageInfoFromBuffer(std::uint8_t* record, const std::uint8_t* data,
                                    std::uint32_t size) {
  using Signature = std::int32_t(std::uint8_t*, const std::uint8_t*, std::uint32_t);
  auto* entry = Resolve<Signature>(kGetImageInfoFromBuffer);
  return entry != nullptr ? entry(record, data, size) : 0;
}

std::uint32_t crc32(std::uint32_t crc, const std::uint8_t* data, std::uint32_t length) {
  // zlib's own signature, whose unsigned long is wider than the CRC on the host; the
  // value always fits in 32 bits.
  using Signature = unsigned long(unsigned long, const unsigned char*, unsigned int);
  auto* entry = Resolve<Signature>(kCrc32);
  return entry != nullptr ? static_cast<std::uint32_t>(entry(crc, data, length)) : 0;
}

}  // namespace binding
