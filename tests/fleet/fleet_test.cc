// vxfleet end to end: fleets of simulated devices, one package, the reports and the
// refusals of bad input.
#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>

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
  struct Case { std::string fleet; std::string package; int exit; std::string said; };
  const std::string p = R"({"profiles":[{"name":"p","boot":"doc","hardware":7000,)";
  const std::vector<Case> cases = {
      {"{ not json", package, 1, "fleet.json: not JSON"},
      {p + R"("flash":"factory","boot":null}]})", package, 1, "fleet.json: profile 1 \"p\": boot: not a string"},
      {R"({"profiles":[{"name":"p","hardware":1,"flash":"empty"}]})", package, 1, "profile 1 \"p\": boot: missing"},
      {p + R"("flash":{"Kernel":{"version":"1.0"}}}]})", package, 1, "\"p\": flash.Kernel: not an image name"},
      {p + R"("flash":{"WinCE":{"version":"one"}}}]})", package, 1, "\"p\": flash.WinCE.version: \"one\""},
      {p + R"("flash":"factory"}]})", (dir / "missing.bin").string(), 1, "missing.bin: No such file or directory"}};
  for (const Case& c : cases) {
    ts::WriteText(dir / "fleet.json", c.fleet);
    ts::RunResult run = Fleet({"run", (dir / "fleet.json").string(), c.package, "--html", (dir / "r.html").string()});
    EXPECT_EQ(run.exitCode, c.exit) << c.fleet;
    EXPECT_NE(run.err.find(c.said), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_FALSE(std::filesystem::exists(dir / "r.html"));
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
