// The simulated device's libraries, called through the platform layer as the updater
// calls them: image format, image checks, image information, flash writes, CRC checks,
// GD items, boot chain, lights, resets and what each library exports.
#include <algorithm>
#include <functional>

#include "sim/device_state.h"
#include "tests/sim/sim_fixture.h"

namespace sim_test {
namespace {

using sim::LoadU32;

TEST(SimImageFormat, HeaderRoundTripsInBothRevisions) {
  for (std::uint32_t revision : {1u, 2u}) {
    SCOPED_TRACE(revision);
    auto image = Image(9, "3.14", 5000, 42, revision, "nightly");
    auto header = sim::DecodeHeader(image);
    ASSERT_TRUE(header);
    EXPECT_EQ(header->revision, revision);
    EXPECT_EQ(header->type, 9u);
    EXPECT_EQ(header->hardware, 42u);
    EXPECT_EQ(sim::VersionText(header->version), "3.14");
    EXPECT_EQ(header->length, 5000u);
    EXPECT_EQ(image.size(), 5000u);
    EXPECT_EQ(sim::DateText(header->date), "2024-05-17");
    EXPECT_EQ(header->tag, "nightly");
    EXPECT_EQ(header->bodyCrc, sim::Crc32(0, std::span(image).subspan(sim::kHeaderSize)));
  }
}

TEST(SimImageFormat, DecodeRefusesBytesThatAreNotAHeader) {
  const auto good = Image(4, "1.0");
  sim::ImageHeader unknownRevision = *sim::DecodeHeader(good);
  unknownRevision.revision = 3;
  sim::ImageHeader tooShort = *sim::DecodeHeader(good);
  tooShort.length = 511;
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
  };
  auto flipped = [&](std::size_t at) {
    auto bytes = good;
    bytes[at] ^= 0x01;
    return bytes;
  };
  auto encoded = [](const sim::ImageHeader& header) {
    auto bytes = sim::EncodeHeader(header);
    return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
  };
  const Case cases[] = {
      {"fewer than 512 bytes", std::vector<std::uint8_t>(good.begin(), good.begin() + 511)},
      {"wrong magic", flipped(0)},
      {"changed version without header CRC", flipped(20)},
      {"changed header CRC", flipped(80)},
      {"unknown revision", encoded(unknownRevision)},
      {"length below the header", encoded(tooShort)},
      {"zeros", std::vector<std::uint8_t>(512, 0)},
  };
  ASSERT_TRUE(sim::DecodeHeader(good));
  for (const auto& c : cases) EXPECT_FALSE(sim::DecodeHeader(c.bytes)) << c.name;
}

TEST(SimImageFormat, SameFieldsGiveSameBytesOtherVersionsDifferInTheBody) {
  EXPECT_EQ(Image(3, "2.0"), Image(3, "2.0"));
  auto older = Image(3, "1.0");
  auto newer = Image(3, "2.0");
  EXPECT_FALSE(std::equal(older.begin() + 512, older.end(), newer.begin() + 512));
}

class SimEngine : public DeviceTest {
 protected:
  void SetUp() override { MakeDevice("miniboot"); }

