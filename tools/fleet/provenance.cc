// vxfleet: what a report says about where it came from: digests of the fleet file and of
// the package, the key that signed the package, the updater's version, the time.
#include <algorithm>
#include <array>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <set>
#include <span>
#include <system_error>

#include "package/package.h"
#include "platform/host_process.h"
#include "tools/fleet/fleet.h"

namespace fleet {
namespace {

// A whole file read once: its size, its SHA-256 and its first bytes, so that what is
// checked in those bytes and what the digest names are the same read.
struct FileFacts {
  std::uint64_t size = 0;
  std::string sha256;
  std::string head;
};

std::optional<FileFacts> ReadFacts(const fs::path& file, std::size_t headSize) {
  std::ifstream in(file, std::ios::binary);
  tools::Sha256 sha;
  if (!in) return std::nullopt;
  std::vector<char> buffer(1 << 20);
  FileFacts facts;
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    const auto got = static_cast<std::size_t>(in.gcount());
    sha.Update(std::span(reinterpret_cast<const std::uint8_t*>(buffer.data()), got));
    facts.head.append(buffer.data(), std::min(got, headSize - std::min(headSize, facts.head.size())));
    facts.size += got;
  }
  const auto digest = sha.Finish();
  if (in.bad() || !digest) return std::nullopt;
  facts.sha256 = tools::Hex(*digest);
  return facts;
}

std::optional<std::string> NotAPackageHead(std::string_view head) {
  if (head.size() < package::kHeaderSize) return "not a package: shorter than 108 bytes";
  if (!std::equal(package::kMagic.begin(), package::kMagic.end(), head.begin(),
                  [](std::uint8_t magic, char byte) { return magic == static_cast<std::uint8_t>(byte); })) {
    return "not a package: wrong magic (no \"VXUD\")";
  }
  return std::nullopt;
}

// The fingerprint of the first profile key under which `vxpack verify` accepts the
// staged package, and that key's file; nothing when none does.
std::optional<std::pair<std::string, fs::path>> SigningKey(const Stage& stage,
                                                           const std::vector<Profile>& profiles,
                                                           const fs::path& vxpack) {
  std::set<fs::path> tried;
  for (const Profile& profile : profiles) {
    if (profile.keyFile.empty() || profile.keyFingerprints.empty()) continue;
    if (!tried.insert(profile.keyFile).second) continue;
    platform::host::ProgramRun run;
    run.program = vxpack;
    run.arguments = {"verify", "--pub", profile.keyFile.string(), (stage.folder / "VXUpdate.bin").string()};
    run.stdoutFile = stage.folder / "verify.out";
    run.stderrFile = stage.folder / "verify.err";
    const platform::host::ProgramResult verified = platform::host::RunProgram(run);
    if (verified.started && verified.exitStatus == 0) {
      return std::pair{profile.keyFingerprints.front(), profile.keyFile};
    }
  }
  return std::nullopt;
}

}  // namespace

std::string Sha256Hex(std::span<const std::uint8_t> bytes) {
  tools::Sha256 sha;
  sha.Update(bytes);
  const auto digest = sha.Finish();
  return digest ? tools::Hex(*digest) : std::string();
}

std::optional<std::string> FileSha256(const fs::path& file) {
  const auto facts = ReadFacts(file, 0);
  return facts ? std::optional(facts->sha256) : std::nullopt;
}

std::optional<std::string> NotAPackage(const fs::path& file) {
  tools::InputFile in(file);
  std::array<std::uint8_t, package::kHeaderSize> head;
  const std::optional<std::size_t> got = in.Read(head);
  if (!got) return in.reason();
  return NotAPackageHead(std::string_view(reinterpret_cast<const char*>(head.data()), *got));
}

std::optional<Json> PackageProvenance(const fs::path& given, const Stage& stage,
                                      const std::vector<Profile>& profiles, const fs::path& vxpack,
                                      std::string* error) {
  const auto facts = ReadFacts(stage.folder / "VXUpdate.bin", package::kHeaderSize);
  if (!facts) {
    *error = given.string() + ": cannot be read whole";
    return std::nullopt;
  }
  // The file may have been replaced since the first look.
  if (auto reason = NotAPackageHead(facts->head)) {
    *error = given.string() + ": " + *reason;
    return std::nullopt;
  }
  Json signature = nullptr;
  if (stage.signature) {
    const auto key = SigningKey(stage, profiles, vxpack);
    signature = {{"path", given.string() + ".sig"},
                 {"sha256", FileSha256(stage.folder / "VXUpdate.bin.sig").value_or("")},
                 {"key_fingerprint", key ? Json(key->first) : Json(nullptr)},
                 {"key", key ? Json(key->second.string()) : Json(nullptr)}};
  }
  return Json{{"path", given.string()},
              {"size", facts->size},
              {"sha256", facts->sha256},
              {"signature", signature}};
}

std::string UtcNow() {
  const std::time_t now = std::time(nullptr);
  std::array<char, 32> text{};
  std::tm parts{};
  // Called once, from the main thread, before any worker starts.
  if (const std::tm* utc = std::gmtime(&now)) parts = *utc;
  std::strftime(text.data(), text.size(), "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text.data();
}

std::optional<std::string> UpdaterVersion(const std::vector<Result>& results) {
  constexpr std::string_view kVersion = "\n - Version ";
  for (const Result& result : results) {
    const std::size_t at = result.console.find(kVersion);
    if (at == std::string::npos) continue;
    const std::string_view rest = std::string_view(result.console).substr(at + kVersion.size());
    return std::string(rest.substr(0, rest.find('\n')));
  }
  return std::nullopt;
}

}  // namespace fleet
