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
  const bool inToken = IsTokenUri(secretKey);
  const std::string keyName = inToken ? Redacted(secretKey) : secretKey;
  std::string reason;
  std::optional<tools::RawKey> secret, publicKey;
  if (!inToken) {
    secret = tools::ReadSecretKey(secretKey, &reason);
    if (!secret) return tools::Fail(keyName, reason);
    publicKey = tools::PublicKeyOf(*secret);
    if (!publicKey) return tools::Fail(keyName, "not a usable secret key");
  }
  const std::optional<crypto::Digest> digest = FileDigest(file, &reason);
  if (!digest) return tools::Fail(file, reason);
  const fs::path sigFile = SignatureFile(file);
  std::vector<fs::path> inputs = {file};
  if (!inToken) inputs.push_back(secretKey);
  // Before the token is asked for its PIN.
  if (auto problem = tools::OutputProblem(sigFile, inputs)) return tools::Fail(sigFile.string(), *problem);
  std::optional<crypto::Signature> signature;
  if (inToken) {
    const auto made = SignWithToken(secretKey, crypto::SignedMessage(purpose, *digest), &reason);
    if (!made) return tools::Fail(keyName, reason);
    signature = made->signature;
    publicKey = made->publicKey;
    // A token that signed something else (another message, another scheme) is caught
    // here rather than on the devices.
    if (publicKey && crypto::Verify(*publicKey, purpose, *digest, *signature) != crypto::Verdict::kValid) {
      return tools::Fail(keyName, "the token's signature does not verify with its public key");
    }
  } else {
    signature = crypto::Sign(*secret, purpose, *digest);
    if (!signature) return tools::Fail(keyName, "cannot sign with this key");
  }
  // A signature that cannot be checked is not written: the devices could not be given
  // the key it needs either.
  if (!publicKey) return tools::Fail(keyName, "the token holds no public key for it; nothing to check the signature with");
  if (auto failure = tools::WriteWholeFile(sigFile, *signature, inputs)) return tools::Fail(sigFile.string(), *failure);
  std::cout << sigFile.string() << ": signed with key " << tools::Fingerprint(*publicKey) << "\n";
  return kExitOk;
}

// A public key file, or the public half of a key pair in a token.
std::optional<tools::RawKey> AnyPublicKey(const std::string& key, std::string* reason) {
  return IsTokenUri(key) ? TokenPublicKey(key, reason) : tools::ReadPublicKey(key, reason);
}

int RunPublicKey(const std::string& key, const std::optional<std::string>& output) {
  std::string reason;
  const bool inToken = IsTokenUri(key);
  std::vector<fs::path> inputs;
  if (!inToken) inputs.push_back(key);
  // Before the token is asked for its PIN.
  if (auto problem = output ? tools::OutputProblem(*output, inputs) : std::nullopt) {
    return tools::Fail(*output, *problem);
  }
  std::optional<tools::RawKey> publicKey;
  if (inToken) {
    publicKey = TokenPublicKey(key, &reason);
  } else if (const auto secret = tools::ReadSecretKey(key, &reason)) {
    publicKey = tools::PublicKeyOf(*secret);
    if (!publicKey) reason = "not a usable secret key";
  }
  if (!publicKey) return tools::Fail(inToken ? Redacted(key) : key, reason);
  const auto pem = tools::PublicKeyPem(*publicKey);
  if (!pem) return tools::Fail(key, "the key cannot be encoded");
  if (!output) {
    if (auto failure = tools::WriteStandardOutput(std::string(pem->begin(), pem->end()))) {
      return tools::Fail("standard output", *failure);
    }
    return kExitOk;
  }
  // Another key's public key is never replaced: it may be the only copy of it.
  std::error_code error;
  if (fs::exists(fs::symlink_status(*output, error))) {
    const auto held = tools::ReadPublicKey(*output, &reason);
    if (!held || *held != *publicKey) return tools::Fail(*output, "exists; not overwritten");
  }
  if (auto failure = tools::WriteWholeFile(*output, *pem, inputs)) {
    return tools::Fail(*output, *failure);
  }
  std::cout << *output << ": public key " << tools::Fingerprint(*publicKey) << "\n";
  return kExitOk;
}

int RunVerify(const std::string& publicKey, const std::string& file, crypto::Purpose purpose) {
  std::string reason;
  const std::optional<tools::RawKey> key = AnyPublicKey(publicKey, &reason);
  if (!key) return tools::Fail(IsTokenUri(publicKey) ? Redacted(publicKey) : publicKey, reason);
  const std::optional<crypto::Digest> digest = FileDigest(file, &reason);
  if (!digest) return tools::Fail(file, reason);
  if (auto problem = SignatureProblem(*key, purpose, *digest, SignatureFile(file))) {
    return tools::Fail(file, *problem);
  }
  std::cout << file << ": ok, signed with key " << tools::Fingerprint(*key) << "\n";
  return kExitOk;
}

}  // namespace vxpack
