// The device registry: <root>/registry.reg, read once and kept until Reconfigure.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/host.h"
#include "platform/posix/registry_file.h"

namespace platform {
namespace posix {
namespace {

// What a registry call answers when a fault of VXU_FAULTS fails it: ERROR_REGISTRY_IO_FAILED,
// a failure of the registry itself, never the "not found" of a key or value that is absent.
constexpr std::int32_t kFaultResult = 1016;

struct OpenKey {
  std::shared_ptr<const Registry> registry;  // an open key keeps the registry it saw
  std::u16string path;
};

std::mutex registryMutex;
// Kept for the whole life of the process and never destroyed: a device library or the
// keep-alive thread may still call in while the process ends.
// The registry read so far: null when not read yet, or when there is no file.
std::shared_ptr<const Registry>& cached = *new std::shared_ptr<const Registry>();
std::map<std::intptr_t, OpenKey>& openKeys = *new std::map<std::intptr_t, OpenKey>();
std::intptr_t nextKey = 1;

bool ReadWholeFile(const std::string& path, std::vector<std::uint8_t>* bytes) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::uint8_t chunk[4096];
  for (;;) {
    const ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      ::close(fd);
      return got == 0;
    }
    bytes->insert(bytes->end(), chunk, chunk + got);
  }
}

// The registry, read from the device folder when first needed; null when there is no
// file (every key is then missing).
std::shared_ptr<const Registry> LoadRegistry() {
  {
    std::lock_guard<std::mutex> lock(registryMutex);
    if (cached) return cached;
  }
  const auto path = MapDevicePath(u"\\registry.reg");
  std::vector<std::uint8_t> bytes;
  if (!path || !ReadWholeFile(*path, &bytes)) return nullptr;
  ParsedRegistry parsed = ParseRegistryFile(bytes);
  if (parsed.badHeader) {
    Debug("skipped line 1 of " + *path +
          ": not REGEDIT4 or \"Windows Registry Editor Version 5.00\"; the rest is read");
  }
  for (const auto& line : parsed.skipped) {
    Debug("skipped line " + std::to_string(line.line) + " of " + *path + ": " + line.reason);
  }
  auto registry = std::make_shared<const Registry>(std::move(parsed.keys));
  std::lock_guard<std::mutex> lock(registryMutex);
  if (!cached) cached = registry;
  return cached;
}

// "a\\b\" -> "a\b", ASCII in lower case.
std::u16string KeyPathOf(std::u16string_view subKey) {
  const std::u16string normal = NormalizeDevicePath(subKey);
  return normal == u"\\" ? std::u16string() : normal.substr(1);
}

}  // namespace

void ForgetRegistry() {
  std::lock_guard<std::mutex> lock(registryMutex);
  cached.reset();
}

}  // namespace posix

std::int32_t RegOpenKeyEx(RegKey root, std::u16string_view subKey, std::uint32_t /*options*/,
                          std::uint32_t /*access*/, RegKey* result) {
  const bool fault = posix::NthFault("RegOpenKeyEx");
  if (result != nullptr) *result = kNullRegKey;
  std::shared_ptr<const posix::Registry> registry;
  std::u16string base;
  if (root == kHkeyLocalMachine) {
    registry = posix::LoadRegistry();
  } else {
    std::lock_guard<std::mutex> lock(posix::registryMutex);
    auto it = posix::openKeys.find(static_cast<std::intptr_t>(root));
    if (it != posix::openKeys.end()) {
      registry = it->second.registry;
      base = it->second.path;
    }
  }
  std::u16string path = posix::KeyPathOf(subKey);
  if (!base.empty()) path = path.empty() ? base : base + u"\\" + path;
  const bool found = !fault && registry && result != nullptr && registry->count(path) != 0;
  TraceEvent("reg_open").Str("key", subKey).Bool("ok", found).Emit();
  if (fault) return posix::kFaultResult;
  if (!found) return kErrorFileNotFound;
  std::lock_guard<std::mutex> lock(posix::registryMutex);
  const std::intptr_t key = posix::nextKey++;
  posix::openKeys.emplace(key, posix::OpenKey{registry, path});
  *result = RegKey{key};
  return kErrorSuccess;
}

std::int32_t RegQueryValueEx(RegKey key, std::u16string_view name, std::uint32_t* type,
                             std::span<std::uint8_t> data, std::uint32_t* size) {
  if (posix::NthFault("RegQueryValueEx")) {
    TraceEvent("reg_query")
        .Str("name", name)
        .Num("result", posix::kFaultResult)
        .Num("size", 0)
        .Emit();
    return posix::kFaultResult;
  }
  const posix::RegistryValue* value = nullptr;
  std::shared_ptr<const posix::Registry> registry;
  {
    std::lock_guard<std::mutex> lock(posix::registryMutex);
    auto it = posix::openKeys.find(static_cast<std::intptr_t>(key));
    if (it != posix::openKeys.end()) {
      registry = it->second.registry;
      const auto& values = registry->at(it->second.path).values;
      auto found = values.find(posix::FoldAscii(name));
      if (found != values.end()) value = &found->second;
    }
  }
  std::int32_t result = kErrorFileNotFound;
  std::uint32_t needed = 0;
  if (value != nullptr) {
    needed = static_cast<std::uint32_t>(value->data.size());
    // The room is what the caller says it offers, but never more than the buffer has.
    const std::size_t room = size == nullptr ? 0 : std::min<std::size_t>(*size, data.size());
    if (value->data.size() > room) {
      result = kErrorMoreData;
    } else {
      std::copy(value->data.begin(), value->data.end(), data.begin());
      result = kErrorSuccess;
      if (type != nullptr) *type = value->type;
    }
    if (size != nullptr) *size = needed;
  }
  TraceEvent("reg_query").Str("name", name).Num("result", result).Num("size", needed).Emit();
  return result;
}

std::int32_t RegCloseKey(RegKey key) {
  std::lock_guard<std::mutex> lock(posix::registryMutex);
  return posix::openKeys.erase(static_cast<std::intptr_t>(key)) != 0 ? kErrorSuccess
                                                                     : kErrorFileNotFound;
}

}  // namespace platform
