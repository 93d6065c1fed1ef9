// vxfleet: the JSON report and what is drawn from it: the verdict, the terminal table and
// the HTML page.  The table and the page read only the JSON object, so that a merged
// report renders exactly as the report of a whole run.
#include <algorithm>
#include <array>
#include <cstdio>
#include <initializer_list>

#include "tools/common/common.h"
#include "tools/fleet/fleet.h"

namespace fleet {
namespace {

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", seconds);
  return text;
}

// A value as one piece of text: a string as it is, null as "-", anything else as JSON.
std::string Scalar(const Json& value) {
  if (value.is_string()) return value.get<std::string>();
  if (value.is_null()) return "-";
  return tools::JsonText(value);
}

std::string Joined(const Json& items, std::string_view separator = ", ") {
  std::string out;
  for (const Json& item : items) out += (out.empty() ? "" : std::string(separator)) + Scalar(item);
  return out;
}

std::string Html(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\n': case '\t': out += c; break;
      // HTML allows no other control character; a console's may hold any.
      default: out += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? "\xEF\xBF\xBD" : std::string(1, c);
    }
  }
  return out;
}

// The answer given to a profile's boxes, as its set-up says it.
std::string AnswersText(const Json& answers) {
  return answers.is_array() && !answers.empty() ? Joined(answers) : "yes to every box";
}

// The images in flash as "SPL 1.0, IPL 1.0"; "empty" when there are none.
std::string FlashText(const Json& flash) {
  if (!flash.is_object()) return Scalar(flash);
  std::string out;
  for (const auto& [name, image] : flash.items()) {
    out += (out.empty() ? "" : ", ") + name + " " +
           (image.is_object() && image.contains("version") ? Scalar(image["version"]) : Scalar(image));
  }
  return out.empty() ? "empty" : out;
}

std::string ObjectText(const Json& object) {
  if (!object.is_object()) return Scalar(object);
  std::string out;
  for (const auto& [key, value] : object.items()) out += (out.empty() ? "" : ", ") + key + "=" + Scalar(value);
  return out;
}

// The set-up in a few labelled parts; parts the profile leaves at their default are
// left out, but for those that say what the device is.
std::vector<std::pair<std::string, std::string>> SetupParts(const Json& setup) {
  std::vector<std::pair<std::string, std::string>> parts;
  if (!setup.is_object()) return parts;
  const auto field = [&setup](const char* key) { return setup.contains(key) ? setup[key] : Json(nullptr); };
  parts.emplace_back("device", Scalar(field("boot")) + ", hardware " + Scalar(field("hardware")));
  parts.emplace_back("flash", FlashText(field("flash")));
  parts.emplace_back("registry", ObjectText(field("registry")));
  parts.emplace_back("power", Scalar(field("power")));
  parts.emplace_back("answers", AnswersText(field("answers")));
  const Json faults = field("faults");
  if (faults.is_string() && !faults.get<std::string>().empty()) parts.emplace_back("faults", Scalar(faults));
  const Json fail = field("fail");
  if (fail.is_array() && !fail.empty()) parts.emplace_back("fail", Joined(fail));
  const Json key = field("key");
  if (key.is_object()) {
    parts.emplace_back("key", Scalar(key.value("file", Json(nullptr))) + " (fingerprint " +
                                  Joined(key.value("fingerprints", Json::array())) + ")");
  }
  return parts;
}

// The first two parts of the set-up, the device and its flash, on one line.
std::string Brief(const Json& setup) {
  const auto parts = SetupParts(setup);
  std::string out;
  for (std::size_t i = 0; i < std::min<std::size_t>(parts.size(), 2); ++i) {
    out += (out.empty() ? "" : "; ") + parts[i].second;
  }
  return out;
}

std::string SignatureText(const Json& signature) {
  if (!signature.is_object()) return "none";
  const Json fingerprint = signature.value("key_fingerprint", Json(nullptr));
  return Scalar(signature.value("path", Json(nullptr))) + ", sha256 " +
         Scalar(signature.value("sha256", Json(nullptr))) +
         (fingerprint.is_string() ? ", key fingerprint " + fingerprint.get<std::string>() + " (" +
                                        Scalar(signature.value("key", Json(nullptr))) + ")"
                                  : ", signed by no key of the fleet");
}

