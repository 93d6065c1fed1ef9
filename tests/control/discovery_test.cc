// Discovery of VXUpdate.bin: the fixed folder first, then CustomPath, and the bounds of
// the path buffer.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "control/control.h"
#include "platform/platform.h"
#include "tests/support/testing.h"

namespace {

using testing_support::EventsOf;
using testing_support::ReadTrace;
using testing_support::ScopedEnv;
using testing_support::TempDir;
using testing_support::WriteBytes;
using testing_support::WriteText;

// A file that passes the probe: the magic and a whole header.
std::vector<std::uint8_t> PackageBytes(std::size_t size = 108, char first = 'V') {
  std::vector<std::uint8_t> bytes(size, 0);
  const std::string magic = {first, 'X', 'U', 'D'};
  std::copy(magic.begin(), magic.end(), bytes.begin());
  return bytes;
}

// A .reg line for CustomPath given as a string (backslashes escaped).
std::string CustomPathLine(const std::string& folder) {
  std::string escaped;
  for (const char c : folder) {
    if (c == '\\') escaped += '\\';
    escaped += c;
  }
  return "\"CustomPath\"=\"" + escaped + "\"\n";
}

void WriteRegistry(const TempDir& device, const std::string& values) {
  WriteText(device / "registry.reg",
            "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\VX_Config\\VXUpdate]\n" + values);
  // The platform keeps the registry it has read; a changed file must be read again.
  platform::Reconfigure();
}

// Host path of a device folder given with backslashes.
std::filesystem::path HostPath(const TempDir& device, std::string devicePath) {
  std::replace(devicePath.begin(), devicePath.end(), '\\', '/');
  return device.path() / devicePath.substr(1);
}

// The path buffer, with guard units behind it that discovery must never touch.
struct GuardedBuffer {
  static constexpr char16_t kGuard = u'#';
  std::array<char16_t, control::kPathUnits + 8> units;
  GuardedBuffer() { units.fill(kGuard); }
  bool GuardIntact() const {
    return std::all_of(units.begin() + control::kPathUnits, units.end(),
                       [](char16_t u) { return u == kGuard; });
  }
  std::string Path() const {
    return platform::ToUtf8(
        std::u16string(units.data(), platform::BoundedLength(units.data(), control::kPathUnits)));
  }
};

class Discovery : public ::testing::Test {
 protected:
  TempDir device;
  TempDir scratch;
  ScopedEnv env{{"VXU_DEVICE_ROOT", device.path().string()},
                {"VXU_TRACE", (scratch / "trace.jsonl").string()},
                {"VXU_FAULTS", std::nullopt}};
  std::vector<testing_support::TraceLine> Trace() const {
    return std::filesystem::exists(scratch / "trace.jsonl")
               ? ReadTrace(scratch / "trace.jsonl")
               : std::vector<testing_support::TraceLine>{};
  }
};

TEST_F(Discovery, PrefersStorageCardAndLeavesRegistryUnread) {
  WriteBytes(device / "Storage Card/VXUpdate.bin", PackageBytes());
  WriteBytes(device / "Updates/VXUpdate.bin", PackageBytes());
  WriteRegistry(device, CustomPathLine("\\Updates"));
  GuardedBuffer buffer;
  ASSERT_EQ(control::FindUpdatePackage(buffer.units.data(), 240), 1);
  EXPECT_EQ(buffer.Path(), "\\Storage Card\\VXUpdate.bin");
  EXPECT_TRUE(EventsOf(Trace(), "reg_open").empty());
}

TEST_F(Discovery, FallsBackToCustomPathWhenStorageCardHasNoPackage) {
  struct Case {
    const char* name;
    std::optional<std::vector<std::uint8_t>> storageCard;
  };
  const std::vector<Case> cases = {
      {"no file", std::nullopt},
      {"107 bytes", PackageBytes(107)},
      {"wrong magic", PackageBytes(108, 'W')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(device / "Storage Card");
    if (c.storageCard) WriteBytes(device / "Storage Card/VXUpdate.bin", *c.storageCard);
    WriteBytes(device / "Updates/VXUpdate.bin", PackageBytes());
    WriteRegistry(device, CustomPathLine("\\Updates"));
    GuardedBuffer buffer;
    ASSERT_EQ(control::FindUpdatePackage(buffer.units.data(), 240), 1);
    EXPECT_EQ(buffer.Path(), "\\Updates\\VXUpdate.bin");
  }
}

TEST_F(Discovery, SmallBufferSkipsStorageCard) {
  WriteBytes(device / "Storage Card/VXUpdate.bin", PackageBytes());
  WriteBytes(device / "P/VXUpdate.bin", PackageBytes());
  WriteRegistry(device, CustomPathLine("\\P"));
  GuardedBuffer buffer;
  ASSERT_EQ(control::FindUpdatePackage(buffer.units.data(), 52), 1);
  EXPECT_EQ(buffer.Path(), "\\P\\VXUpdate.bin");
  for (const auto& open : EventsOf(Trace(), "create_file")) {
    EXPECT_EQ(open["path"].find("Storage Card"), std::string::npos) << open.raw;
  }
}

TEST_F(Discovery, FolderWithOrWithoutFinalBackslashGivesSamePath) {
  const std::string longFolder = "\\" + std::string(105, 'e');  // 106 characters
  struct Case {
    std::string folder;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"\\Updates", "\\Updates\\VXUpdate.bin"},
      {"\\Updates\\", "\\Updates\\VXUpdate.bin"},
      {longFolder, longFolder + "\\VXUpdate.bin"},
      {longFolder + "\\", longFolder + "\\VXUpdate.bin"},
  };
  WriteBytes(HostPath(device, longFolder) / "VXUpdate.bin", PackageBytes());
  WriteBytes(device / "Updates/VXUpdate.bin", PackageBytes());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.folder);
    WriteRegistry(device, CustomPathLine(c.folder));
    GuardedBuffer buffer;
    ASSERT_EQ(control::FindUpdatePackage(buffer.units.data(), 240), 1);
    EXPECT_EQ(buffer.Path(), c.expected);
    EXPECT_TRUE(buffer.GuardIntact());
  }
}

