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

// The file a path names once its links are followed, for telling whether two paths
// name one file that may not exist yet.
fs::path Resolved(const fs::path& path) {
  std::error_code error;
  const fs::path resolved = fs::weakly_canonical(fs::absolute(path, error), error);
  return error ? fs::absolute(path, error).lexically_normal() : resolved;
}

bool SameFile(const fs::path& a, const fs::path& b) {
  std::error_code error;
  return Resolved(a) == Resolved(b) || fs::equivalent(a, b, error);
}

// True when `path` is `folder` or lies below it.
bool Inside(const fs::path& path, const fs::path& folder) {
  const fs::path relative = Resolved(path).lexically_relative(Resolved(folder));
  return !relative.empty() && *relative.begin() != "..";
}

// Why the reports cannot be written where the command line says, or nothing; checked
// before anything runs, so that a mistyped folder does not cost a whole fleet.  Each
// report is tried the way it will be written (a trial file beside it, removed again);
// neither may replace an input, the other report, or lie where a profile's device will.
// The installed files a report must never replace: this tool, the tools beside it and
// the device libraries it gives the updater.
std::vector<fs::path> OwnFiles() {
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  std::vector<fs::path> files = {error ? fs::path("/proc/self/exe") : self};
  std::string ignored;
  for (const char* tool : {"vxpack", "vxdevice", "vxstamp"}) {
    if (auto file = tools::SiblingTool(tool, &ignored)) files.push_back(*file);
  }
  if (auto updater = tools::Companion("vxupdater", "control", &ignored)) files.push_back(*updater);
  for (const char* library : {"vx_bsp_api.dll", "zlib.dll", "VXUpdate.dll"}) {
    if (auto file = tools::DeviceLibrary(library, &ignored)) files.push_back(*file);
  }
  return files;
}

std::optional<std::string> OutputsMistake(const Arguments& args, std::span<const fs::path> inputs,
                                          std::span<const fs::path> deviceFolders) {
  if (!args.html.empty() && !args.junit.empty() && SameFile(args.html, args.junit)) {
    return args.junit + ": the same file as --html " + args.html + "; one report would replace the other";
  }
  for (const std::string& output : {args.html, args.junit}) {
    if (output.empty()) continue;
    const tools::OutputFile trial(output, inputs);
    if (!trial.ok()) return output + ": " + trial.reason();
    for (const fs::path& folder : deviceFolders) {
      if (Inside(output, folder)) return output + ": in " + folder.string() + ", where a profile's device goes";
    }
  }
  return std::nullopt;
}

// Why --keep DIR cannot hold the devices: it must be a folder, or be made in one that
// exists (a missing parent is a slip, and is not made).
std::optional<std::string> KeepMistake(const fs::path& keep) {
  std::error_code error;
  const fs::file_status status = fs::status(keep, error);
  if (fs::exists(status)) return fs::is_directory(status) ? std::nullopt : std::optional(tools::SystemReason(ENOTDIR));
  if (!fs::is_directory(fs::absolute(keep, error).parent_path(), error)) return tools::SystemReason(ENOENT);
  return std::nullopt;
}

// What an interrupt left: the profiles kept with --keep and those removed, whether the
// keep folder this run made went again, and the reports written before it came.
struct Leftovers {
  bool devices = true;  // false for merge, which makes none
  std::size_t kept = 0;
  std::size_t removed = 0;
  bool keepRemoved = false;
  std::vector<std::string> written;
};

Leftovers Merged() {
  Leftovers left;
  left.devices = false;
  return left;
}

// Says what an interrupt left, as it is, and answers 128 + the signal.
int EndInterrupted(const Arguments& args, const Leftovers& left) {
  std::string line = "interrupted";
  if (!left.devices) {
  } else if (args.keep.empty()) {
    line += "; the scratch devices are removed";
  } else if (left.keepRemoved) {
    line += "; no profile had finished; removed " + args.keep + ", which this run made";
  } else {
    line += "; kept the " + std::to_string(left.kept) + " finished profiles in " + args.keep + ", removed the " +
            std::to_string(left.removed) + " unfinished ones";
  }
  std::string written;
  for (const std::string& report : left.written) written += (written.empty() ? "" : ", ") + report;
  if (!written.empty()) line += "; written before it: " + written;
  Fail("", line);
  return 128 + host::InterruptSignal();
}

