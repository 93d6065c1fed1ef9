// Signatures of packages and updaters: SHA-512, SHA-256 and Ed25519 (pure, RFC 8032)
// through libgcrypt.
//
// A file is signed through its 64-byte SHA-512 digest, so that a file of any size is
// hashed in pieces.  The message that is signed names what the file is, so that the
// signature of a package never passes for that of an updater and the other way round:
//
//   "VXU-PACKAGE-SHA512\0" or "VXU-UPDATER-SHA512\0" (19 bytes), then the digest (64 bytes).
//
// This module is the one place that builds that message.  Every function may be called
// from any thread.
#ifndef CRYPTO_CRYPTO_H_
#define CRYPTO_CRYPTO_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace crypto {

inline constexpr std::size_t kDigestSize = 64;
inline constexpr std::size_t kBlockDigestSize = 32;
inline constexpr std::size_t kKeySize = 32;  // public and secret key alike
inline constexpr std::size_t kSignatureSize = 64;
using Digest = std::array<std::uint8_t, kDigestSize>;
using BlockDigest = std::array<std::uint8_t, kBlockDigestSize>;
using Key = std::array<std::uint8_t, kKeySize>;
using Signature = std::array<std::uint8_t, kSignatureSize>;

// What a signed file is.
enum class Purpose { kPackage, kUpdater };

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

// The same for SHA-256 (block digests of packages, fingerprints and file digests of the
// host tools).
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  bool ok() const { return state_ != nullptr; }
  void Update(std::span<const std::uint8_t> bytes);
  std::optional<BlockDigest> Finish();
  // The SHA-256 of `bytes` in one call; it needs no memory of its own.
  static BlockDigest Of(std::span<const std::uint8_t> bytes);

 private:
  void* state_;
};

enum class Verdict { kValid, kWrongSignature, kBadKey };
// True when `key` is a public key that signatures can be checked against: the canonical
// encoding of a point of the curve that is not of small order (so that no signature
// verifies under it for a share of all messages), and one that the library handles
// without ending the process.  Any 32 bytes may be asked about.
bool IsUsableKey(const Key& key);
// Checks `signature` of a file of this purpose whose digest is `digest` against the
// public `key`.  kBadKey for an unusable key, whatever the signature.
Verdict Verify(const Key& key, Purpose purpose, const Digest& digest, const Signature& signature);

// Host tools only.  A fresh key pair whose public key IsUsableKey (the secret key is the
// 32-byte seed); nothing when the library fails.
struct KeyPair {
  Key secret;
  Key publicKey;
};
std::optional<KeyPair> GenerateKeyPair();
// The signature of a file of this purpose whose digest is `digest`; nothing on failure.
std::optional<Signature> Sign(const Key& secret, Purpose purpose, const Digest& digest);
// The message that Sign signs and Verify checks, for a signer that holds the key
// elsewhere (a token signs these bytes as they are, with pure Ed25519).
inline constexpr std::size_t kMessageSize = 19 + kDigestSize;
using Message = std::array<std::uint8_t, kMessageSize>;
Message SignedMessage(Purpose purpose, const Digest& digest);

}  // namespace crypto

#endif  // CRYPTO_CRYPTO_H_
