// What a run cannot pin down: the header bytes, the transfer buffer and the chunks read
// through it, the choice among the IPL variants and the masking rule of the comparison.
// The package sources are linked against the scripted device library below.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "binding/binding.h"
#include "crypto/crypto.h"
#include "package/internal.h"
#include "package/package.h"
#include "tests/support/testing.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Record = std::array<std::uint8_t, 100>;

// The scripted library: zlib.dll binds and computes, the engine answers from these fields.
struct Script {
  std::u16string bound;
  std::set<std::uint8_t> accepted;  // CheckImageType accepts images starting with these
  std::vector<std::uint8_t> judged;  // the first byte of each image judged
  Record flash{}, package{};
  std::vector<std::uint32_t> chunks;  // the byte counts of every write call
  std::uint32_t remaining = 0;
} g;

void Copy(std::uint8_t* record, const Record& from) {
  std::copy(from.begin() + 4, from.end(), record + 4);
}

}  // namespace

namespace binding {
void ReleaseLibrary() { g.bound.clear(); }
bool SwitchLibrary(std::u16string_view library) {
  g.bound = library;
  return true;
}
std::uint8_t LibrarySupports(std::u16string_view) { return 0; }
std::uint32_t crc32(std::uint32_t crc, const std::uint8_t* data, std::uint32_t length) {
  return g.bound == kZlibLibrary ? static_cast<std::uint32_t>(::crc32(crc, data, length)) : 0;
}
std::int32_t SystemBootFromDOC() { return 1; }
std::int32_t VXUpdate_CheckCRC(std::uint32_t) { return 0; }
std::int32_t VXUpdate_CheckImageType(std::uint32_t, const std::uint8_t* data, std::uint32_t) {
  g.judged.push_back(data[0]);
  return g.accepted.count(data[0]) != 0 ? 0 : 7;
}
std::int32_t GetImageInfo(std::uint8_t* record, std::uint32_t) {
  if (record[0] != 100) return 0;
  Copy(record, g.flash);
  return 1;
}
std::int32_t GetImageInfoFromBuffer(std::uint8_t* record, const std::uint8_t*, std::uint32_t) {
  if (record[0] != 100) return 0;
  Copy(record, g.package);
  return 1;
}
std::int32_t VXUpdate_WriteFirst(std::uint32_t, const std::uint8_t* data, std::uint32_t count,
                                 std::uint32_t* remaining) {
  g.chunks = {count};
  g.judged = {data[0]};
  *remaining = g.remaining - std::min(count, g.remaining);
  return 0;
}
std::int32_t VXUpdate_WriteNext(const std::uint8_t*, std::uint32_t count, std::uint32_t* remaining) {
  g.chunks.push_back(count);
  *remaining -= std::min(count, *remaining);
  return 0;
}
std::int32_t VXUpdate_WriteLast() { return 0; }
}  // namespace binding

namespace {

constexpr std::uint32_t kIpl = 5;
constexpr std::uint32_t kMiB = 1u << 20;

// A device (with VXU_FAULTS as given) holding "\VXUpdate.bin": the header, then 0x5A bytes
// up to `fileBytes`, but each marked entry starts with its own index.
struct Device {
  testing_support::TempDir root;
  testing_support::TempDir scratch;
  testing_support::ScopedEnv env;
  package::PackageHandle handle = package::InvalidPackageHandle();

  explicit Device(std::string faults = "")
      : env({{"VXU_DEVICE_ROOT", root.path().string()},
             {"VXU_TRACE", (scratch / "trace").string()},
             {"VXU_FAULTS", faults.empty() ? std::nullopt : std::optional(faults)}}) {}
  ~Device() { package::PackageClose(handle); }

