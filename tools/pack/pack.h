// vxpack: builds update packages and reports on them.  Shared pieces of its commands.
//
// The tool runs on the development host, so it reads and writes host files with
// std::filesystem and fstream; the format itself comes from package/package.h.
#ifndef TOOLS_PACK_PACK_H_
#define TOOLS_PACK_PACK_H_

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/crypto.h"

namespace vxpack {

namespace fs = std::filesystem;

// Exit codes of every command.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// What `vxpack build` was given: each image option by name, every --ipl in order, and
// the header length as text.
struct BuildArguments {
  std::optional<std::string> output, engine, extra, headerLength;
  std::optional<std::string> miniboot, spl, bootloader, wince, mobileIpl, mobileDisk;
  std::vector<std::string> ipls;
};

// `vxpack build` and `vxpack info`; each answers the exit code.
int RunBuild(const BuildArguments& args);
int RunInfo(const std::string& file, bool json);
// `vxpack keygen`, `sign` and `verify`: Ed25519 signatures of whole files (FILE.sig), as
// a package or as an updater.
int RunKeygen(const std::string& name);
int RunSign(const std::string& secretKey, const std::string& file, crypto::Purpose purpose);
int RunVerify(const std::string& publicKey, const std::string& file, crypto::Purpose purpose);
// What a file is signed as when no option says: an updater when its name is
// VXUpdater.exe in any case, a package otherwise.
crypto::Purpose PurposeOf(const fs::path& file);
// What `vxpack info` says about FILE.sig: "none", or its path and whether it has the
// 64 bytes of a signature.
std::string SignatureNote(const fs::path& file);

// Writes "vxpack: <subject>: <reason>" to standard error.
void Complain(std::string_view subject, std::string_view reason);

// CRC-32 of zlib: `crc` continued over `bytes`.
std::uint32_t Crc32(std::uint32_t crc, std::span<const std::uint8_t> bytes);
// The CRC-32 of A followed by B, from the CRC-32 of each and the length of B.
std::uint32_t Crc32Combine(std::uint32_t crcA, std::uint32_t crcB, std::uint64_t lengthB);

// The CRC-32 of `length` bytes of `file` from `offset`.  Nothing when the file cannot be
// read or ends before offset + length.
std::optional<std::uint32_t> FileCrc(const fs::path& file, std::uint64_t offset,
                                     std::uint64_t length);

// "0x1234abcd".
std::string Hex32(std::uint32_t value);

}  // namespace vxpack

#endif  // TOOLS_PACK_PACK_H_
