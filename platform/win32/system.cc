// Message boxes, time, power, named events, processes, threads and the display on the
// Win32 API.
#include <algorithm>
#include <memory>
#include <vector>

#include "platform/win32/win32.h"

namespace platform {
namespace {

struct ThreadStart {
  ThreadProc entry;
  void* parameter;
};

DWORD WINAPI RunThread(void* start) {
  const std::unique_ptr<ThreadStart> owned(static_cast<ThreadStart*>(start));
  return owned->entry(owned->parameter);
}

// The volume and index that identify a file whatever path names it.
bool FileIdentity(const std::wstring& path, BY_HANDLE_FILE_INFORMATION* info) {
  const HANDLE file =
      ::CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool ok = ::GetFileInformationByHandle(file, info);
  ::CloseHandle(file);
  return ok;
}

}  // namespace

std::int32_t MessageBox(std::u16string_view text, std::u16string_view caption,
                        std::uint32_t flags) {
  return ::MessageBoxW(nullptr, win32::Wide(text).c_str(), win32::Wide(caption).c_str(), flags);
}

void Sleep(std::uint32_t milliseconds) { ::Sleep(milliseconds); }

std::uint32_t GetSystemPowerStatusEx2(std::span<std::uint8_t, kPowerStatusSize> status,
                                      bool /*update*/) {
  // The device's extended call does not exist on the desktop; the plain one tells the AC
  // line status, the only part of the record the updater reads.
  SYSTEM_POWER_STATUS power{};
  if (!::GetSystemPowerStatus(&power)) return 0;
  std::fill(status.begin(), status.end(), std::uint8_t{0});
  status[0] = power.ACLineStatus;
  return kPowerStatusSize;
}

Handle CreateEvent(bool manualReset, bool initialState, std::u16string_view name) {
  return win32::FromNative(
      ::CreateEventW(nullptr, manualReset, initialState, win32::Wide(name).c_str()));
}

Handle OpenEvent(std::uint32_t access, bool inherit, std::u16string_view name) {
  return win32::FromNative(::OpenEventW(access, inherit, win32::Wide(name).c_str()));
}

bool SetEvent(Handle event) { return ::SetEvent(win32::Native(event)); }

bool CreateProcess(std::u16string_view application, const char16_t* commandLine,
                   std::uint32_t creationFlags, ProcessInformation* information) {
  // CreateProcessW may write into the command line, so it gets a copy.
  std::vector<wchar_t> line;
  if (commandLine) {
    const std::u16string_view text(commandLine);
    line.assign(text.begin(), text.end());
    line.push_back(L'\0');
  }
  // The device shows a new console on its one screen.  On a desktop a new console is a
  // window of its own, which nobody reads and which takes the keyboard from the program's
  // message boxes: the started program shares the caller's console instead and writes to
  // the caller's standard streams, where the caller's lines went.  Only the standard
  // handles are made inheritable.
  creationFlags &= ~static_cast<std::uint32_t>(CREATE_NEW_CONSOLE);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
  for (HANDLE stream : {startup.hStdInput, startup.hStdOutput, startup.hStdError}) {
    if (stream != nullptr && stream != INVALID_HANDLE_VALUE) {
      ::SetHandleInformation(stream, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    }
  }
  PROCESS_INFORMATION started{};
  if (!::CreateProcessW(win32::Wide(application).c_str(), commandLine ? line.data() : nullptr,
                        nullptr, nullptr, TRUE, creationFlags, nullptr, nullptr, &startup,
                        &started)) {
    return false;
  }
  information->process = win32::FromNative(started.hProcess);
  information->thread = win32::FromNative(started.hThread);
  information->processId = started.dwProcessId;
  information->threadId = started.dwThreadId;
  return true;
}

bool IsRunningProgram(std::u16string_view path) {
  std::wstring self(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        ::GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
    if (length == 0) return false;
    if (length < self.size()) {
      self.resize(length);
      break;
    }
    self.resize(self.size() * 2);
  }
  BY_HANDLE_FILE_INFORMATION mine{};
  BY_HANDLE_FILE_INFORMATION other{};
  return FileIdentity(self, &mine) && FileIdentity(win32::Wide(path), &other) &&
         mine.dwVolumeSerialNumber == other.dwVolumeSerialNumber &&
         mine.nFileIndexHigh == other.nFileIndexHigh && mine.nFileIndexLow == other.nFileIndexLow;
}

Handle CreateThread(std::uint32_t stackSize, ThreadProc entry, void* parameter,
                    std::uint32_t creationFlags) {
  auto start = std::make_unique<ThreadStart>(ThreadStart{entry, parameter});
  const HANDLE thread =
      ::CreateThread(nullptr, stackSize, RunThread, start.get(), creationFlags, nullptr);
  if (thread == nullptr) return kNullHandle;
  start.release();  // the thread owns it now
  return win32::FromNative(thread);
}

bool GetExitCodeThread(Handle thread, std::uint32_t* exitCode) {
  DWORD code = 0;
  if (!::GetExitCodeThread(win32::Native(thread), &code)) return false;
  *exitCode = code;
  return true;
}

Hdc GetDC() { return Hdc{reinterpret_cast<std::intptr_t>(::GetDC(nullptr))}; }

std::int32_t ExtEscape(Hdc dc, std::int32_t escape, std::int32_t inputSize, const void* input,
                       std::int32_t outputSize, void* output) {
  return ::ExtEscape(reinterpret_cast<HDC>(static_cast<std::intptr_t>(dc)), escape, inputSize,
                     static_cast<LPCSTR>(input), outputSize, static_cast<LPSTR>(output));
}

std::int32_t ReleaseDC(Hdc dc) {
  return ::ReleaseDC(nullptr, reinterpret_cast<HDC>(static_cast<std::intptr_t>(dc)));
}

}  // namespace platform
