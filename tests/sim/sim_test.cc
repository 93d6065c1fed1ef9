// The simulated flash survives a power loss the way a device's does: the image being
// written holds what came before the loss and reads back as damaged, the images written
// before it stay whole, and a second run repairs the device.
// Device, images and package are made by the tools, as a release engineer would.
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "tests/support/testing.h"

namespace {

namespace ts = testing_support;

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size()) ++n;
  return n;
}

TEST(SimFlash, PowerLossDamagesOnlyTheImageBeingWritten) {
  struct Case {
    const char* bytes;
    std::size_t whole;
  };
  for (const Case& c : {Case{"1", 0}, Case{"1500", 0}, Case{"70000", 2}}) {
    SCOPED_TRACE(c.bytes);
    ts::TempDir dir;
    const std::string dev = (dir / "dev").string();
    const auto run = [](const char* tool, std::vector<std::string> args) {
      const auto result = ts::Run(ts::Built(tool), args);
      EXPECT_EQ(result.exitCode, 0) << tool << ": " << result.err;
      return result.out;
    };
    run("tools/vxdevice", {"init", dev, "--boot", "doc", "--hardware", "7000"});
    std::vector<std::string> pack = {"build", "-o", dev + "/Storage Card/VXUpdate.bin", "--engine",
                                     ts::Built("sim/VXUpdate.dll").string()};
    for (const std::string type : {"SPL", "IPL", "Bootloader", "WinCE"}) {
      std::string option = "--" + type;
      for (char& letter : option) letter = static_cast<char>(std::tolower(letter));
      const std::string image = (dir / type).string();
      run("tools/vxdevice", {"image", "--type", type, "--hardware", "7000", "--version", "1.1",
                             "--size", "30000", "-o", image});
      pack.insert(pack.end(), {option, image});
    }
    run("tools/vxpack", pack);
    const std::vector<std::pair<std::string, std::string>> env = {
        {"VXU_DEVICE_ROOT", dev}, {"VXU_MSGBOX_ANSWERS", "yes"}, {"VXU_TIME_SCALE", "0"}};
    auto crashEnv = env;
    crashEnv.emplace_back("VXSIM_CRASH_AFTER_BYTES", c.bytes);
    EXPECT_EQ(ts::Run(ts::Built("control/vxupdater"), {}, crashEnv).exitCode, 102);
    const std::string lost = run("tools/vxdevice", {"show", "--json", dev});
    const std::string partial = std::to_string(std::stoul(c.bytes) - 30000 * c.whole);
    EXPECT_EQ(Count(lost, "\"crc\":\"damaged\""), 1u) << lost;
    EXPECT_EQ(Count(lost, "\"size\":" + partial + ",\"crc\":\"damaged\""), 1u) << lost;
    EXPECT_EQ(Count(lost, "\"size\":30000,\"crc\":\"ok\""), c.whole) << lost;

    EXPECT_EQ(ts::Run(ts::Built("control/vxupdater"), {}, env).exitCode, 100);
    const std::string repaired = run("tools/vxdevice", {"show", "--json", dev});
    EXPECT_EQ(Count(repaired, "\"version\":\"1.1\""), 4u) << repaired;
    EXPECT_EQ(Count(repaired, "\"crc\":\"ok\""), 4u) << repaired;
  }
}

}  // namespace