// Labelled lines of where the report came from.
std::vector<std::pair<std::string, std::string>> ProvenanceParts(const Json& provenance) {
  const Json& updater = provenance["updater"];
  const Json& fleet = provenance["fleet"];
  const Json& package = provenance["package"];
  std::vector<std::pair<std::string, std::string>> parts = {
      {"made", Scalar(provenance["date"]) + " by vxfleet " + Scalar(provenance["vxfleet"])},
      {"updater", "version " + Scalar(updater.value("version", Json(nullptr))) + ", " +
                      Scalar(updater.value("path", Json(nullptr))) + ", sha256 " +
                      Scalar(updater.value("sha256", Json(nullptr)))},
      {"fleet", Scalar(fleet["path"]) + ", " + Scalar(fleet["profiles"]) + " profiles, sha256 " +
                    Scalar(fleet["sha256"])},
      {"package", Scalar(package["path"]) + ", " + Scalar(package["size"]) + " bytes, sha256 " +
                      Scalar(package["sha256"])},
      {"signature", SignatureText(package["signature"])}};
  if (provenance.contains("shard")) {
    const Json& shard = provenance["shard"];
    parts.emplace_back("shard", Scalar(shard["index"]) + "/" + Scalar(shard["count"]));
  }
  if (provenance.contains("shards") && provenance["shards"].is_array()) {
    std::string shards;
    for (const Json& shard : provenance["shards"]) {
      shards += (shards.empty() ? "" : "; ") + Scalar(shard.value("index", Json(nullptr))) + "/" +
                Scalar(shard.value("count", Json(nullptr))) + " " + Scalar(shard.value("report", Json(nullptr))) +
                " (" + Scalar(shard.value("date", Json(nullptr))) + ")";
    }
    parts.emplace_back("merged", shards);
  }
  return parts;
}

// "every expectation met (10 profiles, 9 with an expectation)", or how many missed.
std::string VerdictText(const Json& verdict) {
  const std::string counts = Scalar(verdict["profiles"]) + " profiles, " +
                             Scalar(verdict["with_expectation"]) + " with an expectation";
  if (verdict["as_expected"].get<bool>()) return "every expectation met (" + counts + ")";
  return std::to_string(verdict["missed"].size()) + " of " + Scalar(verdict["profiles"]) +
         " profiles did not end as expected (" + Scalar(verdict["with_expectation"]) + " with an expectation)";
}

std::string MissText(const Json& miss) {
  return "\"" + Scalar(miss["name"]) + "\" expected " + Scalar(miss["expected"]) + ", ended " +
         Scalar(miss["outcome"]);
}

// The colour of an outcome's badge: green for the update, blue for nothing to do, grey
// for a user's no or no package, amber for a device the package does not fit, red for
// a failure.
std::string_view BadgeColour(std::string_view outcome) {
  if (outcome == "updated") return "#1e7b34";
  if (outcome == "up-to-date") return "#1f5fa8";
  if (outcome == "declined" || outcome == "no-package") return "#6b6b6b";
  if (outcome == "no-power" || outcome == "not-suited") return "#b35c00";
  return "#b3261e";
}

// The kinds of field a report must have, to be drawn from.
enum class Kind {
  kText, kNumber, kCount, kFlag, kObject, kList, kTextOrNull, kIntegerOrNull, kObjectOrNull, kAny
};

bool Is(const Json& value, Kind kind) {
  switch (kind) {
    case Kind::kText: return value.is_string();
    case Kind::kNumber: return value.is_number();
    case Kind::kCount: return value.is_number_unsigned();
    case Kind::kFlag: return value.is_boolean();
    case Kind::kObject: return value.is_object();
    case Kind::kList: return value.is_array();
    case Kind::kTextOrNull: return value.is_string() || value.is_null();
    case Kind::kIntegerOrNull: return value.is_number_integer() || value.is_null();
    case Kind::kObjectOrNull: return value.is_object() || value.is_null();
    case Kind::kAny: return true;
  }
  return false;
}

