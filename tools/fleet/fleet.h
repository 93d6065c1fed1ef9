// vxfleet: one package tried on a fleet of simulated devices.
//
// A fleet file lists device profiles; each profile becomes a scratch device made by the
// same code as `vxdevice init`, the package goes onto its storage card, the updater runs
// on it (no waiting, trace on) and the run's outcome is read from the trace and the exit
// status.  A fleet may be split into shards that run apart (on several CI machines) and
// are merged afterwards.  Every report (the terminal table, the HTML page, the JUnit
// file) is drawn from one JSON object, the one `--json` prints.
#ifndef TOOLS_FLEET_FLEET_H_
#define TOOLS_FLEET_FLEET_H_

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "crypto/crypto.h"
#include "tools/device/device.h"

namespace fleet {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

// What a profile asks for.
struct Profile {
  std::size_t position = 0;                  // its place in the fleet file, from 0
  std::string name;
  tools::DeviceSetup device;
  std::string power = "online";              // VXU_AC_LINE
  std::vector<std::string> answers;          // VXU_MSGBOX_ANSWERS; empty: yes to every box
  std::string faults;                        // VXU_FAULTS, empty for none
  std::vector<std::string> failingEntries;   // VXSIM_FAIL
  fs::path keyFile;                          // the public key the device holds, if any
  std::optional<tools::RawKey> key;          // that key as read, the bytes the device gets
  std::vector<std::string> keyFingerprints;  // SHA-256 (hex) of each key it holds
  std::optional<std::string> expect;
};

// A fleet file as read: the SHA-256 (hex) is of the very bytes the profiles came from.
struct Fleet {
  fs::path file;
  std::string sha256;
  std::vector<Profile> profiles;
};

// Reads a fleet file.  Nothing on failure, with *error one line naming the file, the
// profile and the field ("fleet.json: profile 2 \"7000 DOC\": flash.WinCE.version: ...").
std::optional<Fleet> ReadFleet(const fs::path& file, std::string* error);

// A profile's set-up as the reports show it: boot, hardware, the images in flash,
// every registry option, the key, power, answers and failures on purpose.
Json SetupJson(const Profile& profile);

// ---------------------------------------------------------------------------
// Shards: shard K of N runs the profiles whose position (from 0) leaves K when divided
// by N, so that the split stays the same while the fleet file does.
struct Shard {
  std::size_t index = 0;
  std::size_t count = 1;
};
// "K/N" with 0 <= K < N; nothing for any other text.
std::optional<Shard> ParseShard(std::string_view text);
// Decimal digits only ("4", never " 4", "+4" or "0x4"); nothing for any other text.
std::optional<std::size_t> ParseCount(std::string_view text);
bool InShard(std::size_t position, const Shard& shard);

// ---------------------------------------------------------------------------
// Running profiles

// The outcomes a run can end in.  kError: the device could not be made or the updater
// not started; kUnknown: the run ended in a way none of the others describes (a crash).
enum class Outcome {
  kUpdated, kUpToDate, kDeclined, kNoPower, kNotSuited, kIntegrity, kSignature, kEngine,
  kStepFailed, kVerifyFailed, kNoPackage, kError, kUnknown
};
std::string_view OutcomeName(Outcome outcome);
// The outcome a name means; nothing for a name that is none.
std::optional<Outcome> OutcomeFromName(std::string_view name);

// A message box the updater showed, and how it was answered ("yes", "no", "ok", "none").
struct Box {
  std::string caption;
  std::string text;
  std::string answer;
};

// What one run found.
struct Result {
  Outcome outcome = Outcome::kUnknown;
  std::optional<std::string> image;  // kStepFailed: the image whose step failed
  std::optional<long long> code;     // kStepFailed, kVerifyFailed: the device's failing answer
  std::string reason;                // kError: why; kSignature: the updater's console reason
  std::vector<std::string> written;  // images written, in order
  std::vector<Box> boxes;
  bool ownFolder = false;            // the run made the profile's folder (or found it empty)
  int exitStatus = -1;
  double seconds = 0;
  std::string console;
  Json device;                       // the device afterwards, as `vxdevice show --json`
};

// The outcome of a run from its trace (one JSON object per line), console transcript and
// exit status; fills outcome, reason, image, code, written and boxes.  The console only
// tells a refused signature from a failed integrity check, and why it was refused.
void Classify(std::string_view trace, std::string_view console, int exitStatus, Result* result);

// A file the updater or vxpack wrote: its first `limit` bytes (*cut set when there were
// more); empty when it cannot be read.
std::string ReadWhole(const fs::path& file, std::size_t limit, bool* cut = nullptr);

// The scratch folder of the profile at `position` (from 0): "03-7000-DOC--factory-1-0".
std::string ProfileFolder(std::size_t position, std::string_view name);

// A file as read once: its size, SHA-256 (hex) and first bytes, and the SHA-512 of the
// same read when it was asked for, so that whatever is checked in it, signed or
// reported names the same bytes.
struct FileFacts {
  std::uint64_t size = 0;
  std::string sha256;
  std::string head;                      // the first kFactsHead bytes
  std::optional<crypto::Digest> sha512;
};
inline constexpr std::size_t kFactsHead = 128;
// Reads `file` once for its facts; with `copy`, writes what it reads there too (a new
// file).  Stops at an interrupt (WatchInterrupts).  Nothing, with the reason, on failure.
std::optional<FileFacts> ReadFacts(const fs::path& file, bool sha512, const fs::path& copy,
                                   std::string* reason);

// The files every device of a run shares, put into the stage folder once: the package
// as "VXUpdate.bin", its signature as "VXUpdate.bin.sig" when it has one, the device
// libraries, and the updater that runs.  Devices link to these (tools::LinkOrCopy), so a
// run writes each at most once whatever the number of profiles, and the updater opens
// them read-only.  The facts are of the staged bytes, as the profiles use them.
struct Stage {
  fs::path folder;
  bool signature = false;
  std::map<std::string, FileFacts> files;  // by staged name
  fs::path Updater() const { return folder / "vxupdater"; }
};
// Fills `folder` (which must not exist) with `package` and `updater`; nothing on success,
// else one line "FILE: reason" ("interrupted" after an interrupt).
std::optional<std::string> StageFiles(const fs::path& package, const fs::path& updater,
                                      const fs::path& folder, Stage* stage);
// Reads the staged files again after the run: nothing when they are as staged, else one
// line naming the one that changed (or why it could not be read).
std::optional<std::string> StageChanged(const Stage& stage);

// Makes the profile's folder `dir` (it must not exist, or be an empty folder) with the
// device in dir/device, runs the staged updater there and reads what happened.  Failures
// land in the result (kError).
Result RunProfile(const Profile& profile, const Stage& stage, const fs::path& dir);

// ---------------------------------------------------------------------------
// Provenance: what a report must say about where it came from.

// SHA-256 of bytes, hex.
std::string Sha256Hex(std::span<const std::uint8_t> bytes);
// Why `file` is not an update package (the rule the updater applies when it looks for
// one: 108 bytes that begin with the magic), or nothing when it is one.
std::optional<std::string> NotAPackage(const fs::path& file);

// The package as the profiles used it: its path as given, and the size and SHA-256 of
// the staged copy; its signature (SHA-256 of the staged .sig, and the fingerprint of the
// first key of `profiles` under which it verifies the staged bytes).  `profiles` are
// those of the whole fleet, so that every shard names the same key.  Nothing when the
// staged copy is not a package, with the reason in *error.
std::optional<Json> PackageProvenance(const fs::path& given, const Stage& stage,
                                      const std::vector<Profile>& profiles, std::string* error);
// What `vxpack info --json` and `vxpack info` say of the staged package, with the
// caller's path `given` in place of the stage's.  Nothing, with the reason, when vxpack
// could not be run or said nothing a report can use.
std::optional<std::pair<Json, std::string>> PackageSummary(const fs::path& given, const Stage& stage,
                                                           const fs::path& vxpack, std::string* error);
// The date and time now, UTC: "2026-12-08T01:23:45Z".
std::string UtcNow();
// The updater's version as its banner gives it (" - Version 1.2.2") in the first
// transcript that has one.
std::optional<std::string> UpdaterVersion(const std::vector<Result>& results);

// ---------------------------------------------------------------------------
// Reports

// The JSON report of a run.  `provenance` comes from the caller; `packageInfo` and
// `packageText` are what `vxpack info --json` and `vxpack info` say of the package.
Json JsonReport(const Json& provenance, const Json& packageInfo, const std::string& packageText,
                const std::vector<Profile>& profiles, const std::vector<Result>& results);
// Why `report` is not a report these functions can draw from (the first field that is
// missing or of the wrong kind), or nothing when it is one.
std::optional<std::string> ReportMistake(const Json& report);
// The largest report merge reads: far beyond the report of a thousand profiles.
inline constexpr std::size_t kMaxReportFile = 256u * 1024 * 1024;
// The verdict over the report's profiles: {"as_expected", "profiles", "with_expectation",
// "missed": [{"position", "name", "expected", "outcome"}]}.
Json Verdict(const Json& profiles);
// "step-failed (SPL, 25)", "signature (no signature)", "error: why", or the outcome.
std::string OutcomeText(const Json& profile);

std::string TableReport(const Json& report);
std::string HtmlReport(const Json& report);
// JUnit XML: one test case per profile, a failure when it did not end as expected, an
// error when its device could not be made, the console transcript as system-out.
std::string JunitReport(const Json& report);

// Joins shard reports (each with the name it was read from) into the report of the
// whole fleet.  Nothing, with one line in *error, when they are not the shards of one
// fleet file and one package, a shard is missing or given twice, or a profile is reported
// twice or not at all.
std::optional<Json> MergeReports(const std::vector<std::pair<std::string, Json>>& reports,
                                 const std::string& date, const std::string& version,
                                 std::string* error);

}  // namespace fleet

#endif  // TOOLS_FLEET_FLEET_H_
