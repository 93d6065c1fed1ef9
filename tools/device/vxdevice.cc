// vxdevice: makes and shows simulated devices and their flash images.
//
//   vxdevice init DIR [--boot doc|miniboot] [--hardware ID] [--key NAME.pub]
//   vxdevice image --type NAME --hardware ID --version V [--size N] [--date YYYY-MM-DD]
//                  [--revision 1|2] [--tag TEXT] -o FILE
//   vxdevice show DIR [--json]
//
// Exit status: 0 done, 1 failed (one line on stderr), 2 bad usage.
#include <CLI/CLI.hpp>
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

constexpr std::string_view kUsage =
    "usage: vxdevice init DIR [--boot doc|miniboot] [--hardware ID] [--key NAME.pub]\n"
    "       vxdevice image --type NAME --hardware ID --version MAJOR.MINOR [--size N]\n"
    "                      [--date YYYY-MM-DD] [--revision 1|2] [--tag TEXT] -o FILE\n"
    "       vxdevice show DIR [--json]\n"
    "\n"
    "init   makes a simulated device in DIR (which must not exist or be empty): its\n"
    "       board support library, zlib.dll, registry, settings and factory images 1.0;\n"
    "       --key provisions the public key of signed packages (PackageKey); given up\n"
    "       to four times, packages signed with any of the keys are taken\n"
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

// What the command line gave; every option is text until its command checks it.
struct Arguments {
  std::string dir;
  std::optional<std::string> boot, hardware;
  std::vector<std::string> keys;
  std::optional<std::string> type, version, size, date, revision, tag, output;
  bool json = false;
};

bool WriteFile(const fs::path& file, const void* bytes, std::size_t size) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(static_cast<const char*>(bytes), static_cast<std::streamsize>(size));
  out.flush();
  return static_cast<bool>(out);
}

int Init(const Arguments& args) {
  tools::DeviceSetup setup;
  if (args.boot) {
    if (*args.boot != "doc" && *args.boot != "miniboot") return Usage("--boot is doc or miniboot");
    setup.settings.boot = *args.boot == "doc" ? sim::BootChain::kDoc : sim::BootChain::kMiniboot;
  }
  if (args.hardware) {
    auto id = ParseHardware(*args.hardware);
    if (!id) return Fail(*args.hardware, "not a hardware ID (a number)");
    setup.settings.hardware = *id;
  }
  if (!args.keys.empty()) {
    if (args.keys.size() > tools::kMaxPackageKeys) {
      return Usage("--key may be given at most four times");
    }
    std::string error;
    fs::path culprit;
    const std::vector<fs::path> files(args.keys.begin(), args.keys.end());
    auto line = tools::PackageKeyLine(files, &error, &culprit);
    if (!line) return Fail(culprit.string(), error);
    setup.registry.extra = *line;
  }
  setup.flash = tools::FactoryImages(setup.settings);
  if (auto failure = tools::MakeDevice(args.dir, setup)) {
    std::cerr << "vxdevice: " << *failure << "\n";
    return kExitFailed;
  }
  return kExitOk;
}

int Image(const Arguments& args) {
  sim::ImageHeader header;
  header.type = sim::ImageTypeFromName(*args.type);
  if (header.type == 0) return Fail(*args.type, "not an image type");
  auto id = ParseHardware(*args.hardware);
  if (!id) return Fail(*args.hardware, "not a hardware ID (a number)");
  header.hardware = *id;
  auto number = sim::ParseVersion(*args.version);
  if (!number) return Fail(*args.version, "not a version MAJOR.MINOR");
  header.version = *number;
  header.length = kDefaultImageSize;
  if (args.size) {
    auto bytes = sim::ParseNumber(*args.size);
    if (!bytes || *bytes < sim::kHeaderSize || *bytes > kMaxImageSize) {
      return Fail(*args.size, "image size must be 512 to 536870912 bytes");
    }
    header.length = static_cast<std::uint32_t>(*bytes);
  }
  header.date = {2024, 1, 1};
  if (args.date) {
    auto parsed = sim::ParseDate(*args.date);
    if (!parsed) return Fail(*args.date, "not a date YYYY-MM-DD from 1970 on");
    header.date = *parsed;
  }
  if (args.revision) {
    if (*args.revision != "1" && *args.revision != "2") {
      return Fail(*args.revision, "header revision is 1 or 2");
    }
    header.revision = *args.revision == "1" ? 1 : 2;
  }
  header.tag = std::string(sim::ImageTypeName(header.type)) + " " + *args.version;
  if (args.tag) {
    if (args.tag->size() > sim::kBuildTagSize) return Fail(*args.tag, "build tag longer than 40 bytes");
    header.tag = *args.tag;
  }
  auto image = sim::BuildImage(header);
  fs::path file = *args.output;
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

int Show(const Arguments& args) {
  std::string error;
  auto device = tools::ReadDevice(args.dir, &error);
  if (!device) {
    std::cerr << "vxdevice: " << error << "\n";
    return kExitFailed;
  }
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
  CLI::App app("vxdevice", "vxdevice");
  app.require_subcommand(1);
  Arguments args;
  CLI::App* init = app.add_subcommand("init");
  init->add_option("DIR", args.dir)->required();
  init->add_option("--boot", args.boot);
  init->add_option("--hardware", args.hardware);
  // One file per --key, so that a key given before DIR never takes DIR for a key.
  init->add_option("--key", args.keys)->allow_extra_args(false);
  CLI::App* image = app.add_subcommand("image");
  image->add_option("--type", args.type)->required();
  image->add_option("--hardware", args.hardware)->required();
  image->add_option("--version", args.version)->required();
  image->add_option("--size", args.size);
  image->add_option("--date", args.date);
  image->add_option("--revision", args.revision);
  image->add_option("--tag", args.tag);
  image->add_option("-o", args.output)->required();
  CLI::App* show = app.add_subcommand("show");
  show->add_option("DIR", args.dir)->required();
  show->add_flag("--json", args.json);
  app.add_subcommand("help");
  if (const auto status = tools::ParseCommandLine(app, argc, argv, kUsage)) return *status;
  if (app.got_subcommand("help")) {
    std::cout << kUsage;
    return kExitOk;
  }
  if (init->parsed()) return Init(args);
  if (image->parsed()) return Image(args);
  return Show(args);
}
