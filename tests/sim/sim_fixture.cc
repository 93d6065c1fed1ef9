#include "tests/sim/sim_fixture.h"

#include <algorithm>

#include "sim/device_state.h"

namespace sim_test {

fs::path Vxdevice() { return ts::Built("tools/vxdevice"); }
fs::path SimCall() { return ts::Built("tests/sim/sim_call"); }

std::vector<std::uint8_t> Image(std::uint32_t type, std::string_view version, std::uint32_t size,
                                std::uint32_t hardware, std::uint32_t revision, std::string tag) {
  sim::ImageHeader header;
  header.type = type;
  header.hardware = hardware;
  header.version = sim::ParseVersion(version).value_or(0);
  header.length = size;
  header.revision = revision;
  header.date = {2024, 5, 17};
  header.tag = std::move(tag);
  return sim::BuildImage(header);
}

Record EmptyRecord() {
  Record record{};
  record[0] = sim::kInfoRecordSize;
  return record;
}

bool RecordsMatch(Record a, Record b) {
  if (!std::equal(a.begin() + 4, a.begin() + 8, b.begin() + 4)) {
    for (Record* record : {&a, &b}) {
      std::fill(record->begin() + 4, record->begin() + 8, 0);
      std::fill(record->begin() + 20, record->begin() + 28, 0);
      std::fill(record->begin() + 52, record->begin() + 92, 0);
    }
  }
  return a == b;
}

void DeviceTest::MakeDevice(std::string_view boot, std::string_view library) {
  root_ = temp_ / "device";
  trace_ = temp_ / "trace.jsonl";
  ts::RunResult made = ts::Run(Vxdevice(), {"init", root_.string(), "--boot", std::string(boot),
                                            "--hardware", std::to_string(kHardware)});
  ASSERT_EQ(made.exitCode, 0) << made.err;
  fs::path file = ts::Built(library);
  fs::copy_file(file, root_ / file.filename());
  env_ = std::make_unique<ts::ScopedEnv>(
      std::initializer_list<std::pair<std::string, std::optional<std::string>>>{
          {"VXU_DEVICE_ROOT", root_.string()},
          {"VXU_TRACE", trace_.string()},
          {"VXSIM_CRASH_AFTER_BYTES", std::nullopt}});
  module_ = platform::LoadLibrary(u"\\" + platform::ToUtf16(file.filename().string()));
  ASSERT_NE(module_, platform::kNullModule);
}

void DeviceTest::TearDown() {
  if (module_ != platform::kNullModule) platform::FreeLibrary(module_);
  env_.reset();
}

fs::path DeviceTest::FlashFile(std::uint32_t type) const { return sim::FlashFile(root_, type); }

std::string DeviceTest::State(std::string_view name) const {
  return sim::ReadStateFile(root_, name).value_or("(missing)");
}

ts::RunResult DeviceTest::RunSimCall(const std::vector<std::string>& args,
                                     const std::vector<std::pair<std::string, std::string>>& env) {
  std::vector<std::pair<std::string, std::string>> all = {{"VXU_DEVICE_ROOT", root_.string()},
                                                          {"VXU_TRACE", trace_.string()}};
  all.insert(all.end(), env.begin(), env.end());
  return ts::Run(SimCall(), args, all);
}

}  // namespace sim_test
