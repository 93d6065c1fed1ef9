// What every fuzz target shares: a simulated device made once per process in a fresh
// temporary folder, and a few small helpers.  Test-only code: it sets the host knobs in
// the environment and then has the platform layer read them again.
#ifndef FUZZ_SUPPORT_H_
#define FUZZ_SUPPORT_H_

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

namespace fuzz {

struct DeviceOptions {
  bool zlib = false;          // <root>/Windows/zlib.dll, a copy of the host zlib
  bool engine = false;        // <root>/VXUpdate.dll, the fake engine of fuzz/
  std::string_view faults;    // VXU_FAULTS for the whole run ("" for none)
};

// Makes the device root (canonical, free of symbolic links), points VXU_DEVICE_ROOT at
// it, switches sleeping and tracing off and has the platform layer read the knobs again.
// The folder is removed when the process ends normally.  Aborts when anything fails: a
// target without its device would only report noise.
const std::filesystem::path& MakeDevice(const DeviceOptions& options);

// Writes `bytes` to `file` below the device root (creating its folder), replacing it.
void WriteDeviceFile(const std::filesystem::path& relative, std::span<const std::uint8_t> bytes);
void WriteDeviceFile(const std::filesystem::path& relative, std::string_view text);

// Stops the process so that libFuzzer records the input, naming the broken expectation.
[[noreturn]] void Fail(std::string_view what);
inline void Expect(bool condition, std::string_view what) {
  if (!condition) Fail(what);
}

std::uint32_t LoadLe32(const std::uint8_t* bytes);

}  // namespace fuzz

#endif  // FUZZ_SUPPORT_H_
