#include "sim/image_format.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <utility>

namespace sim {
namespace {

constexpr std::array<std::string_view, kLastImageType> kTypeNames = {
    "Miniboot", "SPL",   "Bootloader", "WinCE",      "IPL",
    "Xilinx",   "Atmel", "Altera",     "Mobile IPL", "Mobile Disk Image"};

// Header offsets.
constexpr std::size_t kRevisionAt = 8;
constexpr std::size_t kTypeAt = 12;
constexpr std::size_t kHardwareAt = 16;
constexpr std::size_t kVersionAt = 20;
constexpr std::size_t kLengthAt = 24;
constexpr std::size_t kBodyCrcAt = 28;
constexpr std::size_t kStampAt = 32;
constexpr std::size_t kTagAt = 40;
constexpr std::size_t kHeaderCrcAt = 80;

std::string Folded(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c != ' ') out.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  }
  return out;
}

std::chrono::year_month_day ToCalendar(const BuildDate& date) {
  return std::chrono::year_month_day{std::chrono::year{date.year},
                                     std::chrono::month{static_cast<unsigned>(date.month)},
                                     std::chrono::day{static_cast<unsigned>(date.day)}};
}

void StoreU64(std::uint8_t* bytes, std::uint64_t value) {
  StoreU32(bytes, static_cast<std::uint32_t>(value));
  StoreU32(bytes + 4, static_cast<std::uint32_t>(value >> 32));
}

std::uint64_t LoadU64(const std::uint8_t* bytes) {
  return LoadU32(bytes) | (static_cast<std::uint64_t>(LoadU32(bytes + 4)) << 32);
}

// The build stamp as the header revision encodes it; both revisions say the same day.
void StoreStamp(std::uint8_t* bytes, std::uint32_t revision, const BuildDate& date) {
  if (revision == 2) {
    auto days = std::chrono::sys_days(ToCalendar(date)).time_since_epoch().count();
    StoreU64(bytes, static_cast<std::uint64_t>(days) * 86400u);
    return;
  }
  StoreU32(bytes, static_cast<std::uint32_t>(date.year * 10000 + date.month * 100 + date.day));
  StoreU32(bytes + 4, 0);
}

std::optional<BuildDate> LoadStamp(const std::uint8_t* bytes, std::uint32_t revision) {
  BuildDate date;
  if (revision == 2) {
    auto days = static_cast<std::int64_t>(LoadU64(bytes) / 86400u);
    std::chrono::year_month_day ymd{std::chrono::sys_days{std::chrono::days{days}}};
    date = {static_cast<int>(ymd.year()), static_cast<int>(static_cast<unsigned>(ymd.month())),
            static_cast<int>(static_cast<unsigned>(ymd.day()))};
  } else {
    std::uint32_t packed = LoadU32(bytes);
    date = {static_cast<int>(packed / 10000), static_cast<int>(packed / 100 % 100),
            static_cast<int>(packed % 100)};
  }
  if (!ToCalendar(date).ok()) return {};
  return date;
}

}  // namespace

std::optional<std::uint64_t> ParseNumber(std::string_view text) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  std::uint64_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return {};
  return value;
}

std::optional<std::uint32_t> ParseU32(std::string_view text) {
  const auto value = ParseNumber(text);
  if (!value || *value > 0xFFFFFFFFu) return {};
  return static_cast<std::uint32_t>(*value);
}

std::uint32_t LoadU32(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

void StoreU32(std::uint8_t* bytes, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::string_view ImageTypeName(std::uint32_t type) {
  if (type < kFirstImageType || type > kLastImageType) return {};
  return kTypeNames[type - 1];
}

std::uint32_t ImageTypeFromName(std::string_view name) {
  if (auto number = ParseU32(name)) {
    return *number >= kFirstImageType && *number <= kLastImageType ? *number : 0;
  }
  std::string folded = Folded(name);
  for (std::uint32_t type = kFirstImageType; type <= kLastImageType; ++type) {
    if (Folded(kTypeNames[type - 1]) == folded) return type;
  }
  return 0;
}

std::string VersionText(std::uint32_t version) {
  return std::to_string(version >> 16) + "." + std::to_string(version & 0xFFFFu);
}

std::optional<std::uint32_t> ParseVersion(std::string_view text) {
  auto dot = text.find('.');
  if (dot == std::string_view::npos) return {};
  auto major = ParseU32(text.substr(0, dot));
  auto minor = ParseU32(text.substr(dot + 1));
  if (!major || !minor || *major > 0xFFFFu || *minor > 0xFFFFu) return {};
  return *major << 16 | *minor;
}

std::string DateText(const BuildDate& date) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", date.year, date.month, date.day);
  return text;
}

std::optional<BuildDate> ParseDate(std::string_view text) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return {};
  auto year = ParseU32(text.substr(0, 4));
  auto month = ParseU32(text.substr(5, 2));
  auto day = ParseU32(text.substr(8, 2));
  if (!year || !month || !day || *year < 1970) return {};
  BuildDate date{static_cast<int>(*year), static_cast<int>(*month), static_cast<int>(*day)};
  if (!ToCalendar(date).ok()) return {};
  return date;
}

