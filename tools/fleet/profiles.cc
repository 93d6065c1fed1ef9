// vxfleet: reading a fleet file, refusing whatever a profile could not mean.
#include <algorithm>
#include <map>

#include "platform/host_process.h"
#include "tools/device/device.h"
#include "tools/fleet/fleet.h"

namespace fleet {
namespace {

constexpr std::uint64_t kMaxImageSize = 512u * 1024 * 1024;
constexpr std::size_t kMaxFleetFile = 64u * 1024 * 1024;
constexpr std::array<std::string_view, 2> kBootChains = {"doc", "miniboot"};
constexpr std::array<std::string_view, 3> kPowers = {"online", "offline", "unknown"};
constexpr std::array<std::string_view, 3> kAnswers = {"yes", "no", "none"};

// A mistake in the fleet file: the field (a dotted path inside the profile) and why.
struct Mistake {
  std::string field;
  std::string reason;
};

const Json* Find(const Json& object, std::string_view key) {
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

std::optional<Mistake> ReadText(const Json& value, const std::string& field, std::string* out) {
  if (!value.is_string()) return Mistake{field, "not a string"};
  *out = value.get<std::string>();
  return {};
}

// Text that goes into a line of its own (a report row, an error, a registry value),
// where a line break or an escape sequence would forge or split lines.
std::optional<Mistake> ReadLine(const Json& value, const std::string& field, std::string* out) {
  if (auto mistake = ReadText(value, field, out)) return mistake;
  const bool control = std::any_of(out->begin(), out->end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
  });
  if (control) return Mistake{field, "holds a control character (a line break, a tab, an escape)"};
  return {};
}

std::optional<Mistake> ReadNumber(const Json& value, const std::string& field, std::uint64_t max,
                                  std::uint64_t* out) {
  std::optional<std::uint64_t> number;
  if (value.is_number_unsigned()) number = value.get<std::uint64_t>();
  if (value.is_string()) number = sim::ParseNumber(value.get<std::string>());
  if (!number || *number > max) return Mistake{field, "not a number up to " + std::to_string(max)};
  *out = *number;
  return {};
}

// One of `choices`, whatever its case; *out is the choice as written there.
std::optional<Mistake> ReadChoice(const Json& value, const std::string& field,
                                  std::span<const std::string_view> choices, std::string* out) {
  if (auto mistake = ReadText(value, field, out)) return mistake;
  if (const auto choice = tools::Choice(*out, choices)) {
    *out = *choice;
    return {};
  }
  return Mistake{field, "\"" + *out + "\" is none of " + tools::ChoiceList(choices)};
}

std::optional<Mistake> ReadImage(const std::string& name, const Json& value, std::uint32_t hardware,
                                 sim::ImageHeader* header) {
  const std::string field = "flash." + name;
  header->type = sim::ImageTypeFromName(name);
  if (header->type == 0) return Mistake{field, "not an image name"};
  if (!value.is_object()) return Mistake{field, "not an object with version, date and size"};
  header->hardware = hardware;
  header->length = 8192;
  header->date = {2024, 1, 1};
  for (const auto& [key, item] : value.items()) {
    std::string text;
    if (key == "version" || key == "date") {
      if (auto mistake = ReadText(item, field + "." + key, &text)) return mistake;
    }
    if (key == "version") {
      auto version = sim::ParseVersion(text);
      if (!version) return Mistake{field + ".version", "\"" + text + "\" is not MAJOR.MINOR"};
      header->version = *version;
    } else if (key == "date") {
      auto date = sim::ParseDate(text);
      if (!date) return Mistake{field + ".date", "\"" + text + "\" is not a date YYYY-MM-DD"};
      header->date = *date;
    } else if (key == "size") {
      std::uint64_t size = 0;
      if (auto mistake = ReadNumber(item, field + ".size", kMaxImageSize, &size)) return mistake;
      if (size < sim::kHeaderSize) return Mistake{field + ".size", "below 512 bytes"};
      header->length = static_cast<std::uint32_t>(size);
    } else {
      return Mistake{field + "." + key, "unknown field"};
    }
  }
  if (!value.contains("version")) return Mistake{field + ".version", "missing"};
  header->tag = std::string(sim::ImageTypeName(header->type)) + " " + sim::VersionText(header->version);
  return {};
}

std::optional<Mistake> ReadRegistry(const Json& value, tools::RegistryOptions* options) {
  if (!value.is_object()) return Mistake{"registry", "not an object"};
  for (const auto& [key, item] : value.items()) {
    const std::string field = "registry." + key;
    if (key == "CustomPath") {
      std::string path;
      if (auto mistake = ReadLine(item, field, &path)) return mistake;
      options->customPath = path;
      continue;
    }
    std::uint32_t* target = key == "ForceFullUpgrade" ? &options->forceFullUpgrade
                            : key == "VerifyAfterWrite" ? &options->verifyAfterWrite
                            : key == "CheckCRC"         ? &options->checkCrc
                            : key == "FullVerify"       ? &options->fullVerify
                            : key == "CheckBinCRC"      ? &options->checkBinCrc
                                                        : nullptr;
    if (target == nullptr) return Mistake{field, "not an option of the updater"};
    std::uint64_t number = 0;
    if (auto mistake = ReadNumber(item, field, 0xFFFFFFFFu, &number)) return mistake;
    *target = static_cast<std::uint32_t>(number);
  }
  return {};
}

std::optional<Mistake> ReadTextList(const Json& value, const std::string& field,
                                    std::span<const std::string_view> choices,
                                    std::vector<std::string>* out) {
  if (!value.is_array()) return Mistake{field, "not a list"};
  for (std::size_t i = 0; i < value.size(); ++i) {
    std::string text;
    const std::string itemField = field + "[" + std::to_string(i) + "]";
    if (auto mistake = ReadChoice(value[i], itemField, choices, &text)) return mistake;
    out->push_back(text);
  }
  return {};
}

// "key": the public key of signed packages (NAME.pub, relative to the fleet file), which
// the device holds as its PackageKey.
std::optional<Mistake> ReadKey(const Json& value, const fs::path& folder, Profile* profile) {
  std::string path;
  if (auto mistake = ReadText(value, "key", &path)) return mistake;
  std::string reason;
  // The registry lines and the fingerprint come from the one key read.
  const std::optional<tools::RawKey> key = tools::ReadPackageKey(folder / path, &reason);
  if (!key) return Mistake{"key", path + ": " + reason};
  profile->device.registry.extra = tools::PackageKeyLine(*key);
  profile->keyFile = folder / path;
  profile->key = key;
  profile->keyFingerprints = {tools::Fingerprint(*key)};
  return {};
}

// "faults": VXU_FAULTS text; a fault the updater would not understand, it would ignore,
// and the profile would run without the failure it was written for.
std::optional<Mistake> ReadFaults(const Json& value, std::string* faults) {
  if (auto mistake = ReadText(value, "faults", faults)) return mistake;
  if (auto word = platform::host::FaultNotUnderstood(*faults)) {
    return Mistake{"faults", "\"" + *word + "\" is not a fault the updater understands (alloc:N, "
                             "open:PATH, read:PATH@OFFSET, write:PATH@OFFSET, thread, process, nth:K)"};
  }
  return {};
}

std::optional<Mistake> ReadProfile(const Json& value, const fs::path& folder, Profile* profile) {
  if (!value.is_object()) return Mistake{"profile", "not an object"};
  if (!value.contains("name")) return Mistake{"name", "missing"};
  // The name first, so that every later mistake can name the profile.
  if (auto mistake = ReadLine(value["name"], "name", &profile->name)) return mistake;
  if (profile->name.empty()) return Mistake{"name", "empty"};
  for (const char* required : {"boot", "hardware", "flash"}) {
    if (!value.contains(required)) return Mistake{required, "missing"};
  }
  std::string boot;
  if (auto mistake = ReadChoice(value["boot"], "boot", kBootChains, &boot)) return mistake;
  sim::Settings& settings = profile->device.settings;
  settings.boot = boot == "doc" ? sim::BootChain::kDoc : sim::BootChain::kMiniboot;
  std::uint64_t hardware = 0;
  if (auto mistake = ReadNumber(value["hardware"], "hardware", 0xFFFFFFFFu, &hardware)) return mistake;
  settings.hardware = static_cast<std::uint32_t>(hardware);
  const Json& flash = value["flash"];
  if (flash == "factory") {
    profile->device.flash = tools::FactoryImages(settings);
  } else if (flash.is_object()) {
    for (const auto& [name, image] : flash.items()) {
      sim::ImageHeader header;
      if (auto mistake = ReadImage(name, image, settings.hardware, &header)) return mistake;
      profile->device.flash.push_back(header);
    }
  } else if (flash != "empty") {
    return Mistake{"flash", "not \"factory\", \"empty\" or an object of images"};
  }
  for (const auto& [key, item] : value.items()) {
    std::optional<Mistake> mistake;
    if (key == "registry") {
      mistake = ReadRegistry(item, &profile->device.registry);
    } else if (key == "power") {
      mistake = ReadChoice(item, key, kPowers, &profile->power);
    } else if (key == "answers") {
      mistake = ReadTextList(item, key, kAnswers, &profile->answers);
    } else if (key == "faults") {
      mistake = ReadFaults(item, &profile->faults);
    } else if (key == "fail") {
      mistake = ReadTextList(item, key, sim::kEntriesThatCanFail, &profile->failingEntries);
    } else if (key == "key") {
      mistake = ReadKey(item, folder, profile);
    } else if (key == "expect") {
      std::string expect;
      mistake = ReadText(item, key, &expect);
      const std::optional<Outcome> outcome = OutcomeFromName(expect);
      if (!mistake && !outcome) mistake = Mistake{key, "\"" + expect + "\" is not an outcome"};
      if (outcome) profile->expect = std::string(OutcomeName(*outcome));
    } else if (key != "name" && key != "boot" && key != "hardware" && key != "flash") {
      mistake = Mistake{key, "unknown field"};
    }
    if (mistake) return mistake;
  }
  return {};
}

}  // namespace

std::optional<Fleet> ReadFleet(const fs::path& file, std::string* error) {
  std::string reason;
  const auto text = tools::ReadWholeFile(file, kMaxFleetFile, &reason);
  if (!text) {
    *error = file.string() + ": " + reason;
    return {};
  }
  // The digest and the profiles come from the same bytes.
  Fleet fleet{file, Sha256Hex(*text), {}};
  const std::optional<Json> parsed = tools::ParseJson(*text, &reason);
  if (!parsed) {
    *error = file.string() + ": " + reason;
    return {};
  }
  const Json& whole = *parsed;
  const Json* list = whole.is_object() ? Find(whole, "profiles") : nullptr;
  if (list == nullptr || !list->is_array()) {
    *error = file.string() + ": profiles: missing, or not a list of profiles";
    return {};
  }
  for (const auto& [key, item] : whole.items()) {
    if (key != "profiles") {
      *error = file.string() + ": " + key + ": unknown field (a fleet file holds only \"profiles\")";
      return {};
    }
  }
  if (list->empty()) {
    *error = file.string() + ": profiles: the list is empty; there is nothing to run";
    return {};
  }
  fleet.profiles.resize(list->size());
  std::map<std::string, std::size_t> names;
  for (std::size_t i = 0; i < list->size(); ++i) {
    Profile& profile = fleet.profiles[i];
    profile.position = i;
    auto mistake = ReadProfile((*list)[i], file.parent_path(), &profile);
    if (!mistake) {
      const auto [first, added] = names.emplace(profile.name, i);
      if (!added) {
        mistake = Mistake{"name", "also the name of profile " + std::to_string(first->second + 1) +
                                      "; every report and folder needs its own"};
      }
    }
    if (mistake) {
      *error = file.string() + ": profile " + std::to_string(i + 1);
      if (!profile.name.empty()) *error += " \"" + profile.name + "\"";
      *error += ": " + mistake->field + ": " + mistake->reason;
      return {};
    }
  }
  return fleet;
}

Json SetupJson(const Profile& profile) {
  const tools::DeviceSetup& device = profile.device;
  Json flash = Json::object();
  for (const sim::ImageHeader& image : device.flash) {
    flash[std::string(sim::ImageTypeName(image.type))] = {{"version", sim::VersionText(image.version)},
                                                          {"date", sim::DateText(image.date)},
                                                          {"size", image.length}};
  }
  const tools::RegistryOptions& registry = device.registry;
  Json key = nullptr;
  if (!profile.keyFile.empty()) key = {{"file", profile.keyFile.string()}, {"fingerprints", profile.keyFingerprints}};
  return {{"boot", sim::BootChainName(device.settings.boot)},
          {"hardware", device.settings.hardware},
          {"flash", flash},
          {"registry",
           {{"ForceFullUpgrade", registry.forceFullUpgrade},
            {"VerifyAfterWrite", registry.verifyAfterWrite},
            {"CheckCRC", registry.checkCrc},
            {"FullVerify", registry.fullVerify},
            {"CheckBinCRC", registry.checkBinCrc},
            {"CustomPath", registry.customPath ? Json(*registry.customPath) : Json(nullptr)}}},
          {"key", key},
          {"power", profile.power},
          {"answers", profile.answers},
          {"faults", profile.faults},
          {"fail", profile.failingEntries}};
}

}  // namespace fleet