  Record FlashRecord(std::uint32_t type) {
    Record record = EmptyRecord();
    EXPECT_EQ(Entry<InfoFn>(u"GetImageInfo")(record.data(), type), 1);
    return record;
  }
  Record BufferRecord(const std::vector<std::uint8_t>& image) {
    Record record = EmptyRecord();
    EXPECT_EQ(Entry<InfoFromBufferFn>(u"GetImageInfoFromBuffer")(record.data(), image.data(), 512),
              1);
    return record;
  }
  // Writes a whole image in chunks of 1024 bytes, as the updater's first call does.
  void WriteWhole(std::uint32_t type, const std::vector<std::uint8_t>& image) {
    std::uint32_t remaining = 0;
    ASSERT_EQ(Entry<WriteFirstFn>(u"VXUpdate_WriteFirst")(type, image.data(), 1024, &remaining), 0);
    std::size_t at = std::min<std::size_t>(1024, image.size());
    while (remaining != 0) {
      std::uint32_t count = std::min<std::uint32_t>(remaining, 1024);
      ASSERT_EQ(Entry<WriteNextFn>(u"VXUpdate_WriteNext")(image.data() + at, count, &remaining), 0);
      at += count;
    }
    ASSERT_EQ(Entry<WriteLastFn>(u"VXUpdate_WriteLast")(), 0);
  }
};

TEST_F(SimEngine, CheckImageTypeAcceptsOnlyThisDevicesImageOfThatType) {
  const auto wince = Image(4, "2.0");
  const auto otherHardware = Image(4, "2.0", 4096, kHardware + 1);
  const std::vector<std::uint8_t> garbage(512, 0xA5);
  struct Case {
    const char* name;
    std::uint32_t type;
    const std::uint8_t* data;
    std::uint32_t size;
    std::int32_t expected;
  } cases[] = {
      {"matching image", 4, wince.data(), 512, 0},
      {"asked for another type", 3, wince.data(), 512, sim::kResultWrongType},
      {"built for other hardware", 4, otherHardware.data(), 512, sim::kResultWrongHardware},
      {"random bytes", 4, garbage.data(), 512, sim::kResultNotAnImage},
      {"fewer than 512 bytes", 4, wince.data(), 100, sim::kResultNotAnImage},
      {"no bytes at all", 4, nullptr, 0, sim::kResultNotAnImage},
  };
  auto check = Entry<CheckTypeFn>(u"VXUpdate_CheckImageType");
  for (const auto& c : cases) EXPECT_EQ(check(c.type, c.data, c.size), c.expected) << c.name;
}

TEST_F(SimEngine, InfoRecordHoldsTheHeaderFieldsAtTheirDocumentedBytes) {
  const auto image = Image(5, "4.2", 6000, kHardware, 1, "tagged");
  Record record = BufferRecord(image);
  EXPECT_EQ(LoadU32(&record[0]), 100u) << "the size field stays";
  EXPECT_EQ(LoadU32(&record[4]), 1u);
  EXPECT_EQ(LoadU32(&record[8]), 5u);
  EXPECT_EQ(LoadU32(&record[12]), kHardware);
  EXPECT_EQ(LoadU32(&record[16]), (4u << 16) | 2u);
  EXPECT_EQ(LoadU32(&record[20]), 20240517u);
  EXPECT_EQ(LoadU32(&record[28]), 6000u);
  EXPECT_EQ(LoadU32(&record[32]), sim::DecodeHeader(image)->bodyCrc);
  EXPECT_EQ(LoadU32(&record[36]), 0u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&record[52])), "tagged");

  Record wrongSize{};
  auto fromBuffer = Entry<InfoFromBufferFn>(u"GetImageInfoFromBuffer");
  EXPECT_EQ(fromBuffer(wrongSize.data(), image.data(), 512), 0) << "size field not 100";
  Record garbage = EmptyRecord();
  const std::vector<std::uint8_t> noise(512, 0x5A);
  EXPECT_EQ(fromBuffer(garbage.data(), noise.data(), 512), 0) << "not an image";
}

TEST_F(SimEngine, RecordsOfOneBuildUnderAnotherHeaderRevisionCompareEqual) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> a, b;
    bool match;
  } cases[] = {
      {"one build, two header revisions", Image(4, "2.0", 4096, kHardware, 1, "x"),
       Image(4, "2.0", 4096, kHardware, 2, "x"), true},
      {"other tag, other revision", Image(4, "2.0", 4096, kHardware, 1, "a"),
       Image(4, "2.0", 4096, kHardware, 2, "b"), true},
      {"other tag, same revision", Image(4, "2.0", 4096, kHardware, 1, "a"),
       Image(4, "2.0", 4096, kHardware, 1, "b"), false},
      {"other version, other revision", Image(4, "2.0", 4096, kHardware, 1, "x"),
       Image(4, "2.1", 4096, kHardware, 2, "x"), false},
      {"other length, other revision", Image(4, "2.0", 4096, kHardware, 1, "x"),
       Image(4, "2.0", 8192, kHardware, 2, "x"), false},
  };
  for (const auto& c : cases) {
    Record a = BufferRecord(c.a);
    Record b = BufferRecord(c.b);
    EXPECT_EQ(RecordsMatch(a, b), c.match) << c.name;
  }
  // The two revisions really do encode the stamp differently.
  EXPECT_NE(BufferRecord(cases[0].a), BufferRecord(cases[0].b));
}