std::optional<std::string> Missing(const Json& object, const std::string& where,
                                   std::initializer_list<std::pair<const char*, Kind>> fields) {
  if (!object.is_object()) return where + ": not an object";
  for (const auto& [key, kind] : fields) {
    if (!object.contains(key) || !Is(object[key], kind)) {
      return (where.empty() ? "" : where + ".") + key + ": missing or of the wrong kind";
    }
  }
  return std::nullopt;
}

// An outcome's name as the reports write it (not in another case).
bool IsOutcome(const Json& value) {
  const auto outcome = value.is_string() ? OutcomeFromName(value.get<std::string>()) : std::nullopt;
  return outcome && OutcomeName(*outcome) == value.get<std::string>();
}

// Longer than any run of the updater, and short enough to print in a table cell.
constexpr double kMaxSeconds = 1e7;

std::optional<std::string> ProfileMistake(const Json& profile, const std::string& where) {
  if (auto missing = Missing(profile, where,
                             {{"position", Kind::kCount}, {"name", Kind::kText}, {"setup", Kind::kObject},
                              {"outcome", Kind::kText}, {"reason", Kind::kTextOrNull},
                              {"code", Kind::kIntegerOrNull}, {"image", Kind::kTextOrNull},
                              {"written", Kind::kList}, {"boxes", Kind::kList}, {"exit", Kind::kIntegerOrNull},
                              {"seconds", Kind::kNumber}, {"expected", Kind::kTextOrNull},
                              {"as_expected", Kind::kFlag}, {"console", Kind::kText}, {"device", Kind::kAny}})) {
    return missing;
  }
  if (profile["position"].get<std::uint64_t>() == 0) return where + ".position: counted from 1";
  if (!IsOutcome(profile["outcome"])) return where + ".outcome: not an outcome";
  if (!profile["expected"].is_null() && !IsOutcome(profile["expected"])) return where + ".expected: not an outcome";
  if (tools::Printable(profile["name"].get<std::string>()) != profile["name"].get<std::string>()) {
    return where + ".name: holds a control character";
  }
  const double seconds = profile["seconds"].get<double>();
  if (!(seconds >= 0 && seconds <= kMaxSeconds)) return where + ".seconds: not from 0 to " + Seconds(kMaxSeconds);
  for (std::size_t i = 0; i < profile["boxes"].size(); ++i) {
    if (auto missing = Missing(profile["boxes"][i], where + ".boxes[" + std::to_string(i) + "]",
                               {{"caption", Kind::kText}, {"text", Kind::kText}, {"answer", Kind::kText}})) {
      return missing;
    }
  }
  return std::nullopt;
}

}  // namespace

Json JsonReport(const Json& provenance, const Json& packageInfo, const std::string& packageText,
                const std::vector<Profile>& profiles, const std::vector<Result>& results) {
  Json list = Json::array();
  for (std::size_t i = 0; i < results.size(); ++i) {
    const Result& r = results[i];
    const Profile& profile = profiles[i];
    Json boxes = Json::array();
    for (const Box& box : r.boxes) boxes.push_back({{"caption", box.caption}, {"text", box.text}, {"answer", box.answer}});
    Json entry;
    entry["position"] = profile.position + 1;
    entry["name"] = profile.name;
    entry["setup"] = SetupJson(profile);
    entry["outcome"] = OutcomeName(r.outcome);
    entry["reason"] = r.reason.empty() ? Json(nullptr) : Json(r.reason);
    entry["code"] = r.code ? Json(*r.code) : nullptr;
    entry["image"] = r.image ? Json(*r.image) : nullptr;
    entry["written"] = r.written;
    entry["boxes"] = boxes;
    entry["exit"] = r.exitStatus < 0 ? Json(nullptr) : Json(r.exitStatus);
    entry["seconds"] = r.seconds;
    entry["expected"] = profile.expect ? Json(*profile.expect) : nullptr;
    entry["as_expected"] = !profile.expect || *profile.expect == OutcomeName(r.outcome);
    entry["console"] = r.console;
    entry["device"] = r.device;
    list.push_back(entry);
  }
  Json report = {{"provenance", provenance}, {"verdict", Verdict(list)}, {"package", packageInfo},
                 {"package_summary", packageText}, {"profiles", list}};
  // Bytes that are not UTF-8 (a console line, a file name) are replaced once, here, so
  // that every report drawn from this one is valid text.
  return Json::parse(tools::JsonText(report));
}

