// A simulated device made by vxdevice in a temporary folder, with one of its libraries
// loaded into the test through the platform layer, as the updater loads it.
#ifndef TESTS_SIM_SIM_FIXTURE_H_
#define TESTS_SIM_SIM_FIXTURE_H_

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "sim/image_format.h"
#include "tests/support/testing.h"

namespace sim_test {

namespace fs = std::filesystem;
namespace ts = testing_support;

inline constexpr std::uint32_t kHardware = 7000;
using Record = std::array<std::uint8_t, sim::kInfoRecordSize>;

fs::path Vxdevice();
fs::path SimCall();

// An image in the simulated format (header revision 1 unless asked).
std::vector<std::uint8_t> Image(std::uint32_t type, std::string_view version,
                                std::uint32_t size = 4096, std::uint32_t hardware = kHardware,
                                std::uint32_t revision = 1, std::string tag = "build");

// A record with its size field set to 100, as the updater hands it over.
Record EmptyRecord();
// Whether two records compare equal under the updater's rule: when bytes 4 to 7
// differ, bytes 4-7, 20-27 and 52-91 are left out.
bool RecordsMatch(Record a, Record b);

class DeviceTest : public ::testing::Test {
 protected:
  // Makes the device (boot chain and hardware as given) and loads `library`, a file of
  // the build tree, copied to the device root under its own name.
  void MakeDevice(std::string_view boot = "miniboot",
                  std::string_view library = "sim/VXUpdate.dll");
  void TearDown() override;

  template <typename Fn>
  Fn Entry(std::u16string_view name) {
    auto entry = reinterpret_cast<Fn>(platform::GetProcAddress(module_, name));
    EXPECT_NE(entry, nullptr) << platform::ToUtf8(name);
    return entry;
  }

  // The device's flash file of one type, and the first line of a state file.
  fs::path FlashFile(std::uint32_t type) const;
  std::string State(std::string_view name) const;
  ts::RunResult RunSimCall(const std::vector<std::string>& args,
                           const std::vector<std::pair<std::string, std::string>>& env = {});

  // Entry types, as the device exports them.
  using FormatFn = std::int32_t (*)();
  using CheckTypeFn = std::int32_t (*)(std::uint32_t, const std::uint8_t*, std::uint32_t);
  using WriteFirstFn = std::int32_t (*)(std::uint32_t, const std::uint8_t*, std::uint32_t,
                                        std::uint32_t*);
  using WriteNextFn = std::int32_t (*)(const std::uint8_t*, std::uint32_t, std::uint32_t*);
  using WriteLastFn = std::int32_t (*)();
  using CheckCrcFn = std::int32_t (*)(std::uint32_t);
  using InfoFn = std::int32_t (*)(std::uint8_t*, std::uint32_t);
  using InfoFromBufferFn = std::int32_t (*)(std::uint8_t*, const std::uint8_t*, std::uint32_t);
  using BoolFn = std::int32_t (*)();
  using LightFn = void (*)(std::int32_t);
  using IntFn = std::int32_t (*)(std::int32_t);
  using SetULongFn = std::int32_t (*)(std::uint32_t, std::uint32_t);

  ts::TempDir temp_;
  fs::path root_;
  fs::path trace_;
  std::unique_ptr<ts::ScopedEnv> env_;
  platform::Module module_ = platform::kNullModule;
};

}  // namespace sim_test

#endif  // TESTS_SIM_SIM_FIXTURE_H_
