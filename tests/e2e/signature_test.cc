// Signed packages on a device that holds a PackageKey: which packages and updaters are
// refused, with which line, and that a refused package leaves the device untouched.
#include <functional>

#include "tests/e2e/e2e_device.h"

namespace e2e {
namespace {

namespace ts = testing_support;

// Two key pairs made once with vxpack keygen: the device's own and another one.
fs::path KeyFile(const std::string& name) {
  static const ts::TempDir dir;
  static const bool made = [] {
    for (const char* n : {"device", "other"}) RunTool("vxpack", {"keygen", "-o", dir / n});
    return true;
  }();
  return made ? dir / name : fs::path();
}

void Provision(Device& d, const std::string& value) {
  ts::WriteText(d.root() / "registry.reg",
                ts::ReadText(d.root() / "registry.reg") + "\"PackageKey\"=" + value + "\n");
}

// PackageKey as a hex: value: the device's public key cut or padded with zeros to `size`
// bytes, or only zeros.
std::string KeyValue(std::size_t size = 32, bool zeros = false) {
  std::vector<std::uint8_t> bytes = ts::ReadBytes(KeyFile("device.pub"));
  bytes.resize(size);
  if (zeros) bytes.assign(size, 0);
  std::string text = "hex";
  for (const std::uint8_t b : bytes) {
    text += (text == "hex" ? ":" : ",") +
            std::string{"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
  }
  return text;
}

void Sign(const fs::path& file, const std::string& key = "device") {
  RunTool("vxpack", {"sign", "--key", KeyFile(key + ".key"), file});
}

fs::path SigOf(Device& d) { return d.PackageFile().string() + ".sig"; }
void Flip(Device& d, std::size_t offset) {
  std::vector<std::uint8_t> bytes = ts::ReadBytes(d.PackageFile());
  bytes.at(offset) ^= 0x01;
  ts::WriteBytes(d.PackageFile(), bytes);
}

std::string Checks(const std::string& signature) {
  return Banner(Options{}) + CheckBinary(false, kBinaryOk) + ">Check signature..." + signature;
}

TEST(E2eSignature, RefusedPackagesLeaveTheDeviceUntouched) {
  struct Refusal {
    const char* name;
    std::function<void(Device&)> tamper;  // after the package was signed
    std::string line;
    std::string fault{};
    std::string key = KeyValue();
  };
  const std::string wrong = "Fail - wrong signature\n\n", none = "Fail - no signature\n\n";
  const auto sigOf = [](std::size_t n) {
    return [n](Device& d) { ts::WriteBytes(SigOf(d), std::vector<std::uint8_t>(n, 7)); };
  };
  const std::string bad = "Fail - bad device key\n\n", read = std::string("read:") + kPackagePath;
  const std::vector<Refusal> cases = {
      {"unsigned", [](Device& d) { fs::remove(SigOf(d)); }, none},
      {"a flipped header byte", [](Device& d) { Flip(d, 16); }, wrong},
      {"a flipped engine byte", [](Device& d) { Flip(d, d.PackageField(24) + 300); }, wrong},
      {"a flipped image byte", [](Device& d) { Flip(d, fs::file_size(d.PackageFile()) - 1); },
       wrong},
      {"signed with another key", [](Device& d) { Sign(d.PackageFile(), "other"); }, wrong},
      {"the package unreadable while hashed", nullptr, wrong, read + "@5000"},
      {"a .sig folder", [](Device& d) { fs::remove(SigOf(d)), fs::create_directory(SigOf(d)); },
       none},
      {"an empty .sig", sigOf(0), none},
      {"a .sig of 63 bytes", sigOf(63), none},
      {"a .sig of 65 bytes", sigOf(65), none},
      {"an unreadable .sig", nullptr, none, read + ".sig@0"},
      {"a 31-byte key", nullptr, bad, "", KeyValue(31)},
      {"a 33-byte key", nullptr, bad, "", KeyValue(33)},
      {"a key of zeros", nullptr, bad, "", KeyValue(32, true)},
      {"a REG_SZ key", nullptr, bad, "", "\"key\""},
      {"a REG_DWORD key", nullptr, bad, "", "dword:00000001"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Device device;
    device.BuildPackageOf({{"SPL", ""}, {"IPL", ""}, {"Bootloader", ""}, {"WinCE", "2.0"}});
    Provision(device, c.key);
    Sign(device.PackageFile());
    if (c.tamper) c.tamper(device);
    const auto flash = device.Flash();
    const UpdaterRun run = device.Run({}, "yes,no", {{"VXU_FAULTS", c.fault}});
    EXPECT_EQ(run.out, Checks(c.line));
    EXPECT_EQ(Boxes(run, run.firstPid),
              (std::vector<std::string>{ConfirmationBox(6), ErrorBox(7)}));
    EXPECT_EQ(run.exitCode, 255);
    EXPECT_EQ(device.Flash(), flash);
    EXPECT_FALSE(fs::exists(device.root() / "VXUpdate.dll"));
    EXPECT_TRUE(FilesLeftOpen(run, run.firstPid).empty());
  }
}

TEST(E2eSignature, SignedPackageUpdatesTheDevice) {
  Device device;
  device.BuildPackageOf({{"SPL", ""}, {"IPL", ""}, {"Bootloader", ""}, {"WinCE", "2.0"}});
  Provision(device, KeyValue());
  Sign(device.PackageFile());
  const auto flash = device.Flash();
  const UpdaterRun run = device.Run({}, "yes");
  EXPECT_EQ(run.out, Checks("Ok\n\n") + Power() + Lock() + UpToDate("SPL") + UpToDate("IPL") +
                         UpToDate("Bootloader") + NeedsUpgrade("WinCE") + Written("WinCE") +
                         VerifyPass({"SPL", "IPL", "Bootloader", "WinCE"}) + HardwareReset());
  EXPECT_EQ(run.exitCode, 100);
  EXPECT_NE(device.Flash().at("WinCE.img"), flash.at("WinCE.img"));
}

TEST(E2eSignature, OnlyASignedUpdaterBesideThePackageIsStarted) {
  struct HandOff {
    const char* name;
    const char* key;  // the key the updater is signed with, "" for none
    const char* debug;
  };
  const std::vector<HandOff> cases = {
      {"unsigned", "", "VXUpdater.exe not started: no signature\r\n"},
      {"signed with another key", "other", "VXUpdater.exe not started: wrong signature\r\n"},
      {"signed for the device", "device", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Device device;
    device.BuildPackageOf({{"SPL", ""}, {"IPL", ""}, {"Bootloader", ""}, {"WinCE", ""}});
    Provision(device, KeyValue());
    Sign(device.PackageFile());
    const fs::path updater = device.Card() / "VXUpdater.exe";
    ts::WriteText(updater, "#!/bin/sh\necho > \"$VXU_DEVICE_ROOT/started\"\n");
    fs::permissions(updater, fs::perms::owner_exec, fs::perm_options::add);
    if (*c.key) Sign(updater, c.key);
    const bool started = *c.debug == 0;
    const UpdaterRun run = device.Run({}, started ? "" : "yes");
    EXPECT_EQ(run.out, started ? ""
                               : Checks("Ok\n\n") + Power() + Lock() + UpToDate("SPL") +
                                     UpToDate("IPL") + UpToDate("Bootloader") + UpToDate("WinCE") +
                                     Unlock() + ">bye");
    EXPECT_EQ(EventsOf(run, "create_process", run.firstPid).size(), started ? 1u : 0u);
    EXPECT_EQ(fs::exists(device.root() / "started"), started);
    const std::string debug = started ? "not started" : c.debug;
    EXPECT_EQ(run.err.find(debug) != std::string::npos, !started) << run.err;
    EXPECT_EQ(run.exitCode, 0);
  }
}

}  // namespace
}  // namespace e2e
