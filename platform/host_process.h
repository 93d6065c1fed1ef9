// Host programs run by the host tools: `vxfleet` starts the updater once per simulated
// device and must be able to stop them all when it is interrupted.  This is a service
// of the development host, not of the device, so the updater never calls it.
#ifndef PLATFORM_HOST_PROCESS_H_
#define PLATFORM_HOST_PROCESS_H_

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::host {

// One run of a host program.
struct ProgramRun {
  std::filesystem::path program;
  std::vector<std::string> arguments;  // after the program's own name
  // The environment: the tool's own, without every variable whose name starts with one
  // of `dropPrefixes`, plus `set` ("NAME=value" each).
  std::vector<std::string> dropPrefixes;
  std::vector<std::string> set;
  // Standard output and standard error go to these files (created or truncated);
  // standard input is /dev/null, so the program never waits for a person.
  std::filesystem::path stdoutFile;
  std::filesystem::path stderrFile;
};

// The outcome of RunProgram.
struct ProgramResult {
  bool started = false;   // false: the program could not be started; `error` says why
  int exitStatus = -1;    // its exit status, or 128 + the signal that ended it
  std::string error;
};

// Starts the program and waits for it to end.  Any thread may call it, several at once.
// After an interrupt (WatchInterrupts) it starts nothing and answers started = false.
ProgramResult RunProgram(const ProgramRun& run);

// From this call on, SIGINT, SIGTERM and SIGHUP no longer end the process: each of them
// sets the interrupted flag and kills every program RunProgram has running, so that its
// callers return at once.  Call it once, from the main thread, before starting other
// threads.
void WatchInterrupts();
// True once an interrupt arrived.  The first signal that came (for the exit status) is
// InterruptSignal(), 0 before.
bool Interrupted();
int InterruptSignal();

// The first fault of a VXU_FAULTS text (faults separated by ';') that the updater would
// not understand and so ignore, or nothing when it understands every one.
std::optional<std::string> FaultNotUnderstood(std::string_view faults);

// Makes `to` (which must not exist) a clone of `from` that shares its blocks until either
// is written (a reflink), where the file system can; false, with nothing made, where it
// cannot.  Any thread may call it.
bool CloneFile(const std::filesystem::path& from, const std::filesystem::path& to);

// True when the file descriptor of standard error is a terminal.
bool StandardErrorIsTerminal();

}  // namespace platform::host

#endif  // PLATFORM_HOST_PROCESS_H_
