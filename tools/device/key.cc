// vxdevice init --key: the public key of signed packages, provisioned into the device
// registry as the REG_BINARY value PackageKey.
#include "tools/device/device.h"

#include <string>

namespace tools {

std::optional<std::string> PackageKeyLine(const fs::path& publicKey, std::string* error) {
  const std::optional<RawKey> key = ReadPublicKey(publicKey, error);
  if (!key) return std::nullopt;
  return PackageKeyLine(*key);
}

std::string PackageKeyLine(const RawKey& key) {
  std::string line =
      "; Only packages and updaters signed for this key are accepted.\n\"PackageKey\"=hex:";
  const std::string hex = Hex(key);
  for (std::size_t i = 0; i < hex.size(); i += 2) line += (i == 0 ? "" : ",") + hex.substr(i, 2);
  return line + "\n";
}

}  // namespace tools
