// The stamp of the built updater and the vxstamp tool.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "control/control.h"
#include "tests/support/testing.h"

namespace {

using testing_support::Built;
using testing_support::ReadBytes;
using testing_support::TempDir;
using testing_support::WriteBytes;
using Bytes = std::vector<std::uint8_t>;

std::uint32_t LabelCrcOf(const Bytes& file, std::size_t label) {
  uLong crc = crc32(0, nullptr, 0);
  crc = crc32(crc, file.data(), static_cast<uInt>(label));
  crc = crc32(crc, file.data() + label + control::kLabelSize,
              static_cast<uInt>(file.size() - label - control::kLabelSize));
  return static_cast<std::uint32_t>(crc);
}

std::uint32_t StoredCrc(const Bytes& file, std::size_t label) {
  std::uint32_t crc = 0;
  for (std::size_t k = 0; k < 4; ++k) {
    crc |= static_cast<std::uint32_t>(file[label + control::kLabelCrcOffset + k]) << (8 * k);
  }
  return crc;
}

Bytes FakeExecutable(std::size_t labels) {
  Bytes file(200, 0x11);
  for (std::size_t n = 0; n < labels; ++n) {
    const std::string label("VXUPDLABEL\0\0\0\0\0\0LEBALDPUXV\0\0", 28);
    file.insert(file.end(), label.begin(), label.end());
    file.insert(file.end(), 100, static_cast<std::uint8_t>(0x20 + n));
  }
  return file;
}

TEST(Stamp, BuiltUpdaterCarriesOneStampedLabel) {
  const Bytes updater = ReadBytes(Built("control/vxupdater"));
  const std::optional<std::size_t> label = control::FindUpdaterLabel(updater);
  ASSERT_TRUE(label.has_value());
  EXPECT_EQ(control::FindUpdaterLabel(std::span(updater).subspan(*label + 1)), std::nullopt);
  EXPECT_EQ(StoredCrc(updater, *label), LabelCrcOf(updater, *label));
}

TEST(Stamp, StampingTwiceGivesTheSameFile) {
  TempDir dir;
  const auto file = dir / "updater";
  WriteBytes(file, FakeExecutable(1));
  ASSERT_EQ(testing_support::Run(Built("tools/vxstamp"), {file.string()}).exitCode, 0);
  const Bytes once = ReadBytes(file);
  const std::size_t label = *control::FindUpdaterLabel(once);
  EXPECT_EQ(StoredCrc(once, label), LabelCrcOf(once, label));
  EXPECT_NE(StoredCrc(once, label), 0u);
  ASSERT_EQ(testing_support::Run(Built("tools/vxstamp"), {file.string()}).exitCode, 0);
  EXPECT_EQ(ReadBytes(file), once);

  // The built updater is stamped already: stamping it again changes nothing.
  const auto copy = dir / "vxupdater";
  std::filesystem::copy_file(Built("control/vxupdater"), copy);
  ASSERT_EQ(testing_support::Run(Built("tools/vxstamp"), {copy.string()}).exitCode, 0);
  EXPECT_EQ(ReadBytes(copy), ReadBytes(Built("control/vxupdater")));
}

TEST(Stamp, RefusesFilesWithoutOneLabel) {
  struct Case {
    const char* name;
    std::size_t labels;
    const char* reason;
  };
  for (const Case c : {Case{"no label", 0, "no updater label"},
                       Case{"two labels", 2, "more than one updater label"}}) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const auto file = dir / "updater";
    const Bytes before = FakeExecutable(c.labels);
    WriteBytes(file, before);
    const auto result = testing_support::Run(Built("tools/vxstamp"), {file.string()});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find(file.string()), std::string::npos) << result.err;
    EXPECT_NE(result.err.find(c.reason), std::string::npos) << result.err;
    EXPECT_EQ(ReadBytes(file), before);
  }
}

TEST(Stamp, UsageErrors) {
  struct Case {
    std::vector<std::string> args;
    int exitCode;
  };
  for (const Case& c : {Case{{}, 2}, Case{{"a", "b"}, 2}, Case{{"--bogus"}, 2}, Case{{"--help"}, 0},
                        Case{{"/nonexistent/updater"}, 1}}) {
    const auto result = testing_support::Run(Built("tools/vxstamp"), c.args);
    EXPECT_EQ(result.exitCode, c.exitCode) << testing::PrintToString(c.args);
  }
  EXPECT_NE(
      testing_support::Run(Built("tools/vxstamp"), {"--help"}).out.find("usage: vxstamp FILE"),
      std::string::npos);
}

}  // namespace
