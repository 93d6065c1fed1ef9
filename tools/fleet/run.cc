// vxfleet: running the updater on one profile's device and reading what it did.
#include <array>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <system_error>

#include "platform/host_process.h"
#include "tools/fleet/fleet.h"

namespace fleet {
namespace {

constexpr std::array<std::string_view, 12> kOutcomeNames = {
    "updated", "up-to-date", "declined", "no-power", "not-suited", "integrity", "engine",
    "step-failed", "verify-failed", "no-package", "error", "unknown"};
static_assert(kOutcomeNames.size() == static_cast<std::size_t>(Outcome::kUnknown) + 1);

constexpr int kIdYes = 6;
// Enough answers for every box a run can show: confirmation, external power, error.
constexpr std::string_view kYesToEverything = "yes,yes,yes,yes";

bool EndsWithEngine(std::string path) {
  for (char& c : path) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return path.ends_with("\\vxupdate.dll");
}

// The flash entries whose answer tells a step's success; the image information
// entries answer non-zero on success, the others 0.
std::optional<long long> FailureOf(std::string_view call, long long result) {
  if (call == "GetImageInfo" || call == "GetImageInfoFromBuffer") {
    return result == 0 ? std::optional(result) : std::nullopt;
  }
  const bool flash = call == "VXUpdate_LowLevelFormat" || call == "VXUpdate_CheckImageType" ||
                     call.starts_with("VXUpdate_Write") || call == "VXUpdate_CheckCRC";
  return flash && result != 0 ? std::optional(result) : std::nullopt;
}

std::string Slug(std::size_t index, std::string_view name) {
  char prefix[24];
  std::snprintf(prefix, sizeof prefix, "%02zu-", index + 1);
  std::string slug = prefix;
  for (char c : name.substr(0, 40)) slug.push_back(std::isalnum(static_cast<unsigned char>(c)) ? c : '-');
  return slug;
}

}  // namespace

std::string_view OutcomeName(Outcome outcome) { return kOutcomeNames[static_cast<std::size_t>(outcome)]; }

std::optional<Outcome> OutcomeFromName(std::string_view name) {
  for (std::size_t i = 0; i < kOutcomeNames.size(); ++i) {
    if (tools::Choice(name, {kOutcomeNames[i]})) return static_cast<Outcome>(i);
  }
  return {};
}

std::string ProfileFolder(std::size_t index, std::string_view name) { return Slug(index, name); }

std::string ReadWhole(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void Classify(std::string_view trace, int exitStatus, Result* result) {
  bool anyBox = false, confirmDeclined = false, powerDeclined = false, notNeeded = false;
  bool errorBox = false, engineWritten = false, engineLoaded = false, locked = false;
  bool verifyPass = false, hardwareReset = false, bootFromDoc = true;
  std::optional<std::uint32_t> image;
  std::uint32_t writing = 0;  // the image type being written, 0 for none
  std::istringstream lines{std::string(trace)};
  for (std::string line; std::getline(lines, line);) {
    const Json event = Json::parse(line, nullptr, false);
    if (!event.is_object()) continue;
    const std::string ev = event.value("ev", "");
    if (ev == "msgbox") {
      anyBox = true;
      const std::string text = event.value("text", "");
      const bool yes = event.value("answer", 0) == kIdYes;
      confirmDeclined = confirmDeclined || (text.starts_with("Firmware update was found") && !yes);
      powerDeclined = powerDeclined || (text == "External power not detected. Proceed?" && !yes);
      notNeeded = notNeeded || text == "Software update not needed.";
      errorBox = errorBox || text.starts_with("Software update error.");
    } else if (ev == "create_file" && event.value("access", "") == "write") {
      engineWritten = engineWritten || EndsWithEngine(event.value("path", ""));
    } else if (ev == "load_library" && event.value("ok", false)) {
      engineLoaded = engineLoaded || EndsWithEngine(event.value("name", ""));
    }
    // What the device was asked after the error box belongs to the warm boot.
    if (ev != "device" || errorBox) continue;
    const std::string call = event.value("call", "");
    const long long arg = event.value("arg", -1LL);
    const long long answer = event.value("result", 0LL);
    if (call == "VXUpdate_GuaranteeExclusiveAccess" && arg == 1) locked = true;
    if (call == "CPU_Reset" && arg == 1) hardwareReset = true;
    if (call == "SystemBootFromDOC") bootFromDoc = answer != 0;
    // The verify pass starts with the green light, which the update pass leaves off.
    if (call == "GreenLed" && arg == 1 && locked && !hardwareReset) verifyPass = true;
    if (!locked) continue;
    if (call == "VXUpdate_CheckImageType" || call == "VXUpdate_WriteFirst" ||
        call == "VXUpdate_CheckCRC" || call == "GetImageInfo") {
      image = static_cast<std::uint32_t>(arg);
    }
    if (call == "VXUpdate_LowLevelFormat") image = bootFromDoc ? 2 : 1;  // before SPL or Miniboot
    if (call == "VXUpdate_WriteFirst" && answer == 0) {
      writing = image.value_or(0);
      result->code.reset();
    }
    if (call == "VXUpdate_WriteLast" && answer == 0 && writing != 0) {
      result->written.emplace_back(sim::ImageTypeName(writing));
      writing = 0;
    }
    if (auto failure = FailureOf(call, answer)) {
      result->code = failure;
      result->image = image ? std::optional<std::string>(sim::ImageTypeName(*image)) : std::nullopt;
    }
  }
  Outcome outcome = Outcome::kUnknown;
  if (exitStatus == 100 || hardwareReset) outcome = Outcome::kUpdated;
  else if (!anyBox && exitStatus == 0) outcome = Outcome::kNoPackage;
  else if (confirmDeclined) outcome = Outcome::kDeclined;
  else if (notNeeded) outcome = Outcome::kUpToDate;
  else if (errorBox && powerDeclined) outcome = Outcome::kNoPower;
  else if (errorBox && locked) outcome = verifyPass ? Outcome::kVerifyFailed : Outcome::kStepFailed;
  else if (errorBox && engineLoaded) outcome = Outcome::kNotSuited;
  else if (errorBox && engineWritten) outcome = Outcome::kEngine;
  else if (errorBox) outcome = Outcome::kIntegrity;
  result->outcome = outcome;
  if (outcome != Outcome::kStepFailed && outcome != Outcome::kVerifyFailed) {
    result->code.reset();
    result->image.reset();
  }
}

Result RunProfile(const Profile& profile, const fs::path& package, const fs::path& updater,
                  const fs::path& dir) {
  Result result;
  result.outcome = Outcome::kError;
  const fs::path root = dir / "device";
  std::error_code error;
  fs::create_directories(dir, error);
  if (auto failure = tools::MakeDevice(root, profile.device)) {
    result.reason = *failure;
    return result;
  }
  // The package goes onto the card with its signature, when it has one.
  const fs::path signature = package.string() + ".sig";
  for (const auto& [from, to] : {std::pair{package, fs::path("VXUpdate.bin")},
                                 std::pair{signature, fs::path("VXUpdate.bin.sig")}}) {
    if (from == signature && !fs::exists(signature, error)) break;
    fs::copy_file(from, root / "Storage Card" / to, error);
    if (error) {
      result.reason = (root / "Storage Card" / to).string() + ": " + error.message();
      return result;
    }
  }
  std::string answers;
  for (const std::string& answer : profile.answers) answers += (answers.empty() ? "" : ",") + answer;
  std::string failing;
  for (const std::string& entry : profile.failingEntries) failing += (failing.empty() ? "" : ",") + entry;
  platform::host::ProgramRun run;
  run.program = updater;
  run.dropPrefixes = {"VXU_", "VXSIM_"};
  run.set = {"VXU_DEVICE_ROOT=" + root.string(), "VXU_TRACE=" + (dir / "trace.jsonl").string(),
             "VXU_TIME_SCALE=0", "VXU_AC_LINE=" + profile.power,
             "VXU_MSGBOX_ANSWERS=" + (profile.answers.empty() ? std::string(kYesToEverything) : answers)};
  if (!profile.faults.empty()) run.set.push_back("VXU_FAULTS=" + profile.faults);
  if (!failing.empty()) run.set.push_back("VXSIM_FAIL=" + failing);
  run.stdoutFile = dir / "console.txt";
  run.stderrFile = dir / "debug.txt";
  const auto start = std::chrono::steady_clock::now();
  const platform::host::ProgramResult ran = platform::host::RunProgram(run);
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!ran.started) {
    result.reason = ran.error;
    return result;
  }
  result.exitStatus = ran.exitStatus;
  result.console = ReadWhole(run.stdoutFile);
  Classify(ReadWhole(dir / "trace.jsonl"), ran.exitStatus, &result);
  std::string readError;
  if (auto device = tools::ReadDevice(root, &readError)) result.device = tools::DeviceJson(*device);
  return result;
}

bool AsExpected(const Profile& profile, const Result& result) {
  return !profile.expect || *profile.expect == OutcomeName(result.outcome);
}

}  // namespace fleet
