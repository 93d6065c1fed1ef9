// vxpack keygen, sign and verify: Ed25519 signatures of a whole file, as a package or as
// an updater (crypto.h), kept beside it in "<file>.sig", as a device that holds a
// PackageKey requires.
#include <algorithm>
#include <array>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "crypto/crypto.h"
#include "tools/pack/pack.h"

namespace vxpack {
namespace {

// Exactly `N` bytes of `file`, or nothing (after a complaint naming the file).
template <std::size_t N>
std::optional<std::array<std::uint8_t, N>> ReadExactly(const fs::path& file,
                                                       std::string_view what) {
  std::ifstream in(file, std::ios::binary);
  std::array<std::uint8_t, N + 1> bytes{};
  in.read(reinterpret_cast<char*>(bytes.data()), bytes.size());
  if (!in && !in.eof()) {
    Complain(file.string(), "cannot read");
    return std::nullopt;
  }
  if (static_cast<std::size_t>(in.gcount()) != N) {
    Complain(file.string(),
             "not " + std::string(what) + " (must be " + std::to_string(N) + " bytes)");
    return std::nullopt;
  }
  std::array<std::uint8_t, N> exact;
  std::copy_n(bytes.begin(), N, exact.begin());
  return exact;
}

bool WriteBytes(const fs::path& file, std::span<const std::uint8_t> bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  out.flush();
  if (!out) Complain(file.string(), "cannot write");
  return static_cast<bool>(out);
}

fs::path SignatureFile(const fs::path& file) { return fs::path(file.string() + ".sig"); }

}  // namespace

std::optional<crypto::Digest> FileDigest(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  crypto::Sha512 sha;
  if (!in || !sha.ok()) return std::nullopt;
  std::vector<std::uint8_t> buffer(1u << 20);
  while (in) {
    in.read(reinterpret_cast<char*>(buffer.data()), static_cast<std::streamsize>(buffer.size()));
    sha.Update(std::span(buffer.data(), static_cast<std::size_t>(in.gcount())));
  }
  if (!in.eof()) return std::nullopt;
  return sha.Finish();
}

std::string SignatureNote(const fs::path& file) {
  const fs::path sig = SignatureFile(file);
  std::error_code error;
  if (!fs::exists(sig, error)) return "none";
  const bool whole =
      fs::is_regular_file(sig, error) && fs::file_size(sig, error) == crypto::kSignatureSize;
  return sig.string() + (whole ? " (64 bytes)" : " (NOT a signature: not 64 bytes)");
}

int RunKeygen(const std::string& name) {
  const fs::path secretFile = name + ".key";
  const fs::path publicFile = name + ".pub";
  std::error_code error;
  for (const fs::path& file : {secretFile, publicFile}) {
    if (fs::exists(file, error)) {
      Complain(file.string(), "exists; not overwritten");
      return kExitFailed;
    }
  }
  const std::optional<crypto::KeyPair> pair = crypto::GenerateKeyPair();
  if (!pair) {
    Complain(name, "no key pair could be made");
    return kExitFailed;
  }
  // The secret file is made empty and closed to others before the key goes in.
  if (!WriteBytes(secretFile, {})) return kExitFailed;
  fs::permissions(secretFile, fs::perms::owner_read | fs::perms::owner_write,
                  fs::perm_options::replace, error);
  if (error) {
    Complain(secretFile.string(), error.message());
    return kExitFailed;
  }
  if (!WriteBytes(secretFile, pair->secret) || !WriteBytes(publicFile, pair->publicKey)) {
    return kExitFailed;
  }
  return kExitOk;
}

crypto::Purpose PurposeOf(const fs::path& file) {
  // ASCII letters in any case, as the device's file system compares names.
  std::string name = file.filename().string();
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return name == "vxupdater.exe" ? crypto::Purpose::kUpdater : crypto::Purpose::kPackage;
}

int RunSign(const std::string& secretKey, const std::string& file, crypto::Purpose purpose) {
  const auto secret = ReadExactly<crypto::kKeySize>(secretKey, "a secret key");
  if (!secret) return kExitFailed;
  const std::optional<crypto::Digest> digest = FileDigest(file);
  if (!digest) {
    Complain(file, "cannot read");
    return kExitFailed;
  }
  const std::optional<crypto::Signature> signature = crypto::Sign(*secret, purpose, *digest);
  if (!signature) {
    Complain(secretKey, "cannot sign with this key");
    return kExitFailed;
  }
  return WriteBytes(SignatureFile(file), *signature) ? kExitOk : kExitFailed;
}

int RunVerify(const std::string& publicKey, const std::string& file, crypto::Purpose purpose) {
  const auto key = ReadExactly<crypto::kKeySize>(publicKey, "a public key");
  if (!key) return kExitFailed;
  const fs::path sigFile = SignatureFile(file);
  std::error_code error;
  if (!fs::is_regular_file(sigFile, error)) {
    Complain(sigFile.string(), "no signature");
    return kExitFailed;
  }
  const auto signature = ReadExactly<crypto::kSignatureSize>(sigFile, "a signature");
  if (!signature) return kExitFailed;
  const std::optional<crypto::Digest> digest = FileDigest(file);
  if (!digest) {
    Complain(file, "cannot read");
    return kExitFailed;
  }
  switch (crypto::Verify(*key, purpose, *digest, *signature)) {
    case crypto::Verdict::kValid:
      std::cout << file << ": ok\n";
      return kExitOk;
    case crypto::Verdict::kBadKey:
      Complain(publicKey, "not a usable public key");
      return kExitFailed;
    case crypto::Verdict::kWrongSignature:
      break;
  }
  Complain(file,
           purpose == crypto::Purpose::kPackage
               ? "wrong signature (not signed as a package with this key, or changed since)"
               : "wrong signature (not signed as an updater with this key, or changed since)");
  return kExitFailed;
}

}  // namespace vxpack
