// vxdevice init --key: provisioning the key of signed packages into a device.
#ifndef TOOLS_DEVICE_KEY_H_
#define TOOLS_DEVICE_KEY_H_

#include <filesystem>
#include <optional>
#include <string>

// The registry.reg lines that hold the 32-byte public key in file `publicKey` as the
// value PackageKey; nothing, with the reason in *error, when the file is no such key.
std::optional<std::string> PackageKeyLine(const std::filesystem::path& publicKey,
                                          std::string* error);

#endif  // TOOLS_DEVICE_KEY_H_
