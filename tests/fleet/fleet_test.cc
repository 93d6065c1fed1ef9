// vxfleet end to end: fleets of simulated devices, one package, the reports and the
// refusals of bad input.
#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <tinyxml2.h>

#include "tests/support/testing.h"

namespace ts = testing_support;
using nlohmann::json;

namespace {

// Version 1.1 of SPL, IPL, Bootloader and WinCE for hardware 7000.
std::string MakePackage(const ts::TempDir& dir) {
  const std::string package = (dir / "VXUpdate.bin").string();
  ts::RunResult made = ts::Run(VXU_SOURCE_DIR "/examples/make-package",
                               {ts::Built("tools").string(), ts::Built("sim/VXUpdate.dll").string(), package});
  EXPECT_EQ(made.exitCode, 0) << made.err;
  return package;
}

ts::RunResult Fleet(const std::vector<std::string>& args) { return ts::Run(ts::Built("tools/vxfleet"), args); }

json Profile(const std::string& name, const std::string& extra) {
  return json::parse(R"({"name":")" + name + R"(","boot":"doc","hardware":7000,"flash":"factory")" + extra + "}");
}

// A JSON report as run and merge print it, without what differs from run to run.
json Comparable(json report) {
  report.erase("provenance");
  for (json& profile : report["profiles"]) profile.erase("seconds");
  return report;
}

}  // namespace

TEST(Fleet, ReportsOutcomesReadFromEachRun) {
  ts::TempDir dir;
  const std::string package = MakePackage(dir);
  json profiles = {
      Profile("fresh", R"(,"expect":"updated")"),
      Profile("current", R"(,"flash":{"SPL":{"version":"1.1"},"IPL":{"version":"1.1"},)"
                         R"("Bootloader":{"version":"1.1"},"WinCE":{"version":"1.1"}})"),
      Profile("foreign", R"(,"hardware":7001,"answers":["yes","no"])"),
      Profile("declined", R"(,"boot":"miniboot","answers":["no"])"),
      Profile("fresh again", R"(,"expect":"up-to-date")")};
  ts::WriteText(dir / "fleet.json", json{{"profiles", profiles}}.dump());
  const std::string html = (dir / "report.html").string();
  ts::RunResult run = Fleet({"run", (dir / "fleet.json").string(), package, "--json", "--jobs", "2", "--html", html});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("\"fresh again\": expected up-to-date, ended updated"), std::string::npos) << run.err;
  const json report = json::parse(run.out);
  struct Row { std::string outcome; int exit; std::vector<std::string> written; };
  const std::vector<Row> rows = {{"updated", 100, {"SPL", "IPL", "Bootloader", "WinCE"}},
                                 {"up-to-date", 0, {}}, {"not-suited", 255, {}}, {"declined", 0, {}},
                                 {"updated", 100, {"SPL", "IPL", "Bootloader", "WinCE"}}};
  ASSERT_EQ(report["profiles"].size(), rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const json& got = report["profiles"][i];
    EXPECT_EQ(got["name"], profiles[i]["name"]);
    EXPECT_EQ(got["outcome"], rows[i].outcome) << got["name"];
    EXPECT_EQ(got["exit"], rows[i].exit) << got["name"];
    EXPECT_EQ(got["written"].get<std::vector<std::string>>(), rows[i].written) << got["name"];
  }
  EXPECT_NE(report["profiles"][0]["console"].get<std::string>().find("Auto Update OK!"), std::string::npos);
  EXPECT_EQ(report["profiles"][0]["device"]["flash"][3]["version"], "1.1");
  EXPECT_EQ(report["package"]["valid"], true);
  const std::string page = ts::ReadText(html);
  EXPECT_NE(page.find("fresh again"), std::string::npos);
  EXPECT_NE(page.find("Verdict:"), std::string::npos);  // the package summary
  EXPECT_NE(page.find("Not as expected: 1 of 5 profiles"), std::string::npos);
}

