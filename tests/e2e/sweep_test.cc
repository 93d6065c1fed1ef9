// Every failure point of a whole update tried in turn: each fallible platform call failed
// once (VXU_FAULTS=nth:K), and power cut at every chunk boundary of every image.  After
// each, the device must be left on a documented road and one clean run must finish it.
#include <iostream>
#include <set>

#include "tests/e2e/e2e_device.h"

namespace e2e {
namespace {

namespace ts = testing_support;

// The flash files of the chain, in the order they are written.
const std::vector<std::string> kChain = {"SPL.img", "IPL.img", "Bootloader.img", "WinCE.img"};
const std::string kBsp = "vx_bsp_api.dll:";

// A DOC device with every option that adds work on, a package with a new version of every
// image of its chain, and a copy of the whole device that each run starts from again.
class SweepDevice : public Device {
 public:
  SweepDevice() {
    SetRegistry("\"VerifyAfterWrite\"=dword:00000001\n\"FullVerify\"=dword:00000001");
    BuildPackage("spl:2.0 ipl:2.0 bootloader:2.0 wince:2.0");
    oldFlash = Flash();
    for (const auto& [name, images] : packaged_) newFlash[name] = ts::ReadBytes(images.front());
    fs::copy(root(), copy_ / "device", fs::copy_options::recursive);
  }
  void Restore() {
    fs::remove_all(root());
    fs::copy(copy_ / "device", root(), fs::copy_options::recursive);
  }
  // One run without faults completes the update: the flash holds the package's images
  // and nothing else, and vxdevice finds nothing damaged.
  void ExpectCompletedByNextRun() {
    const UpdaterRun run = Run({"-c"}, "yes");
    // A run cut short after its last write may have left nothing to do.
    EXPECT_TRUE(run.exitCode == 100 || run.exitCode == 0) << run.out;
    EXPECT_TRUE(Flash() == newFlash) << "flash differs from the package";
    const auto show = ts::Run(ts::Built("tools/vxdevice"), {"show", root().string()});
    EXPECT_EQ(show.exitCode, 0);
    EXPECT_EQ(show.out.find("damaged"), std::string::npos) << show.out;
  }
  using Device::Flash;
  std::map<std::string, std::vector<std::uint8_t>> oldFlash, newFlash;

 private:
  ts::TempDir copy_;
};

// What every road but the hardware reset leaves: no file open, and a device that was locked
// unlocked again through the board support library.
void ExpectEndedCleanly(const UpdaterRun& run) {
  std::multiset<std::string> open;
  std::map<std::string, std::string> last;  // the last event of a kind, or device call
  for (const auto& line : run.trace) {
    if (line.ev() == "create_file" && line["ok"] == "true") open.insert(line["path"]);
    if (line.ev() == "close_file") {
      const auto it = open.find(line["path"]);
      EXPECT_NE(it, open.end()) << "closed without being open: " << line.raw;
      if (it != open.end()) open.erase(it);
    }
    EXPECT_TRUE(line.ev() != "escape" || line["code"] == "100014") << line.raw;
    EXPECT_TRUE(line.ev() != "msgbox" || line["caption"] == "Software Updater") << line.raw;
    if (line.ev() == "escape") last["escape"] = line["in_size"];
    if (line.ev() == "exit" || line.ev() == "msgbox") last[line.ev()] = line["code"];
    if (line.ev() == "device") last[line["call"]] = line["lib"] + ":" + line["arg"];
  }
  if (run.exitCode == 100) {
    EXPECT_EQ(open, std::multiset<std::string>{kPackage});
    return;
  }
  EXPECT_TRUE(open.empty());
  EXPECT_TRUE(run.exitCode != 0 || !last.count("msgbox")) << "0 only without a package";
  EXPECT_TRUE(run.exitCode != 255 || last["exit"] == "-1");
  // The last of each lock call, when there was one, is the one that unlocks.
  for (const auto& [call, unlocked] :
       std::map<std::string, std::string>{{"escape", "1"},
                                          {"SetEnableKeyboard", kBsp + "1"},
                                          {"VXUpdate_GuaranteeExclusiveAccess", kBsp + "0"}}) {
    EXPECT_EQ(last.count(call) ? last[call] : unlocked, unlocked) << call;
  }
}

// The answers: yes to every box, or no to the error box.
class E2eFaultSweep : public testing::TestWithParam<std::string> {};

TEST_P(E2eFaultSweep, EachFallibleCallFailedOnceEndsOnADocumentedRoadAndTheNextRunCompletes) {
  const std::string answers = GetParam();
  const std::set<int> statuses = {0, 100, answers == "yes,no" ? 255 : 101};
  SweepDevice d;
  int k = 1;
  for (; !HasFailure(); ++k) {
    SCOPED_TRACE("nth:" + std::to_string(k));
    d.Restore();
    const UpdaterRun run = d.Run({"-c"}, answers, {{"VXU_FAULTS", "nth:" + std::to_string(k)}});
    const auto faults = ts::EventsOf(run.trace, "fault");
    if (faults.empty()) {
      EXPECT_EQ(run.exitCode, 100) << "past the last call nothing fails";
      break;
    }
    ASSERT_EQ(faults.size(), 1u);
    EXPECT_EQ(faults[0]["n"], std::to_string(k));
    EXPECT_EQ(statuses.count(run.exitCode), 1u) << run.exitCode << "\n" << run.out << run.err;
    ExpectEndedCleanly(run);
    d.ExpectCompletedByNextRun();
  }
  std::cout << "[ sweep    ] answers " << answers << ": " << k - 1 << " fault points\n";
  EXPECT_GT(k, 50);
}

INSTANTIATE_TEST_SUITE_P(Answers, E2eFaultSweep, testing::Values("yes,yes,yes", "yes,no"));

// Power lost at each chunk boundary of every image (the writer's 1024-byte first chunk,
// the rest in one), one byte before and after: no image in flash may read as complete
// unless it is the old one or the new one, and the next run finishes the update.
TEST(E2eSweep, PowerCutAtEveryChunkBoundaryLeavesOnlyOldOrNewImages) {
  SweepDevice d;
  std::set<std::uint64_t> cuts;
  std::uint64_t start = 0;
  for (const auto& name : kChain) {
    const std::uint64_t size = d.newFlash.at(name).size();
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
    const UpdaterRun run = d.Run({"-c"}, "yes", {{"VXSIM_CRASH_AFTER_BYTES", std::to_string(cut)}});
    EXPECT_EQ(run.exitCode, 102);
    for (const auto& [name, bytes] : d.Flash()) {
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

}  // namespace
}  // namespace e2e
