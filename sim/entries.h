// What the entries of both simulated device libraries share: the library's own name for
// the trace, the device root, and the one trace line every entry call writes.
#ifndef SIM_ENTRIES_H_
#define SIM_ENTRIES_H_

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>

// Marks a function as an entry of the library; everything else stays hidden.
#define VXSIM_ENTRY extern "C" __attribute__((visibility("default")))

namespace sim {

// The library's own file name ("vx_bsp_api.dll" or "VXUpdate.dll"), defined once in
// each library.
extern const char kLibraryName[];

// The host folder of the device root.
std::filesystem::path Root();

// Writes {"ev":"device","lib":...,"call":...,"arg":...,"result":...} to the trace.
void TraceCall(std::string_view call, std::optional<std::int64_t> arg,
               std::optional<std::int64_t> result);

// Writes one "vxsim: ..." line to the debug channel, for state the device cannot read.
void DebugLine(std::string_view text);

}  // namespace sim

#endif  // SIM_ENTRIES_H_
