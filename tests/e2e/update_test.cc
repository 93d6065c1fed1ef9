// Whole updates on simulated devices: which images are checked, formatted, written and
// verified, how the run ends, and what the device holds afterwards.
#include <functional>

#include "tests/e2e/e2e_device.h"

namespace e2e {
namespace {

namespace ts = testing_support;

enum class End { kHardwareReset, kNotNeeded };

struct UpdateCase {
  const char* name;
  const char* boot;
  Options options;
  std::vector<Device::PackagedImage> images;
  std::function<void(Device&)> before;  // after the package is built
  std::string steps;                    // console text between the lock-down and the end
  End end;
  bool winceWritten;
};

std::string RunTranscript(const Options& options, const std::string& steps, End end) {
  std::string text = Banner(options) + CheckBinary(false, kBinaryOk) + Power() + Lock() + steps;
  if (end == End::kHardwareReset) return text + HardwareReset();
  return text + Unlock() + ">bye";
}

// Flips one byte in the body of the stored image, behind its 512-byte header.
void DamageFlash(Device& device, std::string_view type) {
  std::vector<std::uint8_t> bytes = ts::ReadBytes(device.FlashFile(type));
  ASSERT_GT(bytes.size(), 600u);
  bytes[600] ^= 0x01;
  ts::WriteBytes(device.FlashFile(type), bytes);
}

void ExpectEnd(const UpdaterRun& run, End end) {
  const std::string& pid = run.firstPid;
  if (end == End::kHardwareReset) {
    EXPECT_EQ(run.exitCode, 100);
    EXPECT_EQ(ExitEvent(run, pid), "") << "the reset ends the process";
    EXPECT_EQ(DeviceCalls(run, "CPU_Reset", pid), std::vector<std::string>{"VXUpdate.dll:1"});
    EXPECT_EQ(Boxes(run, pid), std::vector<std::string>{ConfirmationBox(6)});
    // Nothing is released before the reset: the package stays open, the device stays
    // locked and the keep-alive is not stopped.
    EXPECT_EQ(FilesLeftOpen(run, pid), std::vector<std::string>{kPackagePath});
    EXPECT_EQ(Escapes(run, pid), std::vector<std::string>{"0"});
    for (const auto& line : EventsOf(run, "close_event", pid)) {
      EXPECT_NE(line["name"], "PowerManager/ReloadActivityTimeouts") << "keep-alive stopped";
    }
    const auto greens = DeviceCalls(run, "GreenLed", pid);
    ASSERT_GE(greens.size(), 5u);
    EXPECT_EQ(std::vector<std::string>(greens.end() - 5, greens.end()),
              (std::vector<std::string>{"VXUpdate.dll:1", "VXUpdate.dll:0", "VXUpdate.dll:1",
                                        "VXUpdate.dll:0", "VXUpdate.dll:1"}));
  } else {
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(ExitEvent(run, pid), "0");
    EXPECT_TRUE(DeviceCalls(run, "CPU_Reset", pid).empty());
    EXPECT_EQ(Boxes(run, pid), (std::vector<std::string>{ConfirmationBox(6), NotNeededBox()}));
    EXPECT_TRUE(FilesLeftOpen(run, pid).empty());
    EXPECT_EQ(Escapes(run, pid), (std::vector<std::string>{"0", "1"}));
    // The keyboard is disabled by the engine and enabled by the board support library,
    // which the clean-up binds again once the engine is unbound.
    EXPECT_EQ(DeviceCalls(run, "SetEnableKeyboard", pid),
              (std::vector<std::string>{"VXUpdate.dll:0", "vx_bsp_api.dll:1"}));
    EXPECT_EQ(DeviceCalls(run, "VXUpdate_GuaranteeExclusiveAccess", pid),
              (std::vector<std::string>{"VXUpdate.dll:1", "vx_bsp_api.dll:0"}));
  }
}

TEST(E2eUpdate, ImagesAreCheckedWrittenAndVerifiedAsTheOptionsSay) {
  Options defaults;
  Options noFullVerify;
  noFullVerify.FullVerify = 0;
  Options force;
  force.ForceFullUpgrade = 1;
  Options verifyAfterWrite;
  verifyAfterWrite.VerifyAfterWrite = 1;
  Options noCrc;
  noCrc.CheckCRC = 0;
  const std::vector<Device::PackagedImage> docSame = {
      {"SPL", ""}, {"IPL", ""}, {"Bootloader", ""}, {"WinCE", ""}};
  const std::vector<Device::PackagedImage> docNewWince = {
      {"SPL", ""}, {"IPL", ""}, {"Bootloader", ""}, {"WinCE", "2.0"}};
  const std::string docChecked = UpToDate("SPL") + UpToDate("IPL") + UpToDate("Bootloader");
  const std::vector<std::string> docChain = {"SPL", "IPL", "Bootloader", "WinCE"};
  const std::vector<UpdateCase> cases = {
      {"every image up to date: no verify pass, not needed", "doc", defaults, docSame, nullptr,
       docChecked + UpToDate("WinCE"), End::kNotNeeded, false},
      {"WinCE newer with FullVerify", "doc", defaults, docNewWince, nullptr,
       docChecked + NeedsUpgrade("WinCE") + Written("WinCE") + VerifyPass(docChain),
       End::kHardwareReset, true},
      {"WinCE newer without FullVerify", "doc", noFullVerify, docNewWince, nullptr,
       docChecked + NeedsUpgrade("WinCE") + Written("WinCE"), End::kHardwareReset, true},
      {"ForceFullUpgrade formats and writes every image of a Miniboot device",
       "miniboot",
       force,
       {{"Miniboot", ""}, {"Bootloader", ""}, {"WinCE", ""}},
       nullptr,
       Written("Miniboot", true) + Written("Bootloader") + Written("WinCE") +
           VerifyPass({"Miniboot", "Bootloader", "WinCE"}),
       End::kHardwareReset,
       true},
      {"VerifyAfterWrite verifies the written image at once",
       "doc",
       verifyAfterWrite,
       {{"SPL", ""}, {"IPL", ""}, {"Bootloader", "2.0"}, {"WinCE", ""}},
       nullptr,
       UpToDate("SPL") + UpToDate("IPL") + NeedsUpgrade("Bootloader") + Written("Bootloader") +
           VerifyLine("Bootloader") + UpToDate("WinCE") + VerifyPass(docChain),
       End::kHardwareReset,
       false},
      {"mobile package on a DOC device",
       "doc",
       defaults,
       {{"SPL", ""},
        {"IPL", ""},
        {"Bootloader", ""},
        {"Mobile IPL", "2.0"},
        {"Mobile Disk Image", "2.0"}},
       nullptr,
       docChecked + NeedsUpgrade("Mobile IPL") + Written("Mobile IPL") +
           NeedsUpgrade("Mobile Disk Image") + Written("Mobile Disk Image") +
           VerifyPass({"SPL", "IPL", "Bootloader", "Mobile IPL", "Mobile Disk Image"}),
       End::kHardwareReset,
       false},
      // Formatting erases the whole flash, so every later image must be written too.
      {"newer Miniboot formats the flash of a Miniboot device",
       "miniboot",
       defaults,
       {{"Miniboot", "2.0"}, {"Bootloader", ""}, {"WinCE", ""}},
       nullptr,
       NeedsUpgrade("Miniboot") + Written("Miniboot", true) + NeedsUpgrade("Bootloader") +
           Written("Bootloader") + NeedsUpgrade("WinCE") + Written("WinCE") +
           VerifyPass({"Miniboot", "Bootloader", "WinCE"}),
       End::kHardwareReset,
       true},
      {"damaged flash copy is written again with CheckCRC", "doc", defaults, docSame,
       [](Device& d) { DamageFlash(d, "WinCE"); },
       docChecked + NeedsUpgrade("WinCE") + Written("WinCE") + VerifyPass(docChain),
       End::kHardwareReset, true},
      {"damaged flash copy goes unnoticed without CheckCRC", "doc", noCrc, docSame,
       [](Device& d) { DamageFlash(d, "WinCE"); }, docChecked + UpToDate("WinCE"), End::kNotNeeded,
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Device device(c.boot);
    device.SetOptions(c.options);
    const auto images = device.BuildPackageOf(c.images);
    if (c.before) c.before(device);
    const auto flashBefore = device.Flash();
    const UpdaterRun run = device.Run({}, "yes", {});
    EXPECT_EQ(run.out, RunTranscript(c.options, c.steps, c.end));
    ExpectEnd(run, c.end);
    if (c.end == End::kNotNeeded) {
      EXPECT_EQ(device.Flash(), flashBefore);
    } else {
      // After a verified update the flash holds every image of the package.
      for (const auto& [type, file] : images) {
        EXPECT_EQ(ts::ReadBytes(device.FlashFile(type)), ts::ReadBytes(file)) << type;
      }
    }
    // The data store item is set after a WinCE image was written, and only then.
    const std::vector<std::string> gd =
        c.winceWritten ? std::vector<std::string>{"VXUpdate.dll:28"} : std::vector<std::string>{};
    EXPECT_EQ(DeviceCalls(run, "GD_setULong", run.firstPid), gd);
    EXPECT_EQ(DeviceCalls(run, "GD_store", run.firstPid).size(), gd.size());
  }
}

// The status lights of a run that writes and verifies, in order.
TEST(E2eUpdate, StatusLightsFollowThePhasesOfTheRun) {
  Device device;
  device.BuildPackageOf({{"SPL", ""}, {"IPL", ""}, {"Bootloader", ""}, {"WinCE", "2.0"}});
  const UpdaterRun run = device.Run({}, "yes", {});
  ASSERT_EQ(run.exitCode, 100) << run.out;
  std::vector<std::string> lights;
  for (const auto& line : EventsOf(run, "device", run.firstPid)) {
    if (line["call"] == "GreenLed" || line["call"] == "RedLed") {
      lights.push_back(line["call"].substr(0, 1) + line["arg"]);
    }
  }
  EXPECT_EQ(lights, (std::vector<std::string>{"G0", "R0", "R1", "R0", "G1", "R1", "G0", "R0", "G1",
                                              "G0", "G1", "G0", "G1"}));
}

TEST(E2eUpdate, SecondRunOfTheSamePackageFindsEverythingUpToDate) {
  Device device;
  device.BuildPackageOf({{"SPL", ""}, {"IPL", ""}, {"Bootloader", "2.0"}, {"WinCE", "2.0"}});
  const UpdaterRun first = device.Run({}, "yes", {});
  ASSERT_EQ(first.exitCode, 100) << first.out;
  const UpdaterRun second = device.Run({}, "yes", {});
  const Options defaults;
  EXPECT_EQ(second.out, RunTranscript(defaults,
                                      UpToDate("SPL") + UpToDate("IPL") + UpToDate("Bootloader") +
                                          UpToDate("WinCE"),
                                      End::kNotNeeded));
  ExpectEnd(second, End::kNotNeeded);
}

TEST(E2eUpdate, PowerLossDuringAWriteLeavesAnImageTheNextRunWritesAgain) {
  Device device;
  device.BuildPackageOf({{"SPL", ""}, {"IPL", ""}, {"Bootloader", ""}, {"WinCE", "2.0"}});
  const UpdaterRun crashed = device.Run({}, "yes", {{"VXSIM_CRASH_AFTER_BYTES", "2000"}});
  EXPECT_EQ(crashed.exitCode, 102);
  const Options defaults;
  const std::string before = Banner(defaults) + CheckBinary(false, kBinaryOk) + Power() + Lock() +
                             UpToDate("SPL") + UpToDate("IPL") + UpToDate("Bootloader") +
                             NeedsUpgrade("WinCE") + "Update WinCE";
  EXPECT_EQ(crashed.out, before) << "the power went before the write ended";
  EXPECT_EQ(DeviceCalls(crashed, "power_loss", crashed.firstPid).size(), 1u);
  EXPECT_TRUE(fs::exists(device.FlashFile("WinCE").string() + ".partial"));

  const UpdaterRun again = device.Run({}, "yes", {});
  EXPECT_EQ(again.out, RunTranscript(defaults,
                                     UpToDate("SPL") + UpToDate("IPL") + UpToDate("Bootloader") +
                                         NeedsUpgrade("WinCE") + Written("WinCE") +
                                         VerifyPass({"SPL", "IPL", "Bootloader", "WinCE"}),
                                     End::kHardwareReset));
  ExpectEnd(again, End::kHardwareReset);
}

// The keep-alive runs from the lock-down to the clean-up: the power manager's event is
// opened after the user interface was disabled, signalled only while it is open, and
// closed only after the user interface was enabled again.  (Whether a signal goes out at
// all depends on when the thread first runs, so their number is not asked for.)
TEST(E2eUpdate, KeepAliveSignalsThePowerManagerOnlyBetweenLockAndUnlock) {
  Device device;
  device.BuildPackageOf({{"SPL", ""}, {"IPL", ""}, {"Bootloader", ""}, {"WinCE", ""}});
  const UpdaterRun run = device.Run({}, "yes", {});
  ASSERT_EQ(run.exitCode, 0) << run.out;
  const std::string kEvent = "PowerManager/ReloadActivityTimeouts";
  // The thread runs beside the main flow: it opens the event some time after the lock-down
  // (possibly even after the update pass, when that is quick), and it closes the event only
  // once the stop after the unlock has cleared its flag.  Positions in the trace tell.
  std::vector<std::size_t> escapeOff, escapeOn, opens, closes;
  bool open = false;
  for (std::size_t at = 0; at < run.trace.size(); ++at) {
    const auto& line = run.trace[at];
    if (line["pid"] != run.firstPid) continue;
    if (line.ev() == "escape") (line["in_size"] == "0" ? escapeOff : escapeOn).push_back(at);
    if (line["name"] != kEvent) continue;
    if (line.ev() == "open_event" && line["ok"] == "true") {
      opens.push_back(at);
      open = true;
    }
    if (line.ev() == "set_event") {
      EXPECT_TRUE(open) << "signal while the event is not open";
    }
    if (line.ev() == "close_event") {
      closes.push_back(at);
      open = false;
    }
  }
  EXPECT_EQ(EventsOf(run, "create_thread", run.firstPid).size(), 1u);
  ASSERT_EQ(escapeOff.size(), 1u);
  ASSERT_EQ(escapeOn.size(), 1u);
  ASSERT_EQ(opens.size(), 1u);
  ASSERT_EQ(closes.size(), 1u);
  EXPECT_LT(escapeOff[0], opens[0]) << "the keep-alive starts after the lock-down";
  EXPECT_LT(escapeOn[0], closes[0]) << "the keep-alive stops after the unlock";
  EXPECT_LT(opens[0], closes[0]);
}

// A whole successful update, also run under ThreadSanitizer: the keep-alive thread runs
// beside the main flow from the lock-down to the reset.
TEST(E2eUpdate, TsanUpdateWritesTheNewImageAndResetsTheDevice) {
  Device device;
  device.BuildPackageOf({{"SPL", ""}, {"IPL", ""}, {"Bootloader", ""}, {"WinCE", "2.0"}});
  const UpdaterRun run = device.Run({}, "yes", {});
  const Options defaults;
  EXPECT_EQ(run.out, RunTranscript(defaults,
                                   UpToDate("SPL") + UpToDate("IPL") + UpToDate("Bootloader") +
                                       NeedsUpgrade("WinCE") + Written("WinCE") +
                                       VerifyPass({"SPL", "IPL", "Bootloader", "WinCE"}),
                                   End::kHardwareReset));
  ExpectEnd(run, End::kHardwareReset);
  EXPECT_EQ(run.err.find("ThreadSanitizer"), std::string::npos) << run.err;
}

}  // namespace
}  // namespace e2e
