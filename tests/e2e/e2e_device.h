// End-to-end fixture: a simulated device made by the vxdevice tool, images and packages
// made by vxdevice and vxpack, the built updater run on it as a process, and the expected
// console text built from the updater's own console lines.
#ifndef TESTS_E2E_E2E_DEVICE_H_
#define TESTS_E2E_E2E_DEVICE_H_

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tests/support/testing.h"

namespace e2e {

namespace fs = std::filesystem;
using testing_support::TraceLine;

// The hardware every test device is made for, and one it is not.
inline constexpr const char* kHardware = "7000";
inline constexpr const char* kOtherHardware = "8000";
// Images stay small but larger than the writer's 1024-byte first chunk, so that each
// write goes through a follow-up call and shows its ten progress dots.
inline constexpr std::size_t kImageSize = 4096;
// The package as the updater finds it, as a device path.
inline constexpr const char* kPackagePath = "\\Storage Card\\VXUpdate.bin";
// Where the hand-off looks for another updater: the folder keeps its final backslash
// and the name brings its own.
inline constexpr const char* kUpdaterPath = "\\Storage Card\\\\VXUpdater.exe";

// Header fields of the package, by file offset.
inline constexpr std::size_t kHeaderLengthField = 4;
inline constexpr std::size_t kPayloadCrcField = 8;
inline constexpr std::size_t kPayloadSizeField = 12;
inline constexpr std::size_t kEngineLengthField = 28;
inline constexpr std::size_t kEngineCrcField = 32;
inline constexpr std::size_t kBootloaderOffsetField = 60;
inline constexpr std::size_t kWinceOffsetField = 68;

// The five update options as the registry holds them.
struct Options {
  std::uint32_t ForceFullUpgrade = 0;
  std::uint32_t VerifyAfterWrite = 0;
  std::uint32_t CheckCRC = 1;
  std::uint32_t FullVerify = 1;
  std::uint32_t CheckBinCRC = 0;
};

// What one run of the updater left behind.
struct UpdaterRun {
  int exitCode = -1;
  std::string out;  // standard output, the banner's build date replaced by "<date>"
  std::string err;
  std::vector<TraceLine> trace;
  // The pid of the updater that was started by the test (the first to write the trace).
  std::string firstPid;
};

// A device made by `vxdevice init` in a temporary folder.
class Device {
 public:
  explicit Device(std::string_view boot = "doc");
  const fs::path& root() const { return root_; }
  fs::path Card() const { return root_ / "Storage Card"; }
  fs::path PackageFile() const { return Card() / "VXUpdate.bin"; }

  // Replaces the registry with one that holds these options.
  void SetOptions(const Options& options);

  // An image made by `vxdevice image`, kept in the test's work folder.
  fs::path MakeImage(std::string_view type, std::string_view version,
                     std::string_view hardware = kHardware, std::size_t size = kImageSize);
  // The image of this type as the factory put it into flash: equal to the flash copy.
  fs::path SameAsFlash(std::string_view type);

  // Builds VXUpdate.bin on the storage card with `vxpack build`; `args` are the image
  // options ("--wince", path, ...).  `engine` is the engine library put into it.
  void BuildPackage(const std::vector<std::string>& args, const fs::path& engine = {});
  // Builds VXUpdate.bin from images described by type and version; an empty version takes
  // the flash copy of that type.  Answers the image file of each type.
  struct PackagedImage {
    std::string type;
    std::string version;
    std::string hardware = kHardware;
  };
  std::map<std::string, fs::path> BuildPackageOf(const std::vector<PackagedImage>& images,
                                                 const std::vector<std::string>& extra = {},
                                                 const fs::path& engine = {});
  std::uint32_t PackageField(std::size_t offset) const;
  void PatchPackage(std::size_t offset, std::uint32_t value);

  // The device's flash, file by file.
  std::map<std::string, std::vector<std::uint8_t>> Flash() const;
  fs::path FlashFile(std::string_view type) const;

  // Runs the built updater on this device with the given message-box answers and extra
  // environment (which wins over the defaults).
  UpdaterRun Run(const std::vector<std::string>& args, std::string_view answers,
                 const std::vector<std::pair<std::string, std::string>>& env = {},
                 const fs::path& program = {});

 private:
  testing_support::TempDir temp_;
  fs::path root_;
  fs::path work_;
  int made_ = 0;
};

// Built programs and libraries.
fs::path Updater();
fs::path Engine();
// The engine library put into packages: the built one without its symbol tables, which
// does the same work and keeps packages small.
fs::path PackagedEngine();
fs::path BoardSupportLibrary();

// Runs a tool of the build and fails the test when it does not exit 0.
void RunTool(std::string_view tool, const std::vector<std::string>& args);

// ---------------------------------------------------------------------------
// Expected console text, built from the updater's console lines.

inline constexpr const char* kRule = "-------------------------------\n";
std::string Banner(const Options& options);
// ">Check binary" with its dots (ten from the CRC pass, "..." without it) and outcome.
std::string CheckBinary(bool crcPass, std::string_view outcome);
inline constexpr const char* kBinaryOk = "Ok\n\n";
std::string Power();
std::string Lock();
std::string Unlock();
std::string UpToDate(std::string_view name);
std::string NeedsUpgrade(std::string_view name);
// "Update NAME" with ten dots and "Ok\n" (or the outcome given); a format line first
// for Miniboot and SPL.
std::string Written(std::string_view name, bool format = false);
std::string VerifyLine(std::string_view name, bool ok = true);
std::string VerifyPass(const std::vector<std::string>& names);
std::string HardwareReset();
std::string WarmBoot();
inline constexpr const char* kEngineError =
    "Error: Failed to load BSP Api.\n       Update not suited for\n       target hw.\n";
inline constexpr const char* kUnsuitedError = "Error: Update not suited for\n       target hw.\n";

// ---------------------------------------------------------------------------
// Reading the trace.

// Events of one kind written by one process.
std::vector<TraceLine> EventsOf(const UpdaterRun& run, std::string_view ev, std::string_view pid);
// The device-library calls of that name: "lib:arg" each, in order.
std::vector<std::string> DeviceCalls(const UpdaterRun& run, std::string_view call,
                                     std::string_view pid);
// The message boxes: "text|flags|answer" each, in order.
std::vector<std::string> Boxes(const UpdaterRun& run, std::string_view pid);
std::string Box(std::string_view text, int flags, int answer);
std::string ConfirmationBox(int answer);
std::string ErrorBox(int answer);
std::string NotNeededBox();
// The input sizes of the display escapes, in order.
std::vector<std::string> Escapes(const UpdaterRun& run, std::string_view pid);
// Device paths opened (with success) and not closed again, each as often as it stays open.
std::vector<std::string> FilesLeftOpen(const UpdaterRun& run, std::string_view pid);
// The exit event's code of one process, or "" when it has none.
std::string ExitEvent(const UpdaterRun& run, std::string_view pid);
// Every pid seen in the trace, in order of first appearance.
std::vector<std::string> Pids(const UpdaterRun& run);

}  // namespace e2e

#endif  // TESTS_E2E_E2E_DEVICE_H_
