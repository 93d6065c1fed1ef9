// The fault suite: memory, file, thread and library faults driven from outside through
// the platform's fault knobs and damaged device state.  Every road must tell the truth on
// the console, close what it opened and unlock the device it locked.
#include <functional>

#include "tests/e2e/e2e_device.h"

namespace e2e {
namespace {

namespace ts = testing_support;

const std::vector<Device::PackagedImage> kNewWince = {
    {"SPL", ""}, {"IPL", ""}, {"Bootloader", ""}, {"WinCE", "2.0"}};
const std::vector<std::string> kDocChain = {"SPL", "IPL", "Bootloader", "WinCE"};

std::string UpToDateLoaders() { return UpToDate("SPL") + UpToDate("IPL") + UpToDate("Bootloader"); }

// One fault road: `setup` builds the package, damages what it wants and answers the
// faults to set; `more` checks what else the road must leave behind.
struct FaultCase {
  const char* name;
  std::function<std::string(Device&)> setup;
  std::vector<std::string> args;
  std::string out;
  int exitCode;
  bool locked;
  std::function<void(const Device&, const UpdaterRun&)> more;
};

void ExpectTruthfulEnd(const FaultCase& c, const UpdaterRun& run) {
  EXPECT_EQ(run.out, c.out);
  EXPECT_EQ(run.exitCode, c.exitCode);
  const std::string& pid = run.firstPid;
  if (c.exitCode == 100) {
    EXPECT_EQ(FilesLeftOpen(run, pid), std::vector<std::string>{kPackagePath});
    EXPECT_EQ(Escapes(run, pid), std::vector<std::string>{"0"});
    return;
  }
  EXPECT_TRUE(FilesLeftOpen(run, pid).empty());
  const std::vector<std::string> escapes =
      c.locked ? std::vector<std::string>{"0", "1"} : std::vector<std::string>{};
  EXPECT_EQ(Escapes(run, pid), escapes);
  EXPECT_TRUE(DeviceCalls(run, "CPU_Reset", pid).empty());
  if (c.exitCode == 255) {
    EXPECT_EQ(Boxes(run, pid), (std::vector<std::string>{ConfirmationBox(6), ErrorBox(7)}));
    EXPECT_EQ(ExitEvent(run, pid), "-1");
  }
}

void RunFaultCases(const std::vector<FaultCase>& cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Device device;
    const std::string faults = c.setup(device);
    const UpdaterRun run = device.Run(c.args, "yes,no", {{"VXU_FAULTS", faults}});
    ExpectTruthfulEnd(c, run);
    if (c.more) c.more(device, run);
  }
}

std::string NewWincePackage(Device& device, std::string faults) {
  device.BuildPackageOf(kNewWince);
  return faults;
}

TEST(E2eFaults, FailingFlashEndsTheStepWithItsCodeAndUnlocks) {
  const Options defaults;
  const std::string locked = Banner(defaults) + CheckBinary(false, kBinaryOk) + Power() + Lock();
  auto newSpl = [](Device& d) {
    d.BuildPackageOf({{"SPL", "2.0"}, {"IPL", ""}, {"Bootloader", ""}, {"WinCE", ""}});
    return std::string();
  };
  // The entry of the simulated flash that fails (VXSIM_FAIL), and the road it must take.
  const std::vector<std::pair<std::string, FaultCase>> cases = {
      // The format before SPL fails: no write, the step ends with the engine's code.
      {"VXUpdate_LowLevelFormat",
       {"the flash format fails", newSpl, {},
        locked + NeedsUpgrade("SPL") + "Flash physical format...Failed\n" + Unlock(), 255, true,
        [](const Device& d, const UpdaterRun& run) {
          EXPECT_TRUE(DeviceCalls(run, "VXUpdate_WriteFirst", run.firstPid).empty());
          EXPECT_TRUE(fs::exists(d.FlashFile("SPL"))) << "the old image stays";
        }}},
      // The engine cannot describe the image in flash: the check prints the code.
      {"GetImageInfo",
       {"the flash image cannot be described", newSpl, {},
        locked + "Check SPL...Error (Code = 9)\n" + Unlock(), 255, true, nullptr}},
  };
  for (const auto& [entry, c] : cases) {
    SCOPED_TRACE(c.name);
    Device device;
    c.setup(device);
    const UpdaterRun run = device.Run(c.args, "yes,no", {{"VXSIM_FAIL", entry}});
    ExpectTruthfulEnd(c, run);
    if (c.more) c.more(device, run);
  }
}

TEST(E2eFaults, FailuresAfterTheChecksTellTheTruthCloseTheirFilesAndUnlock) {
  const Options defaults;
  const std::string head = Banner(defaults) + CheckBinary(false, kBinaryOk);
  const std::string locked = head + Power() + Lock();
  RunFaultCases({
      {"the engine file cannot be created",
       [](Device& d) { return NewWincePackage(d, "open:\\VXUpdate.dll"); },
       {},
       head + kEngineError,
       255,
       false,
       [](const Device& d, const UpdaterRun&) {
         EXPECT_FALSE(fs::exists(d.root() / "VXUpdate.dll"));
       }},
      {"the engine file is written short",
       [](Device& d) { return NewWincePackage(d, "write:\\VXUpdate.dll@1000"); },
       {},
       head + kEngineError,
       255,
       false,
       [](const Device& d, const UpdaterRun&) {
         EXPECT_EQ(fs::file_size(d.root() / "VXUpdate.dll"), 1000u) << "partial file left";
       }},
      // The writer's first read of 1024 bytes fails; the 512 bytes that the suitability
      // check and the comparison read lie before the fault.
      {"a read fails while WinCE is written after Bootloader was",
       [](Device& d) {
         d.BuildPackageOf({{"SPL", ""}, {"IPL", ""}, {"Bootloader", "2.0"}, {"WinCE", "2.0"}});
         return std::string("read:") + kPackagePath + "@" +
                std::to_string(d.PackageField(kWinceOffsetField) + 700);
       },
       {},
       locked + UpToDate("SPL") + UpToDate("IPL") + NeedsUpgrade("Bootloader") +
           Written("Bootloader") + NeedsUpgrade("WinCE") + "Update WinCEFailed\n" + Unlock(),
       255,
       true,
       nullptr},
      {"the keep-alive thread cannot be created",
       [](Device& d) { return NewWincePackage(d, "thread"); },
       {},
       locked + UpToDateLoaders() + NeedsUpgrade("WinCE") + Written("WinCE") +
           VerifyPass(kDocChain) + HardwareReset(),
       100,
       true,
       [](const Device&, const UpdaterRun& run) {
         const auto threads = EventsOf(run, "create_thread", run.firstPid);
         ASSERT_EQ(threads.size(), 1u);
         EXPECT_EQ(threads[0]["ok"], "false");
       }},
      // The data store cannot be saved while a folder stands where its file goes.
      {"the data store fails after WinCE was written",
       [](Device& d) {
         const fs::path items = d.root() / ".hardware" / "gd_items";
         fs::remove(items);
         fs::create_directories(items / "blocked");
         return NewWincePackage(d, "");
       },
       {},
       locked + UpToDateLoaders() + NeedsUpgrade("WinCE") + Written("WinCE") + Unlock(),
       255,
       true,
       nullptr},
  });
}

// The full verify pass always asks for the CRC check: a damaged loader that the update
// pass took as up to date (CheckCRC off) fails the verify pass, and nothing is reset.
TEST(E2eFaults, VerifyPassCatchesADamagedImageTheCheckWithoutCrcMissed) {
  Options noCrc;
  noCrc.CheckCRC = 0;
  Device device;
  device.SetOptions(noCrc);
  device.BuildPackageOf(kNewWince);
  std::vector<std::uint8_t> spl = ts::ReadBytes(device.FlashFile("SPL"));
  ASSERT_GT(spl.size(), 600u);
  spl[600] ^= 0x10;
  ts::WriteBytes(device.FlashFile("SPL"), spl);
  const UpdaterRun run = device.Run({}, "yes,no", {});
  const FaultCase expected = {"",
                              nullptr,
                              {},
                              Banner(noCrc) + CheckBinary(false, kBinaryOk) + Power() + Lock() +
                                  UpToDateLoaders() + NeedsUpgrade("WinCE") + Written("WinCE") +
                                  kRule + VerifyLine("SPL", false) + Unlock(),
                              255,
                              true,
                              nullptr};
  ExpectTruthfulEnd(expected, run);
}

// Memory limits: 64 KiB is enough for every transfer buffer (the CRC pass at 65535 bytes
// fails with "malloc error", see the early roads).  The engine library's copy in memory
// is allocated whole, so the engine must itself fit below the limit for the run to go on.
TEST(E2eFaults, SixtyFourKibibytesAreEnoughForTheCrcPass) {
  Options withCrc;
  withCrc.CheckBinCRC = 1;
  const bool engineFits = fs::file_size(PackagedEngine()) <= 65536;
  RunFaultCases({{"CRC pass with a 64 KiB buffer",
                  [](Device& d) { return NewWincePackage(d, "alloc:65536"); },
                  {"-c"},
                  Banner(withCrc) + CheckBinary(true, kBinaryOk) +
                      (engineFits ? Power() + Lock() + UpToDateLoaders() + NeedsUpgrade("WinCE") +
                                        Written("WinCE") + VerifyPass(kDocChain) + HardwareReset()
                                  : std::string(kEngineError)),
                  engineFits ? 100 : 255,
                  engineFits,
                  nullptr}});
}

}  // namespace
}  // namespace e2e
