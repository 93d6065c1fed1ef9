#include "binding/binding.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tests/binding/sim_device.h"
#include "tests/binding/testlib/testlib.h"

namespace {

using testing_support::DeviceKnobs;
using testing_support::SimDevice;
using testing_support::TraceLine;

constexpr std::string_view kBsp = "vx_bsp_api.dll";
constexpr std::string_view kZlib = "zlib.dll";
constexpr std::u16string_view kMissingLibrary = u"missing.dll";

// Every test leaves the process-wide binding as it found it: unbound.
class BindingTest : public ::testing::Test {
 protected:
  void TearDown() override { binding::ReleaseLibrary(); }
};

std::size_t NonNullSlots() {
  const auto& entries = binding::State().entries;
  return static_cast<std::size_t>(
      std::count_if(entries.begin(), entries.end(), [](platform::Proc p) { return p != nullptr; }));
}

void ExpectUnbound() {
  const binding::BindingState& state = binding::State();
  EXPECT_EQ(state.bound, 0);
  EXPECT_EQ(state.module, platform::kNullModule);
  EXPECT_EQ(state.backlightEvent, platform::kNullHandle);
  EXPECT_EQ(NonNullSlots(), 0u);
}

std::size_t SlotOf(std::u16string_view name) {
  const auto& names = binding::kEntryNames;
  return static_cast<std::size_t>(std::find(names.begin(), names.end(), name) - names.begin());
}

std::string DebugLine(const std::string& entry) {
  return "mc_api: " + entry + " not supported\r\n";
}

TEST_F(BindingTest, EnsureWhileBoundLoadsNothingAndKeepsTheBoundLibrary) {
  SimDevice device;
  device.Install(VXU_TESTLIB_RECORDING, kBsp);
  device.Install(VXU_HOST_ZLIB, kZlib);

  ASSERT_EQ(binding::EnsureLibrary(binding::kBoardSupportLibrary), 1);
  const platform::Module bound = binding::State().module;
  EXPECT_EQ(binding::EnsureLibrary(binding::kZlibLibrary), 1);

  EXPECT_EQ(binding::State().module, bound);
  const auto loads = device.Events("load_library");
  ASSERT_EQ(loads.size(), 1u);
  EXPECT_EQ(loads[0]["name"], kBsp);
  // zlib.dll lacks this entry, so a yes shows vx_bsp_api.dll still answers.
  EXPECT_EQ(binding::LibrarySupports(u"VXUpdate_WriteFirst"), 1);
}

TEST_F(BindingTest, SwitchToMissingLibraryLeavesNothingBound) {
  for (bool boundBefore : {false, true}) {
    SCOPED_TRACE(boundBefore ? "a library bound before" : "nothing bound before");
    SimDevice device;
    device.Install(VXU_TESTLIB_RECORDING, kBsp);
    if (boundBefore) {
      ASSERT_TRUE(binding::SwitchLibrary(binding::kBoardSupportLibrary));
    }

    EXPECT_FALSE(binding::SwitchLibrary(kMissingLibrary));

    ExpectUnbound();
    const std::size_t released = boundBefore ? 1 : 0;
    EXPECT_EQ(device.Events("free_library").size(), released);
    EXPECT_EQ(device.Events("close_event", "name", "BacklightEvent").size(), released);
  }
}

TEST_F(BindingTest, LibrarySupportsAnswersForTheBoundLibraryOnly) {
  struct Case {
    const char* what;
    const char* bsp;  // installed as vx_bsp_api.dll, or null
    bool bindZlib;    // zlib.dll installed and bound first
    std::u16string_view entry;
    std::uint8_t expected;
    std::uint8_t boundAfter;
  };
  const Case cases[] = {
      // vx_bsp_api.dll exports nothing: a yes can only come from zlib.dll.
      {"zlib bound, its own entry", VXU_TESTLIB_EMPTY, true, u"crc32", 1, 1},
      {"zlib bound, an entry only the board library has", VXU_TESTLIB_RECORDING, true, u"GreenLed",
       0, 1},
      {"nothing bound, board library present", VXU_TESTLIB_RECORDING, false, u"GreenLed", 1, 1},
      {"a name outside the entry list", VXU_TESTLIB_RECORDING, false, u"TestlibExtraEntry", 1, 1},
      {"board library without the entry", VXU_TESTLIB_RECORDING, false, u"HalImagerInit", 0, 1},
      {"nothing loadable", nullptr, false, u"crc32", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SimDevice device;
    if (c.bsp != nullptr) device.Install(c.bsp, kBsp);
    if (c.bindZlib) {
      device.Install(VXU_HOST_ZLIB, kZlib);
      ASSERT_TRUE(binding::SwitchLibrary(binding::kZlibLibrary));
    }
    const std::size_t slotsBefore = NonNullSlots();

    EXPECT_EQ(binding::LibrarySupports(c.entry), c.expected);

    EXPECT_EQ(binding::State().bound, c.boundAfter);
    const auto loads = device.Events("load_library");
    ASSERT_FALSE(loads.empty());
    EXPECT_EQ(loads.back()["name"], c.bindZlib ? kZlib : kBsp);
    if (c.bindZlib) {
      EXPECT_EQ(NonNullSlots(), slotsBefore) << "the table must not change";
    }
    binding::ReleaseLibrary();
  }
}

TEST_F(BindingTest, ReleaseWithNothingBoundFreesNothing) {
  SimDevice device;
  device.Install(VXU_TESTLIB_RECORDING, kBsp);

  binding::ReleaseLibrary();
  EXPECT_TRUE(device.Events("free_library").empty());
  EXPECT_TRUE(device.Events("close_event").empty());

  ASSERT_EQ(binding::EnsureLibrary(binding::kBoardSupportLibrary), 1);
  binding::ReleaseLibrary();
  binding::ReleaseLibrary();
  ExpectUnbound();
  EXPECT_EQ(device.Events("free_library").size(), 1u);
  EXPECT_EQ(device.Events("close_event", "name", "BacklightEvent").size(), 1u);
}

TEST_F(BindingTest, EntryPointAfterUnbindBindsBoardSupportLibraryAnew) {
  const std::pair<const char*, std::function<void()>> unbinds[] = {
      {"ReleaseLibrary", [] { binding::ReleaseLibrary(); }},
      {"SwitchLibrary to a missing file", [] { binding::SwitchLibrary(kMissingLibrary); }},
  };
  for (const auto& [what, unbind] : unbinds) {
    SCOPED_TRACE(what);
    SimDevice device;
    device.Install(VXU_TESTLIB_RECORDING, kBsp);
    device.Install(VXU_HOST_ZLIB, kZlib);
    ASSERT_TRUE(binding::SwitchLibrary(binding::kZlibLibrary));
    unbind();

    binding::GreenLed(1);

    const auto loads = device.Events("load_library", "ok", "true");
    ASSERT_EQ(loads.size(), 2u);
    EXPECT_EQ(loads[1]["name"], kBsp);
    const auto calls = device.Events("testlib", "call", "GreenLed");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0]["args"], "1");
    EXPECT_TRUE(device.Events("debug").empty());
    binding::ReleaseLibrary();
  }
}

