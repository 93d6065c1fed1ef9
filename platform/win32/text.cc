// Text conversion, the console, the debug channel, memory and the program's end on the
// Win32 API.  The device's layer keeps no trace: TraceEvent does nothing here.
#include <algorithm>
#include <cstdlib>

#include "platform/win32/win32.h"

namespace platform {
namespace {

// An invalid byte or unpaired surrogate becomes U+FFFD, as the converter does without
// MB_ERR_INVALID_CHARS.
std::string ToUtf8(const wchar_t* text, int length) {
  if (length == 0) return {};
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), size, nullptr, nullptr);
  return out;
}

}  // namespace

std::string ToUtf8(std::u16string_view text) {
  const std::wstring wide = win32::Wide(text);
  return ToUtf8(wide.data(), static_cast<int>(wide.size()));
}

std::u16string ToUtf16(std::string_view text) {
  if (text.empty()) return {};
  const int length = static_cast<int>(text.size());
  const int size = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), length, wide.data(), size);
  return std::u16string(wide.begin(), wide.end());
}

void Print(std::string_view text) {
  // Straight to the handle: nothing is buffered, so a reset loses no line.
  const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  while (!text.empty()) {
    DWORD written = 0;
    const auto chunk = static_cast<DWORD>(std::min<std::size_t>(text.size(), 1u << 20));
    if (!::WriteFile(out, text.data(), chunk, &written, nullptr) || written == 0) return;
    text.remove_prefix(written);
  }
}

void OutputDebugString(std::u16string_view text) {
  ::OutputDebugStringW(win32::Wide(text).c_str());
}

TraceEvent::TraceEvent(std::string_view /*ev*/) : enabled_(false) {}
TraceEvent& TraceEvent::Str(std::string_view, std::string_view) { return *this; }
TraceEvent& TraceEvent::Str(std::string_view, std::u16string_view) { return *this; }
TraceEvent& TraceEvent::Num(std::string_view, std::int64_t) { return *this; }
TraceEvent& TraceEvent::Bool(std::string_view, bool) { return *this; }
TraceEvent& TraceEvent::Null(std::string_view) { return *this; }
void TraceEvent::Emit() {}

void* Malloc(std::size_t size) { return std::malloc(size == 0 ? 1 : size); }

void Free(void* block) { std::free(block); }

void ExitProcess(std::int32_t code) { std::exit(code); }

void EndProcessNow(std::int32_t code) { std::_Exit(code); }

}  // namespace platform
