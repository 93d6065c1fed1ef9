// Signature checks of the package and of an updater executable: the SHA-512 of the whole
// file and the Ed25519 signature in "<file>.sig", under any of the device's keys.  The
// package is hashed in one pass that also takes the digest of every block for the
// verified reads that follow (reader.cc).
#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "crypto/crypto.h"
#include "package/internal.h"
#include "package/package.h"
#include "platform/platform.h"

namespace package {
namespace {

static_assert(crypto::kKeySize == kDeviceKeySize);
static_assert(crypto::kDigestSize == std::tuple_size_v<decltype(HashedPackage::digest)>);
static_assert((64 * 1024) % kVerifiedBlockSize == 0, "every transfer buffer holds whole blocks");

constexpr std::array<std::string_view, 5> kSignatureResultNames = {
    "valid", "no signature", "wrong signature", "bad device key", "no memory"};
static_assert(kSignatureResultNames.size() ==
              static_cast<std::size_t>(SignatureResult::kNoMemory) + 1);

crypto::Key KeyAt(const DeviceKey& key, std::size_t index) {
  crypto::Key one;
  std::copy_n(key.bytes.begin() + index * kDeviceKeySize, kDeviceKeySize, one.begin());
  return one;
}

// The signature beside `path`.  It must hold exactly 64 bytes: one byte more is read to
// tell a longer file, and a folder, which opens but cannot be read, has none.
std::optional<crypto::Signature> ReadSignature(std::u16string_view path) {
  std::u16string sigPath(path);
  sigPath += u".sig";
  const platform::ScopedFile file(sigPath);
  if (file.handle() == platform::kInvalidHandle) return std::nullopt;
  std::array<std::uint8_t, crypto::kSignatureSize + 1> bytes{};
  std::uint32_t total = 0;
  while (total < bytes.size()) {
    std::uint32_t read = 0;
    if (!platform::ReadFile(file.handle(), std::span(bytes).subspan(total), &read)) {
      return std::nullopt;
    }
    if (read == 0) break;
    total += read;
  }
  if (total != crypto::kSignatureSize) return std::nullopt;
  crypto::Signature signature;
  std::copy_n(bytes.begin(), signature.size(), signature.begin());
  return signature;
}

// The digest against the signature, under each key in turn.
SignatureResult Judge(const DeviceKey& key, crypto::Purpose purpose, const crypto::Digest& digest,
                      const crypto::Signature& signature) {
  for (std::size_t k = 0; k < key.size / kDeviceKeySize; ++k) {
    if (crypto::Verify(KeyAt(key, k), purpose, digest, signature) == crypto::Verdict::kValid) {
      return SignatureResult::kValid;
    }
  }
  return SignatureResult::kWrongSignature;
}

// Fills `chunk` from the file; a read of nothing before that means the file has shrunk.
bool ReadWhole(platform::Handle file, std::span<std::uint8_t> chunk) {
  std::uint32_t done = 0;
  while (done < chunk.size()) {
    std::uint32_t read = 0;
    if (!platform::ReadFile(file, chunk.subspan(done), &read) || read == 0) return false;
    done += read;
  }
  return true;
}

}  // namespace

std::string_view ToString(SignatureResult result) {
  const auto index = static_cast<std::size_t>(result);
  if (index >= kSignatureResultNames.size()) return "unknown";
  return kSignatureResultNames[index];
}

bool IsUsableDeviceKey(const DeviceKey& key) {
  if (!key.present || key.unreadable || key.type != platform::kRegBinary) return false;
  if (key.size == 0 || key.size > key.bytes.size() || key.size % kDeviceKeySize != 0) return false;
  for (std::size_t k = 0; k < key.size / kDeviceKeySize; ++k) {
    if (!crypto::IsUsableKey(KeyAt(key, k))) return false;
  }
  return true;
}

SignatureResult HashPackageFile(platform::Handle file, std::uint32_t size, HashedPackage* hashed) {
  const std::uint32_t blocks = size / kVerifiedBlockSize + (size % kVerifiedBlockSize != 0);
  VerifiedReads& v = hashed->verified;
  std::optional<TransferBuffer> buffer = AllocateTransferBuffer();
  v.digests = platform::AllocateBlock(std::size_t{blocks} * crypto::kBlockDigestSize);
  v.block = platform::AllocateBlock(kVerifiedBlockSize);
  crypto::Sha512 sha;
  if (!buffer || (blocks != 0 && !v.digests) || !v.block || !sha.ok()) {
    return SignatureResult::kNoMemory;
  }
  v.size = size;
  if (platform::SetFilePointer(file, 0, nullptr, platform::kFileBegin) ==
      platform::kInvalidSetFilePointer) {
    return SignatureResult::kWrongSignature;
  }
  const std::span<std::uint8_t> whole(buffer->block.get(), buffer->size);
  std::uint32_t at = 0;
  while (at < size) {
    // Whole chunks, so that every block but the last is whole and starts a chunk's slice.
    const std::span<std::uint8_t> chunk = whole.first(std::min(buffer->size, size - at));
    if (!ReadWhole(file, chunk)) return SignatureResult::kWrongSignature;
    sha.Update(chunk);
    if (at == 0) {
      std::copy_n(chunk.begin(), std::min<std::size_t>(chunk.size(), kHeaderSize),
                  hashed->head.begin());
    }
    for (std::size_t offset = 0; offset < chunk.size(); offset += kVerifiedBlockSize) {
      const crypto::BlockDigest digest = crypto::Sha256::Of(
          chunk.subspan(offset, std::min<std::size_t>(kVerifiedBlockSize, chunk.size() - offset)));
      std::copy(digest.begin(), digest.end(),
                v.digests.get() + (at + offset) / kVerifiedBlockSize * digest.size());
    }
    at += static_cast<std::uint32_t>(chunk.size());
  }
  // Bytes past the size the hashing began with mean the file has grown: what was hashed
  // is not the whole file.
  std::uint32_t extra = 0;
  if (!platform::ReadFile(file, whole.first(1), &extra) || extra != 0) {
    return SignatureResult::kWrongSignature;
  }
  const std::optional<crypto::Digest> digest = sha.Finish();
  if (!digest) return SignatureResult::kNoMemory;
  hashed->digest = *digest;
  return SignatureResult::kValid;
}

// The key first, so that a device without a usable key says so whatever the file; then
// the signature, so that an unsigned file is refused before it is read.
SignatureResult PackageCheckSignature(PackageHandle handle, std::u16string_view path,
                                      const DeviceKey& key) {
  if (!IsUsableDeviceKey(key)) return SignatureResult::kBadDeviceKey;
  const std::optional<crypto::Signature> signature = ReadSignature(path);
  if (!signature) return SignatureResult::kNoSignature;
  if (!IsValid(handle)) return SignatureResult::kWrongSignature;
  std::uint32_t high = 0;
  const std::uint32_t size = platform::GetFileSize(handle->file, &high);
  if (size == platform::kInvalidFileSize || high != 0) return SignatureResult::kWrongSignature;
  HashedPackage hashed;
  const SignatureResult result = HashPackageFile(handle->file, size, &hashed);
  if (result != SignatureResult::kValid) return result;
  // The header copy was read when the package was opened, before the hashing: the
  // offsets it gives are trusted only when it is what was hashed.
  if (size < kHeaderSize || hashed.head != handle->header) return SignatureResult::kWrongSignature;
  const crypto::Digest digest = hashed.digest;
  if (Judge(key, crypto::Purpose::kPackage, digest, *signature) != SignatureResult::kValid) {
    return SignatureResult::kWrongSignature;
  }
  handle->verified = std::move(hashed.verified);
  handle->verified.active = true;
  return SignatureResult::kValid;
}

SignatureResult CheckUpdaterSignature(std::span<const std::uint8_t> bytes, std::u16string_view path,
                                      const DeviceKey& key) {
  if (!IsUsableDeviceKey(key)) return SignatureResult::kBadDeviceKey;
  const std::optional<crypto::Signature> signature = ReadSignature(path);
  if (!signature) return SignatureResult::kNoSignature;
  crypto::Sha512 sha;
  sha.Update(bytes);
  const std::optional<crypto::Digest> digest = sha.Finish();
  if (!digest) return SignatureResult::kNoMemory;
  return Judge(key, crypto::Purpose::kUpdater, *digest, *signature);
}

}  // namespace package
