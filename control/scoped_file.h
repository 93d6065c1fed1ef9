// An open device file that is closed when it goes out of scope, so that every road out of
// discovery and hand-off closes what it opened.
#ifndef CONTROL_SCOPED_FILE_H_
#define CONTROL_SCOPED_FILE_H_

#include <string_view>

#include "platform/platform.h"

namespace control {

class ScopedFile {
 public:
  // Opens `path` for reading as the probe and the hand-off do.
  explicit ScopedFile(std::u16string_view path)
      : handle_(platform::CreateFile(path, platform::kGenericRead, platform::kFileShareRead,
                                     platform::kOpenExisting, platform::kFileAttributeNormal)) {}
  ~ScopedFile() {
    if (IsOpen()) platform::CloseHandle(handle_);
  }
  ScopedFile(const ScopedFile&) = delete;
  ScopedFile& operator=(const ScopedFile&) = delete;

  bool IsOpen() const { return handle_ != platform::kInvalidHandle; }
  platform::Handle handle() const { return handle_; }

 private:
  platform::Handle handle_;
};

}  // namespace control

#endif  // CONTROL_SCOPED_FILE_H_
