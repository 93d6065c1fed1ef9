// Files as the tools read and write them: the system's reasons, outputs that never land
// on an input, in a folder's place or half-written, and the companions beside the tools.
#include <cerrno>
#include <random>
#include <system_error>

#include "tools/common/common.h"

namespace tools {

std::string SystemReason(int error) { return std::generic_category().message(error); }

InputFile::InputFile(const fs::path& file) {
  // A device or a pipe could be read forever (/dev/zero) or wait for a writer.
  std::error_code error;
  const fs::file_status status = fs::status(file, error);
  if (fs::is_directory(status) || (fs::exists(status) && !fs::is_regular_file(status))) {
    reason_ = fs::is_directory(status) ? SystemReason(EISDIR) : "not a regular file";
    return;
  }
  file_ = std::fopen(file.c_str(), "rb");
  if (file_ == nullptr) reason_ = SystemReason(errno);
}

InputFile::~InputFile() {
  if (file_ != nullptr) std::fclose(file_);
}

std::optional<std::size_t> InputFile::Read(std::span<std::uint8_t> bytes) {
  if (file_ == nullptr) return std::nullopt;
  errno = 0;
  const std::size_t got = std::fread(bytes.data(), 1, bytes.size(), file_);
  if (got < bytes.size() && std::ferror(file_)) {
    reason_ = SystemReason(errno != 0 ? errno : EIO);
    return std::nullopt;
  }
  return got;
}

std::optional<std::vector<std::uint8_t>> ReadWholeFile(const fs::path& file, std::size_t limit,
                                                       std::string* reason) {
  InputFile in(file);
  std::vector<std::uint8_t> bytes;
  std::array<std::uint8_t, 4096> chunk;
  for (;;) {
    const std::optional<std::size_t> got = in.Read(chunk);
    if (!got) {
      *reason = in.reason();
      return std::nullopt;
    }
    if (bytes.size() + *got > limit) {
      *reason = "larger than " + std::to_string(limit) + " bytes";
      return std::nullopt;
    }
    bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(*got));
    if (*got < chunk.size()) return bytes;
  }
}

std::optional<std::string> OutputProblem(const fs::path& target, std::span<const fs::path> inputs) {
  std::error_code error;
  const fs::file_status status = fs::status(target, error);
  if (target.filename().empty() || fs::is_directory(status)) return SystemReason(EISDIR);
  // Replacing the link by a file would leave the place it names as it was.
  if (fs::is_symlink(fs::symlink_status(target, error)) && !fs::exists(status)) {
    return "a symbolic link to nothing";
  }
  // Renaming over a device or a pipe would replace it, not write into it.
  if (fs::exists(status) && !fs::is_regular_file(status)) return "not a regular file";
  for (const fs::path& input : inputs) {
    const bool samePath = fs::absolute(input, error).lexically_normal() ==
                          fs::absolute(target, error).lexically_normal();
    if (samePath || fs::equivalent(input, target, error)) {
      return "the same file as the input " + input.string() + "; not written over";
    }
  }
  return std::nullopt;
}

OutputFile::OutputFile(const fs::path& target, std::span<const fs::path> inputs, Access access) {
  if (auto problem = OutputProblem(target, inputs)) {
    reason_ = *problem;
    return;
  }
  std::error_code error;
  // Written through a link to the file it names, as a copy would be.
  target_ = fs::is_symlink(target, error) ? fs::canonical(target, error) : target;
  if (error) target_ = target;
  std::random_device random;
  // Cut short, so that a target whose name is near the system's limit still gets one.
  temporary_ = target_.parent_path() / ("." + target_.filename().string().substr(0, 200) +
                                        ".tmp-" + std::to_string(random()));
  // "x": a name that exists already is never opened, so nobody else's file is truncated.
  file_ = std::fopen(temporary_.c_str(), "wbx");
  if (file_ == nullptr) {
    reason_ = SystemReason(errno);
    temporary_.clear();
    return;
  }
  if (access == Access::kOwnerOnly) {
    fs::permissions(temporary_, fs::perms::owner_read | fs::perms::owner_write,
                    fs::perm_options::replace, error);
    if (error) Failed(error.value());
  }
}

OutputFile::~OutputFile() {
  if (file_ != nullptr) std::fclose(file_);
  std::error_code ignored;
  if (!temporary_.empty()) fs::remove(temporary_, ignored);
}

bool OutputFile::Failed(int error) {
  reason_ = SystemReason(error != 0 ? error : EIO);
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
  return false;
}

bool OutputFile::Write(std::span<const std::uint8_t> bytes) {
  if (file_ == nullptr) return false;
  errno = 0;
  if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) return Failed(errno);
  return true;
}

bool OutputFile::Rewind() {
  if (file_ == nullptr) return false;
  return std::fseek(file_, 0, SEEK_SET) == 0 || Failed(errno);
}

bool OutputFile::Commit() {
  if (file_ == nullptr) return false;
  errno = 0;
  const bool flushed = std::fflush(file_) == 0;
  const int flushError = errno;
  const bool closed = std::fclose(file_) == 0;
  file_ = nullptr;
  if (!flushed || !closed) return Failed(flushed ? errno : flushError);
  std::error_code error;
  fs::rename(temporary_, target_, error);
  if (error) return Failed(error.value());
  temporary_.clear();
  return true;
}

std::optional<std::string> WriteWholeFile(const fs::path& target,
                                          std::span<const std::uint8_t> bytes,
                                          std::span<const fs::path> inputs,
                                          OutputFile::Access access) {
  OutputFile out(target, inputs, access);
  if (out.Write(bytes) && out.Commit()) return std::nullopt;
  return out.reason();
}

namespace {

// The folder of the running tool; nothing, with the reason, when the system does not say.
std::optional<fs::path> OwnFolder(std::string* reason) {
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  if (!error) return self.parent_path();
  *reason = "the tool's own path is unknown: " + error.message();
  return std::nullopt;
}

std::optional<fs::path> Found(const fs::path& file, std::string* reason) {
  std::error_code error;
  if (fs::is_regular_file(file, error)) return file;
  *reason = "not found beside the tool (" + file.string() + ")";
  return std::nullopt;
}

}  // namespace

std::optional<fs::path> Companion(std::string_view name, std::string_view buildFolder,
                                  std::string* reason) {
  const std::optional<fs::path> own = OwnFolder(reason);
  if (!own) return std::nullopt;
  std::error_code error;
  const fs::path top = own->parent_path();
  const fs::path installed = top / "lib" / "vxupdater";
  return Found((fs::is_directory(installed, error) ? installed : top / buildFolder) / name, reason);
}

std::optional<fs::path> SiblingTool(std::string_view name, std::string* reason) {
  const std::optional<fs::path> own = OwnFolder(reason);
  if (!own) return std::nullopt;
  return Found(*own / name, reason);
}

std::optional<std::string> WriteStandardOutput(std::string_view text) {
  errno = 0;
  const bool written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
  const int writeError = errno;
  errno = 0;
  if (written && std::fflush(stdout) == 0) return std::nullopt;
  StandardOutputFailureSaid() = true;  // by the caller, with this reason
  return SystemReason(!written && writeError != 0 ? writeError : errno != 0 ? errno : EIO);
}

}  // namespace tools