TEST_F(BindingTest, BindingZlibLooksUpEveryNameAndCreatesTheEvent) {
  SimDevice device;
  device.Install(VXU_HOST_ZLIB, kZlib);

  ASSERT_TRUE(binding::SwitchLibrary(binding::kZlibLibrary));

  const binding::BindingState& state = binding::State();
  EXPECT_EQ(state.bound, 1);
  EXPECT_NE(state.backlightEvent, platform::kNullHandle);
  EXPECT_EQ(NonNullSlots(), 1u);
  EXPECT_NE(state.entries[SlotOf(u"crc32")], nullptr);
  const auto created = device.Events("create_event", "name", "BacklightEvent");
  ASSERT_EQ(created.size(), 1u);
  EXPECT_EQ(created[0]["ok"], "true");
}

// The numbered library answers each name with its place in the list, so a slot that
// holds another name's entry, or none, shows up here.
TEST_F(BindingTest, EverySlotHoldsTheEntryOfItsListedName) {
  SimDevice device;
  device.Install(VXU_TESTLIB_NUMBERED, kBsp);

  ASSERT_EQ(binding::EnsureLibrary(binding::kBoardSupportLibrary), 1);

  const auto& entries = binding::State().entries;
  for (std::size_t slot = 0; slot < binding::kEntryCount; ++slot) {
    SCOPED_TRACE(platform::ToUtf8(binding::kEntryNames[slot]));
    ASSERT_NE(entries[slot], nullptr);
    EXPECT_EQ(reinterpret_cast<std::int32_t (*)()>(entries[slot])(),
              static_cast<std::int32_t>(slot + 1));
  }
}

