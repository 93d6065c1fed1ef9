// Key files in the standard formats, through OpenSSL's libcrypto: the secret key as PEM
// PKCS#8 ("PRIVATE KEY"), the public key as PEM SubjectPublicKeyInfo ("PUBLIC KEY"), both
// Ed25519.  A file says what it is, so the wrong kind is refused by name.  Signing and
// checking signatures stay with the crypto module; only the files are read here.
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <memory>
#include <system_error>

#include "tools/common/common.h"

namespace tools {
namespace {

constexpr std::size_t kKeyFileLimit = 64 * 1024;
constexpr std::string_view kMakeOne =
    "make a key pair with 'vxpack keygen -o NAME' (NAME.key and NAME.pub), or with "
    "'openssl genpkey -algorithm ed25519 -out NAME.key' and "
    "'openssl pkey -in NAME.key -pubout -out NAME.pub'";

struct Free {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
  void operator()(BIO* bio) const { BIO_free(bio); }
};
using Key = std::unique_ptr<EVP_PKEY, Free>;
using Bio = std::unique_ptr<BIO, Free>;

// Never asks for a passphrase: an encrypted key is refused instead of a prompt.
int NoPassphrase(char*, int, int, void*) { return -1; }

// The label of the first PEM block ("PRIVATE KEY"), or nothing when the text has none.
std::optional<std::string> PemLabel(const std::vector<std::uint8_t>& bytes) {
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  constexpr std::string_view kBegin = "-----BEGIN ";
  const std::size_t begin = text.find(kBegin);
  if (begin == std::string_view::npos) return std::nullopt;
  const std::size_t end = text.find("-----", begin + kBegin.size());
  if (end == std::string_view::npos || end - begin > 80) return std::nullopt;
  return std::string(text.substr(begin + kBegin.size(), end - begin - kBegin.size()));
}

enum class Kind { kPublic, kSecret };

// The Ed25519 key in a key file of `kind`, or nothing with the reason.
Key ReadKey(const fs::path& file, Kind kind, std::string* reason) {
  const std::optional<std::vector<std::uint8_t>> bytes = ReadWholeFile(file, kKeyFileLimit, reason);
  if (!bytes) return nullptr;
  const std::string_view wanted = kind == Kind::kPublic ? "PUBLIC KEY" : "PRIVATE KEY";
  const std::string need =
      kind == Kind::kPublic ? "the public key (PUBLIC KEY, NAME.pub of 'vxpack keygen') is needed"
                            : "the secret key (PRIVATE KEY, NAME.key of 'vxpack keygen') is needed";
  const std::optional<std::string> label = PemLabel(*bytes);
  if (!label) {
    *reason =
        (bytes->size() == 32 ? "32 raw bytes, not a PEM key file; " : "not a PEM key file; ") +
        std::string(kMakeOne);
    return nullptr;
  }
  if (*label == "ENCRYPTED PRIVATE KEY" && kind == Kind::kSecret) {
    *reason = "an encrypted secret key; 'openssl pkey -in " + file.string() +
              " -out NAME.key' writes it without a passphrase";
    return nullptr;
  }
  if (*label != wanted) {
    const bool secret = label->ends_with("PRIVATE KEY");
    const bool other = label->ends_with(wanted);  // "RSA PRIVATE KEY", "OPENSSH PRIVATE KEY"
    *reason = other                            ? "a key of another format (" + *label + "); " + need
              : secret                         ? "a secret key (" + *label + "), but " + need
              : label->ends_with("PUBLIC KEY") ? "a public key (" + *label + "), but " + need
                                               : "a " + *label + ", not a key; " + need;
    if (secret && kind == Kind::kPublic) *reason += "; keep the secret key off the devices";
    return nullptr;
  }
  const Bio bio(BIO_new_mem_buf(bytes->data(), static_cast<int>(bytes->size())));
  Key key(bio == nullptr ? nullptr
          : kind == Kind::kPublic
              ? PEM_read_bio_PUBKEY(bio.get(), nullptr, NoPassphrase, nullptr)
              : PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassphrase, nullptr));
  ERR_clear_error();
  if (key == nullptr) {
    *reason = "a damaged PEM key (" + *label + ")";
    return nullptr;
  }
  if (EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519) {
    const char* type = EVP_PKEY_get0_type_name(key.get());
    *reason =
        "an " + std::string(type != nullptr ? type : "unknown") + " key; an Ed25519 key is needed";
    return nullptr;
  }
  return key;
}

std::optional<RawKey> Raw(const EVP_PKEY* key, Kind kind) {
  RawKey raw;
  std::size_t size = raw.size();
  const int ok = kind == Kind::kPublic ? EVP_PKEY_get_raw_public_key(key, raw.data(), &size)
                                       : EVP_PKEY_get_raw_private_key(key, raw.data(), &size);
  ERR_clear_error();
  if (ok != 1 || size != raw.size()) return std::nullopt;
  return raw;
}

Key FromSeed(const RawKey& seed) {
  Key key(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), seed.size()));
  ERR_clear_error();
  return key;
}

