// vxdevice init --key: the public keys of signed packages, provisioned into the device
// registry as the REG_BINARY value PackageKey (one to four keys, one after the other).
#include <array>
#include <cstdio>
#include <fstream>
#include <string>

#include "crypto/crypto.h"
#include "tools/device/device.h"

namespace tools {

std::optional<std::string> PackageKeyLine(const std::vector<fs::path>& publicKeys,
                                          std::string* error, fs::path* culprit) {
  std::string hex;
  for (const fs::path& publicKey : publicKeys) {
    *culprit = publicKey;
    std::ifstream in(publicKey, std::ios::binary);
    std::array<unsigned char, 33> bytes{};
    in.read(reinterpret_cast<char*>(bytes.data()), bytes.size());
    if (!in.eof() && !in) {
      *error = "cannot read";
      return std::nullopt;
    }
    if (in.gcount() != 32) {
      *error = "not a public key (must be 32 bytes, as 'vxpack keygen' writes NAME.pub)";
      return std::nullopt;
    }
    crypto::Key key;
    std::copy_n(bytes.begin(), key.size(), key.begin());
    // A device refuses every package under a value that holds one unusable key.
    if (!crypto::IsUsableKey(key)) {
      *error = "not a usable public key";
      return std::nullopt;
    }
    for (const unsigned char byte : key) {
      std::array<char, 4> text{};
      std::snprintf(text.data(), text.size(), hex.empty() ? "%02x" : ",%02x", byte);
      hex += text.data();
    }
  }
  return std::string(publicKeys.size() == 1
                         ? "; Only packages and updaters signed for this key are accepted.\n"
                         : "; Only packages and updaters signed for one of these keys are "
                           "accepted.\n") +
         "\"PackageKey\"=hex:" + hex + "\n";
}

}  // namespace tools
