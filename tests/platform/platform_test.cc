// The host stand-in of the device's operating system, checked from the outside: device
// paths, files, faults, libraries, message boxes, the trace, events, threads, processes.
#include "platform/platform.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/testing.h"

namespace {

namespace fs = std::filesystem;
using testing_support::EventsOf;
using testing_support::ReadBytes;
using testing_support::ReadText;
using testing_support::ReadTrace;
using testing_support::ScopedEnv;
using testing_support::TempDir;
using testing_support::WriteBytes;
using testing_support::WriteText;

// A device folder with a trace, and the knobs pointing at both.
class Device {
 public:
  explicit Device(
      std::initializer_list<std::pair<std::string, std::optional<std::string>>> more = {})
      : env_({{"VXU_DEVICE_ROOT", root_.path().string()},
              {"VXU_TRACE", (trace_.path() / "trace").string()},
              {"VXU_FAULTS", std::nullopt},
              {"VXU_MSGBOX_ANSWERS", std::nullopt},
              {"VXU_TIME_SCALE", "0"},
              {"VXU_AC_LINE", std::nullopt},
              {"VXU_POWER_MANAGER", std::nullopt}}),
        more_(more) {}
  fs::path operator/(std::string_view relative) const { return root_ / relative; }
  const fs::path& root() const { return root_.path(); }
  fs::path tracePath() const { return trace_.path() / "trace"; }
  std::vector<testing_support::TraceLine> Events(std::string_view ev) const {
    return EventsOf(ReadTrace(tracePath()), ev);
  }

 private:
  TempDir root_;
  TempDir trace_;
  ScopedEnv env_;
  ScopedEnv more_;
};

std::vector<std::uint8_t> Bytes(std::string_view text) {
  return std::vector<std::uint8_t>(text.begin(), text.end());
}

std::string SortedLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start + 1));
  }
  lines.push_back(text.substr(start));
  std::sort(lines.begin(), lines.end());
  std::string sorted;
  for (const auto& line : lines) sorted += line;
  return sorted;
}

TEST(TextTest, ConvertsBetweenUtf8AndUtf16AndReplacesBrokenText) {
  struct Case {
    std::string utf8;
    std::u16string utf16;
  };
  const Case cases[] = {
      {"plain", u"plain"},
      {"\xc3\xa9t\xc3\xa9", u"\u00e9t\u00e9"},
      {"\xf0\x9f\x98\x80", u"\U0001F600"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(platform::ToUtf16(c.utf8), c.utf16) << c.utf8;
    EXPECT_EQ(platform::ToUtf8(c.utf16), c.utf8) << c.utf8;
  }
  EXPECT_EQ(platform::ToUtf16("a\xff"
                              "b"),
            u"a\uFFFDb");
  EXPECT_EQ(platform::ToUtf16("\xc0\xaf"), u"\uFFFD\uFFFD");  // overlong '/'
  EXPECT_EQ(platform::ToUtf8(std::u16string(1, char16_t{0xD800}) + u"x"), "\xef\xbf\xbdx");
  const char16_t unterminated[3] = {u'a', u'b', u'c'};
  EXPECT_EQ(platform::BoundedLength(unterminated, 3), 3u);
  EXPECT_EQ(platform::BoundedLength(u"ab", 9), 2u);
}

TEST(MapDevicePathTest, MatchesNamesIgnoringCaseAndRefusesEscapes) {
  Device device;
  WriteText(device / "Storage Card/VXUpdate.bin", "x");
  WriteText(device / "Dup", "upper");
  WriteText(device / "dup", "lower");
  fs::create_directory_symlink(device / "Storage Card", device / "link");
  const std::string root = device.root().string();
  struct Case {
    std::u16string path;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {u"\\STORAGE CARD\\vxupdate.BIN", root + "/Storage Card/VXUpdate.bin"},
      {u"\\Storage Card\\\\\\VXUpdate.bin", root + "/Storage Card/VXUpdate.bin"},
      {u"Storage Card\\VXUpdate.bin", root + "/Storage Card/VXUpdate.bin"},
      {u"\\storage card\\New.TXT", root + "/Storage Card/New.TXT"},
      {u"\\Missing\\Sub", root + "/Missing/Sub"},
      {u"\\dup", root + "/dup"},
      {u"\\DUP", root + "/Dup"},
      {u"\\LINK\\vxupdate.bin", root + "/link/VXUpdate.bin"},
      {u"\\", root},
      {u"\\..\\etc\\passwd", std::nullopt},
      {u"\\Storage Card\\..\\..\\x", std::nullopt},
      {u"\\.\\x", std::nullopt},
      {u"C:\\x", std::nullopt},
      {u"\\a/b", std::nullopt},
      {std::u16string(u"\\a\0b", 4), std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(platform::MapDevicePath(c.path), c.expected) << platform::ToUtf8(c.path);
  }
}

TEST(MapDevicePathTest, MissingRootFailsEveryPathWithOneDebugLine) {
  TempDir trace;
  ScopedEnv env({{"VXU_DEVICE_ROOT", (trace.path() / "nowhere").string()},
                 {"VXU_TRACE", (trace.path() / "trace").string()}});
  EXPECT_EQ(platform::MapDevicePath(u"\\x"), std::nullopt);
  EXPECT_EQ(platform::MapDevicePath(u"\\"), std::nullopt);
  const auto lines = EventsOf(ReadTrace(trace.path() / "trace"), "debug");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0]["text"].find("nowhere"), std::string::npos);
}

