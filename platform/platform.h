// The operating-system layer of the updater.
//
// Everything above platform/ reaches the device's operating system through these free
// functions, whose names and meaning follow the device's own services (files, registry,
// libraries, events, threads, processes, message boxes, display, debug channel).  The
// host backend in platform/posix/ maps them onto a folder that stands for the device's
// file system; platform/win32/ beside it is the device's own layer on the Win32 API.  The
// build links one of them, chosen by the target system.
//
// Strings: device paths, registry names, library names, entry names and message-box
// texts are UTF-16 (char16_t).  Console text is 8-bit.
//
// Unless a function says otherwise it may be called from any thread.
#ifndef PLATFORM_PLATFORM_H_
#define PLATFORM_PLATFORM_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace platform {

// ---------------------------------------------------------------------------
// Handles and constants

// A kernel object: an open file, an event, a thread or a process.
enum class Handle : std::intptr_t {};
inline constexpr Handle kNullHandle{0};
// What CreateFile answers on failure (the device's INVALID_HANDLE_VALUE).
inline constexpr Handle kInvalidHandle{-1};

// A loaded device library.
enum class Module : std::intptr_t {};
inline constexpr Module kNullModule{0};

// A registry key.  kHkeyLocalMachine is the one predefined root the updater uses.
enum class RegKey : std::intptr_t {};
inline constexpr RegKey kNullRegKey{0};
inline constexpr RegKey kHkeyLocalMachine{static_cast<std::intptr_t>(0x80000002)};

// A display device context.
enum class Hdc : std::intptr_t {};
inline constexpr Hdc kNullHdc{0};

// Error codes of the registry functions.
inline constexpr std::int32_t kErrorSuccess = 0;
inline constexpr std::int32_t kErrorFileNotFound = 2;
inline constexpr std::int32_t kErrorMoreData = 234;

// Registry value types.
inline constexpr std::uint32_t kRegSz = 1;
inline constexpr std::uint32_t kRegExpandSz = 2;
inline constexpr std::uint32_t kRegBinary = 3;
inline constexpr std::uint32_t kRegDword = 4;
inline constexpr std::uint32_t kRegMultiSz = 7;
inline constexpr std::uint32_t kRegQword = 11;

// CreateFile access, sharing, disposition and attributes.
inline constexpr std::uint32_t kGenericRead = 0x80000000u;
inline constexpr std::uint32_t kGenericWrite = 0x40000000u;
inline constexpr std::uint32_t kFileShareRead = 0x1;
inline constexpr std::uint32_t kCreateAlways = 2;
inline constexpr std::uint32_t kOpenExisting = 3;
inline constexpr std::uint32_t kFileAttributeNormal = 0x80;

// SetFilePointer move methods and its failure value; GetFileSize's failure value.
inline constexpr std::uint32_t kFileBegin = 0;
inline constexpr std::uint32_t kFileCurrent = 1;
inline constexpr std::uint32_t kFileEnd = 2;
inline constexpr std::uint32_t kInvalidSetFilePointer = 0xFFFFFFFFu;
inline constexpr std::uint32_t kInvalidFileSize = 0xFFFFFFFFu;

// Events.
inline constexpr std::uint32_t kEventAllAccess = 0x1F0003;

// Threads: the exit code of a thread that has not ended.
inline constexpr std::uint32_t kStillActive = 259;

// Message boxes: flags the updater uses and the answers.
inline constexpr std::uint32_t kMbOk = 0x0;
inline constexpr std::uint32_t kMbYesNo = 0x4;
inline constexpr std::uint32_t kMbIconHand = 0x10;
inline constexpr std::uint32_t kMbIconQuestion = 0x20;
inline constexpr std::uint32_t kMbIconAsterisk = 0x40;
inline constexpr std::uint32_t kMbSetForeground = 0x10000;
inline constexpr std::uint32_t kMbTopmost = 0x40000;
inline constexpr std::int32_t kIdOk = 1;
inline constexpr std::int32_t kIdYes = 6;
inline constexpr std::int32_t kIdNo = 7;

// Process creation flags.
inline constexpr std::uint32_t kCreateNewConsole = 0x10;
inline constexpr std::uint32_t kInheritCallerPriority = 0x20000;

// Power status: the value of the first byte of the status record.
inline constexpr std::uint8_t kAcLineOffline = 0;
inline constexpr std::uint8_t kAcLineOnline = 1;
inline constexpr std::uint8_t kAcLineUnknown = 255;
inline constexpr std::size_t kPowerStatusSize = 56;

// ---------------------------------------------------------------------------
// Text

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string ToUtf8(std::u16string_view text);
// UTF-8 to UTF-16; an invalid byte becomes U+FFFD.
std::u16string ToUtf16(std::string_view text);
// The length of a zero-terminated UTF-16 string, counting at most `limit` units: a
// buffer without a terminator answers `limit`.
std::size_t BoundedLength(const char16_t* text, std::size_t limit);

// ---------------------------------------------------------------------------
// Console and debug channel

