// vxfleet: shows what the updater does with one package on every kind of device.
//
//   vxfleet run FLEET PACKAGE [--jobs N] [--shard K/N] [--json] [--html FILE] [--junit FILE]
//                             [--keep DIR]
//   vxfleet merge REPORT.json... [--json] [--html FILE] [--junit FILE]
//
// Exit status: 0 when every profile with an expectation ended as expected, 1 otherwise
// (or when the package or a report cannot be used), 2 for a usage mistake, a fleet file
// or shard reports that cannot be used.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fstream>
#include <iostream>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <system_error>
#include <thread>

#include <CLI/CLI.hpp>

#include "platform/host_process.h"
#include "tools/common/common.h"
#include "tools/fleet/fleet.h"

namespace {

namespace fs = std::filesystem;
namespace host = platform::host;

using tools::kExitFailed;
using tools::kExitOk;
using tools::kExitUsage;

constexpr std::string_view kUsage =
    "usage: vxfleet run FLEET PACKAGE [--jobs N] [--shard K/N] [--json] [--html FILE]\n"
    "                                 [--junit FILE] [--keep DIR]\n"
    "       vxfleet merge REPORT.json... [--json] [--html FILE] [--junit FILE]\n"
    "\n"
    "run makes a simulated device for every profile of the fleet file FLEET, puts PACKAGE\n"
    "on its storage card, runs the updater there and reports what it did: the outcome, the\n"
    "images written, the boxes and their answers, the console and the device afterwards.\n"
    "merge joins the JSON reports of the shards of one run into the report of the fleet.\n"
    "\n"
    "  --jobs N      profiles run at once (default: one per core)\n"
    "  --shard K/N   run only the profiles whose position (from 0) leaves K divided by N\n"
    "  --json        print one JSON object instead of the table\n"
    "  --html FILE   also write a self-contained HTML page\n"
    "  --junit FILE  also write a JUnit XML report, one test case per profile\n"
    "  --keep DIR    keep the devices in DIR, one folder per profile\n"
    "\n"
    "Exit status: 0 every expectation held, 1 one did not (or a failure), 2 bad usage,\n"
    "or a fleet file or reports that cannot be used.\n";

struct Arguments {
  std::string fleet, package, html, junit, keep, shard;
  std::vector<std::string> reports;
  unsigned jobs = std::max(1u, std::thread::hardware_concurrency());
  bool json = false;
};

int Fail(const std::string& subject, std::string_view reason) {
  std::cerr << "vxfleet: " << subject << ": " << reason << "\n";
  return kExitFailed;
}

// A fleet file or report that cannot be used, like a usage mistake.
int Refuse(const std::string& subject, std::string_view reason) {
  Fail(subject, reason);
  return kExitUsage;
}

std::string ReadWhole(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

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

// The temporary file a report is written to before it is renamed into place: beside it,
// so that the rename stays on one file system, and under a name nobody else uses.
fs::path TemporaryBeside(const fs::path& file) {
  return file.parent_path() / RandomName("." + file.filename().string() + ".vxfleet-");
}

// The file a report replaces: a symbolic link keeps pointing at the report, so the file
// it names is the one replaced.  *error is set for a link to nothing.
fs::path ReportTarget(const fs::path& given, std::error_code* error) {
  std::error_code missing;
  if (!fs::is_symlink(fs::symlink_status(given, missing))) return given;
  return fs::canonical(given, *error);
}

// Writes the whole file or nothing: a temporary file renamed at the end.
bool WriteReport(const fs::path& given, const std::string& text) {
  std::error_code error;
  const fs::path file = ReportTarget(given, &error);
  if (error) return false;
  const fs::path temporary = TemporaryBeside(file);
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    if (out) {
      out.close();
      fs::rename(temporary, file, error);
      if (!error) return true;
    }
  }
  fs::remove(temporary, error);
  return false;
}

// Why a report could not be written to `output` (checked before anything runs, so that a
// mistyped folder does not cost a whole fleet), or nothing.
std::optional<std::string> OutputMistake(const fs::path& given, const std::vector<std::string>& inputs) {
  std::error_code error;
  const fs::path output = ReportTarget(given, &error);
  if (error) return "a symbolic link to nothing";
  if (fs::is_directory(output, error)) return "a folder, not a file";
  // A report replaces its file whole (a temporary file renamed over it), which would
  // replace a device or a pipe rather than write to it.
  if (fs::exists(output, error) && !fs::is_regular_file(output, error)) return "not a regular file";
  const fs::path folder = output.parent_path().empty() ? fs::path(".") : output.parent_path();
  if (!fs::is_directory(folder, error)) return folder.string() + ": no such folder";
  for (const std::string& input : inputs) {
    if (fs::exists(output, error) && fs::equivalent(output, input, error)) {
      return "is " + input + ", an input of this run; the report would overwrite it";
    }
  }
  const fs::path probe = TemporaryBeside(output);
  std::ofstream out(probe, std::ios::binary);
  const int openError = errno;
  if (!out) return folder.string() + ": cannot write here (" + std::generic_category().message(openError) + ")";
  out.close();
  fs::remove(probe, error);
  return std::nullopt;
}

std::optional<std::string> OutputsMistake(const Arguments& args, const std::vector<std::string>& inputs) {
  if (!args.html.empty() && !args.junit.empty() &&
      fs::absolute(args.html).lexically_normal() == fs::absolute(args.junit).lexically_normal()) {
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
    outputs[json] = ReadWhole(run.stdoutFile);
  }
  fleet::Json info = fleet::Json::parse(outputs[1], nullptr, false);
  if (info.is_discarded()) info = {{"file", package.string()}};
  return {info, outputs[0]};
}

// Writes the requested reports and prints the table or the JSON; answers the exit status.
int Publish(const fleet::Json& report, const Arguments& args) {
  int status = kExitOk;
  if (!args.html.empty() && !WriteReport(args.html, fleet::HtmlReport(report))) {
    status = Fail(args.html, "cannot write the report");
  }
  if (!args.junit.empty() && !WriteReport(args.junit, fleet::JunitReport(report))) {
    status = Fail(args.junit, "cannot write the report");
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
  if (!fleetFile) {
    std::cerr << "vxfleet: " << error << "\n";
    return kExitUsage;
  }
  std::optional<fleet::Shard> shard;
  if (!args.shard.empty() && !(shard = fleet::ParseShard(args.shard))) {
    std::cerr << "vxfleet: --shard " << args.shard << ": not K/N with 0 <= K < N\n";
    return kExitUsage;
  }
  if (auto reason = fleet::NotAPackage(args.package)) return Fail(args.package, *reason);
  if (auto mistake = OutputsMistake(args, {args.fleet, args.package})) {
    std::cerr << "vxfleet: " << *mistake << "\n";
    return kExitFailed;
  }
  std::error_code fsError;
  const fs::path updater = tools::Companion("vxupdater", VXU_UPDATER_BUILD);
  if (!fs::exists(updater, fsError)) return Fail(updater.string(), "the updater is missing");
  const fs::path vxpack = fs::read_symlink("/proc/self/exe", fsError).parent_path() / "vxpack";
  std::vector<fleet::Profile> profiles;
  for (const fleet::Profile& profile : fleetFile->profiles) {
    if (!shard || fleet::InShard(profile.position, *shard)) profiles.push_back(profile);
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
    std::cerr << "vxfleet: " << *failure << "\n";
    return kExitFailed;
  }
  auto package = fleet::PackageProvenance(args.package, stage, profiles, vxpack, &error);
  const fs::path staged = stage.folder / "VXUpdate.bin";
  const auto stagedTime = fs::last_write_time(staged, fsError);
  if (!package || host::Interrupted()) {
    cleanUp();
    if (host::Interrupted()) return EndInterrupted();
    std::cerr << "vxfleet: " << error << "\n";
    return kExitFailed;
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
      results[i] = fleet::RunProfile(profiles[i], stage, updater, folders[i]);
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
      {"vxfleet", VXFLEET_VERSION},
      {"updater", {{"path", updater.string()},
                   {"version", version ? fleet::Json(*version) : nullptr},
                   {"sha256", fleet::FileSha256(updater).value_or("")}}},
      {"fleet", {{"path", args.fleet}, {"sha256", fleetFile->sha256}, {"profiles", fleetFile->profiles.size()}}},
      {"package", *package}};
  if (shard) provenance["shard"] = {{"index", shard->index}, {"count", shard->count}};
  const fleet::Json report = fleet::JsonReport(provenance, packageInfo, packageText, profiles, results);
  cleanUp();
  if (host::Interrupted()) return EndInterrupted();
  return Publish(report, args);
}

int Merge(const Arguments& args) {
  if (auto mistake = OutputsMistake(args, args.reports)) {
    std::cerr << "vxfleet: " << *mistake << "\n";
    return kExitFailed;
  }
  std::vector<std::pair<std::string, fleet::Json>> reports;
  for (const std::string& file : args.reports) {
    std::error_code error;
    if (fs::is_directory(file, error)) return Refuse(file, "a folder, not a report");
    if (!fs::exists(file, error)) return Refuse(file, "no such file");
    std::ifstream in(file, std::ios::binary);
    if (!in) return Refuse(file, "cannot open for reading");
    std::ostringstream text;
    text << in.rdbuf();
    fleet::Json report = fleet::Json::parse(text.str(), nullptr, false);
    if (report.is_discarded()) return Refuse(file, "not JSON");
    reports.emplace_back(file, std::move(report));
  }
  std::string error;
  const auto merged = fleet::MergeReports(reports, fleet::UtcNow(), VXFLEET_VERSION, &error);
  if (!merged) {
    std::cerr << "vxfleet: " << error << "\n";
    return kExitUsage;
  }
  return Publish(*merged, args);
}

}  // namespace

// The command line, all in one place.
int main(int argc, char** argv) {
  CLI::App app("vxfleet", "vxfleet");
  app.require_subcommand(1);
  Arguments args;
  CLI::App* run = app.add_subcommand("run");
  run->add_option("FLEET", args.fleet)->required();
  run->add_option("PACKAGE", args.package)->required();
  run->add_option("--jobs", args.jobs)->check(CLI::Range(1u, 256u));
  run->add_option("--shard", args.shard);
  run->add_flag("--json", args.json);
  run->add_option("--html", args.html);
  run->add_option("--junit", args.junit);
  run->add_option("--keep", args.keep);
  CLI::App* merge = app.add_subcommand("merge");
  merge->add_option("REPORT", args.reports)->required();
  merge->add_flag("--json", args.json);
  merge->add_option("--html", args.html);
  merge->add_option("--junit", args.junit);
  if (const auto status = tools::ParseCommandLine(app, argc, argv, kUsage)) return *status;
  return merge->parsed() ? Merge(args) : Run(args);
}
