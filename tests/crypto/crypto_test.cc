// The key check against the encodings no device may trust.  (What a signature holds for
// is tried end to end, tests/e2e/signature_test.cc.)
#include <gtest/gtest.h>

#include <string>

#include "crypto/crypto.h"

namespace {

crypto::Key FromHex(const std::string& hex) {
  crypto::Key key{};
  for (std::size_t i = 0; i < key.size(); ++i) {
    key[i] = static_cast<std::uint8_t>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
  }
  return key;
}

TEST(CryptoKeys, OnlyCanonicalPointsOfLargeOrderThatTheLibraryHandlesAreUsable) {
  struct Case {
    const char* what;
    const char* hex;
    bool usable;
  };
  const Case cases[] = {
      // The eight points of small order, and their spellings with the sign bit set.
      {"order 1", "0100000000000000000000000000000000000000000000000000000000000000", false},
      {"order 1, x negative", "0100000000000000000000000000000000000000000000000000000000000080", false},
      {"order 2", "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", false},
      {"order 4", "0000000000000000000000000000000000000000000000000000000000000000", false},
      {"order 4, x negative", "0000000000000000000000000000000000000000000000000000000000000080", false},
      {"order 8", "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a", false},
      {"order 8, x negative", "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac03fa", false},
      {"order 8, y negated", "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05", false},
      {"order 8, both", "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc85", false},
      // y at least p: second spellings of y - p.
      {"y = p", "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", false},
      {"y = p + 1", "eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", false},
      {"y = 2^255 - 1", "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", false},
      // No point of the curve has y = 2.
      {"not on the curve", "0200000000000000000000000000000000000000000000000000000000000000", false},
      // Points with a coordinate below 2^224, on which libgcrypt 1.10 ends the process
      // (below 2^192 with 64-bit words, below 2^224 with 32-bit ones).
      {"y = 2^191 + 3", "0300000000000000000000000000000000000000000000800000000000000000", false},
      {"y = 2^223 + 6", "0600000000000000000000000000000000000000000000000000008000000000", false},
      {"x = 2^191 + 4", "e2c6645f6bc87fde61b2ddfd1058356d933a91a00cfeaeeb020efb38e21fb456", false},
      {"x = 2^223 + 8", "4b0459bf7b213e0803825a08050e21e0c42cfc94cf3da258ef052337861d9d2d", false},
      // Points of large order whose coordinates are big enough.
      {"y = 2^250 + 7", "0700000000000000000000000000000000000000000000000000000000000004", true},
      {"x = 2^230 + 6", "a008cd051f2c51557cbee79b367637d26396b44058302b6a8cb785091135bc73", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(crypto::IsUsableKey(FromHex(c.hex)), c.usable) << c.what;
  }
  const auto pair = crypto::GenerateKeyPair();
  ASSERT_TRUE(pair);
  EXPECT_TRUE(crypto::IsUsableKey(pair->publicKey));
}

}  // namespace
