// Device services: the power-management keep-alive thread and the user-interface lock.
#ifndef DEVICE_DEVICE_H_
#define DEVICE_DEVICE_H_

#include <cstdint>

namespace device {

// on != 0: sets the run flag and starts the keep-alive thread; 1 when the thread was
// created, else 0 (the run flag stays set).
// on == 0: clears the run flag and returns only after the thread has ended (polling its
// exit code once a second); 1 when a thread was stopped, 0 when none had been started
// (then nothing changes).  Main thread only.
std::int32_t SetKeepAlive(std::int32_t on);
// The thread's entry: opens "PowerManager/ReloadActivityTimeouts" and sets it at once and
// then every 5000 ms while the run flag is set.  Always ends with 0.
std::uint32_t KeepAliveThread(void* parameter);
// The run flag as the keep-alive thread sees it (for tests).
bool KeepAliveRunFlag();

// Keyboard (SetEnableKeyboard) first, then the display escape, with the same flag.
// Returns what SetEnableKeyboard answered.  Main thread only.
std::int32_t EnableUserInterface(std::int32_t enable);
// ExtEscape 100014 on the screen's device context with the flag as the input size.
void DisplayInterfaceEscape(std::int32_t enable);

}  // namespace device

#endif  // DEVICE_DEVICE_H_
