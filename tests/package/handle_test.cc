// Opening, closing and the integrity check of the package.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "binding/binding.h"
#include "crypto/crypto.h"
#include "package/package.h"
#include "tests/package/package_builder.h"
#include "tests/support/fake_binding.h"
#include "tests/support/testing.h"

namespace {

using package::PackageValidate;
using package::ValidateResult;
using package_test::Device;
using package_test::g_progress;
using package_test::OpenPackage;
using package_test::PackageBuilder;
using package_test::RecordProgress;
using testing_support::EventsOf;
using testing_support::ReadTrace;

constexpr std::uint32_t kMiB = 1u << 20;
constexpr std::uint32_t kKiB = 1u << 10;

class PackageHandleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_binding::Reset();
    fake_binding::AddLibrary(binding::kZlibLibrary, {"crc32"});
  }
  // A sealed package of one WinCE image of `imageSize` bytes.
  static PackageBuilder Simple(std::uint32_t imageSize = 4096,
                               std::uint32_t headerLength = package::kMobileHeaderLength) {
    PackageBuilder builder(headerLength);
    builder.AddEngine(package_test::Pattern(256, 3));
    builder.header.wince = builder.Append(imageSize, 9);
    builder.Seal();
    return builder;
  }
  std::vector<std::uint32_t> CrcChunks() const {
    std::vector<std::uint32_t> chunks;
    for (const auto& call : fake_binding::CallsTo("crc32")) {
      if (call.args[1] != 0) chunks.push_back(static_cast<std::uint32_t>(call.args[1]));
    }
    return chunks;
  }
};

TEST_F(PackageHandleTest, OpensOnlyFilesOf108BytesOrMoreStartingWithMagic) {
  Device device;
  const struct {
    const char* name;
    std::vector<std::uint8_t> bytes;
    bool opens;
  } cases[] = {
      {"107 bytes with magic", [] { auto b = PackageBuilder(0).Bytes(); b.resize(107); return b; }(),
       false},
      {"100 bytes with magic", [] { auto b = PackageBuilder(0).Bytes(); b.resize(100); return b; }(),
       false},
      {"108 bytes, headerLength 0", PackageBuilder(0).Bytes(), true},
      {"108 bytes, headerLength 500", PackageBuilder(500).Bytes(), true},
      {"wrong magic", [] { auto b = PackageBuilder().Bytes(); b[3] = 'X'; return b; }(), false},
      {"empty file", {}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing_support::WriteBytes(device.root() / "VXUpdate.bin", c.bytes);
    const package::PackageHandle handle = package::PackageOpen(package_test::kPackagePath);
    EXPECT_EQ(handle != package::InvalidPackageHandle(), c.opens);
    package::PackageClose(handle);
  }
}

TEST_F(PackageHandleTest, ShortFileIsClosedAgainWhenRefused) {
  Device device;
  auto bytes = PackageBuilder().Bytes();
  bytes.resize(107);
  testing_support::WriteBytes(device.root() / "VXUpdate.bin", bytes);
  EXPECT_EQ(package::PackageOpen(package_test::kPackagePath), package::InvalidPackageHandle());
  const auto trace = ReadTrace(device.Trace());
  const auto opened = EventsOf(trace, "create_file");
  const auto closed = EventsOf(trace, "close_file");
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0]["access"], "read");
  EXPECT_EQ(opened[0]["ok"], "true");
  ASSERT_EQ(closed.size(), 1u);
  EXPECT_EQ(closed[0]["path"], opened[0]["path"]);
}

TEST_F(PackageHandleTest, MissingFileDoesNotOpen) {
  Device device;
  EXPECT_EQ(package::PackageOpen(package_test::kPackagePath), package::InvalidPackageHandle());
}

TEST_F(PackageHandleTest, FreshHandleHasNoSelectionAndNoFlags) {
  Device device;
  OpenPackage handle(device.Open(Simple(4096, 92)));
  for (std::int32_t slot : handle->selectedVariant) EXPECT_EQ(slot, -1);
  EXPECT_EQ(package::PackageWasWritten(handle.get()), 0u);
  EXPECT_EQ(package::PackageIsMobile(handle.get()), 0u);
  EXPECT_EQ(package::PackageHeaderLength(handle.get()), 92u);
}

TEST_F(PackageHandleTest, InvalidHandleAnswersZeroAndOne) {
  const package::PackageHandle invalid = package::InvalidPackageHandle();
  EXPECT_EQ(package::PackageWasWritten(invalid), 0u);
  EXPECT_EQ(package::PackageIsMobile(invalid), 0u);
  EXPECT_EQ(package::PackageHeaderLength(invalid), 0u);
  EXPECT_EQ(PackageValidate(invalid, 1, RecordProgress), ValidateResult::kInvalidHandle);
  package::PackageClose(invalid);  // nothing to release: must not crash
}