// ---------------------------------------------------------------------------
// The 17 entry points

// The caller's buffers; the entry points must leave them alone when they fall back.
struct Scratch {
  static constexpr std::uint8_t kFirstByte = 0x3C;
  static constexpr std::uint32_t kRemaining = 0xA5A5A5A5u;
  static constexpr std::uint8_t kRecordFill = 0x5A;
  std::array<std::uint8_t, 1024> data;
  std::uint32_t remaining = kRemaining;
  std::array<std::uint8_t, 100> record;
  Scratch() {
    data.fill(kFirstByte);
    record.fill(kRecordFill);
    record[0] = static_cast<std::uint8_t>(record.size());
  }
  bool Untouched() const { return remaining == kRemaining && record == Scratch().record; }
};

constexpr std::int64_t kNoResult = 0;  // what the table records for the void entries
constexpr std::uint32_t kType = 3;
constexpr std::uint32_t kHeadSize = 512;
constexpr std::uint32_t kChunk = 1024;
constexpr std::uint32_t kNextChunk = 100;

struct EntryCase {
  std::string name;
  std::function<std::int64_t(Scratch&)> call;
  std::int64_t fallback;
  std::int64_t libraryResult;  // what the recording library answers
  std::string args;            // as the recording library records them
};

std::string Args(std::initializer_list<long long> values) {
  std::string text;
  for (long long v : values) text += (text.empty() ? "" : ",") + std::to_string(v);
  return text;
}

