#include "tests/support/fake_binding.h"

#include <zlib.h>

#include <algorithm>
#include <deque>
#include <map>
#include <string>

#include "binding/binding.h"

namespace fake_binding {
namespace {

struct Fake {
  std::map<std::u16string, std::set<std::string>> libraries;
  std::map<std::u16string, int> bindCounts;
  std::u16string bound;
  bool isBound = false;
  std::vector<Call> calls;
  std::map<std::string, std::int32_t, std::less<>> defaults;
  std::map<std::string, std::deque<std::int32_t>, std::less<>> queued;
  std::array<std::uint8_t, 100> flashInfo{};
  std::array<std::uint8_t, 100> packageInfo{};
  std::uint32_t firstRemaining = 0;
  std::vector<std::uint8_t> streamed;
  binding::BindingState state;
};

Fake& The() {
  static Fake fake;
  return fake;
}

constexpr std::size_t kRecordedBytes = 1024;

// Binds vx_bsp_api.dll when nothing is bound, records the call and answers whether the
// bound library exports the entry.
bool Enter(std::string_view entry, std::vector<std::int64_t> args,
           const std::uint8_t* data = nullptr, std::uint32_t size = 0) {
  binding::EnsureLibrary(binding::kBoardSupportLibrary);
  Fake& fake = The();
  Call call;
  call.entry = std::string(entry);
  call.library = fake.bound;
  call.supported = fake.isBound && fake.libraries[fake.bound].count(call.entry) != 0;
  call.args = std::move(args);
  if (data != nullptr && size <= kRecordedBytes) call.data.assign(data, data + size);
  fake.calls.push_back(call);
  return call.supported;
}

std::int32_t Answer(std::string_view entry) {
  Fake& fake = The();
  auto queue = fake.queued.find(entry);
  if (queue != fake.queued.end() && !queue->second.empty()) {
    const std::int32_t value = queue->second.front();
    queue->second.pop_front();
    return value;
  }
  auto fixed = fake.defaults.find(entry);
  return fixed == fake.defaults.end() ? 0 : fixed->second;
}

void FillRecord(std::uint8_t* record, const std::array<std::uint8_t, 100>& from) {
  std::copy(from.begin() + 4, from.end(), record + 4);
}

}  // namespace

std::set<std::string> DeviceEntries() {
  return {"VXUpdate_LowLevelFormat", "VXUpdate_CheckImageType", "VXUpdate_WriteFirst",
          "VXUpdate_WriteNext",      "VXUpdate_WriteLast",      "VXUpdate_CheckCRC",
          "VXUpdate_GuaranteeExclusiveAccess", "SystemBootFromDOC", "GD_setULong",
          "GD_store",                "GreenLed",                "RedLed",
          "CPU_Reset",               "SetEnableKeyboard",       "GetImageInfo",
          "GetImageInfoFromBuffer"};
}

void Reset() { The() = Fake{}; }

void AddLibrary(std::u16string_view name, std::set<std::string> entries) {
  The().libraries[std::u16string(name)] = std::move(entries);
}

std::u16string Bound() { return The().bound; }

int BindCount(std::u16string_view name) {
  auto it = The().bindCounts.find(std::u16string(name));
  return it == The().bindCounts.end() ? 0 : it->second;
}

const std::vector<Call>& Calls() { return The().calls; }

std::vector<Call> CallsTo(std::string_view entry) {
  std::vector<Call> found;
  for (const Call& call : The().calls) {
    if (call.entry == entry) found.push_back(call);
  }
  return found;
}

std::vector<std::string> EntrySequence() {
  std::vector<std::string> sequence;
  for (const Call& call : The().calls) {
    if (call.entry != "crc32") sequence.push_back(call.entry);
  }
  return sequence;
}

void SetAnswer(std::string_view entry, std::int32_t value) {
  The().defaults[std::string(entry)] = value;
}

void QueueAnswers(std::string_view entry, std::vector<std::int32_t> values) {
  auto& queue = The().queued[std::string(entry)];
  queue.insert(queue.end(), values.begin(), values.end());
}

void SetImageInfo(const std::array<std::uint8_t, 100>& flash,
                  const std::array<std::uint8_t, 100>& package) {
  The().flashInfo = flash;
  The().packageInfo = package;
}

void SetWriteFirstRemaining(std::uint32_t remaining) { The().firstRemaining = remaining; }

const std::vector<std::uint8_t>& Streamed() { return The().streamed; }

}  // namespace fake_binding

