// The power-management keep-alive: a second thread that keeps the power manager from
// acting on the device's inactivity while the flash is written.
#include <atomic>

#include "device/device.h"
#include "platform/platform.h"

namespace device {

namespace {

constexpr std::u16string_view kReloadActivityTimeouts = u"PowerManager/ReloadActivityTimeouts";
constexpr std::uint32_t kSignalIntervalMs = 5000;
constexpr std::uint32_t kStopPollIntervalMs = 1000;

// Written by the main thread, read by the keep-alive thread at each pass of its loop.
std::atomic<bool> g_run{false};
// Touched by the main thread only.
platform::Handle g_thread = platform::kNullHandle;

std::int32_t StartKeepAlive() {
  // A second start while the thread runs keeps that one: starting another would leave the
  // first without a stored handle, so no stop could ever wait for it or end it.
  if (g_thread != platform::kNullHandle) return 1;
  g_run = true;
  g_thread = platform::CreateThread(0, KeepAliveThread, nullptr, 0);
  // After a failure the run flag stays set; with no thread to read it, that is harmless.
  return g_thread != platform::kNullHandle ? 1 : 0;
}

std::int32_t StopKeepAlive() {
  if (g_thread == platform::kNullHandle) return 0;
  g_run = false;
  // Polled rather than waited on: a thread in the middle of its sleep needs up to one
  // interval to notice the cleared flag.  A handle the system no longer knows counts as
  // a thread that has ended, so the stop cannot hang on it.
  std::uint32_t exitCode = platform::kStillActive;
  do {
    if (!platform::GetExitCodeThread(g_thread, &exitCode)) exitCode = 0;
    platform::Sleep(kStopPollIntervalMs);
  } while (exitCode == platform::kStillActive);
  // The thread has ended, so its handle is of no further use; closing it keeps a start
  // after a stop from leaking one handle per update.
  platform::CloseHandle(g_thread);
  g_thread = platform::kNullHandle;
  return 1;
}

}  // namespace

std::int32_t SetKeepAlive(std::int32_t on) { return on != 0 ? StartKeepAlive() : StopKeepAlive(); }

std::uint32_t KeepAliveThread(void* /*parameter*/) {
  // The event belongs to the power manager: it is only ever opened here, never created.
  const platform::Handle event =
      platform::OpenEvent(platform::kEventAllAccess, false, kReloadActivityTimeouts);
  if (event == platform::kNullHandle) {
    platform::OutputDebugString(u"Error opening ReloadActivityTimeouts Event\r\n");
    return 0;
  }
  // The flag is tested before each signal, so a stop that came before the thread first
  // ran means no signal at all.
  while (g_run) {
    platform::SetEvent(event);
    platform::Sleep(kSignalIntervalMs);
  }
  platform::CloseHandle(event);
  return 0;
}

bool KeepAliveRunFlag() { return g_run; }

}  // namespace device
