// The device registry read from registry.reg.
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/registry_file.h"
#include "tests/support/testing.h"

namespace {

namespace fs = std::filesystem;
using testing_support::EventsOf;
using testing_support::ReadTrace;
using testing_support::ScopedEnv;
using testing_support::TempDir;
using testing_support::WriteBytes;
using testing_support::WriteText;

constexpr char kRegistry[] =
    "REGEDIT4\r\n"
    "\r\n"
    "; the updater's settings\r\n"
    "[HKEY_LOCAL_MACHINE\\VX_Config\\VXUpdate]\r\n"
    "\"Folder\"=\"\\\\Storage Card\"\r\n"
    "\"Quoted\"=\"say \\\"hi\\\"\"\r\n"
    "\"Count\"=dword:0000002a\r\n"
    "\"One\"=hex:7f\r\n"
    "\"None\"=hex:\r\n"
    "\"Big\"=hex(b):01,00,00,00,00,00,00,00\r\n"
    "\"Long\"=hex:01,02,\\\r\n"
    "  03,04\r\n"
    "this line is not understood\r\n"
    "@=\"default\"\r\n"
    "\"Gone\"=dword:1\r\n"
    "\"Gone\"=-\r\n"
    "[HKLM\\Other\\Deep]\r\n"
    "\"X\"=dword:00000001 ; with a comment\r\n"
    "[-HKLM\\Other]\r\n";

struct Query {
  std::int32_t result = -1;
  std::uint32_t type = 0;
  std::uint32_t size = 0;
  std::vector<std::uint8_t> data;
};

Query QueryValue(std::u16string_view key, std::u16string_view name, std::uint32_t room) {
  Query query;
  platform::RegKey open = platform::kNullRegKey;
  query.result = platform::RegOpenKeyEx(platform::kHkeyLocalMachine, key, 0, 0, &open);
  if (query.result != platform::kErrorSuccess) return query;
  query.data.assign(room, 0xEE);
  query.size = room;
  query.result = platform::RegQueryValueEx(open, name, &query.type, query.data, &query.size);
  platform::RegCloseKey(open);
  return query;
}

class RegistryTest : public ::testing::Test {
 protected:
  TempDir root_;
  TempDir trace_;
  ScopedEnv env_{{"VXU_DEVICE_ROOT", root_.path().string()},
                 {"VXU_TRACE", (trace_.path() / "trace").string()}};
  std::vector<testing_support::TraceLine> Debug() const {
    return EventsOf(ReadTrace(trace_.path() / "trace"), "debug");
  }
};

TEST_F(RegistryTest, ValuesReadBackAsStored) {
  WriteText(root_ / "registry.reg", kRegistry);
  struct Case {
    std::u16string key;
    std::u16string name;
    std::int32_t result;
    std::uint32_t type;
    std::vector<std::uint8_t> data;
  };
  auto sz = [](std::u16string_view text) {
    std::vector<std::uint8_t> bytes;
    for (char16_t c : text) {
      bytes.push_back(static_cast<std::uint8_t>(c));
      bytes.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    bytes.insert(bytes.end(), {0, 0});
    return bytes;
  };
  const std::u16string key = u"VX_Config\\VXUpdate";
  const Case cases[] = {
      {key, u"Folder", 0, platform::kRegSz, sz(u"\\Storage Card")},
      {u"vx_config\\VXUPDATE", u"FOLDER", 0, platform::kRegSz, sz(u"\\Storage Card")},
      {key, u"Quoted", 0, platform::kRegSz, sz(u"say \"hi\"")},
      {key, u"Count", 0, platform::kRegDword, {0x2a, 0, 0, 0}},
      {key, u"One", 0, platform::kRegBinary, {0x7f}},
      {key, u"None", 0, platform::kRegBinary, {}},
      {key, u"Big", 0, platform::kRegQword, {1, 0, 0, 0, 0, 0, 0, 0}},
      {key, u"Long", 0, platform::kRegBinary, {1, 2, 3, 4}},
      {key, u"", 0, platform::kRegSz, sz(u"default")},
      {key, u"Gone", platform::kErrorFileNotFound, 0, {}},
      {key, u"Missing", platform::kErrorFileNotFound, 0, {}},
      {u"VX_Config", u"Folder", platform::kErrorFileNotFound, 0, {}},
      {u"Other\\Deep", u"X", platform::kErrorFileNotFound, 0, {}},
      {u"Nowhere", u"X", platform::kErrorFileNotFound, 0, {}},
  };
  for (const auto& c : cases) {
    const Query query = QueryValue(c.key, c.name, 64);
    EXPECT_EQ(query.result, c.result) << platform::ToUtf8(c.name);
    if (c.result != 0) continue;
    EXPECT_EQ(query.type, c.type) << platform::ToUtf8(c.name);
    ASSERT_EQ(query.size, c.data.size()) << platform::ToUtf8(c.name);
    EXPECT_EQ(std::vector<std::uint8_t>(query.data.begin(), query.data.begin() + query.size),
              c.data);
  }
  EXPECT_EQ(QueryValue(key, u"Folder", 64).size, 28u);
  const auto debug = Debug();
  ASSERT_EQ(debug.size(), 1u);  // the line that is not understood, reported once
  EXPECT_NE(debug[0]["text"].find("line 13 of "), std::string::npos);
  EXPECT_NE(debug[0]["text"].find("registry.reg"), std::string::npos);
}

TEST_F(RegistryTest, SmallBufferGivesMoreDataWithTheNeededSizeAndCopiesNothing) {
  WriteText(root_ / "registry.reg", kRegistry);
  struct Case {
    std::uint32_t room;
    std::int32_t result;
  };
  const Case cases[] = {
      {4, platform::kErrorMoreData}, {7, platform::kErrorMoreData}, {8, platform::kErrorSuccess}};
  for (const auto& c : cases) {
    const Query query = QueryValue(u"VX_Config\\VXUpdate", u"Big", c.room);
    EXPECT_EQ(query.result, c.result) << c.room;
    EXPECT_EQ(query.size, 8u);
    if (c.result == platform::kErrorMoreData) {
      EXPECT_EQ(query.data, std::vector<std::uint8_t>(c.room, 0xEE));
    }
  }
  // The room offered never exceeds the buffer itself.
  platform::RegKey key = platform::kNullRegKey;
  ASSERT_EQ(platform::RegOpenKeyEx(platform::kHkeyLocalMachine, u"VX_Config\\VXUpdate", 0, 0, &key),
            platform::kErrorSuccess);
  std::array<std::uint8_t, 4> small{};
  std::uint32_t claimed = 1000;
  EXPECT_EQ(platform::RegQueryValueEx(key, u"Big", nullptr, small, &claimed),
            platform::kErrorMoreData);
  EXPECT_EQ(claimed, 8u);
  platform::RegCloseKey(key);
  const auto queries = EventsOf(ReadTrace(trace_.path() / "trace"), "reg_query");
  ASSERT_FALSE(queries.empty());
  EXPECT_EQ(queries.back()["result"], "234");
  EXPECT_EQ(queries.back()["size"], "8");
}

TEST_F(RegistryTest, Utf16FileWithVersion5HeaderReads) {
  const std::string text =
      "Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\"N\"=\"\u00e9\"\r\n";
  const std::u16string wide = platform::ToUtf16(text);
  std::vector<std::uint8_t> bytes{0xFF, 0xFE};
  for (char16_t c : wide) {
    bytes.push_back(static_cast<std::uint8_t>(c));
    bytes.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  WriteBytes(root_ / "registry.reg", bytes);
  const Query query = QueryValue(u"K", u"N", 16);
  ASSERT_EQ(query.result, platform::kErrorSuccess);
  EXPECT_EQ(query.size, 4u);
  EXPECT_EQ(query.data[0], 0xE9);
}

TEST_F(RegistryTest, MissingFileMeansNoKeysAndAMissingHeaderIsOneSkippedLine) {
  struct Case {
    std::optional<std::string> file;
    std::int32_t result;
    std::size_t debugLines;
  };
  const Case cases[] = {
      {std::nullopt, platform::kErrorFileNotFound, 0},
      {"REGEDIT5\r\n[HKLM\\K]\r\n\"N\"=dword:1\r\n", platform::kErrorSuccess, 1},
      {"[HKLM\\K]\r\n\"N\"=dword:1\r\n", platform::kErrorSuccess, 1},
  };
  for (const auto& c : cases) {
    fs::remove(root_ / "registry.reg");
    fs::remove(trace_ / "trace");
    if (c.file) WriteText(root_ / "registry.reg", *c.file);
    platform::Reconfigure();
    EXPECT_EQ(QueryValue(u"K", u"N", 16).result, c.result);
    EXPECT_EQ(Debug().size(), c.debugLines);
  }
}

TEST(RegistryFileTest, SkipsEachMalformedLineAndKeepsTheRest) {
  const std::string text =
      "REGEDIT4\n[HKLM\\A\\B]\n\"ok\"=dword:1\n\"bad\"=dword:123456789\n\"x\"=hex:1,zz\n"
      "[HKEY_CURRENT_USER\\C]\n[HKLM\\D\n\"also\"=hex(7):41,00,00,00\n\"unterminated=1\n";
  const auto parsed = platform::posix::ParseRegistryFile(
      std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
  EXPECT_FALSE(parsed.badHeader);
  std::vector<std::size_t> lines;
  for (const auto& skipped : parsed.skipped) lines.push_back(skipped.line);
  // Line 8 is a well-formed value under the section of line 7 that was skipped: it is
  // ignored without a line of its own.
  EXPECT_EQ(lines, (std::vector<std::size_t>{4, 5, 6, 7, 9}));
  ASSERT_EQ(parsed.keys.count(u"a\\b"), 1u);
  EXPECT_EQ(parsed.keys.count(u"a"), 1u);  // a key implies its parents
  EXPECT_EQ(parsed.keys.at(u"a\\b").values.size(), 1u);
  EXPECT_EQ(parsed.keys.count(u"d"), 0u);
}

TEST(RegistryFileTest, TruncatedAndOddInputsNeitherCrashNorDefineValues) {
  struct Case {
    std::string bytes;
    bool badHeader;
  };
  const Case cases[] = {
      {"", true},
      {"\xff\xfe", true},
      {"\xff\xfeR", true},
      {"\xef\xbb\xbfREGEDIT4", false},
      {"REGEDIT4\n[", false},
      {"REGEDIT4\n\"", false},
      {"REGEDIT4\n\\", false},
      {"REGEDIT4\n[HKLM\\a]\n\"x\"=hex(", false},
      {"REGEDIT4\n[HKLM\\a]\n\"x\"=hex():01", false},
      {"REGEDIT4\n[HKLM\\a]\n\"x\"=\\", false},
      {"REGEDIT4\n[HKLM\\a]\n\"x\"=\"\\", false},
      {"REGEDIT4\n[HKLM\\a]\n\"x\"=dword:", false},
      {"REGEDIT4\n[HKLM\\a]\n\"x\"=hex:,", false},
      {"REGEDIT4\n[HKLM\\a]\n\"x\"=hex:123", false},
      {"REGEDIT4\n[HKLM\\a]\n@", false},
  };
  for (const auto& c : cases) {
    const auto parsed = platform::posix::ParseRegistryFile(
        std::span(reinterpret_cast<const std::uint8_t*>(c.bytes.data()), c.bytes.size()));
    EXPECT_EQ(parsed.badHeader, c.badHeader) << c.bytes;
    for (const auto& [path, key] : parsed.keys) EXPECT_TRUE(key.values.empty()) << c.bytes;
  }
}

}  // namespace
