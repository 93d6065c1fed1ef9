// Internal to the Win32 backend: what its files share.  Nothing outside platform/win32/
// includes this.
#ifndef PLATFORM_WIN32_WIN32_H_
#define PLATFORM_WIN32_WIN32_H_

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// The headers map these names to their W or A forms; platform.h declares the plain names.
#undef CreateEvent
#undef CreateFile
#undef CreateProcess
#undef LoadLibrary
#undef MessageBox
#undef OpenEvent
#undef OutputDebugString
#undef RegOpenKeyEx
#undef RegQueryValueEx

#include <string>
#include <string_view>

#include "platform/platform.h"

namespace platform::win32 {

// A zero-terminated copy for the wide API; char16_t and wchar_t are both UTF-16 here.
inline std::wstring Wide(std::u16string_view text) {
  return std::wstring(text.begin(), text.end());
}

inline HANDLE Native(Handle handle) {
  return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(handle));
}
inline Handle FromNative(HANDLE handle) {
  return Handle{reinterpret_cast<std::intptr_t>(handle)};
}

}  // namespace platform::win32

#endif  // PLATFORM_WIN32_WIN32_H_
