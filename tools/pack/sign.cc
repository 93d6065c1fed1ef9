// vxpack keygen, sign and verify: Ed25519 signatures of a whole file, as a package or as
// an updater (crypto.h), kept beside it in "<file>.sig", as a device that holds a
// PackageKey requires.  The keys live in PEM files (tools/common); the signatures and
// the signed message come from the crypto module.
#include <cerrno>
#include <iostream>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "tools/pack/pack.h"

namespace vxpack {

fs::path SignatureFile(const fs::path& file) { return fs::path(file.string() + ".sig"); }

std::optional<crypto::Digest> FileDigest(const fs::path& file, std::string* reason) {
  tools::InputFile in(file);
  crypto::Sha512 sha;
  if (!sha.ok()) {
    *reason = "no memory for the digest";
    return std::nullopt;
  }
  std::vector<std::uint8_t> buffer(1u << 20);
  for (;;) {
    const std::optional<std::size_t> got = in.Read(buffer);
    if (!got) {
      *reason = in.reason();
      return std::nullopt;
    }
    if (*got == 0) break;
    sha.Update(std::span(buffer.data(), *got));
  }
  std::optional<crypto::Digest> digest = sha.Finish();
  if (!digest) *reason = "the digest failed";
  return digest;
}

crypto::Purpose PurposeOf(const fs::path& file) {
  // ASCII letters in any case, as the device's file system compares names.
  std::string name = file.filename().string();
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return name == "vxupdater.exe" ? crypto::Purpose::kUpdater : crypto::Purpose::kPackage;
}

std::optional<std::string> SignatureProblem(const tools::RawKey& publicKey, crypto::Purpose purpose,
                                            const crypto::Digest& digest,
                                            const fs::path& signatureFile) {
  std::string reason;
  const auto bytes = tools::ReadWholeFile(signatureFile, crypto::kSignatureSize, &reason);
  if (bytes && bytes->size() != crypto::kSignatureSize) reason = std::to_string(bytes->size()) + " bytes";
  if (!bytes || bytes->size() != crypto::kSignatureSize) {
    return "no signature (" + signatureFile.string() + ": " +
           (reason.starts_with("larger") ? "more than 64 bytes" : reason) + ")";
  }
  crypto::Signature signature;
  std::copy(bytes->begin(), bytes->end(), signature.begin());
  switch (crypto::Verify(publicKey, purpose, digest, signature)) {
    case crypto::Verdict::kValid:
      return std::nullopt;
    case crypto::Verdict::kBadKey:
      return "not a usable public key";
    case crypto::Verdict::kWrongSignature:
      break;
  }
  return purpose == crypto::Purpose::kPackage
             ? "wrong signature (not signed as a package with this key, or changed since)"
             : "wrong signature (not signed as an updater with this key, or changed since)";
}

int RunKeygen(const std::string& name) {
  // "-o /tmp" would make /tmp.key and "-o keys/" hidden files: a name is asked for.
  std::error_code error;
  if (fs::path(name).filename().empty() || fs::is_directory(name, error)) {
    return tools::Fail(name, tools::SystemReason(EISDIR) + "; give the key pair's name, such as " +
                                 (fs::path(name) / "fleet").string());
  }
  const std::optional<crypto::KeyPair> pair = crypto::GenerateKeyPair();
  if (!pair) return tools::Fail(name, "no key pair could be made");
  const fs::path secretFile = name + ".key";
  const fs::path publicFile = name + ".pub";
  if (auto failure = tools::WriteKeyPair(secretFile, publicFile, pair->secret)) return tools::Fail("", *failure);
  std::cout << secretFile.string() << ": secret key (keep it off the devices)\n"
            << publicFile.string() << ": public key " << tools::Fingerprint(pair->publicKey) << "\n";
  return kExitOk;
}

int RunSign(const std::string& secretKey, const std::string& file, crypto::Purpose purpose) {
  std::string reason;
  const std::optional<tools::RawKey> secret = tools::ReadSecretKey(secretKey, &reason);
  if (!secret) return tools::Fail(secretKey, reason);
  const std::optional<tools::RawKey> publicKey = tools::PublicKeyOf(*secret);
  if (!publicKey) return tools::Fail(secretKey, "not a usable secret key");
  const std::optional<crypto::Digest> digest = FileDigest(file, &reason);
  if (!digest) return tools::Fail(file, reason);
  const std::optional<crypto::Signature> signature = crypto::Sign(*secret, purpose, *digest);
  if (!signature) return tools::Fail(secretKey, "cannot sign with this key");
  const fs::path sigFile = SignatureFile(file);
  const std::vector<fs::path> inputs = {secretKey, file};
  if (auto failure = tools::WriteWholeFile(sigFile, *signature, inputs)) return tools::Fail(sigFile.string(), *failure);
  std::cout << sigFile.string() << ": signed with key " << tools::Fingerprint(*publicKey) << "\n";
  return kExitOk;
}

int RunVerify(const std::string& publicKey, const std::string& file, crypto::Purpose purpose) {
  std::string reason;
  const std::optional<tools::RawKey> key = tools::ReadPublicKey(publicKey, &reason);
  if (!key) return tools::Fail(publicKey, reason);
  const std::optional<crypto::Digest> digest = FileDigest(file, &reason);
  if (!digest) return tools::Fail(file, reason);
  if (auto problem = SignatureProblem(*key, purpose, *digest, SignatureFile(file))) {
    return tools::Fail(file, *problem);
  }
  std::cout << file << ": ok, signed with key " << tools::Fingerprint(*key) << "\n";
  return kExitOk;
}

}  // namespace vxpack
