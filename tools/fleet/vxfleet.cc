// vxfleet: shows what the updater does with one package on every kind of device.
//
//   vxfleet run FLEET PACKAGE [--jobs N] [--json] [--html FILE] [--keep DIR]
//
// Exit status: 0 when every profile with an expectation ended as expected, 1 otherwise
// (or when the package or a report cannot be used), 2 for a usage mistake or a fleet
// file that cannot be used.
#include <algorithm>
#include <atomic>
#include <fstream>
#include <iostream>
#include <mutex>
#include <random>
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
    "usage: vxfleet run FLEET PACKAGE [--jobs N] [--json] [--html FILE] [--keep DIR]\n"
    "\n"
    "Makes a simulated device for every profile of the fleet file FLEET, puts PACKAGE on\n"
    "its storage card, runs the updater there and reports what it did: the outcome, the\n"
    "images written, the exit status, the time, the console and the device afterwards.\n"
    "\n"
    "  --jobs N     profiles run at once (default: one per core)\n"
    "  --json       print one JSON object instead of the table\n"
    "  --html FILE  also write a self-contained HTML page\n"
    "  --keep DIR   keep the devices in DIR, one folder per profile\n"
    "\n"
    "Exit status: 0 every expectation held, 1 one did not (or a failure), 2 bad usage\n"
    "or a fleet file that cannot be used.\n";

struct Arguments {
  std::string fleet, package, html, keep;
  unsigned jobs = std::max(1u, std::thread::hardware_concurrency());
  bool json = false;
};

int Fail(const std::string& subject, std::string_view reason) {
  std::cerr << "vxfleet: " << subject << ": " << reason << "\n";
  return kExitFailed;
}

std::string ReadWhole(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

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
    outputs[json] = ReadWhole(run.stdoutFile);
  }
  fleet::Json info = fleet::Json::parse(outputs[1], nullptr, false);
  if (info.is_discarded()) info = {{"file", package.string()}};
  return {info, outputs[0]};
}

// Writes the whole file or nothing: a temporary file renamed at the end.
bool WriteReport(const fs::path& file, const std::string& text) {
  fs::path temporary = file;
  temporary += ".tmp";
  std::error_code error;
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

int Run(const Arguments& args) {
  std::string error;
  auto profiles = fleet::ReadFleet(args.fleet, &error);
  if (!profiles) {
    std::cerr << "vxfleet: " << error << "\n";
    return kExitUsage;
  }
  std::error_code fsError;
  if (!fs::is_regular_file(args.package, fsError)) return Fail(args.package, "no such file");
  const fs::path updater = tools::Companion("vxupdater", VXU_UPDATER_BUILD);
  if (!fs::exists(updater, fsError)) return Fail(updater.string(), "the updater is missing");
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
      results[i] = fleet::RunProfile((*profiles)[i], args.package, updater, folders[i]);
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
  if (!args.html.empty() &&
      !WriteReport(args.html, fleet::HtmlReport(args.package, packageText, *profiles, results))) {
    status = Fail(args.html, "cannot write the report");
  }
  if (args.json) {
    fleet::Json report = fleet::JsonReport(packageInfo, *profiles, results);
    report["updater"] = updater.string();
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
  CLI::App app("vxfleet", "vxfleet");
  app.require_subcommand(1);
  Arguments args;
  CLI::App* run = app.add_subcommand("run");
  run->add_option("FLEET", args.fleet)->required();
  run->add_option("PACKAGE", args.package)->required();
  run->add_option("--jobs", args.jobs)->check(CLI::Range(1u, 256u));
  run->add_flag("--json", args.json);
  run->add_option("--html", args.html);
  run->add_option("--keep", args.keep);
  if (const auto status = tools::ParseCommandLine(app, argc, argv, kUsage)) return *status;
  return Run(args);
}
