// What others rely on from the host tools: the package bytes vxpack writes, read back
// independently of it, and vxstamp's label stamp.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "control/control.h"
#include "package/package.h"
#include "tests/support/testing.h"

namespace {

namespace ts = testing_support;
using Bytes = std::vector<std::uint8_t>;

std::uint32_t Crc(const Bytes& bytes, std::size_t at, std::size_t length, std::size_t skip = 0) {
  uLong crc = crc32(crc32(0, nullptr, 0), bytes.data() + at, static_cast<uInt>(length));
  if (skip != 0) crc = crc32(crc, bytes.data() + at + length + skip,
                             static_cast<uInt>(bytes.size() - at - length - skip));
  return static_cast<std::uint32_t>(crc);
}

std::uint32_t Le32(const Bytes& bytes, std::size_t at) {
  return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | std::uint32_t{bytes[at + 3]} << 24;
}

TEST(Vxpack, WritesEveryHeaderLayoutWithItsImagesWhereTheDirectorySays) {
  struct Case {
    std::uint32_t headerLength;
    std::vector<std::string> images;
  };
  const Case cases[] = {
      {0, {"miniboot", "spl", "ipl", "bootloader", "wince"}},
      {12, {"spl", "ipl", "bootloader", "wince"}},
      {91, {"ipl", "bootloader", "wince"}},
      {92, {"ipl", "ipl", "ipl", "bootloader", "wince"}},
      {108, {"spl", "ipl", "ipl", "bootloader", "mobile-ipl", "mobile-disk"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.headerLength);
    ts::TempDir dir;
    std::vector<std::string> args = {"build", "--force", "-o", (dir / "p.bin").string(),
                                     "--header-length", std::to_string(c.headerLength)};
    std::vector<Bytes> sources;
    for (std::size_t i = 0; i < c.images.size() + 2; ++i) {
      const std::string option = i == 0 ? "engine" : i == 1 ? "extra" : c.images[i - 2];
      sources.emplace_back(500 + 97 * i);
      for (std::size_t k = 0; k < sources.back().size(); ++k) sources.back()[k] = uint8_t(k * 7 + i);
      ts::WriteBytes(dir / std::to_string(i), sources.back());
      args.insert(args.end(), {"--" + option, (dir / std::to_string(i)).string()});
    }
    const auto built = ts::Run(ts::Built("tools/vxpack"), args);
    ASSERT_EQ(built.exitCode, 0) << built.err;
    const Bytes file = ts::ReadBytes(dir / "p.bin");
    const package::PackageHeader h =
        package::DecodeHeader(std::span<const std::uint8_t, 108>(file.data(), 108));
    EXPECT_EQ(h.magic, package::kMagic);
    EXPECT_EQ(h.headerLength, c.headerLength);
    EXPECT_EQ(file.size(), std::size_t{h.headerLength} + h.payloadSize);
    EXPECT_EQ(package::ExpectedPayloadSize(h), h.payloadSize);
    EXPECT_EQ(Crc(file, h.headerLength, h.payloadSize), h.payloadCrc);
    EXPECT_EQ(Crc(file, h.engineOffset, h.engineLength), h.engineCrc);
    const auto holds = [&](package::ImageEntry e, const Bytes& source) {
      return e.length == source.size() && e.offset + e.length <= file.size() &&
             Bytes(file.begin() + e.offset, file.begin() + e.offset + e.length) == source;
    };
    EXPECT_TRUE(holds({h.engineOffset, h.engineLength}, sources[0]));
    EXPECT_TRUE(holds({108, h.extraLength - (108 - h.headerLength)}, sources[1]));
    std::size_t ipls = 0;
    for (std::size_t i = 2; i < sources.size(); ++i) {
      const std::string& name = c.images[i - 2];
      const package::ImageEntry e =
          name == "miniboot" ? h.miniboot : name == "spl" ? h.spl : name == "bootloader" ? h.bootloader
          : name == "wince" ? h.wince : name == "mobile-ipl" ? h.mobileIpl
          : name == "mobile-disk" ? h.mobileDiskImage : ipls == 0 ? h.ipl0 : ipls == 1 ? h.ipl1 : h.ipl2;
      if (name == "ipl") ++ipls;
      EXPECT_TRUE(holds(e, sources[i])) << name << " " << ipls;
    }
  }
}

TEST(Vxstamp, StampsTheOneLabelWithTheCrcOfEverythingElse) {
  const std::string label("VXUPDLABEL\0\0\0\0\0\0LEBALDPUXV\0\0", 28);
  struct Case {
    std::size_t labels;
    int exitCode;
  };
  for (const Case& c : {Case{1, 0}, Case{0, 1}, Case{2, 1}}) {
    SCOPED_TRACE(c.labels);
    ts::TempDir dir;
    Bytes file(200, 0x11);
    for (std::size_t n = 0; n < c.labels; ++n) {
      file.insert(file.end(), label.begin(), label.end());
      file.insert(file.end(), 100, static_cast<std::uint8_t>(0x20 + n));
    }
    ts::WriteBytes(dir / "updater", file);
    for (int pass = 0; pass < 2; ++pass) {
      const auto result = ts::Run(ts::Built("tools/vxstamp"), {(dir / "updater").string()});
      EXPECT_EQ(result.exitCode, c.exitCode) << result.err;
    }
    const Bytes stamped = ts::ReadBytes(dir / "updater");
    if (c.exitCode != 0) {
      EXPECT_EQ(stamped, file);
      continue;
    }
    EXPECT_EQ(Le32(stamped, 200 + control::kLabelCrcOffset), Crc(stamped, 0, 200, 28));
  }
  // The built updater carries its stamp already: its own label check depends on it.
  const Bytes updater = ts::ReadBytes(ts::Built("control/vxupdater"));
  const std::size_t at = control::FindUpdaterLabel(updater).value();
  EXPECT_EQ(Le32(updater, at + control::kLabelCrcOffset), Crc(updater, 0, at, 28));
}

}  // namespace
