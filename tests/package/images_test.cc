// Suitability check, version comparison and image writer.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "binding/binding.h"
#include "package/package.h"
#include "tests/package/package_builder.h"
#include "tests/support/fake_binding.h"
#include "tests/support/testing.h"

namespace {

using package::ImageEntry;
using package_test::Device;
using package_test::g_progress;
using package_test::OpenPackage;
using package_test::PackageBuilder;
using package_test::Pattern;
using package_test::RecordProgress;

constexpr std::uint32_t kMiB = 1u << 20;
constexpr std::uint32_t kKiB = 1u << 10;
constexpr std::uint32_t kMiniboot = 1, kSpl = 2, kBootloader = 3, kWinCE = 4, kIpl = 5,
                        kAtmel = 7, kMobileIpl = 9, kMobileDisk = 10;

// The engine is bound, as it is when the main flow runs these operations.
void BindEngine(std::set<std::string> entries = fake_binding::DeviceEntries()) {
  fake_binding::Reset();
  fake_binding::AddLibrary(binding::kEngineLibrary, std::move(entries));
  ASSERT_TRUE(binding::SwitchLibrary(binding::kEngineLibrary));
}

// A package with every image of both boot chains, each 2 KiB of its own pattern.
PackageBuilder FullPackage(std::uint32_t headerLength = 108, bool mobile = false) {
  PackageBuilder builder(headerLength);
  builder.header.miniboot = builder.Append(2048, 1);
  builder.header.spl = builder.Append(2048, 2);
  builder.header.ipl0 = builder.Append(2048, 3);
  builder.header.bootloader = builder.Append(2048, 4);
  if (!mobile) builder.header.wince = builder.Append(2048, 5);
  builder.header.mobileIpl = builder.Append(2048, 6);
  builder.header.mobileDiskImage = builder.Append(2048, 7);
  builder.Seal();
  return builder;
}

std::vector<std::int64_t> CheckedTypes() {
  std::vector<std::int64_t> types;
  for (const auto& call : fake_binding::CallsTo("VXUpdate_CheckImageType")) {
    types.push_back(call.args[0]);
  }
  return types;
}

// The first 512 bytes of an entry, as the package holds them.
std::vector<std::uint8_t> FirstBytes(const PackageBuilder& builder, const ImageEntry& entry) {
  const auto bytes = builder.Bytes();
  return {bytes.begin() + entry.offset, bytes.begin() + entry.offset + 512};
}

// ---------------------------------------------------------------------------
// Suitability

TEST(PackageSuitability, ExaminesTheImagesOfTheBootChainInOrder) {
  const struct {
    const char* name;
    std::int32_t bootFromDoc;
    bool mobile;
    std::vector<std::int64_t> types;
  } cases[] = {
      {"DOC, WinCE", 1, false, {kSpl, kIpl, kBootloader, kWinCE}},
      {"DOC, mobile", 1, true, {kSpl, kIpl, kBootloader, kMobileIpl, kMobileDisk}},
      {"Miniboot, WinCE", 0, false, {kMiniboot, kBootloader, kWinCE}},
      {"Miniboot, mobile", 0, true, {kMiniboot, kBootloader, kMobileIpl, kMobileDisk}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BindEngine();
    fake_binding::SetAnswer("SystemBootFromDOC", c.bootFromDoc);
    Device device;
    OpenPackage handle(device.Open(FullPackage(108, c.mobile)));
    EXPECT_EQ(package::PackageCheckSuitability(handle.get()), 0);
    EXPECT_EQ(CheckedTypes(), c.types);
    EXPECT_EQ(package::PackageIsMobile(handle.get()), c.mobile ? 1u : 0u);
    for (const auto& call : fake_binding::CallsTo("VXUpdate_CheckImageType")) {
      EXPECT_EQ(call.args[1], 512);
      EXPECT_EQ(call.data.size(), 512u);
    }
  }
}

TEST(PackageSuitability, MissingBootSourceEntryTakesTheDocChain) {
  auto entries = fake_binding::DeviceEntries();
  entries.erase("SystemBootFromDOC");
  BindEngine(entries);
  Device device;
  OpenPackage handle(device.Open(FullPackage()));
  EXPECT_EQ(package::PackageCheckSuitability(handle.get()), 0);
  EXPECT_EQ(CheckedTypes(), (std::vector<std::int64_t>{kSpl, kIpl, kBootloader, kWinCE}));
}

TEST(PackageSuitability, FirstRefusalStopsTheChainAndPassesThrough) {
  BindEngine();
  fake_binding::SetAnswer("SystemBootFromDOC", 0);
  fake_binding::QueueAnswers("VXUpdate_CheckImageType", {0, 42});
  Device device;
  OpenPackage handle(device.Open(FullPackage()));
  EXPECT_EQ(package::PackageCheckSuitability(handle.get()), 42);
  EXPECT_EQ(CheckedTypes(), (std::vector<std::int64_t>{kMiniboot, kBootloader}));
}

TEST(PackageSuitability, IplVariantsAreTriedOnlyWithTheLongerHeader) {
  const struct {
    const char* name;
    std::uint32_t headerLength;
    bool ipl0Present;
    bool ipl2Present;
    std::vector<std::int32_t> answers;  // of VXUpdate_CheckImageType, SPL first
    std::int32_t result;
    std::int32_t selected;
  } cases[] = {
      {"92: ipl0/ipl1 absent, ipl2 taken", 92, false, true, {0, 0}, 0, 2},
      {"91: variants 1 and 2 not tried", 91, false, true, {0, 0}, 6, -1},
      {"92: ipl0 refused, others absent", 92, true, false, {0, 5}, 6, -1},
      {"92: ipl0 refused, ipl2 taken", 92, true, true, {0, 5, 0}, 0, 2},
      {"92: ipl0 taken", 92, true, true, {0, 0}, 0, 0},
      {"92: ipl0 and ipl2 refused", 92, true, true, {0, 5, 8}, 8, -1},
      {"91: ipl0 refused", 91, true, true, {0, 5}, 5, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BindEngine();
    fake_binding::SetAnswer("SystemBootFromDOC", 1);
    fake_binding::QueueAnswers("VXUpdate_CheckImageType", c.answers);
    Device device;
    PackageBuilder builder(c.headerLength);
    builder.header.spl = builder.Append(1024, 1);
    if (c.ipl0Present) builder.header.ipl0 = builder.Append(1024, 2);
    const ImageEntry ipl2 = builder.Append(1024, 3);
    // With a short header the ipl2 field is payload, not an entry.
    if (c.ipl2Present) builder.header.ipl2 = ipl2;
    builder.header.bootloader = builder.Append(1024, 4);
    builder.header.wince = builder.Append(1024, 5);
    builder.Seal();
    OpenPackage handle(device.Open(builder));
    EXPECT_EQ(package::PackageCheckSuitability(handle.get()), c.result);
    EXPECT_EQ(handle->selectedVariant[0], c.selected);
    if (c.selected == 2) {
      // Comparing and writing IPL now use ipl2: its bytes are what the library sees.
      fake_binding::SetAnswer("GetImageInfo", 1);
      fake_binding::SetAnswer("GetImageInfoFromBuffer", 1);
      package::PackageCompareImage(handle.get(), kIpl, 0);
      const auto calls = fake_binding::CallsTo("GetImageInfoFromBuffer");
      ASSERT_EQ(calls.size(), 1u);
      EXPECT_EQ(calls[0].data, FirstBytes(builder, ipl2));
      package::PackageWriteImage(handle.get(), kIpl, nullptr);
      const auto first = fake_binding::CallsTo("VXUpdate_WriteFirst");
      ASSERT_EQ(first.size(), 1u);
      EXPECT_EQ(std::vector<std::uint8_t>(first[0].data.begin(), first[0].data.begin() + 512),
                FirstBytes(builder, ipl2));
    }
  }
}

TEST(PackageSuitability, MobilePackageNeedsTheFullHeader) {
  for (std::int32_t loaderAnswer : {0, 3}) {
    SCOPED_TRACE("loader answer " + std::to_string(loaderAnswer));
    BindEngine();
    fake_binding::SetAnswer("SystemBootFromDOC", 0);
    fake_binding::SetAnswer("VXUpdate_CheckImageType", loaderAnswer);
    Device device;
    OpenPackage handle(device.Open(FullPackage(92, true)));
    EXPECT_EQ(package::PackageCheckSuitability(handle.get()), 6);
    EXPECT_EQ(package::PackageIsMobile(handle.get()), 1u);
    for (std::int64_t type : CheckedTypes()) EXPECT_NE(type, kMobileIpl);
  }
}

TEST(PackageSuitability, MobileLoaderFailureWinsOverTheMobileImages) {
  BindEngine();
  fake_binding::SetAnswer("SystemBootFromDOC", 0);
  fake_binding::SetAnswer("VXUpdate_CheckImageType", 3);
  Device device;
  OpenPackage handle(device.Open(FullPackage(108, true)));
  EXPECT_EQ(package::PackageCheckSuitability(handle.get()), 3);
  EXPECT_EQ(package::PackageIsMobile(handle.get()), 1u);
}

TEST(PackageSuitability, WinceWithOnlyOneZeroFieldIsNotMobileButAbsent) {
  BindEngine();
  fake_binding::SetAnswer("SystemBootFromDOC", 0);
  Device device;
  PackageBuilder builder = FullPackage(108, true);
  builder.header.wince = {0, 5};
  OpenPackage handle(device.Open(builder));
  EXPECT_EQ(package::PackageCheckSuitability(handle.get()), 6);
  EXPECT_EQ(package::PackageIsMobile(handle.get()), 0u);
}

TEST(PackageSuitability, ImageCheckFailsForUnreadableOrUnknownImages) {
  const struct {
    const char* name;
    std::uint32_t type;
    ImageEntry entry;  // becomes the WinCE entry
    std::int32_t result;
  } cases[] = {
      {"fewer than 512 bytes follow", kWinCE, {0, 100}, 3},  // offset set below
      {"offset beyond 2^31", kWinCE, {0x80000000u, 100}, 3},
      {"absent", kWinCE, {0, 0}, 6},
      {"Atmel has no entry", kAtmel, {200, 100}, 9},
      {"code 0", 0, {200, 100}, 9},
      {"code 11", 11, {200, 100}, 9},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BindEngine();
    Device device;
    PackageBuilder builder = FullPackage();
    ImageEntry entry = c.entry;
    if (c.result == 3 && entry.offset == 0) {
      entry.offset = static_cast<std::uint32_t>(builder.Bytes().size() - 511);
    }
    builder.header.wince = entry;
    OpenPackage handle(device.Open(builder));
    EXPECT_EQ(package::PackageCheckImage(handle.get(), c.type), c.result);
    EXPECT_TRUE(fake_binding::CallsTo("VXUpdate_CheckImageType").empty());
  }
  EXPECT_EQ(package::PackageCheckImage(package::InvalidPackageHandle(), kWinCE), 9);
  EXPECT_EQ(package::PackageCheckSuitability(package::InvalidPackageHandle()), 9);
}

TEST(PackageSuitability, LibraryWithoutTheCheckRefusesWithMinusOne) {
  auto entries = fake_binding::DeviceEntries();
  entries.erase("VXUpdate_CheckImageType");
  BindEngine(entries);
  Device device;
  OpenPackage handle(device.Open(FullPackage()));
  EXPECT_EQ(package::PackageCheckImage(handle.get(), kWinCE), -1);
  EXPECT_EQ(handle->selectedVariant[4], -1);
}

// ---------------------------------------------------------------------------
// Comparison

using Record = std::array<std::uint8_t, 100>;

Record BaseRecord() {
  Record record{};
  for (std::size_t i = 4; i < record.size(); ++i) record[i] = static_cast<std::uint8_t>(i);
  return record;
}

TEST(PackageCompare, MasksOnlyWhenTheKeyValueDiffers) {
  const struct {
    const char* name;
    std::vector<std::size_t> differing;  // bytes changed in the package record
    std::int32_t result;
  } cases[] = {
      {"identical", {}, 0},
      {"only bytes 4-7", {4, 7}, 0},
      {"byte 24, key equal", {24}, 4},
      {"bytes 24 and 60, key differs", {5, 24, 60}, 0},
      {"byte 10, key equal", {10}, 4},
      {"byte 10, key differs", {6, 10}, 4},
      {"byte 19, key differs", {6, 19}, 4},
      {"byte 28, key differs", {6, 28}, 4},
      {"byte 51, key differs", {6, 51}, 4},
      {"byte 91, key differs", {6, 91}, 0},
      {"byte 92, key differs", {6, 92}, 4},
      {"byte 99, key equal", {99}, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BindEngine();
    fake_binding::SetAnswer("GetImageInfo", 1);
    fake_binding::SetAnswer("GetImageInfoFromBuffer", 1);
    Record packageRecord = BaseRecord();
    for (std::size_t at : c.differing) packageRecord[at] ^= 0x5A;
    fake_binding::SetImageInfo(BaseRecord(), packageRecord);
    Device device;
    OpenPackage handle(device.Open(FullPackage()));
    EXPECT_EQ(package::PackageCompareImage(handle.get(), kBootloader, 0), c.result);
  }
}

TEST(PackageCompare, HandsTheLibrarySizedRecordsAndTheImageStart) {
  BindEngine();
  fake_binding::SetAnswer("GetImageInfo", 1);
  fake_binding::SetAnswer("GetImageInfoFromBuffer", 1);
  Device device;
  const PackageBuilder builder = FullPackage();
  OpenPackage handle(device.Open(builder));
  EXPECT_EQ(package::PackageCompareImage(handle.get(), kBootloader, 0), 0);
  const auto flash = fake_binding::CallsTo("GetImageInfo");
  const auto fromBuffer = fake_binding::CallsTo("GetImageInfoFromBuffer");
  ASSERT_EQ(flash.size(), 1u);
  ASSERT_EQ(fromBuffer.size(), 1u);
  EXPECT_EQ(flash[0].data, (std::vector<std::uint8_t>{100, 0, 0, 0}));
  EXPECT_EQ(flash[0].args[0], kBootloader);
  EXPECT_EQ(fromBuffer[0].args[0], 512);
  EXPECT_EQ(fromBuffer[0].data, FirstBytes(builder, builder.header.bootloader));
}

TEST(PackageCompare, FailuresAndTheCrcCheckFollowTheirOrder) {
  const struct {
    const char* name;
    std::string missingEntry;      // removed from the engine
    std::int32_t flashInfo;        // GetImageInfo answer
    std::int32_t packageInfo;      // GetImageInfoFromBuffer answer
    bool recordsDiffer;
    std::uint32_t checkCrc;
    std::int32_t result;
    bool crcCalled;
  } cases[] = {
      {"equal, CRC asked: 14", "", 1, 1, false, 1, 14, true},
      {"equal, CRC not asked", "", 1, 1, false, 0, 0, false},
      {"equal, CRC entry missing", "VXUpdate_CheckCRC", 1, 1, false, 1, -1, true},
      {"differ, CRC asked", "", 1, 1, true, 1, 4, false},
      {"flash not described", "", 0, 1, false, 1, 9, false},
      {"GetImageInfo missing", "GetImageInfo", 1, 1, false, 1, 9, false},
      {"package not described", "", 1, 0, false, 1, 6, false},
      {"GetImageInfoFromBuffer missing", "GetImageInfoFromBuffer", 1, 1, false, 1, 6, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto entries = fake_binding::DeviceEntries();
    entries.erase(c.missingEntry);
    BindEngine(entries);
    fake_binding::SetAnswer("GetImageInfo", c.flashInfo);
    fake_binding::SetAnswer("GetImageInfoFromBuffer", c.packageInfo);
    fake_binding::SetAnswer("VXUpdate_CheckCRC", 14);
    Record packageRecord = BaseRecord();
    if (c.recordsDiffer) packageRecord[12] ^= 1;
    fake_binding::SetImageInfo(BaseRecord(), packageRecord);
    Device device;
    OpenPackage handle(device.Open(FullPackage()));
    EXPECT_EQ(package::PackageCompareImage(handle.get(), kWinCE, c.checkCrc), c.result);
    const auto crcCalls = fake_binding::CallsTo("VXUpdate_CheckCRC");
    EXPECT_EQ(!crcCalls.empty(), c.crcCalled);
    if (!crcCalls.empty()) {
      EXPECT_EQ(crcCalls[0].args[0], kWinCE);
    }
  }
}

TEST(PackageCompare, UnusableEntriesFailBeforeTheLibraryIsAsked) {
  const struct {
    const char* name;
    std::uint32_t type;
    bool truncateWince;
    std::int32_t result;
  } cases[] = {
      {"IPL before any variant was chosen", kIpl, false, 6},
      {"Atmel", kAtmel, false, 9},
      {"fewer than 512 bytes", kWinCE, true, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BindEngine();
    Device device;
    PackageBuilder builder = FullPackage();
    if (c.truncateWince) {
      builder.header.wince.offset = static_cast<std::uint32_t>(builder.Bytes().size() - 100);
    }
    OpenPackage handle(device.Open(builder));
    EXPECT_EQ(package::PackageCompareImage(handle.get(), c.type, 1), c.result);
    EXPECT_TRUE(fake_binding::Calls().empty());
  }
  Device device;
  PackageBuilder builder = FullPackage();
  builder.header.spl = {0, 0};
  OpenPackage handle(device.Open(builder));
  EXPECT_EQ(package::PackageCompareImage(handle.get(), kSpl, 1), 6);
  EXPECT_EQ(package::PackageCompareImage(package::InvalidPackageHandle(), kSpl, 1), 9);
}

// ---------------------------------------------------------------------------
// Writer

struct WriteCase {
  const char* name;
  std::uint32_t imageLength;       // the entry length
  std::uint32_t fileBytes;         // bytes of the image in the file (from its offset)
  std::uint32_t firstRemaining;    // what WriteFirst asks for after the first chunk
  std::vector<std::int32_t> nextAnswers;
  std::optional<std::string> faults;
  std::int32_t result;
  std::vector<std::int64_t> nextCounts;
  bool lastCalled;
};

TEST(PackageWrite, StreamsWhatTheLibraryAsksFor) {
  const WriteCase cases[] = {
      {"3 MiB after the first chunk", 1024 + 3 * kMiB, 1024 + 3 * kMiB, 3 * kMiB, {},
       std::nullopt, 0, {kMiB, kMiB, kMiB}, true},
      {"nothing after the first chunk", 1024, 1024, 0, {}, std::nullopt, 0, {}, true},
      {"second chunk refused with 7", 1024 + 3 * kMiB, 1024 + 3 * kMiB, 3 * kMiB, {0, 7},
       std::nullopt, 7, {kMiB, kMiB}, false},
      {"only 64 KiB of memory", 1024 + 200 * kKiB, 1024 + 200 * kKiB, 200 * kKiB, {},
       "alloc:65536", 0, {64 * kKiB, 64 * kKiB, 64 * kKiB, 8 * kKiB}, true},
      {"library wants more than the file holds", 4096, 4096, 8192, {}, std::nullopt, 3,
       {3072}, false},
      {"read fails on the follow-up", 4096, 4096, 3072, {}, "read:\\VXUpdate.bin@3000", 3, {},
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BindEngine();
    fake_binding::SetWriteFirstRemaining(c.firstRemaining);
    fake_binding::QueueAnswers("VXUpdate_WriteNext", c.nextAnswers);
    Device device(c.faults);
    PackageBuilder builder;
    builder.header.wince = builder.Append(c.fileBytes, 8);
    builder.header.wince.length = c.imageLength;
    builder.Seal();
    OpenPackage handle(device.Open(builder));
    EXPECT_EQ(package::PackageWriteImage(handle.get(), kWinCE, RecordProgress), c.result);

    const auto first = fake_binding::CallsTo("VXUpdate_WriteFirst");
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].args, (std::vector<std::int64_t>{kWinCE, 1024}));
    std::vector<std::int64_t> counts;
    for (const auto& call : fake_binding::CallsTo("VXUpdate_WriteNext")) {
      counts.push_back(call.args[0]);
    }
    EXPECT_EQ(counts, c.nextCounts);
    EXPECT_EQ(fake_binding::CallsTo("VXUpdate_WriteLast").size(), c.lastCalled ? 1u : 0u);
    EXPECT_EQ(package::PackageWasWritten(handle.get()), c.result == 0 ? 1u : 0u);
    if (c.result == 0) {
      const auto bytes = builder.Bytes();
      const auto start = bytes.begin() + builder.header.wince.offset;
      EXPECT_TRUE(fake_binding::Streamed() ==
                  std::vector<std::uint8_t>(start, start + c.imageLength));
    }
    // Progress starts at 0 and follows each follow-up call, never past the total.
    ASSERT_FALSE(g_progress.empty());
    EXPECT_EQ(g_progress[0], std::make_pair(c.imageLength, 0u));
    for (const auto& [total, done] : g_progress) {
      EXPECT_EQ(total, c.imageLength);
      EXPECT_LE(done, total);
    }
    if (c.result == 0 && !c.nextCounts.empty()) {
      EXPECT_EQ(g_progress.size(), 1 + c.nextCounts.size());
      EXPECT_EQ(g_progress.back().second, c.imageLength);
    }
  }
}

TEST(PackageWrite, ProgressOf3MiBImageCountsWhatWasTaken) {
  BindEngine();
  fake_binding::SetWriteFirstRemaining(3 * kMiB);
  Device device;
  PackageBuilder builder;
  builder.header.wince = builder.Append(1024 + 3 * kMiB, 8);
  builder.Seal();
  OpenPackage handle(device.Open(builder));
  ASSERT_EQ(package::PackageWriteImage(handle.get(), kWinCE, RecordProgress), 0);
  const std::uint32_t total = 1024 + 3 * kMiB;
  EXPECT_EQ(g_progress, (decltype(g_progress){{total, 0},
                                              {total, 1024 + kMiB},
                                              {total, 1024 + 2 * kMiB},
                                              {total, total}}));
}

TEST(PackageWrite, FirstChunkIs1024BytesEvenForAShorterImage) {
  BindEngine();
  Device device;
  PackageBuilder builder = FullPackage();
  builder.header.spl.length = 10;
  OpenPackage handle(device.Open(builder));
  EXPECT_EQ(package::PackageWriteImage(handle.get(), kSpl, nullptr), 0);
  const auto first = fake_binding::CallsTo("VXUpdate_WriteFirst");
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].data.size(), 1024u);
}

TEST(PackageWrite, LibraryExpectingMoreThanTheEntryLengthKeepsProgressInRange) {
  BindEngine();
  fake_binding::SetWriteFirstRemaining(8 * kKiB);
  Device device;
  PackageBuilder builder;
  builder.header.wince = builder.Append(64 * kKiB, 8);
  builder.header.wince.length = 2048;
  builder.Seal();
  OpenPackage handle(device.Open(builder));
  EXPECT_EQ(package::PackageWriteImage(handle.get(), kWinCE, RecordProgress), 0);
  ASSERT_EQ(g_progress.size(), 2u);
  EXPECT_EQ(g_progress[1], std::make_pair(2048u, 2048u));
}

TEST(PackageWrite, RefusesBeforeTouchingAnything) {
  const struct {
    const char* name;
    std::uint32_t type;
    bool splAbsent;
    std::optional<std::string> faults;
    std::int32_t result;
  } cases[] = {
      // alloc:1 would make any allocation fail: 6 and 9 come before the buffer.
      {"absent", kSpl, true, "alloc:1", 6},
      {"IPL before any variant was chosen", kIpl, false, "alloc:1", 6},
      {"Atmel", kAtmel, false, "alloc:1", 9},
      {"no 64 KiB buffer", kSpl, false, "alloc:65535", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BindEngine();
    PackageBuilder builder = FullPackage();
    if (c.splAbsent) builder.header.spl.offset = 0;
    Device device;
    OpenPackage handle(device.Open(builder));
    // The faults come after opening, which allocates the handle itself.
    testing_support::ScopedEnv faults({{"VXU_FAULTS", c.faults}});
    EXPECT_EQ(package::PackageWriteImage(handle.get(), c.type, RecordProgress), c.result);
    EXPECT_TRUE(fake_binding::Calls().empty());
    EXPECT_TRUE(g_progress.empty());
  }
  EXPECT_EQ(package::PackageWriteImage(package::InvalidPackageHandle(), kSpl, nullptr), 9);
}

TEST(PackageWrite, LibraryFailuresPassThroughUnchanged) {
  const struct {
    const char* name;
    std::string missingEntry;
    std::int32_t firstAnswer;
    std::int32_t lastAnswer;
    std::int32_t result;
  } cases[] = {
      {"WriteFirst refuses", "", 12, 0, 12},
      {"WriteFirst missing", "VXUpdate_WriteFirst", 0, 0, -1},
      {"WriteLast refuses", "", 0, 8, 8},
      {"WriteLast missing", "VXUpdate_WriteLast", 0, 0, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto entries = fake_binding::DeviceEntries();
    entries.erase(c.missingEntry);
    BindEngine(entries);
    fake_binding::SetAnswer("VXUpdate_WriteFirst", c.firstAnswer);
    fake_binding::SetAnswer("VXUpdate_WriteLast", c.lastAnswer);
    Device device;
    OpenPackage handle(device.Open(FullPackage()));
    EXPECT_EQ(package::PackageWriteImage(handle.get(), kBootloader, nullptr), c.result);
    EXPECT_EQ(package::PackageWasWritten(handle.get()), 0u);
  }
}

TEST(PackageWrite, WrittenFlagStaysSetAfterALaterFailure) {
  BindEngine();
  Device device;
  OpenPackage handle(device.Open(FullPackage()));
  ASSERT_EQ(package::PackageWriteImage(handle.get(), kBootloader, nullptr), 0);
  fake_binding::SetAnswer("VXUpdate_WriteFirst", 5);
  EXPECT_EQ(package::PackageWriteImage(handle.get(), kWinCE, nullptr), 5);
  EXPECT_EQ(package::PackageWasWritten(handle.get()), 1u);
}

}  // namespace
