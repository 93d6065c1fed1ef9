// Files of the device folder with the device's meaning, and the table of handles.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <utility>

#include "platform/platform.h"
#include "platform/posix/handles.h"
#include "platform/posix/host.h"

namespace platform {
namespace posix {
namespace {

std::mutex tableMutex;
// Kept for the whole life of the process and never destroyed: a device library or the
// keep-alive thread may still call in while the process ends.
std::map<std::intptr_t, Object>& objects = *new std::map<std::intptr_t, Object>();
// Handles are never reused, so that a stale handle cannot reach a newer object.
std::intptr_t nextHandle = 1;

bool MatchesFault(const std::vector<FileFault>& faults, const std::u16string& path) {
  return std::any_of(faults.begin(), faults.end(),
                     [&](const FileFault& fault) { return fault.path == path; });
}

bool IsRegularFile(int fd) {
  struct stat info;
  return ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}

// The host path for a file created with the name given: the folder as found on the
// host, the last name as the caller spelt it.
std::string GivenCase(const std::string& mapped, std::u16string_view devicePath) {
  const std::size_t slash = mapped.rfind('/');
  std::u16string_view last = devicePath;
  const std::size_t backslash = last.rfind(u'\\');
  if (backslash != std::u16string_view::npos) last = last.substr(backslash + 1);
  return mapped.substr(0, slash + 1) + ToUtf8(last);
}

int OpenFile(std::u16string_view path, std::uint32_t access, std::uint32_t disposition) {
  const auto mapped = MapDevicePath(path);
  if (!mapped) return -1;
  const bool reads = (access & kGenericRead) != 0;
  const bool writes = (access & kGenericWrite) != 0;
  int flags = O_CLOEXEC | (writes ? (reads ? O_RDWR : O_WRONLY) : O_RDONLY);
  std::string host = *mapped;
  switch (disposition) {
    case kOpenExisting:
      break;
    case kCreateAlways: {
      flags |= O_CREAT | O_TRUNC;
      // A name that exists in another case is that file: it is replaced, and takes the
      // case the caller gave, as the device's file system does.
      const std::string given = GivenCase(host, path);
      struct stat info;
      if (given != host && ::lstat(host.c_str(), &info) == 0) {
        if (::stat(host.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return -1;
        if (::rename(host.c_str(), given.c_str()) != 0) return -1;
      }
      host = given;
      break;
    }
    case 1:  // create new
      flags |= O_CREAT | O_EXCL;
      break;
    case 4:  // open always
      flags |= O_CREAT;
      break;
    case 5:  // truncate existing
      flags |= O_TRUNC;
      break;
    default:
      return -1;
  }
  // A folder or a device node is not a file of the device; checking before opening keeps
  // O_TRUNC away from anything else.
  struct stat info;
  if (::stat(host.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) return -1;
  int fd;
  do {
    fd = ::open(host.c_str(), flags, 0644);
  } while (fd < 0 && errno == EINTR);
  if (fd >= 0 && !IsRegularFile(fd)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool FileOf(Handle handle, Object* object) {
  return FindObject(handle, object) && object->kind == ObjectKind::kFile;
}

// Writes `bytes` at the file's position, stopping short where a write fault of the
// file at normalised `path` strikes; *written holds the count.  False when nothing
// could be written at all.
bool WriteCounted(int fd, const std::u16string& path, std::span<const std::uint8_t> bytes,
                  std::uint32_t* written) {
  const off_t position = ::lseek(fd, 0, SEEK_CUR);
  if (position < 0) return false;
  std::size_t count = std::min<std::size_t>(bytes.size(), UINT32_MAX);
  const auto start = static_cast<std::uint64_t>(position);
  for (const auto& fault : CurrentConfig()->writeFaults) {
    if (fault.path != path) continue;
    // The write stops short of the byte at the offset, as a full medium would.
    count = fault.offset <= start ? 0 : std::min<std::uint64_t>(count, fault.offset - start);
  }
  std::size_t done = 0;
  while (done < count) {
    const ssize_t put = ::write(fd, bytes.data() + done, count - done);
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) {
      if (done == 0) return false;
      break;
    }
    done += static_cast<std::size_t>(put);
  }
  if (written != nullptr) *written = static_cast<std::uint32_t>(done);
  return true;
}

// The files WriteNewFile made, by normalised device path: what each must still be when
// it is started or loaded.  The times of the last change tell a file written over in
// place from the one written.
struct FileId {
  dev_t device;
  ino_t inode;
  off_t size;
  timespec modified, changed;

  static FileId Of(const struct stat& info) {
    return FileId{info.st_dev, info.st_ino, info.st_size, info.st_mtim, info.st_ctim};
  }
  bool operator==(const FileId& other) const {
    auto same = [](const timespec& a, const timespec& b) {
      return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
    };
    return device == other.device && inode == other.inode && size == other.size &&
           same(modified, other.modified) && same(changed, other.changed);
  }
};
std::mutex writtenMutex;
std::map<std::u16string, FileId>& writtenFiles = *new std::map<std::u16string, FileId>();

// The other entries of `folder` that name `name` ignoring ASCII case.
std::vector<std::string> OtherCases(const std::string& folder, const std::string& name) {
  std::vector<std::string> others;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return others;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view candidate = entry->d_name;
    if (candidate != name && EqualsIgnoringAsciiCase(candidate, name)) others.emplace_back(candidate);
  }
  ::closedir(dir);
  return others;
}

bool IsFolder(const std::string& host) {
  struct stat info;
  return ::lstat(host.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// A new regular file that will replace the entry at a device path: created under a
// fresh name beside it, exclusively and without following a link, then renamed over the
// target by Commit.  Whatever stood at the target (a file, a link placed there, the same
// name in another case) is replaced, never written through; until Commit, and when it
// fails, the target is as it was and the new file is removed again.
class Replacement {
 public:
  explicit Replacement(std::u16string_view path) {
    const auto mapped = MapDevicePath(path);
    if (!mapped) return;
    target_ = GivenCase(*mapped, path);
    const std::size_t slash = target_.rfind('/');
    folder_ = target_.substr(0, slash);
    name_ = target_.substr(slash + 1);
    // A folder under the name, in any case, is not a file of the device.
    if (IsFolder(target_)) return;
    for (const auto& other : OtherCases(folder_, name_)) {
      if (IsFolder(folder_ + "/" + other)) return;
    }
    static std::atomic<unsigned> serial{0};
    for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
      temporary_ = folder_ + "/." + name_ + "." + std::to_string(::getpid()) + "-" +
                   std::to_string(serial++) + ".new";
      do {
        fd_ = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
      } while (fd_ < 0 && errno == EINTR);
      if (fd_ < 0 && errno != EEXIST) break;
    }
  }
  ~Replacement() {
    if (fd_ >= 0) ::close(fd_);
    if (!committed_ && fd_ >= 0) ::unlink(temporary_.c_str());
  }
  Replacement(const Replacement&) = delete;
  Replacement& operator=(const Replacement&) = delete;

  int fd() const { return fd_; }

  // Renames the new file over the target and records it for StartableFile; false when
  // it cannot take the target's place.
  bool Commit(const std::u16string& normalPath) {
    if (fd_ < 0) return false;
    // The device's file system holds one file per name whatever its case: the same name
    // in another case is that file, and goes.
    for (const auto& other : OtherCases(folder_, name_)) {
      if (::unlink((folder_ + "/" + other).c_str()) != 0) return false;
    }
    if (::rename(temporary_.c_str(), target_.c_str()) != 0) return false;
    committed_ = true;
    // Taken after the rename, which changes the file's change time.
    struct stat info;
    if (::fstat(fd_, &info) != 0) return false;
    std::lock_guard<std::mutex> lock(writtenMutex);
    writtenFiles[normalPath] = FileId::Of(info);
    return true;
  }

 private:
  std::string target_, folder_, name_, temporary_;
  int fd_ = -1;
  bool committed_ = false;
};

}  // namespace

StartableFile::StartableFile(std::u16string_view devicePath, const std::string& host,
                             bool inherited)
    : path_(host) {
  FileId written{};
  {
    std::lock_guard<std::mutex> lock(writtenMutex);
    const auto it = writtenFiles.find(NormalizeDevicePath(devicePath));
    if (it == writtenFiles.end()) return;
    written = it->second;
  }
  // Opened without following a link, and only when it is still the very file written.
  const int flags = O_RDONLY | O_NOFOLLOW | (inherited ? 0 : O_CLOEXEC);
  do {
    fd_ = ::open(host.c_str(), flags);
  } while (fd_ < 0 && errno == EINTR);
  struct stat info;
  if (fd_ < 0 || ::fstat(fd_, &info) != 0 || !(FileId::Of(info) == written)) {
    refused_ = true;
    return;
  }
  path_ = "/proc/self/fd/" + std::to_string(fd_);
}

StartableFile::~StartableFile() {
  if (fd_ >= 0) ::close(fd_);
}

void ChangeAfterTheEnd(Config& config, const std::u16string& path, std::uint64_t start,
                       std::span<std::uint8_t> delivered, std::uint64_t size) {
  if (!MatchesFault(config.changeFaults, path)) return;
  std::lock_guard<std::mutex> lock(config.endsMutex);
  if (config.readToTheEnd.count(path) != 0) {
    for (const auto& fault : config.changeFaults) {
      if (fault.path == path && fault.offset >= start && fault.offset - start < delivered.size()) {
        delivered[fault.offset - start] ^= 0xFF;
      }
    }
  }
  if (start + delivered.size() >= size) config.readToTheEnd.insert(path);
}

Handle AddObject(Object object) {
  std::lock_guard<std::mutex> lock(tableMutex);
  const std::intptr_t handle = nextHandle++;
  objects.emplace(handle, std::move(object));
  return Handle{handle};
}

bool FindObject(Handle handle, Object* object) {
  std::lock_guard<std::mutex> lock(tableMutex);
  auto it = objects.find(static_cast<std::intptr_t>(handle));
  if (it == objects.end()) return false;
  *object = it->second;
  return true;
}

bool TakeObject(Handle handle, Object* object) {
  std::lock_guard<std::mutex> lock(tableMutex);
  auto it = objects.find(static_cast<std::intptr_t>(handle));
  if (it == objects.end()) return false;
  *object = std::move(it->second);
  objects.erase(it);
  return true;
}

}  // namespace posix

Handle CreateFile(std::u16string_view path, std::uint32_t access, std::uint32_t /*share*/,
                  std::uint32_t disposition, std::uint32_t /*flags*/) {
  const bool fault = posix::NthFault("CreateFile");
  const auto config = posix::CurrentConfig();
  posix::Object object;
  object.path = std::u16string(path);
  object.normalPath = posix::NormalizeDevicePath(path);
  int fd = -1;
  if (!fault && !posix::MatchesFault(config->openFaults, object.normalPath)) {
    fd = posix::OpenFile(path, access, disposition);
  }
  TraceEvent("create_file")
      .Str("path", path)
      .Str("access", (access & kGenericWrite) != 0 ? "write" : "read")
      .Bool("ok", fd >= 0)
      .Emit();
  if (fd < 0) return kInvalidHandle;
  object.fd = fd;
  return posix::AddObject(std::move(object));
}

bool ReadFile(Handle file, std::span<std::uint8_t> buffer, std::uint32_t* read) {
  if (read != nullptr) *read = 0;
  if (posix::NthFault("ReadFile")) return false;
  posix::Object object;
  if (!posix::FileOf(file, &object)) return false;
  const off_t position = ::lseek(object.fd, 0, SEEK_CUR);
  struct stat info;
  if (position < 0 || ::fstat(object.fd, &info) != 0) return false;
  const auto config = posix::CurrentConfig();
  const std::size_t wanted = std::min<std::size_t>(buffer.size(), UINT32_MAX);
  const auto start = static_cast<std::uint64_t>(position);
  const auto size = static_cast<std::uint64_t>(info.st_size);
  const std::uint64_t end = std::min<std::uint64_t>(start + wanted, std::max(size, start));
  for (const auto& fault : config->readFaults) {
    if (fault.path == object.normalPath && fault.offset >= start && fault.offset < end) {
      return false;
    }
  }
  std::size_t done = 0;
  while (done < wanted) {
    const ssize_t got = ::read(object.fd, buffer.data() + done, wanted - done);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      // Nothing was delivered: the position goes back to where the call found it.
      ::lseek(object.fd, position, SEEK_SET);
      return false;
    }
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  posix::ChangeAfterTheEnd(*config, object.normalPath, start, buffer.first(done), size);
  if (read != nullptr) *read = static_cast<std::uint32_t>(done);
  return true;
}

bool WriteFile(Handle file, std::span<const std::uint8_t> bytes, std::uint32_t* written) {
  if (written != nullptr) *written = 0;
  if (posix::NthFault("WriteFile")) return false;
  posix::Object object;
  if (!posix::FileOf(file, &object)) return false;
  return posix::WriteCounted(object.fd, object.normalPath, bytes, written);
}

// A CreateFile, a WriteFile and a CloseHandle to the trace and to the faults, as the
// device's own write of a new file would be; on the host a fresh file renamed over the
// target (Replacement).
bool WriteNewFile(std::u16string_view path, std::span<const std::uint8_t> bytes) {
  const bool fault = posix::NthFault("CreateFile");
  const std::u16string normalPath = posix::NormalizeDevicePath(path);
  std::optional<posix::Replacement> file;
  if (!fault && !posix::MatchesFault(posix::CurrentConfig()->openFaults, normalPath)) {
    file.emplace(path);
  }
  const bool created = file && file->fd() >= 0;
  TraceEvent("create_file").Str("path", path).Str("access", "write").Bool("ok", created).Emit();
  if (!created) return false;
  std::uint32_t written = 0;
  if (!posix::NthFault("WriteFile")) posix::WriteCounted(file->fd(), normalPath, bytes, &written);
  // A short file takes the name all the same, as a short write on the device leaves it,
  // and the caller neither starts nor loads it.
  const bool whole = file->Commit(normalPath) && written == bytes.size();
  file.reset();
  TraceEvent("close_file").Str("path", path).Emit();
  return whole;
}

std::uint32_t SetFilePointer(Handle file, std::int32_t distance, std::int32_t* distanceHigh,
                             std::uint32_t method) {
  if (posix::NthFault("SetFilePointer")) return kInvalidSetFilePointer;
  posix::Object object;
  if (!posix::FileOf(file, &object)) return kInvalidSetFilePointer;
  std::int64_t move = distance;
  if (distanceHigh != nullptr) {
    move = static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(static_cast<std::uint32_t>(*distanceHigh)) << 32) |
        static_cast<std::uint32_t>(distance));
  }
  std::int64_t base = 0;
  if (method == kFileCurrent) {
    base = ::lseek(object.fd, 0, SEEK_CUR);
  } else if (method == kFileEnd) {
    struct stat info;
    base = ::fstat(object.fd, &info) == 0 ? info.st_size : -1;
  } else if (method != kFileBegin) {
    return kInvalidSetFilePointer;
  }
  if (base < 0) return kInvalidSetFilePointer;
  // Both terms are far from the limits of 64 bits (a file size and a 64-bit move whose
  // sum below 0 is refused), save a huge move that the check below refuses as well.
  if ((move > 0 && base > INT64_MAX - move)) return kInvalidSetFilePointer;
  const std::int64_t target = base + move;
  if (target < 0) return kInvalidSetFilePointer;
  if (::lseek(object.fd, static_cast<off_t>(target), SEEK_SET) < 0) return kInvalidSetFilePointer;
  if (distanceHigh != nullptr) *distanceHigh = static_cast<std::int32_t>(target >> 32);
  return static_cast<std::uint32_t>(target);
}

std::uint32_t GetFileSize(Handle file, std::uint32_t* high) {
  if (posix::NthFault("GetFileSize")) return kInvalidFileSize;
  posix::Object object;
  struct stat info;
  if (!posix::FileOf(file, &object) || ::fstat(object.fd, &info) != 0) return kInvalidFileSize;
  const auto size = static_cast<std::uint64_t>(info.st_size);
  if (high != nullptr) *high = static_cast<std::uint32_t>(size >> 32);
  return static_cast<std::uint32_t>(size);
}

bool CloseHandle(Handle handle) {
  posix::Object object;
  if (!posix::TakeObject(handle, &object)) return false;
  switch (object.kind) {
    case posix::ObjectKind::kFile:
      ::close(object.fd);
      TraceEvent("close_file").Str("path", object.path).Emit();
      break;
    case posix::ObjectKind::kEvent:
      posix::CloseEvent(object);
      break;
    case posix::ObjectKind::kThread:
      posix::CloseThread(object);
      break;
    case posix::ObjectKind::kProcess:
      posix::CloseProcess(object);
      break;
  }
  return true;
}

}  // namespace platform
