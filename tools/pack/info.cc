// vxpack info: what a package holds and whether the updater will take it.
//
// Per image its type, hardware, version, build date and tag from its header; the
// engine library's kind; the package's SHA-256 to quote in a release note; the checks
// the updater makes (header length, payload size, payload CRC, engine CRC), the checks
// `vxpack build` makes (images in their slots, whole, for one hardware; a loadable
// engine library), and with --pub whether the signature verifies.  Everything comes
// from one read of the file, so the digest, the CRCs and the signature check all speak
// of the same bytes.
#include <algorithm>
#include <array>
#include <cstdint>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "package/package.h"
#include "tools/pack/pack.h"

namespace vxpack {
namespace {

using package::ImageEntry;
using package::PackageHeader;
using Json = nlohmann::ordered_json;

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
    {"mobile_ipl", 9, 0, &PackageHeader::mobileIpl},
    {"mobile_disk_image", 10, 0, &PackageHeader::mobileDiskImage},
}};

// The CRC-32 of the bytes of a file range, fed chunk by chunk as the file is read, and
// the first bytes of the range when asked for.
struct Range {
  Range(std::uint64_t from, std::uint64_t to, std::size_t first = 0) : begin(from), end(to), keep(first) {}
  std::uint64_t begin;
  std::uint64_t end;
  std::size_t keep;  // first bytes to keep
  std::uint32_t crc = 0;
  std::vector<std::uint8_t> head;

  void Feed(std::uint64_t at, std::span<const std::uint8_t> chunk) {
    const std::uint64_t from = std::max(begin, at);
    const std::uint64_t to = std::min(end, at + chunk.size());
    if (from >= to) return;
    const auto part = chunk.subspan(static_cast<std::size_t>(from - at), static_cast<std::size_t>(to - from));
    crc = Crc32(crc, part);
    const std::size_t room = keep > head.size() ? keep - head.size() : 0;
    head.insert(head.end(), part.begin(), part.begin() + static_cast<std::ptrdiff_t>(std::min(room, part.size())));
  }
};

struct Image {
  const DirectorySlot* slot;
  ImageEntry entry;
  Range header;  // its first 512 bytes
  Range body;    // the rest
  std::optional<sim::ImageHeader> decoded;
  std::string problem;  // why it has no header
};

struct Check {
  std::string_view name;
  bool ok = false;
  std::string detail;
};

struct Report {
  std::string file;
  std::uint64_t fileSize = 0;
  PackageHeader header;
  std::string sha256;
  std::vector<Image> images;
  std::optional<std::string> engineKind;
  std::vector<Check> checks;
  std::vector<std::string> warnings;
  // The signature beside the package: its file, size, and with a key whether it verifies.
  std::optional<std::uint64_t> signatureSize;
  std::optional<std::string> keyFingerprint;
  std::optional<std::string> signatureProblem;
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
  if (headerLength < package::kIplVariantsHeaderLength) return "one IPL variant, no mobile images";
  if (headerLength < package::kMobileHeaderLength) return "three IPL variants, no mobile images";
  if (headerLength == package::kMobileHeaderLength) return "three IPL variants, Mobile IPL and Mobile Disk Image";
  return "a newer layout than the updater knows";
}

