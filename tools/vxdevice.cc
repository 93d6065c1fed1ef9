// vxdevice: makes and shows simulated devices and their flash images.
//
//   vxdevice init DIR [--boot doc|miniboot] [--hardware ID] [--key NAME.pub]
//   vxdevice image --type NAME --hardware ID --version V [--size N] [--date YYYY-MM-DD]
//                  [--revision 1|2] [--tag TEXT] -o FILE
//   vxdevice show DIR [--json]
//
// Exit status: 0 done, 1 failed (one line on stderr), 2 bad usage.
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "sim/device_state.h"
#include "sim/image_format.h"
#include "tools/device_key.h"

namespace {

namespace fs = std::filesystem;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
// Far beyond any image of the device, and below what a 32-bit length can say.
constexpr std::uint64_t kMaxImageSize = 512u * 1024 * 1024;
constexpr std::uint32_t kFactorySize = 8192;

constexpr std::string_view kUsage =
    "usage: vxdevice init DIR [--boot doc|miniboot] [--hardware ID] [--key NAME.pub]\n"
    "       vxdevice image --type NAME --hardware ID --version MAJOR.MINOR [--size N]\n"
    "                      [--date YYYY-MM-DD] [--revision 1|2] [--tag TEXT] -o FILE\n"
    "       vxdevice show DIR [--json]\n"
    "\n"
    "init   makes a simulated device in DIR (which must not exist or be empty): its\n"
    "       board support library, zlib.dll, registry, settings and factory images 1.0;\n"
    "       --key provisions the public key of signed packages (PackageKey)\n"
    "image  writes a flash image in the simulated image format to FILE\n"
    "show   prints the device's boot chain, flash, lights, keyboard, display, GD items,\n"
    "       last reset and storage card\n";

int Fail(const std::string& subject, std::string_view reason) {
  std::cerr << "vxdevice: " << subject << ": " << reason << "\n";
  return kExitFailed;
}

int Usage(std::string_view reason) {
  std::cerr << "vxdevice: " << reason << "\n"
            << "Try 'vxdevice --help'.\n";
  return kExitUsage;
}

std::optional<std::uint32_t> ParseHardware(std::string_view text) {
  auto value = sim::ParseNumber(text);
  if (!value || *value > 0xFFFFFFFFu) return {};
  return static_cast<std::uint32_t>(*value);
}

// Options of the form "--name value" after the positional arguments.
struct Options {
  std::vector<std::string> positional;
  std::vector<std::pair<std::string, std::string>> named;
  std::vector<std::string> flags;
};

// Splits argv; `valued` lists the options that take a value.  Answers an error text for
// an unknown option or a missing value.
std::optional<std::string> SplitOptions(int argc, char** argv,
                                        const std::vector<std::string_view>& valued,
                                        const std::vector<std::string_view>& flags,
                                        Options* options) {
  for (int i = 2; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg.size() < 2 || arg[0] != '-') {
      options->positional.emplace_back(arg);
    } else if (std::find(valued.begin(), valued.end(), arg) != valued.end()) {
      if (i + 1 >= argc) return "option " + std::string(arg) + " needs a value";
      options->named.emplace_back(arg, argv[++i]);
    } else if (std::find(flags.begin(), flags.end(), arg) != flags.end()) {
      options->flags.emplace_back(arg);
    } else {
      return "unknown option " + std::string(arg);
    }
  }
  return {};
}

std::optional<std::string> Named(const Options& options, std::string_view name) {
  std::optional<std::string> value;
  for (const auto& [key, text] : options.named) {
    if (key == name) value = text;
  }
  return value;
}

bool WriteFile(const fs::path& file, const void* bytes, std::size_t size) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(static_cast<const char*>(bytes), static_cast<std::streamsize>(size));
  out.flush();
  return static_cast<bool>(out);
}

std::string RegistryText() {
  return "REGEDIT4\n"
         "\n"
         "; Options of the software updater: 1 on, 0 off.\n"
         "[HKEY_LOCAL_MACHINE\\VX_Config\\VXUpdate]\n"
         "; Write every image even when flash holds the same one already.\n"
         "\"ForceFullUpgrade\"=dword:00000000\n"
         "; Compare each image in flash with the package again right after writing it.\n"
         "\"VerifyAfterWrite\"=dword:00000000\n"
         "; Let the device check the CRC of flash images it finds up to date.\n"
         "\"CheckCRC\"=dword:00000001\n"
         "; Verify every image once all are written.\n"
         "\"FullVerify\"=dword:00000001\n"
         "; Check the CRC of the whole package before using it.\n"
         "\"CheckBinCRC\"=dword:00000000\n"
         "; The folder of VXUpdate.bin when it is not \\Storage Card\\.\n"
         ";\"CustomPath\"=\"\\\\Storage Card\"\n";
}

