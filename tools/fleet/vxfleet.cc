// vxfleet: shows what the updater does with one package on every kind of device.
//
//   vxfleet run FLEET PACKAGE [--jobs N] [--shard K/N] [--json] [--html FILE] [--junit FILE]
//                             [--keep DIR]
//   vxfleet merge REPORT.json... [--json] [--html FILE] [--junit FILE]
//
// Exit status: 0 when every profile with an expectation ended as expected, 1 otherwise
// (or when the fleet file, the package, a shard report or a report cannot be used), 2
// for a usage mistake.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <iostream>
#include <mutex>
#include <random>
#include <system_error>
#include <thread>

#include "platform/host_process.h"
#include "sim/device_state.h"
#include "tools/common/common.h"
#include "tools/fleet/fleet.h"

namespace {

namespace fs = std::filesystem;
namespace host = platform::host;

using tools::Fail;
using tools::kExitFailed;
using tools::kExitOk;

constexpr std::string_view kRunAbout =
    "Makes a simulated device for every profile of the fleet file FLEET, puts PACKAGE on\n"
    "its storage card, runs the updater there and reports what it did: the outcome, the\n"
    "images written, the boxes and their answers, the console and the device afterwards.\n"
    "Exit status 1 also when a profile did not end as it expects.";
constexpr std::string_view kMergeAbout =
    "Joins the JSON reports of the shards of one run (vxfleet run --shard K/N --json) into\n"
    "the report of the whole fleet; refuses reports of another fleet file or package, a\n"
    "shard missing or given twice, and a profile reported twice or not at all.\n"
    "Exit status 1 also when a profile did not end as it expects.";

struct Arguments {
  std::string fleet, package, html, junit, keep;
  std::optional<std::string> jobsText, shardText;
  std::vector<std::string> reports;
  unsigned jobs = std::max(1u, std::thread::hardware_concurrency());
  std::optional<fleet::Shard> shard;
  bool json = false;
};

std::string RandomName(std::string_view prefix) {
  static std::mutex lock;
  static std::random_device random;
  std::lock_guard guard(lock);
  return std::string(prefix) + std::to_string(random());
}

// A fresh folder below `parent`.
fs::path FreshFolder(const fs::path& parent, std::string_view prefix) {
  std::error_code error;
  for (;;) {
    fs::path dir = parent / RandomName(prefix);
    if (fs::create_directory(dir, error)) return dir;
    if (error) return {};
  }
}

// Why a report could not be written to `output`, or nothing: checked before anything
// runs, so that a mistyped folder does not cost a whole fleet.  A trial file is opened
// beside it the way the report will be, and removed.
std::optional<std::string> OutputMistake(const fs::path& output, std::span<const fs::path> inputs) {
  const tools::OutputFile trial(output, inputs);
  if (!trial.ok()) return trial.reason();
  return std::nullopt;
}

std::optional<std::string> OutputsMistake(const Arguments& args, std::span<const fs::path> inputs) {
  std::error_code error;
  if (!args.html.empty() && !args.junit.empty() &&
      fs::absolute(args.html, error).lexically_normal() == fs::absolute(args.junit, error).lexically_normal()) {
    return args.junit + ": named for both --html and --junit";
  }
  for (const std::string& output : {args.html, args.junit}) {
    if (output.empty()) continue;
    if (auto mistake = OutputMistake(output, inputs)) return output + ": " + *mistake;
  }
  return std::nullopt;
}

// What `vxpack info` says of the package: its JSON object and its text.
std::pair<fleet::Json, std::string> PackageSummary(const fs::path& package, const fs::path& vxpack,
                                                   const fs::path& scratch) {
  std::string outputs[2];
  for (int json = 0; json < 2; ++json) {
    host::ProgramRun run;
    run.program = vxpack;
    run.arguments = {"info", package.string()};
    if (json) run.arguments.push_back("--json");
    run.stdoutFile = scratch / "package-info.txt";
    run.stderrFile = scratch / "package-info.err";
    host::RunProgram(run);
    outputs[json] = fleet::ReadWhole(run.stdoutFile);
  }
  fleet::Json info = fleet::Json::parse(outputs[1], nullptr, false);
  if (info.is_discarded()) info = {{"file", package.string()}};
  return {info, outputs[0]};
}

int WriteReport(const std::string& file, const std::string& text, std::span<const fs::path> inputs) {
  const std::span bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  if (auto failure = tools::WriteWholeFile(file, bytes, inputs)) return Fail(file, *failure);
  return kExitOk;
}

// Writes the requested reports and prints the table or the JSON; answers the exit status.
int Publish(const fleet::Json& report, const Arguments& args, std::span<const fs::path> inputs) {
  int status = kExitOk;
  if (!args.html.empty() && WriteReport(args.html, fleet::HtmlReport(report), inputs) != kExitOk) {
    status = kExitFailed;
  }
  if (!args.junit.empty() && WriteReport(args.junit, fleet::JunitReport(report), inputs) != kExitOk) {
    status = kExitFailed;
  }
  std::cout << (args.json ? tools::JsonText(report) + "\n" : fleet::TableReport(report));
  for (const fleet::Json& miss : report["verdict"]["missed"]) {
    status = Fail("profile \"" + miss["name"].get<std::string>() + "\"",
                  "expected " + miss["expected"].get<std::string>() + ", ended " + miss["outcome"].get<std::string>());
  }
  return status;
}

// The end of a run that an interrupt stopped before any profile finished, or without --keep.
int EndInterrupted() {
  std::cerr << "vxfleet: interrupted; the scratch devices are removed\n";
  return 128 + host::InterruptSignal();
}

// Where each profile of a run stands, for what an interrupt keeps.
enum class Progress { kWaiting, kRunning, kFinished };

int Run(const Arguments& args) {
  std::string error;
  auto fleetFile = fleet::ReadFleet(args.fleet, &error);
  if (!fleetFile) return Fail("", error);
  if (auto reason = fleet::NotAPackage(args.package)) return Fail(args.package, *reason);
  const std::vector<fs::path> inputs = {args.fleet, args.package, args.package + ".sig"};
  if (auto mistake = OutputsMistake(args, inputs)) return Fail("", *mistake);
  const std::optional<fs::path> updater = tools::Companion("vxupdater", "control", &error);
  if (!updater) return Fail("vxupdater", error);
  std::error_code fsError;
  const fs::path vxpack = fs::read_symlink("/proc/self/exe", fsError).parent_path() / "vxpack";
  std::vector<fleet::Profile> profiles;
  for (const fleet::Profile& profile : fleetFile->profiles) {
    if (!args.shard || fleet::InShard(profile.position, *args.shard)) profiles.push_back(profile);
  }

  // From here on an interrupt leaves nothing behind: the scratch folder is made after.
  host::WatchInterrupts();
  const bool keep = !args.keep.empty();
  if (keep) fs::create_directories(args.keep, fsError);
  const fs::path scratch = keep ? fs::absolute(args.keep) : FreshFolder(fs::temp_directory_path(fsError), "vxfleet-");
  if (scratch.empty() || !fs::is_directory(scratch, fsError)) {
    return Fail(keep ? args.keep : "temporary folder", "cannot make it");
  }
  // The stage shares the devices' file system, so that they can link to it.
  fleet::Stage stage;
  const fs::path stageFolder = scratch / RandomName(".vxfleet-stage-");
  auto cleanUp = [&] {
    fs::remove_all(stage.folder.empty() ? stageFolder : stage.folder, fsError);
    if (!keep) fs::remove_all(scratch, fsError);
  };
  if (auto failure = fleet::StageFiles(args.package, stageFolder, &stage)) {
    cleanUp();
    return Fail("", *failure);
  }
  auto package = fleet::PackageProvenance(args.package, stage, profiles, vxpack, &error);
  const fs::path staged = stage.folder / "VXUpdate.bin";
  const auto stagedTime = fs::last_write_time(staged, fsError);
  if (!package || host::Interrupted()) {
    cleanUp();
    if (host::Interrupted()) return EndInterrupted();
    return Fail("", error);
  }
  std::vector<fleet::Result> results(profiles.size());
  std::vector<Progress> progress(profiles.size(), Progress::kWaiting);
  std::vector<fs::path> folders;
  for (const fleet::Profile& profile : profiles) {
    folders.push_back(scratch / fleet::ProfileFolder(profile.position, profile.name));
  }
  std::atomic<std::size_t> next{0};
  std::size_t finished = 0;
  std::mutex progressLock;
  const bool terminal = host::StandardErrorIsTerminal();
  auto work = [&] {
    for (std::size_t i = next++; i < profiles.size() && !host::Interrupted(); i = next++) {
      {
        std::lock_guard lock(progressLock);
        progress[i] = Progress::kRunning;
      }
      results[i] = fleet::RunProfile(profiles[i], stage, *updater, folders[i]);
      std::error_code ignored;
      if (!keep && results[i].ownFolder) {
        // The device is read; its folder goes at once, so that a big fleet never holds
        // more than --jobs devices on the disk.
        fs::remove_all(folders[i], ignored);
        if (results[i].device.is_object()) {
          results[i].device["root"] = (fs::path(folders[i].filename()) / "device").string();
        }
      }
      std::lock_guard lock(progressLock);
      // A run that an interrupt cut short is not finished, whatever it left behind.
      if (host::Interrupted()) return;
      progress[i] = Progress::kFinished;
      ++finished;
      if (terminal) {
        const std::size_t filled = finished * 30 / profiles.size();
        std::cerr << "\r[" << std::string(filled, '#') << std::string(30 - filled, '.') << "] "
                  << finished << "/" << profiles.size() << std::flush;
      } else {
        std::cerr << "vxfleet: " << finished << "/" << profiles.size() << " " << profiles[i].name
                  << ": " << fleet::OutcomeName(results[i].outcome) << "\n";
      }
    }
  };
  std::vector<std::thread> workers;
  for (unsigned j = 0; j < std::min<std::size_t>(args.jobs, profiles.size()); ++j) workers.emplace_back(work);
  for (std::thread& worker : workers) worker.join();
  if (terminal && !profiles.empty()) std::cerr << "\n";

  if (host::Interrupted()) {
    std::size_t removed = 0;
    for (std::size_t i = 0; i < profiles.size(); ++i) {
      if (progress[i] != Progress::kRunning || !results[i].ownFolder) continue;
      fs::remove_all(folders[i], fsError);
      ++removed;
    }
    cleanUp();
    if (!keep) return EndInterrupted();
    std::cerr << "vxfleet: interrupted; kept the " << finished << " finished profiles in " << args.keep
              << ", removed the " << removed << " unfinished ones\n";
    return 128 + host::InterruptSignal();
  }
  // The digest must name the bytes every profile saw; the updater under trial is a
  // candidate build, and one that wrote to its package would have changed them for all.
  if (fs::last_write_time(staged, fsError) != stagedTime || fs::file_size(staged, fsError) != (*package)["size"]) {
    cleanUp();
    return Fail(args.package, "changed while the profiles ran; no report");
  }
  auto [packageInfo, packageText] = PackageSummary(args.package, vxpack, stage.folder);
  const auto version = fleet::UpdaterVersion(results);
  fleet::Json provenance = {
      {"date", fleet::UtcNow()},
      {"vxfleet", tools::Version()},
      {"updater", {{"path", updater->string()},
                   {"version", version ? fleet::Json(*version) : nullptr},
                   {"sha256", fleet::FileSha256(*updater).value_or("")}}},
      {"fleet", {{"path", args.fleet}, {"sha256", fleetFile->sha256}, {"profiles", fleetFile->profiles.size()}}},
      {"package", *package}};
  if (args.shard) provenance["shard"] = {{"index", args.shard->index}, {"count", args.shard->count}};
  const fleet::Json report = fleet::JsonReport(provenance, packageInfo, packageText, profiles, results);
  cleanUp();
  if (host::Interrupted()) return EndInterrupted();
  return Publish(report, args, inputs);
}

int Merge(const Arguments& args) {
  const std::vector<fs::path> inputs(args.reports.begin(), args.reports.end());
  if (auto mistake = OutputsMistake(args, inputs)) return Fail("", *mistake);
  std::vector<std::pair<std::string, fleet::Json>> reports;
  for (const std::string& file : args.reports) {
    std::string reason;
    const auto text = tools::ReadWholeFile(file, fleet::kMaxReportFile, &reason);
    if (!text) return Fail(file, reason);
    fleet::Json report = fleet::Json::parse(text->begin(), text->end(), nullptr, false);
    if (report.is_discarded()) return Fail(file, "not JSON");
    reports.emplace_back(file, std::move(report));
  }
  std::string error;
  const auto merged = fleet::MergeReports(reports, fleet::UtcNow(), std::string(tools::Version()), &error);
  if (!merged) return Fail("", error);
  return Publish(*merged, args, inputs);
}

// The options that run and merge share: what to print and which reports to write.
void ReportOptions(CLI::App& command, Arguments& args) {
  command.add_flag("--json", args.json, "print one JSON object instead of the table");
  command.add_option("--html", args.html, "also write a self-contained HTML page")->type_name("FILE");
  command.add_option("--junit", args.junit, "also write a JUnit XML report, one test case per profile")
      ->type_name("FILE");
}

}  // namespace

