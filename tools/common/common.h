// What the host tools share: one command-line style, exit statuses and messages; files
// read and written without surprises; the companions found beside the tools; key files;
// and how JSON is printed.
#ifndef TOOLS_COMMON_COMMON_H_
#define TOOLS_COMMON_COMMON_H_

#include <CLI/CLI.hpp>
#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/crypto.h"

namespace tools {

namespace fs = std::filesystem;

// ---- Command lines and messages (cli.cc) ----------------------------------------------

// The exit status of every tool: 0 done, 1 a failure (a file, a key, a check), 2 a usage
// mistake (an unknown command or option, a missing or malformed value).
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// The release of the tools, for --version.
std::string_view Version();

// Gives `app` (a tool or one of its commands) the shared help layout, --help, --version
// and `footer` below the option table; a tool with commands also gets `help [COMMAND]`
// and --help-all (the help of every command, for the manual page).  A command whose own
// --version takes a value goes without the flag (`versionFlag` false).
void SetUpHelp(CLI::App& app, std::string_view footer = {}, bool versionFlag = true);
// Parses the command line.  Nothing when the tool goes on; otherwise the exit status of a
// run that ends here: after the help or the version on stdout, or a usage mistake on
// stderr in the tools' own words.
std::optional<int> ParseCommandLine(CLI::App& app, int argc, char** argv);
// Set once a failed write to standard output was reported; otherwise a tool that parsed
// its command line fails at its end, with the reason, when its output did not get out.
bool& StandardOutputFailureSaid();

// "TOOL: SUBJECT: reason" on stderr; Fail answers kExitFailed, Usage kExitUsage after a
// pointer to the help of `command`.
int Fail(std::string_view subject, std::string_view reason);
int Usage(const CLI::App& command, std::string_view subject, std::string_view reason);
// "TOOL: warning: SUBJECT: reason" on stderr.
void Warn(std::string_view subject, std::string_view reason);
// `text` for one line on a terminal: every control character (a line break, an escape)
// shown as \xNN.  Fail and Warn print their parts so.
std::string Printable(std::string_view text);
// The tool's name for the lines above, set by ParseCommandLine.
std::string_view ToolName();

// `value` as one of `choices`, whatever its case; nothing when it is none of them.
std::optional<std::string_view> Choice(std::string_view value,
                                       std::span<const std::string_view> choices);
inline std::optional<std::string_view> Choice(std::string_view value,
                                              std::initializer_list<std::string_view> choices) {
  return Choice(value, std::span(choices.begin(), choices.size()));
}
// "a, b or c".
std::string ChoiceList(std::span<const std::string_view> choices);
inline std::string ChoiceList(std::initializer_list<std::string_view> choices) {
  return ChoiceList(std::span(choices.begin(), choices.size()));
}

// One line of UTF-8; bytes that are not UTF-8 (a file name, a console line) are
// replaced rather than refused.
std::string JsonText(const nlohmann::ordered_json& value);

// JSON from a file or another program, which may be anything: nesting deeper than
// `maxDepth` (which would exhaust the stack of whoever copies or prints the value) and a
// key given twice in one object (where one of them would be silently lost) are refused
// like text that is not JSON.  Nothing, with the reason, for any of them.
std::optional<nlohmann::ordered_json> ParseJson(std::span<const std::uint8_t> bytes,
                                                std::string* reason, int maxDepth = 64);
inline std::optional<nlohmann::ordered_json> ParseJson(std::string_view text, std::string* reason,
                                                       int maxDepth = 64) {
  return ParseJson(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()),
                   reason, maxDepth);
}

// ---- Files (files.cc) -----------------------------------------------------------------

// The system's words for an errno value ("No such file or directory").
std::string SystemReason(int error);

// A regular file opened for reading (a folder, a device or a pipe is refused).  Every
// failure leaves the system's reason in reason().
class InputFile {
 public:
  explicit InputFile(const fs::path& file);
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  bool ok() const { return file_ != nullptr; }
  const std::string& reason() const { return reason_; }
  // Up to `bytes.size()` bytes; fewer only at the end of the file; nothing on an error.
  std::optional<std::size_t> Read(std::span<std::uint8_t> bytes);

 private:
  std::FILE* file_ = nullptr;
  std::string reason_;
};

