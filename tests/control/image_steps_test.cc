// The image steps as the user and the device see them: the console text of one step, its
// result, and the device-library calls it made, in order.  Each step runs in
// image_steps_probe against a scripted device library (see the probe for its words).
#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "tests/package/package_builder.h"
#include "tests/support/testing.h"

namespace {

using testing_support::Built;
using testing_support::TempDir;

// The writer's progress for one whole image: ten dots on the "Update" line.
constexpr const char* kDots = "..........";

struct StepCase {
  const char* name;
  std::vector<std::string> args;  // probe arguments: operation, type, words
  std::string console;
  std::int32_t result;
  std::vector<std::string> calls;
};

struct StepRun {
  std::string console;
  std::string calls;
  std::string result;
  int exitCode = -1;
};

// A package holding Miniboot, SPL, Bootloader and WinCE, 2 KiB each, in the device root.
void WritePackage(const TempDir& device) {
  package_test::PackageBuilder builder;
  builder.header.miniboot = builder.Append(2048, 1);
  builder.header.spl = builder.Append(2048, 2);
  builder.header.bootloader = builder.Append(2048, 3);
  builder.header.wince = builder.Append(2048, 4);
  builder.Seal();
  builder.WriteTo(device / "VXUpdate.bin");
}

std::string Field(const std::string& report, const std::string& key) {
  std::istringstream in(report);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(key, 0) == 0) return line.substr(key.size());
  }
  return "(no " + key + " line)";
}

StepRun RunStep(const TempDir& device, const std::vector<std::string>& args) {
  const auto run = testing_support::Run(
      Built("tests/control/image_steps_probe"), args,
      {{"VXU_DEVICE_ROOT", device.path().string()}, {"VXU_TIME_SCALE", "0"}});
  return {run.out, Field(run.err, "calls:"), Field(run.err, "result: "), run.exitCode};
}

std::string Joined(const std::vector<std::string>& calls) {
  std::string joined;
  for (const std::string& call : calls) joined += ' ' + call;
  return joined;
}

// The calls of one comparison: both records, then the device's CRC check when asked for
// it and the records are equal.
std::vector<std::string> Compare(int type, bool crc) {
  std::vector<std::string> calls = {"GetImageInfo(" + std::to_string(type) + ")",
                                    "GetImageInfoFromBuffer(512)"};
  if (crc) calls.push_back("VXUpdate_CheckCRC(" + std::to_string(type) + ")");
  return calls;
}
// The calls of one whole write: the first 1024 bytes, the 1024 the library asks for, the end.
std::vector<std::string> Write(int type) {
  return {"VXUpdate_WriteFirst(" + std::to_string(type) + ",1024)", "VXUpdate_WriteNext(1024)",
          "VXUpdate_WriteLast()"};
}
const std::vector<std::string> kFormat = {"VXUpdate_LowLevelFormat()"};
const std::vector<std::string> kStore = {"GD_setULong(28,1)", "GD_store()"};

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

void ExpectSteps(const std::vector<StepCase>& cases) {
  TempDir device;
  WritePackage(device);
  for (const StepCase& c : cases) {
    SCOPED_TRACE(c.name);
    const StepRun run = RunStep(device, c.args);
    ASSERT_EQ(run.exitCode, 0) << "the probe did not run the step";
    EXPECT_EQ(run.console, c.console);
    EXPECT_EQ(run.result, std::to_string(c.result));
    EXPECT_EQ(run.calls, Joined(c.calls));
  }
}

