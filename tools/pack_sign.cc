// vxpack keygen, sign and verify: Ed25519 signatures of the SHA-512 digest of a whole
// file, kept beside it in "<file>.sig", as a device that holds a PackageKey requires.
#include <algorithm>
#include <array>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "crypto/crypto.h"
#include "tools/pack_tool.h"

namespace vxpack {
namespace {

constexpr std::string_view kKeygenUsage =
    "Usage: vxpack keygen -o NAME\n"
    "Makes an Ed25519 key pair: NAME.key (the secret key, readable by its owner only) and\n"
    "NAME.pub (the public key for 'vxdevice init --key'), 32 raw bytes each.  Existing\n"
    "files are not overwritten.\n";
constexpr std::string_view kSignUsage =
    "Usage: vxpack sign --key NAME.key FILE\n"
    "Writes FILE.sig: the Ed25519 signature of the SHA-512 digest of FILE (64 bytes).\n";
constexpr std::string_view kVerifyUsage =
    "Usage: vxpack verify --pub NAME.pub FILE\n"
    "Checks FILE.sig as a device holding NAME.pub does.  Prints 'FILE: ok' and exits 0,\n"
    "or names the reason on standard error and exits 1.\n";

// The value of option `name` and the one positional argument (none when !needsFile).
// Nothing, after a complaint, on a usage mistake; `help` set when help was asked for.
struct Parsed {
  std::optional<std::string> value;
  std::optional<std::string> file;
  bool help = false;
};
std::optional<Parsed> Parse(std::span<const std::string_view> args, std::string_view name,
                            std::string_view command, bool needsFile = true) {
  Parsed parsed;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const SplitOption option = Split(args[i]);
    if (args[i] == "-h" || args[i] == "--help") {
      parsed.help = true;
    } else if (option.name == name) {
      if (!option.value && i + 1 == args.size()) break;
      parsed.value = std::string(option.value ? *option.value : args[++i]);
    } else if (!args[i].empty() && args[i].front() == '-') {
      Complain(args[i], "unknown option (try 'vxpack " + std::string(command) + " --help')");
      return std::nullopt;
    } else if (!parsed.file && needsFile) {
      parsed.file = std::string(args[i]);
    } else {
      Complain(args[i], "one file at a time");
      return std::nullopt;
    }
  }
  if (!parsed.help && (!parsed.value || (needsFile && !parsed.file))) {
    Complain(command, "needs " + std::string(name) + (needsFile ? " and FILE" : "") +
                          " (try 'vxpack " + std::string(command) + " --help')");
    return std::nullopt;
  }
  return parsed;
}

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

int RunKeygen(std::span<const std::string_view> args) {
  const std::optional<Parsed> parsed = Parse(args, "-o", "keygen", false);
  if (!parsed) return kExitUsage;
  if (parsed->help) {
    std::cout << kKeygenUsage;
    return kExitOk;
  }
  const std::string name = *parsed->value;
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

int RunSign(std::span<const std::string_view> args) {
  const std::optional<Parsed> parsed = Parse(args, "--key", "sign");
  if (!parsed) return kExitUsage;
  if (parsed->help) {
    std::cout << kSignUsage;
    return kExitOk;
  }
  const auto secret = ReadExactly<crypto::kKeySize>(*parsed->value, "a secret key");
  if (!secret) return kExitFailed;
  const std::optional<crypto::Digest> digest = FileDigest(*parsed->file);
  if (!digest) {
    Complain(*parsed->file, "cannot read");
    return kExitFailed;
  }
  const std::optional<crypto::Signature> signature = crypto::Sign(*secret, *digest);
  if (!signature) {
    Complain(*parsed->value, "cannot sign with this key");
    return kExitFailed;
  }
  return WriteBytes(SignatureFile(*parsed->file), *signature) ? kExitOk : kExitFailed;
}

int RunVerify(std::span<const std::string_view> args) {
  const std::optional<Parsed> parsed = Parse(args, "--pub", "verify");
  if (!parsed) return kExitUsage;
  if (parsed->help) {
    std::cout << kVerifyUsage;
    return kExitOk;
  }
  const auto key = ReadExactly<crypto::kKeySize>(*parsed->value, "a public key");
  if (!key) return kExitFailed;
  const fs::path sigFile = SignatureFile(*parsed->file);
  std::error_code error;
  if (!fs::is_regular_file(sigFile, error)) {
    Complain(sigFile.string(), "no signature");
    return kExitFailed;
  }
  const auto signature = ReadExactly<crypto::kSignatureSize>(sigFile, "a signature");
  if (!signature) return kExitFailed;
  const std::optional<crypto::Digest> digest = FileDigest(*parsed->file);
  if (!digest) {
    Complain(*parsed->file, "cannot read");
    return kExitFailed;
  }
  switch (crypto::Verify(*key, *digest, *signature)) {
    case crypto::Verdict::kValid:
      std::cout << *parsed->file << ": ok\n";
      return kExitOk;
    case crypto::Verdict::kBadKey:
      Complain(*parsed->value, "not a usable public key");
      return kExitFailed;
    case crypto::Verdict::kWrongSignature:
      break;
  }
  Complain(*parsed->file, "wrong signature (not signed with this key, or changed since)");
  return kExitFailed;
}

}  // namespace vxpack