TEST(FileTest, OpensCreatesAndRefusesWithDeviceMeaning) {
  Device device;
  WriteText(device / "Data/Old.BIN", "old contents");
  fs::create_directories(device / "Folder");
  struct Case {
    std::u16string path;
    std::uint32_t access;
    std::uint32_t disposition;
    bool opens;
  };
  const Case cases[] = {
      {u"\\data\\old.bin", platform::kGenericRead, platform::kOpenExisting, true},
      {u"\\Data\\missing.bin", platform::kGenericRead, platform::kOpenExisting, false},
      {u"\\Nofolder\\x.bin", platform::kGenericWrite, platform::kCreateAlways, false},
      {u"\\Folder", platform::kGenericRead, platform::kOpenExisting, false},
      {u"\\", platform::kGenericRead, platform::kOpenExisting, false},
      {u"\\Folder", platform::kGenericWrite, platform::kCreateAlways, false},
      {u"\\..\\escape", platform::kGenericWrite, platform::kCreateAlways, false},
  };
  for (const auto& c : cases) {
    const platform::Handle file = platform::CreateFile(c.path, c.access, 0, c.disposition, 0);
    EXPECT_EQ(file != platform::kInvalidHandle, c.opens) << platform::ToUtf8(c.path);
    if (file != platform::kInvalidHandle) {
      EXPECT_TRUE(platform::CloseHandle(file));
    }
  }
  EXPECT_TRUE(fs::is_directory(device / "Folder"));
  EXPECT_FALSE(fs::exists(device.root().parent_path() / "escape"));
  const auto opens = device.Events("create_file");
  ASSERT_EQ(opens.size(), std::size(cases));
  EXPECT_EQ(opens[0]["path"], "\\data\\old.bin");
  EXPECT_EQ(opens[0]["access"], "read");
  EXPECT_EQ(opens[0]["ok"], "true");
  EXPECT_EQ(opens[2]["access"], "write");
  EXPECT_EQ(opens[2]["ok"], "false");
  EXPECT_EQ(device.Events("close_file").size(), 1u);
}

