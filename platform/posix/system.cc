// Message boxes, time, power, named events, processes, threads and the display.
#include <fcntl.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/handles.h"
#include "platform/posix/host.h"

extern char** environ;

namespace platform {
namespace posix {
namespace {

constexpr std::u16string_view kPowerManagerEvent = u"PowerManager/ReloadActivityTimeouts";

std::mutex eventMutex;
// Named events and their open handles.
// Kept for the whole life of the process and never destroyed: a device library or the
// keep-alive thread may still call in while the process ends.
std::map<std::u16string, int>& eventOpenCount = *new std::map<std::u16string, int>();

bool EventExists(const std::u16string& name, const Config& config) {
  if (name == kPowerManagerEvent && config.powerManagerPresent) return true;
  return eventOpenCount.count(name) != 0;
}

std::string AnswerWord(std::int32_t answer) {
  switch (answer) {
    case kIdOk:
      return "ok";
    case kIdYes:
      return "yes";
    case kIdNo:
      return "no";
    default:
      return "none";
  }
}

// The box text on one line, for the rendering on standard error.
std::string OneLine(std::u16string_view text) {
  std::string line;
  for (char c : ToUtf8(text)) {
    if (c == '\r') continue;
    if (c == '\n') {
      if (!line.empty() && line.back() != ' ') line.push_back(' ');
      continue;
    }
    line.push_back(c);
  }
  return line;
}

// Asks the person at the terminal.  0 when standard input ends first.
std::int32_t AskAtTerminal(std::u16string_view text, std::u16string_view caption, bool question) {
  WriteAll(STDERR_FILENO, "\n[" + ToUtf8(caption) + "]\n" + ToUtf8(text) + "\n" +
                              (question ? "[y]es / [n]o? " : "[Enter] OK "));
  // The answer typed so far survives a read interrupted by a signal.
  std::string line;
  for (;;) {
    char c = 0;
    ssize_t got;
    while ((got = ::read(STDIN_FILENO, &c, 1)) == 1 && c != '\n') line.push_back(c);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0 && line.empty()) return 0;
    if (!question) return kIdOk;
    if (!line.empty() && (line[0] == 'y' || line[0] == 'Y')) return kIdYes;
    if (!line.empty() && (line[0] == 'n' || line[0] == 'N')) return kIdNo;
    if (got <= 0) return 0;
    line.clear();
    WriteAll(STDERR_FILENO, "[y]es / [n]o? ");
  }
}

struct ThreadStart {
  ThreadProc entry;
  void* parameter;
  std::shared_ptr<ThreadState> state;
};

void* RunThread(void* argument) {
  std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(argument));
  const std::uint32_t code = start->entry(start->parameter);
  start->state->exitCode.store(code, std::memory_order_relaxed);
  start->state->done.store(true, std::memory_order_release);
  return nullptr;
}

std::vector<std::string> SplitOnSpaces(const std::string& line) {
  std::vector<std::string> words;
  std::size_t start = 0;
  while (start < line.size()) {
    const std::size_t end = std::min(line.find(' ', start), line.size());
    if (end > start) words.push_back(line.substr(start, end - start));
    start = end + 1;
  }
  return words;
}

// The fault replace:PATH=SOURCE, just before a program is started: PATH takes a copy of
// SOURCE's bytes, as a card that changes a program after it was checked.
void ReplacePrograms(const Config& config) {
  for (const auto& fault : config.replaceFaults) {
    const auto target = MapDevicePath(fault.path);
    const auto source = MapDevicePath(fault.source);
    if (!target || !source) continue;
    const int in = ::open(source->c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) continue;
    std::string bytes;
    char chunk[4096];
    ssize_t got;
    while ((got = ::read(in, chunk, sizeof chunk)) > 0 || (got < 0 && errno == EINTR)) {
      if (got > 0) bytes.append(chunk, static_cast<std::size_t>(got));
    }
    ::close(in);
    // A file in the target's place, as a card that swaps a file shows it: a link standing
    // there is replaced, never written through.
    const std::string fresh = *target + ".replace-" + std::to_string(::getpid());
    const int out = ::open(fresh.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0755);
    if (out < 0) continue;
    const bool written = WriteAll(out, bytes);
    ::close(out);
    if (!written || ::rename(fresh.c_str(), target->c_str()) != 0) ::unlink(fresh.c_str());
  }
}

// The device starts any file; a host program needs its execute permission, which a file
// the updater wrote has not.  Given to whoever may read it.
void MakeStartable(const StartableFile& program, const struct stat& info) {
  const mode_t readers = info.st_mode & (S_IRUSR | S_IRGRP | S_IROTH);
  if ((info.st_mode & S_IXUSR) != 0) return;
  const mode_t mode = (info.st_mode & 07777) | readers >> 2;
  if (program.fd() >= 0) {
    ::fchmod(program.fd(), mode);
  } else {
    ::chmod(program.path().c_str(), mode);
  }
}

}  // namespace

