// The package layout: header encoding, the payload-length rule, the directory.
#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>

#include "package/package.h"

namespace {

using package::DecodeHeader;
using package::EncodeHeader;
using package::EntryOf;
using package::ExpectedPayloadSize;
using package::ImageEntry;
using package::PackageHeader;

PackageHeader DistinctHeader() {
  PackageHeader header;
  header.magic = package::kMagic;
  header.headerLength = 0x01020304;
  header.payloadCrc = 0x11223344;
  header.payloadSize = 0x55667788;
  header.reserved = 0x99AABBCC;
  header.extraLength = 0xDDEEFF00;
  header.engineOffset = 0x0A0B0C0D;
  header.engineLength = 0x10203040;
  header.engineCrc = 0x50607080;
  ImageEntry* entries[] = {&header.ipl0,  &header.spl,  &header.miniboot,
                           &header.bootloader, &header.wince, &header.ipl1,
                           &header.ipl2, &header.mobileIpl, &header.mobileDiskImage};
  std::uint32_t n = 1;
  for (ImageEntry* entry : entries) {
    entry->offset = 0xA0000000u + n;
    entry->length = 0xB0000000u + n;
    ++n;
  }
  return header;
}

TEST(PackageFormat, FieldsAreLittleEndianAtTheirOffsets) {
  const auto bytes = EncodeHeader(DistinctHeader());
  EXPECT_EQ(bytes[0], 'V');
  EXPECT_EQ(bytes[3], 'D');
  // headerLength 0x01020304 at offset 4, low byte first.
  EXPECT_EQ(bytes[4], 0x04);
  EXPECT_EQ(bytes[7], 0x01);
  // engineCrc at 32, ipl0 at 36 (offset then length), mobileDiskImage length at 104.
  EXPECT_EQ(bytes[32], 0x80);
  EXPECT_EQ(bytes[36], 0x01);
  EXPECT_EQ(bytes[39], 0xA0);
  EXPECT_EQ(bytes[40], 0x01);
  EXPECT_EQ(bytes[43], 0xB0);
  EXPECT_EQ(bytes[104], 0x09);
  EXPECT_EQ(bytes[107], 0xB0);
}

TEST(PackageFormat, DecodeReadsBackWhatEncodeWrote) {
  const PackageHeader original = DistinctHeader();
  const auto bytes = EncodeHeader(original);
  const PackageHeader decoded = DecodeHeader(bytes);
  EXPECT_EQ(EncodeHeader(decoded), bytes);
  EXPECT_EQ(decoded.headerLength, original.headerLength);
  EXPECT_EQ(decoded.engineCrc, original.engineCrc);
  EXPECT_EQ(decoded.ipl2.offset, original.ipl2.offset);
  EXPECT_EQ(decoded.mobileDiskImage.length, original.mobileDiskImage.length);
}

TEST(PackageFormat, ImageTypeNamesCoverCodesOneToTen) {
  const std::u16string_view expected[] = {u"Miniboot", u"SPL",    u"Bootloader", u"WinCE",
                                          u"IPL",      u"Xilinx", u"Atmel",      u"Altera",
                                          u"Mobile IPL", u"Mobile Disk Image"};
  for (std::uint32_t type = 1; type <= 10; ++type) {
    EXPECT_EQ(package::ImageTypeName(type), expected[type - 1]) << "type " << type;
  }
  EXPECT_TRUE(package::ImageTypeName(0).empty());
  EXPECT_TRUE(package::ImageTypeName(11).empty());
}

// Each length is its own bit, so the sum names exactly the items counted.
TEST(PackageFormat, PayloadRuleCountsTheEntriesOfTheHeaderLayout) {
  PackageHeader header;
  header.extraLength = 1u << 0;
  header.engineLength = 1u << 1;
  header.ipl0.length = 1u << 2;
  header.spl.length = 1u << 3;
  header.miniboot.length = 1u << 4;
  header.bootloader.length = 1u << 5;
  header.wince.length = 1u << 6;
  header.ipl1.length = 1u << 7;
  header.ipl2.length = 1u << 8;
  header.mobileIpl.length = 1u << 9;
  header.mobileDiskImage.length = 1u << 10;
  const std::uint32_t seven = (1u << 7) - 1;
  const std::uint32_t nine = (1u << 9) - 1;
  const std::uint32_t eleven = (1u << 11) - 1;
  const struct {
    std::uint32_t headerLength;
    std::uint32_t sum;
  } cases[] = {{0, seven}, {91, seven}, {92, nine}, {107, nine}, {108, eleven}, {109, eleven}};
  for (const auto& c : cases) {
    header.headerLength = c.headerLength;
    EXPECT_EQ(ExpectedPayloadSize(header), c.sum) << "headerLength " << c.headerLength;
  }
}

TEST(PackageFormat, PayloadSumWrapsModulo2To32) {
  PackageHeader header;
  header.headerLength = 108;
  header.extraLength = 0xFFFFFFF0u;
  header.engineLength = 0x20;
  header.mobileDiskImage.length = 0x80000000u;
  header.wince.length = 0x80000000u;
  EXPECT_EQ(ExpectedPayloadSize(header), 0x10u);
}

TEST(PackageFormat, EntryOfFollowsTypeVariantAndLayout) {
  PackageHeader header = DistinctHeader();
  const struct {
    std::uint32_t headerLength;
    std::uint32_t type;
    std::int32_t variant;
    std::optional<ImageEntry> expected;
  } cases[] = {
      {108, 1, 0, header.miniboot},   {108, 2, 0, header.spl},
      {108, 3, 0, header.bootloader}, {108, 4, 0, header.wince},
      {108, 5, 0, header.ipl0},       {108, 5, 1, header.ipl1},
      {108, 5, 2, header.ipl2},       {92, 5, 2, header.ipl2},
      {91, 5, 1, std::nullopt},       {91, 5, 0, header.ipl0},
      {108, 5, 3, std::nullopt},      {108, 5, -1, std::nullopt},
      {108, 9, 0, header.mobileIpl},  {108, 10, 0, header.mobileDiskImage},
      {107, 9, 0, std::nullopt},      {107, 10, 0, std::nullopt},
      {108, 1, 1, std::nullopt},      {108, 6, 0, std::nullopt},
      {108, 7, 0, std::nullopt},      {108, 8, 0, std::nullopt},
      {108, 0, 0, std::nullopt},      {108, 11, 0, std::nullopt},
  };
  for (const auto& c : cases) {
    header.headerLength = c.headerLength;
    const auto entry = EntryOf(header, c.type, c.variant);
    SCOPED_TRACE("type " + std::to_string(c.type) + " variant " + std::to_string(c.variant) +
                 " headerLength " + std::to_string(c.headerLength));
    ASSERT_EQ(entry.has_value(), c.expected.has_value());
    if (entry) {
      EXPECT_EQ(entry->offset, c.expected->offset);
      EXPECT_EQ(entry->length, c.expected->length);
    }
  }
}

TEST(PackageFormat, EntryIsAbsentWhenOffsetOrLengthIsZero) {
  EXPECT_TRUE((ImageEntry{0, 5}).Absent());
  EXPECT_TRUE((ImageEntry{5, 0}).Absent());
  EXPECT_FALSE((ImageEntry{5, 5}).Absent());
}

TEST(PackageFormat, SlotsFollowTheHandleOrderAndSkipTypesWithoutEntry) {
  const struct {
    std::uint32_t type;
    std::optional<std::size_t> slot;
  } cases[] = {{5, 0}, {2, 1}, {1, 2}, {3, 3}, {4, 4}, {9, 5}, {10, 6},
               {6, std::nullopt}, {7, std::nullopt}, {8, std::nullopt},
               {0, std::nullopt}, {11, std::nullopt}};
  for (const auto& c : cases) EXPECT_EQ(package::SlotOf(c.type), c.slot) << "type " << c.type;
}

TEST(PackageFormat, EveryValidateResultHasItsOwnName) {
  std::set<std::string_view> names;
  for (std::int32_t code = 0; code <= 6; ++code) {
    const auto name = package::ToString(static_cast<package::ValidateResult>(code));
    EXPECT_FALSE(name.empty());
    names.insert(name);
  }
  EXPECT_EQ(names.size(), 7u);
}

}  // namespace
