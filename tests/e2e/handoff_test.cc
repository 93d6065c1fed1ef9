// The hand-off to another updater beside the package, with real processes: the same
// build goes on, another build is started and this updater ends without a word.
#include <functional>

#include "tests/e2e/e2e_device.h"

namespace e2e {
namespace {

namespace ts = testing_support;

fs::path UpdaterCopy(Device& device) { return device.Card() / "VXUpdater.exe"; }

void MakeExecutable(const fs::path& file) {
  fs::permissions(file, fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec,
                  fs::perm_options::add);
}

void CopyUpdater(Device& device) {
  fs::copy_file(Updater(), UpdaterCopy(device), fs::copy_options::overwrite_existing);
  MakeExecutable(UpdaterCopy(device));
}

// The same build with one byte appended: its label still holds the build's CRC, but the
// file no longer proves it.
void CopyUpdaterWithByteAppended(Device& device) {
  CopyUpdater(device);
  std::vector<std::uint8_t> bytes = ts::ReadBytes(UpdaterCopy(device));
  bytes.push_back(0x5A);
  ts::WriteBytes(UpdaterCopy(device), bytes);
  MakeExecutable(UpdaterCopy(device));
}

// Another build: changed, then stamped again, so that it proves its own identity.
void CopyOtherBuild(Device& device) {
  CopyUpdaterWithByteAppended(device);
  RunTool("vxstamp", {UpdaterCopy(device).string()});
}

// A program without label that leaves a mark when it runs (and starts nothing itself).
void WriteMarkerScript(Device& device) {
  ts::WriteText(UpdaterCopy(device),
                "#!/bin/sh\necho started > \"$VXU_DEVICE_ROOT/started-by-handoff\"\n");
  MakeExecutable(UpdaterCopy(device));
}

std::string NotNeededTranscript(const Options& options, const std::string& checkBinary) {
  return Banner(options) + checkBinary + Power() + Lock() + UpToDate("SPL") + UpToDate("IPL") +
         UpToDate("Bootloader") + UpToDate("WinCE") + Unlock() + ">bye";
}

// The started updater runs with no command line; the one started by the test has ended
// with 0 before doing anything visible.
void ExpectStarted(const UpdaterRun& run, const std::string& ok) {
  const auto started = EventsOf(run, "create_process", run.firstPid);
  ASSERT_EQ(started.size(), 1u);
  EXPECT_EQ(started[0]["app"], kUpdaterPath);
  EXPECT_EQ(started[0]["cmdline"], "null");
  EXPECT_EQ(started[0]["flags"], "131088");
  if (!ok.empty()) {
    EXPECT_EQ(started[0]["ok"], ok);
  }
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(ExitEvent(run, run.firstPid), "0");
  EXPECT_TRUE(EventsOf(run, "device", run.firstPid).empty()) << "no LED call before ending";
  EXPECT_TRUE(EventsOf(run, "msgbox", run.firstPid).empty());
  EXPECT_TRUE(FilesLeftOpen(run, run.firstPid).empty());
}

TEST(E2eHandOff, UpdaterBesideThePackageIsStartedOnlyWhenItIsAnotherBuild) {
  const Options defaults;
  struct HandOffCase {
    const char* name;
    std::function<void(Device&)> setup;
    bool started;
    const char* startedOk;  // expected "ok" of the start, "" when it is not checked
    std::string out;
    bool marker;
  };
  const std::string goesOn = NotNeededTranscript(defaults, CheckBinary(false, kBinaryOk));
  const std::vector<HandOffCase> cases = {
      {"the same build goes on", CopyUpdater, false, "", goesOn, false},
      {"same label without zlib.dll goes on",
       [](Device& d) {
         CopyUpdaterWithByteAppended(d);
         fs::remove(d.root() / "Windows" / "zlib.dll");
       },
       false, "", goesOn, false},
      {"a file without label is started", WriteMarkerScript, true, "true", "", true},
      {"an empty file is started",
       [](Device& d) {
         ts::WriteText(UpdaterCopy(d), "");
         MakeExecutable(UpdaterCopy(d));
       },
       true, "", "", false},
      // A start that fails is not noticed: this updater ends all the same.
      {"a changed copy is started even when the start fails",
       [](Device& d) { CopyUpdaterWithByteAppended(d); }, true, "false", "", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Device device;
    device.BuildPackageOf({{"SPL", ""}, {"IPL", ""}, {"Bootloader", ""}, {"WinCE", ""}});
    c.setup(device);
    std::vector<std::pair<std::string, std::string>> env;
    if (std::string(c.startedOk) == "false") env.push_back({"VXU_FAULTS", "process"});
    const UpdaterRun run = device.Run({}, c.started ? "" : "yes", env);
    EXPECT_EQ(run.out, c.out);
    if (c.started) {
      ExpectStarted(run, c.startedOk);
    } else {
      EXPECT_TRUE(EventsOf(run, "create_process", run.firstPid).empty());
      EXPECT_EQ(run.exitCode, 0);
      EXPECT_EQ(Pids(run).size(), 1u);
      EXPECT_TRUE(FilesLeftOpen(run, run.firstPid).empty()) << "the updater file stays open";
      // The copy was read whole to be judged.
      bool judged = false;
      for (const auto& line : EventsOf(run, "create_file", run.firstPid)) {
        if (line["path"] == kUpdaterPath && line["ok"] == "true") judged = true;
      }
      EXPECT_TRUE(judged);
    }
    EXPECT_EQ(fs::exists(device.root() / "started-by-handoff"), c.marker);
  }
}

TEST(E2eHandOff, StartedBuildRunsTheUpdateWithoutTheCommandLine) {
  struct StartCase {
    const char* name;
    std::function<void(Device&)> setup;
  };
  // A changed copy of this very build carries this build's label but does not prove it:
  // it is started, and once running it must not start its own file again, or the chain
  // of hand-offs would never end and nothing would be updated.
  const std::vector<StartCase> cases = {
      {"another build", CopyOtherBuild},
      {"a changed copy of this build", CopyUpdaterWithByteAppended},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Device device;
    device.BuildPackageOf({{"SPL", ""}, {"IPL", ""}, {"Bootloader", ""}, {"WinCE", ""}});
    c.setup(device);
    const UpdaterRun run = device.Run({"-c"}, "yes", {});
    ExpectStarted(run, "true");
    // The whole console is the started updater's: "-c" did not reach it.
    const Options defaults;
    EXPECT_EQ(run.out, NotNeededTranscript(defaults, CheckBinary(false, kBinaryOk)));
    const auto pids = Pids(run);
    ASSERT_EQ(pids.size(), 2u);
    const std::string& other = pids[1];
    EXPECT_TRUE(EventsOf(run, "create_process", other).empty()) << "it started itself again";
    EXPECT_EQ(ExitEvent(run, other), "0");
    EXPECT_EQ(Boxes(run, other), (std::vector<std::string>{ConfirmationBox(6), NotNeededBox()}));
    EXPECT_EQ(Escapes(run, other), (std::vector<std::string>{"0", "1"}));
    EXPECT_TRUE(FilesLeftOpen(run, other).empty());
  }
}

}  // namespace
}  // namespace e2e