void CloseEvent(const Object& object) {
  {
    std::lock_guard<std::mutex> lock(eventMutex);
    auto it = eventOpenCount.find(object.eventName);
    if (it != eventOpenCount.end() && --it->second <= 0) eventOpenCount.erase(it);
  }
  TraceEvent("close_event").Str("name", object.eventName).Emit();
}

void CloseThread(const Object& object) {
  const auto thread = static_cast<pthread_t>(object.threadId);
  // A thread that has ended is joined; one still running goes on alone.
  if (object.thread->done.load(std::memory_order_acquire)) {
    ::pthread_join(thread, nullptr);
  } else {
    ::pthread_detach(thread);
  }
}

void CloseProcess(const Object& object) {
  // The started program is not waited for; one that has already ended is reaped.
  if (object.pid > 0) {
    int status = 0;
    ::waitpid(object.pid, &status, WNOHANG);
  }
}

}  // namespace posix

std::int32_t MessageBox(std::u16string_view text, std::u16string_view caption,
                        std::uint32_t flags) {
  const auto config = posix::CurrentConfig();
  const bool question = (flags & 0xF) != kMbOk;
  std::int32_t answer = 0;
  bool answered = false;
  if (config->answersSet) {
    if (!question) {
      answer = kIdOk;
      answered = true;
    } else {
      const std::size_t index = config->nextAnswer.fetch_add(1);
      if (index < config->answers.size()) {
        answer = config->answers[index];
        answered = true;
      }
    }
  }
  if (!answered && ::isatty(STDIN_FILENO)) answer = posix::AskAtTerminal(text, caption, question);
  posix::WriteAll(STDERR_FILENO, "[" + posix::OneLine(caption) + "] " + posix::OneLine(text) +
                                     " -> " + posix::AnswerWord(answer) + "\n");
  TraceEvent("msgbox")
      .Str("caption", caption)
      .Str("text", text)
      .Num("flags", flags)
      .Num("answer", answer)
      .Emit();
  return answer;
}

void Sleep(std::uint32_t milliseconds) {
  const double scale = posix::CurrentConfig()->timeScale;
  TraceEvent("sleep").Num("ms", milliseconds).Emit();
  if (scale <= 0 || milliseconds == 0) {
    // No waiting, but the processor is offered to others: a loop that sleeps between
    // rounds, such as the keep-alive thread, must not starve the update at scale 0.
    std::this_thread::yield();
    return;
  }
  std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(milliseconds * scale));
}

std::uint32_t GetSystemPowerStatusEx2(std::span<std::uint8_t, kPowerStatusSize> status,
                                      bool /*update*/) {
  const int acLine =
      posix::NthFault("GetSystemPowerStatusEx2") ? -1 : posix::CurrentConfig()->acLine;
  auto event = TraceEvent("power_status");
  if (acLine < 0) {
    event.Bool("ok", false).Null("ac_line").Emit();
    return 0;
  }
  std::fill(status.begin(), status.end(), std::uint8_t{0});
  status[0] = static_cast<std::uint8_t>(acLine);
  event.Bool("ok", true).Num("ac_line", acLine).Emit();
  return static_cast<std::uint32_t>(kPowerStatusSize);
}

Handle CreateEvent(bool /*manualReset*/, bool /*initialState*/, std::u16string_view name) {
  if (posix::NthFault("CreateEvent")) {
    TraceEvent("create_event").Str("name", name).Bool("ok", false).Emit();
    return kNullHandle;
  }
  posix::Object object;
  object.kind = posix::ObjectKind::kEvent;
  object.eventName = std::u16string(name);
  {
    std::lock_guard<std::mutex> lock(posix::eventMutex);
    ++posix::eventOpenCount[object.eventName];
  }
  TraceEvent("create_event").Str("name", name).Bool("ok", true).Emit();
  return posix::AddObject(std::move(object));
}

Handle OpenEvent(std::uint32_t /*access*/, bool /*inherit*/, std::u16string_view name) {
  const bool fault = posix::NthFault("OpenEvent");
  const auto config = posix::CurrentConfig();
  posix::Object object;
  object.kind = posix::ObjectKind::kEvent;
  object.eventName = std::u16string(name);
  bool exists;
  {
    std::lock_guard<std::mutex> lock(posix::eventMutex);
    exists = !fault && !name.empty() && posix::EventExists(object.eventName, *config);
    if (exists) ++posix::eventOpenCount[object.eventName];
  }
  TraceEvent("open_event").Str("name", name).Bool("ok", exists).Emit();
  if (!exists) return kNullHandle;
  return posix::AddObject(std::move(object));
}

bool SetEvent(Handle event) {
  if (posix::NthFault("SetEvent")) return false;
  posix::Object object;
  if (!posix::FindObject(event, &object) || object.kind != posix::ObjectKind::kEvent) {
    return false;
  }
  TraceEvent("set_event").Str("name", object.eventName).Emit();
  return true;
}

