// The entries every simulated device library has: status lights, reset, keyboard, boot
// chain, GD items and exclusive access.  Both libraries link this one copy.
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "sim/device_state.h"
#include "sim/entries.h"

namespace sim {
namespace {

// GD items set but not yet stored; they die with the run unless GD_store saves them.
std::map<std::uint32_t, std::uint32_t>& PendingGdItems() {
  static std::map<std::uint32_t, std::uint32_t> items;
  return items;
}

}  // namespace

std::filesystem::path Root() { return platform::DeviceRoot(); }

void TraceCall(std::string_view call, std::optional<std::int64_t> arg,
               std::optional<std::int64_t> result) {
  platform::TraceEvent event("device");
  event.Str("lib", std::string_view(kLibraryName)).Str("call", call);
  if (arg) event.Num("arg", *arg);
  if (result) event.Num("result", *result);
  event.Emit();
}

void DebugLine(std::string_view text) {
  platform::OutputDebugString(platform::ToUtf16("vxsim: " + std::string(text) + "\r\n"));
}

}  // namespace sim

VXSIM_ENTRY void GreenLed(std::int32_t on) {
  sim::WriteStateFile(sim::Root(), "green_led", on ? "on\n" : "off\n");
  sim::TraceCall("GreenLed", on, {});
}

VXSIM_ENTRY void RedLed(std::int32_t on) {
  sim::WriteStateFile(sim::Root(), "red_led", on ? "on\n" : "off\n");
  sim::TraceCall("RedLed", on, {});
}

VXSIM_ENTRY void CPU_Reset(std::int32_t hardware) {
  const auto root = sim::Root();
  sim::WriteStateFile(root, "last_reset", hardware ? "hardware reset\n" : "warm boot\n");
  // The device starts afresh: what the updater switched off for the update is back on,
  // and the lights are dark, so `vxdevice show` tells what the restarted device holds.
  sim::WriteStateFile(root, "green_led", "off\n");
  sim::WriteStateFile(root, "red_led", "off\n");
  sim::WriteStateFile(root, "keyboard", "enabled\n");
  sim::WriteStateFile(root, "display", "on\n");
  sim::WriteStateFile(root, "exclusive_access", "released\n");
  sim::TraceCall("CPU_Reset", hardware, {});
  // A reset ends everything that runs on the device at once: no exit handlers, no
  // clean-up, exactly as the updater sees it on the device.  VXSIM_RESET=return makes it
  // come back instead, as a device whose reset failed would, so that the updater's road
  // after a returning reset can be driven from outside.
  const char* knob = std::getenv("VXSIM_RESET");
  if (knob != nullptr && std::string_view(knob) == "return") return;
  platform::EndProcessNow(hardware ? 100 : 101);
}

VXSIM_ENTRY std::int32_t SetEnableKeyboard(std::int32_t enable) {
  bool ok = sim::WriteStateFile(sim::Root(), "keyboard", enable ? "enabled\n" : "disabled\n");
  std::int32_t result = ok ? 1 : 0;
  sim::TraceCall("SetEnableKeyboard", enable, result);
  return result;
}

VXSIM_ENTRY std::int32_t SystemBootFromDOC() {
  std::string error;
  auto settings = sim::ReadSettings(sim::Root(), &error);
  // Without readable settings the device answers as a library without this entry
  // would be taken to: the DOC road.
  std::int32_t result = 1;
  if (settings) {
    result = settings->boot == sim::BootChain::kDoc ? 1 : 0;
  } else {
    sim::DebugLine(error);
  }
  sim::TraceCall("SystemBootFromDOC", {}, result);
  return result;
}

VXSIM_ENTRY std::int32_t GD_setULong(std::uint32_t item, std::uint32_t value) {
  sim::PendingGdItems()[item] = value;
  sim::TraceCall("GD_setULong", item, 1);
  return 1;
}

VXSIM_ENTRY std::int32_t GD_store() {
  bool ok = sim::StoreGdItems(sim::Root(), sim::PendingGdItems());
  if (ok) sim::PendingGdItems().clear();
  std::int32_t result = ok ? 1 : 0;
  sim::TraceCall("GD_store", {}, result);
  return result;
}

VXSIM_ENTRY std::int32_t VXUpdate_GuaranteeExclusiveAccess(std::int32_t take) {
  bool ok = sim::WriteStateFile(sim::Root(), "exclusive_access", take ? "taken\n" : "released\n");
  std::int32_t result = ok ? 0 : sim::kResultFlashFailed;
  sim::TraceCall("VXUpdate_GuaranteeExclusiveAccess", take, result);
  return result;
}