  void Open(package::PackageHeader header, std::uint32_t fileBytes,
            const std::vector<package::ImageEntry>& marked = {}) {
    Bytes file(fileBytes, 0x5A);
    for (std::size_t i = 0; i < marked.size(); ++i) {
      if (marked[i].length != 0) file[marked[i].offset] = static_cast<std::uint8_t>(i);
    }
    header.magic = package::kMagic;
    header.payloadCrc = static_cast<std::uint32_t>(
        ::crc32(0, file.data() + header.headerLength, header.payloadSize));
    const auto head = package::EncodeHeader(header);
    std::copy(head.begin(), head.end(), file.begin());
    testing_support::WriteBytes(root / "VXUpdate.bin", file);
    handle = package::PackageOpen(u"\\VXUpdate.bin");
    ASSERT_NE(handle, package::InvalidPackageHandle());
  }
};

std::vector<std::uint32_t> progress;
void Progress(std::uint32_t, std::uint32_t done) { progress.push_back(done); }

TEST(PackageHeader, FieldsAreLittleEndianAtTheirOffsets) {
  std::array<std::uint8_t, package::kHeaderSize> bytes{};
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i);
  const package::PackageHeader h = package::DecodeHeader(bytes);
  const std::vector<std::uint32_t> fields = {
      h.headerLength, h.payloadCrc, h.payloadSize, h.reserved, h.extraLength,
      h.engineOffset, h.engineLength, h.engineCrc, h.ipl0.offset, h.ipl0.length,
      h.spl.offset, h.spl.length, h.miniboot.offset, h.miniboot.length,
      h.bootloader.offset, h.bootloader.length, h.wince.offset, h.wince.length,
      h.ipl1.offset, h.ipl1.length, h.ipl2.offset, h.ipl2.length,
      h.mobileIpl.offset, h.mobileIpl.length, h.mobileDiskImage.offset, h.mobileDiskImage.length};
  for (std::uint32_t k = 0; k < fields.size(); ++k) {
    const std::uint32_t at = 4 + 4 * k;
    EXPECT_EQ(fields[k], at | (at + 1) << 8 | (at + 2) << 16 | (at + 3) << 24) << "offset " << at;
  }
  EXPECT_EQ(package::EncodeHeader(h), bytes);
}

TEST(PackageHeader, PayloadRuleAndEntriesFollowTheHeaderLength) {
  package::PackageHeader h;
  h.extraLength = 1;
  h.engineLength = 2;
  package::ImageEntry* entries[] = {&h.ipl0, &h.spl, &h.miniboot, &h.bootloader, &h.wince,
                                    &h.ipl1, &h.ipl2, &h.mobileIpl, &h.mobileDiskImage};
  for (std::uint32_t i = 0; i < std::size(entries); ++i) *entries[i] = {1000 + i, 4u << i};
  struct Case {
    std::uint32_t headerLength, extra, payload;
    bool variants, mobile;
  };
  const Case cases[] = {
      {0, 1, 127, false, false},     {91, 1, 127, false, false},
      {92, 1, 511, true, false},     {107, 1, 511, true, false},
      {108, 1, 2047, true, true},    {108, 0xFFFFFFFF, 2045, true, true},  // mod 2^32
      {4000, 1, 2047, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.headerLength);
    h.headerLength = c.headerLength;
    h.extraLength = c.extra;
    EXPECT_EQ(package::ExpectedPayloadSize(h), c.payload);
    EXPECT_EQ(package::EntryOf(h, kIpl, 0)->offset, 1000u);
    const auto offset = [&](std::uint32_t type, std::int32_t variant) {
      return package::EntryOf(h, type, variant).value_or(package::ImageEntry{}).offset;
    };
    EXPECT_EQ(offset(kIpl, 1) + offset(kIpl, 2), c.variants ? 1005u + 1006u : 0u);
    EXPECT_EQ(offset(9, 0) + offset(10, 0), c.mobile ? 1007u + 1008u : 0u);
    EXPECT_EQ(package::EntryOf(h, 2, 0)->offset, 1001u);
    EXPECT_FALSE(package::EntryOf(h, kIpl, 3) || package::EntryOf(h, 2, 1) ||
                 package::EntryOf(h, 6, 0));
  }
  // Each type with an entry keeps its chosen variant in a slot of its own.
  std::set<std::size_t> slots;
  for (std::uint32_t type = 0; type <= package::kImageTypeCount + 1; ++type) {
    const auto slot = package::SlotOf(type);
    ASSERT_EQ(slot.has_value(), package::EntryOf(h, type, 0).has_value()) << type;
    if (slot && *slot < package::kSlotCount) slots.insert(*slot);
  }
  EXPECT_EQ(slots.size(), package::kSlotCount);
}