// Writes 8-bit text to the console at once (no buffering).
void Print(std::string_view text);
// printf for the console: understands %s (8-bit text), %S (UTF-16 text, a const char16_t*,
// written as UTF-8), %d (int), %u (unsigned) and %%.  Written at once.
void Printf(const char* format, ...);
// Writes one string to the debug channel as it is ("\r\n" included) and records it in
// the trace.
void OutputDebugString(std::u16string_view text);

// ---------------------------------------------------------------------------
// Registry (read-only)

// Opens `subKey` below `root`.  Returns kErrorSuccess and the key in *result, or
// kErrorFileNotFound (with *result = kNullRegKey) when the key does not exist.  `options`
// and `access` are accepted and ignored, as on the device.
std::int32_t RegOpenKeyEx(RegKey root, std::u16string_view subKey, std::uint32_t options,
                          std::uint32_t access, RegKey* result);
// Reads value `name` ("" for the default value) of an open key.  On entry *size is the
// room offered in `data` (at most data.size() counts); on return it is the size of the
// value in bytes.  Returns kErrorSuccess with the bytes copied; kErrorMoreData when the
// room is smaller than the value (nothing copied); kErrorFileNotFound when the value is
// missing.  `type`, when not null, receives the value's registry type on success.
std::int32_t RegQueryValueEx(RegKey key, std::u16string_view name, std::uint32_t* type,
                             std::span<std::uint8_t> data, std::uint32_t* size);
std::int32_t RegCloseKey(RegKey key);

// ---------------------------------------------------------------------------
// Files

// Opens or creates a device file.  `access` is kGenericRead and/or kGenericWrite;
// `disposition` is kOpenExisting (fails on a missing file) or kCreateAlways (creates or
// truncates).  Returns the handle, or kInvalidHandle on failure.
Handle CreateFile(std::u16string_view path, std::uint32_t access, std::uint32_t share,
                  std::uint32_t disposition, std::uint32_t flags);
// Reads up to buffer.size() bytes at the file position.  Returns true with *read set (0
// at or past the end of the file); false on failure, with *read = 0.
bool ReadFile(Handle file, std::span<std::uint8_t> buffer, std::uint32_t* read);
// Writes the bytes at the file position.  Returns true with *written set (which may be
// fewer than asked for); false on failure with *written = 0.
bool WriteFile(Handle file, std::span<const std::uint8_t> bytes, std::uint32_t* written);
// Moves the file position.  Without `distanceHigh` the distance is a signed 32-bit
// value.  Returns the new position (low 32 bits), or kInvalidSetFilePointer when the
// position would fall below 0 or the handle is not a file.  A position past the end is
// allowed.
std::uint32_t SetFilePointer(Handle file, std::int32_t distance, std::int32_t* distanceHigh,
                             std::uint32_t method);
// The file's size (low 32 bits; the high part in *high when given), or kInvalidFileSize.
std::uint32_t GetFileSize(Handle file, std::uint32_t* high);
// Closes a file, event, thread or process handle.  False for an unknown handle.
bool CloseHandle(Handle handle);

// ---------------------------------------------------------------------------
// Device libraries

// Loads a device library.  A name without a backslash is looked up in "\Windows\".
// Returns kNullModule when the library cannot be loaded.
Module LoadLibrary(std::u16string_view name);
// An entry of that very library (never one of a library it depends on), or null.
using Proc = void (*)();
Proc GetProcAddress(Module module, std::u16string_view name);
bool FreeLibrary(Module module);

// ---------------------------------------------------------------------------
// Message boxes

// Shows a box without owner window.  Returns the button chosen (kIdOk, kIdYes, kIdNo),
// or 0 when the box could not be shown.
std::int32_t MessageBox(std::u16string_view text, std::u16string_view caption,
                        std::uint32_t flags);

// ---------------------------------------------------------------------------
// Time and power

void Sleep(std::uint32_t milliseconds);
// Fills the power status record; its first byte is the AC line status.  Returns the
// number of bytes filled, 0 on failure.
std::uint32_t GetSystemPowerStatusEx2(std::span<std::uint8_t, kPowerStatusSize> status,
                                      bool update);

// ---------------------------------------------------------------------------
// Named events

// Creates a named event, or opens it when it exists already.  kNullHandle on failure.
Handle CreateEvent(bool manualReset, bool initialState, std::u16string_view name);
// Opens an existing named event; never creates one.  kNullHandle when it does not exist.
Handle OpenEvent(std::uint32_t access, bool inherit, std::u16string_view name);
bool SetEvent(Handle event);

// ---------------------------------------------------------------------------
// Processes and threads

struct ProcessInformation {
  Handle process = kNullHandle;
  Handle thread = kNullHandle;
  std::uint32_t processId = 0;
  std::uint32_t threadId = 0;
};
// Starts the program at device path `application` with the same environment; with a
// null `commandLine` it gets no arguments.  Does not wait for it.  False on failure.
bool CreateProcess(std::u16string_view application, const char16_t* commandLine,
                   std::uint32_t creationFlags, ProcessInformation* information);