// What the updater leaves unchecked: items outside the file or the payload, overlaps.
void Warn(Report& report) {
  const PackageHeader& header = report.header;
  struct Item {
    std::string name;
    std::uint64_t begin;
    std::uint64_t end;
  };
  std::vector<Item> items = {{"the engine library", header.engineOffset,
                              std::uint64_t{header.engineOffset} + header.engineLength}};
  for (const Image& image : report.images) {
    items.push_back({Label(*image.slot), image.entry.offset, std::uint64_t{image.entry.offset} + image.entry.length});
  }
  const std::uint64_t payloadBegin = header.headerLength;
  const std::uint64_t payloadEnd = payloadBegin + header.payloadSize;
  auto& warnings = report.warnings;
  for (std::size_t i = 0; i < items.size(); ++i) {
    const Item& item = items[i];
    if (item.end > report.fileSize) {
      warnings.push_back(item.name + " lies outside the file (ends at " + std::to_string(item.end) +
                         ", the file holds " + std::to_string(report.fileSize) + " bytes)");
    }
    if (item.begin < payloadBegin || item.end > payloadEnd) {
      warnings.push_back(item.name + " lies outside the payload (" + std::to_string(payloadBegin) + " to " +
                         std::to_string(payloadEnd) + ")");
    }
    if (item.begin < package::kHeaderSize && item.end > item.begin) {
      warnings.push_back(item.name + " overlaps the 108 header bytes");
    }
    if (i > 0 && item.begin > kMaxItemOffset) {
      warnings.push_back(item.name + " starts beyond 2 GiB, where the device cannot position");
    }
    for (std::size_t j = i + 1; j < items.size(); ++j) {
      if (item.begin < items[j].end && items[j].begin < item.end) {
        warnings.push_back(item.name + " and " + items[j].name + " overlap");
      }
    }
  }
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

// The updater's checks, then what `vxpack build` checks, then the signature.
void RunChecks(Report& report, const Range& payload, const Range& engine) {
  const PackageHeader& header = report.header;
  const bool lengthOk = header.headerLength <= package::kHeaderSize;
  report.checks.push_back({"header length", lengthOk,
                           std::to_string(header.headerLength) + (lengthOk ? " (at most 108)" : " is above 108")});
  const std::uint32_t expected = package::ExpectedPayloadSize(header);
  const bool sizeOk = lengthOk && expected == header.payloadSize;
  report.checks.push_back({"payload size", sizeOk,
                           !lengthOk ? "not checked after a refused header length"
                           : sizeOk  ? std::to_string(expected)
                                     : "header says " + std::to_string(header.payloadSize) +
                                          ", the items add up to " + std::to_string(expected)});
  Check payloadCheck{"payload CRC", false, "not checked after a failed check"};
  if (sizeOk && payload.end > report.fileSize) {
    payloadCheck.detail = "the file ends before the payload (needs " + std::to_string(payload.end) +
                          " bytes, holds " + std::to_string(report.fileSize) + ")";
  } else if (sizeOk) {
    payloadCheck.ok = payload.crc == header.payloadCrc;
    payloadCheck.detail = payloadCheck.ok ? Hex32(payload.crc)
                                          : "header says " + Hex32(header.payloadCrc) + ", the payload gives " +
                                                Hex32(payload.crc);
  }
  report.checks.push_back(payloadCheck);
  Check engineCheck{"engine CRC", false, ""};
  if (header.engineOffset > kMaxItemOffset) {
    engineCheck.detail = "the engine library starts beyond 2 GiB, where the device cannot position";
  } else if (engine.end > report.fileSize) {
    engineCheck.detail = "the engine library ends at " + std::to_string(engine.end) +
                         ", beyond the end of the file (" + std::to_string(report.fileSize) + " bytes)";
  } else {
    engineCheck.ok = engine.crc == header.engineCrc;
    engineCheck.detail = engineCheck.ok ? Hex32(engine.crc)
                                        : "header says " + Hex32(header.engineCrc) +
                                              ", the engine library gives " + Hex32(engine.crc);
  }
  report.checks.push_back(engineCheck);

  std::string reason;
  report.engineKind = EngineKind(engine.head, &reason);
  report.checks.push_back({"engine library", report.engineKind.has_value(), report.engineKind.value_or(reason)});
  std::vector<PackedImage> packed;
  for (const Image& image : report.images) {
    const bool whole = image.body.end <= report.fileSize;
    packed.push_back({Label(*image.slot), image.slot->type, image.header.head, image.entry.length,
                      whole ? std::optional(image.body.crc) : std::nullopt});
  }
  const std::vector<Finding> findings = CheckImages(packed);
  std::string detail;
  for (const Finding& finding : findings) detail += (detail.empty() ? "" : "; ") + finding.subject + ": " + finding.reason;
  if (findings.empty()) {
    const auto first = std::find_if(report.images.begin(), report.images.end(),
                                    [](const Image& image) { return image.decoded.has_value(); });
    detail = std::to_string(report.images.size()) + " in their slots" +
             (first == report.images.end() ? "" : ", for hardware " + std::to_string(first->decoded->hardware));
  }
  report.checks.push_back({"images", findings.empty(), detail});
  if (report.keyFingerprint) {
    report.checks.push_back({"signature", !report.signatureProblem,
                             report.signatureProblem.value_or("verifies with key " + *report.keyFingerprint)});
  }
  report.valid = std::all_of(report.checks.begin(), report.checks.end(), [](const Check& c) { return c.ok; });
}

Json HeaderJson(const sim::ImageHeader& header) {
  return {{"type", sim::ImageTypeName(header.type)},   {"hardware", header.hardware},
          {"version", sim::VersionText(header.version)}, {"date", sim::DateText(header.date)},
          {"tag", header.tag},                           {"revision", header.revision}};
}

void PrintJson(const Report& report) {
  const PackageHeader& h = report.header;
  Json images = Json::array();
  for (const Image& image : report.images) {
    images.push_back({{"slot", image.slot->name},
                      {"slot_type", Ascii(package::ImageTypeName(image.slot->type))},
                      {"variant", image.slot->variant},
                      {"offset", image.entry.offset},
                      {"length", image.entry.length},
                      {"header", image.decoded ? HeaderJson(*image.decoded) : Json(nullptr)},
                      {"problem", image.decoded ? Json(nullptr) : Json(image.problem)}});
  }
  Json checks = Json::array();
  for (const Check& c : report.checks) checks.push_back({{"name", c.name}, {"ok", c.ok}, {"detail", c.detail}});
  Json signature = {{"file", report.signatureSize ? Json(SignatureFile(report.file).string()) : Json(nullptr)},
                    {"size", report.signatureSize ? Json(*report.signatureSize) : Json(nullptr)},
                    {"key_fingerprint", report.keyFingerprint ? Json(*report.keyFingerprint) : Json(nullptr)},
                    {"verified", report.keyFingerprint ? Json(!report.signatureProblem) : Json(nullptr)}};
  Json out;
  out["file"] = report.file;
  out["file_size"] = report.fileSize;
  out["package"] = true;
  out["sha256"] = report.sha256;
  out["header_length"] = h.headerLength;
  out["layout"] = Layout(h.headerLength);
  out["payload"] = {{"offset", h.headerLength}, {"size", h.payloadSize}, {"crc", h.payloadCrc}};
  out["extra_length"] = h.extraLength;
  out["engine"] = {{"offset", h.engineOffset},
                   {"length", h.engineLength},
                   {"crc", h.engineCrc},
                   {"kind", report.engineKind ? Json(*report.engineKind) : Json(nullptr)}};
  out["images"] = images;
  out["checks"] = checks;
  out["warnings"] = report.warnings;
  out["signature"] = signature;
  out["valid"] = report.valid;
  std::cout << tools::JsonText(out) << "\n";
}

std::string Padded(std::string text, std::size_t width) {
  text.resize(std::max(text.size() + 1, width), ' ');
  return text;
}

void PrintText(const Report& report) {
  const PackageHeader& h = report.header;
  std::ostringstream out;
  // Text from the package and its file names is shown escaped: a header cannot forge a
  // line or move the terminal.
  out << "Package:        " << tools::Printable(report.file) << " (" << report.fileSize << " bytes)\n"
      << "SHA-256:        " << report.sha256 << "\n"
      << "Header length:  " << h.headerLength << " (" << Layout(h.headerLength) << ")\n"
      << "Engine library: " << report.engineKind.value_or("not a loadable library") << ", " << h.engineLength
      << " bytes\n";
  if (h.extraLength != 0) out << "Extra bytes:    " << h.extraLength << " (carried, not used by the updater)\n";
  out << "Images:           " << Padded("type", 12) << Padded("hardware", 10) << Padded("version", 9)
      << Padded("built", 12) << "tag\n";
  for (const Image& image : report.images) {
    out << "  " << Padded(Label(*image.slot), 16);
    const auto& d = image.decoded;
    if (d) {
      out << Padded(std::string(sim::ImageTypeName(d->type)), 12) << Padded(std::to_string(d->hardware), 10)
          << Padded(sim::VersionText(d->version), 9) << Padded(sim::DateText(d->date), 12) << tools::Printable(d->tag) << "\n";
    } else {
      out << "(" << tools::Printable(image.problem) << ")\n";
    }
  }
  out << "Checks:\n";
  for (const Check& c : report.checks) {
    out << "  " << Padded(std::string(c.name), 16) << (c.ok ? "ok" : "FAILED") << ": " << tools::Printable(c.detail) << "\n";
  }
  if (!report.warnings.empty()) out << "Warnings:\n";
  for (const std::string& warning : report.warnings) out << "  " << tools::Printable(warning) << "\n";
  out << "Signature:      ";
  if (!report.signatureSize) {
    out << "none\n";
  } else {
    out << tools::Printable(SignatureFile(report.file).string()) << " (" << *report.signatureSize << " bytes)";
    if (!report.keyFingerprint) out << "; --pub NAME.pub checks it";
    if (report.keyFingerprint) {
      out << (report.signatureProblem ? "; does NOT verify with key " : "; verifies with key ")
          << *report.keyFingerprint;
    }
    out << "\n";
  }
  out << "Verdict:        " << (report.valid ? "valid" : "INVALID") << "\n";
  std::cout << out.str();
}

int NotAPackage(const std::string& file, std::string_view reason, bool json) {
  tools::Fail(file, reason);
  if (json) {
    const Json out = {{"file", file}, {"package", false}, {"error", reason}, {"valid", false}};
    std::cout << tools::JsonText(out) << "\n";
  }
  return kExitFailed;
}

}  // namespace