namespace binding {

using fake_binding::Answer;
using fake_binding::Enter;
using fake_binding::The;

const BindingState& State() {
  The().state.bound = The().isBound ? 1 : 0;
  return The().state;
}

std::uint8_t EnsureLibrary(std::u16string_view library) {
  auto& fake = The();
  if (fake.isBound) return 1;
  if (fake.libraries.count(std::u16string(library)) == 0) return 0;
  fake.bound = std::u16string(library);
  fake.isBound = true;
  ++fake.bindCounts[fake.bound];
  return 1;
}

void ReleaseLibrary() {
  The().bound.clear();
  The().isBound = false;
}

bool SwitchLibrary(std::u16string_view library) {
  ReleaseLibrary();
  return EnsureLibrary(library) == 1;
}

std::uint8_t LibrarySupports(std::u16string_view entry) {
  EnsureLibrary(kBoardSupportLibrary);
  auto& fake = The();
  if (!fake.isBound) return 0;
  const std::string name(entry.begin(), entry.end());
  return fake.libraries[fake.bound].count(name) != 0 ? 1 : 0;
}

std::int32_t VXUpdate_LowLevelFormat() {
  if (!Enter("VXUpdate_LowLevelFormat", {})) return -1;
  return Answer("VXUpdate_LowLevelFormat");
}

std::int32_t VXUpdate_CheckImageType(std::uint32_t type, const std::uint8_t* data,
                                     std::uint32_t size) {
  if (!Enter("VXUpdate_CheckImageType", {type, size}, data, size)) return -1;
  return Answer("VXUpdate_CheckImageType");
}

std::int32_t VXUpdate_WriteFirst(std::uint32_t type, const std::uint8_t* data,
                                 std::uint32_t count, std::uint32_t* remaining) {
  if (!Enter("VXUpdate_WriteFirst", {type, count}, data, count)) return -1;
  const std::int32_t result = Answer("VXUpdate_WriteFirst");
  if (result == 0) {
    The().streamed.insert(The().streamed.end(), data, data + count);
    *remaining = The().firstRemaining;
  }
  return result;
}

std::int32_t VXUpdate_WriteNext(const std::uint8_t* data, std::uint32_t count,
                                std::uint32_t* remaining) {
  if (!Enter("VXUpdate_WriteNext", {count}, data, count)) return -1;
  const std::int32_t result = Answer("VXUpdate_WriteNext");
  if (result == 0) {
    The().streamed.insert(The().streamed.end(), data, data + count);
    *remaining -= std::min(*remaining, count);
  }
  return result;
}

std::int32_t VXUpdate_WriteLast() {
  if (!Enter("VXUpdate_WriteLast", {})) return -1;
  return Answer("VXUpdate_WriteLast");
}

std::int32_t VXUpdate_CheckCRC(std::uint32_t type) {
  if (!Enter("VXUpdate_CheckCRC", {type})) return -1;
  return Answer("VXUpdate_CheckCRC");
}

std::int32_t VXUpdate_GuaranteeExclusiveAccess(std::int32_t take) {
  if (!Enter("VXUpdate_GuaranteeExclusiveAccess", {take})) return -1;
  return Answer("VXUpdate_GuaranteeExclusiveAccess");
}

std::int32_t SystemBootFromDOC() {
  if (!Enter("SystemBootFromDOC", {})) return 1;
  return Answer("SystemBootFromDOC");
}

std::int32_t GD_setULong(std::uint32_t item, std::uint32_t value) {
  if (!Enter("GD_setULong", {item, value})) return 0;
  return Answer("GD_setULong");
}

std::int32_t GD_store() {
  if (!Enter("GD_store", {})) return 0;
  return Answer("GD_store");
}

void GreenLed(std::int32_t on) { Enter("GreenLed", {on}); }

void RedLed(std::int32_t on) { Enter("RedLed", {on}); }

void CPU_Reset(std::int32_t hardware) { Enter("CPU_Reset", {hardware}); }

std::int32_t SetEnableKeyboard(std::int32_t enable) {
  if (!Enter("SetEnableKeyboard", {enable})) return 1;
  return Answer("SetEnableKeyboard");
}

std::int32_t GetImageInfo(std::uint8_t* record, std::uint32_t type) {
  if (!Enter("GetImageInfo", {type}, record, 4)) return 0;
  const std::int32_t result = Answer("GetImageInfo");
  fake_binding::FillRecord(record, The().flashInfo);
  return result;
}

std::int32_t GetImageInfoFromBuffer(std::uint8_t* record, const std::uint8_t* data,
                                    std::uint32_t size) {
  if (!Enter("GetImageInfoFromBuffer", {size}, data, size)) return 0;
  const std::int32_t result = Answer("GetImageInfoFromBuffer");
  fake_binding::FillRecord(record, The().packageInfo);
  return result;
}

std::uint32_t crc32(std::uint32_t crc, const std::uint8_t* data, std::uint32_t length) {
  if (!Enter("crc32", {crc, length})) return 0;
  return static_cast<std::uint32_t>(::crc32(crc, data, length));
}

}  // namespace binding