// The command line, all in one place.
int main(int argc, char** argv) {
  CLI::App app("Dry-runs one update package on a fleet of simulated devices.", "vxfleet");
  tools::SetUpHelp(app);
  Arguments args;
  CLI::App* run = app.add_subcommand("run", "run the updater with PACKAGE on every profile of FLEET");
  tools::SetUpHelp(*run, kRunAbout);
  run->add_option("FLEET", args.fleet, "the fleet file (JSON)")->required();
  run->add_option("PACKAGE", args.package, "the update package")->required();
  run->add_option("--jobs", args.jobsText, "profiles run at once, 1 to 256 (default: one per core)")
      ->type_name("N");
  run->add_option("--shard", args.shardText,
                  "run only the profiles whose position (from 0) leaves K when divided by N")
      ->type_name("K/N");
  ReportOptions(*run, args);
  run->add_option("--keep", args.keep, "keep the devices in DIR, one folder per profile")->type_name("DIR");
  CLI::App* merge = app.add_subcommand("merge", "join the JSON reports of a fleet's shards into one");
  tools::SetUpHelp(*merge, kMergeAbout);
  merge->add_option("REPORT", args.reports, "the JSON report of a shard (vxfleet run --json)")->required();
  ReportOptions(*merge, args);
  if (const auto status = tools::ParseCommandLine(app, argc, argv)) return *status;
  if (merge->parsed()) return Merge(args);
  if (args.jobsText) {
    const std::optional<std::uint32_t> jobs = sim::ParseU32(*args.jobsText);
    if (!jobs || *jobs < 1 || *jobs > 256) {
      return tools::Usage(*run, "--jobs", "'" + *args.jobsText + "' is not a number from 1 to 256");
    }
    args.jobs = *jobs;
  }
  if (args.shardText && !(args.shard = fleet::ParseShard(*args.shardText))) {
    return tools::Usage(*run, "--shard", "'" + *args.shardText + "' is not K/N with 0 <= K < N");
  }
  return Run(args);
}
