// vxfleet end to end: fleets of simulated devices, one package, the reports and the
// refusals of bad input.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <tuple>
#include <nlohmann/json.hpp>
#include <tinyxml2.h>

#include "tests/support/testing.h"

namespace ts = testing_support;
namespace fs = std::filesystem;
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
      {R"({"profiles":[{"name":"p","boot":null,"hardware":7000,"flash":"factory"}]})", package, 1,
       "fleet.json: profile 1 \"p\": boot: not a string"},
      {p + R"("flash":"factory","boot":"doc"}]})", package, 1, "fleet.json: not JSON this tool reads (the key \"boot\" twice"},
      {p + R"("flash":"factory","x":1e400}]})", package, 1, "fleet.json: not JSON (number overflow"},
      {R"({"profiles":)" + std::string(100, '[') + std::string(100, ']') + "}", package, 1, "nested deeper than 64"},
      {p + R"("flash":"factory","registry":{"CustomPath":"\\Card\n[HKEY_LOCAL_MACHINE\\X]"}}]})", package, 1,
       "\"p\": registry.CustomPath: holds a control character"},
      {R"({"profiles":[{"name":"p\u001b[2J","boot":"doc","hardware":7000,"flash":"factory"}]})", package, 1,
       "profile 1 \"p\\x1b[2J\": name: holds a control character"},
      {p + R"("flash":"factory"}]})", "/dev/zero", 1, "/dev/zero: not a regular file"},
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

// No report replaces an input (a signature, a profile's key), the other report or a
// device's folder, and a report that cannot be printed is a failure.
TEST(Fleet, ReportsLandOnNoInputAndNoOtherReport) {
  ts::TempDir dir;
  const std::string package = MakePackage(dir);
  const fs::path pack = ts::Built("tools/vxpack");
  ASSERT_EQ(ts::Run(pack, {"keygen", "-o", (dir / "k").string()}).exitCode, 0);
  ASSERT_EQ(ts::Run(pack, {"sign", "--key", (dir / "k.key").string(), package}).exitCode, 0);
  ts::WriteText(dir / "fleet.json", json{{"profiles", {Profile("p", R"(,"key":"k.pub")")}}}.dump());
  ts::WriteText(dir / "r.html", "an older report");
  fs::create_symlink(dir / "r.html", dir / "same.xml");
  fs::create_symlink(dir / "gone.html", dir / "dangling.html");
  fs::create_directories(dir / "keep");
  struct Case { std::string options; std::string said; };
  const std::vector<Case> cases = {
      {"--html VXUpdate.bin.sig", "VXUpdate.bin.sig: the same file as the input"},
      {"--junit k.pub", "k.pub: the same file as the input"},
      {"--html r.html --junit same.xml", "same.xml: the same file as --html r.html"},
      {"--html dangling.html", "dangling.html: a symbolic link to nothing"},
      {"--keep keep --html keep/01-p", "where a profile's device goes"},
      {"--json >/dev/full", "vxfleet: standard output: No space left on device"}};
  for (const Case& c : cases) {
    const ts::RunResult run = ts::Run("/bin/sh", {"-c", "cd '" + dir.path().string() + "' && '" +
                                                            ts::Built("tools/vxfleet").string() +
                                                            "' run fleet.json VXUpdate.bin " + c.options});
    EXPECT_EQ(run.exitCode, 1) << c.options;
    EXPECT_NE(run.err.find(c.said), std::string::npos) << run.err;
    EXPECT_EQ(ts::ReadText(dir / "r.html"), "an older report");
    EXPECT_TRUE(fs::is_empty(dir / "keep")) << c.options;
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
  // Edits a copy of shard `k` with `edit` and answers its path.
  const auto changed = [&](int k, const char* name, const std::function<void(json&)>& edit) {
    json copy = json::parse(ts::ReadText(shards[k]));
    edit(copy);
    return edited(name, copy);
  };
  const std::string many = changed(0, "many.json", [](json& r) { r["provenance"]["fleet"]["profiles"] = 99999; });
  const std::string deep = changed(1, "deep.json", [](json& r) {
    r["profiles"][0]["device"] = json::parse(std::string(100, '[') + std::string(100, ']'));
  });
  const std::string shouted = changed(1, "shouted.json", [](json& r) { r["profiles"][0]["outcome"] = "UPDATED"; });
  const std::string guessed = changed(1, "guessed.json", [](json& r) { r["profiles"][0]["expected"] = "fine"; });
  const std::vector<Case> cases = {
      {{shards[0], shards[1]}, "shard 2/3 is missing"},
      {{shards[0], shards[1], shards[2], shards[1]}, "shard-1.json: shard 1/3 again"},
      {{shards[0], otherPackage, shards[2]}, "other-package.json: made from another package"},
      {{shards[0], otherFleet, shards[2]}, "other-fleet.json: made from another fleet file"},
      {{edited("twice.json", twice), shards[1], shards[2]}, "twice.json: profile 1 \"fresh\" is reported twice"},
      {{shards[0], edited("empty.json", json::object()), shards[2]}, "empty.json: not a vxfleet report"},
      {{many, shards[1], shards[2]}, "shard-1.json: gives the fleet 5 profiles, " + many + " 99999"},
      {{shards[2], shards[1], many}, "shard-1.json: gives the fleet 5 profiles, " + many + " 99999"},
      {{shards[0], deep, shards[2]}, "deep.json: not JSON this tool reads (nested deeper than 64"},
      {{shards[0], shouted, shards[2]}, "shouted.json: not a vxfleet report (profiles[0].outcome: not an outcome)"},
      {{shards[0], guessed, shards[2]}, "guessed.json: not a vxfleet report (profiles[0].expected: not an outcome)"}};
  for (const Case& c : cases) {
    std::vector<std::string> args = {"merge"};
    args.insert(args.end(), c.reports.begin(), c.reports.end());
    ts::RunResult refused = Fleet(args);
    EXPECT_EQ(refused.exitCode, 1) << c.said;
    EXPECT_NE(refused.err.find(c.said), std::string::npos) << refused.err;
    EXPECT_TRUE(refused.out.empty()) << refused.out;
  }

  // A shard that calls a missed expectation met does not make it so.
  const std::string flattered = changed(0, "flattered.json", [](json& r) {
    for (json& profile : r["profiles"]) profile["as_expected"] = true;
  });
  merged = Fleet({"merge", flattered, shards[1], shards[2], "--json"});
  EXPECT_EQ(merged.exitCode, 1) << merged.err;
  EXPECT_EQ(Comparable(json::parse(merged.out)), Comparable(json::parse(whole.out)));
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

  // Each shard names the key that signed the package, its own profiles' or not, so the
  // merge is the same in any order; a shard run without the signature does not join.
  const auto shard = [&](int k, const char* name) {
    ts::WriteText(dir / name, Fleet({"run", (dir / "fleet.json").string(), package, "--json", "--shard",
                                     std::to_string(k) + "/2"}).out);
    return (dir / name).string();
  };
  const std::string first = shard(0, "s0.json"), second = shard(1, "s1.json");
  json merged[2];
  for (int order = 0; order < 2; ++order) {
    const ts::RunResult joined = Fleet({"merge", order ? second : first, order ? first : second, "--json"});
    EXPECT_EQ(joined.exitCode, 0) << joined.err;
    merged[order] = json::parse(joined.out);
    merged[order]["provenance"].erase("date");
  }
  EXPECT_EQ(merged[0], merged[1]);
  EXPECT_EQ(merged[0]["provenance"]["package"]["signature"]["key_fingerprint"], fingerprint);
  fs::rename(package + ".sig", package + ".sig.away");
  const ts::RunResult unsigned_ = Fleet({"merge", first, shard(1, "unsigned.json")});
  EXPECT_EQ(unsigned_.exitCode, 1);
  EXPECT_NE(unsigned_.err.find("unsigned.json: made with no signature, " + first + " with the signature"),
            std::string::npos)
      << unsigned_.err;
}

// An installed layout in `dir` (bin/, lib/vxupdater/) whose updater and vxpack first run
// `updater` and `vxpack` (branches of a shell `case` on the device folder, and on
// vxpack's command) and then the real programs.  Answers bin/vxfleet.
fs::path Install(const ts::TempDir& dir, const std::string& updater, const std::string& vxpack = "") {
  fs::create_directories(dir / "bin");
  fs::create_directories(dir / "lib" / "vxupdater");
  fs::copy_file(ts::Built("tools/vxfleet"), dir / "bin" / "vxfleet", fs::copy_options::overwrite_existing);
  fs::copy_file(ts::Built("sim/vx_bsp_api.dll"), dir / "lib/vxupdater/vx_bsp_api.dll", fs::copy_options::overwrite_existing);
  for (const auto& [script, on, real, cases] :
       {std::tuple{dir / "lib/vxupdater/vxupdater", "$VXU_DEVICE_ROOT", ts::Built("control/vxupdater"), updater},
        std::tuple{dir / "bin/vxpack", "$1", ts::Built("tools/vxpack"), vxpack}}) {
    ts::WriteText(script, "#!/bin/sh\ncase " + std::string(on) + " in " + cases + "\nesac\nexec '" + real.string() +
                              "' \"$@\"\n");
    fs::permissions(script, fs::perms::owner_all);
  }
  return dir / "bin" / "vxfleet";
}

// A run's updater may write anything to its trace and to the files it shares with the
// other profiles: it is reported, never obeyed, and never taken for the package's bytes.
TEST(Fleet, WhatAnUpdaterWritesIsReportedNotObeyed) {
  ts::TempDir dir;
  const std::string package = MakePackage(dir);
  ts::WriteText(dir / "fleet.json", json{{"profiles", {Profile("odd", ""), Profile("plain", "")}}}.dump());
  struct Case { std::string updater; int exit; std::string said; std::string first; };
  const std::vector<Case> cases = {
      {R"(*/01-*) echo '{"ev":"msgbox","text":5,"answer":"x"}' >> "$VXU_TRACE";;)", 0, "", "unknown"},
      {R"(*/01-*) echo '{"ev":"device","call":"CPU_Reset","arg":"1"}' >> "$VXU_TRACE";;)", 0, "", "unknown"},
      {R"(*/01-*) f=$VXU_DEVICE_ROOT/Windows/zlib.dll; chmod u+w "$f"; echo x >> "$f";;)", 1,
       "the staged zlib.dll changed while the profiles ran", ""},
      {R"(*/01-*) f=$VXU_DEVICE_ROOT/Storage\ Card/VXUpdate.bin.sig; chmod u+w "$f"; echo x >> "$f";;)", 1,
       "the staged VXUpdate.bin.sig changed while the profiles ran", ""}};
  ts::WriteText(package + ".sig", std::string(64, 's'));
  for (const Case& c : cases) {
    const ts::RunResult run = ts::Run(Install(dir, c.updater), {"run", (dir / "fleet.json").string(), package, "--json"});
    EXPECT_EQ(run.exitCode, c.exit) << c.updater << run.err;
    EXPECT_NE(run.err.find(c.said), std::string::npos) << run.err;
    if (c.first.empty()) {
      EXPECT_TRUE(run.out.empty()) << run.out;
      continue;
    }
    const json report = json::parse(run.out);
    EXPECT_EQ(report["profiles"][0]["outcome"], c.first);
    EXPECT_NE(report["profiles"][0]["reason"].get<std::string>().find("trace line"), std::string::npos);
    EXPECT_EQ(report["profiles"][1]["outcome"], "updated");
  }
  fs::remove(dir / "bin" / "vxpack");
  const ts::RunResult run = ts::Run(dir / "bin" / "vxfleet", {"run", (dir / "fleet.json").string(), package});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("vxpack: not found beside the tool"), std::string::npos) << run.err;
}

TEST(Fleet, InterruptKeepsTheFinishedProfilesWhichShareOnePackage) {
  ts::TempDir dir;
  const std::string package = MakePackage(dir);
  ts::WriteText(dir / "fleet.json", json{{"profiles", {Profile("one", ""), Profile("two", ""), Profile("slow", ""),
                                                       Profile("never", "")}}}.dump());
  const std::string keep = (dir / "keep").string();
  // The interrupt comes while the updater hangs on the profile named "slow" (two
  // profiles finished, one running, one not started), or after every profile finished,
  // while vxpack looks at the package.
  struct Case { std::string updater, vxpack, started, said; std::vector<std::string> left; };
  const std::vector<Case> cases = {
      {R"(*/03-slow/*) : > "$VXU_DEVICE_ROOT/../started"; exec sleep 600;;)", "", keep + "/03-slow/started",
       "kept the 2 finished profiles in " + keep + ", removed the 1 unfinished ones", {"01-one", "02-two"}},
      {"", "info) : > '" + keep + "/started'; exec sleep 600;;", keep + "/started",
       "kept the 4 finished profiles in " + keep + ", removed the 0 unfinished ones",
       {"01-one", "02-two", "03-slow", "04-never", "started"}}};
  for (const Case& c : cases) {
    fs::remove_all(keep);
    const fs::path vxfleet = Install(dir, c.updater, c.vxpack);
    ts::RunResult run = ts::Run("/bin/sh", {"-c", "'" + vxfleet.string() + "' run '" + (dir / "fleet.json").string() +
                                                      "' '" + package + "' --jobs 1 --keep '" + keep + "' & n=0; "
                                                      "while [ ! -e '" + c.started + "' ] && [ $n -lt 1200 ]; "
                                                      "do sleep 0.05; n=$((n+1)); done; kill -TERM $!; wait $!"});
    EXPECT_EQ(run.exitCode, 128 + 15) << run.err;
    EXPECT_NE(run.err.find(c.said), std::string::npos) << run.err;
    EXPECT_TRUE(run.out.empty());
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(keep)) left.push_back(entry.path().filename());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, c.left);
  }
  // No copies: both devices hold the very package and libraries the run staged, and
  // neither holds the caller's own package file, which a change by hand would reach.
  for (const char* file : {"Storage Card/VXUpdate.bin", "Windows/vx_bsp_api.dll", "Windows/zlib.dll"}) {
    EXPECT_TRUE(fs::equivalent(dir / "keep/01-one/device" / file, dir / "keep/02-two/device" / file)) << file;
  }
  EXPECT_FALSE(fs::equivalent(dir / "keep/01-one/device/Storage Card/VXUpdate.bin", package));
}
