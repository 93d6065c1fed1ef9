// The options as the banner shows them: registry values, their sizes, the command line.
#include <gtest/gtest.h>

#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/testing.h"

namespace {

using testing_support::Built;
using testing_support::TempDir;

struct BannerCase {
  const char* name;
  std::optional<std::string> values;  // value lines of VX_Config\VXUpdate; none: no key
  std::vector<std::string> args;
  std::vector<std::string> settings;  // the settings lines, in order
};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(Banner, ShowsOptionsFromRegistryAndCommandLine) {
  const std::vector<BannerCase> cases = {
      {"no key keeps the defaults",
       std::nullopt,
       {},
       {" + Force Update   = Off", " + Check with CRC = On", " + Verify All     = On",
        " + Verify Changed = Off", " + Check Bin CRC  = Off"}},
      {"forced update drops the CRC line",
       "\"ForceFullUpgrade\"=dword:00000001\n",
       {},
       {" + Force Update   = On", " + Verify All     = On", " + Verify Changed = Off",
        " + Check Bin CRC  = Off"}},
      {"any non-zero number is on",
       "\"CheckBinCRC\"=dword:00000002\n\"VerifyAfterWrite\"=dword:80000000\n"
       "\"FullVerify\"=dword:00000000\n",
       {},
       {" + Force Update   = Off", " + Check with CRC = On", " + Verify All     = Off",
        " + Verify Changed = On", " + Check Bin CRC  = On"}},
      {"eight-byte value keeps the default",
       "\"FullVerify\"=hex(b):00,00,00,00,00,00,00,00\n\"CheckCRC\"=hex:00,00,00,00,00\n",
       {},
       {" + Force Update   = Off", " + Check with CRC = On", " + Verify All     = On",
        " + Verify Changed = Off", " + Check Bin CRC  = Off"}},
      {"short values read with zero high bytes",
       "\"VerifyAfterWrite\"=hex:01\n\"CheckCRC\"=dword:00000100\n\"FullVerify\"=hex:00\n"
       "\"CheckBinCRC\"=hex:\n",
       {},
       {" + Force Update   = Off", " + Check with CRC = On", " + Verify All     = Off",
        " + Verify Changed = On", " + Check Bin CRC  = Off"}},
      {"upper-case switch turns the package CRC on",
       "\"CheckBinCRC\"=dword:00000000\n",
       {"-C"},
       {" + Force Update   = Off", " + Check with CRC = On", " + Verify All     = On",
        " + Verify Changed = Off", " + Check Bin CRC  = On"}},
      {"switch inside a word counts",
       std::nullopt,
       {"x-cy"},
       {" + Force Update   = Off", " + Check with CRC = On", " + Verify All     = On",
        " + Verify Changed = Off", " + Check Bin CRC  = On"}},
      {"other switches change nothing",
       "\"CheckBinCRC\"=dword:00000000\n",
       {"-x", "c"},
       {" + Force Update   = Off", " + Check with CRC = On", " + Verify All     = On",
        " + Verify Changed = Off", " + Check Bin CRC  = Off"}},
  };
  for (const BannerCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir device;
    if (c.values) {
      testing_support::WriteText(
          device / "registry.reg",
          "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\VX_Config\\VXUpdate]\n" + *c.values);
    }
    std::vector<std::string> args = {"banner"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const auto result = testing_support::Run(Built("tests/control/control_console_probe"), args,
                                             {{"VXU_DEVICE_ROOT", device.path().string()}});
    ASSERT_EQ(result.exitCode, 0) << result.err;

    std::vector<std::string> expected = {"===============================",
                                         " Vornex Updater",
                                         "-------------------------------",
                                         " - Version 1.2.2",
                                         "",
                                         "-------------------------------"};
    expected.insert(expected.end(), c.settings.begin(), c.settings.end());
    expected.push_back("===============================");
    expected.push_back("");
    std::vector<std::string> lines = Lines(result.out);
    ASSERT_EQ(lines.size(), expected.size()) << result.out;
    // The build date changes with every build; its form does not.
    EXPECT_TRUE(
        std::regex_match(lines[4], std::regex(R"( - Built on [A-Z][a-z]{2} [1-9][0-9]? [0-9]{4})")))
        << lines[4];
    lines[4].clear();
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(result.out.substr(result.out.size() - 2), "\n\n");
  }
}

}  // namespace
