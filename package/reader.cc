// The reads of the package file, and the verified reads that a successful signature
// check turns on: each block is read whole, its SHA-256 compared with the one taken
// while the file was hashed, and only then are its bytes handed on.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>

#include "crypto/crypto.h"
#include "package/internal.h"
#include "package/package.h"
#include "platform/platform.h"

namespace package {
namespace {

static_assert(crypto::kBlockDigestSize == 32);
constexpr std::uint32_t kNoBlock = UINT32_MAX;

// Reads block `index` whole into the block buffer and keeps it there if it matches its
// digest.  False when it cannot be read whole or does not match.
bool LoadBlock(PackageRecord& record, std::uint32_t index) {
  VerifiedReads& v = record.verified;
  if (v.blockIndex == index) return true;
  v.blockIndex = kNoBlock;
  const std::uint64_t start = std::uint64_t{index} * kVerifiedBlockSize;
  const auto length =
      static_cast<std::uint32_t>(std::min<std::uint64_t>(kVerifiedBlockSize, v.size - start));
  // The distance in two parts: a block may lie past 2 GiB when an image runs across it.
  auto high = static_cast<std::int32_t>(start >> 32);
  if (platform::SetFilePointer(record.file, static_cast<std::int32_t>(start & 0xFFFFFFFFu), &high,
                               platform::kFileBegin) == platform::kInvalidSetFilePointer) {
    return false;
  }
  const std::span<std::uint8_t> block(v.block.get(), length);
  std::uint32_t done = 0;
  while (done < length) {
    std::uint32_t read = 0;
    if (!platform::ReadFile(record.file, block.subspan(done), &read) || read == 0) return false;
    done += read;
  }
  const crypto::BlockDigest digest = crypto::Sha256(block);
  if (std::memcmp(digest.data(), v.digests.get() + std::size_t{index} * digest.size(),
                  digest.size()) != 0) {
    return false;
  }
  v.blockIndex = index;
  return true;
}

}  // namespace

bool SeekTo(PackageRecord& record, std::uint32_t offset) {
  // The file pointer takes a signed 32-bit distance: offsets of 2^31 and more come out
  // negative and fail, as they do on the device; the verified reads keep that rule.
  if (record.verified.active) {
    if (offset > static_cast<std::uint32_t>(INT32_MAX)) return false;
    record.verified.position = offset;
    return true;
  }
  return platform::SetFilePointer(record.file, static_cast<std::int32_t>(offset), nullptr,
                                  platform::kFileBegin) != platform::kInvalidSetFilePointer;
}

bool ReadPackage(PackageRecord& record, std::span<std::uint8_t> buffer, std::uint32_t* read) {
  if (!record.verified.active) return platform::ReadFile(record.file, buffer, read);
  *read = 0;
  VerifiedReads& v = record.verified;
  const std::uint64_t end = std::min<std::uint64_t>(v.position + buffer.size(), v.size);
  std::size_t done = 0;
  for (std::uint64_t at = v.position; at < end;) {
    const auto index = static_cast<std::uint32_t>(at / kVerifiedBlockSize);
    // Nothing is handed on from a read that fails, and the position stays.
    if (!LoadBlock(record, index)) return false;
    const std::uint64_t offset = at - std::uint64_t{index} * kVerifiedBlockSize;
    const std::uint64_t count = std::min<std::uint64_t>(kVerifiedBlockSize - offset, end - at);
    std::memcpy(buffer.data() + done, v.block.get() + offset, count);
    done += count;
    at += count;
  }
  v.position += done;
  *read = static_cast<std::uint32_t>(done);
  return true;
}

std::uint32_t PackageFileSize(const PackageRecord& record, std::uint32_t* high) {
  if (!record.verified.active) return platform::GetFileSize(record.file, high);
  *high = 0;
  return record.verified.size;
}

}  // namespace package
