// vxpack build: lays out, checks and writes an update package.
//
// File layout written (H = the header length asked for, 0..108):
//
//   0 .. 108          the 108-byte header; the updater always reads all of it
//   108 ..            the --extra file, then the engine library, then the images in
//                     directory order (ipl0, spl, miniboot, bootloader, wince, ipl1, ipl2,
//                     mobileIpl, mobileDiskImage), back to back
//
// The payload is every byte from H to the end of the file.  With H below 108 the header
// bytes from H to 108 are payload bytes too; they belong to the extra item, which
// therefore runs from H to the engine library: extraLength = (108 - H) + the --extra
// file's length.  So payloadSize = extraLength + engine + images, the rule the updater
// checks, and the items still lie exactly where the directory says.
//
// Below 12 the payload covers the payloadCrc field itself.  The field then holds a
// chosen value and the unused word at offset 16 (also inside the payload) is set so that
// the payload's CRC-32 comes out as that value.
//
// What goes in is checked on the very bytes written (see check.cc); a package with a
// finding is not written unless --force asks for it.
#include <array>
#include <cerrno>
#include <cstdint>
#include <iostream>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "package/package.h"
#include "platform/host_process.h"
#include "tools/pack/pack.h"

namespace vxpack {
namespace {

using package::ImageEntry;
using package::PackageHeader;

constexpr std::uint64_t kMaxFileSize = 0xFFFFFFFFull;
// The device positions its file with a signed 32-bit distance, so an item that starts
// beyond this cannot be reached there.
constexpr std::uint64_t kMaxItemOffset = 0x7FFFFFFFull;
constexpr std::size_t kMaxIpls = 3;
constexpr std::uint32_t kPayloadCrcOffset = 8;

// The directory slots in file order, with the option that fills each.
enum Slot : std::size_t {
  kIpl0, kSpl, kMiniboot, kBootloader, kWince, kIpl1, kIpl2, kMobileIpl, kMobileDisk,
  kSlotCount
};
constexpr std::array<std::string_view, kSlotCount> kSlotOption = {
    "--ipl", "--spl", "--miniboot", "--bootloader", "--wince",
    "--ipl", "--ipl", "--mobile-ipl", "--mobile-disk"};
constexpr std::array<std::uint32_t, kSlotCount> kSlotType = {5, 2, 1, 3, 4, 5, 5, 9, 10};

std::string TypeName(std::uint32_t type) { return std::string(sim::ImageTypeName(type)); }

ImageEntry& EntryOfSlot(PackageHeader& header, std::size_t slot) {
  switch (slot) {
    case kIpl0: return header.ipl0;
    case kSpl: return header.spl;
    case kMiniboot: return header.miniboot;
    case kBootloader: return header.bootloader;
    case kWince: return header.wince;
    case kIpl1: return header.ipl1;
    case kIpl2: return header.ipl2;
    case kMobileIpl: return header.mobileIpl;
    default: return header.mobileDiskImage;
  }
}

struct BuildOptions {
  std::optional<std::string> output;
  std::optional<std::string> engine;
  std::optional<std::string> extra;
  std::uint32_t headerLength = package::kHeaderSize;
  std::array<std::optional<std::string>, kSlotCount> images;
  std::vector<std::string> ipls;
};

// One file that goes into the package, and what was read of it while it was written.
struct Source {
  Source(std::string name, fs::path path) : option(std::move(name)), file(std::move(path)) {}
  std::string option;
  fs::path file;
  std::uint64_t size = 0;
  std::optional<std::size_t> slot;  // an image's directory slot
  std::vector<std::uint8_t> head;   // its first kHeadSize bytes
  std::uint32_t crc = 0;            // of the whole file
  std::uint32_t bodyCrc = 0;        // of its bytes from 512 on
};

std::string Subject(const Source& source) { return source.option + " " + source.file.string(); }

// A failure said, for the steps that answer true or false.
bool Refused(std::string_view subject, std::string_view reason) {
  tools::Fail(subject, reason);
  return false;
}

// The command line's options by directory slot, and the header length as a number;
// returns kExitOk, or the exit code to end with after a complaint.
int Arrange(const BuildArguments& args, BuildOptions& options) {
  const auto Usage = [&](std::string_view subject, std::string_view reason) {
    return tools::Usage(*args.command, subject, reason);
  };
  options.output = args.output;
  options.engine = args.engine;
  options.extra = args.extra;
  options.images[kMiniboot] = args.miniboot;
  options.images[kSpl] = args.spl;
  options.images[kBootloader] = args.bootloader;
  options.images[kWince] = args.wince;
  options.images[kMobileIpl] = args.mobileIpl;
  options.images[kMobileDisk] = args.mobileDisk;
  options.ipls = args.ipls;
  if (!options.output) return Usage("-o", "missing: name the package to write");
  if (!options.engine) return Usage("--engine", "missing: every package carries its engine library");
  if (args.headerLength) {
    std::uint64_t number = 0;
    for (const char c : *args.headerLength) {
      if (c < '0' || c > '9' || number > kMaxFileSize) return Usage("--header-length", "not a number");
      number = number * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (number > package::kHeaderSize) {
      return Usage("--header-length", "above 108: the updater refuses a header it does not know");
    }
    options.headerLength = static_cast<std::uint32_t>(number);
  }
  return kExitOk;
}

// What the updater would refuse, or a package that could never pass its checks: a usage
// mistake, answered with its exit status; kExitOk when the options go together.
int CheckCombination(const CLI::App& command, BuildOptions& options) {
  const auto Complain = [&](std::string_view subject, std::string_view reason) {
    return tools::Usage(command, subject, reason);
  };
  if (options.ipls.size() > kMaxIpls) {
    return Complain("--ipl", "given more than 3 times: the directory holds three IPL variants");
  }
  constexpr std::array<Slot, kMaxIpls> kIplSlots = {kIpl0, kIpl1, kIpl2};
  for (std::size_t i = 0; i < options.ipls.size(); ++i) options.images[kIplSlots[i]] = options.ipls[i];

  const bool mobile = options.images[kMobileIpl] || options.images[kMobileDisk];
  if (mobile && options.images[kWince]) {
    return Complain("--wince", "cannot go with mobile images: the updater writes one or the other");
  }
  for (const Slot slot : {kMobileIpl, kMobileDisk}) {
    if (options.images[slot] && options.headerLength < package::kMobileHeaderLength) {
      return Complain(kSlotOption[slot], "needs header length 108");
    }
  }
  for (const Slot slot : {kIpl1, kIpl2}) {
    if (options.images[slot] && options.headerLength < package::kIplVariantsHeaderLength) {
      return Complain("--ipl", "a second or third IPL variant needs header length 92 or more");
    }
  }
  // The suitability check asks for the Bootloader and for an operating system on every
  // device, so a package without them is refused whatever the device.
  if (!options.images[kBootloader]) {
    return Complain("--bootloader", "missing: the updater refuses a package without a Bootloader");
  }
  if (!mobile && !options.images[kWince]) {
    return Complain("--wince", "missing: give --wince, or --mobile-ipl and --mobile-disk");
  }
  if (mobile && !(options.images[kMobileIpl] && options.images[kMobileDisk])) {
    return Complain(options.images[kMobileIpl] ? "--mobile-disk" : "--mobile-ipl",
                    "missing: the mobile images go together");
  }
  return kExitOk;
}

// Fills `source.size` from the file; one complaint and false when it cannot be used.
bool Measure(Source& source) {
  std::error_code error;
  const fs::file_status status = fs::status(source.file, error);
  const auto fail = [&](std::string_view reason) { return Refused(Subject(source), reason); };
  if (!fs::exists(status)) return fail(tools::SystemReason(ENOENT));
  if (fs::is_directory(status)) return fail(tools::SystemReason(EISDIR));
  if (!fs::is_regular_file(status)) return fail("not a regular file");
  source.size = fs::file_size(source.file, error);
  if (error) return fail(error.message());
  if (source.size == 0) return fail("empty file: a length of 0 reads as an absent item");
  return true;
}

// Appends `source` to `out` and keeps its first bytes and CRCs; false (after a
// complaint) when it cannot be read whole, does not hold the size measured before, the
// output cannot be written or the user interrupts.
bool Append(Source& source, tools::OutputFile& out, const fs::path& output) {
  tools::InputFile in(source.file);
  std::vector<std::uint8_t> buffer(1u << 20);
  std::uint64_t copied = 0;
  std::uint32_t headCrc = 0;
  for (;;) {
    if (platform::host::Interrupted()) return Refused(output.string(), "interrupted; nothing written");
    const std::optional<std::size_t> got = in.Read(buffer);
    if (!got) return Refused(Subject(source), in.reason());
    if (*got == 0) break;
    const std::span<const std::uint8_t> chunk(buffer.data(), *got);
    const std::size_t inHead = copied < kHeadSize ? std::min<std::size_t>(*got, kHeadSize - copied) : 0;
    source.head.insert(source.head.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(inHead));
    const std::size_t inHeader =
        copied < sim::kHeaderSize ? std::min<std::size_t>(*got, sim::kHeaderSize - copied) : 0;
    headCrc = Crc32(headCrc, chunk.first(inHeader));
    source.bodyCrc = Crc32(source.bodyCrc, chunk.subspan(inHeader));
    if (!out.Write(chunk)) return Refused(output.string(), out.reason());
    copied += *got;
  }
  if (copied != source.size) return Refused(Subject(source), "changed while packing");
  source.crc = copied > sim::kHeaderSize ? Crc32Combine(headCrc, source.bodyCrc, copied - sim::kHeaderSize)
                                         : headCrc;
  return true;
}

// What the checks find in the sources as they were written.
std::vector<Finding> Findings(const std::vector<Source>& sources, std::size_t engineIndex,
                              std::string* engineKind) {
  std::vector<PackedImage> images;
  for (const Source& source : sources) {
    if (!source.slot) continue;
    images.push_back({Subject(source), kSlotType[*source.slot],
                      std::vector<std::uint8_t>(source.head.begin(),
                                                source.head.begin() + std::min(source.head.size(), sim::kHeaderSize)),
                      source.size, source.bodyCrc});
  }
  std::vector<Finding> findings = CheckImages(images);
  std::string reason;
  const std::optional<std::string> kind = EngineKind(sources[engineIndex].head, &reason);
  if (kind) *engineKind = *kind;
  if (!kind) findings.insert(findings.begin(), {Subject(sources[engineIndex]), reason});
  return findings;
}

// The CRC-32 of the payload: the header bytes from the header length on, then the
// `itemsCrc` of the `itemsLength` bytes that follow the header.
std::uint32_t PayloadCrc(const PackageHeader& header, std::uint32_t itemsCrc,
                         std::uint64_t itemsLength) {
  const auto bytes = package::EncodeHeader(header);
  const std::span<const std::uint8_t> inPayload =
      std::span(bytes).subspan(std::min<std::size_t>(header.headerLength, bytes.size()));
  return Crc32Combine(Crc32(0, inPayload), itemsCrc, itemsLength);
}

// For a payload that covers its own payloadCrc field: picks the reserved word so that the
// payload's CRC-32 equals the payloadCrc already in `header`.  The CRC is affine in the
// reserved word and the map is invertible (the word lies whole in the payload), so a
// Gaussian elimination over the 32 unit words always finds it.  False if it did not.
bool CompensateReserved(PackageHeader& header, std::uint32_t itemsCrc,
                        std::uint64_t itemsLength) {
  header.reserved = 0;
  const std::uint32_t base = PayloadCrc(header, itemsCrc, itemsLength);
  // basis[b]: a column combination whose highest set bit is b, with the words it came from.
  std::array<std::uint32_t, 32> vector{};
  std::array<std::uint32_t, 32> words{};
  for (std::uint32_t bit = 0; bit < 32; ++bit) {
    header.reserved = 1u << bit;
    std::uint32_t column = PayloadCrc(header, itemsCrc, itemsLength) ^ base;
    std::uint32_t word = 1u << bit;
    for (int b = 31; b >= 0 && column != 0; --b) {
      if ((column >> b & 1u) == 0) continue;
      if (vector[b] == 0) {
        vector[b] = column;
        words[b] = word;
        break;
      }
      column ^= vector[b];
      word ^= words[b];
    }
  }
  std::uint32_t target = base ^ header.payloadCrc;
  std::uint32_t solution = 0;
  for (int b = 31; b >= 0; --b) {
    if ((target >> b & 1u) == 0) continue;
    if (vector[b] == 0) return false;
    target ^= vector[b];
    solution ^= words[b];
  }
  header.reserved = solution;
  return PayloadCrc(header, itemsCrc, itemsLength) == header.payloadCrc;
}

// Writes the package to a temporary file beside `output`, checks what went in and
// renames it into place.
int Write(const BuildArguments& args, PackageHeader header, std::vector<Source>& sources,
          std::size_t engineIndex, std::uint64_t itemsLength) {
  const fs::path output = *args.output;
  std::vector<fs::path> inputs;
  for (const Source& source : sources) inputs.push_back(source.file);
  tools::OutputFile out(output, inputs);
  if (!out.ok()) return tools::Fail(output.string(), out.reason());
  // An interrupt ends the copy below instead of the process, so that the temporary file
  // goes with it.
  platform::host::WatchInterrupts();
  std::array<std::uint8_t, package::kHeaderSize> placeholder{};
  if (!out.Write(placeholder)) return tools::Fail(output.string(), out.reason());
  std::uint32_t itemsCrc = 0;
  for (Source& source : sources) {
    if (!Append(source, out, output)) {
      return platform::host::Interrupted() ? 128 + platform::host::InterruptSignal() : kExitFailed;
    }
    itemsCrc = Crc32Combine(itemsCrc, source.crc, source.size);
  }
  // The engine CRC is taken from the very bytes written.
  header.engineCrc = sources[engineIndex].crc;

  std::string engineKind = "unrecognised";
  const std::vector<Finding> findings = Findings(sources, engineIndex, &engineKind);
  for (const Finding& finding : findings) {
    if (args.force) tools::Warn(finding.subject, finding.reason);
    if (!args.force) tools::Fail(finding.subject, finding.reason);
  }
  if (!findings.empty() && !args.force) {
    return tools::Fail(output.string(), "not written; --force packs it anyway");
  }

  header.payloadCrc = PayloadCrc(header, itemsCrc, itemsLength);
  if (header.headerLength < kPayloadCrcOffset + 4 && !CompensateReserved(header, itemsCrc, itemsLength)) {
    return tools::Fail(output.string(), "cannot make the payload CRC hold its own field");
  }
  if (!out.Rewind() || !out.Write(package::EncodeHeader(header)) || !out.Commit()) {
    return tools::Fail(output.string(), out.reason());
  }
  std::string images;
  for (const Source& source : sources) {
    if (source.slot) images += (images.empty() ? "" : ", ") + TypeName(kSlotType[*source.slot]);
  }
  std::cout << output.string() << ": package written, " << package::kHeaderSize + itemsLength
            << " bytes: " << images << " and the engine library (" << engineKind << ")\n";
  return kExitOk;
}

}  // namespace

int RunBuild(const BuildArguments& args) {
  BuildOptions options;
  if (const int code = Arrange(args, options); code != kExitOk) return code;
  if (const int code = CheckCombination(*args.command, options); code != kExitOk) return code;

  // Items in file order: extra, engine, then the images in directory order.
  std::vector<Source> sources;
  if (options.extra) sources.emplace_back("--extra", *options.extra);
  const std::size_t engineIndex = sources.size();
  sources.emplace_back("--engine", *options.engine);
  std::array<std::size_t, kSlotCount> sourceOfSlot{};
  for (std::size_t slot = 0; slot < kSlotCount; ++slot) {
    if (!options.images[slot]) continue;
    sourceOfSlot[slot] = sources.size();
    sources.emplace_back(std::string(kSlotOption[slot]), *options.images[slot]);
    sources.back().slot = slot;
  }
  for (Source& source : sources) {
    if (!Measure(source)) return kExitFailed;
  }

  PackageHeader header;
  header.magic = package::kMagic;
  header.headerLength = options.headerLength;
  std::uint64_t position = package::kHeaderSize;
  std::vector<std::uint64_t> offsets;
  for (const Source& source : sources) {
    if (position > kMaxItemOffset) {
      return tools::Fail(Subject(source), "would start beyond 2 GiB, where the device cannot position");
    }
    offsets.push_back(position);
    position += source.size;
    if (position > kMaxFileSize) return tools::Fail(*options.output, "the package would exceed 4 GiB");
  }
  const std::uint64_t itemsLength = position - package::kHeaderSize;
  const std::uint64_t extraFile = options.extra ? sources.front().size : 0;
  header.extraLength = static_cast<std::uint32_t>(package::kHeaderSize - header.headerLength + extraFile);
  header.engineOffset = static_cast<std::uint32_t>(offsets[engineIndex]);
  header.engineLength = static_cast<std::uint32_t>(sources[engineIndex].size);
  for (std::size_t slot = 0; slot < kSlotCount; ++slot) {
    if (!options.images[slot]) continue;
    const std::size_t index = sourceOfSlot[slot];
    EntryOfSlot(header, slot) = {static_cast<std::uint32_t>(offsets[index]),
                                 static_cast<std::uint32_t>(sources[index].size)};
  }
  header.payloadSize = static_cast<std::uint32_t>(position - header.headerLength);
  if (package::ExpectedPayloadSize(header) != header.payloadSize) {
    return tools::Fail(*options.output, "internal error: the layout breaks the payload-length rule");
  }
  return Write(args, header, sources, engineIndex, itemsLength);
}

}  // namespace vxpack