bool CreateProcess(std::u16string_view application, const char16_t* commandLine,
                   std::uint32_t creationFlags, ProcessInformation* information) {
  const bool fault = posix::NthFault("CreateProcessW");
  const auto config = posix::CurrentConfig();
  pid_t pid = 0;
  bool ok = false;
  if (!fault && !config->processFault) posix::ReplacePrograms(*config);
  const auto host = fault || config->processFault ? std::nullopt : MapDevicePath(application);
  struct stat info;
  // A program the updater wrote itself starts only as that very file.
  const std::optional<posix::StartableFile> program =
      host ? std::optional<posix::StartableFile>(std::in_place, application, *host, true)
           : std::nullopt;
  if (program && !program->refused() && ::stat(program->path().c_str(), &info) == 0 &&
      S_ISREG(info.st_mode)) {
    posix::MakeStartable(*program, info);
    std::vector<std::string> words{*host};
    if (commandLine != nullptr) {
      for (auto& word : posix::SplitOnSpaces(ToUtf8(commandLine))) words.push_back(word);
    }
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    ok = ::posix_spawn(&pid, program->path().c_str(), nullptr, nullptr, argv.data(), environ) == 0;
  }
  auto event = TraceEvent("create_process");
  event.Str("app", application);
  if (commandLine != nullptr) {
    event.Str("cmdline", std::u16string_view(commandLine));
  } else {
    event.Null("cmdline");
  }
  event.Num("flags", creationFlags).Bool("ok", ok).Emit();
  if (!ok) return false;
  if (information != nullptr) {
    posix::Object process;
    process.kind = posix::ObjectKind::kProcess;
    process.pid = pid;
    // The main thread of the new process has no object of its own on the host; its
    // handle stands for the process too, so that closing both reaps it once.
    posix::Object thread;
    thread.kind = posix::ObjectKind::kProcess;
    information->process = posix::AddObject(std::move(process));
    information->thread = posix::AddObject(std::move(thread));
    information->processId = static_cast<std::uint32_t>(pid);
    information->threadId = static_cast<std::uint32_t>(pid);
  }
  return true;
}

bool IsRunningProgram(std::u16string_view path) {
  const auto host = MapDevicePath(path);
  struct stat file;
  struct stat self;
  if (!host || ::stat(host->c_str(), &file) != 0 || ::stat("/proc/self/exe", &self) != 0) {
    return false;
  }
  return file.st_dev == self.st_dev && file.st_ino == self.st_ino;
}

Handle CreateThread(std::uint32_t /*stackSize*/, ThreadProc entry, void* parameter,
                    std::uint32_t /*creationFlags*/) {
  const bool fault = posix::NthFault("CreateThread") || posix::CurrentConfig()->threadFault;
  auto state = std::make_shared<posix::ThreadState>();
  pthread_t thread{};
  bool ok = false;
  if (!fault && entry != nullptr) {
    auto* start = new posix::ThreadStart{entry, parameter, state};
    ok = ::pthread_create(&thread, nullptr, posix::RunThread, start) == 0;
    if (!ok) delete start;
  }
  TraceEvent("create_thread").Bool("ok", ok).Emit();
  if (!ok) return kNullHandle;
  posix::Object object;
  object.kind = posix::ObjectKind::kThread;
  object.thread = state;
  object.threadId = static_cast<std::uint64_t>(thread);
  return posix::AddObject(std::move(object));
}

bool GetExitCodeThread(Handle thread, std::uint32_t* exitCode) {
  posix::Object object;
  if (!posix::FindObject(thread, &object) || object.kind != posix::ObjectKind::kThread) {
    return false;
  }
  if (exitCode != nullptr) {
    *exitCode = object.thread->done.load(std::memory_order_acquire)
                    ? object.thread->exitCode.load(std::memory_order_relaxed)
                    : kStillActive;
  }
  return true;
}

Hdc GetDC() { return Hdc{1}; }

std::int32_t ExtEscape(Hdc /*dc*/, std::int32_t escape, std::int32_t inputSize,
                       const void* /*input*/, std::int32_t /*outputSize*/, void* /*output*/) {
  TraceEvent("escape").Num("code", escape).Num("in_size", inputSize).Emit();
  constexpr std::int32_t kDisplayPower = 100014;
  if (escape == kDisplayPower && (inputSize == 0 || inputSize == 1)) {
    // A simulated device made by our tools keeps its hardware state in .hardware, where
    // the device tools read whether the display is on.
    const auto folder = MapDevicePath(u"\\.hardware");
    struct stat info;
    if (folder && ::stat(folder->c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
      const std::string file = *folder + "/display";
      const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      if (fd >= 0) {
        posix::WriteAll(fd, inputSize == 1 ? "on\n" : "off\n");
        ::close(fd);
      }
    }
  }
  return 0;
}

std::int32_t ReleaseDC(Hdc /*dc*/) { return 1; }

}  // namespace platform
