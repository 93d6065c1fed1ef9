// What every fuzz target shares: libFuzzer's two entry points, which call the target's
// Start once and One for each input, and a simulated device made once per process in a
// fresh temporary folder.  Test-only code: it sets the host knobs in the environment.
#ifndef FUZZ_SUPPORT_H_
#define FUZZ_SUPPORT_H_

#include <cstdint>
#include <filesystem>
#include <span>
#include <string_view>

namespace fuzz {

// Defined by each target.
void Start();
void One(std::span<const std::uint8_t> data);

// Makes the device root (canonical), with the host zlib as zlib.dll and the fake engine
// of fuzz/ as \VXUpdate.dll when asked, points VXU_DEVICE_ROOT at it, switches sleeping
// and tracing off, sets VXU_FAULTS and has the platform layer read the knobs again.
const std::filesystem::path& MakeDevice(bool zlib, bool engine, const char* faults);
// Writes a file below the device root (creating its folder), replacing it.
void WriteDeviceFile(const std::filesystem::path& relative, std::span<const std::uint8_t> bytes);
void WriteDeviceFile(const std::filesystem::path& relative, std::string_view text);
// Aborts, naming the broken expectation, so that libFuzzer records the input.
void Expect(bool condition, std::string_view what);
std::uint32_t LoadLe32(const std::uint8_t* bytes);

}  // namespace fuzz

#endif  // FUZZ_SUPPORT_H_
