// A board support library that exports all 17 entries the updater calls, records every
// call in the trace and answers with the values of testlib.h.  It also exports one name
// outside the updater's entry list, to show that LibrarySupports asks the library itself.
#include <array>

#include "tests/binding/testlib/testlib.h"

namespace {

using testlib::Record;

// The CRC-32 of zlib, gzip and PNG, bit by bit: slow and plainly right.
unsigned long Crc32(unsigned long crc, const unsigned char* data, unsigned int length) {
  if (data == nullptr) return 0;
  crc = ~crc & 0xFFFFFFFFul;
  for (unsigned int i = 0; i < length; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320ul & (0ul - (crc & 1)));
  }
  return ~crc & 0xFFFFFFFFul;
}

}  // namespace

extern "C" {

std::int32_t VXUpdate_LowLevelFormat() {
  Record("VXUpdate_LowLevelFormat", {});
  return testlib::kLowLevelFormatResult;
}

std::int32_t VXUpdate_CheckImageType(std::uint32_t type, const std::uint8_t* data,
                                     std::uint32_t size) {
  Record("VXUpdate_CheckImageType", {type, data[0], size});
  return testlib::kCheckImageTypeResult;
}

std::int32_t VXUpdate_WriteFirst(std::uint32_t type, const std::uint8_t* data, std::uint32_t count,
                                 std::uint32_t* remaining) {
  Record("VXUpdate_WriteFirst", {type, data[0], count, *remaining});
  *remaining = count + testlib::kWriteFirstExtra;
  return testlib::kWriteFirstResult;
}

std::int32_t VXUpdate_WriteNext(const std::uint8_t* data, std::uint32_t count,
                                std::uint32_t* remaining) {
  Record("VXUpdate_WriteNext", {data[0], count, *remaining});
  *remaining -= count;
  return testlib::kWriteNextResult;
}

std::int32_t VXUpdate_WriteLast() {
  Record("VXUpdate_WriteLast", {});
  return testlib::kWriteLastResult;
}

std::int32_t VXUpdate_CheckCRC(std::uint32_t type) {
  Record("VXUpdate_CheckCRC", {type});
  return testlib::kCheckCrcResult;
}

std::int32_t VXUpdate_GuaranteeExclusiveAccess(std::int32_t take) {
  Record("VXUpdate_GuaranteeExclusiveAccess", {take});
  return testlib::kExclusiveAccessResult;
}

std::int32_t SystemBootFromDOC() {
  Record("SystemBootFromDOC", {});
  return testlib::kSystemBootFromDocResult;
}

std::int32_t GD_setULong(std::uint32_t item, std::uint32_t value) {
  Record("GD_setULong", {item, value});
  return testlib::kGdSetULongResult;
}

std::int32_t GD_store() {
  Record("GD_store", {});
  return testlib::kGdStoreResult;
}

void GreenLed(std::int32_t on) { Record("GreenLed", {on}); }

void RedLed(std::int32_t on) { Record("RedLed", {on}); }

void CPU_Reset(std::int32_t hardware) { Record("CPU_Reset", {hardware}); }

std::int32_t SetEnableKeyboard(std::int32_t enable) {
  Record("SetEnableKeyboard", {enable});
  return testlib::kSetEnableKeyboardResult;
}

std::int32_t GetImageInfo(std::uint8_t* record, std::uint32_t type) {
  Record("GetImageInfo", {record[0], type});
  record[testlib::kRecordMarkOffset] = static_cast<std::uint8_t>(type);
  return testlib::kGetImageInfoResult;
}

std::int32_t GetImageInfoFromBuffer(std::uint8_t* record, const std::uint8_t* data,
                                    std::uint32_t size) {
  Record("GetImageInfoFromBuffer", {record[0], data[0], size});
  record[testlib::kRecordMarkOffset] = data[0];
  return testlib::kGetImageInfoFromBufferResult;
}

unsigned long crc32(unsigned long crc, const unsigned char* data, unsigned int length) {
  Record("crc32", {static_cast<long long>(crc), data == nullptr ? -1 : data[0], length});
  return Crc32(crc, data, length);
}

// Not one of the updater's entries.
std::int32_t TestlibExtraEntry() { return 0; }

}  // extern "C"
