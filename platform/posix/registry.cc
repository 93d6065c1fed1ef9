// The device registry: <root>/registry.reg, read once and kept until Reconfigure.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/host.h"
#include "platform/posix/registry_file.h"

namespace platform {
namespace posix {
namespace {

// What a registry call answers when a fault of VXU_FAULTS fails it, or when the registry
// file cannot be read there: ERROR_REGISTRY_IO_FAILED, a failure of the registry itself,
// never the "not found" of a key or value that is absent.
constexpr std::int32_t kFaultResult = 1016;

// The registry as the device folder holds it.  `unreadable` when registry.reg exists but
// cannot be read or is no registry file: every key then fails to open with kFaultResult,
// since a key that cannot be looked up is not known to be absent.
struct DeviceRegistry {
  Registry keys;
  bool unreadable = false;
};

struct OpenKey {
  std::shared_ptr<const DeviceRegistry> registry;  // an open key keeps the registry it saw
  std::u16string path;
};

std::mutex registryMutex;
// Kept for the whole life of the process and never destroyed: a device library or the
// keep-alive thread may still call in while the process ends.
// The registry read so far: null when not read yet, or when there is no file.
std::shared_ptr<const DeviceRegistry>& cached = *new std::shared_ptr<const DeviceRegistry>();
std::map<std::intptr_t, OpenKey>& openKeys = *new std::map<std::intptr_t, OpenKey>();
std::intptr_t nextKey = 1;

// More than any registry export holds; a bigger file is taken for a broken one.
constexpr off_t kMaxRegistrySize = 64 << 20;

// The whole file; nothing, with errno's value in *error, when it cannot be read.  Only
// a regular file is read: a pipe or a device in its place would block or never end.
std::optional<std::vector<std::uint8_t>> ReadWholeFile(const std::string& path, int* error) {
  std::vector<std::uint8_t> bytes;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    *error = errno;
    return std::nullopt;
  }
  struct stat info;
  const bool stated = ::fstat(fd, &info) == 0;
  if (!stated || !S_ISREG(info.st_mode) || info.st_size > kMaxRegistrySize) {
    *error = !stated ? errno : S_ISDIR(info.st_mode) ? EISDIR : S_ISREG(info.st_mode) ? EFBIG : EINVAL;
    ::close(fd);
    return std::nullopt;
  }
  std::uint8_t chunk[4096];
  for (;;) {
    const ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) *error = errno;
    if (got <= 0) {
      ::close(fd);
      if (got < 0) return std::nullopt;
      return bytes;
    }
    bytes.insert(bytes.end(), chunk, chunk + got);
  }
}

// The registry, read from the device folder when first needed; null when there is no
// file (every key is then missing).
std::shared_ptr<const DeviceRegistry> LoadRegistry() {
  {
    std::lock_guard<std::mutex> lock(registryMutex);
    if (cached) return cached;
  }
  const auto path = MapDevicePath(u"\\registry.reg");
  if (!path) return nullptr;
  int error = 0;
  const auto bytes = ReadWholeFile(*path, &error);
  // Only a name that holds nothing at all is no registry; a link to nowhere is one that
  // cannot be read.
  struct stat entry;
  if (!bytes && (error == ENOENT || error == ENOTDIR) && ::lstat(path->c_str(), &entry) != 0) {
    return nullptr;
  }
  auto registry = std::make_shared<DeviceRegistry>();
  if (!bytes) {
    Debug(*path + " cannot be read (" + std::strerror(error) + "); every key fails to open");
    registry->unreadable = true;
  } else {
    ParsedRegistry parsed = ParseRegistryFile(*bytes);
    // A file that is no registry is one failure, not a failure on each of its lines.
    if (parsed.badHeader) {
      Debug("line 1 of " + *path +
            ": not REGEDIT4 or \"Windows Registry Editor Version 5.00\"; every key fails to open");
      parsed.skipped.clear();
    }
    for (const auto& line : parsed.skipped) {
      Debug("skipped line " + std::to_string(line.line) + " of " + *path + ": " + line.reason);
    }
    registry->keys = std::move(parsed.keys);
    registry->unreadable = parsed.badHeader || parsed.broken;
  }
  std::lock_guard<std::mutex> lock(registryMutex);
  if (!cached) cached = std::move(registry);
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
  std::shared_ptr<const posix::DeviceRegistry> registry;
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
  const posix::RegistryKey* key = nullptr;
  if (registry) {
    const auto it = registry->keys.find(path);
    if (it != registry->keys.end()) key = &it->second;
  }
  const bool unreadable = registry && registry->unreadable;
  const bool found = !fault && !unreadable && key != nullptr && result != nullptr;
  TraceEvent("reg_open").Str("key", subKey).Bool("ok", found).Emit();
  if (fault || unreadable) return posix::kFaultResult;
  if (!found) return kErrorFileNotFound;
  std::lock_guard<std::mutex> lock(posix::registryMutex);
  const std::intptr_t handle = posix::nextKey++;
  posix::openKeys.emplace(handle, posix::OpenKey{registry, path});
  *result = RegKey{handle};
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
  std::shared_ptr<const posix::DeviceRegistry> registry;
  {
    std::lock_guard<std::mutex> lock(posix::registryMutex);
    auto it = posix::openKeys.find(static_cast<std::intptr_t>(key));
    if (it != posix::openKeys.end()) {
      registry = it->second.registry;
      const auto& values = registry->keys.at(it->second.path).values;
      auto found = values.find(posix::FoldAscii(name));
      if (found != values.end()) value = &found->second;
    }
  }
  std::int32_t result = kErrorFileNotFound;
  std::uint32_t needed = 0;
  if (value != nullptr && value->unreadable) {
    result = posix::kFaultResult;
  } else if (value != nullptr) {
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
