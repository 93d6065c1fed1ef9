// vxfleet: what a report says about where it came from: digests of the fleet file and of
// the package, the key that signed the package, what vxpack says of it, the updater's
// version, the time.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <memory>
#include <span>
#include <system_error>

#include "package/package.h"
#include "platform/host_process.h"
#include "tools/fleet/fleet.h"

namespace fleet {
namespace {

constexpr std::size_t kChunk = 1 << 20;
// vxpack's own output about a package: far beyond what it prints for any package.
constexpr std::size_t kMaxVxpackOutput = 16u << 20;

std::optional<std::string> NotAPackageHead(std::string_view head) {
  if (head.size() < package::kHeaderSize) return "not a package: shorter than 108 bytes";
  if (!std::equal(package::kMagic.begin(), package::kMagic.end(), head.begin(),
                  [](std::uint8_t magic, char byte) { return magic == static_cast<std::uint8_t>(byte); })) {
    return "not a package: wrong magic (no \"VXUD\")";
  }
  return std::nullopt;
}

// Closes a FILE* on every road.
struct Closer {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// The fingerprint and file of the first profile key under which the staged signature
// verifies the staged package; nothing when none does.
std::optional<std::pair<std::string, fs::path>> SigningKey(const Stage& stage,
                                                           const std::vector<Profile>& profiles) {
  const FileFacts& package = stage.files.at("VXUpdate.bin");
  const FileFacts& sig = stage.files.at("VXUpdate.bin.sig");
  // The updater takes nothing but exactly 64 bytes as a signature.
  if (!package.sha512 || sig.size != crypto::kSignatureSize || sig.head.size() != crypto::kSignatureSize) {
    return std::nullopt;
  }
  crypto::Signature signature;
  std::copy(sig.head.begin(), sig.head.end(), signature.begin());
  for (const Profile& profile : profiles) {
    if (profile.key && crypto::Verify(*profile.key, crypto::Purpose::kPackage, *package.sha512, signature) == crypto::Verdict::kValid) {
      return std::pair{tools::Fingerprint(*profile.key), profile.keyFile};
    }
  }
  return std::nullopt;
}

// `text` with every `from` replaced by `to`.
std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// The same in every string of a value (whose depth ParseJson has bounded).
void ReplaceInStrings(Json& value, const std::string& from, const std::string& to) {
  if (value.is_string()) value = Replaced(value.get<std::string>(), from, to);
  if (value.is_structured()) {
    for (Json& item : value) ReplaceInStrings(item, from, to);
  }
}

}  // namespace

std::optional<FileFacts> ReadFacts(const fs::path& file, bool sha512, const fs::path& copy,
                                   std::string* reason) {
  tools::InputFile in(file);
  std::unique_ptr<std::FILE, Closer> out;
  if (!copy.empty()) {
    // "x": never anybody else's file.
    out.reset(std::fopen(copy.c_str(), "wbx"));
    if (out == nullptr) {
      *reason = copy.string() + ": " + tools::SystemReason(errno);
      return std::nullopt;
    }
  }
  tools::Sha256 sha256;
  crypto::Sha512 sha512State;
  std::vector<std::uint8_t> buffer(kChunk);
  FileFacts facts;
  for (;;) {
    // A package of gigabytes takes seconds to read; an interrupt must not wait for it.
    if (platform::host::Interrupted()) {
      *reason = "interrupted";
      return std::nullopt;
    }
    const std::optional<std::size_t> got = in.Read(buffer);
    if (!got) {
      *reason = file.string() + ": " + in.reason();
      return std::nullopt;
    }
    const std::span bytes(buffer.data(), *got);
    errno = 0;
    if (out != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), out.get()) != bytes.size()) {
      *reason = copy.string() + ": " + tools::SystemReason(errno != 0 ? errno : EIO);
      return std::nullopt;
    }
    sha256.Update(bytes);
    if (sha512) sha512State.Update(bytes);
    const std::size_t head = std::min(bytes.size(), kFactsHead - std::min(kFactsHead, facts.head.size()));
    facts.head.append(reinterpret_cast<const char*>(bytes.data()), head);
    facts.size += bytes.size();
    if (*got < buffer.size()) break;
  }
  errno = 0;
  if (out != nullptr && std::fclose(out.release()) != 0) {
    *reason = copy.string() + ": " + tools::SystemReason(errno != 0 ? errno : EIO);
    return std::nullopt;
  }
  const auto digest = sha256.Finish();
  if (sha512) facts.sha512 = sha512State.Finish();
  if (!digest || (sha512 && !facts.sha512)) {
    *reason = file.string() + ": the digest failed";
    return std::nullopt;
  }
  facts.sha256 = tools::Hex(*digest);
  return facts;
}

