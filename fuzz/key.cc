// Arbitrary bytes as the value PackageKey: its size as the registry reports it (the first
// byte), its bytes (up to four keys), then a signature.  The
// key check the updater makes and a verification under each key must never end the
// process; and no key that the check takes is written with y at least p or lets the
// forgery "R the neutral element, S = 0" verify, as every key of small order does for a
// share of all digests.
#include <algorithm>

#include "crypto/crypto.h"
#include "fuzz/support.h"
#include "package/package.h"

void fuzz::Start() {}

void fuzz::One(std::span<const std::uint8_t> data) {
  if (data.empty()) return;
  package::DeviceKey key{.present = true, .type = platform::kRegBinary, .size = data[0]};
  data = data.subspan(1);
  const std::size_t stored = std::min({data.size(), key.bytes.size(), std::size_t{key.size}});
  std::copy_n(data.begin(), stored, key.bytes.begin());
  const bool usable = package::IsUsableDeviceKey(key);
  Expect(!usable || (key.size != 0 && key.size % 32 == 0), "a list of another size was taken");
  crypto::Signature signature{}, forgery{};
  const auto rest = data.subspan(stored);
  std::copy_n(rest.begin(), std::min(rest.size(), signature.size()), signature.begin());
  forgery[0] = 1;
  for (std::size_t at = 0; at + 32 <= stored; at += 32) {
    crypto::Key one;
    std::copy_n(key.bytes.begin() + at, one.size(), one.begin());
    crypto::Verify(one, crypto::Purpose::kPackage, crypto::Digest{}, signature);
    if (!usable) continue;
    // Little-endian, the top bit being the sign of x: y < p = 2^255 - 19.
    const bool canonical =
        (one[31] & 0x7F) != 0x7F ||
        std::any_of(one.begin() + 1, one.begin() + 31, [](auto b) { return b != 0xFF; }) ||
        one[0] < 0xED;
    Expect(canonical, "a key with y at least p was taken");
    for (std::uint8_t d = 0; d < 16; ++d) {
      crypto::Digest digest{};
      digest[0] = d;
      Expect(crypto::Verify(one, crypto::Purpose::kPackage, digest, forgery) !=
                 crypto::Verdict::kValid,
             "a key under which anyone can sign was taken");
    }
  }
}
