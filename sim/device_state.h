// The state of a simulated device, kept in files below <root>/.hardware/ so that it
// survives the end of a run (a reset ends the process) and a person can read and edit
// it:
//
//   settings            "boot = doc|miniboot" and "hardware = ID", '#' starts a comment
//   flash/<Name>.img    the complete image of one type (Name: the display name
//                       without spaces, e.g. "MobileDiskImage.img")
//   flash/<Name>.img.partial
//                       an image being written; left behind by an interrupted write,
//                       it makes that image read back as damaged
//   green_led, red_led  "on" or "off"
//   keyboard            "enabled" or "disabled"
//   display             "on" or "off", written by the platform layer
//   exclusive_access    "taken" or "released"
//   gd_items            one "ITEM = VALUE" line per stored GD item
//   last_reset          "hardware reset" or "warm boot"
//
// Every function takes the host folder of the device root.  The files are written
// whole through a temporary file and a rename, so a run that ends half-way never
// leaves half a state file behind.
#ifndef SIM_DEVICE_STATE_H_
#define SIM_DEVICE_STATE_H_

#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "sim/image_format.h"

namespace sim {

namespace fs = std::filesystem;

// Results of the simulated engine's flash entries (0 is success).  14 is the one the
// updater gives a meaning to: the image in flash must be written again.
inline constexpr std::int32_t kResultOk = 0;
inline constexpr std::int32_t kResultCrcMismatch = 14;
inline constexpr std::int32_t kResultWrongType = 20;
inline constexpr std::int32_t kResultWrongHardware = 21;
inline constexpr std::int32_t kResultNotAnImage = 22;
inline constexpr std::int32_t kResultNoWriteInProgress = 23;
inline constexpr std::int32_t kResultImageIncomplete = 24;
inline constexpr std::int32_t kResultFlashFailed = 25;
inline constexpr std::int32_t kResultNoSettings = 26;
// What a result means, for people reading vxdevice output and test failures.
std::string_view ResultText(std::int32_t result);

// The entries that VXSIM_FAIL can make fail on purpose (flash_entries.cc asks for these
// names); any other name there does nothing.
inline constexpr std::array<std::string_view, 2> kEntriesThatCanFail = {"VXUpdate_LowLevelFormat",
                                                                        "GetImageInfo"};

enum class BootChain { kMiniboot, kDoc };
struct Settings {
  BootChain boot = BootChain::kMiniboot;
  std::uint32_t hardware = 100;
};
// The image types a boot chain starts through, followed by Bootloader and WinCE.
std::span<const std::uint32_t> BootImages(BootChain boot);
std::string_view BootChainName(BootChain boot);

// The folder of the state files, and the file of one image type in flash.
fs::path HardwareDir(const fs::path& root);
fs::path FlashFile(const fs::path& root, std::uint32_t type);
fs::path PartialFlashFile(const fs::path& root, std::uint32_t type);

// Settings text for a person to read and edit.
std::string SettingsText(const Settings& settings);
// Parses settings text; on failure answers nothing and sets *error to one line naming
// the line and what is wrong with it.  Both keys must be given.
std::optional<Settings> ParseSettings(std::string_view text, std::string* error);
// Reads <root>/.hardware/settings; on failure *error says why.
std::optional<Settings> ReadSettings(const fs::path& root, std::string* error);

// Writes a whole state file below .hardware/ (through a temporary file and a rename).
bool WriteStateFile(const fs::path& root, std::string_view name, std::string_view text);
// The first line of a state file, without its line end; nothing when it is missing.
std::optional<std::string> ReadStateFile(const fs::path& root, std::string_view name);

// GD items: the stored ones, and storing pending ones over them.  ReadGdItems answers
// nothing when the file holds a line that is not "ITEM = VALUE".
std::optional<std::map<std::uint32_t, std::uint32_t>> ReadGdItems(const fs::path& root);
bool StoreGdItems(const fs::path& root, const std::map<std::uint32_t, std::uint32_t>& pending);

// What flash holds for one image type.
struct FlashImage {
  FlashState state = FlashState::kAbsent;
  std::optional<ImageHeader> header;  // when the first 512 bytes are readable
  bool bodyCrcOk = false;             // a complete image whose body matches its CRC
  std::uintmax_t size = 0;            // bytes in flash
};
// The slot's state, header and size, with its body checked against the header's CRC.
// The body is read in 1 MiB pieces, so the memory used does not grow with the image.
FlashImage ReadFlashSlot(const fs::path& root, std::uint32_t type);
// The same without the body: only the 512 header bytes are read, and bodyCrcOk stays
// false.  What an image information record needs.
FlashImage ReadFlashHeader(const fs::path& root, std::uint32_t type);
// Erases every image in flash.  False when something could not be removed.
bool EraseFlash(const fs::path& root);

// An image being written.  BeginFlashWrite erases the stored image of that type first,
// as flash is erased before it is programmed, so an interrupted write leaves only the
// partial file: the image then reads back as damaged.
struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FlashFileHandle = std::unique_ptr<std::FILE, FileCloser>;
FlashFileHandle BeginFlashWrite(const fs::path& root, std::uint32_t type);
// Appends bytes; false on a write failure.
bool AppendFlash(std::FILE* file, std::span<const std::uint8_t> bytes);
// Closes the partial file and makes it the stored image.  False on failure.
bool CompleteFlashWrite(FlashFileHandle file, const fs::path& root, std::uint32_t type);

// Stores a complete image directly (for setting up a device).
bool StoreFlashImage(const fs::path& root, std::span<const std::uint8_t> image);

}  // namespace sim

#endif  // SIM_DEVICE_STATE_H_