// Writes the requested reports and prints the table or the JSON; answers the exit
// status, or nothing when an interrupt came first (*written: what was written before).
std::optional<int> Publish(const fleet::Json& report, const Arguments& args, std::vector<fs::path> inputs,
                           std::vector<std::string>* written) {
  int status = kExitOk;
  for (const auto& [file, text] : {std::pair{args.html, &fleet::HtmlReport}, std::pair{args.junit, &fleet::JunitReport}}) {
    if (file.empty()) continue;
    if (host::Interrupted()) return std::nullopt;
    const std::string page = text(report);
    const std::span bytes(reinterpret_cast<const std::uint8_t*>(page.data()), page.size());
    if (auto failure = tools::WriteWholeFile(file, bytes, inputs)) {
      status = Fail(file, *failure);
      continue;
    }
    written->push_back(file);
    // Neither report replaces the other, however their paths came to meet.
    inputs.push_back(file);
  }
  if (host::Interrupted()) return std::nullopt;
  if (auto failure = tools::WriteStandardOutput(args.json ? tools::JsonText(report) + "\n" : fleet::TableReport(report))) {
    status = Fail("standard output", *failure);
  } else {
    written->push_back("standard output");
  }
  if (host::Interrupted()) return std::nullopt;
  for (const fleet::Json& miss : report["verdict"]["missed"]) {
    status = Fail("profile \"" + miss["name"].get<std::string>() + "\"",
                  "expected " + miss["expected"].get<std::string>() + ", ended " + miss["outcome"].get<std::string>());
  }
  return status;
}

// Where each profile of a run stands, for what an interrupt keeps.
enum class Progress { kWaiting, kRunning, kFinished };

