// The board support binding: the updater's only road into the device's closed libraries.
//
// One library is bound at a time, chosen by file name ("vx_bsp_api.dll", "zlib.dll" or
// "\VXUpdate.dll").  At bind time a fixed list of 155 entry names is resolved into an
// entry table; the entry points below call through that table, or write
// "mc_api: NAME not supported\r\n" to the debug channel and return a fixed fallback when
// the bound library lacks the entry.  Main thread only; nothing here is locked.
#ifndef BINDING_BINDING_H_
#define BINDING_BINDING_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/platform.h"

namespace binding {

inline constexpr std::u16string_view kBoardSupportLibrary = u"vx_bsp_api.dll";
inline constexpr std::u16string_view kZlibLibrary = u"zlib.dll";
inline constexpr std::u16string_view kEngineLibrary = u"\\VXUpdate.dll";

inline constexpr std::size_t kEntryCount = 155;
// The entry names in lookup order.
extern const std::array<std::u16string_view, kEntryCount> kEntryNames;

// The process-wide binding record.  While `bound` is 0 every other field is null.
struct BindingState {
  std::uint8_t bound = 0;
  platform::Module module = platform::kNullModule;
  platform::Handle backlightEvent = platform::kNullHandle;
  std::array<platform::Proc, kEntryCount> entries{};
};
// A read-only view of the record, for tests and diagnostics.
const BindingState& State();

// Binds `library` unless a library is bound already (then nothing changes and the name is
// not looked at).  Answers 1 when a library is bound afterwards, 0 when none is.
std::uint8_t EnsureLibrary(std::u16string_view library);
// Unbinds whatever is bound (closing "BacklightEvent" and freeing the library); nothing
// happens when nothing is bound.
void ReleaseLibrary();
// ReleaseLibrary, then EnsureLibrary(library): true only when that library is now bound.
bool SwitchLibrary(std::u16string_view library);
// Binds vx_bsp_api.dll when nothing is bound, then answers 1 when the bound library
// itself exports `entry`, else 0.  The entry table is not used.
std::uint8_t LibrarySupports(std::u16string_view entry);

// ---------------------------------------------------------------------------
// The entry points.  Each binds vx_bsp_api.dll when nothing is bound, calls its entry in
// the bound library with its arguments unchanged and returns the entry's result; when the
// entry is missing it writes its debug line and returns the fallback given here, leaving
// out-parameters untouched.

std::int32_t VXUpdate_LowLevelFormat();                                   // fallback -1
std::int32_t VXUpdate_CheckImageType(std::uint32_t type, const std::uint8_t* data,
                                     std::uint32_t size);                 // fallback -1
std::int32_t VXUpdate_WriteFirst(std::uint32_t type, const std::uint8_t* data,
                                 std::uint32_t count, std::uint32_t* remaining);  // -1
std::int32_t VXUpdate_WriteNext(const std::uint8_t* data, std::uint32_t count,
                                std::uint32_t* remaining);                // fallback -1
std::int32_t VXUpdate_WriteLast();                                        // fallback -1
std::int32_t VXUpdate_CheckCRC(std::uint32_t type);                       // fallback -1
std::int32_t VXUpdate_GuaranteeExclusiveAccess(std::int32_t take);        // fallback -1
std::int32_t SystemBootFromDOC();                                         // fallback 1
std::int32_t GD_setULong(std::uint32_t item, std::uint32_t value);        // fallback 0
std::int32_t GD_store();                                                  // fallback 0
void GreenLed(std::int32_t on);
void RedLed(std::int32_t on);
void CPU_Reset(std::int32_t hardware);
std::int32_t SetEnableKeyboard(std::int32_t enable);                      // fallback 1
std::int32_t GetImageInfo(std::uint8_t* record, std::uint32_t type);      // fallback 0
std::int32_t GetImageInfoFromBuffer(std::uint8_t* record, const std::uint8_t* data,
                                    std::uint32_t size);                  // fallback 0
// zlib's crc32: crc32(0, nullptr, 0) is the start value; fallback 0.
std::uint32_t crc32(std::uint32_t crc, const std::uint8_t* data, std::uint32_t length);

}  // namespace binding

#endif  // BINDING_BINDING_H_
