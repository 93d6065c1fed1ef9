// Signed packages on a device that holds a PackageKey: which packages and updaters are
// refused, with which line, and that a refused package leaves the device untouched.  Each
// row against its golden transcript.
#include <sys/stat.h>

#include <iostream>

#include "tests/e2e/e2e_device.h"
#include "tests/support/softhsm.h"

namespace e2e {
namespace {

namespace ts = testing_support;

// Two key pairs made once with vxpack keygen: the device's own and another one.
fs::path KeyFile(const std::string& name) {
  static const ts::TempDir dir;
  for (const std::string n : {"device", "other"}) {
    if (!fs::exists(dir / (n + ".key"))) RunTool("vxpack", {"keygen", "-o", dir / n});
  }
  return dir / name;
}

// The raw public key of pair `name`: the bytes `vxdevice init --key` provisions.
std::vector<std::uint8_t> RawPublicKey(const std::string& name) {
  static const ts::TempDir dir;
  if (!fs::exists(dir / name)) {
    RunTool("vxdevice", {"init", dir / name, "--key", KeyFile(name + ".pub")});
  }
  const std::string registry = ts::ReadText(dir / name / "registry.reg");
  const std::string hex = registry.substr(registry.find("\"PackageKey\"=hex:") + 17, 32 * 3 - 1);
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i < hex.size(); i += 3) bytes.push_back(std::stoi(hex.substr(i, 2), nullptr, 16));
  return bytes;
}

// PackageKey as a hex: value: the public keys of these pairs, or points given in hex,
// one after another, then cut or padded with zeros to `size` bytes (0: as they come).
std::string KeyValue(const std::vector<std::string>& keys = {"device"}, std::size_t size = 0) {
  std::vector<std::uint8_t> bytes;
  for (const auto& key : keys) {
    const auto pair = key.size() == 64 ? std::vector<std::uint8_t>() : RawPublicKey(key);
    bytes.insert(bytes.end(), pair.begin(), pair.end());
    for (std::size_t i = 0; pair.empty() && i < key.size(); i += 2) {
      bytes.push_back(static_cast<std::uint8_t>(std::stoi(key.substr(i, 2), nullptr, 16)));
    }
  }
  if (size != 0) bytes.resize(size);
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

using Setup = std::function<void(Device&)>;

// One bit flipped in the signed package, `at` bytes behind where the header field at
// `field` points (0: the start of the file); a negative `at` counts from the end.
Setup Flipping(long at, std::size_t field = 0) {
  return [=](Device& d) {
    std::uint32_t base = 0;
    if (field != 0) d.PatchPackage(field, [&](std::uint32_t v) { return base = v; });
    std::vector<std::uint8_t> bytes = ts::ReadBytes(d.PackageFile());
    bytes.at(at < 0 ? bytes.size() + at : base + at) ^= 0x01;
    ts::WriteBytes(d.PackageFile(), bytes);
  };
}

// The package's signature replaced by `size` bytes, by a folder (-1) or by nothing (-2).
Setup SignatureOf(int size) {
  return [=](Device& d) {
    const fs::path sig = d.PackageFile().string() + ".sig";
    fs::remove(sig);
    if (size == -1) fs::create_directory(sig);
    if (size >= 0) ts::WriteBytes(sig, std::vector<std::uint8_t>(size, 7));
  };
}

// A marker updater beside the package, signed with `key` ("": unsigned).
Setup UpdaterSignedWith(std::string key) {
  return [=](Device& d) {
    WriteMarker(d.Card() / "VXUpdater.exe");
    if (!key.empty()) Sign(d.Card() / "VXUpdater.exe", key);
  };
}

// A build of the updater beside the package, signed for the device: another build
// (restamped), or this one changed after stamping.
Setup UpdaterBuildSigned(bool restamped) {
  return [=](Device& d) {
    CopyUpdater(d.Card() / "VXUpdater.exe", true);
    if (restamped) RunTool("vxstamp", {(d.Card() / "VXUpdater.exe").string()});
    Sign(d.Card() / "VXUpdater.exe");
  };
}

// VXU_FAULTS=change: at `at` bytes behind where the header field at `field` points.
std::function<Env(Device&)> ChangedAt(std::size_t field, std::uint32_t at) {
  return [=](Device& d) {
    std::uint32_t base = 0;
    d.PatchPackage(field, [&](std::uint32_t v) { return base = v; });
    return Env{{"VXU_FAULTS", "change:" + kPackage + "@" + std::to_string(base + at)}};
  };
}

// Points of order 2 and 8.
const std::string kOrder2 = "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f";
const std::string kOrder8 = "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a";

struct Signed {
  const char* name;       // of the golden file
  Setup setup = nullptr;  // after the package was signed
  Env env = {};
  std::function<std::string()> key = [] { return KeyValue(); };  // the PackageKey value
  std::function<Env(Device&)> faultsOf = nullptr;  // more of the environment, from the package
  const char* images = "spl ipl bootloader wince:2.0";
  const char* answers = "yes,no";
  // For an nth:K row, the registry call that the fault must strike (its event, then the
  // key or value it names), so that a change in the order of calls cannot make the row
  // test another call unnoticed.
  std::pair<const char*, const char*> faulted = {nullptr, nullptr};
};

// The device registry written again as UTF-16LE without its byte-order mark.
void RegistryAsUtf16WithoutMark(Device& d) {
  const std::string text = ts::ReadText(d.root() / "registry.reg");
  std::vector<std::uint8_t> bytes;
  for (const char c : text) bytes.insert(bytes.end(), {static_cast<std::uint8_t>(c), 0});
  ts::WriteBytes(d.root() / "registry.reg", bytes);
}

void PrintTo(const Signed& row, std::ostream* os) { *os << row.name; }

const std::vector<Signed> kSigned = {
    {.name = "signature-ok-updates-the-device"},
    {.name = "signature-missing", .setup = SignatureOf(-2)},
    {.name = "signature-over-flipped-header-byte", .setup = Flipping(16)},
    {.name = "signature-over-flipped-engine-byte", .setup = Flipping(300, kEngineOffsetField)},
    // The last image, which the CRC pass would not read without -c.
    {.name = "signature-over-flipped-image-byte", .setup = Flipping(-1)},
    {.name = "signature-by-other-key", .setup = [](Device& d) { Sign(d.PackageFile(), "other"); }},
    {.name = "signature-package-unreadable", .env = {{"VXU_FAULTS", "read:" + kPackage + "@5000"}}},
    {.name = "signature-folder", .setup = SignatureOf(-1)},
    {.name = "signature-empty", .setup = SignatureOf(0)},
    {.name = "signature-of-63-bytes", .setup = SignatureOf(63)},
    {.name = "signature-of-65-bytes", .setup = SignatureOf(65)},
    {.name = "signature-unreadable", .env = {{"VXU_FAULTS", "read:" + kPackage + ".sig@0"}}},
    {.name = "signature-without-memory", .env = {{"VXU_FAULTS", "alloc:32768"}}},
    {.name = "signature-key-of-31-bytes", .key = [] { return KeyValue({"device"}, 31); }},
    {.name = "signature-key-of-33-bytes", .key = [] { return KeyValue({"device"}, 33); }},
    {.name = "signature-key-of-zeros", .key = [] { return KeyValue({std::string(64, '0')}); }},
    {.name = "signature-key-reg-sz", .key = [] { return std::string("\"key\""); }},
    {.name = "signature-key-reg-dword", .key = [] { return std::string("dword:00000001"); }},
    // The point of order 2, on which the library would end the process, here in the
    // hand-off first; and one of order 8, under which this forgery (R the neutral
    // element, S = 0) verifies for one digest in eight.
    {.name = "signature-key-of-order-2",
     .setup = UpdaterSignedWith(""),
     .key = [] { return KeyValue({kOrder2}); }},
    {.name = "signature-key-of-order-8-forged",
     .setup = [](Device& d) {
       std::vector<std::uint8_t> forged(64, 0);
       forged[0] = 1;
       ts::WriteBytes(d.PackageFile().string() + ".sig", forged);
     },
     .key = [] { return KeyValue({kOrder8}); }},
    // Registry failures while PackageKey is looked for (nth:6 opens the options key,
    // nth:12 asks for PackageKey) leave the device asking for signatures.
    {.name = "signature-options-key-unreadable", .setup = SignatureOf(-2),
     .env = {{"VXU_FAULTS", "nth:6"}}, .faulted = {"reg_open", "VX_Config\\VXUpdate"}},
    {.name = "signature-key-query-fails", .setup = SignatureOf(-2),
     .env = {{"VXU_FAULTS", "nth:12"}}, .faulted = {"reg_query", "PackageKey"}},
    // A registry that cannot be read, or a PackageKey line that cannot, is no sign that
    // the device holds no key.
    {.name = "signature-key-line-unreadable", .setup = SignatureOf(-2),
     .key = [] { return KeyValue() + ",zz"; }},
    {.name = "signature-registry-a-folder",
     .setup = [](Device& d) {
       SignatureOf(-2)(d);
       fs::remove(d.root() / "registry.reg");
       fs::create_directory(d.root() / "registry.reg");
     }},
    {.name = "signature-registry-utf16-without-mark",
     .setup = [](Device& d) {
       SignatureOf(-2)(d);
       RegistryAsUtf16WithoutMark(d);
     }},
    // Rotation: any key of the list verifies, one unusable key spoils the list.
    {.name = "signature-second-of-two-keys", .key = [] { return KeyValue({"other", "device"}); }},
    {.name = "signature-key-list-with-one-unusable",
     .key = [] { return KeyValue({"device"}, 64); }},
    // A card that changes the package once it has been read to its end: the step that
    // reads the changed block fails there, before the bytes are used.
    {.name = "signature-engine-changed-after-the-check",
     .faultsOf = ChangedAt(kEngineOffsetField, 100)},
    {.name = "signature-image-changed-after-the-check",
     .faultsOf = ChangedAt(kWinceOffsetField, 200000),
     .images = "spl ipl bootloader wince:2.0:7000:262144"},
    // An updater beside the package is started only when signed for the device, as an
    // updater, and then from a verified copy in device storage.
    {.name = "signature-updater-unsigned-goes-on", .setup = UpdaterSignedWith("")},
    {.name = "signature-updater-by-other-key-goes-on", .setup = UpdaterSignedWith("other")},
    {.name = "signature-updater-signed-started", .setup = UpdaterSignedWith("device")},
    {.name = "signature-package-as-updater-not-started",
     .setup = [](Device& d) {
       fs::copy_file(d.PackageFile(), d.Card() / "VXUpdater.exe");
       fs::copy_file(d.PackageFile().string() + ".sig", d.Card() / "VXUpdater.exe.sig");
     }},
    {.name = "signature-updater-replaced-before-the-start",
     .setup = [](Device& d) {
       UpdaterSignedWith("device")(d);
       WriteMarker(d.Card() / "intruder", "intruder");
     },
     .env = {{"VXU_FAULTS", "replace:\\Storage Card\\VXUpdater.exe=\\Storage Card\\intruder"}}},
    // A link at the copy's name is replaced, not written through onto the card.
    {.name = "signature-updater-copy-over-a-link",
     .setup = [](Device& d) {
       UpdaterSignedWith("device")(d);
       WriteMarker(d.Card() / "intruder", "intruder");
       fs::create_symlink("Storage Card/VXUpdater.exe", d.root() / "VXUpdater.exe");
     },
     .env = {{"VXU_FAULTS", "replace:\\Storage Card\\VXUpdater.exe=\\Storage Card\\intruder"}}},
    // A card entry that links to the copy's name: the card swapped after the check
    // reaches neither the copy nor the started program.
    {.name = "signature-updater-card-links-to-the-copy",
     .setup = [](Device& d) {
       WriteMarker(d.root() / "VXUpdater.exe");
       fs::copy_file(d.root() / "VXUpdater.exe", d.root() / "signed.exe");
       RunTool("vxpack", {"sign", "--updater", "--key", KeyFile("device.key"), d.root() / "signed.exe"});
       fs::rename(d.root() / "signed.exe.sig", d.Card() / "VXUpdater.exe.sig");
       fs::remove(d.root() / "signed.exe");
       fs::create_symlink("../VXUpdater.exe", d.Card() / "VXUpdater.exe");
       WriteMarker(d.Card() / "intruder", "intruder");
     },
     .env = {{"VXU_FAULTS", "replace:\\Storage Card\\VXUpdater.exe=\\Storage Card\\intruder"}}},
    {.name = "signature-updater-other-build-runs-from-its-copy",
     .setup = UpdaterBuildSigned(true), .answers = "yes"},
    {.name = "signature-updater-changed-copy-started-once",
     .setup = UpdaterBuildSigned(false), .answers = "yes"},
};

class E2eSignature : public ::testing::TestWithParam<Signed> {};

TEST_P(E2eSignature, RunMatchesItsGoldenTranscript) {
  const Signed& row = GetParam();
  Device device;
  device.BuildPackage(row.images);
  const fs::path registry = device.root() / "registry.reg";
  ts::WriteText(registry, ts::ReadText(registry) + "\"PackageKey\"=" + row.key() + "\n");
  Sign(device.PackageFile());
  if (row.setup) row.setup(device);
  Env env = row.env;
  if (row.faultsOf) env = row.faultsOf(device);
  const UpdaterRun run = device.Run({}, row.answers, env);
  if (row.faulted.first != nullptr) {
    const auto at = std::find_if(run.trace.begin(), run.trace.end(),
                                 [](const auto& line) { return line.ev() == "fault"; });
    ASSERT_TRUE(at != run.trace.end() && at + 1 != run.trace.end()) << run.out;
    const auto& struck = *(at + 1);
    EXPECT_EQ(struck.ev(), row.faulted.first) << struck.raw;
    EXPECT_EQ(struck[struck.ev() == "reg_open" ? "key" : "name"], row.faulted.second) << struck.raw;
  }
  ExpectGolden(row.name, run.transcript);
}

INSTANTIATE_TEST_SUITE_P(Signatures, E2eSignature, ::testing::ValuesIn(kSigned), RowName());

// A registry damaged in any of these ways may have held a key: a keyed device with an
// unsigned package refuses it (a registry failure, or the key read all the same) and
// writes nothing.
TEST(E2eDamagedRegistry, NoDamageTurnsTheSignatureCheckOff) {
  const std::string section = "[HKEY_LOCAL_MACHINE\\VX_Config\\VXUpdate]\n";
  const std::string key = "\"PackageKey\"=" + KeyValue() + "\n";
  const std::vector<std::pair<std::string, std::function<void(const fs::path&)>>> damages = {
      {"a link to nowhere", [](const fs::path& r) { fs::create_symlink("/nonexistent", r); }},
      {"a pipe", [](const fs::path& r) { ASSERT_EQ(::mkfifo(r.c_str(), 0644), 0); }},
      {"a folder", [](const fs::path& r) { fs::create_directory(r); }},
  };
  const std::vector<std::string> texts = {
      "REGEDIT4\n[HKEY_LOCAL_MACHINE\\VX_Config\\\\VXUpdate]\n" + key,
      "REGEDIT4\n[HKEY_LOCAL_MACHINE\\VX_Config\\VXUpdate ;x\n" + key,
      "REGEDIT4\n[ HKEY_LOCAL_MACHINE\\VX_Config\\VXUpdate]\n" + key,
      "REGEDIT4\n" + section + "x" + key,
      "REGEDIT4\n" + section + "\xEF\xBB\xBF" + key,
      "REGEDIT4\n" + section + "\"CheckCRC\"=dword:00000001 ; C:\\\n" + key,
      "REGEDIT4\n" + section + key.substr(0, key.size() - 1) + ",zz\n",
  };
  Device d;
  d.BuildPackage("spl:2.0 ipl:2.0 bootloader:2.0 wince:2.0");
  const fs::path registry = d.root() / "registry.reg";
  auto expectRefused = [&](const std::string& what) {
    SCOPED_TRACE(what);
    const UpdaterRun run = d.Run({}, "yes,no", {});
    EXPECT_NE(run.out.find(">Check signature...Fail - "), std::string::npos) << run.out;
    for (const auto& line : run.trace) {
      EXPECT_FALSE(line.ev() == "device" && line["call"].starts_with("VXUpdate_Write")) << line.raw;
    }
  };
  for (const auto& [what, make] : damages) {
    fs::remove_all(registry);
    make(registry);
    expectRefused(what);
  }
  for (const auto& text : texts) {
    fs::remove_all(registry);
    ts::WriteText(registry, text);
    expectRefused(text);
  }
}

// Every fallible call failed in turn on a device that holds a key, with an unsigned
// package and an unsigned updater beside it: no fault point writes an image, installs or
// loads the package's engine, or starts a program.
TEST(E2eSignedSweep, NoFaultPointUsesAnUnsignedPackageOrUpdater) {
  Device d;
  d.BuildPackage("spl:2.0 ipl:2.0 bootloader:2.0 wince:2.0");
  const fs::path registry = d.root() / "registry.reg";
  ts::WriteText(registry, ts::ReadText(registry) + "\"PackageKey\"=" + KeyValue() + "\n");
  WriteMarker(d.Card() / "VXUpdater.exe");
  int k = 1;
  for (; !HasFailure(); ++k) {
    SCOPED_TRACE("nth:" + std::to_string(k));
    const UpdaterRun run = d.Run({"-c"}, "yes,no", {{"VXU_FAULTS", "nth:" + std::to_string(k)}});
    for (const auto& line : run.trace) {
      EXPECT_NE(line.ev(), "create_process") << line.raw;
      EXPECT_NE(line.ev(), "marker") << line.raw;
      EXPECT_FALSE(line.ev() == "create_file" && line["path"] == "\\VXUpdate.dll") << line.raw;
      EXPECT_FALSE(line.ev() == "load_library" && line["name"] == "\\VXUpdate.dll") << line.raw;
      EXPECT_FALSE(line.ev() == "device" && line["call"].starts_with("VXUpdate_Write")) << line.raw;
    }
    EXPECT_TRUE(run.exitCode == 255 || run.exitCode == 0) << run.exitCode << "\n" << run.out;
    if (ts::EventsOf(run.trace, "fault").empty()) break;
  }
  std::cout << "[ sweep    ] keyed, unsigned: " << k - 1 << " fault points\n";
  EXPECT_GT(k, 20);
}

// A package signed inside a token (SoftHSM2) on a device provisioned with the public key
// that vxpack pubkey exported: the same run as with a key file; a signature by another
// key of the token is refused the same way.
TEST(E2eTokenSignature, TokenSignedPackageRunsAsAFileSignedOne) {
  if (const std::string missing = ts::SoftHsm::Missing(); !missing.empty()) GTEST_SKIP() << missing;
  ts::SoftHsm hsm;
  hsm.InitToken("release", "1234");
  hsm.MakeKey("release", "1234", "fleet", "01");
  hsm.MakeKey("release", "1234", "other", "02");
  const auto vxpack = [&](const std::string& verb, const std::string& key, const fs::path& file) {
    const std::string uri = hsm.Uri("release", "object=" + key, "&pin-value=1234");
    const auto args = verb == "sign" ? std::vector<std::string>{verb, "--key", uri, file}
                                     : std::vector<std::string>{verb, "-o", file, uri};
    const ts::RunResult run = ts::Run(ts::Built("tools/vxpack"), args, hsm.Env());
    EXPECT_EQ(run.exitCode, 0) << run.err;
  };
  vxpack("pubkey", "fleet", hsm.dir() / "fleet.pub");
  RunTool("vxdevice", {"init", hsm.dir() / "keyed", "--key", hsm.dir() / "fleet.pub"});
  const std::string keyed = ts::ReadText(hsm.dir() / "keyed" / "registry.reg");
  const std::size_t at = keyed.find("\"PackageKey\"=");
  ASSERT_NE(at, std::string::npos) << keyed;
  for (const auto& [golden, key] : {std::pair{"signature-ok-updates-the-device", "fleet"},
                                    std::pair{"signature-by-other-key", "other"}}) {
    Device device;
    device.BuildPackage("spl ipl bootloader wince:2.0");
    const fs::path registry = device.root() / "registry.reg";
    ts::WriteText(registry, ts::ReadText(registry) + keyed.substr(at, keyed.find('\n', at) + 1 - at));
    vxpack("sign", key, device.PackageFile());
    ExpectGolden(golden, device.Run({}, "yes,no").transcript);
  }
}

}  // namespace
}  // namespace e2e