// Fills a fresh folder with everything a device has; answers an error text.
std::optional<std::string> PopulateDevice(const fs::path& root, const sim::Settings& settings,
                                          const std::string& keyLine) {
  std::error_code error;
  fs::create_directories(root / "Windows", error);
  fs::create_directories(root / "Storage Card", error);
  fs::create_directories(sim::HardwareDir(root) / "flash", error);
  if (error) return root.string() + ": " + error.message();
  fs::copy_file(VXSIM_BSP_LIBRARY, root / "Windows" / "vx_bsp_api.dll", error);
  if (error) return std::string(VXSIM_BSP_LIBRARY) + ": " + error.message();
  fs::copy_file(VXU_HOST_ZLIB, root / "Windows" / "zlib.dll", error);
  if (error) return std::string(VXU_HOST_ZLIB) + ": " + error.message();
  std::string registry = RegistryText() + keyLine;
  if (!WriteFile(root / "registry.reg", registry.data(), registry.size())) {
    return (root / "registry.reg").string() + ": cannot write";
  }
  bool ok = sim::WriteStateFile(root, "settings", sim::SettingsText(settings)) &&
            sim::WriteStateFile(root, "green_led", "off\n") &&
            sim::WriteStateFile(root, "red_led", "off\n") &&
            sim::WriteStateFile(root, "keyboard", "enabled\n") &&
            sim::WriteStateFile(root, "display", "on\n") &&
            sim::WriteStateFile(root, "exclusive_access", "released\n") &&
            sim::WriteStateFile(root, "gd_items", "");
  if (!ok) return sim::HardwareDir(root).string() + ": cannot write the device state";
  for (std::uint32_t type : sim::BootImages(settings.boot)) {
    sim::ImageHeader header;
    header.type = type;
    header.hardware = settings.hardware;
    header.version = 1u << 16;
    header.length = kFactorySize;
    header.date = {2020, 1, 1};
    header.tag = "factory";
    if (!sim::StoreFlashImage(root, sim::BuildImage(header))) {
      return sim::FlashFile(root, type).string() + ": cannot write";
    }
  }
  return {};
}

int Init(int argc, char** argv) {
  Options options;
  if (auto error = SplitOptions(argc, argv, {"--boot", "--hardware", "--key"}, {}, &options)) {
    return Usage(*error);
  }
  if (options.positional.size() != 1) return Usage("init needs one DIR");
  sim::Settings settings;
  if (auto boot = Named(options, "--boot")) {
    if (*boot != "doc" && *boot != "miniboot") return Usage("--boot is doc or miniboot");
    settings.boot = *boot == "doc" ? sim::BootChain::kDoc : sim::BootChain::kMiniboot;
  }
  if (auto hardware = Named(options, "--hardware")) {
    auto id = ParseHardware(*hardware);
    if (!id) return Fail(*hardware, "not a hardware ID (a number)");
    settings.hardware = *id;
  }
  std::string keyLine, keyError;
  if (auto key = Named(options, "--key")) {
    auto line = PackageKeyLine(*key, &keyError);
    if (!line) return Fail(*key, keyError);
    keyLine = *line;
  }
  const std::string& given = options.positional[0];
  std::error_code error;
  // "dev/" and "." name the folder itself: the device is built beside it.
  fs::path root = fs::absolute(given, error).lexically_normal();
  if (root.filename().empty()) root = root.parent_path();
  if (fs::exists(root, error) && (!fs::is_directory(root, error) || !fs::is_empty(root, error))) {
    return Fail(given, "exists and is not an empty folder");
  }
  fs::path parent = root.parent_path();
  fs::create_directories(parent, error);
  if (error) return Fail(parent.string(), error.message());
  // The device is built beside its final place and renamed at the end, so a failed
  // init never leaves half a device behind.
  fs::path temporary = parent / ("." + root.filename().string() + ".vxdevice-init");
  fs::remove_all(temporary, error);
  auto failure = PopulateDevice(temporary, settings, keyLine);
  if (!failure) {
    fs::rename(temporary, root, error);
    if (error) failure = given + ": " + error.message();
  }
  if (failure) {
    fs::remove_all(temporary, error);
    std::cerr << "vxdevice: " << *failure << "\n";
    return kExitFailed;
  }
  return kExitOk;
}