// True when the device file at `path` is the program that runs in this process (the file
// the device's loader started it from), false otherwise or when the path is refused.
bool IsRunningProgram(std::u16string_view path);

using ThreadProc = std::uint32_t (*)(void* parameter);
// Starts a thread running entry(parameter).  kNullHandle on failure.
Handle CreateThread(std::uint32_t stackSize, ThreadProc entry, void* parameter,
                    std::uint32_t creationFlags);
// The thread's exit code, or kStillActive while it runs.  False for an unknown handle.
bool GetExitCodeThread(Handle thread, std::uint32_t* exitCode);

// ---------------------------------------------------------------------------
// Display

// The screen's device context (there is no window).
Hdc GetDC();
// A driver escape.  The host stand-in has no display driver and answers 0.
std::int32_t ExtEscape(Hdc dc, std::int32_t escape, std::int32_t inputSize, const void* input,
                       std::int32_t outputSize, void* output);
std::int32_t ReleaseDC(Hdc dc);

// ---------------------------------------------------------------------------
// Memory

// malloc and free of the updater.  Malloc answers null when memory is short.
void* Malloc(std::size_t size);
void Free(void* block);

struct FreeDeleter {
  void operator()(void* block) const { Free(block); }
};
// A block from Malloc that goes back with Free on every road.
using Block = std::unique_ptr<std::uint8_t[], FreeDeleter>;
inline Block AllocateBlock(std::size_t size) {
  return Block(static_cast<std::uint8_t*>(Malloc(size)));
}

// A device file opened for reading (shared reading, existing files only) and closed again
// when it goes out of scope, so that every road closes what it opened.
class ScopedFile {
 public:
  explicit ScopedFile(std::u16string_view path)
      : handle_(CreateFile(path, kGenericRead, kFileShareRead, kOpenExisting,
                           kFileAttributeNormal)) {}
  ~ScopedFile() {
    if (IsOpen()) CloseHandle(handle_);
  }
  ScopedFile(const ScopedFile&) = delete;
  ScopedFile& operator=(const ScopedFile&) = delete;

  bool IsOpen() const { return handle_ != kInvalidHandle; }
  Handle handle() const { return handle_; }

 private:
  Handle handle_;
};

// Makes the device file at `path` a new regular file that holds `bytes`, written in one
// write, for the updater to start or load.  Whatever stood there (a file, a link, the
// same name in another case) is replaced, never written through: the bytes go to a fresh
// file beside it, created exclusively, which then takes the name.  A later CreateProcess
// or LoadLibrary of `path` starts or loads exactly that file, or fails.  False when the
// file cannot be made (`path` is then as it was) or takes fewer bytes (the short file
// then stands at `path`, as a short write leaves it on the device).  To the trace and to
// the faults it is a CreateFile (write), a WriteFile and a CloseHandle of `path`.
bool WriteNewFile(std::u16string_view path, std::span<const std::uint8_t> bytes);

// ---------------------------------------------------------------------------
// Program entry and end

// The command line the main procedure receives: the arguments after the program name,
// joined by single spaces, as UTF-16.
std::u16string CommandLineFromArguments(int argc, char** argv);
// Records the end of the main procedure with `code` and ends the process with it.
[[noreturn]] void ExitProcess(std::int32_t code);
// Ends the process at once with `code`, as a reset ends everything on the device: no
// exit handlers, no clean-up.  For a device library; a trace line that another thread
// is writing at that moment is finished first, so the trace never ends in half a line.
[[noreturn]] void EndProcessNow(std::int32_t code);

// ---------------------------------------------------------------------------
// The host stand-in itself
//
// The Win32 layer has no knobs and no trace: there a device path is its own host path,
// the device root is "\" (the root of the current drive) and TraceEvent writes nothing.

// Reads the host knobs (device root, trace, faults, answers, time scale, power) from the
// environment again and forgets the cached registry.  They are read on first use anyway;
// this is for a process that changes its environment, such as a test.
void Reconfigure();
// The host path that a device path names, or nothing when the path is refused (it would
// reach outside the device root).  Names are matched case-insensitively against what
// exists; parts that do not exist keep the case given.
std::optional<std::string> MapDevicePath(std::u16string_view devicePath);
// The host folder that stands for the device root "\".
std::string DeviceRoot();

// One line of the trace, built field by field and written by Emit() with a single
// appending write.  "ev" and "pid" come first.  Does nothing while no trace is set.
class TraceEvent {
 public:
  explicit TraceEvent(std::string_view ev);
  TraceEvent& Str(std::string_view key, std::string_view value);
  TraceEvent& Str(std::string_view key, std::u16string_view value);
  TraceEvent& Num(std::string_view key, std::int64_t value);
  TraceEvent& Bool(std::string_view key, bool value);
  TraceEvent& Null(std::string_view key);
  void Emit();

 private:
  std::string line_;
  bool enabled_;
};

}  // namespace platform

#endif  // PLATFORM_PLATFORM_H_
