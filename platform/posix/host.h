// Internal to the host backend: the process-wide record of the host knobs and the
// helpers the backend's files share.  Nothing outside platform/posix/ includes this.
#ifndef PLATFORM_POSIX_HOST_H_
#define PLATFORM_POSIX_HOST_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace platform::posix {

// A fault aimed at one file: the normalised device path and, for reads and writes, the
// offset of the byte at which it strikes.
struct FileFault {
  std::u16string path;
  std::uint64_t offset = 0;
};

// replace:PATH=SOURCE, both device paths as given.
struct ReplaceFault {
  std::u16string path;
  std::u16string source;
};

// The host knobs as read from the environment.  A record is never changed once
// published (apart from the answer counter); Reconfigure publishes a new one, and
// callers that still hold the old one finish with it.
struct Config {
  Config() = default;
  Config(const Config&) = delete;
  Config& operator=(const Config&) = delete;
  ~Config();

  std::string root;
  bool rootExists = false;
  int traceFd = -1;
  std::optional<std::size_t> allocLimit;
  std::vector<FileFault> openFaults;
  std::vector<FileFault> readFaults;
  std::vector<FileFault> writeFaults;
  std::vector<FileFault> changeFaults;
  std::vector<ReplaceFault> replaceFaults;
  // The files of the change faults that a read of this process has reached the end of.
  std::mutex endsMutex;
  std::set<std::u16string> readToTheEnd;
  bool threadFault = false;
  bool processFault = false;
  // nth:K: the K-th fallible call of the process fails; the calls counted so far.
  std::vector<std::uint64_t> nthFaults;
  std::atomic<std::uint64_t> fallibleCalls{0};
  bool answersSet = false;
  std::vector<std::int32_t> answers;
  std::atomic<std::size_t> nextAnswer{0};
  double timeScale = 1.0;
  int acLine = 1;  // -1: the power status call fails
  bool powerManagerPresent = true;
};

// The current record, read from the environment on first use.
std::shared_ptr<Config> CurrentConfig();

// Counts one fallible call of the updater (`call` names it in the trace) and answers
// whether a fault of VXU_FAULTS nth:K fails it now, after recording the fault.  Called
// first thing in such a call, before anything else of it reaches the trace.
bool NthFault(std::string_view call);

// Writes one line of the layer's own to the debug channel: "platform: <what>\r\n".
void Debug(std::string_view what);

// A device path reduced for comparison: separators collapsed, one leading '\', ASCII
// letters in lower case.  Two paths naming the same file compare equal.
std::u16string NormalizeDevicePath(std::u16string_view path);

// ASCII-only case folding, the way the device's file system and registry compare names.
char16_t FoldAscii(char16_t c);
std::u16string FoldAscii(std::u16string_view text);
bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b);

// Writes all of `bytes` to `fd`, looping on partial writes.  False on an error.
bool WriteAll(int fd, std::string_view bytes);

// Forgets the parsed registry so that the next RegOpenKeyEx reads the file again.
void ForgetRegistry();

// A device file about to be started or loaded, at `host` (its device path mapped).  For
// a file that WriteNewFile made, exactly that file: opened without following a link and
// refused() when the path no longer names it; path() is then /proc/self/fd/N of the open
// file, kept open across exec when `inherited` (a script's interpreter opens it by that
// name).  Any other file goes by its host path, as before.
class StartableFile {
 public:
  StartableFile(std::u16string_view devicePath, const std::string& host, bool inherited);
  ~StartableFile();
  StartableFile(const StartableFile&) = delete;
  StartableFile& operator=(const StartableFile&) = delete;
  bool refused() const { return refused_; }
  const std::string& path() const { return path_; }
  int fd() const { return fd_; }  // -1 for a file WriteNewFile did not make

 private:
  std::string path_;
  int fd_ = -1;
  bool refused_ = false;
};

}  // namespace platform::posix

#endif  // PLATFORM_POSIX_HOST_H_