// Every code of the integrity check, each from the fault that produces it.
TEST_F(PackageHandleTest, ValidateReportsEachFailureWithItsCode) {
  const auto wrongSize = [] { auto b = Simple(); ++b.header.payloadSize; return b; }();
  const auto tooNew = [] { auto b = Simple(); b.header.headerLength = 109; return b; }();
  const auto wrongCrc = [] { auto b = Simple(); b.header.payloadCrc ^= 1; return b; }();
  const auto truncated = [] { auto b = Simple(); b.body.resize(b.body.size() - 100); return b; }();
  const struct {
    const char* name;
    PackageBuilder builder;
    std::optional<std::string> faults;
    ValidateResult expected;
  } cases[] = {
      {"valid", Simple(), std::nullopt, ValidateResult::kValid},
      {"headerLength 109", tooNew, std::nullopt, ValidateResult::kHeaderTooNew},
      {"size rule broken", wrongSize, std::nullopt, ValidateResult::kWrongSize},
      {"no 64 KiB buffer", Simple(), "alloc:65535", ValidateResult::kNoMemory},
      {"read fails", Simple(), "read:\\VXUpdate.bin@2000", ValidateResult::kReadError},
      {"file ends early", truncated, std::nullopt, ValidateResult::kReadError},
      {"CRC differs", wrongCrc, std::nullopt, ValidateResult::kWrongCrc},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fake_binding::Reset();
    fake_binding::AddLibrary(binding::kZlibLibrary, {"crc32"});
    Device device(c.faults);
    OpenPackage handle(device.Open(c.builder));
    EXPECT_EQ(PackageValidate(handle.get(), 1, RecordProgress), c.expected);
    EXPECT_EQ(fake_binding::Bound(), u"") << "nothing stays bound after the check";
  }
}

TEST_F(PackageHandleTest, ValidateAcceptsEveryHeaderLengthUpTo108) {
  for (std::uint32_t headerLength : {0u, 91u, 92u, 107u, 108u, 109u}) {
    SCOPED_TRACE("headerLength " + std::to_string(headerLength));
    Device device;
    PackageBuilder builder(headerLength);
    builder.AddEngine(package_test::Pattern(64, 1));
    builder.header.ipl0 = builder.Append(600, 2);
    builder.header.ipl1 = builder.Append(600, 3);
    builder.header.mobileIpl = builder.Append(600, 4);
    builder.Seal();
    OpenPackage handle(device.Open(builder));
    const ValidateResult expected =
        headerLength > 108 ? ValidateResult::kHeaderTooNew : ValidateResult::kValid;
    EXPECT_EQ(PackageValidate(handle.get(), 0, nullptr), expected);
    // One byte off is caught for every layout that is checked at all.
    ++builder.header.payloadSize;
    OpenPackage off(device.Open(builder));
    const ValidateResult offExpected =
        headerLength > 108 ? ValidateResult::kHeaderTooNew : ValidateResult::kWrongSize;
    EXPECT_EQ(PackageValidate(off.get(), 0, nullptr), offExpected);
  }
}

TEST_F(PackageHandleTest, PayloadSumThatWrapsPast2To32StillMatches) {
  Device device;
  PackageBuilder builder;
  builder.header.extraLength = 0xFFFFFF00u;
  builder.header.engineLength = 0x180;
  builder.header.payloadSize = 0x80;
  OpenPackage handle(device.Open(builder));
  EXPECT_EQ(PackageValidate(handle.get(), 0, nullptr), ValidateResult::kValid);
}

TEST_F(PackageHandleTest, WithoutCrcCheckAWrongCrcPassesSilently) {
  Device device;
  PackageBuilder builder = Simple();
  builder.header.payloadCrc ^= 0xFFFF;
  OpenPackage handle(device.Open(builder));
  EXPECT_EQ(PackageValidate(handle.get(), 0, RecordProgress), ValidateResult::kValid);
  EXPECT_TRUE(g_progress.empty());
  EXPECT_TRUE(fake_binding::Calls().empty());
}

TEST_F(PackageHandleTest, CrcPassReadsInBufferSizedChunksAndReportsEach) {
  Device device;
  PackageBuilder builder;
  builder.header.wince = builder.Append(2 * kMiB + 512 * kKiB, 5);
  builder.Seal();
  OpenPackage handle(device.Open(builder));
  EXPECT_EQ(PackageValidate(handle.get(), 1, RecordProgress), ValidateResult::kValid);
  const std::uint32_t total = 2 * kMiB + 512 * kKiB;
  EXPECT_EQ(CrcChunks(), (std::vector<std::uint32_t>{kMiB, kMiB, 512 * kKiB}));
  EXPECT_EQ(g_progress, (decltype(g_progress){{total, 0}, {total, kMiB}, {total, 2 * kMiB},
                                              {total, total}}));
  EXPECT_EQ(fake_binding::CallsTo("crc32")[0].library, binding::kZlibLibrary);
}

