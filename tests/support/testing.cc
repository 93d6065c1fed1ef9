#include "tests/support/testing.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

#include <nlohmann/json.hpp>

#include "platform/platform.h"

namespace testing_support {

fs::path BinaryDir() { return fs::path(VXU_TEST_BINARY_DIR); }

fs::path Built(std::string_view relative) { return BinaryDir() / relative; }

TempDir::TempDir() {
  std::random_device random;
  const fs::path base = fs::temp_directory_path();
  for (;;) {
    path_ = base / ("vxu-test-" + std::to_string(random()));
    if (fs::create_directory(path_)) break;
  }
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

ScopedEnv::ScopedEnv(
    std::initializer_list<std::pair<std::string, std::optional<std::string>>> vars) {
  for (const auto& [name, value] : vars) {
    const char* old = std::getenv(name.c_str());
    saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    if (value) {
      setenv(name.c_str(), value->c_str(), 1);
    } else {
      unsetenv(name.c_str());
    }
  }
  platform::Reconfigure();
}

ScopedEnv::~ScopedEnv() {
  for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
    if (it->second) {
      setenv(it->first.c_str(), it->second->c_str(), 1);
    } else {
      unsetenv(it->first.c_str());
    }
  }
  platform::Reconfigure();
}

void WriteBytes(const fs::path& file, const std::vector<std::uint8_t>& bytes) {
  if (file.has_parent_path()) fs::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << "cannot write " << file;
}

void WriteText(const fs::path& file, std::string_view text) {
  WriteBytes(file, std::vector<std::uint8_t>(text.begin(), text.end()));
}

std::vector<std::uint8_t> ReadBytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::string ReadText(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

const std::string& TraceLine::operator[](const std::string& key) const {
  static const std::string kMissing = "<missing>";
  auto it = fields.find(key);
  return it == fields.end() ? kMissing : it->second;
}

namespace {

std::string Quote(const std::string& value) {
  std::string quoted = "'";
  for (char c : value) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

}  // namespace

std::vector<TraceLine> ReadTrace(const fs::path& file) {
  std::vector<TraceLine> lines;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) {
    if (line.empty()) continue;
    TraceLine parsed{{}, line};
    const auto object = nlohmann::json::parse(line, nullptr, false);
    EXPECT_TRUE(object.is_object()) << "not a trace line: " << line;
    for (const auto& [key, value] : object.items()) {
      parsed.fields[key] = value.is_string() ? value.get<std::string>() : value.dump();
    }
    lines.push_back(std::move(parsed));
  }
  return lines;
}

std::vector<TraceLine> EventsOf(const std::vector<TraceLine>& trace, std::string_view ev) {
  std::vector<TraceLine> matching;
  for (const auto& line : trace) {
    if (line.ev() == ev) matching.push_back(line);
  }
  return matching;
}

RunResult Run(const fs::path& program, const std::vector<std::string>& args,
              const std::vector<std::pair<std::string, std::string>>& env) {
  TempDir scratch;
  std::string command = "env";
  for (const auto& [name, value] : env) command += " " + name + "=" + Quote(value);
  command += " " + Quote(program.string());
  for (const auto& arg : args) command += " " + Quote(arg);
  // The shell waits for the program; reading the output files only after the shell has
  // written the exit status, and after every started process has closed its streams, is
  // arranged by piping both streams through cat, which ends only when the last writer has.
  const fs::path out = scratch / "out";
  const fs::path err = scratch / "err";
  const fs::path status = scratch / "status";
  std::string script = "{ " + command + " < /dev/null 2>&3 | cat > " + Quote(out.string()) +
                       "; echo ${PIPESTATUS[0]} > " + Quote(status.string()) + "; } 3>&1 1>&2 " +
                       "| cat > " + Quote(err.string());
  // Standard error travels through its own pipe so that it, too, is complete once every
  // writer has ended.
  std::string shell = "bash -c " + Quote(script);
  int ignored = std::system(shell.c_str());
  (void)ignored;
  RunResult result;
  result.out = ReadText(out);
  result.err = ReadText(err);
  std::string code = ReadText(status);
  result.exitCode = code.empty() ? -1 : std::stoi(code);
  return result;
}

}  // namespace testing_support