int Image(int argc, char** argv) {
  Options options;
  if (auto error = SplitOptions(
          argc, argv,
          {"--type", "--hardware", "--version", "--size", "--date", "--revision", "--tag", "-o"},
          {}, &options)) {
    return Usage(*error);
  }
  if (!options.positional.empty()) return Usage("image takes no DIR, only options");
  auto type = Named(options, "--type");
  auto hardware = Named(options, "--hardware");
  auto version = Named(options, "--version");
  auto output = Named(options, "-o");
  if (!type || !hardware || !version || !output) {
    return Usage("image needs --type, --hardware, --version and -o");
  }
  sim::ImageHeader header;
  header.type = sim::ImageTypeFromName(*type);
  if (header.type == 0) return Fail(*type, "not an image type");
  auto id = ParseHardware(*hardware);
  if (!id) return Fail(*hardware, "not a hardware ID (a number)");
  header.hardware = *id;
  auto number = sim::ParseVersion(*version);
  if (!number) return Fail(*version, "not a version MAJOR.MINOR");
  header.version = *number;
  if (auto size = Named(options, "--size")) {
    auto bytes = sim::ParseNumber(*size);
    if (!bytes || *bytes < sim::kHeaderSize || *bytes > kMaxImageSize) {
      return Fail(*size, "image size must be 512 to 536870912 bytes");
    }
    header.length = static_cast<std::uint32_t>(*bytes);
  } else {
    header.length = kFactorySize;
  }
  if (auto date = Named(options, "--date")) {
    auto parsed = sim::ParseDate(*date);
    if (!parsed) return Fail(*date, "not a date YYYY-MM-DD from 1970 on");
    header.date = *parsed;
  } else {
    header.date = {2024, 1, 1};
  }
  if (auto revision = Named(options, "--revision")) {
    if (*revision != "1" && *revision != "2") return Fail(*revision, "header revision is 1 or 2");
    header.revision = *revision == "1" ? 1 : 2;
  }
  if (auto tag = Named(options, "--tag")) {
    if (tag->size() > sim::kBuildTagSize) return Fail(*tag, "build tag longer than 40 bytes");
    header.tag = *tag;
  } else {
    header.tag = std::string(sim::ImageTypeName(header.type)) + " " + *version;
  }
  auto image = sim::BuildImage(header);
  fs::path file = *output;
  fs::path temporary = file;
  temporary += ".tmp";
  std::error_code error;
  if (!WriteFile(temporary, image.data(), image.size())) {
    fs::remove(temporary, error);
    return Fail(file.string(), "cannot write");
  }
  fs::rename(temporary, file, error);
  if (error) {
    fs::remove(temporary, error);
    return Fail(file.string(), error.message());
  }
  return kExitOk;
}

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string JsonOrNull(const std::optional<std::string>& text) {
  return text ? JsonString(*text) : "null";
}

std::string StateOr(const fs::path& root, std::string_view name, std::string_view fallback) {
  auto value = sim::ReadStateFile(root, name);
  return value ? *value : std::string(fallback);
}

