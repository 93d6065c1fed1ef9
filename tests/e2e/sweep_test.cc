// Every failure point of a whole update tried in turn: each fallible platform call failed
// once (VXU_FAULTS=nth:K), and power cut at every chunk boundary of every image.  After
// each, the device must be left on a documented road and one clean run must finish it.
#include "tests/e2e/e2e_device.h"

namespace e2e {
namespace {

namespace ts = testing_support;

// A refused or unwritable engine ends in the error box; yes to it must reboot the device:
// zlib.dll, which gave the engine's CRC, is let go, so the countdown and the reset reach
// the board support library.
TEST(E2eSweep, WarmBootAfterAnEngineFailureReachesTheBoardSupportLibrary) {
  const struct {
    const char* name;
    std::string faults;
    bool patchCrc;
    bool engineFile;
  } cases[] = {
      {"engine CRC refused by zlib.dll", "", true, false},
      {"engine written short", "write:\\VXUpdate.dll@1000", false, true},
  };
  const Options defaults;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Device device;
    device.BuildPackageOf({{"SPL", ""}, {"IPL", ""}, {"Bootloader", ""}, {"WinCE", "2.0"}});
    if (c.patchCrc) device.PatchPackage(kEngineCrcField, device.PackageField(kEngineCrcField) ^ 1);
    const auto flashBefore = device.Flash();
    const UpdaterRun run = device.Run({}, "yes,yes", {{"VXU_FAULTS", c.faults}});
    EXPECT_EQ(run.exitCode, 101);
    EXPECT_EQ(run.out, Banner(defaults) + CheckBinary(false, kBinaryOk) + kEngineError + WarmBoot());
    const std::string bsp = "vx_bsp_api.dll:";
    EXPECT_EQ(DeviceCalls(run, "GreenLed", run.firstPid),
              (std::vector<std::string>{bsp + "0", bsp + "1", bsp + "0", bsp + "1", bsp + "0",
                                        bsp + "1"}));
    EXPECT_EQ(DeviceCalls(run, "CPU_Reset", run.firstPid), std::vector<std::string>{bsp + "0"});
    EXPECT_EQ(run.err.find("mc_api"), std::string::npos) << run.err;
    EXPECT_EQ(fs::exists(device.root() / "VXUpdate.dll"), c.engineFile);
    EXPECT_EQ(device.Flash(), flashBefore);
    EXPECT_TRUE(FilesLeftOpen(run, run.firstPid).empty());
  }
}

}  // namespace
}  // namespace e2e
