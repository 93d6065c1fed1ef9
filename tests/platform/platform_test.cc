// The contracts of the host stand-in that scripts and tests rely on: device paths stay
// inside the device folder and match names whatever their case, registry.reg reads as
// written, and trace lines from two processes never tear.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/registry_file.h"
#include "tests/support/testing.h"

namespace {

namespace fs = std::filesystem;
namespace ts = testing_support;
using Bytes = std::vector<std::uint8_t>;

TEST(DevicePath, MatchesNamesIgnoringCaseAndRefusesEscapes) {
  ts::TempDir device;
  ts::ScopedEnv env{{"VXU_DEVICE_ROOT", device.path().string()}};
  ts::WriteText(device / "Storage Card/VXUpdate.bin", "x");
  ts::WriteText(device / "Dup", "upper");
  ts::WriteText(device / "dup", "lower");
  const std::string root = device.path().string();
  const std::pair<std::u16string, std::optional<std::string>> cases[] = {
      {u"\\STORAGE CARD\\vxupdate.BIN", root + "/Storage Card/VXUpdate.bin"},
      {u"\\Storage Card\\\\VXUpdate.bin", root + "/Storage Card/VXUpdate.bin"},
      {u"\\storage card\\New.TXT", root + "/Storage Card/New.TXT"},
      {u"\\dup", root + "/dup"},
      {u"\\DUP", root + "/Dup"},
      {u"\\", root},
      {u"\\..\\etc\\passwd", std::nullopt},
      {u"\\Storage Card\\..\\..\\x", std::nullopt},
      {u"\\.\\x", std::nullopt},
      {u"C:\\x", std::nullopt},
      {u"\\a/b", std::nullopt},
      {std::u16string(u"\\a\0b", 4), std::nullopt},
  };
  for (const auto& [path, expected] : cases) {
    EXPECT_EQ(platform::MapDevicePath(path), expected) << platform::ToUtf8(path);
  }
}

// The UTF-16LE bytes of a text, and of a zero-terminated string.
Bytes Utf16(std::u16string_view text) {
  Bytes bytes;
  for (const char16_t c : text) bytes.insert(bytes.end(), {std::uint8_t(c), std::uint8_t(c >> 8)});
  return bytes;
}
Bytes Sz(std::u16string_view text) { return Utf16(std::u16string(text) + u'\0'); }

TEST(Registry, ValuesReadBackAsStored) {
  const std::string text =
      "REGEDIT4\r\n\r\n; comment\r\n[HKEY_LOCAL_MACHINE\\VX_Config\\VXUpdate]\r\n"
      "\"Folder\"=\"\\\\Storage Card\"\r\n\"Quoted\"=\"say \\\"hi\\\"\"\r\n"
      "\"Count\"=dword:0000002a\r\n\"None\"=hex:\r\n\"Big\"=hex(b):01,00,00,00,00,00,00,00\r\n"
      "\"Long\"=hex:01,02,\\\r\n  03,04\r\nnot understood\r\n@=\"default\"\r\n"
      "\"Gone\"=dword:1\r\n\"Gone\"=-\r\n[HKLM\\Other\\Deep]\r\n\"X\"=dword:1\r\n[-HKLM\\Other]\r\n";
  struct Case {
    std::u16string key, name;
    std::uint32_t room;
    std::int32_t result;
    std::uint32_t type;
    Bytes data;
  };
  const std::u16string key = u"VX_Config\\VXUpdate";
  const Case cases[] = {
      {key, u"Folder", 64, 0, platform::kRegSz, Sz(u"\\Storage Card")},
      {u"vx_config\\VXUPDATE", u"FOLDER", 64, 0, platform::kRegSz, Sz(u"\\Storage Card")},
      {key, u"Quoted", 64, 0, platform::kRegSz, Sz(u"say \"hi\"")},
      {key, u"Count", 4, 0, platform::kRegDword, {0x2a, 0, 0, 0}},
      {key, u"None", 64, 0, platform::kRegBinary, {}},
      {key, u"Big", 8, 0, platform::kRegQword, {1, 0, 0, 0, 0, 0, 0, 0}},
      {key, u"Big", 7, platform::kErrorMoreData, 0, Bytes(8, 0xEE)},
      {key, u"Long", 64, 0, platform::kRegBinary, {1, 2, 3, 4}},
      {key, u"", 64, 0, platform::kRegSz, Sz(u"default")},
      {key, u"Gone", 64, platform::kErrorFileNotFound, 0, {}},
      {u"Other\\Deep", u"X", 64, platform::kErrorFileNotFound, 0, {}},
      {u"K", u"N", 64, 0, platform::kRegSz, Sz(u"\u00e9")},
  };
  // The same registry as UTF-8, and as UTF-16 with the version 5 header line.
  for (const bool utf16 : {false, true}) {
    ts::TempDir device;
    ts::TempDir trace;
    ts::ScopedEnv env{{"VXU_DEVICE_ROOT", device.path().string()},
                      {"VXU_TRACE", (trace / "t").string()}};
    ts::WriteBytes(device / "registry.reg",
                   utf16 ? Utf16(u"\uFEFFWindows Registry Editor Version 5.00" +
                                 platform::ToUtf16(text.substr(8) + "[HKLM\\K]\r\n\"N\"=\"\u00e9\"\r\n"))
                         : Bytes(text.begin(), text.end()));
    platform::Reconfigure();
    for (const Case& c : cases) {
      if (!utf16 && c.key == u"K") continue;
      SCOPED_TRACE(platform::ToUtf8(c.name) + " " + std::to_string(c.room) + (utf16 ? " utf16" : ""));
      platform::RegKey open = platform::kNullRegKey;
      ASSERT_EQ(platform::RegOpenKeyEx(platform::kHkeyLocalMachine, c.key, 0, 0, &open),
                c.key == u"Other\\Deep" ? platform::kErrorFileNotFound : platform::kErrorSuccess);
      if (open == platform::kNullRegKey) continue;
      Bytes data(c.room, 0xEE);
      std::uint32_t type = 0, size = c.room;
      EXPECT_EQ(platform::RegQueryValueEx(open, c.name, &type, data, &size), c.result);
      platform::RegCloseKey(open);
      if (c.result == platform::kErrorFileNotFound) continue;
      EXPECT_EQ(size, c.data.size());
      EXPECT_EQ(type, c.result == 0 ? c.type : type);
      data.resize(std::min(size, c.room));
      EXPECT_EQ(data, Bytes(c.data.begin(), c.data.begin() + data.size()));
    }
    // The line not understood is reported once, by its number and the file.
    const auto debug = ts::EventsOf(ts::ReadTrace(trace / "t"), "debug");
    ASSERT_EQ(debug.size(), 1u);
    EXPECT_NE(debug[0]["text"].find("line 12 of "), std::string::npos) << debug[0]["text"];
  }
}

// A broken line is skipped and the rest still counts; but what it still names fails
// rather than goes missing, and a broken section line fails the whole registry, since
// no key can then be said to be absent.
TEST(Registry, SkipsEachMalformedLineKeepsTheRestAndFailsWhatItNamed) {
  enum State { kAbsent, kRead, kFails };
  struct Case {
    std::string lines;  // after the header
    bool broken;
    std::u16string value;  // of key a
    State state;
  };
  const Case cases[] = {
      {"[HKLM\\A]\n\"ok\"=dword:1\n\"bad\"=dword:123456789", false, u"ok", kRead},
      {"[HKLM\\A]\n\"ok\"=dword:1\n\"bad\"=dword:123456789", false, u"bad", kFails},
      {"[HKLM\\A]\n\"x\"=hex:1,zz", false, u"x", kFails},
      {"[HKLM\\A]\n\"x\" hex:01", false, u"x", kFails},
      {"[HKLM\\A]\nx\"Key\"=hex:01", false, u"key", kFails},
      {"[HKLM\\A]\n\xC2\xA0\"Key\"=hex:01", false, u"key", kFails},
      {"[HKLM\\A]\nKey=hex:01", false, u"key", kFails},
      {"[HKLM\\A]\n\"unterminated=1", false, u"unterminated", kFails},
      {"[HKLM\\A]\nnot understood", false, u"not understood", kAbsent},
      // A comment never goes on with the next line, even one that ends in a backslash.
      {"[HKLM\\A]\n\"a\"=dword:1 ; C:\\\n\"b\"=dword:2", false, u"b", kRead},
      {"[HKLM\\A]\n\"l\"=hex:01,\\\n  02", false, u"l", kRead},
      {"[HKEY_CURRENT_USER\\C]\n\"x\"=dword:1\n[HKLM\\A]", false, u"x", kAbsent},
      {"[HKLM\\A\n\"x\"=dword:1", true, u"x", kAbsent},
      {"[HKLM\\A] junk\n\"x\"=dword:1", true, u"x", kAbsent},
      {"[HKLM\\B\\\\A]\n\"x\"=dword:1", true, u"x", kAbsent},
      {"[ HKLM\\A]\n\"x\"=dword:1", true, u"x", kAbsent},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lines);
    const std::string text = "REGEDIT4\n" + c.lines + "\n";
    const auto parsed = platform::posix::ParseRegistryFile(
        std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    EXPECT_FALSE(parsed.badHeader);
    EXPECT_EQ(parsed.broken, c.broken);
    const auto key = parsed.keys.find(u"a");
    State state = kAbsent;
    if (key != parsed.keys.end() && key->second.values.count(c.value) != 0) {
      state = key->second.values.at(c.value).unreadable ? kFails : kRead;
    }
    EXPECT_EQ(state, c.state);
  }
}

TEST(Trace, TwoWritersLeaveOnlyWholeLines) {
  ts::TempDir dir;
  const std::string helper = VXU_PLATFORM_HELPER;
  const auto result = ts::Run("bash", {"-c", "'" + helper + "' 300 & '" + helper + "' 300; wait"},
                              {{"VXU_TRACE", (dir / "trace").string()}});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  const auto lines = ts::ReadTrace(dir / "trace");
  EXPECT_EQ(lines.size(), 600u);
  for (const auto& line : lines) EXPECT_EQ(line["pad"].size(), 3000u) << line.raw.substr(0, 80);
}

TEST(Trace, AProcessEndedAtOnceLeavesOnlyWholeLines) {
  ts::TempDir dir;
  for (int run = 0; run < 8; ++run) {
    const auto result = ts::Run(VXU_PLATFORM_HELPER, {"reset"}, {{"VXU_TRACE", (dir / "trace").string()}});
    EXPECT_EQ(result.exitCode, 101) << result.err;
  }
  const auto lines = ts::ReadTrace(dir / "trace");
  EXPECT_GE(lines.size(), 8u * 5u);
  for (const auto& line : lines) EXPECT_EQ(line["pad"].size(), 1u << 20) << line.raw.substr(0, 80);
}

}  // namespace
