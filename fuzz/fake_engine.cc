// The engine library the package target binds as "\VXUpdate.dll": no flash, answers from
// steering bits the target sets from the input, and aborts (which libFuzzer records) when
// the updater breaks a promise it makes to every engine: records carry their size 100,
// probes are 512 bytes, no write carries more than was asked for, and the closing call
// comes only when nothing more is expected.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Bit 0: boot from DOC; 1: refuse images whose first byte is odd; 2 to 6: GetImageInfo,
// GetImageInfoFromBuffer, WriteFirst, WriteNext, WriteLast fail; 8 to 11: the CheckCRC
// answer; 12: flash holds the image last judged, 13: but with bytes 4 to 7 changed;
// 16 to 31: the bytes asked for after the first chunk.
std::uint32_t steering = 0, expected = 0;
bool writing = false;
std::uint8_t judged[11][512] = {};

bool Bit(int n) { return (steering >> n & 1) != 0; }

void Promise(bool kept, const char* what) {
  if (kept) return;
  std::fprintf(stderr, "fake engine: %s\n", what);
  std::abort();
}

bool Known(std::uint32_t type) { return type >= 1 && type <= 10; }

}  // namespace

#define EXPORT extern "C" [[gnu::visibility("default")]]

EXPORT void FuzzEngineSteer(std::uint32_t bits) {
  steering = bits;
  writing = false;
  std::memset(judged, 0, sizeof judged);
}

EXPORT std::int32_t SystemBootFromDOC() { return Bit(0) ? 1 : 0; }

EXPORT std::int32_t VXUpdate_CheckImageType(std::uint32_t type, const std::uint8_t* data,
                                            std::uint32_t size) {
  Promise(Known(type) && data != nullptr && size == 512, "bad suitability probe");
  std::memcpy(judged[type], data, 512);
  return Bit(1) && (data[0] & 1) != 0 ? data[0] : 0;
}

EXPORT std::int32_t GetImageInfo(std::uint8_t* record, std::uint32_t type) {
  Promise(Known(type) && record != nullptr && record[0] == 100, "bad flash information call");
  for (std::uint32_t i = 4; i < 100; ++i) record[i] = Bit(12) ? judged[type][i] : type * 31 + i;
  record[4] ^= Bit(13) ? 1 : 0;
  return Bit(2) ? 0 : 1;
}

EXPORT std::int32_t GetImageInfoFromBuffer(std::uint8_t* record, const std::uint8_t* data,
                                           std::uint32_t size) {
  Promise(record != nullptr && record[0] == 100 && data != nullptr && size == 512,
          "bad package information call");
  std::memcpy(record + 4, data + 4, 96);
  return Bit(3) ? 0 : 1;
}

EXPORT std::int32_t VXUpdate_CheckCRC(std::uint32_t type) {
  Promise(Known(type), "CRC check of an unknown type");
  return static_cast<std::int32_t>(steering >> 8 & 0xF);
}

EXPORT std::int32_t VXUpdate_WriteFirst(std::uint32_t type, const std::uint8_t* data,
                                        std::uint32_t count, std::uint32_t* remaining) {
  Promise(Known(type) && remaining != nullptr && count <= 1024 && (count == 0 || data != nullptr),
          "bad first write");
  writing = !Bit(4);
  *remaining = expected = steering >> 16;
  return writing ? 0 : 11;
}

EXPORT std::int32_t VXUpdate_WriteNext(const std::uint8_t* data, std::uint32_t count,
                                       std::uint32_t* remaining) {
  Promise(writing && data != nullptr && remaining != nullptr && count != 0 && count <= expected,
          "follow-up write out of order or carrying other than asked");
  *remaining = expected -= count;
  writing = !(Bit(5) && expected < (steering >> 16) / 2);
  return writing ? 0 : 7;
}

EXPORT std::int32_t VXUpdate_WriteLast() {
  Promise(writing && expected == 0, "closing write while bytes are expected");
  writing = false;
  return Bit(6) ? 12 : 0;
}
