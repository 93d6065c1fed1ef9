// Discovery of VXUpdate.bin at the edges of the path buffer: the fixed folder when it
// fits, then the CustomPath value in whatever shape the registry holds it.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "control/control.h"
#include "platform/platform.h"
#include "tests/support/testing.h"

namespace {

namespace ts = testing_support;

// The value line of CustomPath for a folder (backslashes doubled), or `raw` itself.
std::string Value(std::string folder) {
  for (std::size_t at = 0; (at = folder.find('\\', at)) != std::string::npos; at += 2) {
    folder.insert(at, 1, '\\');
  }
  return "\"CustomPath\"=\"" + folder + "\"\n";
}

TEST(Discovery, FindsThePackageWithinTheBufferOnly) {
  const std::string f106 = "\\" + std::string(105, 'e');
  const std::string f107 = "\\" + std::string(106, 'f');
  const std::string g107 = "\\" + std::string(107, 'g');
  const std::string card = "\\Storage Card\\VXUpdate.bin";
  // A value that fills the buffer: the terminator comes early, yet no backslash fits.
  std::string fill = "\n";
  for (int i = 0; i < 234; ++i) fill.insert(0, ",41");
  struct Case {
    std::string registry;
    std::uint32_t sizeBytes;
    bool card;
    std::string found;  // empty: nothing found
  };
  const Case cases[] = {
      {Value("\\U"), 240, true, card},
      {Value("\\U"), 54, true, card},
      {Value("\\U"), 52, true, "\\U\\VXUpdate.bin"},  // the fixed folder does not fit
      {Value("\\U"), 240, false, "\\U\\VXUpdate.bin"},
      {Value("\\U\\"), 240, false, "\\U\\VXUpdate.bin"},
      {Value(f106), 240, false, f106 + "\\VXUpdate.bin"},
      {Value(f106 + "\\"), 240, false, f106 + "\\VXUpdate.bin"},
      {Value(f107), 240, false, f107 + "VXUpdate.bin"},  // no room for a backslash
      {Value(g107), 240, false, ""},
      {Value("\\" + std::string(116, 'g') + "\\"), 240, false, ""},
      {Value("\\" + std::string(130, 'g')), 240, false, ""},
      {Value(""), 240, false, ""},
      {"\"CustomPath\"=hex(1):5c,00,55,00\n", 240, false, ""},           // no terminator
      {"\"CustomPath\"=hex(1):5c,00,55,00,00,00,00\n", 240, false, ""},  // odd byte count
      {"\"CustomPath\"=hex(1):\n", 240, false, ""},
      {"\"CustomPath\"=hex(1):5c,00,55,00,00,00" + fill, 240, false, "\\UVXUpdate.bin"},
      {"\"Other\"=\"\\\\U\"\n", 240, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.registry.substr(0, 40) + std::to_string(c.sizeBytes) + (c.card ? " card" : ""));
    ts::TempDir device;
    ts::ScopedEnv env{{"VXU_DEVICE_ROOT", device.path().string()}, {"VXU_TRACE", std::nullopt}};
    std::vector<std::uint8_t> header(108, 0);
    std::copy_n("VXUD", 4, header.begin());
    std::vector<std::string> files = {"U/", "U", "", f106.substr(1) + "/", f107.substr(1),
                                      g107.substr(1) + "/"};
    if (c.card) files.push_back("Storage Card/");
    for (const std::string& file : files) ts::WriteBytes(device / (file + "VXUpdate.bin"), header);
    ts::WriteText(device / "registry.reg",
                  "REGEDIT4\n[HKEY_LOCAL_MACHINE\\VX_Config\\VXUpdate]\n" + c.registry);
    platform::Reconfigure();
    std::array<char16_t, control::kPathUnits + 8> buffer;
    buffer.fill(u'#');
    const std::int32_t found = control::FindUpdatePackage(buffer.data(), c.sizeBytes);
    EXPECT_EQ(found, c.found.empty() ? 0 : 1);
    if (found == 1) {
      EXPECT_EQ(platform::ToUtf8(buffer.data()), c.found);
    }
    EXPECT_TRUE(std::all_of(buffer.begin() + c.sizeBytes / 2, buffer.end(),
                            [](char16_t u) { return u == u'#'; }));
  }
}

}  // namespace
