// Files, the registry and device libraries on the Win32 API.  Device paths go to the API
// as they are: "\Storage Card\VXUpdate.bin" is relative to the root of the current drive,
// as on the device.
#include <algorithm>

#include "platform/win32/win32.h"

namespace platform {
namespace {

DWORD Clamp(std::size_t size) {
  return static_cast<DWORD>(std::min<std::size_t>(size, MAXDWORD));
}

HKEY NativeKey(RegKey key) {
  // The predefined root is a sign-extended 32-bit value in the 64-bit API.
  if (key == kHkeyLocalMachine) return HKEY_LOCAL_MACHINE;
  return reinterpret_cast<HKEY>(static_cast<std::intptr_t>(key));
}

}  // namespace

Handle CreateFile(std::u16string_view path, std::uint32_t access, std::uint32_t share,
                  std::uint32_t disposition, std::uint32_t flags) {
  return win32::FromNative(::CreateFileW(win32::Wide(path).c_str(), access, share, nullptr,
                                         disposition, flags, nullptr));
}

bool ReadFile(Handle file, std::span<std::uint8_t> buffer, std::uint32_t* read) {
  DWORD count = 0;
  const bool ok =
      ::ReadFile(win32::Native(file), buffer.data(), Clamp(buffer.size()), &count, nullptr);
  *read = ok ? count : 0;
  return ok;
}

bool WriteFile(Handle file, std::span<const std::uint8_t> bytes, std::uint32_t* written) {
  DWORD count = 0;
  const bool ok =
      ::WriteFile(win32::Native(file), bytes.data(), Clamp(bytes.size()), &count, nullptr);
  *written = ok ? count : 0;
  return ok;
}

std::uint32_t SetFilePointer(Handle file, std::int32_t distance, std::int32_t* distanceHigh,
                             std::uint32_t method) {
  LONG high = distanceHigh ? *distanceHigh : 0;
  const DWORD position =
      ::SetFilePointer(win32::Native(file), distance, distanceHigh ? &high : nullptr, method);
  if (distanceHigh) *distanceHigh = high;
  return position;
}

std::uint32_t GetFileSize(Handle file, std::uint32_t* high) {
  DWORD upper = 0;
  const DWORD size = ::GetFileSize(win32::Native(file), &upper);
  if (high) *high = upper;
  return size;
}

bool CloseHandle(Handle handle) { return ::CloseHandle(win32::Native(handle)); }

// A fresh file beside the target, created only where no file or link stands, then moved
// over the target: whatever stood there is replaced, never written through.
bool WriteNewFile(std::u16string_view path, std::span<const std::uint8_t> bytes) {
  const std::wstring target = win32::Wide(path);
  std::wstring fresh;
  HANDLE file = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 100 && file == INVALID_HANDLE_VALUE; ++attempt) {
    fresh = target + L"." + std::to_wstring(::GetCurrentProcessId()) + L"-" +
            std::to_wstring(attempt) + L".new";
    file = ::CreateFileW(fresh.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_FILE_EXISTS) return false;
  }
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  ::WriteFile(file, bytes.data(), Clamp(bytes.size()), &written, nullptr);
  ::CloseHandle(file);
  // A short file takes the name all the same, as a short write leaves it on the device.
  if (!::MoveFileExW(fresh.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    ::DeleteFileW(fresh.c_str());
    return false;
  }
  return written == bytes.size();
}

std::int32_t RegOpenKeyEx(RegKey root, std::u16string_view subKey, std::uint32_t options,
                          std::uint32_t /*access*/, RegKey* result) {
  // The device ignores the access; the desktop refuses to query a key opened without it.
  HKEY key = nullptr;
  const LONG status =
      ::RegOpenKeyExW(NativeKey(root), win32::Wide(subKey).c_str(), options, KEY_READ, &key);
  *result = status == ERROR_SUCCESS ? RegKey{reinterpret_cast<std::intptr_t>(key)} : kNullRegKey;
  return status;
}

std::int32_t RegQueryValueEx(RegKey key, std::u16string_view name, std::uint32_t* type,
                             std::span<std::uint8_t> data, std::uint32_t* size) {
  // Without a buffer the API answers the size as a success; a zero-sized room must still
  // report that the value does not fit.
  BYTE spare = 0;
  DWORD room = std::min<DWORD>(*size, Clamp(data.size()));
  DWORD valueType = 0;
  const LONG status = ::RegQueryValueExW(NativeKey(key), win32::Wide(name).c_str(), nullptr,
                                         &valueType, data.empty() ? &spare : data.data(), &room);
  *size = room;
  if (status == ERROR_SUCCESS && type) *type = valueType;
  return status;
}

std::int32_t RegCloseKey(RegKey key) { return ::RegCloseKey(NativeKey(key)); }

Module LoadLibrary(std::u16string_view name) {
  // The device looks for a bare library name in its "\Windows" folder only; the desktop
  // would search the program's folder, the system folders and PATH instead.
  std::u16string path(name);
  if (name.find(u'\\') == std::u16string_view::npos) path = u"\\Windows\\" + path;
  return Module{reinterpret_cast<std::intptr_t>(::LoadLibraryW(win32::Wide(path).c_str()))};
}

Proc GetProcAddress(Module module, std::u16string_view name) {
  // The desktop's entry names are narrow; the device's are wide.
  const std::string narrow = ToUtf8(name);
  if (narrow.find('\0') != std::string::npos) return nullptr;
  const FARPROC address = ::GetProcAddress(
      reinterpret_cast<HMODULE>(static_cast<std::intptr_t>(module)), narrow.c_str());
  return reinterpret_cast<Proc>(reinterpret_cast<void*>(address));
}

bool FreeLibrary(Module module) {
  return ::FreeLibrary(reinterpret_cast<HMODULE>(static_cast<std::intptr_t>(module)));
}

std::optional<std::string> MapDevicePath(std::u16string_view devicePath) {
  return ToUtf8(devicePath);
}

std::string DeviceRoot() { return "\\"; }

void Reconfigure() {}

}  // namespace platform
