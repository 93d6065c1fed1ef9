// The key check against the encodings no device may trust (keys.txt beside this file).
// What a signature holds for is tried end to end, in tests/e2e/signature_test.cc.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "crypto/crypto.h"

namespace {

TEST(CryptoKeys, OnlyCanonicalPointsOfLargeOrderThatTheLibraryHandlesAreUsable) {
  std::ifstream vectors(CRYPTO_KEYS_FILE);
  int count = 0;
  for (std::string line; std::getline(vectors, line);) {
    if (line.empty() || line[0] == '#') continue;
    const std::string hex = line.substr(0, 64);
    const bool usable = line.at(65) == '1';
    crypto::Key key{};
    for (std::size_t i = 0; i < key.size(); ++i) {
      key[i] = static_cast<std::uint8_t>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
    }
    EXPECT_EQ(crypto::IsUsableKey(key), usable) << line;
    ++count;
  }
  EXPECT_EQ(count, 19);
  const auto pair = crypto::GenerateKeyPair();
  EXPECT_TRUE(pair && crypto::IsUsableKey(pair->publicKey));
}

}  // namespace
