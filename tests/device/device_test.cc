#include "device/device.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "binding/binding.h"
#include "tests/binding/sim_device.h"
#include "tests/binding/testlib/testlib.h"

namespace {

using testing_support::DeviceKnobs;
using testing_support::SimDevice;
using testing_support::TraceLine;

constexpr const char* kReloadEvent = "PowerManager/ReloadActivityTimeouts";
constexpr const char* kOpenError = "Error opening ReloadActivityTimeouts Event\r\n";
// Sleeps of 5 ms and 1 ms: quick, yet long enough for the stop to meet a sleeping thread.
const DeviceKnobs kQuickTime{.timeScale = "0.001"};

// Each test leaves no keep-alive thread behind and the binding unbound.
class DeviceTest : public ::testing::Test {
 protected:
  void TearDown() override {
    device::SetKeepAlive(0);
    binding::ReleaseLibrary();
  }
};

// The position of the first event matching `ev` (and `name`, when given), or the size.
std::size_t FirstIndex(const std::vector<TraceLine>& trace, std::string_view ev,
                       const std::string& name = "") {
  for (std::size_t i = 0; i < trace.size(); ++i) {
    if (trace[i].ev() == ev && (name.empty() || trace[i]["name"] == name)) return i;
  }
  return trace.size();
}

TEST_F(DeviceTest, StopWithoutRunningThreadAnswersZeroAndLeavesTheFlag) {
  // Once from the idle state, once after a start that could not create its thread.
  struct Case {
    const char* what;
    DeviceKnobs knobs;
    bool startFirst;
  };
  const Case cases[] = {
      {"never started", kQuickTime, false},
      {"start failed", {.faults = "thread", .timeScale = "0"}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SimDevice device(c.knobs);
    if (c.startFirst) {
      EXPECT_EQ(device::SetKeepAlive(1), 0);
      EXPECT_TRUE(device::KeepAliveRunFlag()) << "a failed start leaves the flag set";
    }
    const bool flagBefore = device::KeepAliveRunFlag();

    EXPECT_EQ(device::SetKeepAlive(0), 0);

    EXPECT_EQ(device::KeepAliveRunFlag(), flagBefore);
    EXPECT_TRUE(device.Events("sleep").empty()) << "a stop with no thread does not poll";
  }
}

TEST_F(DeviceTest, ThreadFaultMakesStartAnswerZero) {
  SimDevice device({.faults = "thread", .timeScale = "0"});

  EXPECT_EQ(device::SetKeepAlive(1), 0);

  const auto created = device.Events("create_thread");
  ASSERT_EQ(created.size(), 1u);
  EXPECT_EQ(created[0]["ok"], "false");
  EXPECT_TRUE(device.Events("open_event").empty());
}

TEST_F(DeviceTest, StopRightAfterStartEndsTheThread) {
  SimDevice device(kQuickTime);

  ASSERT_EQ(device::SetKeepAlive(1), 1);
  EXPECT_EQ(device::SetKeepAlive(0), 1);

  EXPECT_FALSE(device::KeepAliveRunFlag());
  // The thread opened and closed its event before the stop returned, whether or not it
  // got to signal in between.
  const auto trace = device.Trace();
  const std::size_t opened = FirstIndex(trace, "open_event", kReloadEvent);
  const std::size_t closed = FirstIndex(trace, "close_event", kReloadEvent);
  ASSERT_LT(opened, trace.size());
  EXPECT_LT(closed, trace.size());
  EXPECT_GE(device.Events("sleep", "ms", "1000").size(), 1u) << "the stop polls";
  // Stopped means stopped: a second stop finds nothing to stop.
  EXPECT_EQ(device::SetKeepAlive(0), 0);
}

TEST_F(DeviceTest, SecondStartKeepsTheRunningThread) {
  SimDevice device(kQuickTime);

  ASSERT_EQ(device::SetKeepAlive(1), 1);
  EXPECT_EQ(device::SetKeepAlive(1), 1);
  EXPECT_EQ(device::SetKeepAlive(0), 1);

  EXPECT_EQ(device.Events("create_thread").size(), 1u);
  EXPECT_EQ(device::SetKeepAlive(0), 0) << "no second thread may be left running";
}

TEST_F(DeviceTest, WithoutPowerManagerEventThreadWritesOneLineAndNeverSignals) {
  SimDevice device({.powerManager = "absent", .timeScale = "0.001"});

  EXPECT_EQ(device::SetKeepAlive(1), 1);
  EXPECT_EQ(device::SetKeepAlive(0), 1);

  EXPECT_EQ(device.Events("debug", "text", kOpenError).size(), 1u);
  EXPECT_EQ(device.Events("debug").size(), 1u);
  EXPECT_TRUE(device.Events("set_event").empty());
  const auto opened = device.Events("open_event", "name", kReloadEvent);
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0]["ok"], "false");
}

