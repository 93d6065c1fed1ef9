// vxpack build: lays out and writes an update package.
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
#include <array>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "package/package.h"
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

// One file that goes into the package.
struct Source {
  std::string option;
  fs::path file;
  std::uint64_t size = 0;
};

std::string Subject(const Source& source) { return source.option + " " + source.file.string(); }

int Usage(std::string_view subject, std::string_view reason) {
  Complain(subject, reason);
  std::cerr << "Try 'vxpack build --help'.\n";
  return kExitUsage;
}

// The command line's options by directory slot, and the header length as a number;
// returns kExitOk, or the exit code to end with after a complaint.
int Arrange(const BuildArguments& args, BuildOptions& options) {
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
  if (args.headerLength) {
    std::uint64_t number = 0;
    for (const char c : *args.headerLength) {
      if (c < '0' || c > '9' || number > kMaxFileSize) return Usage("--header-length", "not a number");
      number = number * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (number > package::kHeaderSize) {
      Complain("--header-length", "above 108: the updater refuses a header it does not know");
      return kExitFailed;
    }
    options.headerLength = static_cast<std::uint32_t>(number);
  }
  return kExitOk;
}

// What the updater would refuse, or a package that could never pass its checks.  One
// complaint and false, or true.
bool CheckCombination(BuildOptions& options) {
  if (!options.engine) {
    Complain("--engine", "missing: every package carries its engine library");
    return false;
  }
  if (options.ipls.size() > kMaxIpls) {
    Complain("--ipl", "given more than 3 times: the directory holds three IPL variants");
    return false;
  }
  constexpr std::array<Slot, kMaxIpls> kIplSlots = {kIpl0, kIpl1, kIpl2};
  for (std::size_t i = 0; i < options.ipls.size(); ++i) options.images[kIplSlots[i]] = options.ipls[i];

  const bool mobile = options.images[kMobileIpl] || options.images[kMobileDisk];
  if (mobile && options.images[kWince]) {
    Complain("--wince", "cannot go with mobile images: the updater writes one or the other");
    return false;
  }
  for (const Slot slot : {kMobileIpl, kMobileDisk}) {
    if (options.images[slot] && options.headerLength < package::kMobileHeaderLength) {
      Complain(kSlotOption[slot], "needs header length 108");
      return false;
    }
  }
  for (const Slot slot : {kIpl1, kIpl2}) {
    if (options.images[slot] && options.headerLength < package::kIplVariantsHeaderLength) {
      Complain("--ipl", "a second or third IPL variant needs header length 92 or more");
      return false;
    }
  }
  // The suitability check asks for the Bootloader and for an operating system on every
  // device, so a package without them is refused whatever the device.
  if (!options.images[kBootloader]) {
    Complain("--bootloader", "missing: the updater refuses a package without a Bootloader");
    return false;
  }
  if (!mobile && !options.images[kWince]) {
    Complain("--wince", "missing: give --wince, or --mobile-ipl and --mobile-disk");
    return false;
  }
  if (mobile && !(options.images[kMobileIpl] && options.images[kMobileDisk])) {
    Complain(options.images[kMobileIpl] ? "--mobile-disk" : "--mobile-ipl",
             "missing: the mobile images go together");
    return false;
  }
  return true;
}

// Fills `source.size` from the file; one complaint and false when it cannot be used.
bool Measure(Source& source) {
  std::error_code error;
  const fs::file_status status = fs::status(source.file, error);
  if (error || !fs::exists(status)) {
    Complain(Subject(source), "no such file");
    return false;
  }
  if (!fs::is_regular_file(status)) {
    Complain(Subject(source), "not a regular file");
    return false;
  }
  source.size = fs::file_size(source.file, error);
  if (error) {
    Complain(Subject(source), error.message());
    return false;
  }
  if (source.size == 0) {
    Complain(Subject(source), "empty file: a length of 0 reads as an absent item");
    return false;
  }
  return true;
}

// Appends `source` to `out`, continuing `crc` over its bytes; false (after a complaint)
// when it cannot be read whole or does not hold the size measured before.
bool Append(const Source& source, std::ofstream& out, std::uint32_t& crc) {
  std::ifstream in(source.file, std::ios::binary);
  if (!in) {
    Complain(Subject(source), "cannot open for reading");
    return false;
  }
  std::vector<char> buffer(1u << 20);
  std::uint64_t copied = 0;
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    const auto got = static_cast<std::size_t>(in.gcount());
    if (got == 0) break;
    crc = Crc32(crc, std::span(reinterpret_cast<const std::uint8_t*>(buffer.data()), got));
    out.write(buffer.data(), static_cast<std::streamsize>(got));
    copied += got;
  }
  if (in.bad() || copied != source.size) {
    Complain(Subject(source), "changed or unreadable while packing");
    return false;
  }
  return true;
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

// Writes the package to a temporary file beside `output` and renames it into place.
int Write(const fs::path& output, PackageHeader header, const std::vector<Source>& sources,
          std::size_t engineIndex, std::uint64_t itemsLength) {
  std::random_device random;
  const fs::path temporary = output.string() + ".tmp" + std::to_string(random());
  std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
  if (!out) {
    Complain(output.string(), "cannot create " + temporary.filename().string());
    return kExitFailed;
  }
  const auto discard = [&](std::string_view reason) {
    out.close();
    std::error_code ignored;
    fs::remove(temporary, ignored);
    if (!reason.empty()) Complain(output.string(), reason);
    return kExitFailed;
  };

  std::array<char, package::kHeaderSize> placeholder{};
  out.write(placeholder.data(), placeholder.size());
  std::uint32_t itemsCrc = 0;
  for (std::size_t i = 0; i < sources.size(); ++i) {
    std::uint32_t ownCrc = 0;
    if (!Append(sources[i], out, ownCrc)) return discard("");
    itemsCrc = Crc32Combine(itemsCrc, ownCrc, sources[i].size);
    // The engine CRC is taken from the very bytes written.
    if (i == engineIndex) header.engineCrc = ownCrc;
  }

  header.payloadCrc = PayloadCrc(header, itemsCrc, itemsLength);
  if (header.headerLength < kPayloadCrcOffset + 4 &&
      !CompensateReserved(header, itemsCrc, itemsLength)) {
    return discard("cannot make the payload CRC hold its own field");
  }
  const auto bytes = package::EncodeHeader(header);
  out.seekp(0);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.flush();
  if (!out) return discard("write failed");
  out.close();
  if (out.fail()) return discard("write failed");

  std::error_code error;
  fs::rename(temporary, output, error);
  if (error) return discard(error.message());
  return kExitOk;
}

}  // namespace

