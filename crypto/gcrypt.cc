// The crypto module on libgcrypt.
#include <gcrypt.h>

#include <algorithm>
#include <cstring>

#include "crypto/crypto.h"

namespace crypto {
namespace {

// The library must be initialised once before its first use.  No secret of the updater
// lives in its memory, so secure memory (and its warnings) stays off.
void Initialise() {
  static const bool initialised = [] {
    gcry_check_version(nullptr);
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    return true;
  }();
  (void)initialised;
}

// Owns an S-expression.
struct Sexp {
  gcry_sexp_t value = nullptr;
  ~Sexp() { gcry_sexp_release(value); }
};

// The 32 bytes of token `name` ("q", "d", "r", "s") of `sexp`, or nothing.
std::optional<Key> Token(gcry_sexp_t sexp, const char* name) {
  Sexp token{gcry_sexp_find_token(sexp, name, 0)};
  std::size_t length = 0;
  const char* data = token.value != nullptr ? gcry_sexp_nth_data(token.value, 1, &length) : nullptr;
  if (data == nullptr || length != kKeySize) return std::nullopt;
  Key bytes;
  std::memcpy(bytes.data(), data, kKeySize);
  return bytes;
}

gcry_error_t CheckSignature(const Key& key, const Digest& digest, const Signature& signature) {
  Sexp publicKey, data, value;
  gcry_error_t error = gcry_sexp_build(&publicKey.value, nullptr,
                                       "(public-key (ecc (curve Ed25519) (flags eddsa) (q %b)))",
                                       static_cast<int>(key.size()), key.data());
  if (error == 0) {
    error =
        gcry_sexp_build(&data.value, nullptr, "(data (flags eddsa) (hash-algo sha512) (value %b))",
                        static_cast<int>(digest.size()), digest.data());
  }
  if (error == 0) {
    error = gcry_sexp_build(&value.value, nullptr, "(sig-val (eddsa (r %b) (s %b)))", 32,
                            signature.data(), 32, signature.data() + 32);
  }
  return error != 0 ? error : gcry_pk_verify(value.value, data.value, publicKey.value);
}

}  // namespace

Sha512::Sha512() : state_(nullptr) {
  Initialise();
  gcry_md_hd_t state = nullptr;
  if (gcry_md_open(&state, GCRY_MD_SHA512, 0) == 0) state_ = state;
}

Sha512::~Sha512() { gcry_md_close(static_cast<gcry_md_hd_t>(state_)); }

void Sha512::Update(std::span<const std::uint8_t> bytes) {
  if (state_ != nullptr)
    gcry_md_write(static_cast<gcry_md_hd_t>(state_), bytes.data(), bytes.size());
}

std::optional<Digest> Sha512::Finish() {
  if (state_ == nullptr) return std::nullopt;
  const unsigned char* result = gcry_md_read(static_cast<gcry_md_hd_t>(state_), GCRY_MD_SHA512);
  if (result == nullptr) return std::nullopt;
  Digest digest;
  std::memcpy(digest.data(), result, digest.size());
  return digest;
}

bool IsUsableKey(const Key& key) {
  Initialise();
  // libgcrypt 1.10 aborts the process on a key whose y coordinate fits in fewer machine
  // words than the field (a run of zero bytes at its top), instead of refusing it.  No
  // key that keygen makes looks like that, so such keys are refused here, before the
  // library sees them.  The top byte's highest bit is the sign of x, not part of y.
  if (key[31] == 0x80 || key[31] == 0) {
    if (std::all_of(key.begin() + 28, key.begin() + 31, [](std::uint8_t b) { return b == 0; })) {
      return false;
    }
  }
  // A key that is no point of the curve shows itself on any check: the library refuses
  // it as a broken key instead of calling the signature bad.
  const gcry_error_t error = CheckSignature(key, Digest{}, Signature{});
  return error == 0 || gcry_err_code(error) == GPG_ERR_BAD_SIGNATURE;
}

Verdict Verify(const Key& key, const Digest& digest, const Signature& signature) {
  if (!IsUsableKey(key)) return Verdict::kBadKey;
  return CheckSignature(key, digest, signature) == 0 ? Verdict::kValid : Verdict::kWrongSignature;
}

std::optional<KeyPair> GenerateKeyPair() {
  Initialise();
  Sexp parameters;
  if (gcry_sexp_build(&parameters.value, nullptr, "(genkey (ecc (curve Ed25519) (flags eddsa)))") !=
      0) {
    return std::nullopt;
  }
  // A fresh key fails IsUsableKey with a chance of one in 2^31; another one is drawn then.
  for (int attempt = 0; attempt < 8; ++attempt) {
    Sexp pair;
    if (gcry_pk_genkey(&pair.value, parameters.value) != 0) return std::nullopt;
    const std::optional<Key> secret = Token(pair.value, "d");
    const std::optional<Key> publicKey = Token(pair.value, "q");
    if (!secret || !publicKey) return std::nullopt;
    if (IsUsableKey(*publicKey)) return KeyPair{*secret, *publicKey};
  }
  return std::nullopt;
}

std::optional<Signature> Sign(const Key& secret, const Digest& digest) {
  Initialise();
  Sexp secretKey, data, signature;
  if (gcry_sexp_build(&secretKey.value, nullptr,
                      "(private-key (ecc (curve Ed25519) (flags eddsa) (d %b)))",
                      static_cast<int>(secret.size()), secret.data()) != 0 ||
      gcry_sexp_build(&data.value, nullptr, "(data (flags eddsa) (hash-algo sha512) (value %b))",
                      static_cast<int>(digest.size()), digest.data()) != 0 ||
      gcry_pk_sign(&signature.value, data.value, secretKey.value) != 0) {
    return std::nullopt;
  }
  const std::optional<Key> r = Token(signature.value, "r");
  const std::optional<Key> s = Token(signature.value, "s");
  if (!r || !s) return std::nullopt;
  Signature bytes;
  std::copy(r->begin(), r->end(), bytes.begin());
  std::copy(s->begin(), s->end(), bytes.begin() + 32);
  return bytes;
}

}  // namespace crypto
