// Update control: the main procedure and the operations around it (options and banner,
// package discovery and updater hand-off, the image steps and the progress printer).
#ifndef CONTROL_CONTROL_H_
#define CONTROL_CONTROL_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "package/package.h"

namespace control {

// The main procedure: runs one update and answers the process exit code (0, or -1 when
// the user declines the warm boot after a failure).  `commandLine` is zero-terminated.
std::int32_t WinMain(const char16_t* commandLine);

// ---------------------------------------------------------------------------
// Options and banner

struct UpdateOptions {
  std::uint32_t ForceFullUpgrade = 0;
  std::uint32_t VerifyAfterWrite = 0;
  std::uint32_t CheckCRC = 1;
  std::uint32_t FullVerify = 1;
  std::uint32_t CheckBinCRC = 0;
  // Not an on/off setting: with a key present, packages and updaters must be signed.
  package::DeviceKey PackageKey;
};
// Defaults, then the values of HKLM\VX_Config\VXUpdate that can be read as 4 bytes, and
// the PackageKey value as it is.  A registry error other than "not found" while looking
// for PackageKey leaves the options at their defaults and the key present but unusable.
// PackageKey is read once per process: when the hand-off read it first, that verdict
// is taken and the value is not asked for again.
void ReadUpdateOptions(UpdateOptions* options);
// The PackageKey value alone, read the same way, for the hand-off, which runs before the
// options are read; the one reading of the process, as above.
package::DeviceKey ReadDeviceKey();
// "-c" or "-C" anywhere in the command line switches CheckBinCRC on.
void ApplyCommandLine(const char16_t* commandLine, UpdateOptions* options);
void PrintBanner(const UpdateOptions& options);
inline constexpr const char* kVersion = "1.2.2";
inline constexpr const char* kRule = "-------------------------------\n";

// ---------------------------------------------------------------------------
// Discovery and hand-off

inline constexpr std::size_t kPathUnits = 120;  // the path buffer, 240 bytes
using PathBuffer = std::array<char16_t, kPathUnits>;

// Finds VXUpdate.bin in "\Storage Card\", then in the CustomPath folder.  `sizeBytes` is
// the size of `buffer` in bytes (at most 2 * buffer's units count).  1 found (the buffer
// holds the zero-terminated path), 0 none.
std::int32_t FindUpdatePackage(char16_t* buffer, std::uint32_t sizeBytes);
// 1 when the file opens, yields 108 bytes and starts with "VXUD".
std::int32_t ProbeUpdatePackage(const char16_t* path);
// Reads CustomPath into `buffer`; *sizeBytes in: room, out: bytes stored.  1 on success.
std::int32_t ReadCustomPath(char16_t* buffer, std::uint32_t* sizeBytes);
// Starts VXUpdater.exe beside the package when it is not this very build: 1 started (the
// caller ends), 0 go on.
std::int32_t HandOffToUpdater(const char16_t* packagePath);

// The updater label: "VXUPDLABEL\0\0", the little-endian CRC, "LEBALDPUXV\0\0".
inline constexpr std::size_t kLabelSize = 28;
inline constexpr std::size_t kLabelCrcOffset = 12;
// The offset of the first label in an executable's bytes, or nothing.  A candidate whose
// 28 bytes are not wholly inside `file` is not a label.
std::optional<std::size_t> FindUpdaterLabel(std::span<const std::uint8_t> file);
// The label CRC of the running updater, read from its own label at run time.
std::uint32_t OwnLabelCrc();

// ---------------------------------------------------------------------------
// Image steps and progress

// Brings one image up to date (compare, format, write, verify, data store) and prints its
// console lines.  0 when up to date or updated; 9 for the invalid handle.
std::int32_t UpdateImage(package::PackageHandle handle, std::uint32_t type,
                         const UpdateOptions* options);
// Compares one image in flash with the package, with the CRC check.  0 when it matches.
std::int32_t VerifyImage(package::PackageHandle handle, std::uint32_t type);
// Prints up to ten dots per operation (done 0 starts one).
void PrintProgress(std::uint32_t total, std::uint32_t done);

}  // namespace control

#endif  // CONTROL_CONTROL_H_
