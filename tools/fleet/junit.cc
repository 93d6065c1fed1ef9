// vxfleet: the JUnit XML report, the test-report format CI systems read: one test suite
// for the fleet, one test case per profile.
#include <cstdio>

#include <tinyxml2.h>

#include "tools/common/common.h"
#include "tools/fleet/fleet.h"

namespace fleet {
namespace {

// XML 1.0 allows no control character but tab, line feed and carriage return, and
// neither U+FFFE nor U+FFFF; each becomes U+FFFD, as a byte that is not UTF-8 did
// when the report was made.
std::string XmlText(std::string_view text) {
  constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') {
      out += kReplacement;
    } else if (text.substr(i, 3) == "\xEF\xBF\xBE" || text.substr(i, 3) == "\xEF\xBF\xBF") {
      out += kReplacement;
      i += 2;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string Text(const Json& value) {
  return XmlText(value.is_string() ? value.get<std::string>() : tools::JsonText(value));
}

std::string Seconds(const Json& seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", seconds.is_number() ? seconds.get<double>() : 0.0);
  return text;
}

// A property the report has; one it lacks (an unsigned package's key) is left out.
void Property(tinyxml2::XMLPrinter& xml, const std::string& name, const Json& value) {
  if (value.is_null()) return;
  xml.OpenElement("property");
  xml.PushAttribute("name", name.c_str());
  xml.PushAttribute("value", Text(value).c_str());
  xml.CloseElement();
}

// What a failing test case shows beside its message: the set-up and the boxes.
std::string Details(const Json& profile) {
  std::string out = "set-up: " + tools::JsonText(profile["setup"]) + "\n";
  for (const Json& box : profile["boxes"]) {
    out += "box: \"" + box["text"].get<std::string>() + "\" " + box["answer"].get<std::string>() + "\n";
  }
  return XmlText(out);
}

}  // namespace

std::string JunitReport(const Json& report) {
  const Json& provenance = report["provenance"];
  const Json& profiles = report["profiles"];
  std::size_t failures = 0, errors = 0;
  double seconds = 0;
  for (const Json& profile : profiles) {
    const bool error = profile["outcome"] == "error" && profile["expected"] != "error";
    errors += error ? 1 : 0;
    failures += !error && !profile["as_expected"].get<bool>() ? 1 : 0;
    seconds += profile["seconds"].get<double>();
  }
  const std::string tests = std::to_string(profiles.size());
  const std::string total = Seconds(seconds);
  std::string date = Text(provenance["date"]);
  if (!date.empty() && date.back() == 'Z') date.pop_back();  // the format's timestamps carry no zone
  const std::string suite = Text(provenance["fleet"]["path"]);

  tinyxml2::XMLPrinter xml;
  xml.PushHeader(false, true);
  xml.OpenElement("testsuites");
  xml.PushAttribute("name", "vxfleet");
  xml.PushAttribute("tests", tests.c_str());
  xml.PushAttribute("failures", std::to_string(failures).c_str());
  xml.PushAttribute("errors", std::to_string(errors).c_str());
  xml.PushAttribute("time", total.c_str());
  xml.OpenElement("testsuite");
  xml.PushAttribute("name", suite.c_str());
  xml.PushAttribute("tests", tests.c_str());
  xml.PushAttribute("failures", std::to_string(failures).c_str());
  xml.PushAttribute("errors", std::to_string(errors).c_str());
  xml.PushAttribute("skipped", "0");
  xml.PushAttribute("time", total.c_str());
  xml.PushAttribute("timestamp", date.c_str());
  xml.OpenElement("properties");
  Property(xml, "vxfleet", provenance["vxfleet"]);
  Property(xml, "date", provenance["date"]);
  for (const char* part : {"path", "version", "sha256"}) {
    Property(xml, std::string("updater.") + part, provenance["updater"].value(part, Json(nullptr)));
  }
  for (const char* part : {"path", "sha256", "profiles"}) {
    Property(xml, std::string("fleet.") + part, provenance["fleet"][part]);
  }
  for (const char* part : {"path", "size", "sha256"}) {
    Property(xml, std::string("package.") + part, provenance["package"][part]);
  }
  const Json& signature = provenance["package"]["signature"];
  Property(xml, "package.signature.key_fingerprint",
           signature.is_object() ? signature.value("key_fingerprint", Json(nullptr)) : Json(nullptr));
  Property(xml, "verdict", report["verdict"]["as_expected"].get<bool>() ? "as expected" : "not as expected");
  xml.CloseElement();

  const std::string className = "vxfleet." + Text(fs::path(suite).stem().string());
  for (const Json& profile : profiles) {
    xml.OpenElement("testcase");
    xml.PushAttribute("name", Text(profile["name"]).c_str());
    xml.PushAttribute("classname", className.c_str());
    xml.PushAttribute("time", Seconds(profile["seconds"]).c_str());
    const bool error = profile["outcome"] == "error" && profile["expected"] != "error";
    if (error || !profile["as_expected"].get<bool>()) {
      xml.OpenElement(error ? "error" : "failure");
      const std::string message =
          error ? "the device could not be made or the updater not started: " + Text(profile["reason"])
                : "expected " + Text(profile["expected"]) + ", ended " + Text(OutcomeText(profile));
      xml.PushAttribute("message", message.c_str());
      xml.PushAttribute("type", error ? "error" : "not as expected");
      xml.PushText(Details(profile).c_str());
      xml.CloseElement();
    }
    xml.OpenElement("system-out");
    xml.PushText(Text(profile["console"]).c_str());
    xml.CloseElement();
    xml.CloseElement();
  }
  xml.CloseElement();
  xml.CloseElement();
  return std::string(xml.CStr(), xml.CStrSize() > 0 ? xml.CStrSize() - 1 : 0);
}

}  // namespace fleet
