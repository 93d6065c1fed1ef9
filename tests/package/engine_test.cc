// Extracting, checking, writing and binding the engine library.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "binding/binding.h"
#include "package/package.h"
#include "tests/package/package_builder.h"
#include "tests/support/fake_binding.h"
#include "tests/support/testing.h"

namespace {

using package::PackageInstallEngine;
using package_test::Device;
using package_test::OpenPackage;
using package_test::PackageBuilder;

const std::vector<std::uint8_t> kEngine = package_test::Pattern(3000, 17);

PackageBuilder WithEngine() {
  PackageBuilder builder;
  builder.AddEngine(kEngine);
  builder.header.wince = builder.Append(1024, 2);
  builder.Seal();
  return builder;
}

std::set<std::string> With(std::set<std::string> entries, bool crc32) {
  if (crc32) entries.insert("crc32");
  return entries;
}

// Which library computed the engine's CRC, or empty when none did.
std::u16string CrcProvider() {
  const auto calls = fake_binding::CallsTo("crc32");
  return calls.empty() ? std::u16string() : calls.back().library;
}

TEST(PackageEngine, OutcomeDependsOnWhereCrc32IsFound) {
  const struct {
    const char* name;
    bool bspCrc;       // vx_bsp_api.dll exports crc32
    bool zlib;         // zlib.dll can be bound (it exports crc32)
    bool wrongCrc;
    std::int32_t result;
    std::u16string provider;
    std::u16string bound;
    bool fileWritten;
  } cases[] = {
      {"bsp checks, right", true, true, false, 1, u"vx_bsp_api.dll", u"\\VXUpdate.dll", true},
      {"bsp checks, wrong", true, true, true, 0, u"vx_bsp_api.dll", u"vx_bsp_api.dll", false},
      {"zlib checks, right", false, true, false, 1, u"zlib.dll", u"\\VXUpdate.dll", true},
      {"zlib checks, wrong", false, true, true, 0, u"zlib.dll", u"", false},
      {"nobody checks, wrong", false, false, true, 1, u"", u"\\VXUpdate.dll", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fake_binding::Reset();
    fake_binding::AddLibrary(binding::kBoardSupportLibrary,
                             With(fake_binding::DeviceEntries(), c.bspCrc));
    if (c.zlib) fake_binding::AddLibrary(binding::kZlibLibrary, {"crc32"});
    fake_binding::AddLibrary(binding::kEngineLibrary, fake_binding::DeviceEntries());
    Device device;
    PackageBuilder builder = WithEngine();
    if (c.wrongCrc) builder.header.engineCrc ^= 0x100;
    OpenPackage handle(device.Open(builder));
    EXPECT_EQ(PackageInstallEngine(handle.get()), c.result);
    EXPECT_EQ(CrcProvider(), c.provider);
    EXPECT_EQ(fake_binding::Bound(), c.bound);
    const auto file = device.root() / "VXUpdate.dll";
    EXPECT_EQ(std::filesystem::exists(file), c.fileWritten);
    if (c.fileWritten) {
      EXPECT_EQ(testing_support::ReadBytes(file), kEngine);
    }
  }
}

TEST(PackageEngine, WrongCrcLeavesAnOlderEngineFileUntouched) {
  fake_binding::Reset();
  fake_binding::AddLibrary(binding::kBoardSupportLibrary, {"crc32"});
  Device device;
  testing_support::WriteText(device.root() / "VXUpdate.dll", "older");
  PackageBuilder builder = WithEngine();
  builder.header.engineCrc ^= 1;
  OpenPackage handle(device.Open(builder));
  EXPECT_EQ(PackageInstallEngine(handle.get()), 0);
  EXPECT_EQ(testing_support::ReadText(device.root() / "VXUpdate.dll"), "older");
}

TEST(PackageEngine, UnreadableEngineFailsAndLeavesTheBindingAlone) {
  const struct {
    const char* name;
    std::uint32_t offset;
    std::uint32_t length;
    std::optional<std::string> faults;
  } cases[] = {
      {"offset past the end", 1u << 20, 3000, std::nullopt},
      {"offset of 2^31", 0x80000000u, 3000, std::nullopt},
      {"offset of 2^32-1", 0xFFFFFFFFu, 3000, std::nullopt},
      {"length past the end", 108, 1u << 20, std::nullopt},
      {"length 0", 108, 0, std::nullopt},
      {"no memory for it", 108, 3000, "alloc:2999"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fake_binding::Reset();
    fake_binding::AddLibrary(binding::kBoardSupportLibrary, {"crc32"});
    fake_binding::AddLibrary(binding::kEngineLibrary, {});
    Device device(c.faults);
    PackageBuilder builder = WithEngine();
    builder.header.engineOffset = c.offset;
    builder.header.engineLength = c.length;
    OpenPackage handle(device.Open(builder));
    EXPECT_EQ(PackageInstallEngine(handle.get()), 0);
    EXPECT_EQ(fake_binding::Bound(), u"");
    EXPECT_TRUE(fake_binding::Calls().empty());
    EXPECT_FALSE(std::filesystem::exists(device.root() / "VXUpdate.dll"));
  }
}

TEST(PackageEngine, FileThatCannotBeWrittenWholeIsNotBound) {
  const struct {
    const char* name;
    std::string faults;
    bool partialFile;
  } cases[] = {
      {"cannot create", "open:\\VXUpdate.dll", false},
      {"short write", "write:\\VXUpdate.dll@1000", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fake_binding::Reset();
    fake_binding::AddLibrary(binding::kBoardSupportLibrary, {"crc32"});
    fake_binding::AddLibrary(binding::kEngineLibrary, {});
    Device device(c.faults);
    OpenPackage handle(device.Open(WithEngine()));
    EXPECT_EQ(PackageInstallEngine(handle.get()), 0);
    EXPECT_EQ(fake_binding::Bound(), binding::kBoardSupportLibrary);
    const auto file = device.root() / "VXUpdate.dll";
    ASSERT_EQ(std::filesystem::exists(file), c.partialFile);
    if (c.partialFile) {
      EXPECT_EQ(std::filesystem::file_size(file), 1000u);
    }
  }
}

TEST(PackageEngine, EngineThatCannotBeBoundLeavesNothingBound) {
  fake_binding::Reset();
  fake_binding::AddLibrary(binding::kBoardSupportLibrary, {"crc32"});
  Device device;
  OpenPackage handle(device.Open(WithEngine()));
  EXPECT_EQ(PackageInstallEngine(handle.get()), 0);
  EXPECT_EQ(fake_binding::Bound(), u"");
  EXPECT_TRUE(std::filesystem::exists(device.root() / "VXUpdate.dll"));
}

TEST(PackageEngine, AfterInstallDeviceCallsReachTheEngineUntilUnloaded) {
  fake_binding::Reset();
  fake_binding::AddLibrary(binding::kBoardSupportLibrary, fake_binding::DeviceEntries());
  fake_binding::AddLibrary(binding::kEngineLibrary, fake_binding::DeviceEntries());
  Device device;
  OpenPackage handle(device.Open(WithEngine()));
  ASSERT_EQ(PackageInstallEngine(handle.get()), 1);
  package::PackageCheckImage(handle.get(), 4);
  ASSERT_EQ(fake_binding::CallsTo("VXUpdate_CheckImageType").size(), 1u);
  EXPECT_EQ(fake_binding::CallsTo("VXUpdate_CheckImageType")[0].library, binding::kEngineLibrary);
  package::PackageUnloadEngine();
  EXPECT_EQ(fake_binding::Bound(), u"");
}

TEST(PackageEngine, InvalidHandleInstallsNothing) {
  fake_binding::Reset();
  EXPECT_EQ(PackageInstallEngine(package::InvalidPackageHandle()), 0);
  EXPECT_TRUE(fake_binding::Calls().empty());
}

}  // namespace