int RunBuild(const BuildArguments& args) {
  BuildOptions options;
  if (const int code = Arrange(args, options); code != kExitOk) return code;
  if (!CheckCombination(options)) return kExitFailed;

  // Items in file order: extra, engine, then the images in directory order.
  std::vector<Source> sources;
  if (options.extra) sources.push_back({"--extra", *options.extra});
  const std::size_t engineIndex = sources.size();
  sources.push_back({"--engine", *options.engine});
  std::array<std::size_t, kSlotCount> sourceOfSlot{};
  for (std::size_t slot = 0; slot < kSlotCount; ++slot) {
    if (!options.images[slot]) continue;
    sourceOfSlot[slot] = sources.size();
    sources.push_back({std::string(kSlotOption[slot]), *options.images[slot]});
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
      Complain(Subject(source), "would start beyond 2 GiB, where the device cannot position");
      return kExitFailed;
    }
    offsets.push_back(position);
    position += source.size;
    if (position > kMaxFileSize) {
      Complain(*options.output, "the package would exceed 4 GiB");
      return kExitFailed;
    }
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
    Complain(*options.output, "internal error: the layout breaks the payload-length rule");
    return kExitFailed;
  }

  for (std::size_t slot = 0; slot < kSlotCount; ++slot) {
    if (options.images[slot] && sources[sourceOfSlot[slot]].size < package::kImageProbeSize) {
      std::cerr << "vxpack: warning: " << Subject(sources[sourceOfSlot[slot]])
                << ": shorter than 512 bytes, the bytes the device examines\n";
    }
  }
  return Write(*options.output, header, sources, engineIndex, itemsLength);
}

}  // namespace vxpack