std::optional<std::string> ReportMistake(const Json& report) {
  if (auto missing = Missing(report, "", {{"provenance", Kind::kObject}, {"verdict", Kind::kObject},
                                          {"package", Kind::kAny}, {"package_summary", Kind::kText},
                                          {"profiles", Kind::kList}})) {
    return missing;
  }
  const Json& provenance = report["provenance"];
  if (auto missing = Missing(provenance, "provenance",
                             {{"date", Kind::kText}, {"vxfleet", Kind::kText}, {"updater", Kind::kObject},
                              {"fleet", Kind::kObject}, {"package", Kind::kObject}})) {
    return missing;
  }
  if (auto missing = Missing(provenance["updater"], "provenance.updater",
                             {{"path", Kind::kText}, {"version", Kind::kTextOrNull}, {"sha256", Kind::kText}})) {
    return missing;
  }
  if (auto missing = Missing(provenance["fleet"], "provenance.fleet",
                             {{"path", Kind::kText}, {"sha256", Kind::kText}, {"profiles", Kind::kCount}})) {
    return missing;
  }
  if (auto missing = Missing(provenance["package"], "provenance.package",
                             {{"path", Kind::kText}, {"size", Kind::kCount}, {"sha256", Kind::kText},
                              {"signature", Kind::kObjectOrNull}})) {
    return missing;
  }
  const Json& signature = provenance["package"]["signature"];
  if (signature.is_object()) {
    if (auto missing = Missing(signature, "provenance.package.signature",
                               {{"path", Kind::kText}, {"sha256", Kind::kText},
                                {"key_fingerprint", Kind::kTextOrNull}, {"key", Kind::kTextOrNull}})) {
      return missing;
    }
  }
  if (provenance.contains("shard")) {
    if (auto missing = Missing(provenance["shard"], "provenance.shard",
                               {{"index", Kind::kCount}, {"count", Kind::kCount}})) {
      return missing;
    }
  }
  for (std::size_t i = 0; i < report["profiles"].size(); ++i) {
    if (auto mistake = ProfileMistake(report["profiles"][i], "profiles[" + std::to_string(i) + "]")) {
      return mistake;
    }
  }
  return std::nullopt;
}

Json Verdict(const Json& profiles) {
  Json missed = Json::array();
  std::size_t withExpectation = 0;
  for (const Json& profile : profiles) {
    const Json& expected = profile["expected"];
    if (!expected.is_string()) continue;
    ++withExpectation;
    if (expected != profile["outcome"]) {
      missed.push_back({{"position", profile["position"]}, {"name", profile["name"]},
                        {"expected", expected}, {"outcome", profile["outcome"]}});
    }
  }
  return {{"as_expected", missed.empty()}, {"profiles", profiles.size()},
          {"with_expectation", withExpectation}, {"missed", missed}};
}

std::string OutcomeText(const Json& profile) {
  std::string text = profile["outcome"].get<std::string>();
  const Json& image = profile["image"];
  const Json& code = profile["code"];
  if (!image.is_null() || !code.is_null()) {
    text += " (" + (image.is_null() ? "?" : Scalar(image));
    if (!code.is_null()) text += ", " + Scalar(code);
    text += ")";
  }
  if (profile["reason"].is_string()) {
    text += text == "error" ? ": " + Scalar(profile["reason"]) : " (" + Scalar(profile["reason"]) + ")";
  }
  return text;
}

