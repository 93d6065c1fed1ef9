// vxpack info: shows a package and checks it as the updater does, plus what the updater
// leaves unchecked (items outside the payload or the file, overlaps, short images).
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <fstream>
#include <iostream>
#include <sstream>

#include <nlohmann/json.hpp>
#include <string>
#include <system_error>
#include <vector>

#include "package/package.h"
#include "tools/pack/pack.h"
#include "tools/common/common.h"

namespace vxpack {
namespace {

using package::ImageEntry;
using package::PackageHeader;

constexpr std::uint64_t kMaxItemOffset = 0x7FFFFFFFull;

struct DirectorySlot {
  std::string_view name;
  std::uint32_t type;
  std::int32_t variant;
  ImageEntry PackageHeader::*entry;
};
constexpr std::array<DirectorySlot, 9> kDirectory = {{
    {"ipl0", 5, 0, &PackageHeader::ipl0},
    {"spl", 2, 0, &PackageHeader::spl},
    {"miniboot", 1, 0, &PackageHeader::miniboot},
    {"bootloader", 3, 0, &PackageHeader::bootloader},
    {"wince", 4, 0, &PackageHeader::wince},
    {"ipl1", 5, 1, &PackageHeader::ipl1},
    {"ipl2", 5, 2, &PackageHeader::ipl2},
    {"mobileIpl", 9, 0, &PackageHeader::mobileIpl},
    {"mobileDiskImage", 10, 0, &PackageHeader::mobileDiskImage},
}};

enum class EntryState { kPresent, kAbsent, kNotUsed };
constexpr std::string_view ToString(EntryState state) {
  switch (state) {
    case EntryState::kPresent: return "present";
    case EntryState::kAbsent: return "absent";
    case EntryState::kNotUsed: return "not used";
  }
  return "";
}

struct EntryReport {
  const DirectorySlot* slot;
  ImageEntry entry;
  EntryState state;
};

struct Check {
  std::string_view name;
  bool checked = false;
  bool ok = false;
  std::string detail;
};

struct Report {
  std::string file;
  std::uint64_t fileSize = 0;
  PackageHeader header;
  std::string layout;
  std::vector<EntryReport> entries;
  std::vector<Check> checks;
  std::vector<std::string> warnings;
  std::string signature;
  bool valid = false;
};

std::string Ascii(std::u16string_view text) {
  std::string out;
  for (const char16_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

std::string Label(const DirectorySlot& slot) {
  std::string label = Ascii(package::ImageTypeName(slot.type));
  if (slot.type == static_cast<std::uint32_t>(package::ImageType::kIpl)) {
    label += " variant " + std::to_string(slot.variant);
  }
  return label;
}

std::string Layout(std::uint32_t headerLength) {
  if (headerLength < package::kIplVariantsHeaderLength) return "below 92: one IPL variant, no mobile entries";
  if (headerLength < package::kMobileHeaderLength) return "92 to 107: three IPL variants, no mobile entries";
  if (headerLength == package::kMobileHeaderLength) {
    return "108: three IPL variants, Mobile IPL and Mobile Disk Image";
  }
  return "above 108: a newer layout than the updater knows";
}

// An item that lies somewhere in the file: the engine library or a used image.
struct Item {
  std::string name;
  std::uint64_t begin;
  std::uint64_t end;
  bool image;
};

void Warn(Report& report) {
  const PackageHeader& header = report.header;
  std::vector<Item> items;
  items.push_back({"engine", header.engineOffset,
                   std::uint64_t{header.engineOffset} + header.engineLength, false});
  for (const EntryReport& entry : report.entries) {
    if (entry.state != EntryState::kPresent) continue;
    items.push_back({std::string(entry.slot->name), entry.entry.offset,
                     std::uint64_t{entry.entry.offset} + entry.entry.length, true});
  }
  const std::uint64_t payloadBegin = header.headerLength;
  const std::uint64_t payloadEnd = payloadBegin + header.payloadSize;
  auto& warnings = report.warnings;
  for (const Item& item : items) {
    if (item.end > report.fileSize) {
      warnings.push_back(item.name + " lies outside the file (ends at " + std::to_string(item.end) +
                         ", the file holds " + std::to_string(report.fileSize) + " bytes)");
    }
    if (item.begin < payloadBegin || item.end > payloadEnd) {
      warnings.push_back(item.name + " lies outside the payload (" + std::to_string(payloadBegin) +
                         " to " + std::to_string(payloadEnd) + ")");
    }
    if (item.begin < package::kHeaderSize && item.end > item.begin) {
      warnings.push_back(item.name + " overlaps the 108 header bytes");
    }
    if (item.image && item.end - item.begin < package::kImageProbeSize) {
      warnings.push_back(item.name + " is shorter than 512 bytes, the bytes the device examines");
    }
    if (item.image && item.begin > kMaxItemOffset) {
      warnings.push_back(item.name + " starts beyond 2 GiB, where the device cannot position");
    }
  }
  for (std::size_t i = 0; i < items.size(); ++i) {
    for (std::size_t j = i + 1; j < items.size(); ++j) {
      if (items[i].begin < items[j].end && items[j].begin < items[i].end) {
        warnings.push_back(items[i].name + " and " + items[j].name + " overlap");
      }
    }
  }
  if (header.engineLength == 0) warnings.push_back("the engine library is empty");
  if (header.bootloader.Absent()) {
    warnings.push_back("no Bootloader: the suitability check refuses the package on every device");
  }
  const bool mobile = header.wince.offset == 0 && header.wince.length == 0;
  if (mobile && header.headerLength < package::kMobileHeaderLength) {
    warnings.push_back("no WinCE entry and header length below 108: refused as a mobile package");
  } else if (mobile && (header.mobileIpl.Absent() || header.mobileDiskImage.Absent())) {
    warnings.push_back("mobile package without both Mobile IPL and Mobile Disk Image");
  } else if (!mobile && header.wince.Absent()) {
    warnings.push_back("WinCE entry absent but not a mobile package (only one of its fields is 0)");
  }
}

void RunChecks(Report& report, const fs::path& file) {
  const PackageHeader& header = report.header;
  Check length{"header length", false, false, ""};
  length.checked = true;
  length.ok = header.headerLength <= package::kHeaderSize;
  length.detail = std::to_string(header.headerLength) + (length.ok ? " (at most 108)" : " is above 108");

  Check size{"payload size", false, false, ""};
  const std::uint32_t expected = package::ExpectedPayloadSize(header);
  if (length.ok) {
    size.checked = true;
    size.ok = expected == header.payloadSize;
    size.detail = size.ok ? std::to_string(expected)
                          : "header says " + std::to_string(header.payloadSize) +
                                ", the items add up to " + std::to_string(expected);
  } else {
    size.detail = "not checked after a refused header length";
  }

  Check payload{"payload CRC", false, false, ""};
  if (length.ok && size.ok) {
    payload.checked = true;
    const std::uint64_t end = std::uint64_t{header.headerLength} + header.payloadSize;
    const auto crc = end <= report.fileSize ? FileCrc(file, header.headerLength, header.payloadSize)
                                            : std::nullopt;
    if (!crc) {
      payload.detail = "the file ends before the payload (needs " + std::to_string(end) +
                       " bytes, holds " + std::to_string(report.fileSize) + ")";
    } else {
      payload.ok = *crc == header.payloadCrc;
      payload.detail = payload.ok ? Hex32(*crc)
                                  : "header says " + Hex32(header.payloadCrc) + ", the payload gives " +
                                        Hex32(*crc);
    }
  } else {
    payload.detail = "not checked after a failed check";
  }

  Check engine{"engine CRC", false, false, ""};
  engine.checked = true;
  const std::uint64_t engineEnd = std::uint64_t{header.engineOffset} + header.engineLength;
  if (header.engineOffset > kMaxItemOffset) {
    engine.detail = "the engine library starts beyond 2 GiB, where the device cannot position";
  } else if (engineEnd > report.fileSize) {
    engine.detail = "the engine library ends at " + std::to_string(engineEnd) +
                    ", beyond the end of the file (" + std::to_string(report.fileSize) + " bytes)";
  } else if (const auto crc = FileCrc(file, header.engineOffset, header.engineLength); !crc) {
    engine.detail = "the engine library cannot be read";
  } else {
    engine.ok = *crc == header.engineCrc;
    engine.detail = engine.ok ? Hex32(*crc)
                              : "header says " + Hex32(header.engineCrc) + ", the engine library gives " +
                                    Hex32(*crc);
  }

  report.checks = {length, size, payload, engine};
  report.valid = std::all_of(report.checks.begin(), report.checks.end(),
                             [](const Check& check) { return check.checked && check.ok; });
}

void PrintJson(const Report& report) {
  using nlohmann::ordered_json;
  const PackageHeader& h = report.header;
  ordered_json entries = ordered_json::array();
  for (const EntryReport& e : report.entries) {
    entries.push_back({{"name", e.slot->name},
                       {"type", e.slot->type},
                       {"typeName", Ascii(package::ImageTypeName(e.slot->type))},
                       {"variant", e.slot->variant},
                       {"offset", e.entry.offset},
                       {"length", e.entry.length},
                       {"state", ToString(e.state)}});
  }
  ordered_json checks = ordered_json::array();
  for (const Check& c : report.checks) {
    checks.push_back({{"name", c.name}, {"checked", c.checked}, {"ok", c.ok}, {"detail", c.detail}});
  }
  ordered_json out;
  out["file"] = report.file;
  out["fileSize"] = report.fileSize;
  out["package"] = true;
  out["headerLength"] = h.headerLength;
  out["layout"] = report.layout;
  out["payloadCrc"] = h.payloadCrc;
  out["payloadSize"] = h.payloadSize;
  out["reserved"] = h.reserved;
  out["extraLength"] = h.extraLength;
  out["engine"] = {{"offset", h.engineOffset}, {"length", h.engineLength}, {"crc", h.engineCrc}};
  out["entries"] = entries;
  out["checks"] = checks;
  out["warnings"] = report.warnings;
  out["signature"] = report.signature;
  out["valid"] = report.valid;
  std::cout << tools::JsonText(out) << "\n";
}

void PrintText(const Report& report) {
  const PackageHeader& h = report.header;
  std::ostringstream out;
  out << "File:           " << report.file << " (" << report.fileSize << " bytes)\n"
      << "Header length:  " << h.headerLength << " (" << report.layout << ")\n"
      << "Payload:        offset " << h.headerLength << ", size " << h.payloadSize << ", CRC "
      << Hex32(h.payloadCrc) << "\n"
      << "Offset 16:      " << Hex32(h.reserved) << "\n"
      << "Extra length:   " << h.extraLength << "\n"
      << "Engine:         offset " << h.engineOffset << ", length " << h.engineLength << ", CRC "
      << Hex32(h.engineCrc) << "\n"
      << "Directory:\n";
  for (const EntryReport& e : report.entries) {
    std::string name(e.slot->name);
    std::string label = Label(*e.slot);
    name.resize(std::max<std::size_t>(name.size(), 16), ' ');
    label.resize(std::max<std::size_t>(label.size(), 20), ' ');
    out << "  " << name << label << "offset " << e.entry.offset << ", length " << e.entry.length;
    if (e.state == EntryState::kAbsent) out << "  (absent)";
    if (e.state == EntryState::kNotUsed) out << "  (not used: beyond the header length)";
    out << "\n";
  }
  out << "Checks:\n";
  for (const Check& c : report.checks) {
    std::string name(c.name);
    name.resize(16, ' ');
    out << "  " << name << (!c.checked ? "skipped" : c.ok ? "ok" : "FAILED") << ": " << c.detail << "\n";
  }
  if (!report.warnings.empty()) out << "Warnings:\n";
  for (const std::string& warning : report.warnings) out << "  " << warning << "\n";
  out << "Signature:      " << report.signature << "\n";
  out << "Verdict:        " << (report.valid ? "valid" : "INVALID") << "\n";
  std::cout << out.str();
}

int NotAPackage(const std::string& file, std::string_view reason, bool json) {
  Complain(file, reason);
  if (json) {
    const nlohmann::ordered_json out = {
        {"file", file}, {"package", false}, {"error", reason}, {"valid", false}};
    std::cout << tools::JsonText(out) << "\n";
  }
  return kExitFailed;
}

}  // namespace

int RunInfo(const std::string& file, bool json) {
  Report report;
  report.file = file;
  std::error_code error;
  if (!fs::is_regular_file(file, error)) return NotAPackage(file, "no such file", json);
  report.fileSize = fs::file_size(file, error);
  std::ifstream in(file, std::ios::binary);
  if (error || !in) return NotAPackage(file, "cannot open for reading", json);
  // The updater's own recognition rule: 108 bytes that begin with the magic.
  std::array<std::uint8_t, package::kHeaderSize> bytes{};
  in.read(reinterpret_cast<char*>(bytes.data()), bytes.size());
  if (static_cast<std::size_t>(in.gcount()) != bytes.size()) {
    return NotAPackage(file, "not a package: shorter than 108 bytes", json);
  }
  report.header = package::DecodeHeader(bytes);
  if (report.header.magic != package::kMagic) {
    return NotAPackage(file, "not a package: wrong magic (no \"VXUD\")", json);
  }

  report.layout = Layout(report.header.headerLength);
  for (const DirectorySlot& slot : kDirectory) {
    const ImageEntry entry = report.header.*slot.entry;
    const bool used = package::EntryOf(report.header, slot.type, slot.variant).has_value();
    const EntryState state = !used ? EntryState::kNotUsed
                             : entry.Absent() ? EntryState::kAbsent
                                              : EntryState::kPresent;
    report.entries.push_back({&slot, entry, state});
  }
  RunChecks(report, file);
  Warn(report);
  report.signature = SignatureNote(file);

  if (json) {
    PrintJson(report);
  } else {
    PrintText(report);
  }
  for (const Check& check : report.checks) {
    if (check.checked && !check.ok) Complain(file, std::string(check.name) + ": " + check.detail);
  }
  return report.valid ? kExitOk : kExitFailed;
}

}  // namespace vxpack
