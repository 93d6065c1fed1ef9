// What a signature made by vxpack holds for, and the keys vxdevice init provisions: each
// command line of the table against its exit status and the reason it gives.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/testing.h"

namespace {

namespace ts = testing_support;

TEST(SigningTools, SignaturesHoldOnlyForWhatTheyWereMadeAsAndKeysMustBeUsable) {
  const ts::TempDir dir;
  const auto in = [&](const std::string& name) { return (dir / name).string(); };
  for (const char* name : {"k", "l"}) {
    ASSERT_EQ(ts::Run(ts::Built("tools/vxpack"), {"keygen", "-o", in(name)}).exitCode, 0);
  }
  // A PEM public key that holds the point of order 2.
  ts::WriteText(in("bad.pub"),
                "-----BEGIN PUBLIC KEY-----\n"
                "MCowBQYDK2VwAyEA7P///////////////////////////////////////38=\n"
                "-----END PUBLIC KEY-----\n");
  for (const char* name : {"VXUpdate.bin", "VXUpdater.exe", "other.exe"}) {
    ts::WriteText(in(name), name);
  }
  struct Case {
    std::vector<std::string> args;  // "@NAME" stands for the file NAME in the folder
    int exitCode;
    std::string reason = "";
  };
  const Case cases[] = {
      {{"vxpack", "sign", "--key", "@k.key", "@VXUpdate.bin"}, 0},
      {{"vxpack", "verify", "--pub", "@k.pub", "@VXUpdate.bin"}, 0},
      {{"vxpack", "verify", "--pub", "@k.pub", "--updater", "@VXUpdate.bin"}, 1, "as an updater"},
      {{"vxpack", "verify", "--pub", "@bad.pub", "@VXUpdate.bin"}, 1, "not a usable public key"},
      {{"vxpack", "sign", "--key", "@k.key", "@VXUpdater.exe"}, 0},
      {{"vxpack", "verify", "--pub", "@k.pub", "--package", "@VXUpdater.exe"}, 1, "as a package"},
      {{"vxpack", "verify", "--pub", "@k.pub", "--updater", "@VXUpdater.exe"}, 0},
      {{"vxpack", "sign", "--key", "@k.key", "--updater", "@other.exe"}, 0},
      {{"vxpack", "verify", "--pub", "@k.pub", "@other.exe"}, 1, "as a package"},
      {{"vxpack", "sign", "--key", "@k.key", "--updater", "--package", "@other.exe"}, 2},
      {{"vxdevice", "init", "@d1", "--key", "@k.pub", "--key", "@l.pub", "--key", "@k.pub",
        "--key", "@l.pub"}, 0},
      {{"vxdevice", "init", "@d2", "--key", "@k.pub", "--key", "@l.pub", "--key", "@k.pub",
        "--key", "@l.pub", "--key", "@k.pub"}, 2, "at most four"},
      {{"vxdevice", "init", "@d3", "--key", "@k.pub", "--key", "@bad.pub"}, 1,
       "bad.pub: not a usable public key"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args;
    for (const auto& arg : c.args) args.push_back(arg[0] == '@' ? in(arg.substr(1)) : arg);
    SCOPED_TRACE(args[1] + " " + args.back());
    const ts::RunResult run =
        ts::Run(ts::Built("tools/" + c.args[0]), {args.begin() + 1, args.end()});
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
    EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
  }
  // Four keys, one after the other.
  const std::string registry = ts::ReadText(in("d1/registry.reg"));
  EXPECT_EQ(registry.substr(registry.find("\"PackageKey\"=hex:") + 17).find('\n'), 128u * 3 - 1);
}

}  // namespace
