// vxstamp FILE: writes the label CRC of a finished updater executable into its label.
//
// The label CRC is the CRC-32 of the whole file with the 28 label bytes left out, so
// writing it does not change it, and stamping twice gives the same file.  This is the
// last change to the file after linking.
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "control/control.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr const char* kUsage =
    "usage: vxstamp FILE\n"
    "Writes the label CRC of the updater executable FILE into its updater label, in place.\n";

int Fail(const std::string& file, std::string_view reason) {
  std::fprintf(stderr, "vxstamp: %s: %.*s\n", file.c_str(), static_cast<int>(reason.size()),
               reason.data());
  return kExitFailed;
}

std::uint32_t Crc(std::uint32_t crc, std::span<const std::uint8_t> bytes) {
  return static_cast<std::uint32_t>(::crc32(crc, bytes.data(), static_cast<uInt>(bytes.size())));
}

int Stamp(const std::string& name) {
  std::vector<std::uint8_t> file;
  {
    std::ifstream in(name, std::ios::binary);
    if (!in) return Fail(name, "cannot open the file");
    file.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) return Fail(name, "cannot read the file");
  }
  const std::span<const std::uint8_t> bytes(file);
  const std::optional<std::size_t> label = control::FindUpdaterLabel(bytes);
  if (!label) return Fail(name, "no updater label");
  // A second label would make the file's identity ambiguous to every updater that scans
  // it, and hints that a marker copy stands in label form before the real label.
  if (control::FindUpdaterLabel(bytes.subspan(*label + 1))) {
    return Fail(name, "more than one updater label");
  }
  if (bytes.size() > UINT32_MAX) return Fail(name, "file too large");

  std::uint32_t crc = Crc(0, {});
  crc = Crc(crc, bytes.first(*label));
  crc = Crc(crc, bytes.subspan(*label + control::kLabelSize));
  const char field[4] = {static_cast<char>(crc & 0xFF), static_cast<char>((crc >> 8) & 0xFF),
                         static_cast<char>((crc >> 16) & 0xFF),
                         static_cast<char>((crc >> 24) & 0xFF)};

  std::fstream out(name, std::ios::binary | std::ios::in | std::ios::out);
  if (!out) return Fail(name, "cannot open the file for writing");
  out.seekp(static_cast<std::streamoff>(*label + control::kLabelCrcOffset));
  out.write(field, sizeof(field));
  out.flush();
  if (!out) return Fail(name, "cannot write the label");
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string_view(argv[1]) == "--help") {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  if (argc != 2 || argv[1][0] == '-') {
    std::fputs(kUsage, stderr);
    return kExitUsage;
  }
  return Stamp(argv[1]);
}
