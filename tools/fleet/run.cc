// vxfleet: running the updater on one profile's device and reading what it did.
#include <array>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <system_error>

#include "platform/host_process.h"
#include "tools/fleet/fleet.h"

namespace fleet {
namespace {

constexpr std::array<std::string_view, 13> kOutcomeNames = {
    "updated", "up-to-date", "declined", "no-power", "not-suited", "integrity", "signature",
    "engine", "step-failed", "verify-failed", "no-package", "error", "unknown"};
static_assert(kOutcomeNames.size() == static_cast<std::size_t>(Outcome::kUnknown) + 1);

constexpr int kIdOk = 1;
constexpr int kIdYes = 6;
constexpr int kIdNo = 7;
// Enough answers for every box a run can show: confirmation, external power, error.
constexpr std::string_view kYesToEverything = "yes,yes,yes,yes";
// What a report keeps of a run: far beyond what any run of the updater writes.
constexpr std::size_t kMaxConsole = 4u << 20;
constexpr std::size_t kMaxTrace = 64u << 20;

// The fields of one trace event.  The updater under trial may write anything, so a
// field of the wrong kind is no exception but a damaged line, which Classify reports.
class EventFields {
 public:
  explicit EventFields(const Json& event) : event_(event) {}
  std::string Text(const char* key) {
    const Json* field = Find(key);
    if (field == nullptr) return {};
    if (field->is_string()) return field->get<std::string>();
    damaged_ = key;
    return {};
  }
  long long Number(const char* key, long long absent) {
    const Json* field = Find(key);
    if (field == nullptr) return absent;
    if (field->is_number_integer()) return field->get<long long>();
    damaged_ = key;
    return absent;
  }
  bool Flag(const char* key) {
    const Json* field = Find(key);
    if (field == nullptr) return false;
    if (field->is_boolean()) return field->get<bool>();
    damaged_ = key;
    return false;
  }
  // The first field of the wrong kind, if any.
  const char* damaged() const { return damaged_; }