TEST_F(Discovery, FolderOf107CharactersTakesTheNameDirectly) {
  const std::string folder = "\\" + std::string(106, 'f');
  WriteBytes(HostPath(device, folder + "VXUpdate.bin"), PackageBytes());
  WriteRegistry(device, CustomPathLine(folder));
  GuardedBuffer buffer;
  ASSERT_EQ(control::FindUpdatePackage(buffer.units.data(), 240), 1);
  EXPECT_EQ(buffer.Path(), folder + "VXUpdate.bin");
  EXPECT_EQ(buffer.units[control::kPathUnits - 1], u'\0');
  EXPECT_TRUE(buffer.GuardIntact());
}

TEST_F(Discovery, UnusableCustomPathFindsNothingAndStaysInBuffer) {
  struct Case {
    const char* name;
    std::string value;  // the whole value line
  };
  const std::string tooLong = "\\" + std::string(107, 'g');  // 108 characters
  const std::vector<Case> cases = {
      {"108 characters", CustomPathLine(tooLong)},
      {"118 characters with backslash", CustomPathLine("\\" + std::string(116, 'g') + "\\")},
      {"empty", "\"CustomPath\"=\"\"\n"},
      {"no terminator", "\"CustomPath\"=hex(1):5c,00,55,00\n"},
      {"odd byte count", "\"CustomPath\"=hex(1):5c,00,55,00,00,00,00\n"},
      {"nothing stored", "\"CustomPath\"=hex(1):\n"},
      {"longer than the buffer", CustomPathLine("\\" + std::string(130, 'g'))},
      {"no value", "\"Other\"=\"\\\\U\"\n"},
  };
  // Packages where a careless reading of those values could end up.
  WriteBytes(device / "U/VXUpdate.bin", PackageBytes());
  WriteBytes(device / "VXUpdate.bin", PackageBytes());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteRegistry(device, c.value);
    GuardedBuffer buffer;
    EXPECT_EQ(control::FindUpdatePackage(buffer.units.data(), 240), 0);
    EXPECT_TRUE(buffer.GuardIntact());
  }
}

TEST_F(Discovery, NoKeyFindsNothing) {
  GuardedBuffer buffer;
  EXPECT_EQ(control::FindUpdatePackage(buffer.units.data(), 240), 0);
  const auto opens = EventsOf(Trace(), "reg_open");
  ASSERT_EQ(opens.size(), 1u);
  EXPECT_EQ(opens[0]["ok"], "false");
}

TEST_F(Discovery, ProbeNeedsWholeHeaderAndMagic) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
    std::int32_t expected;
  };
  const std::vector<Case> cases = {
      {"whole header", PackageBytes(108), 1},
      {"longer file", PackageBytes(4096), 1},
      {"one byte short", PackageBytes(107), 0},
      {"other magic", PackageBytes(108, 'v'), 0},
      {"empty", {}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteBytes(device / "probe.bin", c.bytes);
    EXPECT_EQ(control::ProbeUpdatePackage(u"\\probe.bin"), c.expected);
  }
  EXPECT_EQ(control::ProbeUpdatePackage(u"\\missing.bin"), 0);
  // Every file the probe opened was closed again.
  const auto trace = Trace();
  const auto opened = std::count_if(trace.begin(), trace.end(), [](const auto& line) {
    return line.ev() == "create_file" && line["ok"] == "true";
  });
  EXPECT_EQ(static_cast<std::size_t>(opened), EventsOf(trace, "close_file").size());
}

}  // namespace