TEST(PackageFile, OpenNeedsAWholeHeaderAndLeavesNoFileOpen) {
  struct Case {
    std::size_t size;
    char first;
    bool opens;
  };
  // Size 1: no file at all.
  for (const Case& c : {Case{108, 'V', true}, {4096, 'V', true}, {107, 'V', false},
                        {108, 'W', false}, {0, 'V', false}, {1, 'V', false}}) {
    SCOPED_TRACE(c.size);
    Device device;
    Bytes file(c.size, 0);
    if (c.size >= 4) std::copy(package::kMagic.begin(), package::kMagic.end(), file.begin());
    if (c.size >= 4) file[0] = static_cast<std::uint8_t>(c.first);
    if (c.size != 1) testing_support::WriteBytes(device.root / "VXUpdate.bin", file);
    device.handle = package::PackageOpen(u"\\VXUpdate.bin");
    EXPECT_EQ(device.handle != package::InvalidPackageHandle(), c.opens);
    package::PackageClose(device.handle);
    device.handle = package::InvalidPackageHandle();
    const auto trace = testing_support::ReadTrace(device.scratch / "trace");
    std::size_t opened = 0;
    for (const auto& open : testing_support::EventsOf(trace, "create_file")) {
      opened += open["ok"] == "true" ? 1 : 0;
    }
    EXPECT_EQ(opened, testing_support::EventsOf(trace, "close_file").size());
  }
}

TEST(PackageFile, IntegrityCheckReadsThroughTheLargestBufferThatCanBeHad) {
  struct Case {
    const char* faults;
    std::uint32_t payload, missing;
    std::vector<std::uint32_t> progress;
    package::ValidateResult result;
  };
  using R = package::ValidateResult;
  const std::uint32_t k64 = 1u << 16;
  const Case cases[] = {
      {"", 5 * kMiB / 2, 0, {0, kMiB, 2 * kMiB, 5 * kMiB / 2}, R::kValid},
      {"alloc:1048575", kMiB + 10, 0, {0, kMiB / 2, kMiB, kMiB + 10}, R::kValid},
      {"alloc:65536", 3 * k64 - 1, 0, {0, k64, 2 * k64, 3 * k64 - 1}, R::kValid},
      {"alloc:65535", 100, 0, {}, R::kNoMemory},
      {"", 0, 0, {}, R::kValid},
      {"", 2 * kMiB, 5, {0, kMiB, 2 * kMiB - 5, 2 * kMiB - 5}, R::kReadError},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.faults) + " " + std::to_string(c.payload));
    Device device(c.faults);
    package::PackageHeader header;
    header.headerLength = 108;
    header.extraLength = c.payload;
    header.payloadSize = c.payload;
    device.Open(header, 108 + c.payload);
    if (c.missing != 0) {
      std::filesystem::resize_file(device.root / "VXUpdate.bin", 108 + c.payload - c.missing);
    }
    progress.clear();
    EXPECT_EQ(package::PackageValidate(device.handle, 1, Progress), c.result);
    EXPECT_EQ(progress, c.progress);
    EXPECT_TRUE(g.bound.empty());
  }
}

