// What a signature made by vxpack holds for, and the keys vxdevice init provisions.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/testing.h"

namespace {

namespace ts = testing_support;

ts::RunResult Tool(const std::string& tool, const std::vector<std::string>& args) {
  return ts::Run(ts::Built("tools/" + tool), args);
}

// The point of order 2 as a public key file.
void WriteUnusableKey(const ts::fs::path& file) {
  std::vector<std::uint8_t> bytes(32, 0xFF);
  bytes[0] = 0xEC;
  bytes[31] = 0x7F;
  ts::WriteBytes(file, bytes);
}

TEST(Vxpack, ASignatureHoldsOnlyForWhatItWasMadeAs) {
  const ts::TempDir dir;
  ASSERT_EQ(Tool("vxpack", {"keygen", "-o", (dir / "k").string()}).exitCode, 0);
  WriteUnusableKey(dir / "bad.pub");
  struct Case {
    std::string file;
    std::vector<std::string> sign, verify;
    int exitCode;
    std::string pub = "k.pub";
  };
  const Case cases[] = {
      {"VXUpdate.bin", {}, {}, 0},
      {"VXUpdate.bin", {}, {"--updater"}, 1},
      {"VXUpdater.exe", {}, {}, 0},
      {"vxupdater.EXE", {}, {"--package"}, 1},
      {"VXUpdater.exe", {"--package"}, {}, 1},
      {"other.exe", {"--updater"}, {"--updater"}, 0},
      {"VXUpdate.bin", {"--updater", "--package"}, {}, 2},
      {"VXUpdate.bin", {}, {}, 1, "bad.pub"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file + " " + std::to_string(c.sign.size()) + " " + std::to_string(c.verify.size()));
    const std::string file = (dir / c.file).string();
    ts::WriteText(file, "the bytes of " + c.file);
    std::vector<std::string> sign = {"sign", "--key", (dir / "k.key").string()};
    sign.insert(sign.end(), c.sign.begin(), c.sign.end());
    sign.push_back(file);
    const ts::RunResult signing = Tool("vxpack", sign);
    if (signing.exitCode != 0) {
      EXPECT_EQ(signing.exitCode, c.exitCode) << signing.err;
      continue;
    }
    std::vector<std::string> verify = {"verify", "--pub", (dir / c.pub).string()};
    verify.insert(verify.end(), c.verify.begin(), c.verify.end());
    verify.push_back(file);
    const ts::RunResult verifying = Tool("vxpack", verify);
    EXPECT_EQ(verifying.exitCode, c.exitCode) << verifying.err;
    EXPECT_EQ(c.pub == "bad.pub", verifying.err.find("not a usable public key") != std::string::npos);
  }
}

TEST(Vxdevice, InitProvisionsOneToFourUsableKeys) {
  const ts::TempDir dir;
  std::vector<std::string> keys;
  for (int k = 0; k < 5; ++k) {
    const std::string name = (dir / ("k" + std::to_string(k))).string();
    ASSERT_EQ(Tool("vxpack", {"keygen", "-o", name}).exitCode, 0);
    keys.push_back(name + ".pub");
  }
  WriteUnusableKey(dir / "bad.pub");
  struct Case {
    std::vector<std::string> keys;
    int exitCode;
    std::size_t bytes;  // of PackageKey
  };
  const Case cases[] = {
      {{keys[0]}, 0, 32},
      {{keys[0], keys[1], keys[2], keys[3]}, 0, 128},
      {keys, 2, 0},
      {{keys[0], (dir / "bad.pub").string()}, 1, 0},
  };
  int made = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.keys.size());
    const std::string device = (dir / ("device" + std::to_string(++made))).string();
    std::vector<std::string> args = {"init", device};
    for (const auto& key : c.keys) args.insert(args.end(), {"--key", key});
    const ts::RunResult run = Tool("vxdevice", args);
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
    EXPECT_EQ(c.exitCode == 1, run.err.find("bad.pub: not a usable public key") != std::string::npos);
    if (c.exitCode != 0) continue;
    const std::string registry = ts::ReadText(device + "/registry.reg");
    const std::size_t value = registry.find("\"PackageKey\"=hex:");
    ASSERT_NE(value, std::string::npos);
    const std::string hex = registry.substr(value, registry.find('\n', value) - value);
    EXPECT_EQ(static_cast<std::size_t>(std::count(hex.begin(), hex.end(), ',')) + 1, c.bytes);
  }
}

}  // namespace
