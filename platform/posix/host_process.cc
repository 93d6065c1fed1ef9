// Host programs for the host tools: posix_spawn, waitpid and a signal-watching thread.
#include "platform/host_process.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

extern char** environ;

namespace platform::host {
namespace {

std::mutex gRunningLock;
std::set<pid_t> gRunning;  // guarded by gRunningLock, as is the decision to start one
std::atomic<int> gSignal{0};

sigset_t WatchedSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

std::vector<std::string> Environment(const ProgramRun& run) {
  std::vector<std::string> out;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    bool dropped = false;
    for (const std::string& prefix : run.dropPrefixes) dropped = dropped || text.starts_with(prefix);
    if (!dropped) out.emplace_back(text);
  }
  out.insert(out.end(), run.set.begin(), run.set.end());
  return out;
}

// The spawn attributes and file actions, released on every road.
struct Spawn {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  Spawn() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
  }
  ~Spawn() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
  Spawn(const Spawn&) = delete;
  Spawn& operator=(const Spawn&) = delete;
};

}  // namespace

ProgramResult RunProgram(const ProgramRun& run) {
  ProgramResult result;
  std::vector<std::string> environment = Environment(run);
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string program = run.program.string();
  std::vector<std::string> arguments = run.arguments;
  std::vector<char*> argv = {program.data()};
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);

  Spawn spawn;
  constexpr int kFlags = O_WRONLY | O_CREAT | O_TRUNC;
  posix_spawn_file_actions_addopen(&spawn.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&spawn.actions, STDOUT_FILENO, run.stdoutFile.c_str(), kFlags, 0644);
  posix_spawn_file_actions_addopen(&spawn.actions, STDERR_FILENO, run.stderrFile.c_str(), kFlags, 0644);
  // The watched signals are blocked in this process; the program starts with none
  // blocked and their default actions.
  sigset_t none;
  sigemptyset(&none);
  const sigset_t watched = WatchedSignals();
  posix_spawnattr_setsigmask(&spawn.attributes, &none);
  posix_spawnattr_setsigdefault(&spawn.attributes, &watched);
  posix_spawnattr_setflags(&spawn.attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  pid_t pid = 0;
  {
    std::lock_guard lock(gRunningLock);
    if (Interrupted()) {
      result.error = "interrupted";
      return result;
    }
    const int error = posix_spawn(&pid, program.c_str(), &spawn.actions, &spawn.attributes, argv.data(),
                                  envp.data());
    if (error != 0) {
      result.error = program + ": " + std::strerror(error);
      return result;
    }
    gRunning.insert(pid);
  }
  result.started = true;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  {
    std::lock_guard lock(gRunningLock);
    gRunning.erase(pid);
  }
  result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

void WatchInterrupts() {
  const sigset_t watched = WatchedSignals();
  pthread_sigmask(SIG_BLOCK, &watched, nullptr);
  // Every signal is taken, not only the first, so that none stays pending unseen; the
  // first one is the one the exit status names.
  std::thread([watched] {
    for (;;) {
      int signal = 0;
      if (sigwait(&watched, &signal) != 0) continue;
      std::lock_guard lock(gRunningLock);
      int none = 0;
      gSignal.compare_exchange_strong(none, signal);
      for (pid_t pid : gRunning) kill(pid, SIGKILL);
    }
  }).detach();
}

bool Interrupted() { return gSignal.load() != 0; }

int InterruptSignal() { return gSignal.load(); }

bool CloneFile(const std::filesystem::path& from, const std::filesystem::path& to) {
  const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  const bool cloned = out >= 0 && ioctl(out, FICLONE, in) == 0;
  if (out >= 0) close(out);
  close(in);
  if (out >= 0 && !cloned) unlink(to.c_str());
  return cloned;
}

bool StandardErrorIsTerminal() { return isatty(STDERR_FILENO) == 1; }

}  // namespace platform::host