std::uint32_t Crc32(std::uint32_t crc, std::span<const std::uint8_t> bytes) {
  // zlib takes at most an unsigned int per call; images stay far below that.
  return static_cast<std::uint32_t>(
      crc32(crc, bytes.data(), static_cast<unsigned int>(bytes.size())));
}

std::array<std::uint8_t, kHeaderSize> EncodeHeader(const ImageHeader& header) {
  std::array<std::uint8_t, kHeaderSize> bytes{};
  std::copy(kImageMagic.begin(), kImageMagic.end(), bytes.begin());
  StoreU32(&bytes[kRevisionAt], header.revision);
  StoreU32(&bytes[kTypeAt], header.type);
  StoreU32(&bytes[kHardwareAt], header.hardware);
  StoreU32(&bytes[kVersionAt], header.version);
  StoreU32(&bytes[kLengthAt], header.length);
  StoreU32(&bytes[kBodyCrcAt], header.bodyCrc);
  StoreStamp(&bytes[kStampAt], header.revision, header.date);
  std::memcpy(&bytes[kTagAt], header.tag.data(), std::min(header.tag.size(), kBuildTagSize));
  StoreU32(&bytes[kHeaderCrcAt], Crc32(0, std::span(bytes).first(kHeaderCrcAt)));
  return bytes;
}

std::optional<ImageHeader> DecodeHeader(std::span<const std::uint8_t> bytes, std::string* reason) {
  const auto refuse = [&](std::string why) -> std::optional<ImageHeader> {
    if (reason != nullptr) *reason = std::move(why);
    return std::nullopt;
  };
  if (bytes.size() < kHeaderSize) return refuse("shorter than the 512-byte image header");
  if (!std::equal(kImageMagic.begin(), kImageMagic.end(), bytes.begin())) {
    return refuse("no image header (no VXSIMIMG magic)");
  }
  if (LoadU32(&bytes[kHeaderCrcAt]) != Crc32(0, bytes.first(kHeaderCrcAt))) {
    return refuse("a damaged image header (its CRC does not match)");
  }
  ImageHeader header;
  header.revision = LoadU32(&bytes[kRevisionAt]);
  if (header.revision != 1 && header.revision != 2) {
    return refuse("an unknown header revision " + std::to_string(header.revision));
  }
  header.type = LoadU32(&bytes[kTypeAt]);
  header.hardware = LoadU32(&bytes[kHardwareAt]);
  header.version = LoadU32(&bytes[kVersionAt]);
  header.length = LoadU32(&bytes[kLengthAt]);
  header.bodyCrc = LoadU32(&bytes[kBodyCrcAt]);
  if (header.length < kHeaderSize) return refuse("an image length below 512 in its header");
  auto date = LoadStamp(&bytes[kStampAt], header.revision);
  if (!date) return refuse("an impossible build date in its header");
  header.date = *date;
  auto tag = bytes.subspan(kTagAt, kBuildTagSize);
  header.tag.assign(tag.begin(), std::find(tag.begin(), tag.end(), 0));
  return header;
}

std::vector<std::uint8_t> BuildImage(ImageHeader header) {
  header.length = std::max<std::uint32_t>(header.length, kHeaderSize);
  std::vector<std::uint8_t> image(header.length);
  // The body is a pseudo-random stream seeded by the fields that make the image what
  // it is, so that two versions of one image differ throughout.
  std::uint32_t seed[4] = {header.type, header.hardware, header.version,
                           static_cast<std::uint32_t>(header.date.year * 10000 +
                                                      header.date.month * 100 + header.date.day)};
  std::uint32_t state =
      Crc32(0, std::span(reinterpret_cast<const std::uint8_t*>(seed), sizeof seed)) | 1u;
  for (std::size_t i = kHeaderSize; i < image.size(); ++i) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    image[i] = static_cast<std::uint8_t>(state);
  }
  header.bodyCrc = Crc32(0, std::span(image).subspan(kHeaderSize));
  auto encoded = EncodeHeader(header);
  std::copy(encoded.begin(), encoded.end(), image.begin());
  return image;
}

void FillInfoRecord(std::span<std::uint8_t, kInfoRecordSize> record,
                    const std::optional<ImageHeader>& header, std::uint32_t type,
                    FlashState state) {
  std::fill(record.begin() + 4, record.end(), 0);
  StoreU32(&record[8], type);
  StoreU32(&record[36], static_cast<std::uint32_t>(state));
  if (!header) return;
  StoreU32(&record[4], header->revision);
  StoreU32(&record[8], header->type);
  StoreU32(&record[12], header->hardware);
  StoreU32(&record[16], header->version);
  StoreStamp(&record[20], header->revision, header->date);
  StoreU32(&record[28], header->length);
  StoreU32(&record[32], header->bodyCrc);
  std::memcpy(&record[52], header->tag.data(), std::min(header->tag.size(), kBuildTagSize));
}

}  // namespace sim
