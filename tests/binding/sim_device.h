// A simulated device for the binding and device tests: a fresh device root with its own
// trace, libraries installed under "\Windows\" by name.  Each test gets its own root
// because the host caches loaded libraries by path.
#ifndef TESTS_BINDING_SIM_DEVICE_H_
#define TESTS_BINDING_SIM_DEVICE_H_

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/testing.h"

namespace testing_support {

// Host knobs beyond the device root and the trace; unset when not given.
struct DeviceKnobs {
  std::optional<std::string> faults = std::nullopt;
  std::optional<std::string> powerManager = std::nullopt;
  std::optional<std::string> timeScale = std::nullopt;
};

class SimDevice {
 public:
  explicit SimDevice(const DeviceKnobs& knobs = {})
      : windows_(MakeFolder(dir_ / "device" / "Windows")),
        env_{{"VXU_DEVICE_ROOT", (dir_ / "device").string()},
             {"VXU_TRACE", (dir_ / "trace.jsonl").string()},
             {"VXU_FAULTS", knobs.faults},
             {"VXU_POWER_MANAGER", knobs.powerManager},
             {"VXU_TIME_SCALE", knobs.timeScale},
             {"VXU_MSGBOX_ANSWERS", std::nullopt}} {}

  // Copies a host file into the device's "\Windows\" folder as `deviceName`.
  void Install(const fs::path& hostFile, std::string_view deviceName) const {
    fs::copy_file(hostFile, windows_ / deviceName, fs::copy_options::overwrite_existing);
  }
  void InstallText(std::string_view text, std::string_view deviceName) const {
    WriteText(windows_ / deviceName, text);
  }

  std::vector<TraceLine> Trace() const { return ReadTrace(dir_ / "trace.jsonl"); }
  // The events of kind `ev` whose field `key` is `value`.
  std::vector<TraceLine> Events(std::string_view ev, const std::string& key = "",
                                const std::string& value = "") const {
    std::vector<TraceLine> found = EventsOf(Trace(), ev);
    if (key.empty()) return found;
    std::erase_if(found, [&](const TraceLine& line) { return line[key] != value; });
    return found;
  }

 private:
  static fs::path MakeFolder(const fs::path& folder) {
    fs::create_directories(folder);
    return folder;
  }

  // In this order: the device folders exist before the platform reads the knobs.
  TempDir dir_;
  fs::path windows_;
  ScopedEnv env_;
};

}  // namespace testing_support

#endif  // TESTS_BINDING_SIM_DEVICE_H_
