// Every failure point of a whole update tried in turn: each fallible platform call failed
// once (VXU_FAULTS=nth:K), and power cut at every chunk boundary of every image.  After
// each, the device must be left on a documented road and one clean run must finish it.
#include <iostream>
#include <set>

#include "tests/e2e/e2e_device.h"

namespace e2e {
namespace {

namespace ts = testing_support;

const std::vector<std::string> kChain = {"SPL", "IPL", "Bootloader", "WinCE"};
const std::string kBsp = "vx_bsp_api.dll:";

// A DOC device with every option that adds work on, a package with a new version of every
// image of its chain, and a copy of the whole device that each run starts from again.
class SweepDevice {
 public:
  SweepDevice() {
    Options options;
    options.VerifyAfterWrite = 1;
    options.FullVerify = 1;
    device.SetOptions(options);
    std::vector<Device::PackagedImage> images;
    for (const auto& type : kChain) images.push_back({type, "2.0"});
    for (const auto& [type, file] : device.BuildPackageOf(images)) {
      newFlash[device.FlashFile(type).filename().string()] = ts::ReadBytes(file);
    }
    oldFlash = device.Flash();
    fs::copy(device.root(), copy_ / "device", fs::copy_options::recursive);
  }
  void Restore() {
    fs::remove_all(device.root());
    fs::copy(copy_ / "device", device.root(), fs::copy_options::recursive);
  }
  // One run without faults completes the update: the flash holds the package's images
  // and nothing else, and vxdevice finds nothing damaged.
  void ExpectCompletedByNextRun() {
    const UpdaterRun run = device.Run({"-c"}, "yes", {});
    // A run cut short after its last write may have left nothing to do.
    EXPECT_TRUE(run.exitCode == 100 || run.exitCode == 0) << run.out;
    EXPECT_TRUE(device.Flash() == newFlash) << "flash differs from the package";
    const auto show = ts::Run(ts::Built("tools/vxdevice"), {"show", device.root().string()});
    EXPECT_EQ(show.exitCode, 0);
    EXPECT_EQ(show.out.find("damaged"), std::string::npos) << show.out;
  }
  Device device{"doc"};
  std::map<std::string, std::vector<std::uint8_t>> oldFlash, newFlash;

