// The end roads of a run before the flash is touched: no package, the user declining,
// a package that does not open or fails its integrity check, the package CRC pass with
// and without zlib, and the engine library installation.
#include <functional>

#include "tests/e2e/e2e_device.h"

namespace e2e {
namespace {

namespace ts = testing_support;

// A package for a device booting from DOC whose every image equals the flash copy.
void BuildUpToDatePackage(Device& device) {
  device.BuildPackageOf({{"SPL", ""}, {"IPL", ""}, {"Bootloader", ""}, {"WinCE", ""}});
}

std::string UpToDateRun(const Options& options, const std::string& checkBinary) {
  return Banner(options) + checkBinary + Power() + Lock() + UpToDate("SPL") + UpToDate("IPL") +
         UpToDate("Bootloader") + UpToDate("WinCE") + Unlock() + ">bye";
}

Options WithBinCrc() {
  Options options;
  options.CheckBinCRC = 1;
  return options;
}

// Every road that ends before the device is locked: what the console shows, which boxes
// were asked, how the run ends, and that the device was neither locked nor left with
// an open file.
struct EarlyRoad {
  const char* name;
  std::function<void(Device&)> setup;
  std::vector<std::string> args;
  const char* answers;
  std::vector<std::pair<std::string, std::string>> env;
  std::string out;
  std::vector<std::string> boxes;
  int exitCode;
  std::vector<std::string> warmBoots;  // CPU_Reset calls
};

TEST(E2eRoads, EarlyRoadsPrintTheirLinesAskTheirBoxesAndEndWithTheirCode) {
  const Options defaults;
  const std::string kRead = std::string("read:") + kPackagePath + "@200";
  const std::string kPowerBox = Box("External power not detected. Proceed?", 0x50024, 7);
  const std::vector<EarlyRoad> roads = {
      {"no package: silent end", [](Device&) {}, {}, "", {}, "", {}, 0, {}},
      {"confirmation declined",
       BuildUpToDatePackage,
       {},
       "no",
       {},
       Banner(defaults) + ">bye",
       {ConfirmationBox(7)},
       0,
       {}},
      // The probe of the discovery and the opening of the package read the same bytes,
      // so only the handle record, which PackageOpen alone allocates, can fail between
      // them.
      {"package does not open: no line after the banner",
       BuildUpToDatePackage,
       {},
       "yes,no",
       {{"VXU_FAULTS", "alloc:128"}},
       Banner(defaults),
       {ConfirmationBox(6), ErrorBox(7)},
       255,
       {}},
      {"header newer than this updater",
       [](Device& d) {
         BuildUpToDatePackage(d);
         d.PatchPackage(kHeaderLengthField, 109);
       },
       {},
       "yes,no",
       {},
       Banner(defaults) + CheckBinary(false, "Fail - header newer then expected\n\n"),
       {ConfirmationBox(6), ErrorBox(7)},
       255,
       {}},
      {"payload size disagrees with the directory",
       [](Device& d) {
         BuildUpToDatePackage(d);
         d.PatchPackage(kPayloadSizeField, d.PackageField(kPayloadSizeField) + 1);
       },
       {},
       "yes,no",
       {},
       Banner(defaults) + CheckBinary(false, "Fail - wrong file size\n\n"),
       {ConfirmationBox(6), ErrorBox(7)},
       255,
       {}},
      {"no transfer buffer for the CRC pass",
       BuildUpToDatePackage,
       {"-c"},
       "yes,no",
       {{"VXU_FAULTS", "alloc:65535"}},
       Banner(WithBinCrc()) + ">Check binaryFail - malloc error\n\n",
       {ConfirmationBox(6), ErrorBox(7)},
       255,
       {}},
      {"payload read fails during the CRC pass",
       BuildUpToDatePackage,
       {"-c"},
       "yes,no",
       {{"VXU_FAULTS", kRead}},
       Banner(WithBinCrc()) + ">Check binaryFail - file read error\n\n",
       {ConfirmationBox(6), ErrorBox(7)},
       255,
       {}},
      {"payload CRC wrong",
       [](Device& d) {
         BuildUpToDatePackage(d);
         d.PatchPackage(kPayloadCrcField, d.PackageField(kPayloadCrcField) ^ 1);
       },
       {"-c"},
       "yes,no",
       {},
       Banner(WithBinCrc()) + CheckBinary(true, "Fail - Wrong file CRC\n\n"),
       {ConfirmationBox(6), ErrorBox(7)},
       255,
       {}},
      // Declining to go on without external power is a failure before the lock-down.
      {"no external power, declined",
       BuildUpToDatePackage,
       {},
       "yes,no,no",
       {{"VXU_AC_LINE", "offline"}},
       Banner(defaults) + CheckBinary(false, kBinaryOk) + ">Check external power... No\n",
       {ConfirmationBox(6), kPowerBox, ErrorBox(7)},
       255,
       {}},
      {"power status unknown, declined",
       BuildUpToDatePackage,
       {},
       "yes,no,no",
       {{"VXU_AC_LINE", "unknown"}},
       Banner(defaults) + CheckBinary(false, kBinaryOk) + ">Check external power... No\n",
       {ConfirmationBox(6), kPowerBox, ErrorBox(7)},
       255,
       {}},
      {"failure with the warm boot accepted",
       [](Device& d) {
         BuildUpToDatePackage(d);
         d.PatchPackage(kPayloadSizeField, d.PackageField(kPayloadSizeField) + 1);
       },
       {},
       "yes,yes",
       {},
       Banner(defaults) + CheckBinary(false, "Fail - wrong file size\n\n") + WarmBoot(),
       {ConfirmationBox(6), ErrorBox(6)},
       101,
       {"vx_bsp_api.dll:0"}},
  };
  for (const auto& road : roads) {
    SCOPED_TRACE(road.name);
    Device device;
    road.setup(device);
    const UpdaterRun run = device.Run(road.args, road.answers, road.env);
    EXPECT_EQ(run.out, road.out);
    EXPECT_EQ(run.exitCode, road.exitCode);
    EXPECT_EQ(Boxes(run, run.firstPid), road.boxes);
    EXPECT_EQ(DeviceCalls(run, "CPU_Reset", run.firstPid), road.warmBoots);
    EXPECT_TRUE(Escapes(run, run.firstPid).empty()) << "locked before the flash was touched";
    EXPECT_TRUE(FilesLeftOpen(run, run.firstPid).empty());
    EXPECT_TRUE(EventsOf(run, "create_thread", run.firstPid).empty());
    if (road.exitCode == 0 || road.exitCode == 255) {
      EXPECT_EQ(ExitEvent(run, run.firstPid), road.exitCode == 0 ? "0" : "-1");
    }
    if (road.out.empty()) {
      // Not even the status lights are touched when there is nothing to do.
      EXPECT_TRUE(EventsOf(run, "device", run.firstPid).empty());
    } else {
      // Both lights go off first, through the board support library.
      const auto greens = DeviceCalls(run, "GreenLed", run.firstPid);
      const auto reds = DeviceCalls(run, "RedLed", run.firstPid);
      ASSERT_FALSE(greens.empty());
      ASSERT_FALSE(reds.empty());
      EXPECT_EQ(greens.front(), "vx_bsp_api.dll:0");
      EXPECT_EQ(reds.front(), "vx_bsp_api.dll:0");
    }
  }
}

TEST(E2eRoads, DeclinedConfirmationNeverOpensThePackageForTheUpdate) {
  Device device;
  BuildUpToDatePackage(device);
  const UpdaterRun run = device.Run({}, "no", {});
  int opened = 0;
  for (const auto& line : EventsOf(run, "create_file", run.firstPid)) {
    if (line["path"] == kPackagePath) ++opened;
  }
  EXPECT_EQ(opened, 1) << "only the discovery's probe reads the package";
  EXPECT_FALSE(fs::exists(device.root() / "VXUpdate.dll"));
}

// The package CRC pass: ten dots from the progress printer, skipped without zlib, failing
// with a zlib.dll that has no crc32.
struct CrcPassCase {
  const char* name;
  std::function<void(Device&)> setup;
  std::vector<std::string> args;
  const char* answers;
  std::string out;
  int exitCode;
};

TEST(E2eRoads, PackageCrcPassShowsTenDotsAndNeedsACrc32Provider) {
  const Options withCrc = WithBinCrc();
  const auto kDamagedCrc = [](Device& d) {
    BuildUpToDatePackage(d);
    d.PatchPackage(kPayloadCrcField, d.PackageField(kPayloadCrcField) ^ 0x80);
  };
  const std::vector<CrcPassCase> cases = {
      {"-c on the command line",
       BuildUpToDatePackage,
       {"-c"},
       "yes",
       UpToDateRun(withCrc, CheckBinary(true, kBinaryOk)),
       0},
      {"-C inside a longer word",
       BuildUpToDatePackage,
       {"x-Cy"},
       "yes",
       UpToDateRun(withCrc, CheckBinary(true, kBinaryOk)),
       0},
      {"without zlib.dll the pass is skipped, a wrong CRC goes unnoticed",
       [&](Device& d) {
         kDamagedCrc(d);
         fs::remove(d.root() / "Windows" / "zlib.dll");
       },
       // With the option on, the main flow prints no dots of its own either.
       {"-c"},
       "yes",
       UpToDateRun(withCrc, std::string(">Check binary") + kBinaryOk),
       0},
      {"a zlib.dll without crc32 makes every CRC 0",
       [](Device& d) {
         BuildUpToDatePackage(d);
         fs::copy_file(BoardSupportLibrary(), d.root() / "Windows" / "zlib.dll",
                       fs::copy_options::overwrite_existing);
       },
       {"-c"},
       "yes,no",
       Banner(withCrc) + CheckBinary(true, "Fail - Wrong file CRC\n\n"),
       255},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Device device;
    c.setup(device);
    const UpdaterRun run = device.Run(c.args, c.answers, {});
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.exitCode, c.exitCode);
    EXPECT_TRUE(FilesLeftOpen(run, run.firstPid).empty());
  }
}

TEST(E2eRoads, CrcPassWithoutCrc32ReportsTheMissingEntryOnTheDebugChannel) {
  Device device;
  BuildUpToDatePackage(device);
  fs::copy_file(BoardSupportLibrary(), device.root() / "Windows" / "zlib.dll",
                fs::copy_options::overwrite_existing);
  const UpdaterRun run = device.Run({"-c"}, "yes,no", {});
  bool reported = false;
  for (const auto& line : EventsOf(run, "debug", run.firstPid)) {
    if (line["text"] == "mc_api: crc32 not supported\r\n") reported = true;
  }
  EXPECT_TRUE(reported);
}

// The engine library: refused on a CRC mismatch, written whole on success, and a package
// for other hardware refused before anything is written.
TEST(E2eRoads, EngineLibraryIsInstalledOnlyWhenItsCrcHoldsAndThePackageSuitsTheDevice) {
  const Options defaults;
  struct EngineCase {
    const char* name;
    std::function<void(Device&)> setup;
    std::string out;
    bool engineWritten;
  };
  const std::vector<EngineCase> cases = {
      {"engine CRC wrong",
       [](Device& d) {
         BuildUpToDatePackage(d);
         d.PatchPackage(kEngineCrcField, d.PackageField(kEngineCrcField) ^ 1);
       },
       Banner(defaults) + CheckBinary(false, kBinaryOk) + kEngineError, false},
      {"images for other hardware",
       [](Device& d) {
         d.BuildPackageOf({{"SPL", "2.0", kOtherHardware},
                           {"IPL", "2.0", kOtherHardware},
                           {"Bootloader", "2.0", kOtherHardware},
                           {"WinCE", "2.0", kOtherHardware}});
       },
       Banner(defaults) + CheckBinary(false, kBinaryOk) + kUnsuitedError, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Device device;
    c.setup(device);
    const auto flashBefore = device.Flash();
    const UpdaterRun run = device.Run({}, "yes,no", {});
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.exitCode, 255);
    EXPECT_EQ(Boxes(run, run.firstPid),
              (std::vector<std::string>{ConfirmationBox(6), ErrorBox(7)}));
    EXPECT_EQ(fs::exists(device.root() / "VXUpdate.dll"), c.engineWritten);
    EXPECT_EQ(device.Flash(), flashBefore) << "flash changed";
    EXPECT_TRUE(FilesLeftOpen(run, run.firstPid).empty());
    EXPECT_TRUE(Escapes(run, run.firstPid).empty());
  }
}

TEST(E2eRoads, InstalledEngineHoldsTheEngineBytesAndAnswersTheFlashCalls) {
  Device device;
  BuildUpToDatePackage(device);
  const UpdaterRun run = device.Run({}, "yes", {});
  ASSERT_EQ(run.exitCode, 0) << run.out;
  EXPECT_EQ(ts::ReadBytes(device.root() / "VXUpdate.dll"), ts::ReadBytes(PackagedEngine()));
  const auto checks = DeviceCalls(run, "VXUpdate_CheckImageType", run.firstPid);
  ASSERT_FALSE(checks.empty());
  for (const auto& call : checks) EXPECT_EQ(call.substr(0, call.find(':')), "VXUpdate.dll");
}

}  // namespace
}  // namespace e2e
