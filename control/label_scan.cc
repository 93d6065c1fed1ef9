// The scan for the updater label in an executable's bytes.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>

#include "control/control.h"

namespace control {
namespace {

constexpr std::string_view kMarker = "VXUPDLABEL";
constexpr std::size_t kReversedOffset = 16;

// The second marker is the first one backwards.  It is built here at run time and never
// stored as a literal: the two markers must not stand in label form anywhere in the
// executable but in the label itself, or the scan would find that copy first.
std::array<std::uint8_t, 11> ReversedMarker() {
  std::array<std::uint8_t, 11> reversed{};
  for (std::size_t k = 0; k < kMarker.size(); ++k) {
    reversed[k] = static_cast<std::uint8_t>(kMarker[kMarker.size() - 1 - k]);
  }
  return reversed;
}

// The bytes at `at` equal `text` followed by its NUL, as a string comparison would find.
bool MatchesString(const std::uint8_t* at, const std::uint8_t* text, std::size_t length) {
  return std::memcmp(at, text, length) == 0 && at[length] == 0;
}

}  // namespace

std::optional<std::size_t> FindUpdaterLabel(std::span<const std::uint8_t> file) {
  if (file.size() < kLabelSize) return std::nullopt;
  const auto reversed = ReversedMarker();
  const auto* marker = reinterpret_cast<const std::uint8_t*>(kMarker.data());
  // A candidate must lie wholly inside the data, so the last one starts 28 bytes before
  // its end; nothing past the data is ever read.
  const std::size_t last = file.size() - kLabelSize;
  std::size_t i = 0;
  while (i <= last) {
    // The first letter spares the string comparisons almost everywhere; memchr finds the
    // next one a machine word at a time.
    const void* hit = std::memchr(&file[i], marker[0], last - i + 1);
    if (hit == nullptr) break;
    i = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - file.data());
    if (MatchesString(&file[i], marker, kMarker.size()) &&
        MatchesString(&file[i + kReversedOffset], reversed.data(), kMarker.size())) {
      return i;
    }
    ++i;
  }
  return std::nullopt;
}

}  // namespace control
