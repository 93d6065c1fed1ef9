// vxpack: what goes into a package must be what the updater and the device expect: each
// image of the type of its slot, whole, built for the package's one hardware, and an
// engine library that the device can load.
#include <array>
#include <cstdio>

#include "package/package.h"
#include "tools/pack/pack.h"

namespace vxpack {
namespace {

std::uint64_t Load(std::span<const std::uint8_t> bytes, std::size_t at, std::size_t size) {
  std::uint64_t value = 0;
  for (std::size_t i = size; i-- > 0;) value = value << 8 | bytes[at + i];
  return value;
}

std::string TypeName(std::uint32_t type) {
  const std::string_view name = sim::ImageTypeName(type);
  return name.empty() ? "type " + std::to_string(type) : std::string(name);
}

struct Machine {
  std::uint32_t code;
  std::string_view name;
};
constexpr std::array<Machine, 6> kElfMachines = {
    {{3, "i386"}, {40, "ARM"}, {62, "x86-64"}, {183, "AArch64"}, {8, "MIPS"}, {243, "RISC-V"}}};
constexpr std::array<Machine, 9> kPeMachines = {{{0x14c, "i386"},
                                                 {0x8664, "x86-64"},
                                                 {0x1c0, "ARM"},
                                                 {0x1c2, "ARM Thumb"},
                                                 {0x1c4, "ARMv7"},
                                                 {0xaa64, "ARM64"},
                                                 {0x166, "MIPS"},
                                                 {0x1a2, "SH3"},
                                                 {0x1a6, "SH4"}}};

template <std::size_t N>
std::string MachineName(const std::array<Machine, N>& table, std::uint64_t code) {
  for (const Machine& machine : table) {
    if (machine.code == code) return std::string(machine.name);
  }
  std::array<char, 24> text{};
  std::snprintf(text.data(), text.size(), "machine 0x%llx", static_cast<unsigned long long>(code));
  return text.data();
}

constexpr std::size_t kElfHeaderSize = 64;
constexpr std::uint64_t kElfSharedObject = 3;  // ET_DYN
constexpr std::uint64_t kElfInterpreter = 3;   // PT_INTERP: a program, not a library

// Class (32 or 64 bits) and machine of an ELF file's header, as one number to compare.
std::uint64_t ElfTarget(std::span<const std::uint8_t> head) {
  return Load(head, 4, 1) << 16 | Load(head, 18, 2);
}

// The class and machine of the running tool: the host the simulated device runs on.
std::optional<std::uint64_t> HostTarget() {
  tools::InputFile self("/proc/self/exe");
  std::array<std::uint8_t, kElfHeaderSize> head{};
  const std::optional<std::size_t> got = self.Read(head);
  if (!got || *got != head.size()) return std::nullopt;
  return ElfTarget(head);
}

std::optional<std::string> ElfKind(std::span<const std::uint8_t> head, std::string* reason) {
  const bool wide = head.size() >= kElfHeaderSize && head[4] == 2;
  if (head.size() < kElfHeaderSize || (head[4] != 1 && !wide) || head[5] != 1) {
    *reason = "an ELF file of a layout the host cannot load";
    return std::nullopt;
  }
  // A position-independent program is ET_DYN too; its interpreter gives it away.
  bool program = Load(head, 16, 2) != kElfSharedObject;
  const std::uint64_t at = Load(head, wide ? 32 : 28, wide ? 8 : 4);
  const std::uint64_t entry = Load(head, wide ? 54 : 42, 2);
  const std::uint64_t count = Load(head, wide ? 56 : 44, 2);
  for (std::uint64_t i = 0;
       at <= head.size() && entry >= 4 && i < count && (i + 1) * entry <= head.size() - at; ++i) {
    program = program || Load(head, at + i * entry, 4) == kElfInterpreter;
  }
  const std::string machine = MachineName(kElfMachines, Load(head, 18, 2));
  if (program) {
    *reason = "an ELF program, not a shared library";
    return std::nullopt;
  }
  const std::optional<std::uint64_t> host = HostTarget();
  if (!host || *host != ElfTarget(head)) {
    *reason = "an ELF shared library for " + std::string(wide ? "64" : "32") + "-bit " + machine +
              ", which this host's simulated device cannot load";
    return std::nullopt;
  }
  return "ELF shared library, " + machine;
}

constexpr std::uint64_t kPeDll = 0x2000;  // IMAGE_FILE_DLL

std::optional<std::string> PeKind(std::span<const std::uint8_t> head, std::string* reason) {
  const std::uint64_t at = head.size() >= 64 ? Load(head, 0x3c, 4) : head.size();
  if (at + 24 > head.size() || Load(head, at, 4) != 0x4550) {  // "PE\0\0"
    *reason = "an MZ file without a PE header, not a shared library";
    return std::nullopt;
  }
  if ((Load(head, at + 22, 2) & kPeDll) == 0) {
    *reason = "a PE program, not a DLL";
    return std::nullopt;
  }
  return "PE DLL, " + MachineName(kPeMachines, Load(head, at + 4, 2));
}

}  // namespace

std::vector<Finding> CheckImages(std::span<const PackedImage> images) {
  std::vector<Finding> findings;
  const PackedImage* first = nullptr;
  std::uint32_t hardware = 0;
  for (const PackedImage& image : images) {
    std::string reason;
    const std::optional<sim::ImageHeader> header = sim::DecodeHeader(image.head, &reason);
    if (!header) {
      findings.push_back({image.subject, "not an image: " + reason});
      continue;
    }
    const auto find = [&](std::string why) { findings.push_back({image.subject, std::move(why)}); };
    if (header->type != image.slotType) {
      find("a " + TypeName(header->type) + " image in the " + TypeName(image.slotType) + " slot");
    }
    if (header->length != image.length) {
      find("its header says " + std::to_string(header->length) + " bytes, but it holds " +
           std::to_string(image.length));
    } else if (image.bodyCrc && *image.bodyCrc != header->bodyCrc) {
      find("its body does not match the CRC in its header");
    }
    if (first == nullptr) {
      first = &image;
      hardware = header->hardware;
    } else if (header->hardware != hardware) {
      find("built for hardware " + std::to_string(header->hardware) + ", but " + first->subject +
           " for " + std::to_string(hardware) + ": a package serves one hardware");
    }
  }
  return findings;
}

std::optional<std::string> EngineKind(std::span<const std::uint8_t> head, std::string* reason) {
  if (head.size() >= 4 && Load(head, 0, 4) == 0x464c457f)
    return ElfKind(head, reason);  // "\x7fELF"
  if (head.size() >= 2 && head[0] == 'M' && head[1] == 'Z') return PeKind(head, reason);
  *reason = "not a shared library (neither ELF nor PE)";
  return std::nullopt;
}

}  // namespace vxpack
