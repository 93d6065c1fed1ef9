// The engine library the package fuzz target binds as "\VXUpdate.dll".  It holds no flash:
// its answers come from steering bits the target sets from the input, and it checks the
// promises the image operations make to every engine (the record size is set, the probe
// is 512 bytes, no write call carries more than was asked for, the closing call comes
// only when nothing is expected).  A broken promise aborts, which libFuzzer records.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::uint32_t kRecordSize = 100;
constexpr std::uint32_t kProbeSize = 512;
constexpr std::uint32_t kFirstChunkSize = 1024;

// Steering bits, set by FuzzEngineSteer.
constexpr std::uint32_t kBootFromDoc = 1u << 0;
constexpr std::uint32_t kRefuseOddImages = 1u << 1;  // CheckImageType refuses when byte 0 is odd
constexpr std::uint32_t kFlashInfoFails = 1u << 2;
constexpr std::uint32_t kBufferInfoFails = 1u << 3;
constexpr std::uint32_t kWriteFirstFails = 1u << 4;
constexpr std::uint32_t kWriteNextFails = 1u << 5;
constexpr std::uint32_t kWriteLastFails = 1u << 6;
// Bit 7 belongs to the fuzz target (memory short).  Bits 8 to 11: what VXUpdate_CheckCRC
// answers.
constexpr std::uint32_t kFlashMatches = 1u << 12;  // flash holds the image last judged
constexpr std::uint32_t kFlashKeyDiffers = 1u << 13;  // ... but bytes 4 to 7 differ
// Bits 16 to 31: how many bytes the engine asks for after the first chunk, so a write
// stays bounded whatever the input.

std::uint32_t steering = 0;
// The bytes the suitability check last offered per type, which kFlashMatches pretends
// are in flash, so that the comparison also meets equal records.
std::uint8_t judged[11][kProbeSize] = {};
bool writing = false;
std::uint32_t expected = 0;

[[noreturn]] void Broken(const char* promise) {
  std::fprintf(stderr, "fake engine: %s\n", promise);
  std::abort();
}

bool KnownType(std::uint32_t type) { return type >= 1 && type <= 10; }

std::uint32_t LoadLe32(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

void CheckRecord(const std::uint8_t* record) {
  if (record == nullptr || LoadLe32(record) != kRecordSize) {
    Broken("image information record offered without its size 100");
  }
}

}  // namespace

extern "C" {

[[gnu::visibility("default")]] void FuzzEngineSteer(std::uint32_t bits) {
  steering = bits;
  std::memset(judged, 0, sizeof judged);
  writing = false;
  expected = 0;
}

[[gnu::visibility("default")]] std::int32_t SystemBootFromDOC() {
  return (steering & kBootFromDoc) != 0 ? 1 : 0;
}

[[gnu::visibility("default")]] std::int32_t VXUpdate_CheckImageType(
    std::uint32_t type, const std::uint8_t* data, std::uint32_t size) {
  if (!KnownType(type)) Broken("suitability asked for a type without directory entry");
  if (data == nullptr || size != kProbeSize) Broken("suitability probe is not 512 bytes");
  std::memcpy(judged[type], data, kProbeSize);
  if ((steering & kRefuseOddImages) != 0 && (data[0] & 1) != 0) return data[0];
  return 0;
}

[[gnu::visibility("default")]] std::int32_t GetImageInfo(std::uint8_t* record,
                                                                 std::uint32_t type) {
  CheckRecord(record);
  if (!KnownType(type)) Broken("flash information asked for an unknown type");
  if ((steering & kFlashInfoFails) != 0) return 0;
  if ((steering & kFlashMatches) != 0) {
    std::memcpy(record + 4, judged[type] + 4, kRecordSize - 4);
    if ((steering & kFlashKeyDiffers) != 0) record[4] ^= 1;
    return 1;
  }
  for (std::uint32_t i = 4; i < kRecordSize; ++i) {
    record[i] = static_cast<std::uint8_t>(type * 31 + i);
  }
  return 1;
}

[[gnu::visibility("default")]] std::int32_t GetImageInfoFromBuffer(
    std::uint8_t* record, const std::uint8_t* data, std::uint32_t size) {
  CheckRecord(record);
  if (data == nullptr || size != kProbeSize) Broken("package information from other than 512 bytes");
  if ((steering & kBufferInfoFails) != 0) return 0;
  std::memcpy(record + 4, data + 4, kRecordSize - 4);
  return 1;
}

[[gnu::visibility("default")]] std::int32_t VXUpdate_CheckCRC(std::uint32_t type) {
  if (!KnownType(type)) Broken("CRC check asked for an unknown type");
  return static_cast<std::int32_t>((steering >> 8) & 0xF);
}

[[gnu::visibility("default")]] std::int32_t VXUpdate_WriteFirst(
    std::uint32_t type, const std::uint8_t* data, std::uint32_t count, std::uint32_t* remaining) {
  if (!KnownType(type)) Broken("write of an unknown type");
  if (remaining == nullptr) Broken("first write without a remaining count");
  if (count > kFirstChunkSize || (count != 0 && data == nullptr)) {
    Broken("first write carries more than 1024 bytes");
  }
  writing = false;
  if ((steering & kWriteFirstFails) != 0) return 11;
  writing = true;
  expected = steering >> 16;
  *remaining = expected;
  return 0;
}

[[gnu::visibility("default")]] std::int32_t VXUpdate_WriteNext(
    const std::uint8_t* data, std::uint32_t count, std::uint32_t* remaining) {
  if (!writing) Broken("follow-up write without a first write");
  if (remaining == nullptr || data == nullptr) Broken("follow-up write without its buffers");
  if (count == 0 || count > expected) Broken("follow-up write carries other than what was asked");
  expected -= count;
  if ((steering & kWriteNextFails) != 0 && expected < (steering >> 16) / 2) {
    writing = false;
    return 7;
  }
  *remaining = expected;
  return 0;
}

[[gnu::visibility("default")]] std::int32_t VXUpdate_WriteLast() {
  if (!writing) Broken("closing write without a first write");
  if (expected != 0) Broken("closing write while bytes are still expected");
  writing = false;
  return (steering & kWriteLastFails) != 0 ? 12 : 0;
}

}  // extern "C"