std::string TableReport(const Json& report) {
  // A terminal shows this: a line break or an escape in a box's text or a file name must
  // not split or forge a line.
  const auto Cell = [](const Json& value) { return tools::Printable(Scalar(value)); };
  const auto Line = [](std::string_view text) { return tools::Printable(text) + "\n"; };
  std::string out = "Fleet dry run of " + Cell(report["provenance"]["package"]["path"]) + "\n";
  for (const auto& [label, text] : ProvenanceParts(report["provenance"])) {
    std::string padded = label;
    padded.resize(10, ' ');
    out += Line("  " + padded + text);
  }
  out += "\n";
  std::vector<std::array<std::string, 5>> rows = {{"PROFILE", "OUTCOME", "EXPECTED", "WRITTEN", "SECONDS"}};
  for (const Json& profile : report["profiles"]) {
    const std::string expected = profile["expected"].is_null() ? "-"
                                 : profile["as_expected"].get<bool>()
                                     ? Cell(profile["expected"]) + ", met"
                                     : Cell(profile["expected"]) + ", MISSED";
    rows.push_back({Cell(profile["name"]), tools::Printable(OutcomeText(profile)), expected,
                    tools::Printable(Joined(profile["written"])), Seconds(profile["seconds"].get<double>())});
  }
  std::array<std::size_t, 5> width{};
  for (const auto& row : rows) {
    for (std::size_t c = 0; c < row.size(); ++c) width[c] = std::max(width[c], row[c].size());
  }
  for (std::size_t r = 0; r < rows.size(); ++r) {
    std::string line;
    for (std::size_t c = 0; c < rows[r].size(); ++c) {
      std::string cell = rows[r][c];
      // Seconds align right, the rest left.
      if (c + 1 == rows[r].size()) cell.insert(0, width[c] - cell.size(), ' ');
      else cell.resize(width[c], ' ');
      line += (c ? "  " : "") + cell;
    }
    out += line + "\n";
    if (r == 0) continue;
    // Under each row: the set-up, then every box with its answer.
    const Json& profile = report["profiles"][r - 1];
    std::string setup;
    for (const auto& [label, text] : SetupParts(profile["setup"])) setup += (setup.empty() ? "" : "; ") + label + " " + text;
    out += Line("    set-up: " + setup);
    for (const Json& box : profile["boxes"]) {
      out += "    box: \"" + Cell(box["text"]) + "\" " + Cell(box["answer"]) + "\n";
    }
  }
  const Json& verdict = report["verdict"];
  out += std::string("\nVerdict: ") + (verdict["as_expected"].get<bool>() ? "as expected, " : "NOT AS EXPECTED, ") +
         VerdictText(verdict) + "\n";
  for (const Json& miss : verdict["missed"]) out += Line("  " + MissText(miss));
  return out;
}