TEST(ImageStepUpdate, PrintsEachOutcomeAndCallsOnlyWhatItNeeds) {
  const std::string update = std::string("Update Bootloader") + kDots + "Ok\n";
  const std::string updateCe = std::string("Update WinCE") + kDots + "Ok\n";
  const std::string needBoot = "Check Bootloader...Need to upgrade\n";
  const std::string needCe = "Check WinCE...Need to upgrade\n";
  const std::vector<StepCase> cases = {
      // The check decides.
      {"equal image is up to date and nothing else happens",
       {"update", "3"}, "Check Bootloader...Up to Date\n", 0, Compare(3, true)},
      {"CheckCRC off leaves out the device's CRC check",
       {"update", "3", "nocrc"}, "Check Bootloader...Up to Date\n", 0, Compare(3, false)},
      {"flash image not described is an error with its code",
       {"update", "3", "GetImageInfo=0"}, "Check Bootloader...Error (Code = 9)\n", 9,
       {"GetImageInfo(3)"}},
      {"package image not described is an error with its code",
       {"update", "3", "GetImageInfoFromBuffer=0"}, "Check Bootloader...Error (Code = 6)\n", 6,
       Compare(3, false)},
      {"CRC check answering other than 14 is an error, not an upgrade",
       {"update", "3", "VXUpdate_CheckCRC=-1"}, "Check Bootloader...Error (Code = -1)\n", -1,
       Compare(3, true)},
      {"differing records (4) lead to a write",
       {"update", "3", "differ"}, needBoot + update, 0, Compare(3, false) + Write(3)},
      {"failed CRC check (14) leads to a write as 4 does",
       {"update", "3", "VXUpdate_CheckCRC=14"}, needBoot + update, 0,
       Compare(3, true) + Write(3)},
      // Formatting before Miniboot and SPL.
      {"Miniboot is formatted before it is written",
       {"update", "1", "differ"},
       std::string("Check Miniboot...Need to upgrade\nFlash physical format...Ok\nUpdate Miniboot") +
           kDots + "Ok\n",
       0, Compare(1, false) + kFormat + Write(1)},
      {"SPL is formatted before it is written",
       {"update", "2", "differ"},
       std::string("Check SPL...Need to upgrade\nFlash physical format...Ok\nUpdate SPL") + kDots +
           "Ok\n",
       0, Compare(2, false) + kFormat + Write(2)},
      {"failed format skips the write and the verify and answers the format's value",
       {"update", "1", "differ", "verify", "VXUpdate_LowLevelFormat=5"},
       "Check Miniboot...Need to upgrade\nFlash physical format...Failed\n", 5,
       Compare(1, false) + kFormat},
      // Forced upgrade.
      {"forced Miniboot is formatted and written although equal, without a check",
       {"update", "1", "force"},
       std::string("Flash physical format...Ok\nUpdate Miniboot") + kDots + "Ok\n", 0,
       kFormat + Write(1)},
      {"forced SPL is formatted and written without a check",
       {"update", "2", "force"},
       std::string("Flash physical format...Ok\nUpdate SPL") + kDots + "Ok\n", 0,
       kFormat + Write(2)},
      {"forced Bootloader is written without a check or a format",
       {"update", "3", "force"}, update, 0, Write(3)},
      // Writing and verifying.
      {"failed write answers the writer's value and runs no verify",
       {"update", "3", "differ", "verify", "VXUpdate_WriteFirst=7"},
       needBoot + "Update BootloaderFailed\n", 7,
       Compare(3, false) + std::vector<std::string>{"VXUpdate_WriteFirst(3,1024)"}},
      {"verify after the write passes with the CRC check",
       {"update", "3", "verify", "VXUpdate_CheckCRC=14,0"},
       needBoot + update + "Verify Bootloader...Ok\n", 0,
       Compare(3, true) + Write(3) + Compare(3, true)},
      {"failed verify answers the comparison's value",
       {"update", "3", "verify", "VXUpdate_CheckCRC=14"},
       needBoot + update + "Verify Bootloader...Failed\n", 14,
       Compare(3, true) + Write(3) + Compare(3, true)},
      {"verify asks for the CRC check even with CheckCRC off",
       {"update", "3", "force", "verify", "nocrc"}, update + "Verify Bootloader...Ok\n", 0,
       Write(3) + Compare(3, true)},
      {"verify finding differing records answers 4",
       {"update", "3", "force", "verify", "differ"}, update + "Verify Bootloader...Failed\n", 4,
       Write(3) + Compare(3, false)},
      // The data store after WinCE.
      {"up-to-date WinCE touches no data store item",
       {"update", "4"}, "Check WinCE...Up to Date\n", 0, Compare(4, true)},
      {"written WinCE sets item 28 and stores",
       {"update", "4", "differ"}, needCe + updateCe, 0, Compare(4, false) + Write(4) + kStore},
      {"forced WinCE sets item 28 and stores",
       {"update", "4", "force"}, updateCe, 0, Write(4) + kStore},
      {"verified WinCE stores after the verify",
       {"update", "4", "verify", "VXUpdate_CheckCRC=14,0"},
       needCe + updateCe + "Verify WinCE...Ok\n", 0,
       Compare(4, true) + Write(4) + Compare(4, true) + kStore},
      {"WinCE failing its verify touches no data store item",
       {"update", "4", "force", "verify", "differ"}, updateCe + "Verify WinCE...Failed\n", 4,
       Write(4) + Compare(4, false)},
      {"WinCE failing its write touches no data store item",
       {"update", "4", "force", "VXUpdate_WriteFirst=7"}, "Update WinCEFailed\n", 7,
       {"VXUpdate_WriteFirst(4,1024)"}},
      {"item not set answers 9 silently and does not store",
       {"update", "4", "force", "GD_setULong=0"}, updateCe, 9,
       Write(4) + std::vector<std::string>{"GD_setULong(28,1)"}},
      {"store failing answers 9 silently",
       {"update", "4", "force", "GD_store=0"}, updateCe, 9, Write(4) + kStore},
      // No package.
      {"invalid handle answers 9 without a word or a call",
       {"update", "4", "invalid", "force", "verify"}, "", 9, {}},
  };
  ExpectSteps(cases);
}

TEST(ImageStepVerify, ComparesWithTheCrcCheckAndPrintsOnlyTheOutcome) {
  const std::vector<StepCase> cases = {
      {"matching image is Ok", {"verify", "3"}, "Verify Bootloader...Ok\n", 0, Compare(3, true)},
      {"failed CRC check is Failed with its code unprinted",
       {"verify", "3", "VXUpdate_CheckCRC=14"}, "Verify Bootloader...Failed\n", 14,
       Compare(3, true)},
      {"differing records are Failed with 4",
       {"verify", "3", "differ"}, "Verify Bootloader...Failed\n", 4, Compare(3, false)},
      {"flash image not described is Failed with 9",
       {"verify", "3", "GetImageInfo=0"}, "Verify Bootloader...Failed\n", 9, {"GetImageInfo(3)"}},
      {"Miniboot is compared, never formatted",
       {"verify", "1"}, "Verify Miniboot...Ok\n", 0, Compare(1, true)},
      {"WinCE touches no data store item",
       {"verify", "4"}, "Verify WinCE...Ok\n", 0, Compare(4, true)},
      {"invalid handle answers 9 without a word or a call", {"verify", "4", "invalid"}, "", 9, {}},
  };
  ExpectSteps(cases);
}

}  // namespace