TEST(FileTest, CreateAlwaysReplacesTheFileOfAnotherCaseAndTakesTheGivenCase) {
  Device device;
  WriteText(device / "VXUpdate.DLL", "old contents");
  const platform::Handle file = platform::CreateFile(u"\\VXUpdate.dll", platform::kGenericWrite, 0,
                                                     platform::kCreateAlways, 0);
  ASSERT_NE(file, platform::kInvalidHandle);
  std::uint32_t written = 0;
  const auto bytes = Bytes("new");
  EXPECT_TRUE(platform::WriteFile(file, bytes, &written));
  EXPECT_EQ(written, 3u);
  EXPECT_TRUE(platform::CloseHandle(file));
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(device.root())) {
    names.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(names, std::vector<std::string>{"VXUpdate.dll"});
  EXPECT_EQ(ReadText(device / "VXUpdate.dll"), "new");
}

TEST(FileTest, SetFilePointerTakesASignedDistanceAndAllowsPastTheEnd) {
  Device device;
  WriteText(device / "f.bin", "0123456789");
  const platform::Handle file =
      platform::CreateFile(u"\\f.bin", platform::kGenericRead, 0, platform::kOpenExisting, 0);
  ASSERT_NE(file, platform::kInvalidHandle);
  struct Case {
    std::int32_t distance;
    std::uint32_t method;
    std::uint32_t expected;
  };
  // Each step starts where the one before left the position.
  const Case cases[] = {
      {4, platform::kFileBegin, 4},
      {-2, platform::kFileCurrent, 2},
      {-3, platform::kFileCurrent, platform::kInvalidSetFilePointer},
      {1, platform::kFileCurrent, 3},  // the failed move left the position alone
      {-1, platform::kFileEnd, 9},
      {-11, platform::kFileEnd, platform::kInvalidSetFilePointer},
      {-1, platform::kFileBegin, platform::kInvalidSetFilePointer},
      {5, platform::kFileEnd, 15},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(platform::SetFilePointer(file, c.distance, nullptr, c.method), c.expected)
        << c.distance << " from " << c.method;
  }
  // With a high part the distance is 64 bits wide and the high half comes back.
  struct WideCase {
    std::int32_t low;
    std::int32_t high;
    std::uint32_t expected;
    std::int32_t highAfter;
  };
  const WideCase wide[] = {
      {0, 1, 0, 1},
      {-2, -1, platform::kInvalidSetFilePointer, -1},
      {3, 0, 3, 0},
  };
  for (const auto& c : wide) {
    std::int32_t high = c.high;
    EXPECT_EQ(platform::SetFilePointer(file, c.low, &high, platform::kFileBegin), c.expected);
    EXPECT_EQ(high, c.highAfter);
  }
  EXPECT_EQ(platform::SetFilePointer(file, 12, nullptr, platform::kFileBegin), 12u);
  std::array<std::uint8_t, 4> buffer;
  std::uint32_t got = 99;
  EXPECT_TRUE(platform::ReadFile(file, buffer, &got));
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(platform::GetFileSize(file, nullptr), 10u);
  EXPECT_TRUE(platform::CloseHandle(file));
  EXPECT_FALSE(platform::CloseHandle(file));
  EXPECT_EQ(platform::SetFilePointer(file, 0, nullptr, platform::kFileBegin),
            platform::kInvalidSetFilePointer);
}

