// vxfleet: shows what the updater does with one package on every kind of device.
//
//   vxfleet run FLEET PACKAGE [--jobs N] [--json] [--html FILE] [--keep DIR]
//
// Exit status: 0 when every profile with an expectation ended as expected, 1 otherwise
// (or when the fleet file, the package or a report cannot be used), 2 for a usage
// mistake.
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

using tools::kExitFailed;
using tools::kExitOk;

constexpr std::string_view kAbout =
    "Makes a simulated device for every profile of the fleet file FLEET, puts PACKAGE on\n"
    "its storage card, runs the updater there and reports what it did: the outcome, the\n"
    "images written, the exit status, the time, the console and the device afterwards.\n"
    "Exit status 1 also when a profile did not end as it expects.";

struct Arguments {
  std::string fleet, package, html, keep;
  std::optional<std::string> jobsText;
  unsigned jobs = std::max(1u, std::thread::hardware_concurrency());
  bool json = false;
};

using tools::Fail;

// A fresh folder below the temporary folder.
fs::path ScratchFolder() {
  std::random_device random;
  std::error_code error;
  for (;;) {
    fs::path dir = fs::temp_directory_path(error) / ("vxfleet-" + std::to_string(random()));
    if (fs::create_directory(dir, error)) return dir;
    if (error) return {};
  }
}

// What `vxpack info` says of the package: its JSON object and its text.
std::pair<fleet::Json, std::string> PackageSummary(const fs::path& package, const fs::path& scratch) {
  std::error_code error;
  const fs::path vxpack = fs::read_symlink("/proc/self/exe", error).parent_path() / "vxpack";
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

int Run(const Arguments& args) {
  std::string error;
  auto profiles = fleet::ReadFleet(args.fleet, &error);
  if (!profiles) return Fail("", error);
  std::error_code fsError;
  if (!fs::is_regular_file(args.package, fsError)) {
    return Fail(args.package, tools::SystemReason(fs::is_directory(args.package, fsError) ? EISDIR : ENOENT));
  }
  // The report must not land on an input, nor wait for the whole run to find its folder
  // missing.
  const std::vector<fs::path> inputs = {args.fleet, args.package, args.package + ".sig"};
  if (!args.html.empty()) {
    if (auto problem = tools::OutputProblem(args.html, inputs)) return Fail(args.html, *problem);
    if (!fs::is_directory(fs::absolute(args.html, fsError).parent_path(), fsError)) {
      return Fail(args.html, tools::SystemReason(ENOENT));
    }
  }
  const std::optional<fs::path> updater = tools::Companion("vxupdater", "control", &error);
  if (!updater) return Fail("vxupdater", error);
  const bool keep = !args.keep.empty();
  const fs::path scratch = keep ? fs::absolute(args.keep) : ScratchFolder();
  fs::create_directories(scratch, fsError);
  if (scratch.empty() || fsError) return Fail(keep ? args.keep : "temporary folder", "cannot make it");

  host::WatchInterrupts();
  std::vector<fleet::Result> results(profiles->size());
  std::vector<fs::path> folders;
  for (std::size_t i = 0; i < profiles->size(); ++i) {
    folders.push_back(scratch / fleet::ProfileFolder(i, (*profiles)[i].name));
  }
  std::atomic<std::size_t> next{0};
  std::size_t finished = 0;
  std::mutex progressLock;
  const bool terminal = host::StandardErrorIsTerminal();
  auto work = [&] {
    for (std::size_t i = next++; i < profiles->size() && !host::Interrupted(); i = next++) {
      results[i] = fleet::RunProfile((*profiles)[i], args.package, *updater, folders[i]);
      std::lock_guard lock(progressLock);
      ++finished;
      if (terminal) {
        const std::size_t filled = finished * 30 / profiles->size();
        std::cerr << "\r[" << std::string(filled, '#') << std::string(30 - filled, '.') << "] "
                  << finished << "/" << profiles->size() << std::flush;
      } else {
        std::cerr << "vxfleet: " << finished << "/" << profiles->size() << " " << (*profiles)[i].name
                  << ": " << fleet::OutcomeName(results[i].outcome) << "\n";
      }
    }
  };
  std::vector<std::thread> workers;
  for (unsigned j = 0; j < std::min<std::size_t>(args.jobs, profiles->size()); ++j) workers.emplace_back(work);
  for (std::thread& worker : workers) worker.join();
  if (terminal) std::cerr << "\n";

  if (host::Interrupted()) {
    for (const fs::path& folder : folders) fs::remove_all(folder, fsError);
    if (!keep) fs::remove_all(scratch, fsError);
    std::cerr << "vxfleet: interrupted; the scratch devices are removed\n";
    return 128 + host::InterruptSignal();
  }
  auto [packageInfo, packageText] = PackageSummary(args.package, scratch);
  int status = kExitOk;
  if (!args.html.empty()) {
    const std::string page = fleet::HtmlReport(args.package, packageText, *profiles, results);
    const std::span bytes(reinterpret_cast<const std::uint8_t*>(page.data()), page.size());
    if (auto failure = tools::WriteWholeFile(args.html, bytes, inputs)) status = Fail(args.html, *failure);
  }
  if (args.json) {
    fleet::Json report = fleet::JsonReport(packageInfo, *profiles, results);
    report["updater"] = updater->string();
    std::cout << tools::JsonText(report) << "\n";
  } else {
    std::cout << fleet::TableReport(*profiles, results);
  }
  for (std::size_t i = 0; i < profiles->size(); ++i) {
    const fleet::Profile& profile = (*profiles)[i];
    if (fleet::AsExpected(profile, results[i])) continue;
    status = Fail("profile \"" + profile.name + "\"", "expected " + *profile.expect + ", ended " +
                                                           std::string(fleet::OutcomeName(results[i].outcome)));
  }
  if (!keep) fs::remove_all(scratch, fsError);
  return status;
}

}  // namespace

// The command line, all in one place.
int main(int argc, char** argv) {
  CLI::App app("Dry-runs one update package on a fleet of simulated devices.", "vxfleet");
  tools::SetUpHelp(app);
  Arguments args;
  CLI::App* run = app.add_subcommand("run", "run the updater with PACKAGE on every profile of FLEET");
  tools::SetUpHelp(*run, kAbout);
  run->add_option("FLEET", args.fleet, "the fleet file (JSON)")->required();
  run->add_option("PACKAGE", args.package, "the update package")->required();
  run->add_option("--jobs", args.jobsText, "profiles run at once, 1 to 256 (default: one per core)")
      ->type_name("N");
  run->add_flag("--json", args.json, "print one JSON object instead of the table");
  run->add_option("--html", args.html, "also write a self-contained HTML page")->type_name("FILE");
  run->add_option("--keep", args.keep, "keep the devices in DIR, one folder per profile")->type_name("DIR");
  if (const auto status = tools::ParseCommandLine(app, argc, argv)) return *status;
  if (args.jobsText) {
    const std::optional<std::uint32_t> jobs = sim::ParseU32(*args.jobsText);
    if (!jobs || *jobs < 1 || *jobs > 256) {
      return tools::Usage(*run, "--jobs", "'" + *args.jobsText + "' is not a number from 1 to 256");
    }
    args.jobs = *jobs;
  }
  return Run(args);
}
