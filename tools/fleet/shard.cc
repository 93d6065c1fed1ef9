// vxfleet: splitting a fleet into shards that run apart, and joining their reports.
#include <algorithm>
#include <charconv>
#include <map>
#include <tuple>

#include "tools/fleet/fleet.h"

namespace fleet {
namespace {

std::string ShardText(const Shard& shard) {
  return std::to_string(shard.index) + "/" + std::to_string(shard.count);
}

// A report as merge sees it: where it came from and which shard it is.
struct Part {
  const std::string* name;
  const Json* report;
  Shard shard;
};

const Json& Provenance(const Part& part, const char* what) { return (*part.report)["provenance"][what]; }

// The signature a report was made with: "no signature", or its digest and signing key.
std::string SignatureText(const Part& part) {
  const Json& signature = Provenance(part, "package")["signature"];
  if (signature.is_null()) return "no signature";
  const Json& key = signature["key_fingerprint"];
  return "the signature sha256 " + signature["sha256"].get<std::string>() + " (" +
         (key.is_string() ? "key " + key.get<std::string>() : std::string("no profile's key")) + ")";
}

// Refuses parts that are not shards of one fleet file, one package (and its signature,
// or none), one split and one updater.  Every part is held against the same one, the
// shard with the lowest index, so that the answer does not depend on the order given.
std::optional<std::string> Mismatch(const Part& first, const Part& part) {
  for (const char* what : {"fleet", "package"}) {
    const std::string mine = Provenance(part, what)["sha256"].get<std::string>();
    const std::string theirs = Provenance(first, what)["sha256"].get<std::string>();
    if (mine != theirs) {
      return *part.name + ": made from another " + (what == std::string_view("fleet") ? "fleet file" : what) +
             " (sha256 " + mine + ") than " + *first.name + " (sha256 " + theirs + ")";
    }
  }
  // Equal digests with another count or size: one of the two was edited.
  for (const auto& [what, field, unit] : {std::tuple{"fleet", "profiles", "profiles"}, std::tuple{"package", "size", "bytes"}}) {
    const std::string mine = Provenance(part, what)[field].dump();
    const std::string theirs = Provenance(first, what)[field].dump();
    if (mine != theirs) {
      return *part.name + ": gives the " + what + " " + mine + " " + unit + ", " + *first.name + " " + theirs +
             "; one of them was edited";
    }
  }
  if (SignatureText(part) != SignatureText(first)) {
    return *part.name + ": made with " + SignatureText(part) + ", " + *first.name + " with " + SignatureText(first);
  }
  if (part.shard.count != first.shard.count) {
    return *part.name + ": shard " + ShardText(part.shard) + " splits the fleet otherwise than " +
           *first.name + " (shard " + ShardText(first.shard) + ")";
  }
  const Json& updater = Provenance(part, "updater");
  const Json& firstUpdater = Provenance(first, "updater");
  const Json& version = updater["version"];
  const Json& firstVersion = firstUpdater["version"];
  if (version.is_string() && firstVersion.is_string() && version != firstVersion) {
    return *part.name + ": ran updater " + version.get<std::string>() + ", " + *first.name + " ran " +
           firstVersion.get<std::string>();
  }
  if (updater["sha256"] != firstUpdater["sha256"]) {
    return *part.name + ": ran another updater (sha256 " + updater["sha256"].get<std::string>() + ") than " +
           *first.name + " (sha256 " + firstUpdater["sha256"].get<std::string>() + ")";
  }
  return std::nullopt;
}

}  // namespace

std::optional<Shard> ParseShard(std::string_view text) {
  const std::size_t slash = text.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  const auto index = ParseCount(text.substr(0, slash));
  const auto count = ParseCount(text.substr(slash + 1));
  if (!index || !count || *count == 0 || *index >= *count) return std::nullopt;
  return Shard{*index, *count};
}

std::optional<std::size_t> ParseCount(std::string_view text) {
  std::size_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

bool InShard(std::size_t position, const Shard& shard) { return position % shard.count == shard.index; }

std::optional<Json> MergeReports(const std::vector<std::pair<std::string, Json>>& reports,
                                 const std::string& date, const std::string& version,
                                 std::string* error) {
  std::vector<Part> parts;
  for (const auto& [name, report] : reports) {
    if (auto mistake = ReportMistake(report)) {
      *error = name + ": not a vxfleet report (" + *mistake + ")";
      return std::nullopt;
    }
    const Json& provenance = report["provenance"];
    if (provenance.contains("shards")) {
      *error = name + ": already a merged report; merge the shard reports it came from";
      return std::nullopt;
    }
    Shard shard;
    if (provenance.contains("shard")) {
      shard = {provenance["shard"]["index"].get<std::size_t>(), provenance["shard"]["count"].get<std::size_t>()};
    }
    if (shard.count == 0 || shard.index >= shard.count) {
      *error = name + ": shard " + ShardText(shard) + " is no shard";
      return std::nullopt;
    }
    parts.push_back({&name, &report, shard});
  }
  if (parts.empty()) {
    *error = "no report to merge";
    return std::nullopt;
  }
  // The same reports in any order make the same report.
  std::sort(parts.begin(), parts.end(), [](const Part& a, const Part& b) {
    return a.shard.index != b.shard.index ? a.shard.index < b.shard.index : *a.name < *b.name;
  });
  const Part& first = parts.front();
  std::map<std::size_t, const Part*> byIndex;
  for (const Part& part : parts) {
    if (auto mismatch = Mismatch(first, part)) {
      *error = *mismatch;
      return std::nullopt;
    }
    const auto [seen, added] = byIndex.emplace(part.shard.index, &part);
    if (!added) {
      *error = *part.name + ": shard " + ShardText(part.shard) + " again (also " + *seen->second->name + ")";
      return std::nullopt;
    }
  }
  // Counted up to the first gap, so that a count of a billion costs nothing.
  for (std::size_t index = 0; index < first.shard.count; ++index) {
    if (!byIndex.contains(index)) {
      *error = "shard " + ShardText({index, first.shard.count}) + " is missing";
      return std::nullopt;
    }
  }
  const std::size_t total = (*first.report)["provenance"]["fleet"]["profiles"].get<std::size_t>();
  std::map<std::size_t, std::pair<const Part*, const Json*>> byPosition;
  for (const Part& part : parts) {
    for (const Json& profile : (*part.report)["profiles"]) {
      const std::size_t position = profile["position"].get<std::size_t>();
      const std::string which = "profile " + std::to_string(position) + " \"" + profile["name"].get<std::string>() + "\"";
      if (position > total || !InShard(position - 1, part.shard)) {
        *error = *part.name + ": " + which + " is not one of shard " + ShardText(part.shard) + " of " +
                 std::to_string(total) + " profiles";
        return std::nullopt;
      }
      const auto [seen, added] = byPosition.emplace(position, std::pair{&part, &profile});
      if (!added) {
        *error = *part.name + ": " + which + " is reported twice (also in " + *seen->second.first->name + ")";
        return std::nullopt;
      }
    }
  }
  Json profiles = Json::array();
  for (std::size_t position = 1; position <= total; ++position) {
    const auto found = byPosition.find(position);
    if (found == byPosition.end()) {
      const Shard shard{(position - 1) % first.shard.count, first.shard.count};
      *error = *byIndex.at(shard.index)->name + ": profile " + std::to_string(position) + " of shard " +
               ShardText(shard) + " is missing";
      return std::nullopt;
    }
    Json profile = *found->second.second;
    // Drawn from the outcome again rather than taken on a report's word.
    profile["as_expected"] = profile["expected"].is_null() || profile["expected"] == profile["outcome"];
    profiles.push_back(std::move(profile));
  }
  const Json& provenance = (*first.report)["provenance"];
  Json shards = Json::array();
  for (const auto& [index, part] : byIndex) {
    const Json& own = (*part->report)["provenance"];
    shards.push_back({{"index", part->shard.index}, {"count", part->shard.count}, {"report", *part->name},
                      {"date", own["date"]}, {"vxfleet", own["vxfleet"]}, {"updater", own["updater"]}});
  }
  // A shard whose profiles never reached the banner does not know the updater's version.
  Json updater = provenance["updater"];
  for (const Part& part : parts) {
    const Json& own = (*part.report)["provenance"]["updater"];
    if (own["version"].is_string()) {
      updater = own;
      break;
    }
  }
  Json merged = {{"date", date}, {"vxfleet", version}, {"updater", updater},
                 {"fleet", provenance["fleet"]}, {"package", provenance["package"]}, {"shards", shards}};
  const Json report = {{"provenance", merged}, {"verdict", Verdict(profiles)},
                       {"package", (*first.report)["package"]},
                       {"package_summary", (*first.report)["package_summary"]}, {"profiles", profiles}};
  // Bytes that are not UTF-8 (in a report's name, in what a shard said) are replaced,
  // as in the report of a run.
  return Json::parse(tools::JsonText(report));
}

}  // namespace fleet
