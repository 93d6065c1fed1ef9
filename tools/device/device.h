// Making and reading simulated devices: the code behind `vxdevice init` and
// `vxdevice show`, shared with `vxfleet`, which makes one device per profile.
#ifndef TOOLS_DEVICE_DEVICE_H_
#define TOOLS_DEVICE_DEVICE_H_

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim/device_state.h"
#include "sim/image_format.h"
#include "tools/common/common.h"

namespace tools {

namespace fs = std::filesystem;

// The updater's registry options as a new device holds them (1 on, 0 off).
struct RegistryOptions {
  std::uint32_t forceFullUpgrade = 0;
  std::uint32_t verifyAfterWrite = 0;
  std::uint32_t checkCrc = 1;
  std::uint32_t fullVerify = 1;
  std::uint32_t checkBinCrc = 0;
  std::optional<std::string> customPath;  // commented out when not given
  std::string extra;                      // more lines at the end, such as a PackageKey
};

// Everything a new device holds.
struct DeviceSetup {
  sim::Settings settings;
  std::vector<sim::ImageHeader> flash;  // the images in flash, built by sim::BuildImage
  RegistryOptions registry;
  // Empty: the device gets copies of DeviceLibrary("vx_bsp_api.dll") and of
  // DeviceLibrary("zlib.dll").  Otherwise a folder holding both, which the device links
  // to (LinkOrCopy): vxfleet stages them once per run.
  fs::path libraryFolder;
};

// The images a factory device holds: version 1.0 of its boot chain, Bootloader and
// WinCE, 8192 bytes, built 2020-01-01.
std::vector<sim::ImageHeader> FactoryImages(const sim::Settings& settings);

// The commented registry file of a device.
std::string RegistryText(const RegistryOptions& options);

// Makes a device in `root`, which must not exist or be an empty folder, in a folder that
// exists.  The device is built beside its place and renamed at the end, so a failure
// leaves nothing behind.
// Answers nothing on success, else one line "FILE: reason".
std::optional<std::string> MakeDevice(const fs::path& root, const DeviceSetup& setup);

// One image in flash, as `vxdevice show` lists it.
struct ShownImage {
  std::string name;
  sim::FlashImage image;
};
// What `vxdevice show` reports about a device.
struct DeviceView {
  fs::path root;
  sim::Settings settings;
  std::vector<ShownImage> flash;
  std::string green, red, keyboard, display, exclusive;
  std::map<std::uint32_t, std::uint32_t> gdItems;
  std::optional<std::string> lastReset;
  std::vector<std::string> storageCard;  // file names, sorted
};
// Reads a device; nothing when its settings or GD items cannot be read, with *error one
// line "FILE: reason".
std::optional<DeviceView> ReadDevice(const fs::path& root, std::string* error);
// The device as the object `vxdevice show --json` prints.
nlohmann::ordered_json DeviceJson(const DeviceView& device);

// The file a new device gets as Windows/NAME, for NAME "vx_bsp_api.dll" or "zlib.dll";
// nothing, with the reason, when the board support library is not beside the tool.
std::optional<fs::path> DeviceLibrary(std::string_view name, std::string* reason);

// Makes `to` (which must not exist) name the bytes of `from`: a hard link when both lie
// on one file system, a copy otherwise.  Whoever uses `to` must open it read-only, since
// a write through a link changes every name of the file.  Answers nothing on success,
// else one line "FILE: reason".
std::optional<std::string> LinkOrCopy(const fs::path& from, const fs::path& to);

// vxdevice init --key and fleet profiles: the public key in the PEM file `publicKey`,
// refused (with the reason in *error) when it is no such key or one that a device could
// check no signature against.
std::optional<RawKey> ReadPackageKey(const fs::path& publicKey, std::string* error);
// The registry.reg lines that hold `keys` (one to four, as a device takes them) as the
// value PackageKey (their raw bytes, one after the other).
inline constexpr std::size_t kMaxPackageKeys = 4;
std::string PackageKeyLine(std::span<const RawKey> keys);
inline std::string PackageKeyLine(const RawKey& key) { return PackageKeyLine({&key, 1}); }

}  // namespace tools

#endif  // TOOLS_DEVICE_DEVICE_H_
