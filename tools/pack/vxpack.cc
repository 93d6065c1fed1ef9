// vxpack: builds update packages and reports on them.
//
//   vxpack build -o FILE --engine LIB [images...] [--force]   write a package
//   vxpack info FILE [--pub NAME.pub] [--json]                 show and check a package
//   vxpack keygen -o NAME                                      make a signing key pair
//   vxpack sign --key NAME.key|URI [--updater|--package] FILE  write FILE.sig
//   vxpack verify --pub NAME.pub|URI [--updater|--package] FILE  check FILE.sig
//   vxpack pubkey NAME.key|URI [-o NAME.pub]                   export a public key
//
// The command line is read with CLI11 in main(), at the end of this file.
//
// Exit status: 0 success, 1 failure, 2 a usage mistake.
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <iostream>
#include <string>

#include "tools/pack/pack.h"

namespace vxpack {

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

std::string Hex32(std::uint32_t value) {
  std::array<char, 16> text{};
  std::snprintf(text.data(), text.size(), "0x%08x", static_cast<unsigned>(value));
  return text.data();
}

}  // namespace vxpack

// The command line, all in one place.
int main(int argc, char** argv) {
  using namespace vxpack;
  CLI::App app("Builds update packages (VXUpdate.bin), checks and signs them, and reports on them.",
               "vxpack");
  tools::SetUpHelp(app);
  BuildArguments build;
  CLI::App* buildCommand = app.add_subcommand("build", "write a package from an engine library and images");
  tools::SetUpHelp(*buildCommand,
      "Writes an update package from an engine library and flash images.  Each image must\n"
      "be of the type of its option, whole (the length in its header), and built for the\n"
      "same hardware as the others; the engine library an ELF shared library of this host\n"
      "(for the simulated device) or a PE DLL (for a Windows device).  A package that\n"
      "fails a check is not written, unless --force asks for it.");
  const auto file = [](CLI::App* command, const char* name, auto& value, const char* help) {
    return command->add_option(name, value, help)->type_name("FILE");
  };
  file(buildCommand, "-o,--output", build.output, "the package to write (required); never one of its inputs");
  file(buildCommand, "--engine", build.engine, "the update engine library (required)")->type_name("LIB");
  file(buildCommand, "--miniboot", build.miniboot, "the Miniboot image");
  file(buildCommand, "--spl", build.spl, "the SPL image");
  file(buildCommand, "--ipl", build.ipls, "an IPL image; up to three, in variant order 0, 1, 2")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  file(buildCommand, "--bootloader", build.bootloader, "the Bootloader image (every package needs one)");
  file(buildCommand, "--wince", build.wince, "the WinCE image");
  file(buildCommand, "--mobile-ipl", build.mobileIpl, "the Mobile IPL image (header length 108, no WinCE)");
  file(buildCommand, "--mobile-disk", build.mobileDisk, "the Mobile Disk Image (header length 108, no WinCE)");
  file(buildCommand, "--extra", build.extra, "bytes carried in the payload that the updater does not use");
  buildCommand->add_option("--header-length", build.headerLength,
                           "0 to 108; below 92 one IPL variant only, below 108 no mobile images (default: 108)")
      ->type_name("N");
  buildCommand->add_flag("--force", build.force, "write the package despite failed checks, with a warning for each");

  std::string packageFile;
  std::optional<std::string> publicKey;
  bool json = false;
  CLI::App* infoCommand = app.add_subcommand("info", "show what a package holds and check it");
  tools::SetUpHelp(*infoCommand,
      "Shows each image's type, hardware, version, build date and tag, the engine library,\n"
      "the package's SHA-256 and its signature, then checks it as the updater does (header\n"
      "length, payload size, payload CRC, engine CRC) and as 'vxpack build' does (images,\n"
      "engine library); with --pub also its signature.  Exit 0 when every check passes.");
  file(infoCommand, "FILE", packageFile, "the package")->required();
  infoCommand->add_option("--pub", publicKey, "check the signature FILE.sig against this public key")
      ->type_name("NAME.pub");
  infoCommand->add_flag("--json", json, "print the same as one JSON object");

  std::string keyName, keyFile, signedFile;
  CLI::App* keygenCommand = app.add_subcommand("keygen", "make an Ed25519 key pair for signing");
  tools::SetUpHelp(*keygenCommand,
      "Makes an Ed25519 key pair: NAME.key, the secret key (PEM PKCS#8, readable by its owner\n"
      "only), and NAME.pub, the public key (PEM) for 'vxdevice init --key'.  Existing files\n"
      "are not overwritten.  Prints the key's fingerprint, the SHA-256 of the public key.");
  keygenCommand->add_option("-o,--output", keyName, "the key pair's name (required)")->type_name("NAME");
  CLI::App* signCommand = app.add_subcommand("sign", "write FILE.sig, the signature a device checks");
  tools::SetUpHelp(*signCommand,
      "Writes FILE.sig (64 bytes): the Ed25519 signature of FILE as an update package or,\n"
      "with --updater, as an updater executable, made with the secret key NAME.key (PEM\n"
      "PKCS#8, from 'vxpack keygen' or 'openssl genpkey -algorithm ed25519').  A file named\n"
      "VXUpdater.exe (in any case) is signed as an updater unless --package says otherwise.\n"
      "Each signature holds only for what it was made for: a device never takes a\n"
      "package's signature for an updater's, or the other way round.\n"
      "\n"
      "A key in a PKCS#11 token is named by its URI instead, such as\n"
      "'pkcs11:token=release;object=fleet?module-path=/usr/lib/softhsm/libsofthsm2.so'\n"
      "(without module-path, p11-kit's configured modules are asked).  The token signs; the\n"
      "key never leaves it.  The PIN comes from pin-source=FILE (or pin-value=) in the URI,\n"
      "else from the environment variable VXPACK_PIN, else from the terminal; a wrong PIN\n"
      "is never tried again.");
  signCommand->add_option("--key", keyFile, "the secret key file or token URI (required)")
      ->type_name("NAME.key|URI");
  file(signCommand, "FILE", signedFile, "the package or updater to sign")->required();
  CLI::App* verifyCommand = app.add_subcommand("verify", "check FILE.sig as a device does");
  tools::SetUpHelp(*verifyCommand,
      "Checks FILE.sig as a device holding the public key NAME.pub does, as a package or as\n"
      "an updater (chosen as for 'vxpack sign').  Prints 'FILE: ok' and exits 0, or names\n"
      "the reason on standard error and exits 1.");
  verifyCommand->add_option("--pub", keyFile, "the public key file or token URI (required)")
      ->type_name("NAME.pub|URI");
  file(verifyCommand, "FILE", signedFile, "the signed file")->required();
  std::string pubkeyOf;
  std::optional<std::string> pubkeyOutput;
  CLI::App* pubkeyCommand = app.add_subcommand("pubkey", "write the public key of a secret key or token key");
  tools::SetUpHelp(*pubkeyCommand,
      "Writes the public key (PEM, as NAME.pub of 'vxpack keygen') of a secret key file or\n"
      "of an Ed25519 key in a PKCS#11 token, named by its URI as for 'vxpack sign', for\n"
      "'vxdevice init --key' and 'vxpack verify'.  Without -o it goes to standard output.\n"
      "An existing file that holds another key is not overwritten.");
  pubkeyCommand->add_option("KEY", pubkeyOf, "the secret key file or token URI")
      ->type_name("NAME.key|URI")->required();
  file(pubkeyCommand, "-o,--output", pubkeyOutput, "the public key file to write")->type_name("NAME.pub");
  bool asUpdater = false, asPackage = false;
  for (CLI::App* command : {signCommand, verifyCommand}) {
    CLI::Option* updater = command->add_flag("--updater", asUpdater,
                                             "FILE is an updater executable (default: by its name)");
    command->add_flag("--package", asPackage, "FILE is an update package (default: by its name)")
        ->excludes(updater);
  }

  if (const auto status = tools::ParseCommandLine(app, argc, argv)) return *status;
  if (buildCommand->parsed()) {
    build.command = buildCommand;
    return RunBuild(build);
  }
  if (infoCommand->parsed()) return RunInfo(packageFile, publicKey, json);
  if (keygenCommand->parsed()) {
    if (keyName.empty()) return tools::Usage(*keygenCommand, "-o", "missing: name the key pair");
    return RunKeygen(keyName);
  }
  if (pubkeyCommand->parsed()) return RunPublicKey(pubkeyOf, pubkeyOutput);
  CLI::App* command = signCommand->parsed() ? signCommand : verifyCommand;
  if (keyFile.empty()) return tools::Usage(*command, command == signCommand ? "--key" : "--pub", "missing");
  const crypto::Purpose purpose = asUpdater   ? crypto::Purpose::kUpdater
                                  : asPackage ? crypto::Purpose::kPackage
                                              : PurposeOf(signedFile);
  return command == signCommand ? RunSign(keyFile, signedFile, purpose)
                                : RunVerify(keyFile, signedFile, purpose);
}
