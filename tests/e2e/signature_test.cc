// Signed packages on a device that holds a PackageKey: which packages and updaters are
// refused, with which line, and that a refused package leaves the device untouched.  Each
// row against its golden transcript.
#include "tests/e2e/e2e_device.h"

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

// PackageKey as a hex: value: the device's public key cut or padded with zeros to `size`
// bytes, or only zeros.  The raw key is the one `vxdevice init --key` provisions.
std::string KeyValue(std::size_t size = 32, bool zeros = false) {
  static const ts::TempDir dir;
  if (!fs::exists(dir / "dev")) RunTool("vxdevice", {"init", dir / "dev", "--key", KeyFile("device.pub")});
  const std::string registry = ts::ReadText(dir / "dev" / "registry.reg");
  const std::string hex = registry.substr(registry.find("\"PackageKey\"=hex:") + 17, 32 * 3 - 1);
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i < hex.size(); i += 3) bytes.push_back(std::stoi(hex.substr(i, 2), nullptr, 16));
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

struct Signed {
  const char* name;       // of the golden file
  Setup setup = nullptr;  // after the package was signed
  Env env = {};
  std::function<std::string()> key = [] { return KeyValue(); };  // the PackageKey value
};

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
    {.name = "signature-key-of-31-bytes", .key = [] { return KeyValue(31); }},
    {.name = "signature-key-of-33-bytes", .key = [] { return KeyValue(33); }},
    {.name = "signature-key-of-zeros", .key = [] { return KeyValue(32, true); }},
    {.name = "signature-key-reg-sz", .key = [] { return std::string("\"key\""); }},
    {.name = "signature-key-reg-dword", .key = [] { return std::string("dword:00000001"); }},
    // An updater beside the package is started only when signed for the device.
    {.name = "signature-updater-unsigned-goes-on", .setup = UpdaterSignedWith("")},
    {.name = "signature-updater-by-other-key-goes-on", .setup = UpdaterSignedWith("other")},
    {.name = "signature-updater-signed-started", .setup = UpdaterSignedWith("device")},
};

class E2eSignature : public ::testing::TestWithParam<Signed> {};

TEST_P(E2eSignature, RunMatchesItsGoldenTranscript) {
  const Signed& row = GetParam();
  Device device;
  device.BuildPackage("spl ipl bootloader wince:2.0");
  const fs::path registry = device.root() / "registry.reg";
  ts::WriteText(registry, ts::ReadText(registry) + "\"PackageKey\"=" + row.key() + "\n");
  Sign(device.PackageFile());
  if (row.setup) row.setup(device);
  ExpectGolden(row.name, device.Run({}, "yes,no", row.env).transcript);
}

INSTANTIATE_TEST_SUITE_P(Signatures, E2eSignature, ::testing::ValuesIn(kSigned), RowName());

}  // namespace
}  // namespace e2e