std::vector<EntryCase> EntryCases() {
  using namespace binding;
  using namespace testlib;
  const long long first = Scratch::kFirstByte;
  const long long remaining = Scratch::kRemaining;
  const long long recordSize = Scratch().record[0];
  return {
      {"VXUpdate_LowLevelFormat", [](Scratch&) { return VXUpdate_LowLevelFormat(); }, -1,
       kLowLevelFormatResult, ""},
      {"VXUpdate_CheckImageType",
       [](Scratch& s) { return VXUpdate_CheckImageType(kType, s.data.data(), kHeadSize); }, -1,
       kCheckImageTypeResult, Args({kType, first, kHeadSize})},
      {"VXUpdate_WriteFirst",
       [](Scratch& s) { return VXUpdate_WriteFirst(kType, s.data.data(), kChunk, &s.remaining); },
       -1, kWriteFirstResult, Args({kType, first, kChunk, remaining})},
      {"VXUpdate_WriteNext",
       [](Scratch& s) { return VXUpdate_WriteNext(s.data.data(), kNextChunk, &s.remaining); }, -1,
       kWriteNextResult, Args({first, kNextChunk, remaining})},
      {"VXUpdate_WriteLast", [](Scratch&) { return VXUpdate_WriteLast(); }, -1, kWriteLastResult,
       ""},
      {"VXUpdate_CheckCRC", [](Scratch&) { return VXUpdate_CheckCRC(kType); }, -1, kCheckCrcResult,
       Args({kType})},
      {"VXUpdate_GuaranteeExclusiveAccess",
       [](Scratch&) { return VXUpdate_GuaranteeExclusiveAccess(1); }, -1, kExclusiveAccessResult,
       "1"},
      {"SystemBootFromDOC", [](Scratch&) { return SystemBootFromDOC(); }, 1,
       kSystemBootFromDocResult, ""},
      {"GD_setULong", [](Scratch&) { return GD_setULong(28, 1); }, 0, kGdSetULongResult, "28,1"},
      {"GD_store", [](Scratch&) { return GD_store(); }, 0, kGdStoreResult, ""},
      {"GreenLed",
       [](Scratch&) {
         GreenLed(1);
         return kNoResult;
       },
       kNoResult, kNoResult, "1"},
      {"RedLed",
       [](Scratch&) {
         RedLed(0);
         return kNoResult;
       },
       kNoResult, kNoResult, "0"},
      {"CPU_Reset",
       [](Scratch&) {
         CPU_Reset(1);
         return kNoResult;
       },
       kNoResult, kNoResult, "1"},
      {"SetEnableKeyboard", [](Scratch&) { return SetEnableKeyboard(0); }, 1,
       kSetEnableKeyboardResult, "0"},
      {"GetImageInfo", [](Scratch& s) { return GetImageInfo(s.record.data(), kType); }, 0,
       kGetImageInfoResult, Args({recordSize, kType})},
      {"GetImageInfoFromBuffer",
       [](Scratch& s) { return GetImageInfoFromBuffer(s.record.data(), s.data.data(), kHeadSize); },
       0, kGetImageInfoFromBufferResult, Args({recordSize, first, kHeadSize})},
      {"crc32", [](Scratch&) { return static_cast<std::int64_t>(binding::crc32(0, nullptr, 0)); },
       0, 0, Args({0, -1, 0})},
  };
}

TEST_F(BindingTest, EntryPointsPassArgumentsAndResultsThroughUnchanged) {
  SimDevice device;
  device.Install(VXU_TESTLIB_RECORDING, kBsp);

  for (const EntryCase& c : EntryCases()) {
    SCOPED_TRACE(c.name);
    Scratch scratch;
    const std::size_t before = device.Events("testlib").size();

    EXPECT_EQ(c.call(scratch), c.libraryResult);

    const auto calls = device.Events("testlib");
    ASSERT_EQ(calls.size(), before + 1);
    EXPECT_EQ(calls.back()["call"], c.name);
    EXPECT_EQ(calls.back()["args"], c.args);
  }
  EXPECT_TRUE(device.Events("debug").empty());
  EXPECT_EQ(device.Events("load_library").size(), 1u);
}

TEST_F(BindingTest, OutParametersCarryWhatTheLibraryWrote) {
  SimDevice device;
  device.Install(VXU_TESTLIB_RECORDING, kBsp);
  Scratch scratch;

  binding::VXUpdate_WriteFirst(kType, scratch.data.data(), kChunk, &scratch.remaining);
  EXPECT_EQ(scratch.remaining, kChunk + testlib::kWriteFirstExtra);
  binding::VXUpdate_WriteNext(scratch.data.data(), kNextChunk, &scratch.remaining);
  EXPECT_EQ(scratch.remaining, kChunk + testlib::kWriteFirstExtra - kNextChunk);
  binding::GetImageInfo(scratch.record.data(), kType);
  EXPECT_EQ(scratch.record[testlib::kRecordMarkOffset], kType);
  binding::GetImageInfoFromBuffer(scratch.record.data(), scratch.data.data(), kHeadSize);
  EXPECT_EQ(scratch.record[testlib::kRecordMarkOffset], Scratch::kFirstByte);
}

