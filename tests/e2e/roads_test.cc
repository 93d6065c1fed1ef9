// Every road of an update run, one row each: the device, the package, the options, the
// answers and the faults, against a golden transcript of the console, the exit status,
// the message boxes, the registry, file and device calls in order, and what the flash
// holds afterwards.
#include "tests/e2e/e2e_device.h"

namespace e2e {
namespace {

namespace ts = testing_support;

constexpr const char* kSame = "spl ipl bootloader wince";
constexpr const char* kNewWince = "spl ipl bootloader wince:2.0";

struct Road {
  const char* name;  // of the golden file
  const char* package = kSame;  // "": no package at all
  const char* answers = "yes";
  std::vector<std::string> args = {};
  Env env = {};
  const char* registry = nullptr;  // nullptr: the one vxdevice made
  const char* boot = "doc";
  std::function<void(Device&, Env&)> setup = nullptr;  // after the package is built
};

void PrintTo(const Road& road, std::ostream* os) { *os << road.name; }

auto Patching(std::size_t field, std::uint32_t (*change)(std::uint32_t)) {
  return [=](Device& d, Env&) { d.PatchPackage(field, change); };
}

// A header cut to `length` bytes, which leaves `images` of the package's 4096-byte images
// outside the directory and so outside the payload size.
auto Shortening(std::uint32_t length, std::uint32_t images) {
  return [=](Device& d, Env&) {
    d.PatchPackage(kHeaderLengthField, [=](std::uint32_t) { return length; });
    d.PatchPackage(kPayloadSizeField, [=](std::uint32_t v) { return v - images * 4096; });
  };
}

auto Installing(const char* file, fs::path library) {
  return [=](Device& d, Env&) {
    fs::copy_file(library, d.root() / "Windows" / file, fs::copy_options::overwrite_existing);
  };
}

auto Rebuilding(const char* images, fs::path engine) {
  return [=](Device& d, Env&) { d.BuildPackage(images, engine); };
}

// The package moves to \Updates; the storage card keeps a file the probe refuses.
auto MovedToUpdates(std::vector<std::uint8_t> leftOnCard) {
  return [=](Device& d, Env&) {
    fs::create_directories(d.root() / "Updates");
    fs::rename(d.PackageFile(), d.root() / "Updates" / "VXUpdate.bin");
    ts::WriteBytes(d.PackageFile(), leftOnCard);
  };
}

// One byte of the stored image's body (behind its 512-byte header) flipped.
auto Damaging(const char* flashFile) {
  return [=](Device& d, Env&) {
    std::vector<std::uint8_t> bytes = ts::ReadBytes(d.FlashFile(flashFile));
    ASSERT_GT(bytes.size(), 600u);
    bytes[600] ^= 0x01;
    ts::WriteBytes(d.FlashFile(flashFile), bytes);
  };
}

std::vector<std::uint8_t> Probed(std::size_t size, const char* magic) {
  std::vector<std::uint8_t> bytes(size, 0);
  std::copy(magic, magic + 4, bytes.begin());
  return bytes;
}

const Env kOffline = {{"VXU_AC_LINE", "offline"}};

const std::vector<Road> kRoads = {
    // Before the user is asked.
    {.name = "no-package", .package = "", .answers = ""},
    {.name = "confirmation-declined", .answers = "no"},
    {.name = "confirmation-unanswered", .answers = "none"},
    {.name = "no-options-key", .answers = "no", .registry = ""},
    {.name = "option-values",
     .answers = "no",
     .registry = "\"ForceFullUpgrade\"=dword:00020000\n\"VerifyAfterWrite\"=dword:00000001\n"
                 "\"FullVerify\"=hex:00,00,00,00,00\n\"CheckBinCRC\"=hex(b):01,00,00,00,00,00,00,00"},
    {.name = "custom-path",
     .answers = "no",
     .registry = "\"CustomPath\"=\"\\\\Updates\"",
     .setup = MovedToUpdates(Probed(107, "VXUD"))},
    {.name = "custom-path-with-backslash",
     .answers = "no",
     .registry = "\"CustomPath\"=\"\\\\Updates\\\\\"",
     .setup = MovedToUpdates(Probed(200, "VXUE"))},
    // The package check.
    {.name = "package-does-not-open", .answers = "yes,no", .env = {{"VXU_FAULTS", "alloc:128"}}},
    // nth:K with a K that is no count is reported once, not by each library, and fails nothing.
    {.name = "fault-nth-0-ignored", .package = kNewWince, .env = {{"VXU_FAULTS", "nth:0"}}},
    {.name = "fault-nth-minus-1-ignored", .package = kNewWince, .env = {{"VXU_FAULTS", "nth:-1"}}},
    {.name = "fault-nth-abc-ignored", .package = kNewWince, .env = {{"VXU_FAULTS", "nth:abc"}}},
    {.name = "header-newer",
     .answers = "yes,no",
     .setup = Patching(kHeaderLengthField, [](std::uint32_t) { return 109u; })},
    {.name = "wrong-file-size",
     .answers = "yes,no",
     .setup = Patching(kPayloadSizeField, [](std::uint32_t v) { return v + 1; })},
    {.name = "crc-pass-malloc-error",
     .answers = "yes,no",
     .args = {"-c"},
     .env = {{"VXU_FAULTS", "alloc:65535"}}},
    {.name = "crc-pass-read-error",
     .answers = "yes,no",
     .args = {"-c"},
     .env = {{"VXU_FAULTS", "read:" + kPackage + "@200"}}},
    {.name = "crc-pass-wrong-crc",
     .answers = "yes,no",
     .args = {"x-Cy"},
     .setup = Patching(kPayloadCrcField, [](std::uint32_t v) { return v ^ 1; })},
    {.name = "crc-pass", .args = {"-c"}},
    // 64 KiB is the smallest transfer buffer; the engine's copy needs more.
    {.name = "crc-pass-with-64-kib",
     .answers = "yes,no",
     .args = {"-c"},
     .env = {{"VXU_FAULTS", "alloc:65536"}}},
    {.name = "crc-pass-without-zlib",
     .args = {"-c"},
     .setup =
         [](Device& d, Env& env) {
           Patching(kPayloadCrcField, [](std::uint32_t v) { return v ^ 1; })(d, env);
           fs::remove(d.root() / "Windows" / "zlib.dll");
         }},
    {.name = "crc-pass-zlib-without-crc32",
     .answers = "yes,none",
     .args = {"-c"},
     .setup = Installing("zlib.dll", BoardSupportLibrary())},
    // The engine library and the suitability check.  Yes to the error box after a refused
    // or short engine must reboot: zlib.dll, which gave its CRC, is let go first.
    {.name = "engine-crc-wrong",
     .answers = "yes,yes",
     .setup = Patching(kEngineCrcField, [](std::uint32_t v) { return v ^ 1; })},
    // A board support library with crc32 checks the engine; without CPU_Reset the warm
    // boot returns.
    {.name = "engine-crc-checked-by-board-library",
     .answers = "yes,yes",
     .setup =
         [](Device& d, Env& env) {
           Patching(kEngineCrcField, [](std::uint32_t v) { return v ^ 1; })(d, env);
           Installing("vx_bsp_api.dll", VXU_HOST_ZLIB)(d, env);
         }},
    {.name = "engine-not-created",
     .answers = "yes,no",
     .env = {{"VXU_FAULTS", "open:\\VXUpdate.dll"}}},
    {.name = "engine-read-fails",
     .answers = "yes,no",
     .env = {{"VXU_FAULTS", "read:\\Storage Card\\VXUpdate.bin@1108"}}},
    // The file pointer takes a signed distance: an engine at 2 GiB or beyond is unreachable.
    {.name = "engine-beyond-2-gib",
     .answers = "yes,no",
     .setup = Patching(kEngineOffsetField, [](std::uint32_t v) { return v | 0x80000000u; })},
    {.name = "engine-written-short",
     .answers = "yes,yes",
     .env = {{"VXU_FAULTS", "write:\\VXUpdate.dll@1000"}}},
    {.name = "engine-without-flash-entries",
     .answers = "yes,no",
     .setup = Rebuilding(kSame, BoardSupportLibrary())},
    {.name = "engine-without-boot-source",
     .package = "miniboot bootloader wince",
     .answers = "yes,no",
     .boot = "miniboot",
     .setup = Rebuilding("miniboot bootloader wince", VXU_HOST_ZLIB)},
    {.name = "board-library-without-entries", .setup = Installing("vx_bsp_api.dll", VXU_HOST_ZLIB)},
    // IPL for other hardware: its absent second and third variants are not offered.
    {.name = "unsuited-then-warm-boot",
     .package = "spl ipl:2.0:8000 bootloader wince",
     .answers = "yes,yes"},
    {.name = "ipl-second-variant", .package = "spl ipl:2.0:8000 ipl:2.0 bootloader wince"},
    {.name = "ipl-third-variant-from-header-92",
     .package = "--header-length 92 spl ipl:2.0:8000 ipl:2.0:8000 ipl:2.0 bootloader wince"},
    {.name = "ipl-one-variant-below-header-92",
     .package = "spl ipl:2.0:8000 ipl:2.0 bootloader wince",
     .answers = "yes,no",
     .setup = Shortening(91, 1)},
    {.name = "mobile", .package = "spl ipl bootloader mobile-ipl:2.0 mobile-disk:2.0"},
    {.name = "mobile-below-header-108",
     .package = "spl ipl bootloader mobile-ipl:2.0 mobile-disk:2.0",
     .answers = "yes,no",
     .setup = Shortening(100, 2)},
    // External power.
    {.name = "power-offline-declined", .answers = "yes,no,no", .env = kOffline},
    {.name = "power-offline-unanswered", .answers = "yes,none,no", .env = kOffline},
    {.name = "power-offline-accepted", .answers = "yes,yes", .env = kOffline},
    {.name = "power-status-fails", .answers = "yes,yes", .env = {{"VXU_AC_LINE", "fail"}}},
    // The image steps and the end of the run.
    {.name = "up-to-date"},
    {.name = "written-and-verified", .package = kNewWince},
    {.name = "written-without-full-verify",
     .package = kNewWince,
     .registry = "\"FullVerify\"=dword:00000000"},
    {.name = "forced-on-miniboot-device",
     .package = "miniboot bootloader wince",
     .registry = "\"ForceFullUpgrade\"=dword:00000001",
     .boot = "miniboot"},
    {.name = "newer-miniboot-formats-the-flash",
     .package = "miniboot:2.0 bootloader wince",
     .boot = "miniboot"},
    {.name = "verify-after-write",
     .package = "spl ipl bootloader:2.0 wince",
     .registry = "\"VerifyAfterWrite\"=dword:00000001"},
    {.name = "damaged-flash-copy-rewritten", .setup = Damaging("WinCE.img")},
    {.name = "damaged-loader-caught-by-verify-pass",
     .package = kNewWince,
     .answers = "yes,no",
     .registry = "\"CheckCRC\"=dword:00000000",
     .setup = Damaging("SPL.img")},
    {.name = "format-failed",
     .package = "spl:2.0 ipl bootloader wince",
     .answers = "yes,no",
     .env = {{"VXSIM_FAIL", "VXUpdate_LowLevelFormat"}}},
    {.name = "check-error", .answers = "yes,no", .env = {{"VXSIM_FAIL", "GetImageInfo"}}},
    {.name = "write-failed",
     .package = "spl ipl bootloader:2.0 wince:2.0",
     .answers = "yes,no",
     .setup =
         [](Device& d, Env& env) {
           std::uint32_t at = 0;
           d.PatchPackage(kWinceOffsetField, [&](std::uint32_t v) { return at = v; });
           env.push_back({"VXU_FAULTS", "read:" + kPackage + "@" + std::to_string(at + 700)});
         }},
    {.name = "verify-after-write-failed",
     .answers = "yes,no",
     .env = {{"VXSIM_FAIL", "GetImageInfo"}},
     .registry = "\"ForceFullUpgrade\"=dword:00000001\n\"VerifyAfterWrite\"=dword:00000001"},
    {.name = "data-store-failed",
     .package = kNewWince,
     .answers = "yes,no",
     .setup =
         [](Device& d, Env&) {
           // A folder where the data store's file goes.
           fs::remove(d.root() / ".hardware" / "gd_items");
           fs::create_directories(d.root() / ".hardware" / "gd_items" / "blocked");
         }},
    {.name = "keep-alive-not-started", .package = kNewWince, .env = {{"VXU_FAULTS", "thread"}}},
    {.name = "hardware-reset-returns", .package = kNewWince, .env = {{"VXSIM_RESET", "return"}}},
    {.name = "warm-boot-returns",
     .answers = "yes,no,yes",
     .env = {{"VXU_AC_LINE", "offline"}, {"VXSIM_RESET", "return"}}},
};

UpdaterRun RunRoad(std::string_view name) {
  const auto road = std::find_if(kRoads.begin(), kRoads.end(),
                                 [&](const Road& r) { return r.name == name; });
  EXPECT_NE(road, kRoads.end()) << name;
  Device device(road->boot);
  if (road->registry != nullptr) device.SetRegistry(road->registry);
  if (*road->package != '\0') device.BuildPackage(road->package);
  Env env = road->env;
  if (road->setup) road->setup(device, env);
  UpdaterRun run = device.Run(road->args, road->answers, env);
  ExpectGolden(name, run.transcript);
  return run;
}

class E2eRoad : public ::testing::TestWithParam<Road> {};

TEST_P(E2eRoad, RunMatchesItsGoldenTranscript) { RunRoad(GetParam().name); }

INSTANTIATE_TEST_SUITE_P(Roads, E2eRoad, ::testing::ValuesIn(kRoads), RowName());

// A whole update, also run under ThreadSanitizer: the keep-alive thread runs beside the
// main flow from the lock-down to the reset.
TEST(E2eUpdate, TsanUpdateWritesTheNewImageAndResetsTheDevice) {
  const UpdaterRun run = RunRoad("written-and-verified");
  EXPECT_EQ(run.err.find("ThreadSanitizer"), std::string::npos) << run.err;
}

// The keep-alive runs from the lock-down to the clean-up: the power manager's event is
// opened after the user interface was disabled, signalled only while open, and closed
// after the user interface was enabled again.  When the thread first runs is its own
// affair, so only these orders are asked.
TEST(E2eUpdate, KeepAliveSignalsThePowerManagerOnlyBetweenLockAndUnlock) {
  const UpdaterRun run = RunRoad("up-to-date");
  std::map<std::string, std::vector<std::size_t>> at;
  bool open = false;
  for (std::size_t i = 0; i < run.trace.size(); ++i) {
    const auto& line = run.trace[i];
    if (line.ev() == "escape") at["escape " + line["in_size"]].push_back(i);
    if (line["name"] != "PowerManager/ReloadActivityTimeouts") continue;
    if (line.ev() == "set_event") {
      EXPECT_TRUE(open) << "signal while the event is not open";
    }
    if (line.ev() == "open_event" || line.ev() == "close_event") {
      open = line.ev() == "open_event";
      at[line.ev()].push_back(i);
    }
  }
  for (const char* key : {"escape 0", "escape 1", "open_event", "close_event"}) {
    ASSERT_EQ(at[key].size(), 1u) << key;
  }
  EXPECT_LT(at["escape 0"][0], at["open_event"][0]);
  EXPECT_LT(at["escape 1"][0], at["close_event"][0]);
  EXPECT_LT(at["open_event"][0], at["close_event"][0]);
}

}  // namespace
}  // namespace e2e
