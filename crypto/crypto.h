// Package signatures: SHA-512 and Ed25519 (pure, RFC 8032) through libgcrypt.
//
// A signature is made over the 64-byte SHA-512 digest of a whole file, not over the file
// itself, so that a file of any size is hashed in pieces and only the digest is signed.
// Every function may be called from any thread.
#ifndef CRYPTO_CRYPTO_H_
#define CRYPTO_CRYPTO_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace crypto {

inline constexpr std::size_t kDigestSize = 64;
inline constexpr std::size_t kKeySize = 32;  // public and secret key alike
inline constexpr std::size_t kSignatureSize = 64;
using Digest = std::array<std::uint8_t, kDigestSize>;
using Key = std::array<std::uint8_t, kKeySize>;
using Signature = std::array<std::uint8_t, kSignatureSize>;

// A SHA-512 computation fed piece by piece.  ok() is false when the library could not
// start one (no memory); Update and Finish then do nothing and Finish answers nothing.
class Sha512 {
 public:
  Sha512();
  ~Sha512();
  Sha512(const Sha512&) = delete;
  Sha512& operator=(const Sha512&) = delete;
  bool ok() const { return state_ != nullptr; }
  void Update(std::span<const std::uint8_t> bytes);
  std::optional<Digest> Finish();

 private:
  void* state_;
};

enum class Verdict { kValid, kWrongSignature, kBadKey };
// True when `key` is a public key that signatures can be checked against.
bool IsUsableKey(const Key& key);
// Checks `signature` of `digest` against the public `key`.  kBadKey for an unusable key,
// whatever the signature.
Verdict Verify(const Key& key, const Digest& digest, const Signature& signature);

// Host tools only.  A fresh key pair whose public key IsUsableKey (the secret key is the
// 32-byte seed); nothing when the library fails.
struct KeyPair {
  Key secret;
  Key publicKey;
};
std::optional<KeyPair> GenerateKeyPair();
// A signature of `digest` with the secret key; nothing on failure.
std::optional<Signature> Sign(const Key& secret, const Digest& digest);

}  // namespace crypto

#endif  // CRYPTO_CRYPTO_H_
