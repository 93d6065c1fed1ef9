// The hand-off to an updater beside the package, with real processes: the same build
// goes on, any other file is started without a command line and this updater ends
// without a word.  Each row against a golden transcript of both processes.
#include "tests/e2e/e2e_device.h"

namespace e2e {
namespace {

namespace ts = testing_support;

// A package in a folder of `length` characters (the leading backslash included, without
// the final one) named by CustomPath, with a marker updater beside it.
auto InFolderOf(std::size_t length) {
  return [=](Device& d) {
    const std::string name(length - 1, 'h');
    d.SetRegistry("\"CustomPath\"=\"\\\\" + name + "\"");
    fs::create_directories(d.root() / name);
    fs::rename(d.PackageFile(), d.root() / name / "VXUpdate.bin");
    WriteMarker(d.root() / name / "VXUpdater.exe");
  };
}

struct HandOff {
  const char* name;  // of the golden file
  std::function<void(Device&)> place;
  const char* answers = "no";
  std::vector<std::string> args = {};
  Env env = {};
};

void PrintTo(const HandOff& row, std::ostream* os) { *os << row.name; }

const std::vector<HandOff> kHandOffs = {
    {.name = "handoff-same-build-goes-on",
     .place = [](Device& d) { CopyUpdater(d.Card() / "VXUpdater.exe"); }},
    {.name = "handoff-same-label-without-zlib-goes-on",
     .place =
         [](Device& d) {
           CopyUpdater(d.Card() / "VXUpdater.exe", true);
           fs::remove(d.root() / "Windows" / "zlib.dll");
         }},
    {.name = "handoff-no-label-started",
     .place = [](Device& d) { WriteMarker(d.Card() / "VXUpdater.exe"); },
     .args = {"-c"}},
    {.name = "handoff-empty-file-started",
     .place = [](Device& d) { ts::WriteText(d.Card() / "VXUpdater.exe", ""); }},
    {.name = "handoff-failed-start-ends-all-the-same",
     .place = [](Device& d) { CopyUpdater(d.Card() / "VXUpdater.exe", true); },
     .env = {{"VXU_FAULTS", "process"}}},
    // Started, the changed copy must not start its own file again, or the chain of
    // hand-offs would never end.
    {.name = "handoff-changed-copy-started-once",
     .place = [](Device& d) { CopyUpdater(d.Card() / "VXUpdater.exe", true); }},
    {.name = "handoff-other-build-runs-the-update",
     .place =
         [](Device& d) {
           CopyUpdater(d.Card() / "VXUpdater.exe", true);
           RunTool("vxstamp", {(d.Card() / "VXUpdater.exe").string()});
         },
     .answers = "yes",
     .args = {"-c"}},
    {.name = "handoff-unreadable-updater-goes-on",
     .place = [](Device& d) { CopyUpdater(d.Card() / "VXUpdater.exe", true); },
     .env = {{"VXU_FAULTS", "read:\\Storage Card\\VXUpdater.exe@100"}}},
    // The updater path is cut at the first "VXUpdate.bin" of the package path.
    {.name = "handoff-path-cut-at-first-package-name",
     .place =
         [](Device& d) {
           d.SetRegistry("\"CustomPath\"=\"\\\\VXUpdate.bin.d\"");
           fs::create_directories(d.root() / "VXUpdate.bin.d");
           fs::rename(d.PackageFile(), d.root() / "VXUpdate.bin.d" / "VXUpdate.bin");
           WriteMarker(d.root() / "VXUpdater.exe");
         }},
    // The folder with its final backslash and "\VXUpdater.exe" must fit in 120 units.
    {.name = "handoff-longest-folder-started", .place = InFolderOf(104)},
    {.name = "handoff-folder-too-long-goes-on", .place = InFolderOf(105)},
};

class E2eHandOff : public ::testing::TestWithParam<HandOff> {};

TEST_P(E2eHandOff, RunMatchesItsGoldenTranscript) {
  const HandOff& row = GetParam();
  Device device;
  device.BuildPackage("spl ipl bootloader wince");
  row.place(device);
  ExpectGolden(row.name, device.Run(row.args, row.answers, row.env).transcript);
}

INSTANTIATE_TEST_SUITE_P(HandOffs, E2eHandOff, ::testing::ValuesIn(kHandOffs), RowName());

}  // namespace
}  // namespace e2e
