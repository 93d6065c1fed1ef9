// vxpack: builds update packages and reports on them.
//
//   vxpack build -o FILE --engine LIB [images...]   write a package
//   vxpack info FILE [--json]                        show and check a package
//   vxpack keygen -o NAME                            make a signing key pair
//   vxpack sign --key NAME.key [--updater|--package] FILE    write FILE.sig
//   vxpack verify --pub NAME.pub [--updater|--package] FILE  check FILE.sig
//
// The command line is read with CLI11 in main(), at the end of this file.
//
// Exit codes: 0 success, 1 failure, 2 bad usage.
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>

#include "tools/pack/pack.h"

namespace vxpack {

void Complain(std::string_view subject, std::string_view reason) {
  std::cerr << "vxpack: " << subject << ": " << reason << '\n';
}

std::uint32_t Crc32(std::uint32_t crc, std::span<const std::uint8_t> bytes) {
  uLong value = crc;
  // zlib takes the length as uInt: feed very large spans in slices.
  while (!bytes.empty()) {
    const std::size_t slice = std::min<std::size_t>(bytes.size(), 1u << 30);
    value = crc32(value, bytes.data(), static_cast<uInt>(slice));
    bytes = bytes.subspan(slice);
  }
  return static_cast<std::uint32_t>(value);
}

std::uint32_t Crc32Combine(std::uint32_t crcA, std::uint32_t crcB, std::uint64_t lengthB) {
  return static_cast<std::uint32_t>(
      crc32_combine64(crcA, crcB, static_cast<z_off64_t>(lengthB)));
}

std::optional<std::uint32_t> FileCrc(const fs::path& file, std::uint64_t offset,
                                     std::uint64_t length) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  in.seekg(static_cast<std::streamoff>(offset));
  if (!in) return std::nullopt;
  std::vector<std::uint8_t> buffer(1u << 20);
  std::uint32_t crc = 0;
  while (length > 0) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(length, buffer.size()));
    in.read(reinterpret_cast<char*>(buffer.data()), static_cast<std::streamsize>(want));
    const auto got = static_cast<std::size_t>(in.gcount());
    if (got != want) return std::nullopt;
    crc = Crc32(crc, std::span(buffer.data(), got));
    length -= got;
  }
  return crc;
}

std::string Hex32(std::uint32_t value) {
  std::array<char, 16> text{};
  std::snprintf(text.data(), text.size(), "0x%08x", static_cast<unsigned>(value));
  return text.data();
}

namespace {

constexpr std::string_view kUsage =
    "Usage: vxpack COMMAND [OPTIONS]\n"
    "Builds update packages (VXUpdate.bin) and reports on them.\n"
    "\n"
    "Commands:\n"
    "  build   write a package from an engine library and flash images\n"
    "  info    show a package's header and directory and check it as the updater does\n"
    "  keygen  make an Ed25519 key pair for signing packages and updaters\n"
    "  sign    write FILE.sig, the signature a device holding the public key checks\n"
    "  verify  check FILE.sig as a device holding the public key does\n"
    "\n"
    "Run 'vxpack COMMAND --help' for the options of a command.\n"
    "Exit codes: 0 success, 1 failure, 2 bad usage.\n";

constexpr std::string_view kBuildUsage =
    "Usage: vxpack build -o FILE --engine LIB [OPTIONS]\n"
    "Writes an update package from an engine library and flash images.\n"
    "\n"
    "  -o, --output FILE     the package to write (replaced atomically)\n"
    "  --engine LIB          the update engine library (required)\n"
    "  --miniboot F          Miniboot image\n"
    "  --spl F               SPL image\n"
    "  --ipl F               IPL image; up to three, in variant order 0, 1, 2\n"
    "  --bootloader F        Bootloader image (every update needs one)\n"
    "  --wince F             WinCE image\n"
    "  --mobile-ipl F        Mobile IPL image (header length 108, no WinCE)\n"
    "  --mobile-disk F       Mobile Disk Image (header length 108, no WinCE)\n"
    "  --extra F             bytes carried in the payload that the updater does not use\n"
    "  --header-length N     0 to 108 (default 108); below 92 one IPL variant only,\n"
    "                        below 108 no mobile images\n"
    "  -h, --help            this text\n";

constexpr std::string_view kInfoUsage =
    "Usage: vxpack info FILE [--json]\n"
    "Shows a package's header and directory, then checks it as the updater does:\n"
    "header length, payload length, payload CRC and engine CRC.  Also warns about\n"
    "what the updater does not check.  Exit 0 when the checks pass, 1 otherwise.\n"
    "\n"
    "  --json      print the same as one JSON object\n"
    "  -h, --help  this text\n";

constexpr std::string_view kKeygenUsage =
    "Usage: vxpack keygen -o NAME\n"
    "Makes an Ed25519 key pair: NAME.key (the secret key, readable by its owner only) and\n"
    "NAME.pub (the public key for 'vxdevice init --key'), 32 raw bytes each.  Existing\n"
    "files are not overwritten.\n";
constexpr std::string_view kSignUsage =
    "Usage: vxpack sign --key NAME.key [--updater | --package] FILE\n"
    "Writes FILE.sig (64 bytes): the Ed25519 signature of FILE as an update package or,\n"
    "with --updater, as an updater executable.  A file named VXUpdater.exe (in any case)\n"
    "is signed as an updater unless --package says otherwise.  Each signature holds only\n"
    "for what it was made for: a device never takes a package's signature for an\n"
    "updater's, or the other way round.\n";
constexpr std::string_view kVerifyUsage =
    "Usage: vxpack verify --pub NAME.pub [--updater | --package] FILE\n"
    "Checks FILE.sig as a device holding NAME.pub does, as a package or as an updater\n"
    "(chosen as for 'vxpack sign').  Prints 'FILE: ok' and exits 0, or names the reason\n"
    "on standard error and exits 1.\n";

// An option's value may not be empty: "--spl=" is a slip, not a file.
const CLI::Validator kNotEmpty(
    [](const std::string& value) { return value.empty() ? std::string("empty value") : std::string(); },
    "FILE");

}  // namespace
}  // namespace vxpack

