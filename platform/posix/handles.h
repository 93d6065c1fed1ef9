// Internal to the host backend: the one table of kernel objects (files, events,
// threads, processes) behind the small integers that Handle values are.
#ifndef PLATFORM_POSIX_HANDLES_H_
#define PLATFORM_POSIX_HANDLES_H_

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>

#include "platform/platform.h"

namespace platform::posix {

// What a running thread shares with its handle: written by the thread when its entry
// returns, read by GetExitCodeThread.
struct ThreadState {
  std::atomic<bool> done{false};
  std::atomic<std::uint32_t> exitCode{0};
};

enum class ObjectKind { kFile, kEvent, kThread, kProcess };

struct Object {
  ObjectKind kind = ObjectKind::kFile;
  int fd = -1;
  std::u16string path;        // a file's device path as passed
  std::u16string normalPath;  // ... and normalised, for the faults
  std::u16string eventName;
  std::shared_ptr<ThreadState> thread;
  std::uint64_t threadId = 0;  // a pthread_t
  pid_t pid = 0;
};

// Adds an object and answers its handle.
Handle AddObject(Object object);
// A copy of the object behind `handle`, or false when there is none.
bool FindObject(Handle handle, Object* object);
// Removes the object and hands it back; false when there is none.
bool TakeObject(Handle handle, Object* object);

// The fault change:PATH@OFFSET on bytes a read of the file at normalised `path` has just
// delivered from `start`: once an earlier read reached the end of the file (`size`
// bytes), the byte at OFFSET is handed on with every bit turned over.
struct Config;
void ChangeAfterTheEnd(Config& config, const std::u16string& path, std::uint64_t start,
                       std::span<std::uint8_t> delivered, std::uint64_t size);

// Hooks of CloseHandle for the kinds whose files own them.
void CloseEvent(const Object& object);
void CloseThread(const Object& object);
void CloseProcess(const Object& object);

}  // namespace platform::posix

#endif  // PLATFORM_POSIX_HANDLES_H_