// The PEM text `write` puts into a memory BIO.
template <typename Write>
std::optional<std::vector<std::uint8_t>> Pem(Write write) {
  const Bio bio(BIO_new(BIO_s_mem()));
  if (bio == nullptr || write(bio.get()) != 1) return std::nullopt;
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  if (size <= 0) return std::nullopt;
  return std::vector<std::uint8_t>(data, data + size);
}

std::optional<RawKey> ReadRawKey(const fs::path& file, Kind kind, std::string* reason) {
  const Key key = ReadKey(file, kind, reason);
  if (key == nullptr) return std::nullopt;
  auto raw = Raw(key.get(), kind);
  if (!raw) *reason = "the key cannot be read from the file";
  return raw;
}

}  // namespace

std::optional<RawKey> ReadPublicKey(const fs::path& file, std::string* reason) {
  return ReadRawKey(file, Kind::kPublic, reason);
}

std::optional<RawKey> ReadSecretKey(const fs::path& file, std::string* reason) {
  return ReadRawKey(file, Kind::kSecret, reason);
}

std::optional<RawKey> PublicKeyOf(const RawKey& seed) {
  const Key key = FromSeed(seed);
  return key == nullptr ? std::nullopt : Raw(key.get(), Kind::kPublic);
}

std::optional<std::string> WriteKeyPair(const fs::path& secretFile, const fs::path& publicFile,
                                        const RawKey& seed) {
  const Key key = FromSeed(seed);
  const auto secretPem = key == nullptr ? std::nullopt : Pem([&](BIO* bio) {
    return PEM_write_bio_PKCS8PrivateKey(bio, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
  });
  const auto publicPem = key == nullptr
                             ? std::nullopt
                             : Pem([&](BIO* bio) { return PEM_write_bio_PUBKEY(bio, key.get()); });
  ERR_clear_error();
  if (!secretPem || !publicPem) return secretFile.string() + ": the key cannot be encoded";
  std::error_code error;
  for (const fs::path& file : {secretFile, publicFile}) {
    if (fs::exists(fs::symlink_status(file, error)))
      return file.string() + ": exists; not overwritten";
  }
  OutputFile secret(secretFile, {}, OutputFile::Access::kOwnerOnly);
  OutputFile pub(publicFile, {});
  if (!secret.Write(*secretPem)) return secretFile.string() + ": " + secret.reason();
  if (!pub.Write(*publicPem)) return publicFile.string() + ": " + pub.reason();
  if (!secret.Commit()) return secretFile.string() + ": " + secret.reason();
  if (!pub.Commit()) {
    fs::remove(secretFile, error);
    return publicFile.string() + ": " + pub.reason();
  }
  return std::nullopt;
}

std::optional<std::vector<std::uint8_t>> PublicKeyPem(const RawKey& publicKey) {
  const Key key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, publicKey.data(),
                                            publicKey.size()));
  const auto pem =
      key == nullptr ? std::nullopt : Pem([&](BIO* bio) { return PEM_write_bio_PUBKEY(bio, key.get()); });
  ERR_clear_error();
  return pem;
}

std::string Hex(std::span<const std::uint8_t> bytes) {
  std::string text;
  for (const std::uint8_t b : bytes) {
    text += "0123456789abcdef"[b >> 4];
    text += "0123456789abcdef"[b & 15];
  }
  return text;
}

std::string Fingerprint(const RawKey& publicKey) { return Hex(Sha256::Of(publicKey)); }

}  // namespace tools