TEST(FaultTest, ReadFaultFailsExactlyTheReadThatCoversTheOffset) {
  Device device({{"VXU_FAULTS", "read:\\STORAGE CARD\\\\pkg.bin@10"}});
  WriteText(device / "Storage Card/pkg.bin", std::string(16, 'a'));
  const platform::Handle file = platform::CreateFile(
      u"\\Storage Card\\pkg.bin", platform::kGenericRead, 0, platform::kOpenExisting, 0);
  ASSERT_NE(file, platform::kInvalidHandle);
  struct Case {
    std::size_t size;
    bool ok;
    std::uint32_t read;
    std::uint32_t positionAfter;
  };
  const Case cases[] = {
      {10, true, 10, 10},  // bytes 0..9: stops short of the offset
      {4, false, 0, 10},   // would deliver byte 10: fails, position unchanged
      {1, false, 0, 10},
  };
  for (const auto& c : cases) {
    std::vector<std::uint8_t> buffer(c.size);
    std::uint32_t got = 77;
    EXPECT_EQ(platform::ReadFile(file, buffer, &got), c.ok) << c.size;
    EXPECT_EQ(got, c.read) << c.size;
    EXPECT_EQ(platform::SetFilePointer(file, 0, nullptr, platform::kFileCurrent), c.positionAfter);
  }
  platform::SetFilePointer(file, 11, nullptr, platform::kFileBegin);
  std::vector<std::uint8_t> rest(10);
  std::uint32_t got = 0;
  EXPECT_TRUE(platform::ReadFile(file, rest, &got));
  EXPECT_EQ(got, 5u);
  platform::CloseHandle(file);
}

TEST(FaultTest, WriteFaultShortensWritesAndOpenAllocFaultsFail) {
  Device device({{"VXU_FAULTS", "write:\\out.bin@5;open:\\locked.bin;alloc:100"}});
  WriteText(device / "locked.bin", "x");
  const platform::Handle file =
      platform::CreateFile(u"\\OUT.bin", platform::kGenericWrite, 0, platform::kCreateAlways, 0);
  ASSERT_NE(file, platform::kInvalidHandle);
  const auto bytes = Bytes("abc");
  struct Case {
    std::uint32_t written;
  };
  const Case cases[] = {{3}, {2}, {0}};
  for (const auto& c : cases) {
    std::uint32_t written = 99;
    EXPECT_TRUE(platform::WriteFile(file, bytes, &written));
    EXPECT_EQ(written, c.written);
  }
  platform::CloseHandle(file);
  EXPECT_EQ(ReadText(device / "OUT.bin"), "abcab");
  for (auto access : {platform::kGenericRead, platform::kGenericWrite}) {
    EXPECT_EQ(platform::CreateFile(u"\\Locked.bin", access, 0, platform::kOpenExisting, 0),
              platform::kInvalidHandle);
  }
  void* small = platform::Malloc(100);
  EXPECT_NE(small, nullptr);
  platform::Free(small);
  EXPECT_EQ(platform::Malloc(101), nullptr);
}

TEST(FaultTest, UnknownFaultWordGivesOneDebugLineAndIsIgnored) {
  Device device({{"VXU_FAULTS", "alloc:10;explode;alloc:x;thread"}});
  EXPECT_EQ(platform::Malloc(11), nullptr);
  EXPECT_EQ(platform::CreateThread(
                0, [](void*) -> std::uint32_t { return 0; }, nullptr, 0),
            platform::kNullHandle);
  const auto lines = device.Events("debug");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0]["text"].find("\"explode\""), std::string::npos);
  EXPECT_NE(lines[1]["text"].find("\"alloc:x\""), std::string::npos);
  EXPECT_EQ(lines[0]["text"].rfind("platform: ", 0), 0u);
}

