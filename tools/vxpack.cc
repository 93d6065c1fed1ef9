// vxpack: builds update packages and reports on them.
//
//   vxpack build -o FILE --engine LIB [images...]   write a package
//   vxpack info FILE [--json]                        show and check a package
//   vxpack keygen -o NAME | sign --key NAME.key FILE | verify --pub NAME.pub FILE
//
// Exit codes: 0 success, 1 failure, 2 bad usage.
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "tools/pack_tool.h"

namespace vxpack {

void Complain(std::string_view subject, std::string_view reason) {
  std::cerr << "vxpack: " << subject << ": " << reason << '\n';
}

SplitOption Split(std::string_view arg) {
  const auto equals = arg.find('=');
  if (arg.substr(0, 2) != "--" || equals == std::string_view::npos) return {arg, std::nullopt};
  return {arg.substr(0, equals), arg.substr(equals + 1)};
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
    "  keygen  make a key pair for signed packages (NAME.key, NAME.pub)\n"
    "  sign    write FILE.sig, the signature of FILE with a secret key\n"
    "  verify  check FILE.sig with a public key as a device does\n"
    "\n"
    "Run 'vxpack COMMAND --help' for the options of a command.\n"
    "Exit codes: 0 success, 1 failure, 2 bad usage.\n";

}  // namespace
}  // namespace vxpack

int main(int argc, char** argv) {
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  if (args.empty()) {
    vxpack::Complain("COMMAND", "missing");
    std::cerr << vxpack::kUsage;
    return vxpack::kExitUsage;
  }
  const std::string_view command = args.front();
  const std::span<const std::string_view> rest(args.data() + 1, args.size() - 1);
  if (command == "--help" || command == "-h" || command == "help") {
    std::cout << vxpack::kUsage;
    return vxpack::kExitOk;
  }
  if (command == "build") return vxpack::RunBuild(rest);
  if (command == "info") return vxpack::RunInfo(rest);
  if (command == "keygen") return vxpack::RunKeygen(rest);
  if (command == "sign") return vxpack::RunSign(rest);
  if (command == "verify") return vxpack::RunVerify(rest);
  vxpack::Complain(command, "unknown command (try 'vxpack --help')");
  return vxpack::kExitUsage;
}
