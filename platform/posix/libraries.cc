// Device libraries are host shared objects found in the device folder.
#include <dlfcn.h>
#include <link.h>

#include <map>
#include <mutex>
#include <utility>

#include "platform/platform.h"
#include "platform/posix/host.h"

namespace platform {
namespace {

struct Loaded {
  std::u16string name;  // as passed, for the trace
  int count = 0;        // the host counts loads of one object; so do we
};

std::mutex libraryMutex;
// Kept for the whole life of the process and never destroyed: a device library or the
// keep-alive thread may still call in while the process ends.
std::map<void*, Loaded>& libraries = *new std::map<void*, Loaded>();

}  // namespace

Module LoadLibrary(std::u16string_view name) {
  const bool fault = posix::NthFault("LoadLibrary");
  std::u16string devicePath(name);
  if (name.find(u'\\') == std::u16string_view::npos) devicePath = u"\\Windows\\" + devicePath;
  const auto host = MapDevicePath(devicePath);
  void* handle = nullptr;
  if (host && !fault) {
    // A library the updater wrote itself is loaded only as that very file.  The path
    // always holds a '/', so the host never searches its own library folders.
    const posix::StartableFile library(devicePath, *host, false);
    if (!library.refused()) handle = ::dlopen(library.path().c_str(), RTLD_NOW | RTLD_LOCAL);
  }
  TraceEvent("load_library").Str("name", name).Bool("ok", handle != nullptr).Emit();
  if (handle == nullptr) return kNullModule;
  std::lock_guard<std::mutex> lock(libraryMutex);
  Loaded& loaded = libraries[handle];
  loaded.name = std::u16string(name);
  ++loaded.count;
  return Module{reinterpret_cast<std::intptr_t>(handle)};
}

Proc GetProcAddress(Module module, std::u16string_view name) {
  void* handle = reinterpret_cast<void*>(static_cast<std::intptr_t>(module));
  {
    std::lock_guard<std::mutex> lock(libraryMutex);
    if (libraries.count(handle) == 0) return nullptr;
  }
  const std::string symbol = ToUtf8(name);
  if (symbol.find('\0') != std::string::npos) return nullptr;
  void* address = ::dlsym(handle, symbol.c_str());
  if (address == nullptr) return nullptr;
  // dlsym also searches what the library depends on; the entry counts only when the
  // library itself defines it.
  Dl_info info;
  link_map* definer = nullptr;
  link_map* self = nullptr;
  if (::dladdr1(address, &info, reinterpret_cast<void**>(&definer), RTLD_DL_LINKMAP) == 0 ||
      ::dlinfo(handle, RTLD_DI_LINKMAP, &self) != 0 || definer != self) {
    return nullptr;
  }
  return reinterpret_cast<Proc>(address);
}

bool FreeLibrary(Module module) {
  void* handle = reinterpret_cast<void*>(static_cast<std::intptr_t>(module));
  std::u16string name;
  {
    std::lock_guard<std::mutex> lock(libraryMutex);
    auto it = libraries.find(handle);
    if (it == libraries.end()) return false;
    name = it->second.name;
    if (--it->second.count == 0) libraries.erase(it);
  }
  TraceEvent("free_library").Str("name", name).Emit();
  return ::dlclose(handle) == 0;
}

}  // namespace platform