TEST_F(PackageHandleTest, ShortMemoryShrinksTheChunksDownTo64KiB) {
  Device device("alloc:65536");
  OpenPackage handle(device.Open(Simple(200 * kKiB)));
  EXPECT_EQ(PackageValidate(handle.get(), 1, nullptr), ValidateResult::kValid);
  const auto chunks = CrcChunks();
  ASSERT_GE(chunks.size(), 4u);
  EXPECT_EQ(chunks[0], 64 * kKiB);
  for (std::uint32_t chunk : chunks) EXPECT_LE(chunk, 64 * kKiB);
}

TEST_F(PackageHandleTest, WithoutZlibThePackageCountsAsValidUnread) {
  fake_binding::Reset();  // no zlib.dll
  // A payload read would fail here, so a 0 also shows that nothing was read.
  Device device("read:\\VXUpdate.bin@108");
  PackageBuilder builder = Simple();
  builder.header.payloadCrc ^= 1;
  OpenPackage handle(device.Open(builder));
  EXPECT_EQ(PackageValidate(handle.get(), 1, RecordProgress), ValidateResult::kValid);
  EXPECT_TRUE(g_progress.empty());
  EXPECT_TRUE(fake_binding::CallsTo("crc32").empty());
}

TEST_F(PackageHandleTest, ZlibWithoutCrc32FailsUnlessTheStoredCrcIsZero) {
  for (bool storedZero : {false, true}) {
    SCOPED_TRACE(storedZero ? "payloadCrc 0" : "payloadCrc right");
    fake_binding::Reset();
    fake_binding::AddLibrary(binding::kZlibLibrary, {});
    Device device;
    PackageBuilder builder = Simple();
    if (storedZero) builder.header.payloadCrc = 0;
    OpenPackage handle(device.Open(builder));
    EXPECT_EQ(PackageValidate(handle.get(), 1, nullptr),
              storedZero ? ValidateResult::kValid : ValidateResult::kWrongCrc);
  }
}

TEST_F(PackageHandleTest, EmptyPayloadReportsNoProgressButStillComparesTheCrc) {
  for (std::uint32_t stored : {0u, 1u}) {
    SCOPED_TRACE("payloadCrc " + std::to_string(stored));
    Device device;
    PackageBuilder builder;
    builder.header.payloadCrc = stored;
    OpenPackage handle(device.Open(builder));
    EXPECT_EQ(PackageValidate(handle.get(), 1, RecordProgress),
              stored == 0 ? ValidateResult::kValid : ValidateResult::kWrongCrc);
    EXPECT_TRUE(g_progress.empty());
  }
}

TEST_F(PackageHandleTest, FileEndingBeforeThePayloadEndsThePassWithProgress) {
  Device device;
  PackageBuilder builder = Simple(4096);
  builder.body.resize(builder.body.size() - 1000);
  OpenPackage handle(device.Open(builder));
  EXPECT_EQ(PackageValidate(handle.get(), 1, RecordProgress), ValidateResult::kReadError);
  ASSERT_EQ(g_progress.size(), 3u);  // start, the short read, the empty read
  const std::uint32_t total = builder.header.payloadSize;
  EXPECT_EQ(g_progress[1].second, total - 1000);
  EXPECT_EQ(g_progress[2].second, total - 1000);
}

}  // namespace

// The size the hashing began with against the file as it turns out: a file that grew or
// shrank meanwhile is not hashed whole, and its digest must not be trusted.
TEST_F(PackageHandleTest, HashOfAFileThatChangedSizeWhileHashedIsRefused) {
  Device device;
  const std::vector<std::uint8_t> bytes = package_test::Pattern(2 * kMiB + 5, 4);
  testing_support::WriteBytes(device.root() / "f", bytes);
  crypto::Sha512 sha;
  sha.Update(bytes);
  const auto expected = sha.Finish();
  for (const std::int64_t delta : {0, -1, 1}) {
    SCOPED_TRACE(delta);
    const platform::Handle file = platform::CreateFile(
        u"\\f", platform::kGenericRead, 0, platform::kOpenExisting, platform::kFileAttributeNormal);
    const auto digest =
        package::HashWholeFile(file, static_cast<std::uint32_t>(bytes.size() + delta));
    platform::CloseHandle(file);
    EXPECT_EQ(digest.value_or(crypto::Digest{}), delta == 0 ? *expected : crypto::Digest{});
  }
}
