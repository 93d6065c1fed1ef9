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

// Reads whole blocks from block `first` on into `blocks` (the last one may be the file's
// short last block) and checks each against its digest.  False when they cannot be read
// whole or one does not match.
bool ReadChecked(PackageRecord& record, std::uint32_t first, std::span<std::uint8_t> blocks) {
  const VerifiedReads& v = record.verified;
  const std::uint64_t start = std::uint64_t{first} * kVerifiedBlockSize;
  // The distance in two parts: a block may lie past 2 GiB when an image runs across it.
  auto high = static_cast<std::int32_t>(start >> 32);
  if (platform::SetFilePointer(record.file, static_cast<std::int32_t>(start & 0xFFFFFFFFu), &high,
                               platform::kFileBegin) == platform::kInvalidSetFilePointer) {
    return false;
  }
  std::size_t done = 0;
  while (done < blocks.size()) {
    std::uint32_t read = 0;
    if (!platform::ReadFile(record.file, blocks.subspan(done), &read) || read == 0) return false;
    done += read;
  }
  for (std::size_t offset = 0; offset < blocks.size(); offset += kVerifiedBlockSize) {
    const crypto::BlockDigest digest = crypto::Sha256::Of(
        blocks.subspan(offset, std::min<std::size_t>(kVerifiedBlockSize, blocks.size() - offset)));
    const std::size_t index = first + offset / kVerifiedBlockSize;
    if (std::memcmp(digest.data(), v.digests.get() + index * digest.size(), digest.size()) != 0) {
      return false;
    }
  }
  return true;
}

// Block `index` in the block buffer, read and checked unless it is there already.
bool LoadBlock(PackageRecord& record, std::uint32_t index) {
  VerifiedReads& v = record.verified;
  if (v.blockIndex == index) return true;
  v.blockIndex = kNoBlock;
  const std::uint64_t start = std::uint64_t{index} * kVerifiedBlockSize;
  const auto length =
      static_cast<std::size_t>(std::min<std::uint64_t>(kVerifiedBlockSize, v.size - start));
  if (!ReadChecked(record, index, std::span(v.block.get(), length))) return false;
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
  // Where the last whole block of the read ends: the file's end counts as a block's end.
  const std::uint64_t wholeEnd =
      end == v.size ? end : end / kVerifiedBlockSize * kVerifiedBlockSize;
  // Nothing is handed on from a read that fails, and the position stays.
  for (std::uint64_t at = v.position; at < end;) {
    const auto index = static_cast<std::uint32_t>(at / kVerifiedBlockSize);
    if (at % kVerifiedBlockSize == 0 && wholeEnd > at) {
      // Whole blocks go straight into the caller's buffer, in one read, and are checked
      // there: the bulk of an image costs no copy.
      if (!ReadChecked(record, index, buffer.subspan(done, wholeEnd - at))) return false;
      done += wholeEnd - at;
      at = wholeEnd;
      continue;
    }
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
