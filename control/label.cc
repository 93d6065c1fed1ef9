// The one updater label of the executable.  It lives in its own object so that only the
// updater links it: vxstamp uses the scan but must carry no label of its own.
#include <cstddef>
#include <cstdint>

#include "control/control.h"

namespace control {
namespace {

// Initialised, writable and volatile: the label lands in the file's data, where the stamp
// writes the real CRC after linking, and the compiler can neither fold the zero CRC of
// the source into OwnLabelCrc nor drop the record.  The markers are spelled out byte by
// byte so that no other copy of them stands in label form before this one.
[[gnu::used]] volatile std::uint8_t gUpdaterLabel[kLabelSize] = {
    'V', 'X', 'U', 'P', 'D', 'L', 'A', 'B', 'E', 'L', 0, 0,  //
    0,   0,   0,   0,                                        //
    'L', 'E', 'B', 'A', 'L', 'D', 'P', 'U', 'X', 'V', 0, 0,  //
};

}  // namespace

std::uint32_t OwnLabelCrc() {
  std::uint32_t crc = 0;
  for (std::size_t k = 0; k < 4; ++k) {
    crc |= static_cast<std::uint32_t>(gUpdaterLabel[kLabelCrcOffset + k]) << (8 * k);
  }
  return crc;
}

}  // namespace control