int Show(int argc, char** argv) {
  Options options;
  if (auto error = SplitOptions(argc, argv, {}, {"--json"}, &options)) return Usage(*error);
  if (options.positional.size() != 1) return Usage("show needs one DIR");
  bool json = !options.flags.empty();
  fs::path root = options.positional[0];
  std::string error;
  auto settings = sim::ReadSettings(root, &error);
  if (!settings) {
    std::cerr << "vxdevice: " << error << "\n";
    return kExitFailed;
  }
  auto gdItems = sim::ReadGdItems(root);
  if (!gdItems) {
    return Fail((sim::HardwareDir(root) / "gd_items").string(), "a line is not 'ITEM = VALUE'");
  }
  struct Shown {
    std::string name;
    sim::FlashImage image;
  };
  std::vector<Shown> flash;
  for (std::uint32_t type = sim::kFirstImageType; type <= sim::kLastImageType; ++type) {
    auto image = sim::ReadFlashSlot(root, type);
    if (image.state != sim::FlashState::kAbsent) {
      flash.push_back({std::string(sim::ImageTypeName(type)), image});
    }
  }
  std::vector<std::string> card;
  std::error_code fsError;
  for (const auto& entry : fs::directory_iterator(root / "Storage Card", fsError)) {
    card.push_back(entry.path().filename().string());
  }
  std::sort(card.begin(), card.end());
  std::string chain;
  for (std::uint32_t type : sim::BootImages(settings->boot)) {
    chain += (chain.empty() ? "" : ", ") + std::string(sim::ImageTypeName(type));
  }
  std::string green = StateOr(root, "green_led", "off");
  std::string red = StateOr(root, "red_led", "off");
  std::string keyboard = StateOr(root, "keyboard", "enabled");
  std::string display = StateOr(root, "display", "on");
  std::string exclusive = StateOr(root, "exclusive_access", "released");
  auto lastReset = sim::ReadStateFile(root, "last_reset");
  auto crcState = [](const sim::FlashImage& image) { return image.bodyCrcOk ? "ok" : "damaged"; };

  std::string out;
  if (json) {
    out += "{\"root\":" + JsonString(root.string());
    out += ",\"boot\":" + JsonString(sim::BootChainName(settings->boot));
    out += ",\"hardware\":" + std::to_string(settings->hardware) + ",\"flash\":[";
    for (std::size_t i = 0; i < flash.size(); ++i) {
      const auto& [name, image] = flash[i];
      out += i ? "," : "";
      out += "{\"type\":" + JsonString(name);
      out += ",\"version\":" +
             (image.header ? JsonString(sim::VersionText(image.header->version)) : "null");
      out += ",\"date\":" + (image.header ? JsonString(sim::DateText(image.header->date)) : "null");
      out += ",\"length\":" + (image.header ? std::to_string(image.header->length) : "null");
      out += ",\"size\":" + std::to_string(image.size);
      out += ",\"crc\":" + JsonString(crcState(image)) + "}";
    }
    out += "],\"lights\":{\"green\":" + JsonString(green) + ",\"red\":" + JsonString(red) + "}";
    out += ",\"keyboard\":" + JsonString(keyboard) + ",\"display\":" + JsonString(display);
    out += ",\"exclusive_access\":" + JsonString(exclusive) + ",\"gd_items\":{";
    bool first = true;
    for (auto [item, value] : *gdItems) {
      out += (first ? "\"" : ",\"") + std::to_string(item) + "\":" + std::to_string(value);
      first = false;
    }
    out += "},\"last_reset\":" + JsonOrNull(lastReset) + ",\"storage_card\":[";
    for (std::size_t i = 0; i < card.size(); ++i) out += (i ? "," : "") + JsonString(card[i]);
    out += "]}\n";
  } else {
    out += "Device:        " + root.string() + "\n";
    out +=
        "Boot:          " + std::string(sim::BootChainName(settings->boot)) + " (" + chain + ")\n";
    out += "Hardware:      " + std::to_string(settings->hardware) + "\n";
    out += "Flash:\n";
    if (flash.empty()) out += "  (erased)\n";
    for (const auto& [name, image] : flash) {
      char line[160];
      if (image.header) {
        std::snprintf(line, sizeof line, "  %-18s %-8s %s %10u bytes  %s\n", name.c_str(),
                      sim::VersionText(image.header->version).c_str(),
                      sim::DateText(image.header->date).c_str(), image.header->length,
                      crcState(image));
      } else {
        std::snprintf(line, sizeof line, "  %-18s (unreadable, %ju bytes)  damaged\n", name.c_str(),
                      image.size);
      }
      out += line;
    }
    out += "Lights:        green " + green + ", red " + red + "\n";
    out += "Keyboard:      " + keyboard + "\n";
    out += "Display:       " + display + "\n";
    out += "Exclusive:     " + exclusive + "\n";
    out += "GD items:     ";
    if (gdItems->empty()) out += " none";
    for (auto [item, value] : *gdItems) {
      out += " " + std::to_string(item) + " = " + std::to_string(value);
    }
    out += "\nLast reset:    " + (lastReset ? *lastReset : std::string("none")) + "\n";
    out += "Storage Card: ";
    if (card.empty()) out += " empty";
    for (const auto& name : card) out += " " + name;
    out += "\n";
  }
  std::cout << out;
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  std::string_view command = argc > 1 ? argv[1] : "";
  bool help = command == "help";
  for (int i = 1; i < argc; ++i) {
    help = help || std::string_view(argv[i]) == "--help" || std::string_view(argv[i]) == "-h";
  }
  if (help) {
    std::cout << kUsage;
    return kExitOk;
  }
  if (command == "init") return Init(argc, argv);
  if (command == "image") return Image(argc, argv);
  if (command == "show") return Show(argc, argv);
  return Usage(command.empty() ? "no command" : "unknown command " + std::string(command));
}