std::string HtmlReport(const Json& report) {
  const Json& provenance = report["provenance"];
  const Json& verdict = report["verdict"];
  const bool met = verdict["as_expected"].get<bool>();
  std::string out =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
      "<title>Fleet dry run: " + Html(Scalar(provenance["package"]["path"])) + "</title>\n"
      "<style>\n"
      "body{font:14px/1.4 system-ui,sans-serif;margin:24px;color:#222}\n"
      "h1{font-size:20px}h2{font-size:16px;margin-top:24px}\n"
      "pre{background:#f4f4f4;padding:8px;overflow:auto;font-size:12px;margin:4px 0}\n"
      "table{border-collapse:collapse;width:100%}th,td{text-align:left;padding:4px 8px;"
      "border-bottom:1px solid #ddd;vertical-align:top}\n"
      "td.num{text-align:right}.mono{font-family:ui-monospace,monospace;font-size:12px;word-break:break-all}\n"
      ".badge{color:#fff;border-radius:3px;padding:1px 6px;font-weight:600;white-space:nowrap}\n"
      ".banner{padding:12px 16px;border-radius:6px;font-size:16px;font-weight:600;margin:12px 0}\n"
      ".banner ul{font-size:14px;font-weight:400;margin:6px 0 0}\n"
      /* Green and red say whether a profile ended as expected; the badge keeps the outcome's colour. */
      ".met{background:#e6f4ea;border-left:6px solid #1e7b34;color:#0d4f1f}\n"
      ".missed{background:#fce8e6;border-left:6px solid #b3261e;color:#7a1712}\n"
      ".none{border-left:6px solid #c8c8c8}\n"
      "tr.met td{background:#eef7f0}tr.missed td{background:#fdeeed}\n"
      "tr.met td:first-child{border-left:6px solid #1e7b34}tr.missed td:first-child{border-left:6px solid #b3261e}"
      "tr.none td:first-child{border-left:6px solid #c8c8c8}\n"
      "td.said-met{color:#0d4f1f;font-weight:600}td.said-missed{color:#7a1712;font-weight:600}\n"
      ".setup{color:#666;font-size:12px}td.caption{white-space:nowrap}\n"
      "tr.fold td{border-bottom:2px solid #bbb;padding-top:0}summary{cursor:pointer;color:#555}\n"
      "details{display:inline-block;margin-right:20px;vertical-align:top}details[open]{display:block}\n"
      ".legend span{margin-right:16px;padding:2px 8px}\n"
      "dl{display:grid;grid-template-columns:max-content auto;gap:2px 16px}dt{font-weight:600}dd{margin:0}\n"
      "</style></head><body>\n"
      "<h1>Fleet dry run of " + Html(Scalar(provenance["package"]["path"])) + "</h1>\n"
      "<div class=\"banner " + (met ? "met" : "missed") + "\">" +
      (met ? "As expected" : "Not as expected") + ": " + Html(VerdictText(verdict));
  if (!verdict["missed"].empty()) {
    out += "<ul>";
    for (const Json& miss : verdict["missed"]) out += "<li>" + Html(MissText(miss)) + "</li>";
    out += "</ul>";
  }
  out += "</div>\n<h2>Provenance</h2>\n<dl>\n";
  for (const auto& [label, text] : ProvenanceParts(provenance)) {
    out += "<dt>" + Html(label) + "</dt><dd class=\"mono\">" + Html(text) + "</dd>\n";
  }
  out += "</dl>\n<h2>Profiles</h2>\n"
         "<p class=\"legend\"><span class=\"met\">as expected</span><span class=\"missed\">not as "
         "expected</span><span class=\"none\">no expectation</span> The badge is the outcome.</p>\n"
         "<table>\n<tr><th>#</th><th>Profile</th><th>Outcome</th><th>Expected</th>"
         "<th>Images written</th><th>Exit</th><th>Seconds</th></tr>\n";
  for (const Json& profile : report["profiles"]) {
    const bool expects = !profile["expected"].is_null();
    const std::string mark = !expects ? "none" : profile["as_expected"].get<bool>() ? "met" : "missed";
    const std::string expected = !expects ? "" : Scalar(profile["expected"]) + (mark == "met" ? " (met)" : " (missed)");
    out += "<tr class=\"" + mark + "\"><td class=\"num\">" + Scalar(profile["position"]) + "</td><td>" +
           Html(Scalar(profile["name"])) + "<div class=\"setup\">" + Html(Brief(profile["setup"])) +
           "</div></td><td><span class=\"badge\" style=\"background:" +
           std::string(BadgeColour(Scalar(profile["outcome"]))) + "\">" + Html(OutcomeText(profile)) +
           "</span></td><td class=\"said-" + mark + "\">" + Html(expected) + "</td><td>" +
           Html(Joined(profile["written"])) + "</td><td class=\"num\">" +
           (profile["exit"].is_null() ? "" : Scalar(profile["exit"])) + "</td><td class=\"num\">" +
           Seconds(profile["seconds"].get<double>()) + "</td></tr>\n";
    out += "<tr class=\"fold\"><td></td><td colspan=\"6\"><details><summary>Set-up</summary><dl>";
    for (const auto& [label, text] : SetupParts(profile["setup"])) {
      out += "<dt>" + Html(label) + "</dt><dd>" + Html(text) + "</dd>";
    }
    out += "</dl><pre>" + Html(profile["setup"].dump(2, ' ', false, Json::error_handler_t::replace)) +
           "</pre></details><details" + (mark == "missed" ? " open" : "") + "><summary>Boxes (" +
           std::to_string(profile["boxes"].size()) +
           ")</summary><table>";
    for (const Json& box : profile["boxes"]) {
      out += "<tr><td class=\"caption\">" + Html(Scalar(box["caption"])) + "</td><td>" + Html(Scalar(box["text"])) +
             "</td><td><b>" + Html(Scalar(box["answer"])) + "</b></td></tr>";
    }
    out += "</table></details><details><summary>Console transcript</summary><pre>" +
           Html(Scalar(profile["console"])) + "</pre></details><details><summary>Device afterwards</summary><pre>" +
           Html(profile["device"].dump(2, ' ', false, Json::error_handler_t::replace)) + "</pre></details></td></tr>\n";
  }
  out += "</table>\n<h2>Package</h2>\n<pre>" + Html(Scalar(report["package_summary"])) + "</pre>\n";
  return out + "</body></html>\n";
}

}  // namespace fleet