TEST(LibraryTest, EntriesComeOnlyFromTheLibraryItself) {
  Device device;
  fs::create_directories(device / "Windows");
  fs::copy_file(VXU_ZLIB_USER, device / "Windows/vx_bsp_api.dll");
  fs::copy_file(VXU_HOST_ZLIB, device / "Windows/zlib.dll");
  struct Case {
    std::u16string library;
    std::u16string entry;
    bool found;
  };
  const Case cases[] = {
      {u"vx_bsp_api.dll", u"OwnEntry", true},
      {u"VX_BSP_API.DLL", u"crc32", false},
      {u"\\Windows\\vx_bsp_api.dll", u"Checksum", true},
      {u"vx_bsp_api.dll", u"malloc", false},
      {u"zlib.dll", u"crc32", true},
      {u"zlib.dll", u"OwnEntry", false},
  };
  for (const auto& c : cases) {
    const platform::Module module = platform::LoadLibrary(c.library);
    ASSERT_NE(module, platform::kNullModule) << platform::ToUtf8(c.library);
    EXPECT_EQ(platform::GetProcAddress(module, c.entry) != nullptr, c.found)
        << platform::ToUtf8(c.entry);
    EXPECT_TRUE(platform::FreeLibrary(module));
  }
  EXPECT_EQ(platform::LoadLibrary(u"missing.dll"), platform::kNullModule);
  const platform::Module own = platform::LoadLibrary(u"vx_bsp_api.dll");
  auto entry = reinterpret_cast<std::int32_t (*)()>(platform::GetProcAddress(own, u"OwnEntry"));
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry(), 42);
  platform::FreeLibrary(own);
  const auto loads = device.Events("load_library");
  ASSERT_EQ(loads.size(), std::size(cases) + 2);
  EXPECT_EQ(loads[1]["name"], "VX_BSP_API.DLL");
  EXPECT_EQ(loads[6]["ok"], "false");
  EXPECT_EQ(device.Events("free_library").size(), std::size(cases) + 1);
  EXPECT_TRUE(device.Events("debug").empty());
}

TEST(MessageBoxTest, AnswersComeFromTheListInOrder) {
  Device device({{"VXU_MSGBOX_ANSWERS", "yes,no,none,maybe"}});
  const std::uint32_t question = platform::kMbYesNo | platform::kMbIconQuestion;
  struct Case {
    std::uint32_t flags;
    std::int32_t answer;
  };
  const Case cases[] = {
      {question, platform::kIdYes},
      {platform::kMbOk, platform::kIdOk},  // takes no entry
      {question, platform::kIdNo},
      {question, 0},
      {question, 0},  // an unknown word counts as none
  };
  for (const auto& c : cases) {
    EXPECT_EQ(platform::MessageBox(u"Proceed?\r\nReally", u"Software Updater", c.flags), c.answer);
  }
  const auto boxes = device.Events("msgbox");
  ASSERT_EQ(boxes.size(), std::size(cases));
  EXPECT_EQ(boxes[0].raw.substr(boxes[0].raw.find(",\"caption\"")),
            ",\"caption\":\"Software Updater\",\"text\":\"Proceed?\\r\\nReally\",\"flags\":36,"
            "\"answer\":6}");
  EXPECT_EQ(boxes[1]["answer"], "1");
  EXPECT_EQ(device.Events("debug").size(), 1u);
}

TEST(TraceTest, LinesAreExactJsonWithEscapes) {
  Device device;
  platform::TraceEvent("custom")
      .Str("s", std::string_view("q\"b\\n\n\t\x01"))
      .Str("u", std::u16string_view(u"\u00e9"))
      .Num("n", -3)
      .Bool("b", false)
      .Null("z")
      .Emit();
  const auto lines = ReadTrace(device.tracePath());
  ASSERT_EQ(lines.size(), 1u);
  const std::string& raw = lines[0].raw;
  EXPECT_EQ(raw.rfind("{\"ev\":\"custom\",\"pid\":", 0), 0u);
  EXPECT_EQ(raw.substr(raw.find(",\"s\"")),
            ",\"s\":\"q\\\"b\\\\n\\n\\t\\u0001\",\"u\":\"\xc3\xa9\",\"n\":-3,\"b\":false,"
            "\"z\":null}");
}

TEST(TraceTest, TwoWritersLeaveOnlyWholeLines) {
  TempDir dir;
  const fs::path trace = dir / "trace";
  const std::string helper = VXU_PLATFORM_HELPER;
  const std::string both = "'" + helper + "' trace 300 & '" + helper + "' trace 300; wait";
  const auto result = testing_support::Run("bash", {"-c", both}, {{"VXU_TRACE", trace.string()}});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  const auto lines = ReadTrace(trace);
  EXPECT_EQ(lines.size(), 600u);
  for (const auto& line : lines) {
    EXPECT_EQ(line.ev(), "tick");
    EXPECT_EQ(line["pad"].size(), 3000u);
  }
}

