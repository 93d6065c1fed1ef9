// The hand-off to VXUpdater.exe beside the package, judged by its updater label.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <optional>
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

constexpr char16_t kPackagePath[] = u"\\Storage Card\\VXUpdate.bin";

// An executable-like file with a label whose CRC field holds `crc`.
std::vector<std::uint8_t> WithLabel(std::uint32_t crc, std::size_t before = 64,
                                    std::size_t after = 64) {
  std::vector<std::uint8_t> bytes(before, 0x5A);
  const std::string marker = "VXUPDLABEL";
  bytes.insert(bytes.end(), marker.begin(), marker.end());
  bytes.insert(bytes.end(), {0, 0});
  for (int k = 0; k < 4; ++k) bytes.push_back(static_cast<std::uint8_t>(crc >> (8 * k)));
  const std::string reversed(marker.rbegin(), marker.rend());
  bytes.insert(bytes.end(), reversed.begin(), reversed.end());
  bytes.insert(bytes.end(), {0, 0});
  bytes.insert(bytes.end(), after, 0xA5);
  return bytes;
}

class HandOff : public ::testing::Test {
 protected:
  TempDir device;
  TempDir scratch;
  // Starting the files written here would fail anyway; the fault keeps the host from
  // trying, while the trace still records the attempt.
  ScopedEnv env{{"VXU_DEVICE_ROOT", device.path().string()},
                {"VXU_TRACE", (scratch / "trace.jsonl").string()},
                {"VXU_FAULTS", "process"}};

  void InstallZlib() {
    std::filesystem::create_directories(device / "Windows");
    std::filesystem::copy_file(VXU_HOST_ZLIB, device / "Windows/zlib.dll");
  }
  // A fresh trace (and device folder) for the next case; the platform must see both anew.
  void Restart() {
    std::filesystem::remove(scratch / "trace.jsonl");
    platform::Reconfigure();
  }
  std::vector<testing_support::TraceLine> Trace() const {
    return std::filesystem::exists(scratch / "trace.jsonl")
               ? ReadTrace(scratch / "trace.jsonl")
               : std::vector<testing_support::TraceLine>{};
  }
};

TEST_F(HandOff, DecidesByLabelAndContents) {
  // The running test program carries an unstamped label: its CRC is 0.
  ASSERT_EQ(control::OwnLabelCrc(), 0u);
  struct Case {
    const char* name;
    std::optional<std::vector<std::uint8_t>> updater;  // none: no VXUpdater.exe
    bool zlib;
    std::int32_t expected;
    bool computesCrc;  // zlib.dll is bound for the CRC of the file
  };
  const std::vector<Case> cases = {
      {"no updater", std::nullopt, true, 0, false},
      {"empty file", std::vector<std::uint8_t>{}, true, 1, false},
      {"no label", std::vector<std::uint8_t>(300, 0x56), true, 1, false},
      {"other label CRC", WithLabel(0x12345678), true, 1, false},
      {"same label CRC, other contents", WithLabel(0), true, 1, true},
      {"same label CRC at offset 0, other contents", WithLabel(0, 0), true, 1, true},
      {"same label CRC, no zlib", WithLabel(0), false, 0, false},
      {"other label CRC, no zlib", WithLabel(7), false, 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(device.path());
    std::filesystem::create_directories(device.path());
    if (c.zlib) InstallZlib();
    if (c.updater) WriteBytes(device / "Storage Card/VXUpdater.exe", *c.updater);
    Restart();

    EXPECT_EQ(control::HandOffToUpdater(kPackagePath), c.expected);

    const auto trace = Trace();
    const auto starts = EventsOf(trace, "create_process");
    ASSERT_EQ(starts.size(), static_cast<std::size_t>(c.expected));
    if (c.expected == 1) {
      EXPECT_EQ(starts[0]["app"], "\\Storage Card\\\\VXUpdater.exe");
      EXPECT_EQ(starts[0]["cmdline"], "null");
      EXPECT_EQ(starts[0]["flags"], std::to_string(0x20010));
    }
    // The updater file is closed and zlib.dll released on every road.
    const auto opened = EventsOf(trace, "create_file");
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(EventsOf(trace, "close_file").size(), opened[0]["ok"] == "true" ? 1u : 0u);
    const auto loads = EventsOf(trace, "load_library");
    const auto loaded = std::count_if(loads.begin(), loads.end(),
                                      [](const auto& load) { return load["ok"] == "true"; });
    EXPECT_EQ(static_cast<std::size_t>(loaded), EventsOf(trace, "free_library").size());
    EXPECT_EQ(loaded != 0, c.computesCrc);
  }
}

TEST_F(HandOff, UpdaterPathEndsAtFirstPackageName) {
  WriteBytes(device / "VXUpdate.bin.d/VXUpdater.exe", {});
  EXPECT_EQ(control::HandOffToUpdater(u"\\VXUpdate.bin.d\\VXUpdate.bin"), 0);
  const auto opened = EventsOf(Trace(), "create_file");
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0]["path"], "\\\\VXUpdater.exe");
}

TEST_F(HandOff, FolderTooLongForUpdaterPathGoesOn) {
  struct Case {
    std::size_t folder;  // characters before "VXUpdate.bin", backslashes included
    std::int32_t expected;
  };
  for (const Case c : {Case{105, 1}, Case{106, 0}, Case{107, 0}}) {
    SCOPED_TRACE(c.folder);
    Restart();
    const std::string name(c.folder - 2, 'h');
    WriteBytes(device / name / "VXUpdater.exe", {});
    const std::u16string path =
        u"\\" + std::u16string(name.begin(), name.end()) + u"\\VXUpdate.bin";
    EXPECT_EQ(control::HandOffToUpdater(path.c_str()), c.expected);
    EXPECT_EQ(EventsOf(Trace(), "create_process").size(), static_cast<std::size_t>(c.expected));
  }
}

TEST_F(HandOff, StartFailureStillEndsThisRun) {
  WriteBytes(device / "Storage Card/VXUpdater.exe", WithLabel(1));
  EXPECT_EQ(control::HandOffToUpdater(kPackagePath), 1);
  const auto starts = EventsOf(Trace(), "create_process");
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0]["ok"], "false");
}

TEST_F(HandOff, UnreadableUpdaterGoesOn) {
  WriteBytes(device / "Storage Card/VXUpdater.exe", WithLabel(1, 4096, 4096));
  struct Case {
    const char* name;
    const char* faults;
  };
  for (const Case c : {Case{"read fails", "process;read:\\Storage Card\\VXUpdater.exe@100"},
                       Case{"no memory", "process;alloc:1000"}}) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(scratch / "trace.jsonl");
    ScopedEnv faults{{"VXU_FAULTS", c.faults}};
    EXPECT_EQ(control::HandOffToUpdater(kPackagePath), 0);
    EXPECT_TRUE(EventsOf(Trace(), "create_process").empty());
    EXPECT_EQ(EventsOf(Trace(), "close_file").size(), 1u);
  }
}

}  // namespace