 private:
  ts::TempDir copy_;
};

// What every road but the hardware reset leaves: no file open, and a device that was locked
// unlocked again through the board support library.
void ExpectEndedCleanly(const UpdaterRun& run) {
  const std::string& pid = run.firstPid;
  if (run.exitCode == 100) {
    EXPECT_EQ(FilesLeftOpen(run, pid), std::vector<std::string>{kPackagePath});
    return;
  }
  EXPECT_TRUE(FilesLeftOpen(run, pid).empty());
  EXPECT_TRUE(run.exitCode != 0 || Boxes(run, pid).empty()) << "0 only without a package";
  EXPECT_TRUE(run.exitCode != 255 || ExitEvent(run, pid) == "-1");
  // The last of each lock call, when there was one, is the one that unlocks.
  auto last = [](const std::vector<std::string>& calls, const std::string& unlocked) {
    return calls.empty() ? unlocked : calls.back();
  };
  EXPECT_EQ(last(Escapes(run, pid), "1"), "1");
  EXPECT_EQ(last(DeviceCalls(run, "SetEnableKeyboard", pid), kBsp + "1"), kBsp + "1");
  EXPECT_EQ(last(DeviceCalls(run, "VXUpdate_GuaranteeExclusiveAccess", pid), kBsp + "0"),
            kBsp + "0");
}

struct Sweep {
  const char* name;
  const char* answers;
  std::set<int> statuses;
};
void PrintTo(const Sweep& sweep, std::ostream* os) { *os << sweep.name; }

class E2eFaultSweep : public testing::TestWithParam<Sweep> {};

TEST_P(E2eFaultSweep, EachFallibleCallFailedOnceEndsOnADocumentedRoadAndTheNextRunCompletes) {
  const Sweep& sweep = GetParam();
  SweepDevice d;
  int k = 1;
  for (; !HasFailure(); ++k) {
    SCOPED_TRACE("nth:" + std::to_string(k));
    d.Restore();
    const UpdaterRun run =
        d.device.Run({"-c"}, sweep.answers, {{"VXU_FAULTS", "nth:" + std::to_string(k)}});
    const auto faults = EventsOf(run, "fault", run.firstPid);
    if (faults.empty()) {
      EXPECT_EQ(run.exitCode, 100) << "past the last call nothing fails";
      break;
    }
    ASSERT_EQ(faults.size(), 1u);
    EXPECT_EQ(faults[0]["n"], std::to_string(k));
    EXPECT_EQ(sweep.statuses.count(run.exitCode), 1u) << run.exitCode << "\n" << run.out << run.err;
    ExpectEndedCleanly(run);
    d.ExpectCompletedByNextRun();
  }
  std::cout << "[ sweep    ] " << sweep.name << ": " << k - 1 << " fault points\n";
  EXPECT_GT(k, 50);
}

INSTANTIATE_TEST_SUITE_P(Answers, E2eFaultSweep,
                         testing::Values(Sweep{"YesToEveryBox", "yes,yes,yes", {0, 100, 101}},
                                         Sweep{"NoToTheErrorBox", "yes,no", {0, 100, 255}}),
                         [](const auto& sweep) { return std::string(sweep.param.name); });

// Power lost at each chunk boundary of every image (the writer's 1024-byte first chunk,
// the rest in one), one byte before and after: no image in flash may read as complete
// unless it is the old one or the new one, and the next run finishes the update.
TEST(E2eSweep, PowerCutAtEveryChunkBoundaryLeavesOnlyOldOrNewImages) {
  SweepDevice d;
  std::set<std::uint64_t> cuts;
  std::uint64_t start = 0;
  for (const auto& type : kChain) {
    const std::uint64_t size = d.newFlash.at(d.device.FlashFile(type).filename().string()).size();
    for (const std::uint64_t boundary : {start, start + 1024, start + size}) {
      for (const std::uint64_t cut : {boundary - 1, boundary, boundary + 1}) {
        if (boundary != 0 || cut <= 1) cuts.insert(cut);
      }
    }
    start += size;
  }
  cuts.erase(start + 1);  // past the last byte nothing is cut
  for (const std::uint64_t cut : cuts) {
    SCOPED_TRACE("cut after " + std::to_string(cut) + " bytes");
    d.Restore();
    const UpdaterRun run =
        d.device.Run({"-c"}, "yes", {{"VXSIM_CRASH_AFTER_BYTES", std::to_string(cut)}});
    EXPECT_EQ(run.exitCode, 102);
    for (const auto& [name, bytes] : d.device.Flash()) {
      if (name.ends_with(".img")) {
        EXPECT_TRUE(bytes == d.oldFlash.at(name) || bytes == d.newFlash.at(name)) << name;
      }
    }
    d.ExpectCompletedByNextRun();
    if (HasFailure()) break;
  }
  std::cout << "[ sweep    ] power cuts: " << cuts.size() << "\n";
  EXPECT_EQ(cuts.size(), 3u * 2 * kChain.size() + 1);
}

// nth:K with a K that is no count is reported once in the run, by the updater and not by
// each device library, and fails nothing.
TEST(E2eSweep, NthFaultWithoutACountIsReportedOnceAndIgnored) {
  SweepDevice d;
  for (const std::string fault : {"nth:0", "nth:-1", "nth:abc"}) {
    SCOPED_TRACE(fault);
    d.Restore();
    const UpdaterRun run = d.device.Run({"-c"}, "yes", {{"VXU_FAULTS", fault}});
    EXPECT_EQ(run.exitCode, 100);
    EXPECT_TRUE(EventsOf(run, "fault", run.firstPid).empty());
    int notes = 0;
    for (const auto& line : run.trace) {
      notes += line.ev() == "debug" && line["text"].find("\"" + fault + "\"") != std::string::npos;
    }
    EXPECT_EQ(notes, 1) << run.err;
  }
}

// Failures of the flash itself, which no platform fault reaches: the step ends with the
// engine's answer, the device is unlocked, and the next run writes the images.
TEST(E2eSweep, FailingFlashEntryEndsItsStepUnlocksAndTheNextRunCompletes) {
  const std::pair<std::string, std::string> cases[] = {
      {"VXUpdate_LowLevelFormat", NeedsUpgrade("SPL") + "Flash physical format...Failed\n"},
      {"GetImageInfo", "Check SPL...Error (Code = 9)\n"},
  };
  SweepDevice d;
  for (const auto& [entry, line] : cases) {
    SCOPED_TRACE(entry);
    d.Restore();
    const UpdaterRun run = d.device.Run({"-c"}, "yes,no", {{"VXSIM_FAIL", entry}});
    EXPECT_EQ(run.exitCode, 255);
    EXPECT_TRUE(run.out.ends_with(Lock() + line + Unlock())) << run.out;
    EXPECT_TRUE(d.device.Flash() == d.oldFlash);
    ExpectEndedCleanly(run);
    d.ExpectCompletedByNextRun();
  }
}

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
    EXPECT_EQ(run.out,
              Banner(defaults) + CheckBinary(false, kBinaryOk) + kEngineError + WarmBoot());
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
