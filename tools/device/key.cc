// vxdevice init --key: the public keys of signed packages, provisioned into the device
// registry as the REG_BINARY value PackageKey (one to four keys, one after the other).
#include <string>

#include "crypto/crypto.h"
#include "tools/device/device.h"

namespace tools {

std::optional<RawKey> ReadPackageKey(const fs::path& publicKey, std::string* error) {
  const std::optional<RawKey> key = ReadPublicKey(publicKey, error);
  if (!key) return std::nullopt;
  // A device refuses every package under a value that holds one unusable key.
  if (!crypto::IsUsableKey(*key)) {
    *error = "not a usable public key";
    return std::nullopt;
  }
  return key;
}

std::string PackageKeyLine(std::span<const RawKey> keys) {
  std::string hex;
  for (const RawKey& key : keys) hex += Hex(key);
  std::string line = keys.size() == 1
                         ? "; Only packages and updaters signed for this key are accepted.\n"
                         : "; Only packages and updaters signed for one of these keys are "
                           "accepted.\n";
  line += "\"PackageKey\"=hex:";
  for (std::size_t i = 0; i < hex.size(); i += 2) line += (i == 0 ? "" : ",") + hex.substr(i, 2);
  return line + "\n";
}

}  // namespace tools
