// The user-interface lock: keyboard and display off while the flash is written.
#include "binding/binding.h"
#include "device/device.h"
#include "platform/platform.h"

namespace device {

namespace {

// The display driver's private escape that switches the display on or off.
constexpr std::int32_t kDisplayEnableEscape = 100014;

}  // namespace

std::int32_t EnableUserInterface(std::int32_t enable) {
  // Keyboard first in both directions, so the user never has a live keyboard on a dark
  // display while the update locks the device.
  const std::int32_t keyboard = binding::SetEnableKeyboard(enable);
  DisplayInterfaceEscape(enable);
  return keyboard;
}

void DisplayInterfaceEscape(std::int32_t enable) {
  // The driver reads the flag from the input size; there is no input data.  The result
  // is not looked at: a driver that does not know the escape leaves the display as it is.
  const platform::Hdc dc = platform::GetDC();
  platform::ExtEscape(dc, kDisplayEnableEscape, enable, nullptr, 0, nullptr);
  platform::ReleaseDC(dc);
}

}  // namespace device
