// vxfleet: one package tried on a fleet of simulated devices.
//
// A fleet file lists device profiles; each profile becomes a scratch device made by the
// same code as `vxdevice init`, the package goes onto its storage card, the updater runs
// on it (no waiting, trace on) and the run's outcome is read from the trace and the exit
// status.  Reports: a terminal table, one JSON object, a self-contained HTML page.
#ifndef TOOLS_FLEET_FLEET_H_
#define TOOLS_FLEET_FLEET_H_

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/device/device.h"

namespace fleet {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

// What a profile asks for.
struct Profile {
  std::string name;
  tools::DeviceSetup device;
  std::string power = "online";              // VXU_AC_LINE
  std::vector<std::string> answers;          // VXU_MSGBOX_ANSWERS; empty: yes to every box
  std::string faults;                        // VXU_FAULTS, empty for none
  std::vector<std::string> failingEntries;   // VXSIM_FAIL
  std::optional<std::string> expect;
};

// Reads a fleet file.  Nothing on failure, with *error one line naming the file, the
// profile and the field ("fleet.json: profile 2 \"7000 DOC\": flash.WinCE.version: ...").
std::optional<std::vector<Profile>> ReadFleet(const fs::path& file, std::string* error);

// The outcomes a run can end in.  kError: the device could not be made or the updater
// not started; kUnknown: the run ended in a way none of the others describes (a crash).
enum class Outcome {
  kUpdated, kUpToDate, kDeclined, kNoPower, kNotSuited, kIntegrity, kEngine, kStepFailed,
  kVerifyFailed, kNoPackage, kError, kUnknown
};
std::string_view OutcomeName(Outcome outcome);
// The outcome a name means; nothing for a name that is none.
std::optional<Outcome> OutcomeFromName(std::string_view name);

// What one run found.
struct Result {
  Outcome outcome = Outcome::kUnknown;
  std::optional<std::string> image;  // kStepFailed: the image whose step failed
  std::optional<long long> code;     // kStepFailed, kVerifyFailed: the device's failing answer
  std::string reason;                // kError: why
  std::vector<std::string> written;  // images written, in order
  int exitStatus = -1;
  double seconds = 0;
  std::string console;
  Json device;                       // the device afterwards, as `vxdevice show --json`
};

// The outcome of a run from its trace (one JSON object per line) and exit status; fills
// outcome, image, code and written.
void Classify(std::string_view trace, int exitStatus, Result* result);

// A file the updater or vxpack wrote, whole; empty when it cannot be read.
std::string ReadWhole(const fs::path& file);

// The scratch folder of the profile at `index` (from 0): "03-7000-DOC--factory-1-0".
std::string ProfileFolder(std::size_t index, std::string_view name);

// Makes the device in `dir` (which must not exist), puts `package` on it, runs the
// updater there and reads what happened.  Failures land in the result (kError).
Result RunProfile(const Profile& profile, const fs::path& package, const fs::path& updater,
                  const fs::path& dir);

// Whether a result meets its profile's expectation; true without one.
bool AsExpected(const Profile& profile, const Result& result);

// The reports.  `packageInfo` is what `vxpack info --json` says of the package, and
// `packageText` what `vxpack info` says.
std::string TableReport(const std::vector<Profile>& profiles, const std::vector<Result>& results);
Json JsonReport(const Json& packageInfo, const std::vector<Profile>& profiles,
                const std::vector<Result>& results);
std::string HtmlReport(const fs::path& package, const std::string& packageText,
                       const std::vector<Profile>& profiles, const std::vector<Result>& results);

}  // namespace fleet

#endif  // TOOLS_FLEET_FLEET_H_
