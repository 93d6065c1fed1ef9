// The update package VXUpdate.bin: its format, the open package, the integrity check,
// the engine library installation and the per-image operations (suitability, version
// comparison, writing).
//
// Layout: a 108-byte header at offset 0 (every field a little-endian 32-bit value but the
// magic "VXUD"), whose image directory locates the engine library and the flash images in
// the payload that starts at `headerLength`.  Main thread only.
#ifndef PACKAGE_PACKAGE_H_
#define PACKAGE_PACKAGE_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "platform/platform.h"

namespace package {

// ---------------------------------------------------------------------------
// Format

inline constexpr std::size_t kHeaderSize = 108;
inline constexpr std::array<std::uint8_t, 4> kMagic = {'V', 'X', 'U', 'D'};
// Header lengths from which the IPL variants 1 and 2, and the mobile entries, exist.
inline constexpr std::uint32_t kIplVariantsHeaderLength = 92;
inline constexpr std::uint32_t kMobileHeaderLength = 108;
// The bytes of an image the device library examines, and the first chunk written.
inline constexpr std::uint32_t kImageProbeSize = 512;
inline constexpr std::uint32_t kFirstChunkSize = 1024;

enum class ImageType : std::uint32_t {
  kMiniboot = 1,
  kSpl = 2,
  kBootloader = 3,
  kWinCE = 4,
  kIpl = 5,
  kXilinx = 6,
  kAtmel = 7,
  kAltera = 8,
  kMobileIpl = 9,
  kMobileDiskImage = 10,
};
inline constexpr std::uint32_t kImageTypeCount = 10;
// The display name of an image type code 1..10 ("Miniboot", ..., "Mobile Disk Image"),
// or an empty view for any other code.
std::u16string_view ImageTypeName(std::uint32_t type);

// A directory entry.  Absent when its offset or its length is 0.
struct ImageEntry {
  std::uint32_t offset = 0;
  std::uint32_t length = 0;
  bool Absent() const { return offset == 0 || length == 0; }
};

// The header, decoded field by field from its little-endian bytes.
struct PackageHeader {
  std::array<std::uint8_t, 4> magic{};
  std::uint32_t headerLength = 0;
  std::uint32_t payloadCrc = 0;
  std::uint32_t payloadSize = 0;
  std::uint32_t reserved = 0;  // offset 16, not used by the updater
  std::uint32_t extraLength = 0;
  std::uint32_t engineOffset = 0;
  std::uint32_t engineLength = 0;
  std::uint32_t engineCrc = 0;
  ImageEntry ipl0, spl, miniboot, bootloader, wince, ipl1, ipl2, mobileIpl, mobileDiskImage;
};
PackageHeader DecodeHeader(std::span<const std::uint8_t, kHeaderSize> bytes);
std::array<std::uint8_t, kHeaderSize> EncodeHeader(const PackageHeader& header);
// The payload-length rule: extraLength + engineLength + the lengths of the entries that
// the header length provides for, modulo 2^32.
std::uint32_t ExpectedPayloadSize(const PackageHeader& header);
// The directory entry of a type and variant (0..2 for IPL, 0 for the others), or nothing
// for a type without an entry, a variant the type does not have, or an entry that the
// header length does not provide for (IPL variants 1 and 2 below 92, mobile below 108).
std::optional<ImageEntry> EntryOf(const PackageHeader& header, std::uint32_t type,
                                  std::int32_t variant);

// ---------------------------------------------------------------------------
// Result codes

// PackageValidate.
enum class ValidateResult : std::int32_t {
  kValid = 0,
  kInvalidHandle = 1,
  kHeaderTooNew = 2,
  kWrongSize = 3,
  kNoMemory = 4,
  kReadError = 5,
  kWrongCrc = 6,
};
std::string_view ToString(ValidateResult result);

// The image operations (suitability, comparison, writing).  A device-library result
// passes through unchanged, so these are plain values, not an enumeration.
inline constexpr std::int32_t kImageOk = 0;
inline constexpr std::int32_t kImageNoMemory = 1;      // writer: no transfer buffer
inline constexpr std::int32_t kImageReadFailed = 3;    // positioning or read failed
inline constexpr std::int32_t kImageDiffers = 4;       // comparison: the image needs an update
inline constexpr std::int32_t kImageAbsent = 6;        // also: package image not described
inline constexpr std::int32_t kImageInvalid = 9;       // invalid handle, type without entry,
                                                       // flash image not described

// ---------------------------------------------------------------------------
// The open package

// Slots of selectedVariant, one per type with a directory entry.
inline constexpr std::size_t kSlotCount = 7;

// What a successful signature check leaves for every later read of the package: the
// SHA-256 of each 64 KiB block of the file as it was hashed, and room for one block.
// While `active`, a read hands on only bytes of whole blocks that were read again and
// matched; a block that does not makes the read fail where it happens.
inline constexpr std::uint32_t kVerifiedBlockSize = 64 * 1024;
struct VerifiedReads {
  bool active = false;
  std::uint32_t size = 0;   // the file's size when it was hashed; nothing past it is read
  platform::Block digests;  // 32 bytes per block, in file order
  platform::Block block;    // kVerifiedBlockSize bytes: the block last found good
  std::uint32_t blockIndex = UINT32_MAX;  // which one, or UINT32_MAX for none
  std::uint64_t position = 0;             // where the next read starts
};

struct PackageRecord {
  platform::Handle file = platform::kInvalidHandle;
  std::array<std::uint8_t, kHeaderSize> header{};
  // IPL, SPL, Miniboot, Bootloader, WinCE, Mobile IPL, Mobile Disk Image; -1 until the
  // suitability check accepted a variant.
  std::array<std::int32_t, kSlotCount> selectedVariant{};
  std::uint32_t written = 0;
  std::uint32_t mobile = 0;
  VerifiedReads verified;
};
using PackageHandle = PackageRecord*;
// The handle value with all bits set: no package.
PackageHandle InvalidPackageHandle();
// The selectedVariant slot of an image type, or nothing for a type without entry.
std::optional<std::size_t> SlotOf(std::uint32_t type);

// Progress callback: (total, done); done 0 starts an operation.
using ProgressCallback = void (*)(std::uint32_t total, std::uint32_t done);

// Opens the package at `path`: the file must open for reading, yield 108 bytes and start
// with "VXUD".  Returns the handle, or InvalidPackageHandle() with nothing left open.
PackageHandle PackageOpen(std::u16string_view path);
// Header length and payload-length rule; with checkCrc also the CRC-32 of the payload
// through zlib.dll, reporting progress.  See ValidateResult.
ValidateResult PackageValidate(PackageHandle handle, std::uint32_t checkCrc,
                               ProgressCallback progress);
void PackageClose(PackageHandle handle);
std::uint32_t PackageWasWritten(PackageHandle handle);
std::uint32_t PackageIsMobile(PackageHandle handle);
std::uint32_t PackageHeaderLength(PackageHandle handle);

// Extracts the engine library, checks its CRC-32 when a provider is found, writes
// "\VXUpdate.dll" and binds it.  1 when written and bound, else 0.
std::int32_t PackageInstallEngine(PackageHandle handle);
// Releases whatever library is bound.
void PackageUnloadEngine();

// Suitability of one image type (tries the IPL variants); the whole package in the update
// order (also sets the mobile flag).
std::int32_t PackageCheckImage(PackageHandle handle, std::uint32_t type);
std::int32_t PackageCheckSuitability(PackageHandle handle);

// Compares the image in flash with the package's: 0 equal (and, with checkCrc, the
// result of VXUpdate_CheckCRC), 4 differs, 3/6/9 on failure.
std::int32_t PackageCompareImage(PackageHandle handle, std::uint32_t type,
                                 std::uint32_t checkCrc);
// Streams one image to the device library.  0 written (sets `written`), 1, 3, 6, 9 or a
// device-library result.
std::int32_t PackageWriteImage(PackageHandle handle, std::uint32_t type,
                               ProgressCallback progress);

// ---------------------------------------------------------------------------
// Signatures

// The public keys a device holds to accept only signed packages and updaters: the
// registry value PackageKey as it was found, of any type and size.  One to four keys of
// 32 bytes each, so that a fleet can move from an old key to a new one.
inline constexpr std::size_t kDeviceKeySize = 32;
inline constexpr std::size_t kMaxDeviceKeys = 4;
struct DeviceKey {
  // Signatures are required: the value exists, or the registry failed while it was looked
  // for (`unreadable`: then no key is usable).  Only "not found" leaves both false.
  bool present = false;
  bool unreadable = false;
  std::uint32_t type = 0;  // its registry type; only REG_BINARY holds keys
  std::uint32_t size = 0;  // its size in bytes, also when larger than `bytes`
  std::array<std::uint8_t, kDeviceKeySize * kMaxDeviceKeys> bytes{};
};
// True when `key` was read and is a REG_BINARY of 32, 64, 96 or 128 bytes of which every
// 32 are a usable public key (crypto::IsUsableKey).  One unusable key spoils the value.
bool IsUsableDeviceKey(const DeviceKey& key);

// A file is signed by "<its path>.sig" beside it: the 64-byte Ed25519 signature of the
// message of crypto.h, which names the file a package or an updater and holds the
// SHA-512 digest of the whole file.  It passes when it verifies under any of the keys.
enum class SignatureResult : std::int32_t {
  kValid = 0,
  kNoSignature = 1,     // the .sig file is missing, unreadable or not exactly 64 bytes
  kWrongSignature = 2,  // it does not verify, or the file could not be hashed whole
  kBadDeviceKey = 3,    // the device key is unusable (see IsUsableDeviceKey)
  kNoMemory = 4,        // no memory to hash the file
};
std::string_view ToString(SignatureResult result);

// Checks the signature of the open package, whose path is `path`, against `key` (which
// must be present), in one pass over the file through a transfer buffer.  The pass also
// compares the header copy with the bytes hashed and, on success, makes every later read
// of the package a verified read (VerifiedReads).
SignatureResult PackageCheckSignature(PackageHandle handle, std::u16string_view path,
                                      const DeviceKey& key);
// Checks the signature of an updater executable already read whole into `bytes`; `path`
// is where it was read from, and its signature is read from beside it.
SignatureResult CheckUpdaterSignature(std::span<const std::uint8_t> bytes, std::u16string_view path,
                                      const DeviceKey& key);

// One pass over `file` from its start to the end it had when the pass began (`size`).
struct HashedPackage {
  std::array<std::uint8_t, 64> digest{};         // the SHA-512 of the whole file
  std::array<std::uint8_t, kHeaderSize> head{};  // its first bytes, as hashed
  VerifiedReads verified;                        // the block digests, not yet active
};
// kValid with *hashed filled; kNoMemory; kWrongSignature when a read fails or the file
// turns out shorter or longer than `size` (it changed while it was hashed).  Leaves the
// file position anywhere.
SignatureResult HashPackageFile(platform::Handle file, std::uint32_t size, HashedPackage* hashed);

// A transfer buffer: the largest of 1 MiB, 512 KiB, ..., 64 KiB that can be allocated.
struct TransferBuffer {
  platform::Block block;
  std::uint32_t size = 0;
};
std::optional<TransferBuffer> AllocateTransferBuffer();

}  // namespace package

#endif  // PACKAGE_PACKAGE_H_