TEST_F(DeviceTest, StopDuringSleepReturnsOnlyAfterTheThreadEnded) {
  SimDevice device(kQuickTime);
  ASSERT_EQ(device::SetKeepAlive(1), 1);
  // Let the thread signal at least once, so that the stop meets it in a sleep.  The thread
  // runs unhindered; this only waits for its first trace line, and gives up on a thread
  // that never signals rather than hanging.
  bool signalled = false;
  for (int look = 0; look < 100000 && !signalled; ++look) {
    signalled = !device.Events("set_event", "name", kReloadEvent).empty();
    if (!signalled) std::this_thread::yield();
  }
  ASSERT_TRUE(signalled) << "the keep-alive thread never signalled";

  EXPECT_EQ(device::SetKeepAlive(0), 1);

  const auto trace = device.Trace();
  const std::size_t closed = FirstIndex(trace, "close_event", kReloadEvent);
  ASSERT_LT(closed, trace.size()) << "the thread had not ended when the stop returned";
  for (std::size_t i = closed; i < trace.size(); ++i) {
    EXPECT_NE(trace[i].ev(), "set_event") << "a signal after the thread closed its event";
  }
  // Nothing more comes: the thread is gone.
  EXPECT_EQ(device.Trace().size(), trace.size());
  EXPECT_FALSE(device::KeepAliveRunFlag());
}

// ---------------------------------------------------------------------------
// User interface

TEST_F(DeviceTest, EachDirectionCallsKeyboardOnceThenTheEscapeOnce) {
  SimDevice device;
  device.Install(VXU_TESTLIB_RECORDING, "vx_bsp_api.dll");

  for (std::int32_t enable : {0, 1}) {
    SCOPED_TRACE(enable);
    const std::size_t before = device.Trace().size();

    EXPECT_EQ(device::EnableUserInterface(enable), testlib::kSetEnableKeyboardResult);

    const auto trace = device.Trace();
    std::vector<TraceLine> calls;
    for (std::size_t i = before; i < trace.size(); ++i) {
      if (trace[i].ev() == "testlib" || trace[i].ev() == "escape") calls.push_back(trace[i]);
    }
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0]["call"], "SetEnableKeyboard");
    EXPECT_EQ(calls[0]["args"], std::to_string(enable));
    EXPECT_EQ(calls[1].ev(), "escape");
    EXPECT_EQ(calls[1]["code"], "100014");
    EXPECT_EQ(calls[1]["in_size"], std::to_string(enable));
  }
}

TEST_F(DeviceTest, WithoutKeyboardEntryResultIsOneAndEscapeStillGoesOut) {
  for (const char* library : {static_cast<const char*>(nullptr), VXU_TESTLIB_EMPTY}) {
    SCOPED_TRACE(library == nullptr ? "no board library" : "board library without entry");
    SimDevice device;
    if (library != nullptr) device.Install(library, "vx_bsp_api.dll");

    EXPECT_EQ(device::EnableUserInterface(0), 1);

    const auto trace = device.Trace();
    const std::size_t line =
        FirstIndex(trace, "debug");  // the keyboard's fallback line comes first
    const std::size_t escape = FirstIndex(trace, "escape");
    ASSERT_LT(line, trace.size());
    ASSERT_LT(escape, trace.size());
    EXPECT_EQ(trace[line]["text"], "mc_api: SetEnableKeyboard not supported\r\n");
    EXPECT_LT(line, escape);
    EXPECT_EQ(trace[escape]["in_size"], "0");
    EXPECT_EQ(device.Events("escape").size(), 1u);
    binding::ReleaseLibrary();
  }
}

}  // namespace