int Run(const Arguments& args) {
  std::string error;
  auto fleetFile = fleet::ReadFleet(args.fleet, &error);
  if (!fleetFile) return Fail("", error);
  if (auto reason = fleet::NotAPackage(args.package)) return Fail(args.package, *reason);
  const std::optional<fs::path> updater = tools::Companion("vxupdater", "control", &error);
  if (!updater) return Fail("vxupdater", error);
  const std::optional<fs::path> vxpack = tools::SiblingTool("vxpack", &error);
  if (!vxpack) return Fail("vxpack", error);
  // Everything the run reads: no report may replace any of it.
  std::vector<fs::path> inputs = OwnFiles();
  inputs.insert(inputs.end(), {args.fleet, args.package, args.package + ".sig", *updater, *vxpack});
  for (const fleet::Profile& profile : fleetFile->profiles) {
    if (!profile.keyFile.empty()) inputs.push_back(profile.keyFile);
  }
  std::vector<fleet::Profile> profiles;
  for (const fleet::Profile& profile : fleetFile->profiles) {
    if (!args.shard || fleet::InShard(profile.position, *args.shard)) profiles.push_back(profile);
  }
  const bool keep = !args.keep.empty();
  if (keep) {
    if (auto mistake = KeepMistake(args.keep)) return Fail(args.keep, *mistake);
  }
  std::vector<fs::path> keptFolders;
  for (const fleet::Profile& profile : profiles) {
    if (keep) keptFolders.push_back(fs::path(args.keep) / fleet::ProfileFolder(profile.position, profile.name));
  }
  if (auto mistake = OutputsMistake(args, inputs, keptFolders)) return Fail("", *mistake);

  // From here on an interrupt leaves nothing behind that this run did not keep.
  host::WatchInterrupts();
  std::error_code fsError;
  const bool madeKeep = keep && fs::create_directory(args.keep, fsError);
  if (fsError) return Fail(args.keep, fsError.message());
  fs::path scratch = fs::absolute(args.keep, fsError);
  if (!keep) {
    const fs::path temporary = fs::temp_directory_path(fsError);
    scratch = fsError ? fs::path() : FreshFolder(temporary, "vxfleet-");
    if (scratch.empty()) return Fail("temporary folder", fsError ? fsError.message() : "no scratch folder can be made in it");
  }
  // The stage shares the devices' file system, so that they can link to it.
  fleet::Stage stage;
  const fs::path stageFolder = scratch / RandomName(".vxfleet-stage-");
  Leftovers left;
  auto cleanUp = [&] {
    fs::remove_all(stageFolder, fsError);
    if (!keep) fs::remove_all(scratch, fsError);
    // A keep folder this run made and nothing was kept in goes too.
    if (madeKeep && fs::is_empty(scratch, fsError) && fs::remove(scratch, fsError)) left.keepRemoved = true;
  };
  if (auto failure = fleet::StageFiles(args.package, *updater, stageFolder, &stage)) {
    cleanUp();
    return host::Interrupted() ? EndInterrupted(args, left) : Fail("", *failure);
  }
  auto package = fleet::PackageProvenance(args.package, stage, fleetFile->profiles, &error);
  if (!package || host::Interrupted()) {
    cleanUp();
    return host::Interrupted() ? EndInterrupted(args, left) : Fail("", error);
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
      try {
        results[i] = fleet::RunProfile(profiles[i], stage, folders[i]);
      } catch (const std::exception& failure) {
        // Whatever a run left behind, the other profiles still run and report.
        results[i].outcome = fleet::Outcome::kError;
        results[i].reason = std::string("vxfleet: ") + failure.what();
      }
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
  // From here on every profile is finished or stays unfinished: what an interrupt keeps.
  for (std::size_t i = 0; i < profiles.size(); ++i) {
    if (!results[i].ownFolder) continue;
    if (progress[i] == Progress::kFinished) ++left.kept;
    if (progress[i] != Progress::kRunning) continue;
    fs::remove_all(folders[i], fsError);
    ++left.removed;
  }
  const auto interrupted = [&] {
    cleanUp();
    return EndInterrupted(args, left);
  };
  if (host::Interrupted()) return interrupted();
  // What vxpack says, and everything the report states, is of the staged bytes; they
  // must be the bytes every profile saw.  The updater under trial is a candidate build,
  // and one that wrote to a staged file would have changed it for all.
  auto summary = fleet::PackageSummary(args.package, stage, *vxpack, &error);
  if (host::Interrupted()) return interrupted();
  if (!summary) {
    cleanUp();
    return Fail("", error);
  }
  if (auto changed = fleet::StageChanged(stage)) {
    if (host::Interrupted()) return interrupted();
    cleanUp();
    return Fail("", *changed + "; no report");
  }
  const auto version = fleet::UpdaterVersion(results);
  fleet::Json provenance = {
      {"date", fleet::UtcNow()},
      {"vxfleet", tools::Version()},
      {"updater", {{"path", updater->string()},
                   {"version", version ? fleet::Json(*version) : nullptr},
                   {"sha256", stage.files.at("vxupdater").sha256}}},
      {"fleet", {{"path", args.fleet}, {"sha256", fleetFile->sha256}, {"profiles", fleetFile->profiles.size()}}},
      {"package", *package}};
  if (args.shard) provenance["shard"] = {{"index", args.shard->index}, {"count", args.shard->count}};
  const fleet::Json report = fleet::JsonReport(provenance, summary->first, summary->second, profiles, results);
  cleanUp();
  if (host::Interrupted()) return EndInterrupted(args, left);
  const std::optional<int> status = Publish(report, args, inputs, &left.written);
  return status ? *status : EndInterrupted(args, left);
}

int Merge(const Arguments& args) {
  std::vector<fs::path> inputs = OwnFiles();
  inputs.insert(inputs.end(), args.reports.begin(), args.reports.end());
  if (auto mistake = OutputsMistake(args, inputs, {})) return Fail("", *mistake);
  host::WatchInterrupts();
  std::vector<std::pair<std::string, fleet::Json>> reports;
  for (const std::string& file : args.reports) {
    if (host::Interrupted()) return EndInterrupted(args, Merged());
    std::string reason;
    const auto text = tools::ReadWholeFile(file, fleet::kMaxReportFile, &reason);
    std::optional<fleet::Json> report = text ? tools::ParseJson(*text, &reason) : std::nullopt;
    if (!report) return Fail(file, reason);
    reports.emplace_back(file, std::move(*report));
  }
  std::string error;
  const auto merged = fleet::MergeReports(reports, fleet::UtcNow(), std::string(tools::Version()), &error);
  if (!merged) return Fail("", error);
  Leftovers left = Merged();
  const std::optional<int> status = Publish(*merged, args, inputs, &left.written);
  return status ? *status : EndInterrupted(args, left);
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
  if (args.jobsText) {
    const std::optional<std::size_t> jobs = fleet::ParseCount(*args.jobsText);
    if (!jobs || *jobs < 1 || *jobs > 256) {
      return tools::Usage(*run, "--jobs", "'" + *args.jobsText + "' is not a number from 1 to 256");
    }
    args.jobs = static_cast<unsigned>(*jobs);
  }
  if (args.shardText && !(args.shard = fleet::ParseShard(*args.shardText))) {
    return tools::Usage(*run, "--shard", "'" + *args.shardText + "' is not K/N with 0 <= K < N");
  }
  // The last guard of "no input ends the tool with an abort": each road refuses what it
  // reads on its own, and this says so should one of them have missed a case.
  try {
    return merge->parsed() ? Merge(args) : Run(args);
  } catch (const std::exception& failure) {
    return Fail("", std::string("stopped by an error of its own: ") + failure.what());
  }
}
