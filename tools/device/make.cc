// Making and reading simulated devices, for vxdevice and vxfleet.
#include "tools/device/device.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <system_error>

namespace tools {
namespace {

constexpr std::uint32_t kFactorySize = 8192;

bool WriteFile(const fs::path& file, std::string_view text) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  out.flush();
  return static_cast<bool>(out);
}

std::string Dword(std::string_view name, std::uint32_t value) {
  char line[64];
  std::snprintf(line, sizeof line, "\"%.*s\"=dword:%08x\n", static_cast<int>(name.size()),
                name.data(), static_cast<unsigned>(value));
  return line;
}

// A REG_SZ value with the file format's escapes.
std::string RegistryString(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out;
}

// The host zlib by its soname link when there is one, so that installed tools keep
// working after the host's zlib is upgraded to another patch release.
fs::path HostZlib() {
  const fs::path built(VXU_HOST_ZLIB);
  std::error_code error;
  const fs::path soname = built.parent_path() / "libz.so.1";
  return fs::exists(soname, error) ? soname : built;
}

// Fills a fresh folder with everything a device has; answers an error line.
std::optional<std::string> Populate(const fs::path& root, const DeviceSetup& setup) {
  std::error_code error;
  fs::create_directories(root / "Windows", error);
  if (!error) fs::create_directories(root / "Storage Card", error);
  if (!error) fs::create_directories(sim::HardwareDir(root) / "flash", error);
  if (error) return root.string() + ": " + error.message();
  for (const char* name : {"vx_bsp_api.dll", "zlib.dll"}) {
    const fs::path target = root / "Windows" / name;
    if (!setup.libraryFolder.empty()) {
      if (auto failure = LinkOrCopy(setup.libraryFolder / name, target)) return failure;
      continue;
    }
    std::string reason;
    const std::optional<fs::path> source = DeviceLibrary(name, &reason);
    if (!source) return std::string(name) + ": " + reason;
    fs::copy_file(*source, target, error);
    if (error) return source->string() + ": " + error.message();
  }
  if (!WriteFile(root / "registry.reg", RegistryText(setup.registry))) {
    return (root / "registry.reg").string() + ": cannot write";
  }
  const bool ok = sim::WriteStateFile(root, "settings", sim::SettingsText(setup.settings)) &&
                  sim::WriteStateFile(root, "green_led", "off\n") &&
                  sim::WriteStateFile(root, "red_led", "off\n") &&
                  sim::WriteStateFile(root, "keyboard", "enabled\n") &&
                  sim::WriteStateFile(root, "display", "on\n") &&
                  sim::WriteStateFile(root, "exclusive_access", "released\n") &&
                  sim::WriteStateFile(root, "gd_items", "");
  if (!ok) return sim::HardwareDir(root).string() + ": cannot write the device state";
  for (const sim::ImageHeader& header : setup.flash) {
    if (!sim::StoreFlashImage(root, sim::BuildImage(header))) {
      return sim::FlashFile(root, header.type).string() + ": cannot write";
    }
  }
  return {};
}

std::string StateOr(const fs::path& root, std::string_view name, std::string_view fallback) {
  auto value = sim::ReadStateFile(root, name);
  return value ? *value : std::string(fallback);
}

}  // namespace

std::vector<sim::ImageHeader> FactoryImages(const sim::Settings& settings) {
  std::vector<sim::ImageHeader> images;
  for (std::uint32_t type : sim::BootImages(settings.boot)) {
    sim::ImageHeader header;
    header.type = type;
    header.hardware = settings.hardware;
    header.version = 1u << 16;
    header.length = kFactorySize;
    header.date = {2020, 1, 1};
    header.tag = "factory";
    images.push_back(header);
  }
  return images;
}

std::string RegistryText(const RegistryOptions& options) {
  std::string text =
      "REGEDIT4\n"
      "\n"
      "; Options of the software updater: 1 on, 0 off.\n"
      "[HKEY_LOCAL_MACHINE\\VX_Config\\VXUpdate]\n"
      "; Write every image even when flash holds the same one already.\n" +
      Dword("ForceFullUpgrade", options.forceFullUpgrade) +
      "; Compare each image in flash with the package again right after writing it.\n" +
      Dword("VerifyAfterWrite", options.verifyAfterWrite) +
      "; Let the device check the CRC of flash images it finds up to date.\n" +
      Dword("CheckCRC", options.checkCrc) + "; Verify every image once all are written.\n" +
      Dword("FullVerify", options.fullVerify) +
      "; Check the CRC of the whole package before using it.\n" +
      Dword("CheckBinCRC", options.checkBinCrc) +
      "; The folder of VXUpdate.bin when it is not \\Storage Card\\.\n";
  text += options.customPath
              ? "\"CustomPath\"=\"" + RegistryString(*options.customPath) + "\"\n"
              : std::string(";\"CustomPath\"=\"\\\\Storage Card\"\n");
  return text + options.extra;
}

