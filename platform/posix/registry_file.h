// Internal to the host backend: the reader of the registry file (the registry
// editor's export format).  A pure function of the file's bytes, so that tests and the
// fuzz target can call it without a device folder.
#ifndef PLATFORM_POSIX_REGISTRY_FILE_H_
#define PLATFORM_POSIX_REGISTRY_FILE_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

namespace platform::posix {

// A value as its line gave it; `unreadable` when the line names the value but its data
// cannot be read (the value then answers a registry failure, never "not found").
struct RegistryValue {
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
  bool unreadable = false;
};

// Keys below HKEY_LOCAL_MACHINE by their path ("" the hive itself, "a\b" below it) and
// values by their name ("" the default value); both are kept with ASCII letters in lower
// case, since the registry matches names ignoring case.
struct RegistryKey {
  std::map<std::u16string, RegistryValue> values;
};
using Registry = std::map<std::u16string, RegistryKey>;

// A line that was not understood: its number (the first line is 1) and why.
struct SkippedLine {
  std::size_t line = 0;
  std::string reason;
};

struct ParsedRegistry {
  Registry keys;
  std::vector<SkippedLine> skipped;
  // The first line is neither header: the file is no registry (or one in an encoding
  // that cannot be told, such as UTF-16 without its byte-order mark).  The rest was read
  // all the same, for the report of its lines.
  bool badHeader = false;
  // A section line that cannot be read: which key the values below it belong to is not
  // known, so no key can be said to be absent.
  bool broken = false;
};

ParsedRegistry ParseRegistryFile(std::span<const std::uint8_t> bytes);

}  // namespace platform::posix

#endif  // PLATFORM_POSIX_REGISTRY_FILE_H_
