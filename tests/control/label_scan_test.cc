// The label scan: the first whole label, and nothing read past the data.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "control/control.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// `pad` filler bytes, then a label with byte `broken` changed (28: none), then 8 more.
Bytes File(std::size_t pad, std::size_t broken = 28) {
  const std::string label("VXUPDLABEL\0\0\x7f\x7f\x7f\x7fLEBALDPUXV\0\0", 28);
  Bytes file(pad, 'V');
  file.insert(file.end(), label.begin(), label.end());
  if (broken < 28) file[pad + broken] ^= 0x20;
  file.insert(file.end(), 8, 0);
  return file;
}

TEST(LabelScan, FindsTheFirstWholeLabel) {
  Bytes two = File(3, 26);
  const Bytes second = File(0);
  two.insert(two.end(), second.begin(), second.end());
  struct Case {
    Bytes file;
    std::optional<std::size_t> label;
  };
  const Case cases[] = {
      {File(0), 0},          {File(100), 100},      {File(5, 11), 5},  {File(5, 12), 5},
      {File(5, 0), {}},      {File(5, 9), {}},      {File(5, 10), {}}, {File(5, 16), {}},
      {File(5, 25), {}},     {File(5, 26), {}},     {two, 39},         {Bytes(27, 'V'), {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(control::FindUpdaterLabel(c.file), c.label) << c.file.size();
  }
  // The bytes behind the span would complete the label: a scan that read them finds it.
  const Bytes backing = File(4);
  for (std::size_t cut = 9; cut <= 8 + 27; ++cut) {
    EXPECT_EQ(control::FindUpdaterLabel(std::span(backing).first(backing.size() - cut)),
              std::nullopt) << cut;
  }
}

}  // namespace
