// vxdevice: makes and shows simulated devices and their flash images.
//
//   vxdevice init DIR [--boot doc|miniboot] [--hardware ID] [--key NAME.pub]...
//   vxdevice image --type NAME --hardware ID --version V [--size N] [--date YYYY-MM-DD]
//                  [--revision 1|2] [--tag TEXT] -o FILE
//   vxdevice show DIR [--json]
//
// Exit status: 0 done, 1 failed (one line on stderr), 2 a usage mistake.
#include <cerrno>
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

#include <CLI/CLI.hpp>

#include "sim/device_state.h"
#include "sim/image_format.h"
#include "tools/common/common.h"
#include "tools/device/device.h"

namespace {

namespace fs = std::filesystem;

using tools::kExitFailed;
using tools::kExitOk;
using tools::kExitUsage;
// Far beyond any image of the device, and below what a 32-bit length can say.
constexpr std::uint64_t kMaxImageSize = 512u * 1024 * 1024;
constexpr std::uint32_t kDefaultImageSize = 8192;

using tools::Fail;
using tools::Usage;

std::optional<std::uint32_t> ParseHardware(std::string_view text) {
  auto value = sim::ParseNumber(text);
  if (!value || *value > 0xFFFFFFFFu) return {};
  return static_cast<std::uint32_t>(*value);
}

// What the command line gave; every option is text until its command checks it.
struct Arguments {
  std::string dir;
  std::optional<std::string> boot, hardware;
  std::vector<std::string> keys;
  std::optional<std::string> type, version, size, date, revision, tag, output;
  bool json = false;
  const CLI::App* command = nullptr;  // for the pointer to its help after a mistake
};

int Init(const Arguments& args) {
  tools::DeviceSetup setup;
  if (args.boot) {
    const auto boot = tools::Choice(*args.boot, {"doc", "miniboot"});
    if (!boot) return Usage(*args.command, "--boot", "'" + *args.boot + "' is not doc or miniboot");
    setup.settings.boot = *boot == "doc" ? sim::BootChain::kDoc : sim::BootChain::kMiniboot;
  }
  if (args.hardware) {
    auto id = ParseHardware(*args.hardware);
    if (!id) return Usage(*args.command, "--hardware", "'" + *args.hardware + "' is not a hardware ID (a number)");
    setup.settings.hardware = *id;
  }
  if (args.keys.size() > tools::kMaxPackageKeys) {
    return Usage(*args.command, "--key", "may be given at most four times");
  }
  std::vector<tools::RawKey> keys;
  for (const std::string& file : args.keys) {
    std::string error;
    const std::optional<tools::RawKey> key = tools::ReadPackageKey(file, &error);
    if (!key) return Fail(file, error);
    keys.push_back(*key);
  }
  if (!keys.empty()) setup.registry.extra = tools::PackageKeyLine(keys);
  setup.flash = tools::FactoryImages(setup.settings);
  if (auto failure = tools::MakeDevice(args.dir, setup)) return Fail("", *failure);
  std::cout << args.dir << ": device made\n";
  return kExitOk;
}

int Image(const Arguments& args) {
  const CLI::App& command = *args.command;
  // Its --version names the image's version; alone, it asks for the tool's, as elsewhere.
  if (args.version && args.version->empty()) {
    if (args.type || args.hardware || args.output || args.size || args.date || args.revision || args.tag) {
      return Usage(command, "--version", "needs a value");
    }
    std::cout << "vxdevice " << tools::Version() << "\n";
    return kExitOk;
  }
  for (const auto& [option, value] : {std::pair{"--type", &args.type}, std::pair{"--hardware", &args.hardware},
                                      std::pair{"--version", &args.version}, std::pair{"-o", &args.output}}) {
    if (!*value) return Usage(command, option, "missing");
  }
  sim::ImageHeader header;
  header.type = sim::ImageTypeFromName(*args.type);
  if (header.type == 0) return Usage(command, "--type", "'" + *args.type + "' is not an image type");
  auto id = ParseHardware(*args.hardware);
  if (!id) return Usage(command, "--hardware", "'" + *args.hardware + "' is not a hardware ID (a number)");
  header.hardware = *id;
  auto number = sim::ParseVersion(*args.version);
  if (!number) return Usage(command, "--version", "'" + *args.version + "' is not a version MAJOR.MINOR");
  header.version = *number;
  header.length = kDefaultImageSize;
  if (args.size) {
    auto bytes = sim::ParseNumber(*args.size);
    if (!bytes || *bytes < sim::kHeaderSize || *bytes > kMaxImageSize) {
      return Usage(command, "--size", "'" + *args.size + "': an image holds 512 to 536870912 bytes");
    }
    header.length = static_cast<std::uint32_t>(*bytes);
  }
  header.date = {2024, 1, 1};
  if (args.date) {
    auto parsed = sim::ParseDate(*args.date);
    if (!parsed) return Usage(command, "--date", "'" + *args.date + "' is not a date YYYY-MM-DD from 1970 on");
    header.date = *parsed;
  }
  if (args.revision) {
    if (*args.revision != "1" && *args.revision != "2") {
      return Usage(command, "--revision", "'" + *args.revision + "': the header revision is 1 or 2");
    }
    header.revision = *args.revision == "1" ? 1 : 2;
  }
  header.tag = std::string(sim::ImageTypeName(header.type)) + " " + *args.version;
  if (args.tag) {
    if (args.tag->size() > sim::kBuildTagSize) return Usage(command, "--tag", "longer than 40 bytes");
    header.tag = *args.tag;
  }
  const std::vector<std::uint8_t> image = sim::BuildImage(header);
  if (auto failure = tools::WriteWholeFile(*args.output, image)) return Fail(*args.output, *failure);
  return kExitOk;
}

int Show(const Arguments& args) {
  std::error_code fsError;
  if (!fs::is_directory(args.dir, fsError)) {
    return Fail(args.dir, tools::SystemReason(fs::exists(args.dir, fsError) ? ENOTDIR : ENOENT));
  }
  std::string error;
  auto device = tools::ReadDevice(args.dir, &error);
  if (!device) return Fail("", error);
  if (args.json) {
    std::cout << tools::JsonText(tools::DeviceJson(*device)) << "\n";
    return kExitOk;
  }
  std::string chain;
  for (std::uint32_t type : sim::BootImages(device->settings.boot)) {
    chain += (chain.empty() ? "" : ", ") + std::string(sim::ImageTypeName(type));
  }
  auto crcState = [](const sim::FlashImage& image) { return image.bodyCrcOk ? "ok" : "damaged"; };
  std::string out;
  out += "Device:        " + device->root.string() + "\n";
  out += "Boot:          " + std::string(sim::BootChainName(device->settings.boot)) + " (" + chain +
         ")\n";
  out += "Hardware:      " + std::to_string(device->settings.hardware) + "\n";
  out += "Flash:\n";
  if (device->flash.empty()) out += "  (erased)\n";
  for (const auto& [name, image] : device->flash) {
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
  out += "Lights:        green " + device->green + ", red " + device->red + "\n";
  out += "Keyboard:      " + device->keyboard + "\n";
  out += "Display:       " + device->display + "\n";
  out += "Exclusive:     " + device->exclusive + "\n";
  out += "GD items:     ";
  if (device->gdItems.empty()) out += " none";
  for (auto [item, value] : device->gdItems) {
    out += " " + std::to_string(item) + " = " + std::to_string(value);
  }
  out += "\nLast reset:    " + device->lastReset.value_or("none") + "\n";
  out += "Storage Card: ";
  if (device->storageCard.empty()) out += " empty";
  for (const auto& name : device->storageCard) out += " " + name;
  out += "\n";
  std::cout << out;
  return kExitOk;
}

}  // namespace

// The command line, all in one place.
int main(int argc, char** argv) {
  CLI::App app("Makes simulated devices and flash images for them, and shows a device's state.",
               "vxdevice");
  tools::SetUpHelp(app);
  Arguments args;
  CLI::App* init = app.add_subcommand("init", "make a simulated device");
  tools::SetUpHelp(*init,
      "Makes a simulated device in DIR, which must not exist or be empty (its folder must\n"
      "exist): its board support library, zlib.dll, registry, settings and the factory\n"
      "images 1.0 of its boot chain.");
  init->add_option("DIR", args.dir, "the device folder")->required();
  init->add_option("--boot", args.boot, "doc or miniboot (default: miniboot)")->type_name("CHAIN");
  init->add_option("--hardware", args.hardware, "the hardware ID, decimal or 0x hex (default: 100)")
      ->type_name("ID");
  // One file per --key, so that a key given before DIR never takes DIR for a key.
  init->add_option("--key", args.keys,
                   "the public key (PEM, NAME.pub of 'vxpack keygen') of signed packages, kept as "
                   "the registry value PackageKey; up to four times, for packages signed with "
                   "any of the keys")
      ->type_name("NAME.pub")
      ->allow_extra_args(false);
  CLI::App* image = app.add_subcommand("image", "write a flash image");
  tools::SetUpHelp(*image,
                   "Writes one flash image in the simulated device's image format to FILE.\n"
                   "--version without a value prints the version of vxdevice.",
                   false);
  image->add_option("--type", args.type, "the image type: its name in any case, with or without "
                    "spaces, or its code (required)")->type_name("NAME");
  image->add_option("--hardware", args.hardware, "the hardware ID it is built for (required)")->type_name("ID");
  image->add_option("--version", args.version, "the image's version (required)")
      ->type_name("MAJOR.MINOR")
      ->expected(0, 1);
  image->add_option("--size", args.size, "the length in bytes, header included (default: 8192)")->type_name("N");
  image->add_option("--date", args.date, "the build date (default: 2024-01-01)")->type_name("YYYY-MM-DD");
  image->add_option("--revision", args.revision, "the header revision, 1 or 2 (default: 1)")->type_name("N");
  image->add_option("--tag", args.tag, "the build tag, up to 40 bytes (default: 'TYPE VERSION')")
      ->type_name("TEXT");
  image->add_option("-o,--output", args.output, "the image file to write (required)")->type_name("FILE");
  CLI::App* show = app.add_subcommand("show", "show a device's state");
  tools::SetUpHelp(*show,
      "Prints the device's boot chain, hardware, each image in flash, lights, keyboard,\n"
      "display, exclusive access, GD items, last reset and the files on its storage card.");
  show->add_option("DIR", args.dir, "the device folder")->required();
  show->add_flag("--json", args.json, "print the same as one JSON object");
  if (const auto status = tools::ParseCommandLine(app, argc, argv)) return *status;
  if (init->parsed()) {
    args.command = init;
    return Init(args);
  }
  if (image->parsed()) {
    args.command = image;
    return Image(args);
  }
  return Show(args);
}
