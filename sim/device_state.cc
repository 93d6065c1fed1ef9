#include "sim/device_state.h"

#include <array>
#include <charconv>
#include <fstream>
#include <sstream>
#include <system_error>
#include <vector>

namespace sim {
namespace {

constexpr std::array<std::uint32_t, 3> kMinibootImages = {1, 3, 4};
constexpr std::array<std::uint32_t, 4> kDocImages = {2, 5, 3, 4};

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

// Splits "key = value" after removing a '#' comment; false for a line without '='.
bool SplitAssignment(std::string_view line, std::string_view* key, std::string_view* value) {
  line = line.substr(0, line.find('#'));
  auto equals = line.find('=');
  if (equals == std::string_view::npos) return false;
  *key = Trim(line.substr(0, equals));
  *value = Trim(line.substr(equals + 1));
  return true;
}

bool WriteWhole(const fs::path& file, std::string_view bytes) {
  std::error_code error;
  fs::create_directories(file.parent_path(), error);
  fs::path temporary = file;
  temporary += ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.flush();
    if (!out) return false;
  }
  fs::rename(temporary, file, error);
  return !error;
}

// The device's own state files are small; anything else in their place (a pipe that
// would block, a device, a file of gigabytes) is no state the device could hold.
constexpr std::uintmax_t kMaxStateFile = 1 << 20;

std::optional<std::string> ReadWhole(const fs::path& file) {
  std::error_code error;
  if (!fs::is_regular_file(file, error) || fs::file_size(file, error) > kMaxStateFile || error) {
    return {};
  }
  std::ifstream in(file, std::ios::binary);
  if (!in) return {};
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

}  // namespace

std::string_view ResultText(std::int32_t result) {
  switch (result) {
    case kResultOk:
      return "ok";
    case kResultCrcMismatch:
      return "image in flash damaged or missing";
    case kResultWrongType:
      return "image of another type";
    case kResultWrongHardware:
      return "image built for other hardware";
    case kResultNotAnImage:
      return "not an image";
    case kResultNoWriteInProgress:
      return "no image write in progress";
    case kResultImageIncomplete:
      return "image incomplete";
    case kResultFlashFailed:
      return "flash write failed";
    case kResultNoSettings:
      return "device settings unreadable";
    default:
      return "unknown result";
  }
}

std::span<const std::uint32_t> BootImages(BootChain boot) {
  if (boot == BootChain::kDoc) return kDocImages;
  return kMinibootImages;
}

std::string_view BootChainName(BootChain boot) {
  return boot == BootChain::kDoc ? "doc" : "miniboot";
}

fs::path HardwareDir(const fs::path& root) { return root / ".hardware"; }

fs::path FlashFile(const fs::path& root, std::uint32_t type) {
  std::string name;
  for (char c : ImageTypeName(type)) {
    if (c != ' ') name.push_back(c);
  }
  return HardwareDir(root) / "flash" / (name + ".img");
}

fs::path PartialFlashFile(const fs::path& root, std::uint32_t type) {
  fs::path file = FlashFile(root, type);
  file += ".partial";
  return file;
}

std::string SettingsText(const Settings& settings) {
  std::string text =
      "# The simulated device.  Edit and run again.\n"
      "# boot: doc (starts through SPL and IPL) or miniboot (starts through Miniboot)\n";
  text += "boot = " + std::string(BootChainName(settings.boot)) + "\n";
  text += "# hardware: the hardware ID that images must be built for\n";
  text += "hardware = " + std::to_string(settings.hardware) + "\n";
  return text;
}

std::optional<Settings> ParseSettings(std::string_view text, std::string* error) {
  Settings settings;
  bool haveBoot = false;
  bool haveHardware = false;
  int number = 0;
  while (!text.empty()) {
    ++number;
    auto end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    std::string_view key, value;
    if (!SplitAssignment(line, &key, &value)) {
      if (Trim(line.substr(0, line.find('#'))).empty()) continue;
      *error = "line " + std::to_string(number) + ": expected 'key = value'";
      return {};
    }
    if (key == "boot" && (value == "doc" || value == "miniboot")) {
      settings.boot = value == "doc" ? BootChain::kDoc : BootChain::kMiniboot;
      haveBoot = true;
    } else if (key == "hardware" && ParseU32(value)) {
      settings.hardware = *ParseU32(value);
      haveHardware = true;
    } else if (key == "boot" || key == "hardware") {
      *error = "line " + std::to_string(number) + ": bad value '" + std::string(value) + "' for " +
               std::string(key);
      return {};
    } else {
      *error = "line " + std::to_string(number) + ": unknown setting '" + std::string(key) + "'";
      return {};
    }
  }
  if (!haveBoot || !haveHardware) {
    *error = haveBoot ? "no 'hardware' setting" : "no 'boot' setting";
    return {};
  }
  return settings;
}

std::optional<Settings> ReadSettings(const fs::path& root, std::string* error) {
  fs::path file = HardwareDir(root) / "settings";
  auto text = ReadWhole(file);
  if (!text) {
    *error = root.string() + ": not a simulated device (no .hardware/settings)";
    return {};
  }
  std::string reason;
  auto settings = ParseSettings(*text, &reason);
  if (!settings) *error = file.string() + ": " + reason;
  return settings;
}

bool WriteStateFile(const fs::path& root, std::string_view name, std::string_view text) {
  return WriteWhole(HardwareDir(root) / name, text);
}

std::optional<std::string> ReadStateFile(const fs::path& root, std::string_view name) {
  auto text = ReadWhole(HardwareDir(root) / name);
  if (!text) return {};
  return std::string(Trim(std::string_view(*text).substr(0, text->find('\n'))));
}

std::optional<std::map<std::uint32_t, std::uint32_t>> ReadGdItems(const fs::path& root) {
  std::map<std::uint32_t, std::uint32_t> items;
  auto text = ReadWhole(HardwareDir(root) / "gd_items");
  if (!text) return items;
  std::istringstream lines(*text);
  std::string line;
  while (std::getline(lines, line)) {
    std::string_view key, value;
    if (!SplitAssignment(line, &key, &value)) {
      if (Trim(std::string_view(line).substr(0, line.find('#'))).empty()) continue;
      return {};
    }
    auto item = ParseU32(key);
    auto number = ParseU32(value);
    if (!item || !number) return {};
    items[*item] = *number;
  }
  return items;
}

bool StoreGdItems(const fs::path& root, const std::map<std::uint32_t, std::uint32_t>& pending) {
  auto items = ReadGdItems(root);
  // Unreadable stored items are replaced rather than kept: the store is what the
  // device saves now.
  if (!items) items.emplace();
  for (auto [item, value] : pending) (*items)[item] = value;
  std::string text;
  for (auto [item, value] : *items) {
    text += std::to_string(item) + " = " + std::to_string(value) + "\n";
  }
  return WriteStateFile(root, "gd_items", text);
}

namespace {

// The size of one read of an image body while its CRC is computed.
constexpr std::size_t kBodyReadSize = std::size_t{1} << 20;

// Opens the file of a slot (the partial one while a write is unfinished) and reads its
// header and size.  `file` is left open just past the header when that could be read.
FlashImage OpenFlashSlot(const fs::path& root, std::uint32_t type, FlashFileHandle* file) {
  FlashImage image;
  std::error_code error;
  fs::path path = PartialFlashFile(root, type);
  bool partial = fs::exists(path, error);
  if (!partial) {
    path = FlashFile(root, type);
    if (!fs::exists(path, error)) return image;
  }
  image.state = FlashState::kDamaged;
  // A pipe or a device in the slot would block or never end: no image.
  if (!fs::is_regular_file(path, error)) return image;
  FlashFileHandle opened(std::fopen(path.string().c_str(), "rb"));
  std::uintmax_t size = fs::file_size(path, error);
  // Something there that cannot be read is no image: damaged, and nothing more known.
  if (!opened || error) return image;
  // Unbuffered: the header and the 1 MiB body reads go straight into their buffers.
  std::setvbuf(opened.get(), nullptr, _IONBF, 0);
  std::array<std::uint8_t, kHeaderSize> bytes{};
  std::size_t got = std::fread(bytes.data(), 1, bytes.size(), opened.get());
  if (std::ferror(opened.get())) return image;
  image.size = size;
  image.header = DecodeHeader(std::span(bytes).first(got));
  bool whole = image.header && size == image.header->length;
  if (!partial && whole) image.state = FlashState::kComplete;
  *file = std::move(opened);
  return image;
}

// Whether the rest of `file` is `length` bytes whose CRC-32 is `crc`.
bool BodyMatches(std::FILE* file, std::uintmax_t length, std::uint32_t crc) {
  auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(kBodyReadSize);
  std::uint32_t computed = Crc32(0, {});
  std::uintmax_t total = 0;
  for (;;) {
    std::size_t got = std::fread(buffer.get(), 1, kBodyReadSize, file);
    computed = Crc32(computed, std::span(buffer.get(), got));
    total += got;
    if (got < kBodyReadSize) break;
  }
  // A read error or a file that changed size since its header was read is no match.
  return !std::ferror(file) && total == length && computed == crc;
}

}  // namespace

FlashImage ReadFlashSlot(const fs::path& root, std::uint32_t type) {
  FlashFileHandle file;
  FlashImage image = OpenFlashSlot(root, type, &file);
  image.bodyCrcOk = image.state == FlashState::kComplete &&
                    BodyMatches(file.get(), image.size - kHeaderSize, image.header->bodyCrc);
  return image;
}

FlashImage ReadFlashHeader(const fs::path& root, std::uint32_t type) {
  FlashFileHandle file;
  return OpenFlashSlot(root, type, &file);
}

bool EraseFlash(const fs::path& root) {
  std::error_code error;
  fs::remove_all(HardwareDir(root) / "flash", error);
  if (error) return false;
  return fs::create_directories(HardwareDir(root) / "flash", error) && !error;
}

FlashFileHandle BeginFlashWrite(const fs::path& root, std::uint32_t type) {
  std::error_code error;
  fs::create_directories(FlashFile(root, type).parent_path(), error);
  fs::remove(FlashFile(root, type), error);
  if (error) return nullptr;
  return FlashFileHandle(std::fopen(PartialFlashFile(root, type).string().c_str(), "wb"));
}

bool AppendFlash(std::FILE* file, std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return true;
  return std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size() && std::fflush(file) == 0;
}

bool CompleteFlashWrite(FlashFileHandle file, const fs::path& root, std::uint32_t type) {
  if (std::fclose(file.release()) != 0) return false;
  std::error_code error;
  fs::rename(PartialFlashFile(root, type), FlashFile(root, type), error);
  return !error;
}

bool StoreFlashImage(const fs::path& root, std::span<const std::uint8_t> image) {
  auto header = DecodeHeader(image);
  if (!header || ImageTypeName(header->type).empty()) return false;
  return WriteWhole(FlashFile(root, header->type),
                    std::string_view(reinterpret_cast<const char*>(image.data()), image.size()));
}

}  // namespace sim