TEST(Fleet, ExampleFleetReachesEveryOutcomeItExpects) {
  ts::TempDir dir;
  ts::RunResult run = Fleet({"run", VXU_SOURCE_DIR "/examples/fleet.json", MakePackage(dir), "--json"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  const json report = json::parse(run.out);
  std::vector<std::string> outcomes;
  for (const json& profile : report["profiles"]) {
    EXPECT_TRUE(profile["as_expected"].get<bool>()) << profile["name"] << " ended " << profile["outcome"];
    outcomes.push_back(profile["outcome"]);
    if (profile["outcome"] == "step-failed") {
      EXPECT_EQ(profile["image"], "SPL");
      EXPECT_EQ(profile["code"], 25);
    }
  }
  for (const char* outcome : {"updated", "up-to-date", "declined", "no-power", "not-suited", "integrity",
                              "engine", "step-failed", "verify-failed"}) {
    EXPECT_NE(std::find(outcomes.begin(), outcomes.end(), outcome), outcomes.end()) << outcome;
  }
}

TEST(Fleet, BadInputEndsWithOneLineAndNoReport) {
  ts::TempDir dir;
  const std::string package = MakePackage(dir);
  struct Case { std::string fleet; std::string package; int exit; std::string said; std::string html = "r.html"; };
  const std::string p = R"({"profiles":[{"name":"p","boot":"doc","hardware":7000,)";
  const std::vector<Case> cases = {
      {"{ not json", package, 1, "fleet.json: not JSON"},
      {p + R"("flash":"factory","boot":null}]})", package, 1, "fleet.json: profile 1 \"p\": boot: not a string"},
      {R"({"profiles":[{"name":"p","hardware":1,"flash":"empty"}]})", package, 1, "profile 1 \"p\": boot: missing"},
      {p + R"("flash":{"Kernel":{"version":"1.0"}}}]})", package, 1, "\"p\": flash.Kernel: not an image name"},
      {p + R"("flash":{"WinCE":{"version":"one"}}}]})", package, 1, "\"p\": flash.WinCE.version: \"one\""},
      {p + R"("flash":"factory"}]})", (dir / "missing.bin").string(), 1, "missing.bin: No such file or directory"},
      {p + R"("flash":"factory","fail":["VXUpdate_LowLevelFormatt"]}]})", package, 1,
       "\"p\": fail[0]: \"VXUpdate_LowLevelFormatt\" is none of"},
      {p + R"("flash":"factory","faults":"read:\\a@1; nth:abc"}]})", package, 1,
       "\"p\": faults: \"nth:abc\" is not a fault the updater understands"},
      {p + R"("flash":"factory"},)" + p.substr(13) + R"("flash":"empty"}]})", package, 1,
       "profile 2 \"p\": name: also the name of profile 1"},
      {R"({"profiles":[{"name":"","boot":"doc","hardware":1,"flash":"empty"}]})", package, 1, "profile 1: name: empty"},
      {p + R"("flash":"factory"}],"profile":[]})", package, 1, "fleet.json: profile: unknown field"},
      {R"({"profiles":[]})", package, 1, "fleet.json: profiles: the list is empty"},
      {p + R"("flash":"factory"}]})", (dir / "fleet.json").string(), 1, "fleet.json: not a package: shorter than 108 bytes"},
      {p + R"("flash":"factory"}]})", package, 1, "nowhere/r.html: No such file or directory", "nowhere/r.html"},
      {p + R"("flash":"factory"}]})", package, 1, "the same file as the input", "VXUpdate.bin"}};
  for (const Case& c : cases) {
    ts::WriteText(dir / "fleet.json", c.fleet);
    const std::string html = (dir / c.html).string();
    ts::RunResult run = Fleet({"run", (dir / "fleet.json").string(), c.package, "--html", html, "--keep",
                               (dir / "keep").string()});
    EXPECT_EQ(run.exitCode, c.exit) << c.fleet;
    EXPECT_NE(run.err.find(c.said), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_EQ(std::filesystem::exists(html), html == package);
    EXPECT_FALSE(std::filesystem::exists(dir / "keep")) << "something ran for " << c.fleet;
  }
}

TEST(Fleet, ProfileWhoseDeviceCannotBeMadeSaysWhyAndTheOthersRun) {
  ts::TempDir dir;
  const std::string package = MakePackage(dir);
  ts::WriteText(dir / "keep" / "01-blocked" / "device" / "something", "in the way");
  ts::WriteText(dir / "fleet.json", json{{"profiles", {Profile("blocked", ""), Profile("fine", "")}}}.dump());
  ts::RunResult run = Fleet({"run", (dir / "fleet.json").string(), package, "--json", "--keep", (dir / "keep").string()});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  const json report = json::parse(run.out);
  EXPECT_EQ(report["profiles"][0]["outcome"], "error");
  EXPECT_NE(report["profiles"][0]["reason"].get<std::string>().find("not an empty folder"), std::string::npos);
  EXPECT_EQ(report["profiles"][1]["outcome"], "updated");
  EXPECT_TRUE(std::filesystem::exists(dir / "keep" / "02-fine" / "device" / "registry.reg"));
}

TEST(Fleet, ShardsRunApartAndMergeIntoTheReportOfTheWholeFleet) {
  ts::TempDir dir;
  const std::string package = MakePackage(dir);
  json profiles = {Profile("fresh", R"(,"expect":"updated")"), Profile("declined", R"(,"answers":["no"])"),
                   Profile("foreign", R"(,"hardware":7001,"expect":"not-suited")"),
                   Profile("wrong guess", R"(,"expect":"up-to-date")"), Profile("broken flash",
                   R"(,"fail":["VXUpdate_LowLevelFormat"],"answers":["yes","no"],"expect":"step-failed")")};
  const std::string fleet = (dir / "fleet.json").string();
  ts::WriteText(fleet, json{{"profiles", profiles}}.dump());
  ts::RunResult whole = Fleet({"run", fleet, package, "--json"});
  EXPECT_EQ(whole.exitCode, 1) << whole.err;
  std::vector<std::string> shards;
  for (int k = 0; k < 3; ++k) {
    ts::RunResult shard = Fleet({"run", fleet, package, "--json", "--shard", std::to_string(k) + "/3"});
    shards.push_back((dir / ("shard-" + std::to_string(k) + ".json")).string());
    ts::WriteText(shards.back(), shard.out);
    EXPECT_EQ(json::parse(shard.out)["profiles"].size(), k == 2 ? 1u : 2u);
  }
  const std::string junit = (dir / "fleet.xml").string();
  ts::RunResult merged = Fleet({"merge", shards[2], shards[0], shards[1], "--json", "--junit", junit});
  EXPECT_EQ(merged.exitCode, 1) << merged.err;
  EXPECT_NE(merged.err.find("\"wrong guess\": expected up-to-date, ended updated"), std::string::npos) << merged.err;
  const json report = json::parse(merged.out);
  EXPECT_EQ(Comparable(report), Comparable(json::parse(whole.out)));
  EXPECT_EQ(report["verdict"]["missed"].size(), 1u);
  EXPECT_EQ(report["provenance"]["shards"].size(), 3u);

  tinyxml2::XMLDocument xml;
  ASSERT_EQ(xml.LoadFile(junit.c_str()), tinyxml2::XML_SUCCESS);
  const tinyxml2::XMLElement* suite = xml.RootElement()->FirstChildElement("testsuite");
  ASSERT_NE(suite, nullptr);
  EXPECT_EQ(suite->IntAttribute("tests"), 5);
  EXPECT_EQ(suite->IntAttribute("failures"), 1);
  std::size_t i = 0;
  for (const auto* test = suite->FirstChildElement("testcase"); test; test = test->NextSiblingElement("testcase"), ++i) {
    ASSERT_LT(i, profiles.size());
    EXPECT_EQ(test->Attribute("name"), profiles[i]["name"].get<std::string>());
    EXPECT_EQ(test->FirstChildElement("failure") != nullptr, i == 3) << test->Attribute("name");
    EXPECT_EQ(test->FirstChildElement("system-out")->GetText(), report["profiles"][i]["console"].get<std::string>());
  }
  EXPECT_EQ(i, profiles.size());

  // Shards that are not the parts of one run are refused, and so is a report that is
  // not one.
  json other = json::parse(ts::ReadText(shards[1]));
  json twice = json::parse(ts::ReadText(shards[0]));
  twice["profiles"].push_back(twice["profiles"][0]);
  struct Case { std::vector<std::string> reports; std::string said; };
  const auto edited = [&](const char* name, json changed) {
    ts::WriteText(dir / name, changed.dump());
    return (dir / name).string();
  };
  other["provenance"]["package"]["sha256"] = std::string(64, '0');
  const std::string otherPackage = edited("other-package.json", other);
  other = json::parse(ts::ReadText(shards[1]));
  other["provenance"]["fleet"]["sha256"] = std::string(64, '0');
  const std::string otherFleet = edited("other-fleet.json", other);
  const std::vector<Case> cases = {
      {{shards[0], shards[1]}, "shard 2/3 is missing"},
      {{shards[0], shards[1], shards[2], shards[1]}, "shard-1.json: shard 1/3 again"},
      {{shards[0], otherPackage, shards[2]}, "other-package.json: made from another package"},
      {{shards[0], otherFleet, shards[2]}, "other-fleet.json: made from another fleet file"},
      {{edited("twice.json", twice), shards[1], shards[2]}, "twice.json: profile 1 \"fresh\" is reported twice"},
      {{shards[0], edited("empty.json", json::object()), shards[2]}, "empty.json: not a vxfleet report"}};
  for (const Case& c : cases) {
    std::vector<std::string> args = {"merge"};
    args.insert(args.end(), c.reports.begin(), c.reports.end());
    ts::RunResult refused = Fleet(args);
    EXPECT_EQ(refused.exitCode, 1) << c.said;
    EXPECT_NE(refused.err.find(c.said), std::string::npos) << refused.err;
    EXPECT_TRUE(refused.out.empty()) << refused.out;
  }
}

TEST(Fleet, RefusedSignatureIsItsOwnOutcomeAndTheSigningKeyIsNamed) {
  ts::TempDir dir;
  const std::string package = MakePackage(dir);
  std::string fingerprint;  // the last word of keygen's line about the public key
  for (const char* key : {"signer", "stranger"}) {
    const ts::RunResult made = ts::Run(ts::Built("tools/vxpack"), {"keygen", "-o", (dir / key).string()});
    EXPECT_EQ(made.exitCode, 0);
    if (fingerprint.empty() && made.out.size() > 65) fingerprint = made.out.substr(made.out.size() - 65, 64);
  }
  EXPECT_EQ(ts::Run(ts::Built("tools/vxpack"), {"sign", "--key", (dir / "signer.key").string(), package}).exitCode, 0);
  ts::WriteText(dir / "fleet.json",
                json{{"profiles", {Profile("stranger's", R"(,"key":"stranger.pub","expect":"signature")"),
                                   Profile("signer's", R"(,"key":"signer.pub","expect":"updated")")}}}.dump());
  ts::RunResult run = Fleet({"run", (dir / "fleet.json").string(), package, "--json"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  const json report = json::parse(run.out);
  EXPECT_EQ(report["profiles"][0]["reason"], "wrong signature");
  EXPECT_EQ(report["provenance"]["package"]["signature"]["key_fingerprint"], fingerprint);
  EXPECT_EQ(report["profiles"][1]["setup"]["key"]["fingerprints"][0], fingerprint);
}

TEST(Fleet, InterruptKeepsTheFinishedProfilesWhichShareOnePackage) {
  ts::TempDir dir;
  const std::string package = MakePackage(dir);
  // An installed layout whose updater hangs on the profile named "slow", so that the
  // interrupt finds two profiles finished, one running and one not started.
  std::filesystem::create_directories(dir / "bin");
  std::filesystem::create_directories(dir / "lib" / "vxupdater");
  for (const char* tool : {"vxfleet", "vxpack"}) {
    std::filesystem::copy_file(ts::Built("tools") / tool, dir / "bin" / tool);
  }
  std::filesystem::copy_file(ts::Built("sim/vx_bsp_api.dll"), dir / "lib" / "vxupdater" / "vx_bsp_api.dll");
  ts::WriteText(dir / "lib" / "vxupdater" / "vxupdater",
                "#!/bin/sh\ncase $VXU_DEVICE_ROOT in */03-slow/*) : > \"$VXU_DEVICE_ROOT/../started\"; "
                "exec sleep 600;; esac\nexec '" + ts::Built("control/vxupdater").string() + "' \"$@\"\n");
  std::filesystem::permissions(dir / "lib" / "vxupdater" / "vxupdater", std::filesystem::perms::owner_all);
  ts::WriteText(dir / "fleet.json", json{{"profiles", {Profile("one", ""), Profile("two", ""), Profile("slow", ""),
                                                       Profile("never", "")}}}.dump());
  const std::string keep = (dir / "keep").string();
  ts::RunResult run = ts::Run("/bin/sh", {"-c", "'" + (dir / "bin" / "vxfleet").string() + "' run '" +
                                                    (dir / "fleet.json").string() + "' '" + package +
                                                    "' --jobs 1 --keep '" + keep + "' & n=0; "
                                                    "while [ ! -e '" + keep + "/03-slow/started' ] && [ $n -lt 1200 ]; "
                                                    "do sleep 0.05; n=$((n+1)); done; kill -TERM $!; wait $!"});
  EXPECT_EQ(run.exitCode, 128 + 15) << run.err;
  EXPECT_NE(run.err.find("kept the 2 finished profiles in " + keep + ", removed the 1 unfinished"), std::string::npos)
      << run.err;
  EXPECT_TRUE(run.out.empty());
  std::vector<std::string> left;
  for (const auto& entry : std::filesystem::directory_iterator(keep)) left.push_back(entry.path().filename());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"01-one", "02-two"}));
  // No copies: both devices hold the very package and libraries the run staged, and
  // neither holds the caller's own package file, which a change by hand would reach.
  for (const char* file : {"Storage Card/VXUpdate.bin", "Windows/vx_bsp_api.dll", "Windows/zlib.dll"}) {
    EXPECT_TRUE(std::filesystem::equivalent(dir / "keep/01-one/device" / file, dir / "keep/02-two/device" / file))
        << file;
  }
  EXPECT_FALSE(std::filesystem::equivalent(dir / "keep/01-one/device/Storage Card/VXUpdate.bin", package));
}