std::optional<std::string> MakeDevice(const fs::path& given, const DeviceSetup& setup) {
  std::error_code error;
  // "dev/" and "." name the folder itself: the device is built beside it.
  fs::path root = fs::absolute(given, error).lexically_normal();
  if (root.filename().empty()) root = root.parent_path();
  if (fs::exists(root, error) && (!fs::is_directory(root, error) || !fs::is_empty(root, error))) {
    return given.string() + ": exists and is not an empty folder";
  }
  // A missing parent is a slip of the pen more often than a wish: it is not made.
  const fs::path parent = root.parent_path();
  if (!fs::is_directory(parent, error)) {
    return given.string() + ": " + SystemReason(fs::exists(parent, error) ? ENOTDIR : ENOENT);
  }
  const fs::path temporary = parent / ("." + root.filename().string() + ".vxdevice-init");
  fs::remove_all(temporary, error);
  auto failure = Populate(temporary, setup);
  if (!failure) {
    fs::rename(temporary, root, error);
    if (error) failure = given.string() + ": " + error.message();
  }
  if (failure) fs::remove_all(temporary, error);
  return failure;
}

std::optional<DeviceView> ReadDevice(const fs::path& root, std::string* error) {
  DeviceView device;
  device.root = root;
  auto settings = sim::ReadSettings(root, error);
  if (!settings) return {};
  device.settings = *settings;
  auto gdItems = sim::ReadGdItems(root);
  if (!gdItems) {
    *error = (sim::HardwareDir(root) / "gd_items").string() + ": a line is not 'ITEM = VALUE'";
    return {};
  }
  device.gdItems = *gdItems;
  for (std::uint32_t type = sim::kFirstImageType; type <= sim::kLastImageType; ++type) {
    auto image = sim::ReadFlashSlot(root, type);
    if (image.state != sim::FlashState::kAbsent) {
      device.flash.push_back({std::string(sim::ImageTypeName(type)), image});
    }
  }
  std::error_code fsError;
  for (const auto& entry : fs::directory_iterator(root / "Storage Card", fsError)) {
    device.storageCard.push_back(entry.path().filename().string());
  }
  std::sort(device.storageCard.begin(), device.storageCard.end());
  device.green = StateOr(root, "green_led", "off");
  device.red = StateOr(root, "red_led", "off");
  device.keyboard = StateOr(root, "keyboard", "enabled");
  device.display = StateOr(root, "display", "on");
  device.exclusive = StateOr(root, "exclusive_access", "released");
  device.lastReset = sim::ReadStateFile(root, "last_reset");
  return device;
}

nlohmann::ordered_json DeviceJson(const DeviceView& device) {
  using nlohmann::ordered_json;
  ordered_json flash = ordered_json::array();
  for (const auto& [name, image] : device.flash) {
    ordered_json entry;
    entry["type"] = name;
    entry["version"] = image.header ? ordered_json(sim::VersionText(image.header->version)) : nullptr;
    entry["date"] = image.header ? ordered_json(sim::DateText(image.header->date)) : nullptr;
    entry["length"] = image.header ? ordered_json(image.header->length) : nullptr;
    entry["size"] = image.size;
    entry["crc"] = image.bodyCrcOk ? "ok" : "damaged";
    flash.push_back(entry);
  }
  ordered_json gd = ordered_json::object();
  for (auto [item, value] : device.gdItems) gd[std::to_string(item)] = value;
  ordered_json out;
  out["root"] = device.root.string();
  out["boot"] = sim::BootChainName(device.settings.boot);
  out["hardware"] = device.settings.hardware;
  out["flash"] = flash;
  out["lights"] = {{"green", device.green}, {"red", device.red}};
  out["keyboard"] = device.keyboard;
  out["display"] = device.display;
  out["exclusive_access"] = device.exclusive;
  out["gd_items"] = gd;
  out["last_reset"] = device.lastReset ? ordered_json(*device.lastReset) : nullptr;
  out["storage_card"] = device.storageCard;
  return out;
}

std::optional<fs::path> DeviceLibrary(std::string_view name, std::string* reason) {
  if (name == "zlib.dll") return HostZlib();
  return Companion(name, "sim", reason);
}

std::optional<std::string> LinkOrCopy(const fs::path& from, const fs::path& to) {
  std::error_code error;
  fs::create_hard_link(from, to, error);
  if (!error) return {};
  fs::copy_file(from, to, error);
  if (!error) return {};
  std::error_code ignored;
  return (fs::exists(from, ignored) ? to : from).string() + ": " + error.message();
}

}  // namespace tools
