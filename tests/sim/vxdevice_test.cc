// vxdevice as a person runs it: init, image and show, and how each refuses bad input.
#include <algorithm>

#include "sim/device_state.h"
#include "tests/sim/sim_fixture.h"

namespace sim_test {
namespace {

std::size_t Lines(const std::string& text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

std::vector<std::string> Listing(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(Vxdevice, InitMakesADeviceWithTheFactoryImagesOfItsBootChain) {
  struct Case {
    const char* boot;
    std::vector<std::uint32_t> images;
  } cases[] = {{"doc", {2, 5, 3, 4}}, {"miniboot", {1, 3, 4}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.boot);
    ts::TempDir temp;
    fs::path root = temp / "nested" / "device";
    ts::RunResult run =
        ts::Run(Vxdevice(), {"init", root.string(), "--boot", c.boot, "--hardware", "7000"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(fs::is_regular_file(root / "Windows" / "vx_bsp_api.dll"));
    EXPECT_EQ(fs::file_size(root / "Windows" / "zlib.dll"), fs::file_size(VXU_HOST_ZLIB));
    EXPECT_TRUE(fs::is_directory(root / "Storage Card"));
    EXPECT_TRUE(fs::is_empty(root / "Storage Card"));
    std::string registry = ts::ReadText(root / "registry.reg");
    EXPECT_EQ(registry.rfind("REGEDIT4\n", 0), 0u);
    for (const char* line : {"\"ForceFullUpgrade\"=dword:00000000",
                             "\"VerifyAfterWrite\"=dword:00000000", "\"CheckCRC\"=dword:00000001",
                             "\"FullVerify\"=dword:00000001", "\"CheckBinCRC\"=dword:00000000"}) {
      EXPECT_NE(registry.find(std::string("\n") + line + "\n"), std::string::npos) << line;
    }
    std::string error;
    auto settings = sim::ReadSettings(root, &error);
    ASSERT_TRUE(settings) << error;
    EXPECT_EQ(sim::BootChainName(settings->boot), c.boot);
    EXPECT_EQ(settings->hardware, 7000u);
    for (std::uint32_t type = 1; type <= 10; ++type) {
      auto image = sim::ReadFlashSlot(root, type);
      bool expected = std::count(c.images.begin(), c.images.end(), type) != 0;
      EXPECT_EQ(image.bodyCrcOk, expected) << type;
      if (expected) {
        EXPECT_EQ(sim::VersionText(image.header->version), "1.0");
      }
    }
    EXPECT_EQ(Listing(temp / "nested"), std::vector<std::string>{"device"})
        << "no building folder is left beside the device";
  }
}

TEST(Vxdevice, InitTakesAnEmptyFolderNamedWithATrailingSlash) {
  ts::TempDir temp;
  fs::create_directories(temp / "device");
  ts::RunResult run = ts::Run(Vxdevice(), {"init", (temp / "device").string() + "/"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  std::string error;
  EXPECT_TRUE(sim::ReadSettings(temp / "device", &error)) << error;
  EXPECT_EQ(Listing(temp.path()), std::vector<std::string>{"device"});
}

TEST(Vxdevice, RefusedInitLeavesNothingBehind) {
  struct Case {
    const char* name;
    bool existing;  // DIR exists and holds a file
    std::vector<std::string> options;
    int exitCode;
  } cases[] = {
      {"folder holds files", true, {}, 1},
      {"hardware not a number", false, {"--hardware", "seven"}, 1},
      {"unknown boot chain", false, {"--boot", "floppy"}, 2},
      {"unknown option", false, {"--colour", "red"}, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ts::TempDir temp;
    fs::path root = temp / "device";
    if (c.existing) ts::WriteText(root / "keep.txt", "mine");
    std::vector<std::string> args = {"init", root.string()};
    args.insert(args.end(), c.options.begin(), c.options.end());
    ts::RunResult run = ts::Run(Vxdevice(), args);
    EXPECT_EQ(run.exitCode, c.exitCode);
    EXPECT_EQ(run.err.rfind("vxdevice: ", 0), 0u) << run.err;
    if (c.exitCode == 1) {
      EXPECT_EQ(Lines(run.err), 1u) << run.err;
    }
    if (c.existing) {
      EXPECT_EQ(Listing(root), std::vector<std::string>{"keep.txt"});
      EXPECT_EQ(Listing(temp.path()), std::vector<std::string>{"device"});
    } else {
      EXPECT_TRUE(Listing(temp.path()).empty());
    }
  }
}

TEST(Vxdevice, ImageWritesTheSameValidImageForTheSameFields) {
  ts::TempDir temp;
  std::vector<std::string> args = {
      "image", "--type", "Mobile Disk Image", "--hardware", "12", "--version", "2.5", "--size",
      "3000",  "--date", "2023-02-28"};
  for (const char* name : {"a.img", "b.img"}) {
    auto all = args;
    all.insert(all.end(), {"-o", (temp / name).string()});
    ts::RunResult run = ts::Run(Vxdevice(), all);
    ASSERT_EQ(run.exitCode, 0) << run.err;
  }
  auto image = ts::ReadBytes(temp / "a.img");
  EXPECT_EQ(image, ts::ReadBytes(temp / "b.img"));
  auto header = sim::DecodeHeader(image);
  ASSERT_TRUE(header);
  EXPECT_EQ(header->type, 10u);
  EXPECT_EQ(header->hardware, 12u);
  EXPECT_EQ(sim::VersionText(header->version), "2.5");
  EXPECT_EQ(sim::DateText(header->date), "2023-02-28");
  EXPECT_EQ(image.size(), 3000u);
  EXPECT_EQ(header->bodyCrc, sim::Crc32(0, std::span(image).subspan(512)));
}

TEST(Vxdevice, ImageRefusesBadFieldsWithOneLineAndNoFile) {
  struct Case {
    const char* name;
    std::vector<std::string> change;  // option and value replacing the default
    int exitCode;
  } cases[] = {
      {"unknown type", {"--type", "Floppy"}, 1},
      {"type without a directory code", {"--type", "11"}, 1},
      {"size below the header", {"--size", "511"}, 1},
      {"size not a number", {"--size", "big"}, 1},
      {"version without minor", {"--version", "2"}, 1},
      {"impossible date", {"--date", "2023-02-30"}, 1},
      {"unknown revision", {"--revision", "9"}, 1},
      {"hardware not a number", {"--hardware", "x1"}, 1},
      {"missing output", {"-o", ""}, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ts::TempDir temp;
    std::vector<std::pair<std::string, std::string>> options = {
        {"--type", "WinCE"},
        {"--hardware", "7000"},
        {"--version", "1.0"},
        {"-o", (temp / "out.img").string()}};
    bool replaced = false;
    for (auto& [key, value] : options) {
      if (key == c.change[0]) {
        value = c.change[1];
        replaced = true;
      }
    }
    if (!replaced) options.emplace_back(c.change[0], c.change[1]);
    std::vector<std::string> args = {"image"};
    for (const auto& [key, value] : options) {
      if (value.empty()) continue;
      args.push_back(key);
      args.push_back(value);
    }
    ts::RunResult run = ts::Run(Vxdevice(), args);
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
    if (c.exitCode == 1) {
      EXPECT_EQ(Lines(run.err), 1u) << run.err;
    }
    EXPECT_EQ(run.err.rfind("vxdevice: ", 0), 0u) << run.err;
    EXPECT_TRUE(Listing(temp.path()).empty());
  }
}

TEST(Vxdevice, ShowReportsFlashLightsItemsResetAndCard) {
  ts::TempDir temp;
  fs::path root = temp / "device";
  ASSERT_EQ(ts::Run(Vxdevice(), {"init", root.string(), "--hardware", "7000"}).exitCode, 0);
  auto wince = ts::ReadBytes(sim::FlashFile(root, 4));
  wince[1000] ^= 0xFF;
  ts::WriteBytes(sim::FlashFile(root, 4), wince);
  ts::WriteText(sim::HardwareDir(root) / "gd_items", "28 = 1\n");
  ts::WriteText(sim::HardwareDir(root) / "green_led", "on\n");
  ts::WriteText(sim::HardwareDir(root) / "last_reset", "hardware reset\n");
  ts::WriteText(root / "Storage Card" / "VXUpdate.bin", "x");

  ts::RunResult text = ts::Run(Vxdevice(), {"show", root.string()});
  ASSERT_EQ(text.exitCode, 0) << text.err;
  for (const char* part :
       {"miniboot (Miniboot, Bootloader, WinCE)", "Hardware:      7000", "green on, red off",
        "28 = 1", "Last reset:    hardware reset", "VXUpdate.bin"}) {
    EXPECT_NE(text.out.find(part), std::string::npos) << part << "\n" << text.out;
  }
  EXPECT_NE(text.out.find("Bootloader         1.0      2020-01-01       8192 bytes  ok"),
            std::string::npos)
      << text.out;
  EXPECT_NE(text.out.find("WinCE              1.0      2020-01-01       8192 bytes  damaged"),
            std::string::npos)
      << text.out;

  ts::RunResult json = ts::Run(Vxdevice(), {"show", root.string(), "--json"});
  ASSERT_EQ(json.exitCode, 0) << json.err;
  for (const char* part :
       {"\"boot\":\"miniboot\"", "\"hardware\":7000",
        "{\"type\":\"WinCE\",\"version\":\"1.0\",\"date\":\"2020-01-01\",\"length\":8192,"
        "\"size\":8192,\"crc\":\"damaged\"}",
        "\"lights\":{\"green\":\"on\",\"red\":\"off\"}", "\"gd_items\":{\"28\":1}",
        "\"last_reset\":\"hardware reset\"", "\"storage_card\":[\"VXUpdate.bin\"]"}) {
    EXPECT_NE(json.out.find(part), std::string::npos) << part << "\n" << json.out;
  }
}

TEST(Vxdevice, ShowRefusesWhatIsNotAWorkingDevice) {
  struct Case {
    const char* name;
    const char* settings;  // null: no device at all
    const char* gdItems;
    const char* reason;
  } cases[] = {
      {"plain folder", nullptr, "", "not a simulated device"},
      {"unknown setting", "boot = doc\nhardware = 1\ncolour = red\n", "", "unknown setting"},
      {"bad boot value", "boot = tape\nhardware = 1\n", "", "bad value"},
      {"missing hardware", "boot = doc\n", "", "no 'hardware'"},
      {"nonsense GD items", "boot = doc\nhardware = 1\n", "twenty-eight\n", "ITEM = VALUE"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ts::TempDir temp;
    fs::create_directories(temp / "Storage Card");
    if (c.settings != nullptr)
      ts::WriteText(sim::HardwareDir(temp.path()) / "settings", c.settings);
    ts::WriteText(sim::HardwareDir(temp.path()) / "gd_items", c.gdItems);
    ts::RunResult run = ts::Run(Vxdevice(), {"show", temp.path().string()});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(Lines(run.err), 1u) << run.err;
    EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
    EXPECT_TRUE(run.out.empty());
  }
}

TEST(Vxdevice, UsageMistakesExitWithTwo) {
  const std::vector<std::vector<std::string>> cases = {
      {}, {"frobnicate"}, {"show"}, {"show", "a", "b"}, {"image", "--type"}};
  for (const auto& args : cases) {
    ts::RunResult run = ts::Run(Vxdevice(), args);
    EXPECT_EQ(run.exitCode, 2) << (args.empty() ? "" : args[0]);
  }
  ts::RunResult help = ts::Run(Vxdevice(), {"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.out.find("vxdevice init DIR"), std::string::npos);
}

}  // namespace
}  // namespace sim_test
