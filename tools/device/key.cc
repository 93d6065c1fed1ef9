// vxdevice init --key: the public key of signed packages, provisioned into the device
// registry as the REG_BINARY value PackageKey.
#include "tools/device/device.h"

#include <array>
#include <cstdio>
#include <fstream>
#include <string>

namespace tools {

std::optional<std::string> PackageKeyLine(const fs::path& publicKey, std::string* error) {
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
  std::string line =
      "; Only packages and updaters signed for this key are accepted.\n\"PackageKey\"=hex:";
  for (std::size_t i = 0; i < 32; ++i) {
    std::array<char, 4> hex{};
    std::snprintf(hex.data(), hex.size(), i == 0 ? "%02x" : ",%02x", bytes[i]);
    line += hex.data();
  }
  return line + "\n";
}

}  // namespace tools
