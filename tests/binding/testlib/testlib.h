// Board support libraries for tests: host shared objects that stand in for
// vx_bsp_api.dll and the engine library.  Every call that reaches one of them is appended
// to the trace as {"ev":"testlib","call":NAME,"args":"A,B,..."}, so a test sees in one
// file, in order, what the updater asked of the platform and of the library.
#ifndef TESTS_BINDING_TESTLIB_TESTLIB_H_
#define TESTS_BINDING_TESTLIB_TESTLIB_H_

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>

namespace testlib {

// What the recording library answers, each distinct from every fallback, so that a test
// can tell a passed-through result from a fallback.
inline constexpr std::int32_t kLowLevelFormatResult = 101;
inline constexpr std::int32_t kCheckImageTypeResult = 102;
inline constexpr std::int32_t kWriteFirstResult = 103;
inline constexpr std::int32_t kWriteNextResult = 104;
inline constexpr std::int32_t kWriteLastResult = 105;
inline constexpr std::int32_t kCheckCrcResult = 14;
inline constexpr std::int32_t kExclusiveAccessResult = 107;
inline constexpr std::int32_t kSystemBootFromDocResult = 0;
inline constexpr std::int32_t kGdSetULongResult = 108;
inline constexpr std::int32_t kGdStoreResult = 109;
inline constexpr std::int32_t kSetEnableKeyboardResult = 110;
inline constexpr std::int32_t kGetImageInfoResult = 111;
inline constexpr std::int32_t kGetImageInfoFromBufferResult = 112;
// VXUpdate_WriteFirst asks for this many bytes more than it was given.
inline constexpr std::uint32_t kWriteFirstExtra = 7;
// GetImageInfo and GetImageInfoFromBuffer write this byte offset of the record.
inline constexpr std::size_t kRecordMarkOffset = 4;

// Appends one trace line with a single write (a line is far shorter than the stream
// buffer, so fclose writes it at once).  The trace file is opened for appending,
// as the platform layer does, so the lines interleave with the platform's in call order.
inline void Record(const char* call, std::initializer_list<long long> args) {
  const char* trace = std::getenv("VXU_TRACE");
  if (trace == nullptr || *trace == '\0') return;
  std::string line = "{\"ev\":\"testlib\",\"call\":\"";
  line += call;
  line += "\",\"args\":\"";
  const char* separator = "";
  for (long long arg : args) {
    line += separator;
    line += std::to_string(arg);
    separator = ",";
  }
  line += "\"}\n";
  std::FILE* file = std::fopen(trace, "ab");
  if (file == nullptr) return;
  std::fwrite(line.data(), 1, line.size(), file);
  std::fclose(file);
}

}  // namespace testlib

#endif  // TESTS_BINDING_TESTLIB_TESTLIB_H_