// The command line, all in one place.
int main(int argc, char** argv) {
  using namespace vxpack;
  CLI::App app("vxpack", "vxpack");
  app.require_subcommand(1);
  // Each option once; --ipl up to three times, in variant order.
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::Throw);
  BuildArguments build;
  CLI::App* buildCommand = app.add_subcommand("build");
  buildCommand->add_option("-o,--output", build.output)->check(kNotEmpty);
  buildCommand->add_option("--engine", build.engine)->check(kNotEmpty);
  buildCommand->add_option("--extra", build.extra)->check(kNotEmpty);
  buildCommand->add_option("--miniboot", build.miniboot)->check(kNotEmpty);
  buildCommand->add_option("--spl", build.spl)->check(kNotEmpty);
  buildCommand->add_option("--ipl", build.ipls)->check(kNotEmpty)->multi_option_policy(
      CLI::MultiOptionPolicy::TakeAll);
  buildCommand->add_option("--bootloader", build.bootloader)->check(kNotEmpty);
  buildCommand->add_option("--wince", build.wince)->check(kNotEmpty);
  buildCommand->add_option("--mobile-ipl", build.mobileIpl)->check(kNotEmpty);
  buildCommand->add_option("--mobile-disk", build.mobileDisk)->check(kNotEmpty);
  buildCommand->add_option("--header-length", build.headerLength)->check(kNotEmpty);
  std::string file;
  bool json = false;
  CLI::App* infoCommand = app.add_subcommand("info");
  infoCommand->add_option("FILE", file)->required();
  infoCommand->add_flag("--json", json);
  std::string keyName, keyFile, signedFile;
  bool asUpdater = false, asPackage = false;
  CLI::App* keygenCommand = app.add_subcommand("keygen");
  keygenCommand->add_option("-o", keyName)->required()->check(kNotEmpty);
  CLI::App* signCommand = app.add_subcommand("sign");
  signCommand->add_option("--key", keyFile)->required()->check(kNotEmpty);
  CLI::App* verifyCommand = app.add_subcommand("verify");
  verifyCommand->add_option("--pub", keyFile)->required()->check(kNotEmpty);
  for (CLI::App* command : {signCommand, verifyCommand}) {
    command->add_option("FILE", signedFile)->required();
    command->add_flag("--updater", asUpdater)->excludes(command->add_flag("--package", asPackage));
  }
  app.add_subcommand("help");
  // The subcommand that was named, for its help text and its complaints.
  const auto named = [&]() -> std::pair<std::string_view, std::string_view> {
    if (buildCommand->parsed()) return {"build", kBuildUsage};
    if (infoCommand->parsed()) return {"info", kInfoUsage};
    if (keygenCommand->parsed()) return {"keygen", kKeygenUsage};
    if (signCommand->parsed()) return {"sign", kSignUsage};
    if (verifyCommand->parsed()) return {"verify", kVerifyUsage};
    return {"usage", kUsage};
  };
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::cout << named().second;
    return kExitOk;
  } catch (const CLI::ParseError& error) {
    const std::string_view command = argc > 1 ? argv[1] : "-";
    constexpr std::array<std::string_view, 6> kCommands = {"build", "info",   "keygen",
                                                           "sign",  "verify", "help"};
    if (command[0] != '-' &&
        std::find(kCommands.begin(), kCommands.end(), command) == kCommands.end()) {
      Complain(argv[1], "unknown command (try 'vxpack --help')");
      return kExitUsage;
    }
    Complain(named().first, error.what());
    std::cerr << "Try 'vxpack --help'.\n";
    return kExitUsage;
  }
  if (app.got_subcommand("help")) {
    std::cout << kUsage;
    return kExitOk;
  }
  if (buildCommand->parsed()) return RunBuild(build);
  if (keygenCommand->parsed()) return RunKeygen(keyName);
  const crypto::Purpose purpose = asUpdater   ? crypto::Purpose::kUpdater
                                  : asPackage ? crypto::Purpose::kPackage
                                              : PurposeOf(signedFile);
  if (signCommand->parsed()) return RunSign(keyFile, signedFile, purpose);
  if (verifyCommand->parsed()) return RunVerify(keyFile, signedFile, purpose);
  return RunInfo(file, json);
}
