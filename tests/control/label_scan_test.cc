// The label scan: where a label is found, and what is not a label.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "control/control.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes Label(std::uint8_t crcFill = 0) {
  Bytes label = Text("VXUPDLABEL");
  label.insert(label.end(), {0, 0, crcFill, crcFill, crcFill, crcFill});
  const Bytes reversed = Text("LEBALDPUXV");
  label.insert(label.end(), reversed.begin(), reversed.end());
  label.insert(label.end(), {0, 0});
  return label;
}

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

TEST(LabelScan, FindsFirstWholeLabel) {
  Bytes uncompared = Label();
  uncompared[11] = 'x';
  uncompared[27] = 'y';
  Bytes noNul = Label();
  noNul[10] = 'X';
  Bytes badReversed = Label();
  badReversed[20] = 'Q';
  Bytes reversedNoNul = Label();
  reversedNoNul[26] = 'Z';
  Bytes truncated = Label();
  truncated.pop_back();
  struct Case {
    const char* name;
    Bytes file;
    std::optional<std::size_t> expected;
  };
  const std::vector<Case> cases = {
      {"label alone", Label(), 0},
      {"label at the end", Join({Bytes(100, 'V'), Label()}), 100},
      {"label in the middle", Join({Bytes(37, 1), Label(0xFF), Bytes(50, 'V')}), 37},
      {"uncompared bytes differ", Join({Bytes(5, 0), uncompared}), 5},
      {"two labels: the first", Join({Bytes(3, 0), Label(1), Bytes(9, 0), Label(2)}), 3},
      {"first marker only", Join({Text("VXUPDLABEL"), Bytes(40, 0)}), std::nullopt},
      {"first marker without NUL", Join({noNul, Bytes(8, 0)}), std::nullopt},
      {"second marker wrong", Join({badReversed, Bytes(8, 0)}), std::nullopt},
      {"second marker without NUL", Join({reversedNoNul, Bytes(8, 0)}), std::nullopt},
      {"candidate cut one byte short", Join({Bytes(10, 0), truncated}), std::nullopt},
      {"broken candidate before a label", Join({noNul, Label()}), 28},
      {"empty", {}, std::nullopt},
      {"shorter than a label", Text("VXUPDLABEL"), std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(control::FindUpdaterLabel(c.file), c.expected);
  }
}

TEST(LabelScan, NeverReadsPastTheData) {
  // The data ends where the candidate's last bytes would be; the bytes behind the span
  // complete the label, so a scan that read past the end would report it.
  const Bytes backing = Join({Bytes(4, 0), Label()});
  for (std::size_t cut = 1; cut <= 27; ++cut) {
    SCOPED_TRACE(cut);
    const std::span<const std::uint8_t> data(backing.data(), backing.size() - cut);
    EXPECT_EQ(control::FindUpdaterLabel(data), std::nullopt);
  }
}

}  // namespace