// The whole file when it holds at most `limit` bytes; otherwise nothing, with the reason
// ("Is a directory", "larger than N bytes") in *reason.
std::optional<std::vector<std::uint8_t>> ReadWholeFile(const fs::path& file, std::size_t limit,
                                                       std::string* reason);

// A new file written beside `target` under a temporary name and renamed over it by
// Commit, so that the target is either as before or whole.  Refused before anything is
// written when the target is a folder, a symbolic link to nothing, names one of `inputs`
// (the same path, or the same file by device and inode), or its folder does not exist
// (never created).  Destroyed
// without a Commit, the temporary file is removed.
class OutputFile {
 public:
  enum class Access { kShared, kOwnerOnly };  // kOwnerOnly: mode 0600, before any byte
  OutputFile(const fs::path& target, std::span<const fs::path> inputs,
             Access access = Access::kShared);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  bool ok() const { return file_ != nullptr; }
  // Why the file cannot be written, after any failure: "TARGET: reason" parts.
  const std::string& reason() const { return reason_; }
  bool Write(std::span<const std::uint8_t> bytes);
  bool Rewind();  // back to the first byte, to fill in a header written last
  bool Commit();

 private:
  bool Failed(int error);
  fs::path target_;
  fs::path temporary_;
  std::FILE* file_ = nullptr;
  std::string reason_;
};

// Why `target` cannot be an output: nothing, or the reason as OutputFile gives it.
std::optional<std::string> OutputProblem(const fs::path& target, std::span<const fs::path> inputs);

// Writes `bytes` to `target` through an OutputFile; nothing, or the reason.
std::optional<std::string> WriteWholeFile(const fs::path& target,
                                          std::span<const std::uint8_t> bytes,
                                          std::span<const fs::path> inputs = {},
                                          OutputFile::Access access = OutputFile::Access::kShared);

// A program or library that ships beside the tools, found from the running tool's own
// path only: <bin>/../lib/vxupdater/NAME once installed, <bin>/../BUILDFOLDER/NAME in a
// build tree.  Nothing, with the reason, when neither holds it.
std::optional<fs::path> Companion(std::string_view name, std::string_view buildFolder,
                                  std::string* reason);
// Another tool in the running tool's own folder (vxfleet's vxpack); nothing, with the
// reason, when it is not there.
std::optional<fs::path> SiblingTool(std::string_view name, std::string* reason);

// Writes `text` to standard output and flushes it; nothing, or the system's reason
// ("No space left on device"), for a tool whose output is its result.  (A pipe closed by
// its reader still ends the tool by SIGPIPE, as it ends any other.)
std::optional<std::string> WriteStandardOutput(std::string_view text);

// ---- Keys and digests (keys.cc) -------------------------------------------------------

// An Ed25519 key as raw bytes: a public key, or the 32-byte seed of a secret key.
using RawKey = std::array<std::uint8_t, 32>;
// SHA-256 comes from the crypto module, the one place that hashes: Finish answers nothing
// when the library failed.
using Sha256 = crypto::Sha256;
using Sha256Digest = crypto::BlockDigest;

// A PEM SubjectPublicKeyInfo Ed25519 key ("PUBLIC KEY"), as NAME.pub holds it.  Anything
// else is refused with a reason that names what the file holds and what is needed.
std::optional<RawKey> ReadPublicKey(const fs::path& file, std::string* reason);
// A PEM PKCS#8 Ed25519 secret key ("PRIVATE KEY"), as NAME.key holds it: its seed.
std::optional<RawKey> ReadSecretKey(const fs::path& file, std::string* reason);
// The public key of a secret key's seed; nothing when the library fails.
std::optional<RawKey> PublicKeyOf(const RawKey& seed);
// Writes NAME.key (mode 0600) and NAME.pub for a key pair, both or neither; nothing, or
// the reason.  Existing files are not overwritten.
std::optional<std::string> WriteKeyPair(const fs::path& secretFile, const fs::path& publicFile,
                                        const RawKey& seed);
// The PEM file (SubjectPublicKeyInfo) of a public key, as NAME.pub holds it; nothing
// when the library fails.
std::optional<std::vector<std::uint8_t>> PublicKeyPem(const RawKey& publicKey);
// The SHA-256 of a public key, in hex: how every tool names a key.
std::string Fingerprint(const RawKey& publicKey);
std::string Hex(std::span<const std::uint8_t> bytes);

}  // namespace tools

#endif  // TOOLS_COMMON_COMMON_H_