TEST(PackageImages, WritingStreamsTheFirstKiBThenBufferSizedChunks) {
  struct Case {
    const char* faults;
    std::uint32_t length;
    std::vector<std::uint32_t> chunks;
  };
  const Case cases[] = {
      {"", 5 * kMiB / 2, {1024, kMiB, kMiB, kMiB / 2 - 1024}},
      {"alloc:200000", 300000, {1024, 131072, 131072, 300000 - 1024 - 2 * 131072}},
      {"", 1000, {1000}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    Device device(c.faults);
    package::PackageHeader header;
    header.headerLength = 108;
    header.bootloader = {108, c.length};
    header.payloadSize = c.length;
    device.Open(header, 108 + c.length);
    g.remaining = c.length;
    EXPECT_EQ(package::PackageWriteImage(device.handle, 3, nullptr), 0);
    EXPECT_EQ(g.chunks, c.chunks);
    EXPECT_EQ(package::PackageWasWritten(device.handle), 1u);
  }
  Device none("alloc:65535");
  package::PackageHeader header;
  header.headerLength = 108;
  header.bootloader = {108, 10};
  none.Open(header, 118);
  EXPECT_EQ(package::PackageWriteImage(none.handle, 3, nullptr), package::kImageNoMemory);
}

TEST(PackageImages, SuitabilityChoosesTheIplVariantThatWritingUses) {
  struct Case {
    std::uint32_t headerLength;
    std::set<std::uint8_t> accepted;
    bool variant1Absent;
    std::int32_t result;
    std::vector<std::uint8_t> judged;
    std::int32_t written;  // the write result, or the variant whose bytes were written
  };
  const Case cases[] = {
      {108, {0, 2}, false, 0, {0}, 0},
      {108, {2}, false, 0, {0, 1, 2}, 2},
      {92, {1}, false, 0, {0, 1}, 1},
      {108, {2}, true, 0, {0, 2}, 2},
      {108, {}, false, 7, {0, 1, 2}, package::kImageAbsent},
      {108, {1}, true, 7, {0, 2}, package::kImageAbsent},
      {91, {1, 2}, false, 7, {0}, package::kImageAbsent},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.headerLength << " " << c.judged.size());
    Device device;
    package::PackageHeader header;
    header.headerLength = c.headerLength;
    header.ipl0 = {200, 600};
    header.ipl1 = {800, c.variant1Absent ? 0u : 600u};
    header.ipl2 = {1400, 600};
    device.Open(header, 2000, {header.ipl0, header.ipl1, header.ipl2});
    g.accepted = c.accepted;
    g.judged.clear();
    EXPECT_EQ(package::PackageCheckImage(device.handle, kIpl), c.result);
    EXPECT_EQ(g.judged, c.judged);
    g.remaining = 600;
    const std::int32_t written = package::PackageWriteImage(device.handle, kIpl, nullptr);
    EXPECT_EQ(written == 0 ? g.judged.at(0) : written, c.written);
  }
  // Other types have one variant, whatever the header length.
  Device device;
  package::PackageHeader header;
  header.headerLength = 108;
  header.spl = {200, 600};
  device.Open(header, 800, {header.spl});
  g.accepted.clear();
  EXPECT_EQ(package::PackageCheckImage(device.handle, 2), 7);
  // Only a WinCE entry with neither offset nor length makes a mobile package.
  for (const auto& [wince, mobile] : {std::pair{package::ImageEntry{0, 0}, 1u},
                                      {package::ImageEntry{0, 600}, 0u},
                                      {package::ImageEntry{200, 0}, 0u}}) {
    SCOPED_TRACE(wince.offset + wince.length);
    Device other;
    header.wince = wince;
    other.Open(header, 800);
    package::PackageCheckSuitability(other.handle);
    EXPECT_EQ(package::PackageIsMobile(other.handle), mobile);
  }
}

TEST(PackageImages, ComparisonMasksItsRangesOnlyWhenBytes4To7Differ) {
  struct Case {
    std::size_t key, other;  // 0: that byte stays equal
    std::int32_t result;
  };
  const Case cases[] = {
      {0, 0, 0},   {0, 30, 4},  {0, 52, 4},   {4, 0, 0},   {7, 20, 0},  {5, 27, 0},
      {6, 52, 0},  {4, 91, 0},  {4, 19, 4},  {4, 28, 4},  {4, 51, 4},  {4, 92, 4},
      {4, 8, 4},   {4, 99, 4},
  };
  Device device;
  package::PackageHeader header;
  header.headerLength = 108;
  header.bootloader = {108, 600};
  device.Open(header, 708);
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.key << " " << c.other);
    for (std::size_t i = 4; i < 100; ++i) g.flash[i] = g.package[i] = static_cast<std::uint8_t>(i);
    if (c.key != 0) ++g.package[c.key];
    if (c.other != 0) ++g.package[c.other];
    EXPECT_EQ(package::PackageCompareImage(device.handle, 3, 0), c.result);
  }
}

