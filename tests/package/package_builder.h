// Builds update packages for the package tests: a header, images and an engine laid out
// one after another, written into a simulated device folder.
#ifndef TESTS_PACKAGE_PACKAGE_BUILDER_H_
#define TESTS_PACKAGE_PACKAGE_BUILDER_H_

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "package/package.h"
#include "tests/support/testing.h"

namespace package_test {

// Bytes whose values follow from their position and a seed, so that a misplaced read
// shows.
std::vector<std::uint8_t> Pattern(std::size_t length, std::uint8_t seed);
std::uint32_t Crc32(const std::uint8_t* data, std::size_t length);

class PackageBuilder {
 public:
  explicit PackageBuilder(std::uint32_t headerLength = package::kMobileHeaderLength);
  // Appends `length` pattern bytes at the end of the file; returns their entry.
  package::ImageEntry Append(std::size_t length, std::uint8_t seed);
  // Appends the engine library and fills its fields, with its right CRC.
  void AddEngine(const std::vector<std::uint8_t>& engine);
  // Makes payloadSize follow the length rule and payloadCrc match the payload (the
  // header bytes inside a short header's payload are counted as the extra item).
  void Seal();
  std::vector<std::uint8_t> Bytes() const;
  void WriteTo(const std::filesystem::path& file) const;

  package::PackageHeader header;
  std::vector<std::uint8_t> body;  // everything after the 108 header bytes
};

// A device folder with VXUpdate.bin in its root, and the environment pointing at it.
class Device {
 public:
  // `faults` becomes VXU_FAULTS (unset when empty).
  explicit Device(std::optional<std::string> faults = std::nullopt);
  const std::filesystem::path& root() const { return dir_.path(); }
  std::filesystem::path Trace() const { return dir_ / "trace.jsonl"; }
  // Writes the package and opens it; ASSERTs that it opened.
  package::PackageHandle Open(const PackageBuilder& builder);

 private:
  testing_support::TempDir dir_;
  std::unique_ptr<testing_support::ScopedEnv> env_;
};

// Closes a handle at the end of a test.
struct HandleCloser {
  void operator()(package::PackageRecord* handle) const { package::PackageClose(handle); }
};
using OpenPackage = std::unique_ptr<package::PackageRecord, HandleCloser>;

inline constexpr char16_t kPackagePath[] = u"\\VXUpdate.bin";

// Progress calls, recorded by RecordProgress.
extern std::vector<std::pair<std::uint32_t, std::uint32_t>> g_progress;
void RecordProgress(std::uint32_t total, std::uint32_t done);

}  // namespace package_test

#endif  // TESTS_PACKAGE_PACKAGE_BUILDER_H_
