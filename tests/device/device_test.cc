// The keep-alive thread: one thread at a time, and a stop that returns only once it has
// ended.  Run under ThreadSanitizer in CI.
#include "device/device.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <thread>

#include "tests/support/testing.h"

namespace {

namespace ts = testing_support;

struct Device {
  ts::TempDir root, scratch;
  ts::ScopedEnv env;
  explicit Device(std::optional<std::string> faults = {}, std::optional<std::string> pm = {})
      : env{{"VXU_DEVICE_ROOT", root.path().string()}, {"VXU_TRACE", (scratch / "t").string()},
            {"VXU_TIME_SCALE", "0.001"}, {"VXU_FAULTS", faults}, {"VXU_POWER_MANAGER", pm}} {}
  ~Device() { device::SetKeepAlive(0); }
  std::size_t Count(std::string_view ev) const {
    return ts::EventsOf(ts::ReadTrace(scratch / "t"), ev).size();
  }
};

TEST(KeepAlive, StopWaitsForTheOneThreadThatSignals) {
  Device device;
  ASSERT_EQ(device::SetKeepAlive(1), 1);
  EXPECT_EQ(device::SetKeepAlive(1), 1);
  // Waits (without sleeping) for the first signal, so that the stop meets a sleeping thread.
  for (int look = 0; look < 100000 && device.Count("set_event") == 0; ++look) {
    std::this_thread::yield();
  }
  ASSERT_GT(device.Count("set_event"), 0u) << "the keep-alive thread never signalled";

  EXPECT_EQ(device::SetKeepAlive(0), 1);

  const auto trace = ts::ReadTrace(device.scratch / "t");
  // One 5-second pause after each signal, and the stop polls once a second.
  std::map<std::string, std::size_t> pauses;
  for (const auto& sleep : ts::EventsOf(trace, "sleep")) ++pauses[sleep["ms"]];
  EXPECT_EQ(pauses["5000"], device.Count("set_event"));
  EXPECT_GE(pauses["1000"], 1u);
  EXPECT_EQ(pauses.size(), 2u);
  EXPECT_EQ(device.Count("create_thread"), 1u);
  EXPECT_EQ(device.Count("close_event"), 1u) << "the thread had not ended when the stop returned";
  EXPECT_EQ(device::SetKeepAlive(0), 0);
  EXPECT_EQ(ts::ReadTrace(device.scratch / "t").size(), trace.size()) << "a thread lives on";
}

TEST(KeepAlive, FailuresLeaveNothingRunning) {
  struct Case {
    std::optional<std::string> faults, powerManager;
    std::int32_t started;
    std::size_t debugLines;
  };
  for (const Case& c : {Case{"thread", {}, 0, 0}, Case{{}, "absent", 1, 1}}) {
    SCOPED_TRACE(c.started);
    Device device(c.faults, c.powerManager);
    EXPECT_EQ(device::SetKeepAlive(1), c.started);
    EXPECT_EQ(device::SetKeepAlive(0), c.started);
    EXPECT_EQ(device.Count("set_event"), 0u);
    EXPECT_EQ(device.Count("debug"), c.debugLines);
  }
}

}  // namespace