// The size the hashing began with against the file as it turns out: a file that grew or
// shrank meanwhile is not hashed whole, and its digest must not be trusted.
TEST(PackageFile, HashOfAFileThatChangedSizeWhileHashedIsRefused) {
  Device device;
  Bytes bytes(2 * kMiB + 5);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
  testing_support::WriteBytes(device.root / "f", bytes);
  crypto::Sha512 sha;
  sha.Update(bytes);
  const auto expected = sha.Finish();
  for (const std::int64_t delta : {0, -1, 1}) {
    SCOPED_TRACE(delta);
    const platform::Handle file = platform::CreateFile(
        u"\\f", platform::kGenericRead, 0, platform::kOpenExisting, platform::kFileAttributeNormal);
    package::HashedPackage hashed;
    const auto result =
        package::HashPackageFile(file, static_cast<std::uint32_t>(bytes.size() + delta), &hashed);
    platform::CloseHandle(file);
    EXPECT_EQ(result == package::SignatureResult::kValid, delta == 0);
    EXPECT_EQ(hashed.digest, delta == 0 ? *expected : crypto::Digest{});
  }
}

// After a successful check every read works on the file as it was hashed: a block that
// changed fails each read that touches it, and only those, and bytes past the end it
// had do not exist.  A header copy that is not what was hashed fails the check itself.
TEST(PackageSignature, ReadsAfterTheCheckHandOnOnlyTheBytesThatWereHashed) {
  const auto pair = crypto::GenerateKeyPair();
  ASSERT_TRUE(pair);
  package::DeviceKey key{.present = true, .type = platform::kRegBinary, .size = 32};
  std::copy(pair->publicKey.begin(), pair->publicKey.end(), key.bytes.begin());
  constexpr std::uint32_t kBlock = package::kVerifiedBlockSize;
  Bytes file(3 * kBlock + 100);  // four blocks, the last one short
  for (std::size_t i = 0; i < file.size(); ++i) file[i] = static_cast<std::uint8_t>(i * 13 + i / 7);
  std::copy(package::kMagic.begin(), package::kMagic.end(), file.begin());
  crypto::Sha512 sha;
  sha.Update(file);
  const auto signature = crypto::Sign(pair->secret, crypto::Purpose::kPackage, *sha.Finish());
  Device device;
  testing_support::WriteBytes(device.root / "VXUpdate.bin.sig",
                              Bytes(signature->begin(), signature->end()));
  // Opened with another header, hashed with the signed one.
  for (const std::uint8_t flip : {1, 0}) {
    Bytes opened = file;
    opened[20] ^= flip;
    testing_support::WriteBytes(device.root / "VXUpdate.bin", opened);
    package::PackageClose(device.handle);
    device.handle = package::PackageOpen(u"\\VXUpdate.bin");
    testing_support::WriteBytes(device.root / "VXUpdate.bin", file);
    EXPECT_EQ(package::PackageCheckSignature(device.handle, u"\\VXUpdate.bin", key),
              flip ? package::SignatureResult::kWrongSignature : package::SignatureResult::kValid);
  }
  Bytes changed = file;
  changed[2 * kBlock + 5] ^= 1;
  changed.resize(file.size() + 10, 0x77);
  testing_support::WriteBytes(device.root / "VXUpdate.bin", changed);
  struct Case {
    std::uint32_t offset, length;
    std::int64_t delivered;  // -1: the read fails
  };
  const Case cases[] = {
      {0, 108, 108},
      {kBlock - 6, 20, 20},          // across blocks 0 and 1
      {0, 2 * kBlock, 2 * kBlock},   // whole blocks, read straight into the buffer
      {2 * kBlock + 100, 10, -1},    // the changed block, not the changed byte
      {kBlock, 2 * kBlock, -1},      // blocks 1 and 2
      {3 * kBlock, 200, 100},        // the last block, as long as it was
      {3 * kBlock + 100, 10, 0},     // the end as hashed
      {1u << 31, 1, -1},             // past 2 GiB, as the file pointer refuses
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.offset);
    Bytes buffer(c.length);
    std::uint32_t read = 0;
    const bool ok = package::SeekTo(*device.handle, c.offset) &&
                    package::ReadPackage(*device.handle, buffer, &read);
    EXPECT_EQ(ok ? std::int64_t{read} : -1, c.delivered);
    EXPECT_TRUE(!ok || std::equal(buffer.begin(), buffer.begin() + read, file.begin() + c.offset));
  }
}

}  // namespace