TEST_F(BindingTest, MissingEntriesFallBackOnEveryCallWithTheirDebugLine) {
  struct DeviceCase {
    const char* what;
    std::function<void(const SimDevice&)> prepare;
    bool loads;  // vx_bsp_api.dll binds, so later calls load nothing
  };
  const DeviceCase devices[] = {
      {"no board library", [](const SimDevice&) {}, false},
      {"a board library file that is not a library",
       [](const SimDevice& d) { d.InstallText("MZ this is not a shared object\n", kBsp); }, false},
      {"a board library exporting nothing",
       [](const SimDevice& d) { d.Install(VXU_TESTLIB_EMPTY, kBsp); }, true},
      {"zlib.dll bound",
       [](const SimDevice& d) {
         d.Install(VXU_HOST_ZLIB, kZlib);
         ASSERT_TRUE(binding::SwitchLibrary(binding::kZlibLibrary));
       },
       true},
  };
  for (const DeviceCase& dc : devices) {
    SCOPED_TRACE(dc.what);
    SimDevice device;
    dc.prepare(device);
    const bool zlibBound = binding::State().bound == 1;
    for (const EntryCase& c : EntryCases()) {
      // zlib.dll has a crc32; its fallback is shown by the other devices.
      if (zlibBound && c.name == "crc32") continue;
      SCOPED_TRACE(c.name);
      const std::size_t debugBefore = device.Events("debug", "text", DebugLine(c.name)).size();
      const std::size_t loadsBefore = device.Events("load_library").size();

      for (int call = 0; call < 2; ++call) {
        Scratch scratch;
        EXPECT_EQ(c.call(scratch), c.fallback);
        EXPECT_TRUE(scratch.Untouched());
      }

      EXPECT_EQ(device.Events("debug", "text", DebugLine(c.name)).size(), debugBefore + 2);
      const std::size_t loads = device.Events("load_library").size() - loadsBefore;
      if (dc.loads) {
        EXPECT_LE(loads, 1u) << "a bound library must not be loaded again";
      } else {
        EXPECT_EQ(loads, 2u) << "every call must try the board library again";
      }
    }
    EXPECT_TRUE(device.Events("testlib").empty());
    binding::ReleaseLibrary();
  }
}

TEST_F(BindingTest, Crc32StartsAtZeroAndContinuesChunkByChunk) {
  const std::string text = "123456789";
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  // The check value of the CRC-32 of zlib, gzip and PNG.
  constexpr std::uint32_t kCheckValue = 0xCBF43926u;
  struct Case {
    const char* what;
    const char* bsp;
    bool bindZlib;
    bool hasEntry;
  };
  const Case cases[] = {
      {"board library with crc32", VXU_TESTLIB_RECORDING, false, true},
      {"zlib.dll bound", nullptr, true, true},
      {"no library", nullptr, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SimDevice device;
    if (c.bsp != nullptr) device.Install(c.bsp, kBsp);
    if (c.bindZlib) {
      device.Install(VXU_HOST_ZLIB, kZlib);
      ASSERT_TRUE(binding::SwitchLibrary(binding::kZlibLibrary));
    }

    EXPECT_EQ(binding::crc32(0, nullptr, 0), 0u);
    std::uint32_t crc = binding::crc32(0, nullptr, 0);
    crc = binding::crc32(crc, bytes, 4);
    crc = binding::crc32(crc, bytes + 4, static_cast<std::uint32_t>(text.size() - 4));
    EXPECT_EQ(crc, c.hasEntry ? kCheckValue : 0u);
    binding::ReleaseLibrary();
  }
}

// dlsym-like lookups also search a library's dependencies; zlib's crc32, pulled in by the
// board library, must not pass for an entry of the board library.
TEST_F(BindingTest, LibraryLinkingZlibDoesNotExportItsCrc32) {
  SimDevice device;
  device.Install(VXU_TESTLIB_ZLIB_USER, kBsp);
  const std::uint8_t byte = 1;

  EXPECT_EQ(binding::LibrarySupports(u"crc32"), 0);
  EXPECT_EQ(binding::crc32(0, &byte, 1), 0u);
  binding::GreenLed(1);

  EXPECT_EQ(device.Events("debug", "text", DebugLine("crc32")).size(), 1u);
  EXPECT_EQ(device.Events("testlib", "call", "GreenLed").size(), 1u);
  EXPECT_EQ(binding::State().entries[SlotOf(u"crc32")], nullptr);
}

}  // namespace