int RunInfo(const std::string& file, const std::optional<std::string>& publicKey, bool json) {
  Report report;
  report.file = file;
  std::string reason;
  std::optional<tools::RawKey> key;
  if (publicKey) {
    key = tools::ReadPublicKey(*publicKey, &reason);
    if (!key) return tools::Fail(*publicKey, reason);
  }
  tools::InputFile in(file);
  std::vector<std::uint8_t> buffer(1u << 20);
  std::optional<std::size_t> got = in.Read(buffer);
  if (!got) return NotAPackage(file, in.reason(), json);
  // The updater's own recognition rule: 108 bytes that begin with the magic.
  if (*got < package::kHeaderSize) return NotAPackage(file, "not a package: shorter than 108 bytes", json);
  report.header = package::DecodeHeader(std::span<const std::uint8_t, package::kHeaderSize>(buffer.data(), 108));
  const PackageHeader& h = report.header;
  if (h.magic != package::kMagic) return NotAPackage(file, "not a package: wrong magic (no \"VXUD\")", json);

  Range payload{h.headerLength, std::uint64_t{h.headerLength} + h.payloadSize};
  Range engine{h.engineOffset, std::uint64_t{h.engineOffset} + h.engineLength, kHeadSize};
  for (const DirectorySlot& slot : kDirectory) {
    const std::optional<ImageEntry> entry = package::EntryOf(h, slot.type, slot.variant);
    if (!entry || entry->Absent()) continue;
    const std::uint64_t begin = entry->offset;
    const std::uint64_t end = begin + entry->length;
    const std::uint64_t split = std::min(end, begin + sim::kHeaderSize);
    report.images.push_back({&slot, *entry, Range{begin, split, sim::kHeaderSize}, Range{split, end}, {}, {}});
  }
  tools::Sha256 sha256;
  crypto::Sha512 sha512;
  std::uint64_t at = 0;
  while (got && *got > 0) {
    const std::span<const std::uint8_t> chunk(buffer.data(), *got);
    sha256.Update(chunk);
    if (key) sha512.Update(chunk);
    payload.Feed(at, chunk);
    engine.Feed(at, chunk);
    for (Image& image : report.images) {
      image.header.Feed(at, chunk);
      image.body.Feed(at, chunk);
    }
    at += *got;
    got = in.Read(buffer);
  }
  report.fileSize = at;
  if (!got) return NotAPackage(file, in.reason(), json);
  const std::optional<tools::Sha256Digest> digest = sha256.Finish();
  report.sha256 = digest ? tools::Hex(*digest) : "(unknown)";
  for (Image& image : report.images) image.decoded = sim::DecodeHeader(image.header.head, &image.problem);

  std::error_code error;
  const fs::path sigFile = SignatureFile(file);
  if (fs::exists(sigFile, error)) {
    report.signatureSize = fs::is_regular_file(sigFile, error) ? fs::file_size(sigFile, error) : 0;
  }
  if (key) {
    report.keyFingerprint = tools::Fingerprint(*key);
    const std::optional<crypto::Digest> digest512 = sha512.Finish();
    report.signatureProblem =
        digest512 ? SignatureProblem(*key, crypto::Purpose::kPackage, *digest512, sigFile)
                  : std::optional<std::string>("the digest failed");
  }
  RunChecks(report, payload, engine);
  Warn(report);
  if (json) {
    PrintJson(report);
  } else {
    PrintText(report);
  }
  for (const Check& check : report.checks) {
    if (!check.ok) tools::Fail(file, std::string(check.name) + ": " + check.detail);
  }
  return report.valid ? kExitOk : kExitFailed;
}

}  // namespace vxpack
