// End-to-end fixture: a simulated device made by vxdevice, a package made by vxpack, the
// built updater run on it as a process, and the run written down as a transcript that a
// golden file beside the tests holds (tests/e2e/golden/NAME.txt).
#ifndef TESTS_E2E_E2E_DEVICE_H_
#define TESTS_E2E_E2E_DEVICE_H_

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tests/support/testing.h"

namespace e2e {

namespace fs = std::filesystem;
using Env = std::vector<std::pair<std::string, std::string>>;

// Header fields of the package, by file offset.
inline constexpr std::size_t kHeaderLengthField = 4;
inline constexpr std::size_t kPayloadCrcField = 8;
inline constexpr std::size_t kPayloadSizeField = 12;
inline constexpr std::size_t kEngineOffsetField = 24;
inline constexpr std::size_t kEngineCrcField = 32;
inline constexpr std::size_t kWinceOffsetField = 68;
// The package as the updater finds it, as a device path.
inline const std::string kPackage = "\\Storage Card\\VXUpdate.bin";

// What one run of the updater left behind.
struct UpdaterRun {
  int exitCode = -1;
  std::string out;  // standard output, the banner's build date replaced by "<date>"
  std::string err;
  std::vector<testing_support::TraceLine> trace;
  std::string transcript;  // what the golden file holds
};

// A device made by `vxdevice init --hardware 7000` in a temporary folder.
class Device {
 public:
  explicit Device(std::string_view boot = "doc");
  const fs::path& root() const { return root_; }
  fs::path Card() const { return root_ / "Storage Card"; }
  fs::path PackageFile() const { return Card() / "VXUpdate.bin"; }

  // Replaces the registry: the options key holding `lines`, or no key when `lines` is
  // empty.
  void SetRegistry(std::string_view lines);
  // Builds VXUpdate.bin on the storage card from a list of images such as
  // "spl ipl:2.0 wince:2.0:8000": the vxpack option, then the version (none: the flash
  // copy of that type), the hardware (default 7000) and the size (default 4096).  Words
  // starting with "--" and the word after them go to vxpack as they are.
  void BuildPackage(std::string_view images, const fs::path& engine = {});
  void PatchPackage(std::size_t offset, const std::function<std::uint32_t(std::uint32_t)>& change);
  fs::path FlashFile(std::string_view name) const { return root_ / ".hardware/flash" / name; }

  // Runs the updater with these message-box answers; `env` wins over the defaults.  The transcript holds the arguments, exit status, console, the trace of each
  // process in turn (the keep-alive thread's own events left out) and what the flash and
  // "\VXUpdate.dll" hold afterwards.
  UpdaterRun Run(const std::vector<std::string>& args, std::string_view answers,
                 const Env& env = {});

 protected:
  std::map<std::string, std::vector<std::uint8_t>> Flash() const;
  std::string Afterwards(const std::map<std::string, std::vector<std::uint8_t>>& before) const;

  testing_support::TempDir temp_;
  fs::path root_;
  fs::path work_;
  fs::path engine_;
  std::map<std::string, std::vector<fs::path>> packaged_;  // flash file name -> images
  int made_ = 0;
};

fs::path Updater();
// The engine library put into packages: the built one without its symbol tables.
fs::path PackagedEngine();
fs::path BoardSupportLibrary();
void RunTool(std::string_view tool, const std::vector<std::string>& args);
// A program without label that leaves its mark, an event `ev` with its argument count,
// in the trace.
void WriteMarker(const fs::path& file, std::string_view ev = "marker");

// This very build as `file`, optionally with one byte appended: its label still holds the
// build's CRC, but the file no longer proves it.
void CopyUpdater(const fs::path& file, bool appendByte = false);

// Compares `actual` with golden/NAME.txt; with VXU_GOLDEN_UPDATE set, rewrites the file
// instead and fails, so that a rewrite is never mistaken for a pass.
void ExpectGolden(std::string_view name, const std::string& actual);

// A table row's name as the name of its test: "up-to-date" becomes "up_to_date".
struct RowName {
  template <typename Row>
  std::string operator()(const ::testing::TestParamInfo<Row>& row) const {
    std::string name = row.param.name;
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
  }
};

}  // namespace e2e

#endif  // TESTS_E2E_E2E_DEVICE_H_
