// The host knobs: read from the environment on first use and on Reconfigure, kept in
// one process-wide record that threads share.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <utility>

#include "platform/host_process.h"
#include "platform/platform.h"
#include "platform/posix/host.h"

namespace platform {
namespace posix {
namespace {

std::mutex configMutex;
// Kept for the whole life of the process and never destroyed: a device library or the
// keep-alive thread may still call in while the process ends.
std::shared_ptr<Config>& current = *new std::shared_ptr<Config>();

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

bool ParseUnsigned(std::string_view text, std::uint64_t* value) {
  if (text.empty()) return false;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return error == std::errc() && end == text.data() + text.size();
}

// "PATH@OFFSET"; the offset is the last '@' so that a path may hold one.
bool ParseFileFault(std::string_view text, bool withOffset, FileFault* fault) {
  std::string_view path = text;
  if (withOffset) {
    const std::size_t at = text.rfind('@');
    if (at == std::string_view::npos) return false;
    if (!ParseUnsigned(text.substr(at + 1), &fault->offset)) return false;
    path = text.substr(0, at);
  }
  if (path.empty()) return false;
  fault->path = NormalizeDevicePath(ToUtf16(path));
  return true;
}

void ParseFaults(std::string_view list, Config* config, std::vector<std::string>* notes) {
  while (!list.empty()) {
    const std::size_t semicolon = list.find(';');
    const std::string_view word = Trim(list.substr(0, semicolon));
    list = semicolon == std::string_view::npos ? std::string_view() : list.substr(semicolon + 1);
    if (word.empty()) continue;
    const std::size_t colon = word.find(':');
    const std::string_view kind = word.substr(0, colon);
    const std::string_view argument =
        colon == std::string_view::npos ? std::string_view() : word.substr(colon + 1);
    const bool hasArgument = colon != std::string_view::npos;
    bool understood = false;
    FileFault fault;
    std::uint64_t limit = 0;
    if (kind == "alloc" && hasArgument && ParseUnsigned(argument, &limit)) {
      // Of several limits the smallest is the one that strikes first.
      const std::size_t bounded =
          static_cast<std::size_t>(std::min<std::uint64_t>(limit, SIZE_MAX));
      config->allocLimit = config->allocLimit ? std::min(*config->allocLimit, bounded) : bounded;
      understood = true;
    } else if (kind == "open" && hasArgument && ParseFileFault(argument, false, &fault)) {
      config->openFaults.push_back(std::move(fault));
      understood = true;
    } else if (kind == "read" && hasArgument && ParseFileFault(argument, true, &fault)) {
      config->readFaults.push_back(std::move(fault));
      understood = true;
    } else if (kind == "write" && hasArgument && ParseFileFault(argument, true, &fault)) {
      config->writeFaults.push_back(std::move(fault));
      understood = true;
    } else if (kind == "change" && hasArgument && ParseFileFault(argument, true, &fault)) {
      config->changeFaults.push_back(std::move(fault));
      understood = true;
    } else if (kind == "replace" && hasArgument && argument.rfind('=') != std::string_view::npos &&
               argument.rfind('=') != 0 && argument.rfind('=') + 1 != argument.size()) {
      const std::size_t equals = argument.rfind('=');
      config->replaceFaults.push_back(
          {ToUtf16(argument.substr(0, equals)), ToUtf16(argument.substr(equals + 1))});
      understood = true;
    } else if (kind == "thread" && !hasArgument) {
      config->threadFault = true;
      understood = true;
    } else if (kind == "process" && !hasArgument) {
      config->processFault = true;
      understood = true;
    } else if (kind == "nth" && hasArgument && ParseUnsigned(argument, &limit) && limit > 0) {
      config->nthFaults.push_back(limit);
      understood = true;
    }
    if (!understood) {
      notes->push_back("ignored the fault \"" + std::string(word) +
                       "\" of VXU_FAULTS (not understood)");
    }
  }
}

void ParseAnswers(std::string_view list, Config* config, std::vector<std::string>* notes) {
  config->answersSet = true;
  if (Trim(list).empty()) return;
  for (;;) {
    const std::size_t comma = list.find(',');
    const std::string_view word = Trim(list.substr(0, comma));
    if (word == "yes") {
      config->answers.push_back(kIdYes);
    } else if (word == "no") {
      config->answers.push_back(kIdNo);
    } else {
      if (word != "none") {
        notes->push_back("the answer \"" + std::string(word) +
                         "\" of VXU_MSGBOX_ANSWERS is not yes, no or none; taken as none");
      }
      config->answers.push_back(0);
    }
    if (comma == std::string_view::npos) break;
    list = list.substr(comma + 1);
  }
}

// True when this copy of the layer is linked into the program itself, false when it is the
// copy inside a device library (each simulated library carries its own).  The program is
// the first object of the loader's chain.
bool InTheProgram() {
  Dl_info info;
  link_map* object = nullptr;
  if (::dladdr1(reinterpret_cast<void*>(&InTheProgram), &info, reinterpret_cast<void**>(&object),
                RTLD_DL_LINKMAP) == 0 ||
      object == nullptr) {
    return true;
  }
  return object->l_prev == nullptr;
}

std::shared_ptr<Config> Load(std::vector<std::string>* notes) {
  auto config = std::make_shared<Config>();

  config->root = Env("VXU_DEVICE_ROOT");
  if (config->root.empty()) config->root = ".";
  while (config->root.size() > 1 && config->root.back() == '/') config->root.pop_back();
  struct stat info;
  config->rootExists = ::stat(config->root.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
  if (!config->rootExists) {
    notes->push_back("the device root \"" + config->root +
                     "\" is not a folder; every device path fails");
  }

  const std::string trace = Env("VXU_TRACE");
  if (!trace.empty()) {
    config->traceFd = ::open(trace.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (config->traceFd < 0) {
      notes->push_back("cannot open the trace \"" + trace + "\"; going on without it");
    }
  }

  // The faults are the updater's: a device library neither fails its own calls nor
  // counts them, and leaves the notes on a fault not understood to the program.
  static const bool inTheProgram = InTheProgram();
  if (inTheProgram) ParseFaults(Env("VXU_FAULTS"), config.get(), notes);
  if (std::getenv("VXU_MSGBOX_ANSWERS") != nullptr) {
    ParseAnswers(Env("VXU_MSGBOX_ANSWERS"), config.get(), notes);
  }

  const std::string scale = Env("VXU_TIME_SCALE");
  if (!scale.empty()) {
    char* end = nullptr;
    const double value = std::strtod(scale.c_str(), &end);
    if (end != scale.c_str() + scale.size() || !std::isfinite(value) || value < 0) {
      notes->push_back("VXU_TIME_SCALE \"" + scale + "\" is not a number; using 1");
    } else {
      config->timeScale = value;
    }
  }

  const std::string ac = Env("VXU_AC_LINE");
  if (ac.empty() || ac == "online") {
    config->acLine = kAcLineOnline;
  } else if (ac == "offline") {
    config->acLine = kAcLineOffline;
  } else if (ac == "unknown") {
    config->acLine = kAcLineUnknown;
  } else if (ac == "fail") {
    config->acLine = -1;
  } else {
    notes->push_back("VXU_AC_LINE \"" + ac +
                     "\" is not online, offline, unknown or fail; "
                     "using online");
  }

  config->powerManagerPresent = Env("VXU_POWER_MANAGER") != "absent";
  return config;
}

void Publish(std::shared_ptr<Config> config, std::vector<std::string>* notes) {
  {
    std::lock_guard<std::mutex> lock(configMutex);
    current = std::move(config);
  }
  // Written only once the record is in place, since the debug channel itself needs it.
  for (const auto& note : *notes) Debug(note);
}

// One entry of `folder` whose name equals `name` ignoring ASCII case: the exact name
// when it exists, otherwise the smallest such name, so that the choice is stable.
std::optional<std::string> FindEntry(const std::string& folder, const std::string& name) {
  struct stat info;
  const std::string exact = folder + "/" + name;
  if (::lstat(exact.c_str(), &info) == 0) return name;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return std::nullopt;
  std::optional<std::string> best;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view candidate = entry->d_name;
    if (!EqualsIgnoringAsciiCase(candidate, name)) continue;
    if (!best || candidate < *best) best = std::string(candidate);
  }
  ::closedir(dir);
  return best;
}

}  // namespace

Config::~Config() {
  if (traceFd >= 0) ::close(traceFd);
}

std::shared_ptr<Config> CurrentConfig() {
  {
    std::lock_guard<std::mutex> lock(configMutex);
    if (current) return current;
  }
  std::vector<std::string> notes;
  auto loaded = Load(&notes);
  {
    std::lock_guard<std::mutex> lock(configMutex);
    // Another thread may have been first; its record wins and ours is dropped unseen.
    if (current) return current;
    current = loaded;
  }
  for (const auto& note : notes) Debug(note);
  return loaded;
}

bool NthFault(std::string_view call) {
  const auto config = CurrentConfig();
  if (config->nthFaults.empty()) return false;
  const std::uint64_t n = config->fallibleCalls.fetch_add(1) + 1;
  if (std::find(config->nthFaults.begin(), config->nthFaults.end(), n) == config->nthFaults.end()) {
    return false;
  }
  TraceEvent("fault").Str("call", call).Num("n", static_cast<std::int64_t>(n)).Emit();
  return true;
}

void Debug(std::string_view what) { OutputDebugString(u"platform: " + ToUtf16(what) + u"\r\n"); }

char16_t FoldAscii(char16_t c) {
  return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

std::u16string FoldAscii(std::u16string_view text) {
  std::u16string folded(text);
  for (auto& c : folded) c = FoldAscii(c);
  return folded;
}

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    char y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::u16string NormalizeDevicePath(std::u16string_view path) {
  std::u16string normal;
  bool separator = true;
  for (char16_t c : path) {
    if (c == u'\\') {
      separator = true;
      continue;
    }
    if (separator) normal += u'\\';
    separator = false;
    normal += FoldAscii(c);
  }
  if (normal.empty()) normal = u"\\";
  return normal;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

}  // namespace posix

void Reconfigure() {
  std::vector<std::string> notes;
  auto loaded = posix::Load(&notes);
  posix::ForgetRegistry();
  posix::Publish(std::move(loaded), &notes);
}

std::string DeviceRoot() { return posix::CurrentConfig()->root; }

std::optional<std::string> MapDevicePath(std::u16string_view devicePath) {
  const auto config = posix::CurrentConfig();
  if (!config->rootExists || devicePath.empty()) return std::nullopt;
  std::string host = config->root;
  bool searching = true;  // false once a part does not exist: the rest keeps its case
  std::size_t start = 0;
  while (start <= devicePath.size()) {
    std::size_t end = devicePath.find(u'\\', start);
    if (end == std::u16string_view::npos) end = devicePath.size();
    const std::u16string_view part = devicePath.substr(start, end - start);
    start = end + 1;
    if (part.empty()) continue;
    if (part == u"." || part == u"..") return std::nullopt;
    if (part.find_first_of(std::u16string_view(u"/:\0", 3)) != std::u16string_view::npos) {
      return std::nullopt;
    }
    const std::string name = ToUtf8(part);
    if (searching) {
      const auto found = posix::FindEntry(host, name);
      if (found) {
        host += "/" + *found;
        continue;
      }
      searching = false;
    }
    host += "/" + name;
  }
  return host;
}

}  // namespace platform

// vxfleet refuses a profile's VXU_FAULTS text before it runs anything; the check lives
// beside the parser so that it understands exactly what the updater understands.
namespace platform::host {

std::optional<std::string> FaultNotUnderstood(std::string_view faults) {
  while (!faults.empty()) {
    const std::size_t semicolon = faults.find(';');
    const std::string_view word = posix::Trim(faults.substr(0, semicolon));
    faults = semicolon == std::string_view::npos ? std::string_view() : faults.substr(semicolon + 1);
    posix::Config config;
    std::vector<std::string> notes;
    posix::ParseFaults(word, &config, &notes);
    if (!notes.empty()) return std::string(word);
  }
  return std::nullopt;
}

}  // namespace platform::host
