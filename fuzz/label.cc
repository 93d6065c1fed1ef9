// The updater label on arbitrary executables: the scan against a plain reference scan,
// the label CRC over the bytes outside the label, and the hand-off's decision for these
// bytes as "\Storage Card\VXUpdater.exe".  Starting a process is made to fail from
// outside (VXU_FAULTS=process): the decision is still taken and reported, but nothing
// is run.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "control/control.h"
#include "fuzz/support.h"

namespace {

// "VXUPDLABEL" and its reverse, each with its NUL, written out byte by byte: a literal
// of either would be one more candidate in this very executable.
constexpr std::uint8_t kFirst[] = {86, 88, 85, 80, 68, 76, 65, 66, 69, 76, 0};
constexpr std::uint8_t kSecond[] = {76, 69, 66, 65, 76, 68, 80, 85, 88, 86, 0};

// The first offset whose 28 bytes lie wholly inside the file and carry both markers.
std::optional<std::size_t> ReferenceScan(std::span<const std::uint8_t> file) {
  for (std::size_t i = 0; i + control::kLabelSize <= file.size(); ++i) {
    if (std::memcmp(&file[i], kFirst, sizeof kFirst) == 0 &&
        std::memcmp(&file[i + 16], kSecond, sizeof kSecond) == 0) {
      return i;
    }
  }
  return std::nullopt;
}

std::uint32_t LabelCrc(std::span<const std::uint8_t> file, std::size_t label) {
  uLong crc = ::crc32(0, nullptr, 0);
  crc = ::crc32(crc, file.data(), static_cast<uInt>(label));
  const auto after = file.subspan(label + control::kLabelSize);
  crc = ::crc32(crc, after.data(), static_cast<uInt>(after.size()));
  return static_cast<std::uint32_t>(crc);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::MakeDevice({.zlib = true, .engine = false, .faults = "process"});
  fuzz::Expect(platform::LoadLibrary(u"zlib.dll") != platform::kNullModule,
               "zlib.dll does not load");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> file(data, size);
  const std::optional<std::size_t> label = control::FindUpdaterLabel(file);
  fuzz::Expect(label == ReferenceScan(file), "the label scan disagrees with the reference");

  bool sameBuild = false;
  if (label) {
    fuzz::Expect(*label + control::kLabelSize <= size, "the label reaches past the file");
    const std::uint32_t crc = LabelCrc(file, *label);
    // Stamping writes into the label only, so it never moves the label the scan finds.
    std::vector<std::uint8_t> stamped(file.begin(), file.end());
    for (std::size_t k = 0; k < 4; ++k) {
      stamped[*label + control::kLabelCrcOffset + k] = static_cast<std::uint8_t>(crc >> (8 * k));
    }
    fuzz::Expect(control::FindUpdaterLabel(stamped) == label, "stamping moved the label");
    fuzz::Expect(LabelCrc(stamped, *label) == crc, "stamping changed the label CRC");
    sameBuild = fuzz::LoadLe32(&data[*label + control::kLabelCrcOffset]) == control::OwnLabelCrc() &&
                crc == control::OwnLabelCrc();
  }

  fuzz::WriteDeviceFile("Storage Card/VXUpdater.exe", file);
  const std::int32_t started = control::HandOffToUpdater(u"\\Storage Card\\VXUpdate.bin");
  fuzz::Expect(started == (sameBuild ? 0 : 1), "the hand-off misjudged the build");
  return 0;
}
