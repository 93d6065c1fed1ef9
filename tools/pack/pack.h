// vxpack: builds update packages, checks what goes into them, reports on them and signs
// them.  Shared pieces of its commands.
//
// The tool runs on the development host and reads and writes host files through
// tools/common; the format itself comes from package/package.h, the images' headers
// from the simulated device's image format.
#ifndef TOOLS_PACK_PACK_H_
#define TOOLS_PACK_PACK_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/crypto.h"
#include "sim/image_format.h"
#include "tools/common/common.h"

namespace vxpack {

namespace fs = std::filesystem;
using tools::kExitFailed;
using tools::kExitOk;
using tools::kExitUsage;

// What `vxpack build` was given: each image option by name, every --ipl in order, and
// the header length as text.
struct BuildArguments {
  std::optional<std::string> output, engine, extra, headerLength;
  std::optional<std::string> miniboot, spl, bootloader, wince, mobileIpl, mobileDisk;
  std::vector<std::string> ipls;
  bool force = false;  // pack what the checks refuse, with a warning per finding
  const CLI::App* command = nullptr;
};

// The commands; each answers the exit status.
int RunBuild(const BuildArguments& args);
int RunInfo(const std::string& file, const std::optional<std::string>& publicKey, bool json);
int RunKeygen(const std::string& name);
int RunSign(const std::string& secretKey, const std::string& file, crypto::Purpose purpose);
int RunPublicKey(const std::string& key, const std::optional<std::string>& output);
int RunVerify(const std::string& publicKey, const std::string& file, crypto::Purpose purpose);

// ---- Checks of what goes into a package (check.cc) ----

// One image as it lies in a package or goes into one.
struct PackedImage {
  std::string subject;             // how messages name it: "--wince WinCE.img", "wince"
  std::uint32_t slotType = 0;      // the image type its directory slot holds
  std::vector<std::uint8_t> head;  // its first bytes (the 512-byte header, or fewer)
  std::uint64_t length = 0;        // its length in the package
  std::optional<std::uint32_t> bodyCrc;  // the CRC-32 of its bytes from 512 on, when read
};
// A finding about one item: its subject and why it does not fit.
struct Finding {
  std::string subject;
  std::string reason;
};
// Each image's header against its slot, its length and its body, and every image built
// for the same hardware as the first.  No finding: the images fit the package.
std::vector<Finding> CheckImages(std::span<const PackedImage> images);
// What the engine library is ("ELF shared library, x86-64", "PE DLL, ARM"), judged by
// its first bytes: an ELF shared library of this host's machine, for the simulated
// device, or a PE DLL, for a Windows device.  Nothing, with the reason, for anything else.
std::optional<std::string> EngineKind(std::span<const std::uint8_t> head, std::string* reason);
// How many first bytes the checks look at.
inline constexpr std::size_t kHeadSize = 4096;

// ---- Signatures (sign.cc) ----

// The SHA-512 digest of a whole file, or nothing with the reason.
std::optional<crypto::Digest> FileDigest(const fs::path& file, std::string* reason);
// "<file>.sig".
fs::path SignatureFile(const fs::path& file);
// What a file is signed as when no option says: an updater when its name is
// VXUpdater.exe in any case, a package otherwise.
crypto::Purpose PurposeOf(const fs::path& file);
// Whether the signature in `signatureFile` is one by `publicKey` of a file of this
// purpose whose digest is `digest`: nothing when it is, else the reason ("no signature
// (...)", "wrong signature (...)").
std::optional<std::string> SignatureProblem(const tools::RawKey& publicKey, crypto::Purpose purpose,
                                            const crypto::Digest& digest,
                                            const fs::path& signatureFile);

// ---- Keys in PKCS#11 tokens (token.cc) ----

// Whether a --key names a key in a token, by an RFC 7512 URI ("pkcs11:..."), rather
// than a key file.
bool IsTokenUri(std::string_view key);
// The URI with the value of its pin-value hidden, for messages.
std::string Redacted(std::string_view uri);
// The PIN comes from the URI (pin-value, or pin-source, a file), else from this variable
// of the environment, else from the terminal.
inline constexpr const char* kPinVariable = "VXPACK_PIN";
// The public key of the Ed25519 key pair that `uri` names in a token, usable as
// crypto::IsUsableKey says; nothing, with the reason ("no such token", "no such key",
// "wrong PIN", "not an Ed25519 key", "cannot load module M: ...").
std::optional<tools::RawKey> TokenPublicKey(const std::string& uri, std::string* reason);
// The token's Ed25519 signature of `message`, and the public key beside the secret key
// when the token holds one; nothing with the reason as above.  A wrong PIN is never
// tried again.
struct TokenSignature {
  crypto::Signature signature;
  std::optional<tools::RawKey> publicKey;
};
std::optional<TokenSignature> SignWithToken(const std::string& uri, const crypto::Message& message,
                                            std::string* reason);

// ---- Helpers (vxpack.cc) ----

// CRC-32 of zlib: `crc` continued over `bytes`.
std::uint32_t Crc32(std::uint32_t crc, std::span<const std::uint8_t> bytes);
// The CRC-32 of A followed by B, from the CRC-32 of each and the length of B.
std::uint32_t Crc32Combine(std::uint32_t crcA, std::uint32_t crcB, std::uint64_t lengthB);
// "0x1234abcd".
std::string Hex32(std::uint32_t value);

}  // namespace vxpack

#endif  // TOOLS_PACK_PACK_H_