std::string Sha256Hex(std::span<const std::uint8_t> bytes) {
  tools::Sha256 sha;
  sha.Update(bytes);
  const auto digest = sha.Finish();
  return digest ? tools::Hex(*digest) : std::string();
}

std::optional<std::string> NotAPackage(const fs::path& file) {
  tools::InputFile in(file);
  std::array<std::uint8_t, package::kHeaderSize> head;
  const std::optional<std::size_t> got = in.Read(head);
  if (!got) return in.reason();
  return NotAPackageHead(std::string_view(reinterpret_cast<const char*>(head.data()), *got));
}

std::optional<Json> PackageProvenance(const fs::path& given, const Stage& stage,
                                      const std::vector<Profile>& profiles, std::string* error) {
  const FileFacts& package = stage.files.at("VXUpdate.bin");
  // The file may have been replaced since the first look.
  if (auto reason = NotAPackageHead(package.head)) {
    *error = given.string() + ": " + *reason;
    return std::nullopt;
  }
  Json signature = nullptr;
  if (stage.signature) {
    const auto key = SigningKey(stage, profiles);
    signature = {{"path", given.string() + ".sig"},
                 {"sha256", stage.files.at("VXUpdate.bin.sig").sha256},
                 {"key_fingerprint", key ? Json(key->first) : Json(nullptr)},
                 {"key", key ? Json(key->second.string()) : Json(nullptr)}};
  }
  return Json{{"path", given.string()},
              {"size", package.size},
              {"sha256", package.sha256},
              {"signature", signature}};
}

std::optional<std::pair<Json, std::string>> PackageSummary(const fs::path& given, const Stage& stage,
                                                           const fs::path& vxpack, std::string* error) {
  const std::string staged = (stage.folder / "VXUpdate.bin").string();
  std::string outputs[2];
  for (int json = 0; json < 2; ++json) {
    platform::host::ProgramRun run;
    run.program = vxpack;
    run.arguments = {"info", staged};
    if (json) run.arguments.push_back("--json");
    run.stdoutFile = stage.folder / "package-info.out";
    run.stderrFile = stage.folder / "package-info.err";
    const platform::host::ProgramResult ran = platform::host::RunProgram(run);
    // vxpack info answers 1 for a package that fails its own checks, which still runs.
    if (!ran.started || (ran.exitStatus != 0 && ran.exitStatus != 1)) {
      *error = vxpack.string() + ": " +
               (ran.started ? "info ended with status " + std::to_string(ran.exitStatus) + ": " +
                                  ReadWhole(run.stderrFile, 512)
                            : ran.error);
      while (!error->empty() && error->back() == '\n') error->pop_back();
      return std::nullopt;
    }
    bool cut = false;
    outputs[json] = ReadWhole(run.stdoutFile, kMaxVxpackOutput, &cut);
    if (cut) {
      *error = vxpack.string() + ": info said more than " + std::to_string(kMaxVxpackOutput) + " bytes";
      return std::nullopt;
    }
  }
  std::string reason;
  std::optional<Json> info = tools::ParseJson(outputs[1], &reason);
  if (!info || !info->is_object()) {
    *error = vxpack.string() + ": info --json: " + (info ? "not an object" : reason);
    return std::nullopt;
  }
  // The stage is gone once the report is out; the reader knows the package by its path.
  ReplaceInStrings(*info, staged, given.string());
  return std::pair{*info, Replaced(outputs[0], staged, given.string())};
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
