// A programmable stand-in for the board support binding, linked instead of vxu_binding
// into tests of the modules above it.  It implements every function of binding/binding.h
// without loading anything: the test declares which libraries can be bound and which
// entries each exports, scripts the answers of the entries, and reads back every call.
// crc32 is zlib's own while the bound library exports it, else the fallback 0.
#ifndef TESTS_SUPPORT_FAKE_BINDING_H_
#define TESTS_SUPPORT_FAKE_BINDING_H_

#include <array>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace fake_binding {

// The entries a full board support library exports (crc32 not among them).
std::set<std::string> DeviceEntries();

// Forgets every library, answer and call; nothing is bound afterwards.
void Reset();
// Makes `name` bindable, exporting `entries` (e.g. {"crc32"} for zlib.dll).
void AddLibrary(std::u16string_view name, std::set<std::string> entries);
// The name of the bound library, empty when none is.
std::u16string Bound();
// How often a library has been bound.
int BindCount(std::u16string_view name);

// One call of an entry point.
struct Call {
  std::string entry;
  std::u16string library;    // bound when it was called (empty: none)
  bool supported = false;    // the bound library exported the entry
  std::vector<std::int64_t> args;   // the integer arguments in order
  std::vector<std::uint8_t> data;   // the bytes passed, for entries that take bytes
};
const std::vector<Call>& Calls();
std::vector<Call> CallsTo(std::string_view entry);
// The entries called, in order, crc32 and library management left out.
std::vector<std::string> EntrySequence();

// The answer of an entry while it is supported: the queued answers first, one per call,
// then the default (0 unless set).  For GetImageInfo/GetImageInfoFromBuffer a non-zero
// answer is "true".
void SetAnswer(std::string_view entry, std::int32_t value);
void QueueAnswers(std::string_view entry, std::vector<std::int32_t> values);

// The records GetImageInfo and GetImageInfoFromBuffer fill in (bytes 4 to 99 are copied;
// the size field stays as the caller set it).
void SetImageInfo(const std::array<std::uint8_t, 100>& flash,
                  const std::array<std::uint8_t, 100>& package);
// Writing: on success VXUpdate_WriteFirst sets the remaining count to this value and
// VXUpdate_WriteNext lowers it by the bytes it took.
void SetWriteFirstRemaining(std::uint32_t remaining);
// Every byte that VXUpdate_WriteFirst and VXUpdate_WriteNext accepted, in order.
const std::vector<std::uint8_t>& Streamed();

}  // namespace fake_binding

#endif  // TESTS_SUPPORT_FAKE_BINDING_H_
