// Test helpers shared by every test executable: temporary device folders, environment
// knobs, files, the trace, and running a built program as a process.
#ifndef TESTS_SUPPORT_TESTING_H_
#define TESTS_SUPPORT_TESTING_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace testing_support {

namespace fs = std::filesystem;

// Where the build put its programs and libraries (the top of the build tree).
fs::path BinaryDir();
// A built program or library by its path below the build tree, e.g. "control/vxupdater".
fs::path Built(std::string_view relative);

// A fresh folder below the system's temporary folder, removed again at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& path() const { return path_; }
  fs::path operator/(std::string_view relative) const { return path_ / relative; }

 private:
  fs::path path_;
};

// Sets environment variables for its lifetime (an empty optional unsets one), restores
// them afterwards, and makes the platform layer read them again both times.
class ScopedEnv {
 public:
  ScopedEnv(std::initializer_list<std::pair<std::string, std::optional<std::string>>> vars);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// Whole-file helpers; parent folders are created.
void WriteBytes(const fs::path& file, const std::vector<std::uint8_t>& bytes);
void WriteText(const fs::path& file, std::string_view text);
std::vector<std::uint8_t> ReadBytes(const fs::path& file);
std::string ReadText(const fs::path& file);

// One trace line: its fields as raw JSON values ("\"text\"" keeps its quotes decoded:
// strings are stored unquoted and unescaped, numbers, true, false and null as written).
struct TraceLine {
  std::map<std::string, std::string> fields;
  std::string raw;
  const std::string& operator[](const std::string& key) const;
  bool Has(const std::string& key) const { return fields.count(key) != 0; }
  std::string ev() const { return (*this)["ev"]; }
};
std::vector<TraceLine> ReadTrace(const fs::path& file);
// The lines of one event kind.
std::vector<TraceLine> EventsOf(const std::vector<TraceLine>& trace, std::string_view ev);

// The result of running a program.
struct RunResult {
  int exitCode = -1;
  std::string out;  // standard output
  std::string err;  // standard error
};
// Runs `program` with `args` in a shell, with `env` added to the environment (values are
// quoted for the shell), standard input from /dev/null, and waits for it and for every
// process it started that still holds its output streams.
RunResult Run(const fs::path& program, const std::vector<std::string>& args,
              const std::vector<std::pair<std::string, std::string>>& env = {});

}  // namespace testing_support

#endif  // TESTS_SUPPORT_TESTING_H_