TEST_F(SimEngine, WriteCountsDownWhatTheImageStillNeeds) {
  struct Case {
    const char* name;
    std::uint32_t size;
    std::uint32_t first;                  // bytes in the first call
    std::vector<std::uint32_t> next;      // bytes in each follow-up call
    std::vector<std::uint32_t> expected;  // remaining after each call
  } cases[] = {
      {"streamed in pieces", 3000, 1024, {1000, 976}, {1976, 976, 0}},
      {"first chunk runs past the image", 600, 1024, {}, {0}},
      {"follow-up larger than needed", 2000, 1024, {4096}, {976, 0}},
      {"header only first", 1500, 512, {988}, {988, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto image = Image(3, "2.0", c.size);
    // What follows the image in a package comes along in the buffers.
    std::vector<std::uint8_t> buffer = image;
    buffer.resize(c.size + 8192, 0xEE);
    std::uint32_t remaining = 12345;
    ASSERT_EQ(Entry<WriteFirstFn>(u"VXUpdate_WriteFirst")(3, buffer.data(), c.first, &remaining),
              0);
    std::vector<std::uint32_t> seen = {remaining};
    std::size_t at = std::min(c.first, c.size);
    for (std::uint32_t count : c.next) {
      ASSERT_EQ(Entry<WriteNextFn>(u"VXUpdate_WriteNext")(buffer.data() + at, count, &remaining),
                0);
      seen.push_back(remaining);
      at += std::min<std::size_t>(count, c.size - at);
    }
    EXPECT_EQ(seen, c.expected);
    ASSERT_EQ(Entry<WriteLastFn>(u"VXUpdate_WriteLast")(), 0);
    EXPECT_EQ(ts::ReadBytes(FlashFile(3)), image) << "only the image's bytes are kept";
    EXPECT_EQ(Entry<CheckCrcFn>(u"VXUpdate_CheckCRC")(3), 0);
    EXPECT_TRUE(RecordsMatch(FlashRecord(3), BufferRecord(image)));
  }
}

TEST_F(SimEngine, WriteCallsOutOfOrderOrWithBadImagesFail) {
  const auto image = Image(3, "2.0", 3000);
  const std::vector<std::uint8_t> noise(1024, 0x11);
  std::uint32_t remaining = 777;
  EXPECT_EQ(Entry<WriteNextFn>(u"VXUpdate_WriteNext")(image.data(), 100, &remaining),
            sim::kResultNoWriteInProgress);
  EXPECT_EQ(Entry<WriteLastFn>(u"VXUpdate_WriteLast")(), sim::kResultNoWriteInProgress);
  EXPECT_EQ(Entry<WriteFirstFn>(u"VXUpdate_WriteFirst")(3, noise.data(), 1024, &remaining),
            sim::kResultNotAnImage);
  EXPECT_EQ(Entry<WriteFirstFn>(u"VXUpdate_WriteFirst")(4, image.data(), 1024, &remaining),
            sim::kResultWrongType);
  EXPECT_EQ(remaining, 777u) << "a refused first call leaves the count alone";
  EXPECT_EQ(Entry<CheckCrcFn>(u"VXUpdate_CheckCRC")(3), 0) << "a refused image erases nothing";

  ASSERT_EQ(Entry<WriteFirstFn>(u"VXUpdate_WriteFirst")(3, image.data(), 1024, &remaining), 0);
  EXPECT_EQ(Entry<WriteLastFn>(u"VXUpdate_WriteLast")(), sim::kResultImageIncomplete);
  EXPECT_EQ(Entry<CheckCrcFn>(u"VXUpdate_CheckCRC")(3), sim::kResultCrcMismatch);
}

TEST_F(SimEngine, CheckCrcFailsForDamagedOrMissingImages) {
  struct Case {
    const char* name;
    void (*damage)(const fs::path& file);
    std::int32_t expected;
  } cases[] = {
      {"untouched", [](const fs::path&) {}, 0},
      {"flipped body byte",
       [](const fs::path& file) {
         auto bytes = ts::ReadBytes(file);
         bytes[3000] ^= 0x80;
         ts::WriteBytes(file, bytes);
       },
       sim::kResultCrcMismatch},
      {"cut short",
       [](const fs::path& file) {
         auto bytes = ts::ReadBytes(file);
         bytes.pop_back();
         ts::WriteBytes(file, bytes);
       },
       sim::kResultCrcMismatch},
      {"removed", [](const fs::path& file) { fs::remove(file); }, sim::kResultCrcMismatch},
  };
  for (const auto& c : cases) {
    WriteWhole(4, Image(4, "2.0"));
    c.damage(FlashFile(4));
    EXPECT_EQ(Entry<CheckCrcFn>(u"VXUpdate_CheckCRC")(4), c.expected) << c.name;
  }
  // A type the device never held.
  EXPECT_EQ(Entry<CheckCrcFn>(u"VXUpdate_CheckCRC")(10), sim::kResultCrcMismatch);
}

// The body is checked in 1 MiB reads, so the images here span several reads, end on a
// read boundary or one byte past it, and are damaged at the places a piecewise check can
// miss: the first byte of a later read and the last bytes of the image.
TEST_F(SimEngine, CheckCrcAndInfoOfImagesLargerThanOneRead) {
  constexpr std::uint32_t kMiB = 1u << 20;
  constexpr std::uint32_t kSpanning = 2 * kMiB + 700;  // three reads of body
  constexpr std::uint32_t kOnBoundary = 512 + kMiB;    // a body of exactly one read
  auto flip = [](std::size_t at) {
    return [at](std::vector<std::uint8_t>& bytes) { bytes[at] ^= 0x40; };
  };
  struct Case {
    const char* name;
    std::uint32_t size;
    std::function<void(std::vector<std::uint8_t>&)> damage;
    bool partial;
    std::int32_t crcResult;
    sim::FlashState state;
  } cases[] = {
      {"untouched, three reads", kSpanning, {}, false, 0, sim::FlashState::kComplete},
      {"untouched, body of exactly one read", kOnBoundary, {}, false, 0,
       sim::FlashState::kComplete},
      {"untouched, one byte past a read", kOnBoundary + 1, {}, false, 0,
       sim::FlashState::kComplete},
      {"flipped byte near the end", kSpanning, flip(kSpanning - 3), false,
       sim::kResultCrcMismatch, sim::FlashState::kComplete},
      {"flipped last byte", kOnBoundary, flip(kOnBoundary - 1), false, sim::kResultCrcMismatch,
       sim::FlashState::kComplete},
      {"flipped first byte of the second read", kSpanning, flip(512 + kMiB), false,
       sim::kResultCrcMismatch, sim::FlashState::kComplete},
      {"one byte past its length", kOnBoundary,
       [](std::vector<std::uint8_t>& bytes) { bytes.push_back(0); }, false,
       sim::kResultCrcMismatch, sim::FlashState::kDamaged},
      {"cut short by one byte", kSpanning,
       [](std::vector<std::uint8_t>& bytes) { bytes.pop_back(); }, false,
       sim::kResultCrcMismatch, sim::FlashState::kDamaged},
      {"whole but never completed", kSpanning, {}, true, sim::kResultCrcMismatch,
       sim::FlashState::kDamaged},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto image = Image(4, "2.0", c.size);
    auto stored = image;
    if (c.damage) c.damage(stored);
    fs::remove(FlashFile(4));
    fs::remove(sim::PartialFlashFile(root_, 4));
    ts::WriteBytes(c.partial ? sim::PartialFlashFile(root_, 4) : FlashFile(4), stored);

    EXPECT_EQ(Entry<CheckCrcFn>(u"VXUpdate_CheckCRC")(4), c.crcResult);
    // The record comes from the header and the slot's state alone: a damaged body
    // under a whole image still describes that image, as the CRC check is what finds it.
    Record record = FlashRecord(4);
    EXPECT_EQ(LoadU32(&record[36]), static_cast<std::uint32_t>(c.state));
    EXPECT_EQ(LoadU32(&record[28]), c.size);
    EXPECT_EQ(RecordsMatch(record, BufferRecord(image)), c.state == sim::FlashState::kComplete);

    sim::FlashImage slot = sim::ReadFlashSlot(root_, 4);
    EXPECT_EQ(slot.size, stored.size());
    EXPECT_EQ(slot.bodyCrcOk, c.crcResult == 0);
    EXPECT_EQ(slot.state, c.state);
    EXPECT_FALSE(sim::ReadFlashHeader(root_, 4).bodyCrcOk) << "the body is not read";
  }
  auto checks = ts::EventsOf(ts::ReadTrace(trace_), "device");
  std::size_t crcCalls = static_cast<std::size_t>(std::count_if(
      checks.begin(), checks.end(), [](const auto& e) { return e["call"] == "VXUpdate_CheckCRC"; }));
  EXPECT_EQ(crcCalls, std::size(cases)) << "one trace line per call";
}

TEST_F(SimEngine, LowLevelFormatErasesEveryImage) {
  const auto factory = ts::ReadBytes(FlashFile(3));
  ASSERT_EQ(Entry<CheckCrcFn>(u"VXUpdate_CheckCRC")(3), 0);
  EXPECT_EQ(Entry<FormatFn>(u"VXUpdate_LowLevelFormat")(), 0);
  for (std::uint32_t type : {1u, 3u, 4u}) {
    EXPECT_EQ(Entry<CheckCrcFn>(u"VXUpdate_CheckCRC")(type), sim::kResultCrcMismatch) << type;
    Record record = FlashRecord(type);
    EXPECT_EQ(LoadU32(&record[36]), static_cast<std::uint32_t>(sim::FlashState::kAbsent));
  }
  EXPECT_FALSE(RecordsMatch(FlashRecord(3), BufferRecord(factory)))
      << "an erased image must differ from every package image";
}

TEST_F(SimEngine, InterruptedWriteReadsBackDamaged) {
  const auto image = Image(4, "2.0", 5000);
  // Bytes sent after the first 1024; the run ends before the last call either way.
  for (std::uint32_t more : {2000u, 5000u - 1024u}) {
    SCOPED_TRACE(more);
    std::uint32_t remaining = 0;
    ASSERT_EQ(Entry<WriteFirstFn>(u"VXUpdate_WriteFirst")(4, image.data(), 1024, &remaining), 0);
    ASSERT_EQ(Entry<WriteNextFn>(u"VXUpdate_WriteNext")(image.data() + 1024, more, &remaining), 0);
    EXPECT_EQ(Entry<CheckCrcFn>(u"VXUpdate_CheckCRC")(4), sim::kResultCrcMismatch);
    Record record = FlashRecord(4);
    EXPECT_EQ(LoadU32(&record[36]), static_cast<std::uint32_t>(sim::FlashState::kDamaged));
    EXPECT_FALSE(RecordsMatch(record, BufferRecord(image)));

    // Writing it again from the start makes it whole.
    WriteWhole(4, image);
    EXPECT_EQ(Entry<CheckCrcFn>(u"VXUpdate_CheckCRC")(4), 0);
    EXPECT_TRUE(RecordsMatch(FlashRecord(4), BufferRecord(image)));
  }
}

TEST_F(SimEngine, PowerLossDuringAWriteEndsTheRunAndLeavesADamagedImage) {
  const auto image = Image(4, "2.0", 5000);
  const fs::path file = temp_ / "wince.img";
  ts::WriteBytes(file, image);
  ts::RunResult lost = RunSimCall({"\\VXUpdate.dll", "write", "4", file.string()},
                                  {{"VXSIM_CRASH_AFTER_BYTES", "1500"}});
  EXPECT_EQ(lost.exitCode, 102);
  EXPECT_EQ(fs::file_size(sim::PartialFlashFile(root_, 4)), 1500u);
  EXPECT_FALSE(fs::exists(FlashFile(4)));
  EXPECT_EQ(Entry<CheckCrcFn>(u"VXUpdate_CheckCRC")(4), sim::kResultCrcMismatch);
  EXPECT_FALSE(RecordsMatch(FlashRecord(4), BufferRecord(image)));

  ts::RunResult again = RunSimCall({"\\VXUpdate.dll", "write", "4", file.string()});
  EXPECT_EQ(again.exitCode, 0) << again.err;
  EXPECT_EQ(Entry<CheckCrcFn>(u"VXUpdate_CheckCRC")(4), 0);
  EXPECT_FALSE(fs::exists(sim::PartialFlashFile(root_, 4)));
}

TEST_F(SimEngine, GdItemsPersistWhenStoredOverTheOnesBefore) {
  ts::WriteText(sim::HardwareDir(root_) / "gd_items", "3 = 9\n");
  EXPECT_EQ(Entry<SetULongFn>(u"GD_setULong")(28, 1), 1);
  EXPECT_EQ(sim::ReadGdItems(root_)->count(28), 0u) << "set is pending until stored";
  EXPECT_EQ(Entry<BoolFn>(u"GD_store")(), 1);
  auto items = sim::ReadGdItems(root_);
  ASSERT_TRUE(items);
  EXPECT_EQ(*items, (std::map<std::uint32_t, std::uint32_t>{{3, 9}, {28, 1}}));
}

TEST_F(SimEngine, BootChainComesFromTheSettingsFile) {
  struct Case {
    const char* settings;
    std::int32_t expected;
  } cases[] = {
      {"boot = doc\nhardware = 7000\n", 1},
      {"boot = miniboot\nhardware = 7000\n", 0},
      {"# comment\n boot=miniboot # why\nhardware = 0x1b58\n", 0},
      {"boot = floppy\nhardware = 7000\n", 1},
      {"", 1},
  };
  for (const auto& c : cases) {
    ts::WriteText(sim::HardwareDir(root_) / "settings", c.settings);
    EXPECT_EQ(Entry<BoolFn>(u"SystemBootFromDOC")(), c.expected) << c.settings;
  }
  auto debug = ts::EventsOf(ts::ReadTrace(trace_), "debug");
  ASSERT_FALSE(debug.empty()) << "unreadable settings are reported";
  EXPECT_NE(debug.back()["text"].find("settings"), std::string::npos);
}

TEST_F(SimEngine, LightsKeyboardAndAccessAreRecordedAndTraced) {
  Entry<LightFn>(u"GreenLed")(1);
  Entry<LightFn>(u"RedLed")(0);
  EXPECT_EQ(Entry<IntFn>(u"SetEnableKeyboard")(0), 1);
  EXPECT_EQ(Entry<IntFn>(u"VXUpdate_GuaranteeExclusiveAccess")(1), 0);
  EXPECT_EQ(State("green_led"), "on");
  EXPECT_EQ(State("red_led"), "off");
  EXPECT_EQ(State("keyboard"), "disabled");
  EXPECT_EQ(State("exclusive_access"), "taken");

  auto calls = ts::EventsOf(ts::ReadTrace(trace_), "device");
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[0]["lib"], "VXUpdate.dll");
  EXPECT_EQ(calls[0]["call"], "GreenLed");
  EXPECT_EQ(calls[0]["arg"], "1");
  EXPECT_FALSE(calls[0].Has("result"));
  EXPECT_EQ(calls[2]["call"], "SetEnableKeyboard");
  EXPECT_EQ(calls[2]["arg"], "0");
  EXPECT_EQ(calls[2]["result"], "1");
}

TEST_F(SimEngine, CpuResetEndsTheRunAndRecordsWhichReset) {
  struct Case {
    const char* arg;
    int exitCode;
    const char* recorded;
  } cases[] = {{"1", 100, "hardware reset"}, {"0", 101, "warm boot"}};
  for (const auto& c : cases) {
    ts::RunResult run = RunSimCall({"vx_bsp_api.dll", "reset", c.arg});
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
    EXPECT_EQ(State("last_reset"), c.recorded);
    auto calls = ts::EventsOf(ts::ReadTrace(trace_), "device");
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back()["lib"], "vx_bsp_api.dll");
    EXPECT_EQ(calls.back()["call"], "CPU_Reset");
    EXPECT_EQ(calls.back()["arg"], c.arg);
  }
}