TEST(TraceTest, UnwritableTraceGivesOneDebugLineAndTheRunGoesOn) {
  TempDir dir;
  const auto result = testing_support::Run(
      VXU_PLATFORM_HELPER, {"print"},
      {{"VXU_TRACE", (dir / "no/such/trace").string()}, {"VXU_DEVICE_ROOT", dir.path().string()}});
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.out, "abc|\xc3\xa9t\xc3\xa9|-5|7|%|%x\n");
  EXPECT_EQ(result.err.substr(0, 10), "platform: ");
  EXPECT_EQ(result.err.substr(result.err.find("\r\n") + 2), "line \xc3\xa9\r\n");
}

TEST(ProcessTest, ExitProcessRecordsTheCodeAndEnds) {
  TempDir dir;
  const auto result = testing_support::Run(VXU_PLATFORM_HELPER, {"exit", "-1"},
                                           {{"VXU_TRACE", (dir / "trace").string()}});
  EXPECT_EQ(result.exitCode, 255);
  const auto exits = EventsOf(ReadTrace(dir / "trace"), "exit");
  ASSERT_EQ(exits.size(), 1u);
  EXPECT_EQ(exits[0]["code"], "-1");
}

TEST(ProcessTest, CreateProcessStartsTheDeviceProgramWithItsArguments) {
  TempDir root;
  fs::create_directories(root / "Storage Card");
  fs::copy_file(VXU_PLATFORM_HELPER, root / "Storage Card/VXUpdater.exe");
  struct Case {
    std::vector<std::string> args;
    std::string env;
    std::string out;
  };
  const Case cases[] = {
      {{"start", "\\storage card\\vxupdater.exe", "args  one two"},
       "",
       "<args>\n<one>\n<two>\nstarted\n"},
      {{"start", "\\Storage Card\\missing.exe"}, "", "failed\n"},
      {{"start", "\\Storage Card\\VXUpdater.exe", "args"}, "process", "failed\n"},
  };
  for (const auto& c : cases) {
    const auto result = testing_support::Run(VXU_PLATFORM_HELPER, c.args,
                                             {{"VXU_DEVICE_ROOT", root.path().string()},
                                              {"VXU_TRACE", (root / "trace").string()},
                                              {"VXU_FAULTS", c.env}});
    // The two programs run side by side, so their lines may come in either order.
    EXPECT_EQ(SortedLines(result.out), c.out) << c.args[1];
  }
  const auto starts = EventsOf(ReadTrace(root / "trace"), "create_process");
  ASSERT_EQ(starts.size(), 3u);
  EXPECT_EQ(starts[0]["cmdline"], "args  one two");
  EXPECT_EQ(starts[1]["cmdline"], "null");
  EXPECT_EQ(starts[0]["ok"], "true");
  EXPECT_EQ(starts[2]["ok"], "false");
}

TEST(ProcessTest, IsRunningProgramKnowsOnlyTheFileThisProcessRunsFrom) {
  TempDir root;
  ScopedEnv env({{"VXU_DEVICE_ROOT", root.path().string()}});
  const fs::path self = fs::read_symlink("/proc/self/exe");
  fs::create_directories(root / "Storage Card");
  fs::create_symlink(self, root / "Storage Card/Self.exe");
  fs::copy_file(self, root / "Storage Card/Copy.exe");
  const std::pair<std::u16string, bool> cases[] = {
      {u"\\storage card\\self.exe", true},
      {u"\\Storage Card\\Copy.exe", false},
      {u"\\Storage Card\\Missing.exe", false},
      {u"\\Storage Card\\..\\Self.exe", false},
  };
  for (const auto& [path, expected] : cases) {
    EXPECT_EQ(platform::IsRunningProgram(path), expected) << platform::ToUtf8(path);
  }
}

