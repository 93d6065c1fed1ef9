// Signature checks of the package and of an updater executable: the SHA-512 of the whole
// file, read through the platform layer, and the Ed25519 signature in "<file>.sig".
#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "crypto/crypto.h"
#include "package/package.h"
#include "platform/platform.h"

namespace package {
namespace {

static_assert(crypto::kKeySize == kDeviceKeySize);

constexpr std::array<std::string_view, 4> kSignatureResultNames = {
    "valid", "no signature", "wrong signature", "bad device key"};
static_assert(kSignatureResultNames.size() ==
              static_cast<std::size_t>(SignatureResult::kBadDeviceKey) + 1);

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

// The key first, so that a device without a usable key says so whatever the file; then
// the signature, so that an unsigned file is refused before it is read.
SignatureResult CheckSignature(platform::Handle file, std::u16string_view path,
                               const DeviceKey& key) {
  if (key.type != platform::kRegBinary || key.size != kDeviceKeySize ||
      !crypto::IsUsableKey(key.bytes)) {
    return SignatureResult::kBadDeviceKey;
  }
  const std::optional<crypto::Signature> signature = ReadSignature(path);
  if (!signature) return SignatureResult::kNoSignature;
  if (file == platform::kInvalidHandle) return SignatureResult::kWrongSignature;
  std::uint32_t high = 0;
  const std::uint32_t size = platform::GetFileSize(file, &high);
  if (size == platform::kInvalidFileSize || high != 0) return SignatureResult::kWrongSignature;
  const std::optional<crypto::Digest> digest = HashWholeFile(file, size);
  if (!digest) return SignatureResult::kWrongSignature;
  return crypto::Verify(key.bytes, *digest, *signature) == crypto::Verdict::kValid
             ? SignatureResult::kValid
             : SignatureResult::kWrongSignature;
}

}  // namespace

std::string_view ToString(SignatureResult result) {
  const auto index = static_cast<std::size_t>(result);
  if (index >= kSignatureResultNames.size()) return "unknown";
  return kSignatureResultNames[index];
}

std::optional<std::array<std::uint8_t, 64>> HashWholeFile(platform::Handle file,
                                                          std::uint32_t size) {
  std::optional<TransferBuffer> buffer = AllocateTransferBuffer();
  if (!buffer) return std::nullopt;
  if (platform::SetFilePointer(file, 0, nullptr, platform::kFileBegin) ==
      platform::kInvalidSetFilePointer) {
    return std::nullopt;
  }
  crypto::Sha512 sha;
  if (!sha.ok()) return std::nullopt;
  const std::span<std::uint8_t> whole(buffer->block.get(), buffer->size);
  std::uint32_t remaining = size;
  while (remaining != 0) {
    std::uint32_t read = 0;
    // A read of nothing before the end means the file has shrunk.
    if (!platform::ReadFile(file, whole.first(std::min(buffer->size, remaining)), &read) ||
        read == 0) {
      return std::nullopt;
    }
    sha.Update(whole.first(read));
    remaining -= read;
  }
  // Bytes past the size the hashing began with mean the file has grown: what was hashed
  // is not the whole file.
  std::uint32_t extra = 0;
  if (!platform::ReadFile(file, whole.first(1), &extra) || extra != 0) return std::nullopt;
  return sha.Finish();
}

SignatureResult PackageCheckSignature(PackageHandle handle, std::u16string_view path,
                                      const DeviceKey& key) {
  if (handle == nullptr || handle == InvalidPackageHandle()) {
    return CheckSignature(platform::kInvalidHandle, path, key);
  }
  return CheckSignature(handle->file, path, key);
}

SignatureResult CheckFileSignature(std::u16string_view path, const DeviceKey& key) {
  const platform::ScopedFile file(path);
  return CheckSignature(file.handle(), path, key);
}

}  // namespace package
