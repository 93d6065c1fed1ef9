// vxstamp FILE: writes the label CRC of a finished updater executable into its label.
//
// The label CRC is the CRC-32 of the whole file with the 28 label bytes left out, so
// writing it does not change it, and stamping twice gives the same file.  This is the
// last change to the file after linking.
#include <zlib.h>

#include <cstdint>
#include <iostream>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "control/control.h"
#include "tools/common/common.h"

namespace {

namespace fs = std::filesystem;

// Far beyond any updater, and what the label CRC can cover in one zlib call.
constexpr std::size_t kMaxFileSize = 1u << 30;

std::uint32_t Crc(std::uint32_t crc, std::span<const std::uint8_t> bytes) {
  return static_cast<std::uint32_t>(::crc32(crc, bytes.data(), static_cast<uInt>(bytes.size())));
}

int Stamp(const fs::path& name) {
  std::string reason;
  std::optional<std::vector<std::uint8_t>> file = tools::ReadWholeFile(name, kMaxFileSize, &reason);
  if (!file) return tools::Fail(name.string(), reason);
  const std::span<const std::uint8_t> bytes(*file);
  const std::optional<std::size_t> label = control::FindUpdaterLabel(bytes);
  if (!label) return tools::Fail(name.string(), "no updater label");
  // A second label would make the file's identity ambiguous to every updater that scans
  // it, and hints that a marker copy stands in label form before the real label.
  if (control::FindUpdaterLabel(bytes.subspan(*label + 1))) {
    return tools::Fail(name.string(), "more than one updater label");
  }
  std::uint32_t crc = Crc(0, {});
  crc = Crc(crc, bytes.first(*label));
  crc = Crc(crc, bytes.subspan(*label + control::kLabelSize));
  for (std::size_t i = 0; i < 4; ++i) {
    (*file)[*label + control::kLabelCrcOffset + i] = static_cast<std::uint8_t>(crc >> (8 * i));
  }
  // The stamped file replaces the old one whole and keeps its permissions.
  std::error_code error;
  const fs::perms mode = fs::status(name, error).permissions();
  tools::OutputFile out(name, {});
  if (!out.Write(*file) || !out.Commit()) return tools::Fail(name.string(), out.reason());
  fs::permissions(name, mode, error);
  if (error) return tools::Fail(name.string(), error.message());
  return tools::kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app("Writes the label CRC of the updater executable FILE into its updater label.\n"
               "The file is replaced whole; stamping it again changes nothing.",
               "vxstamp");
  tools::SetUpHelp(app);
  std::string file;
  app.add_option("FILE", file, "the linked updater executable")->required();
  if (const auto status = tools::ParseCommandLine(app, argc, argv)) return *status;
  if (file == "help") {
    std::cout << app.get_formatter()->make_help(&app, "", CLI::AppFormatMode::Normal);
    return tools::kExitOk;
  }
  return Stamp(file);
}