 private:
  const Json* Find(const char* key) const {
    const auto it = event_.find(key);
    return it == event_.end() ? nullptr : &*it;
  }
  const Json& event_;
  const char* damaged_ = nullptr;
};

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

std::string AnswerName(long long answer) {
  switch (answer) {
    case kIdOk: return "ok";
    case kIdYes: return "yes";
    case kIdNo: return "no";
    case 0: return "none";
    default: return std::to_string(answer);
  }
}

// The reason of a refused signature as the updater prints it (">Check signature...Fail -
// no signature"), or nothing when the run printed none.
std::optional<std::string> SignatureRefusal(std::string_view console) {
  constexpr std::string_view kRefused = ">Check signature...Fail - ";
  const std::size_t at = console.find(kRefused);
  if (at == std::string_view::npos) return std::nullopt;
  const std::string_view reason = console.substr(at + kRefused.size());
  return std::string(reason.substr(0, reason.find('\n')));
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

std::string ProfileFolder(std::size_t position, std::string_view name) { return Slug(position, name); }

std::string ReadWhole(const fs::path& file, std::size_t limit, bool* cut) {
  tools::InputFile in(file);
  std::string text;
  std::array<std::uint8_t, 65536> chunk;
  for (;;) {
    const std::optional<std::size_t> got = in.Read(chunk);
    if (!got) return {};
    const std::size_t take = std::min(*got, limit - text.size());
    text.append(reinterpret_cast<const char*>(chunk.data()), take);
    if (take < *got) {
      if (cut != nullptr) *cut = true;
      return text;
    }
    if (*got < chunk.size()) return text;
  }
}

void Classify(std::string_view trace, std::string_view console, int exitStatus, Result* result) {
  bool anyBox = false, confirmDeclined = false, powerDeclined = false, notNeeded = false;
  bool errorBox = false, engineWritten = false, engineLoaded = false, locked = false;
  bool verifyPass = false, hardwareReset = false, bootFromDoc = true;
  std::optional<std::string> damaged;  // why the trace cannot be read, if it cannot
  std::optional<std::uint32_t> image;
  std::uint32_t writing = 0;  // the image type being written, 0 for none
  std::istringstream lines{std::string(trace)};
  std::size_t number = 0;
  for (std::string line; std::getline(lines, line);) {
    ++number;
    const Json event = Json::parse(line, nullptr, false);
    if (!event.is_object()) continue;
    EventFields field(event);
    const std::string ev = field.Text("ev");
    if (ev == "msgbox") {
      anyBox = true;
      const std::string text = field.Text("text");
      const long long answer = field.Number("answer", 0);
      const bool yes = answer == kIdYes;
      result->boxes.push_back({field.Text("caption"), text, AnswerName(answer)});
      confirmDeclined = confirmDeclined || (text.starts_with("Firmware update was found") && !yes);
      powerDeclined = powerDeclined || (text == "External power not detected. Proceed?" && !yes);
      notNeeded = notNeeded || text == "Software update not needed.";
      errorBox = errorBox || text.starts_with("Software update error.");
    } else if (ev == "create_file" && field.Text("access") == "write") {
      engineWritten = engineWritten || EndsWithEngine(field.Text("path"));
    } else if (ev == "load_library" && field.Flag("ok")) {
      engineLoaded = engineLoaded || EndsWithEngine(field.Text("name"));
    }
    // What the device was asked after the error box belongs to the warm boot.
    const std::string call = ev == "device" && !errorBox ? field.Text("call") : std::string();
    const long long arg = call.empty() ? -1 : field.Number("arg", -1);
    const long long answer = call.empty() ? 0 : field.Number("result", 0);
    if (field.damaged()) {
      damaged = "trace line " + std::to_string(number) + ": " + field.damaged() + " is of the wrong kind";
      break;
    }
    if (call.empty()) continue;
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
  else if (errorBox && SignatureRefusal(console)) outcome = Outcome::kSignature;
  else if (errorBox) outcome = Outcome::kIntegrity;
  // A trace that cannot be read says nothing for certain.
  if (damaged) outcome = Outcome::kUnknown;
  result->outcome = outcome;
  if (damaged) result->reason = *damaged;
  if (outcome == Outcome::kSignature) result->reason = *SignatureRefusal(console);
  if (outcome != Outcome::kStepFailed && outcome != Outcome::kVerifyFailed) {
    result->code.reset();
    result->image.reset();
  }
}

std::optional<std::string> StageFiles(const fs::path& package, const fs::path& updater,
                                      const fs::path& folder, Stage* stage) {
  std::error_code error;
  if (!fs::create_directory(folder, error)) return folder.string() + ": " + (error ? error.message() : "exists");
  stage->folder = folder;
  const fs::path signature = package.string() + ".sig";
  // A folder or other odd file beside the package is no signature, on the device too.
  stage->signature = fs::is_regular_file(signature, error);
  std::vector<std::pair<fs::path, std::string>> files = {{package, "VXUpdate.bin"}};
  if (stage->signature) files.emplace_back(signature, "VXUpdate.bin.sig");
  for (const char* library : {"vx_bsp_api.dll", "zlib.dll"}) {
    std::string reason;
    const std::optional<fs::path> source = tools::DeviceLibrary(library, &reason);
    if (!source) return std::string(library) + ": " + reason;
    files.emplace_back(*source, library);
  }
  files.emplace_back(updater, "vxupdater");
  // The stage holds copies of its own (clones where the file system shares blocks), never
  // links to the originals: a device kept with --keep may be changed by hand later, and
  // that must not reach the caller's package or the host's zlib.  Read-only, so that
  // such a change is refused where permissions count.  The facts are read from the copy
  // (or while it is written), so that they describe the bytes the profiles get.
  for (const auto& [from, name] : files) {
    const fs::path to = folder / name;
    const bool cloned = platform::host::CloneFile(from, to);
    std::string reason;
    auto facts = ReadFacts(cloned ? to : from, name == "VXUpdate.bin", cloned ? fs::path() : to, &reason);
    if (!facts) return reason;
    constexpr fs::perms kRead = fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;
    constexpr fs::perms kRun = fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec;
    fs::permissions(to, name == "vxupdater" ? kRead | kRun : kRead, error);
    if (error) return to.string() + ": " + error.message();
    stage->files[name] = std::move(*facts);
  }
  return {};
}

std::optional<std::string> StageChanged(const Stage& stage) {
  for (const auto& [name, staged] : stage.files) {
    std::string reason;
    const auto now = ReadFacts(stage.folder / name, false, {}, &reason);
    if (!now) return reason;
    if (now->size != staged.size || now->sha256 != staged.sha256) {
      return "the staged " + name + " changed while the profiles ran (a run wrote to it)";
    }
  }
  return std::nullopt;
}

Result RunProfile(const Profile& profile, const Stage& stage, const fs::path& dir) {
  Result result;
  result.outcome = Outcome::kError;
  std::error_code error;
  // A folder of someone else's is never reused, nor removed on an interrupt.
  if (!fs::create_directory(dir, error) && (error || !fs::is_empty(dir, error))) {
    result.reason = dir.string() + ": exists and is not an empty folder; not reused";
    return result;
  }
  result.ownFolder = true;
  const fs::path root = dir / "device";
  tools::DeviceSetup setup = profile.device;
  setup.libraryFolder = stage.folder;
  if (auto failure = tools::MakeDevice(root, setup)) {
    result.reason = *failure;
    return result;
  }
  // The package goes onto the card with its signature, when it has one.
  std::vector<std::string> cardFiles = {"VXUpdate.bin"};
  if (stage.signature) cardFiles.push_back("VXUpdate.bin.sig");
  for (const std::string& name : cardFiles) {
    if (auto failure = tools::LinkOrCopy(stage.folder / name, root / "Storage Card" / name)) {
      result.reason = *failure;
      return result;
    }
  }
  std::string answers;
  for (const std::string& answer : profile.answers) answers += (answers.empty() ? "" : ",") + answer;
  std::string failing;
  for (const std::string& entry : profile.failingEntries) failing += (failing.empty() ? "" : ",") + entry;
  platform::host::ProgramRun run;
  run.program = stage.Updater();
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
  bool cut = false;
  result.console = ReadWhole(run.stdoutFile, kMaxConsole, &cut);
  if (cut) result.console += "\n[vxfleet: the transcript is cut at " + std::to_string(kMaxConsole) + " bytes]\n";
  cut = false;
  const std::string trace = ReadWhole(dir / "trace.jsonl", kMaxTrace, &cut);
  Classify(trace, result.console, ran.exitStatus, &result);
  if (cut) {
    result.outcome = Outcome::kUnknown;
    result.reason = "trace.jsonl: larger than " + std::to_string(kMaxTrace) + " bytes";
    result.code.reset();
    result.image.reset();
  }
  std::string readError;
  if (auto device = tools::ReadDevice(root, &readError)) result.device = tools::DeviceJson(*device);
  return result;
}

}  // namespace fleet