TEST(EventTest, NamedEventsExistOnlyWhenCreatedOrOfThePowerManager) {
  struct Case {
    std::optional<std::string> powerManager;
    bool powerEventExists;
  };
  const Case cases[] = {{std::nullopt, true}, {"present", true}, {"absent", false}};
  for (const auto& c : cases) {
    Device device({{"VXU_POWER_MANAGER", c.powerManager}});
    const platform::Handle power = platform::OpenEvent(platform::kEventAllAccess, false,
                                                       u"PowerManager/ReloadActivityTimeouts");
    EXPECT_EQ(power != platform::kNullHandle, c.powerEventExists);
    if (power != platform::kNullHandle) {
      EXPECT_TRUE(platform::SetEvent(power));
      EXPECT_TRUE(platform::CloseHandle(power));
    }
    EXPECT_EQ(platform::OpenEvent(platform::kEventAllAccess, false, u"Mine"),
              platform::kNullHandle);
    const platform::Handle mine = platform::CreateEvent(false, false, u"Mine");
    ASSERT_NE(mine, platform::kNullHandle);
    const platform::Handle again = platform::OpenEvent(platform::kEventAllAccess, false, u"Mine");
    EXPECT_NE(again, platform::kNullHandle);
    EXPECT_TRUE(platform::CloseHandle(again));
    EXPECT_TRUE(platform::CloseHandle(mine));
    EXPECT_EQ(platform::OpenEvent(platform::kEventAllAccess, false, u"Mine"),
              platform::kNullHandle);
    EXPECT_FALSE(platform::SetEvent(mine));
    EXPECT_EQ(device.Events("set_event").size(), c.powerEventExists ? 1u : 0u);
    EXPECT_EQ(device.Events("open_event").size(), 4u);
    EXPECT_EQ(device.Events("close_event").size(), c.powerEventExists ? 3u : 2u);
  }
}

TEST(ThreadTest, ExitCodeIsStillActiveUntilTheEntryReturns) {
  Device device;
  static std::atomic<bool> release{false};
  static std::uint32_t code17 = 17;
  release = false;
  const platform::Handle thread = platform::CreateThread(
      0,
      [](void* parameter) -> std::uint32_t {
        while (!release.load()) std::this_thread::yield();
        return *static_cast<std::uint32_t*>(parameter);
      },
      &code17, 0);
  ASSERT_NE(thread, platform::kNullHandle);
  std::uint32_t code = 0;
  EXPECT_TRUE(platform::GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, platform::kStillActive);
  release = true;
  while (platform::GetExitCodeThread(thread, &code) && code == platform::kStillActive) {
    std::this_thread::yield();
  }
  EXPECT_EQ(code, 17u);
  EXPECT_TRUE(platform::CloseHandle(thread));
  EXPECT_FALSE(platform::GetExitCodeThread(thread, &code));
  const auto starts = device.Events("create_thread");
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0]["ok"], "true");
}

TEST(ThreadTest, KeepAliveCallsRaceNeitherFileCallsNorReconfigure) {
  Device device;
  WriteText(device / "f.bin", "data");
  static std::atomic<int> failures{0};
  failures = 0;
  const platform::Handle thread = platform::CreateThread(
      0,
      [](void*) -> std::uint32_t {
        for (int i = 0; i < 200; ++i) {
          platform::Sleep(5000);
          const platform::Handle event = platform::OpenEvent(
              platform::kEventAllAccess, false, u"PowerManager/ReloadActivityTimeouts");
          if (event == platform::kNullHandle || !platform::SetEvent(event) ||
              !platform::CloseHandle(event)) {
            ++failures;
          }
        }
        return 0;
      },
      nullptr, 0);
  ASSERT_NE(thread, platform::kNullHandle);
  std::uint32_t code = platform::kStillActive;
  for (int round = 0; code == platform::kStillActive; ++round) {
    const platform::Handle file =
        platform::CreateFile(u"\\F.BIN", platform::kGenericRead, 0, platform::kOpenExisting, 0);
    EXPECT_NE(file, platform::kInvalidHandle);
    platform::CloseHandle(file);
    // The knobs stay the same, so a fresh reading changes nothing the thread relies on.
    if (round % 8 == 0) platform::Reconfigure();
    ASSERT_TRUE(platform::GetExitCodeThread(thread, &code));
  }
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(failures.load(), 0);
  platform::CloseHandle(thread);
}

