// Arbitrary bytes as an executable: the label scan agrees with a plain reference scan,
// and the hand-off takes these bytes as "\Storage Card\VXUpdater.exe" for this very build
// only when their label carries this build's CRC and the rest of the bytes match it.
// Starting a process fails on purpose (VXU_FAULTS=process): nothing is ever run.
#include <zlib.h>

#include <cstring>
#include <optional>

#include "control/control.h"
#include "fuzz/support.h"
#include "platform/platform.h"

void fuzz::Start() { MakeDevice(true, false, "process"); }

void fuzz::One(std::span<const std::uint8_t> file) {
  // The markers byte by byte: a literal would be one more label in this executable.
  static constexpr std::uint8_t kFirst[] = {86, 88, 85, 80, 68, 76, 65, 66, 69, 76, 0};
  static constexpr std::uint8_t kSecond[] = {76, 69, 66, 65, 76, 68, 80, 85, 88, 86, 0};
  std::optional<std::size_t> reference;
  for (std::size_t i = 0; !reference && i + control::kLabelSize <= file.size(); ++i) {
    if (std::memcmp(&file[i], kFirst, 11) == 0 && std::memcmp(&file[i + 16], kSecond, 11) == 0) {
      reference = i;
    }
  }
  const std::optional<std::size_t> label = control::FindUpdaterLabel(file);
  Expect(label == reference, "the label scan disagrees with the reference scan");
  bool sameBuild = false;
  if (label) {
    const std::size_t after = *label + control::kLabelSize;
    const auto crc = static_cast<std::uint32_t>(
        ::crc32(::crc32(0, file.data(), *label), file.data() + after, file.size() - after));
    sameBuild = crc == control::OwnLabelCrc() &&
                LoadLe32(&file[*label + control::kLabelCrcOffset]) == control::OwnLabelCrc();
  }
  WriteDeviceFile("Storage Card/VXUpdater.exe", file);
  Expect(control::HandOffToUpdater(u"\\Storage Card\\VXUpdate.bin") == (sameBuild ? 0 : 1),
         "the hand-off misjudged the build");
}