TEST(SimLibraries, EachLibraryExportsExactlyItsEntries) {
  const std::vector<std::u16string> board = {
      u"GreenLed",          u"RedLed",      u"CPU_Reset", u"SetEnableKeyboard",
      u"SystemBootFromDOC", u"GD_setULong", u"GD_store",  u"VXUpdate_GuaranteeExclusiveAccess"};
  const std::vector<std::u16string> flash = {u"VXUpdate_LowLevelFormat",
                                             u"VXUpdate_CheckImageType",
                                             u"VXUpdate_WriteFirst",
                                             u"VXUpdate_WriteNext",
                                             u"VXUpdate_WriteLast",
                                             u"VXUpdate_CheckCRC",
                                             u"GetImageInfo",
                                             u"GetImageInfoFromBuffer"};
  struct Case {
    const char* library;
    bool hasFlash;
  } cases[] = {{"sim/vx_bsp_api.dll", false}, {"sim/VXUpdate.dll", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.library);
    ts::TempDir root;
    fs::copy_file(ts::Built(c.library), root / "lib.dll");
    ts::ScopedEnv env({{"VXU_DEVICE_ROOT", root.path().string()}});
    platform::Module module = platform::LoadLibrary(u"\\lib.dll");
    ASSERT_NE(module, platform::kNullModule);
    for (const auto& name : board) {
      EXPECT_NE(platform::GetProcAddress(module, name), nullptr) << platform::ToUtf8(name);
    }
    for (const auto& name : flash) {
      EXPECT_EQ(platform::GetProcAddress(module, name) != nullptr, c.hasFlash)
          << platform::ToUtf8(name);
    }
    // zlib is linked in, but its crc32 is not the library's to offer.
    EXPECT_EQ(platform::GetProcAddress(module, u"crc32"), nullptr);
    platform::FreeLibrary(module);
  }
}

}  // namespace
}  // namespace sim_test