TEST(PowerTest, AcLineFollowsTheKnob) {
  struct Case {
    std::optional<std::string> knob;
    std::uint32_t filled;
    std::uint8_t acLine;
    std::string traced;
  };
  const Case cases[] = {
      {std::nullopt, 56, platform::kAcLineOnline, "1"},
      {"offline", 56, platform::kAcLineOffline, "0"},
      {"unknown", 56, platform::kAcLineUnknown, "255"},
      {"fail", 0, 0xEE, "null"},
  };
  for (const auto& c : cases) {
    Device device({{"VXU_AC_LINE", c.knob}});
    std::array<std::uint8_t, platform::kPowerStatusSize> status;
    status.fill(0xEE);
    EXPECT_EQ(platform::GetSystemPowerStatusEx2(status, true), c.filled);
    EXPECT_EQ(status[0], c.acLine);
    if (c.filled != 0) {
      EXPECT_EQ(status[55], 0);
    }
    const auto events = device.Events("power_status");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]["ac_line"], c.traced);
  }
}

TEST(SleepTest, RecordsTheRequestedTimeAndRejectsABadScale) {
  struct Case {
    std::string scale;
    std::uint32_t ms;
    std::size_t debugLines;
  };
  // With a bad scale the factor is 1, so that case asks for no time at all.
  const Case cases[] = {{"0", 5000, 0}, {"0.0000001", 100, 0}, {"fast", 0, 1}};
  for (const auto& c : cases) {
    Device device({{"VXU_TIME_SCALE", c.scale}});
    platform::Sleep(c.ms);
    const auto sleeps = device.Events("sleep");
    ASSERT_EQ(sleeps.size(), 1u);
    EXPECT_EQ(sleeps[0]["ms"], std::to_string(c.ms));
    EXPECT_EQ(device.Events("debug").size(), c.debugLines) << c.scale;
  }
}

TEST(DisplayTest, PowerEscapeIsRecordedAndShownOnASimulatedDevice) {
  Device device;
  fs::create_directories(device / ".hardware");
  const platform::Hdc dc = platform::GetDC();
  ASSERT_NE(dc, platform::kNullHdc);
  struct Case {
    std::int32_t inSize;
    std::string shown;
  };
  const Case cases[] = {{0, "off\n"}, {1, "on\n"}};
  for (const auto& c : cases) {
    const std::uint8_t input = 0;
    EXPECT_EQ(platform::ExtEscape(dc, 100014, c.inSize, &input, 0, nullptr), 0);
    EXPECT_EQ(ReadText(device / ".hardware/display"), c.shown);
  }
  EXPECT_EQ(platform::ReleaseDC(dc), 1);
  const auto escapes = device.Events("escape");
  ASSERT_EQ(escapes.size(), 2u);
  EXPECT_EQ(escapes[1]["in_size"], "1");
}

TEST(CommandLineTest, JoinsArgumentsAfterTheProgramName) {
  char program[] = "vxupdater";
  char first[] = "-c";
  char second[] = "\xc3\xa9";
  char* argv[] = {program, first, second, nullptr};
  EXPECT_EQ(platform::CommandLineFromArguments(3, argv), u"-c \u00e9");
  EXPECT_EQ(platform::CommandLineFromArguments(1, argv), u"");
}

}  // namespace
