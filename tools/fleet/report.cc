// vxfleet: the terminal table, the JSON object and the HTML page.
#include <algorithm>
#include <array>
#include <cstdio>

#include "tools/fleet/fleet.h"

namespace fleet {
namespace {

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", seconds);
  return text;
}

std::string Joined(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& item : items) out += (out.empty() ? "" : ", ") + item;
  return out;
}

// "step-failed (WinCE, 25)", "error: why", or the outcome's name.
std::string OutcomeText(const Result& result) {
  std::string text(OutcomeName(result.outcome));
  if (result.image || result.code) {
    text += " (" + result.image.value_or("?");
    if (result.code) text += ", " + std::to_string(*result.code);
    text += ")";
  }
  if (result.outcome == Outcome::kError) text += ": " + result.reason;
  return text;
}

std::string Html(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string_view Colour(Outcome outcome) {
  switch (outcome) {
    case Outcome::kUpdated: return "#1e7b34";
    case Outcome::kUpToDate: return "#1f5fa8";
    case Outcome::kDeclined:
    case Outcome::kNoPackage: return "#6b6b6b";
    case Outcome::kNoPower:
    case Outcome::kNotSuited: return "#b35c00";
    default: return "#b3261e";
  }
}

}  // namespace

std::string TableReport(const std::vector<Profile>& profiles, const std::vector<Result>& results) {
  std::vector<std::array<std::string, 4>> rows = {{"PROFILE", "OUTCOME", "WRITTEN", "SECONDS"}};
  for (std::size_t i = 0; i < results.size(); ++i) {
    std::string outcome = OutcomeText(results[i]);
    if (!AsExpected(profiles[i], results[i])) outcome += "  EXPECTED " + *profiles[i].expect;
    rows.push_back({profiles[i].name, outcome, Joined(results[i].written), Seconds(results[i].seconds)});
  }
  std::array<std::size_t, 4> width{};
  for (const auto& row : rows) {
    for (std::size_t c = 0; c < row.size(); ++c) width[c] = std::max(width[c], row[c].size());
  }
  std::string out;
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t c = 0; c < row.size(); ++c) {
      std::string cell = row[c];
      // Seconds align right, the rest left.
      if (c + 1 == row.size()) cell.insert(0, width[c] - cell.size(), ' ');
      else cell.resize(width[c], ' ');
      line += (c ? "  " : "") + cell;
    }
    out += line + "\n";
  }
  return out;
}

Json JsonReport(const Json& packageInfo, const std::vector<Profile>& profiles,
                const std::vector<Result>& results) {
  Json list = Json::array();
  for (std::size_t i = 0; i < results.size(); ++i) {
    const Result& r = results[i];
    Json entry;
    entry["name"] = profiles[i].name;
    entry["outcome"] = OutcomeName(r.outcome);
    entry["code"] = r.code ? Json(*r.code) : nullptr;
    entry["image"] = r.image ? Json(*r.image) : nullptr;
    entry["written"] = r.written;
    entry["exit"] = r.exitStatus < 0 ? Json(nullptr) : Json(r.exitStatus);
    entry["seconds"] = r.seconds;
    entry["expected"] = profiles[i].expect ? Json(*profiles[i].expect) : nullptr;
    entry["as_expected"] = AsExpected(profiles[i], r);
    entry["console"] = r.console;
    if (r.outcome == Outcome::kError) entry["reason"] = r.reason;
    entry["device"] = r.device;
    list.push_back(entry);
  }
  return Json{{"package", packageInfo}, {"profiles", list}};
}

std::string HtmlReport(const fs::path& package, const std::string& packageText,
                       const std::vector<Profile>& profiles, const std::vector<Result>& results) {
  std::size_t met = 0;
  for (std::size_t i = 0; i < results.size(); ++i) met += AsExpected(profiles[i], results[i]) ? 1 : 0;
  std::string out =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
      "<title>Fleet dry run: " + Html(package.filename().string()) + "</title>\n"
      "<style>\n"
      "body{font:14px/1.4 system-ui,sans-serif;margin:24px;color:#222}\n"
      "h1{font-size:20px}pre{background:#f4f4f4;padding:8px;overflow:auto;font-size:12px}\n"
      "table{border-collapse:collapse;width:100%}th,td{text-align:left;padding:4px 8px;"
      "border-bottom:1px solid #ddd;vertical-align:top}\n"
      "td.num{text-align:right}.outcome{color:#fff;border-radius:3px;padding:1px 6px;"
      "font-weight:600}\n"
      "tr.fold td{border-bottom:2px solid #bbb}summary{cursor:pointer;color:#555}\n"
      ".miss{color:#b3261e;font-weight:600}\n"
      "</style></head><body>\n"
      "<h1>Fleet dry run of " + Html(package.string()) + "</h1>\n"
      "<p>" + std::to_string(results.size()) + " profiles, " + std::to_string(met) +
      " as expected.</p>\n<h2>Package</h2>\n<pre>" + Html(packageText) + "</pre>\n"
      "<h2>Profiles</h2>\n<table>\n<tr><th>Profile</th><th>Outcome</th><th>Expected</th>"
      "<th>Images written</th><th>Exit</th><th>Seconds</th></tr>\n";
  for (std::size_t i = 0; i < results.size(); ++i) {
    const Result& r = results[i];
    const bool ok = AsExpected(profiles[i], r);
    out += "<tr><td>" + Html(profiles[i].name) + "</td><td><span class=\"outcome\" style=\"background:" +
           std::string(Colour(r.outcome)) + "\">" + Html(OutcomeText(r)) + "</span></td><td" +
           (ok ? "" : " class=\"miss\"") + ">" + Html(profiles[i].expect.value_or("")) +
           "</td><td>" + Html(Joined(r.written)) + "</td><td class=\"num\">" +
           (r.exitStatus < 0 ? "" : std::to_string(r.exitStatus)) + "</td><td class=\"num\">" +
           Seconds(r.seconds) + "</td></tr>\n";
    out += "<tr class=\"fold\"><td colspan=\"6\"><details><summary>Console transcript</summary><pre>" +
           Html(r.console) + "</pre></details><details><summary>Device afterwards</summary><pre>" +
           Html(r.device.dump(2, ' ', false, Json::error_handler_t::replace)) +
           "</pre></details></td></tr>\n";
  }
  return out + "</table>\n</body></html>\n";
}

}  // namespace fleet
