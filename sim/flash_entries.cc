// The flash entries of the update engine VXUpdate.dll: image checks, image information,
// formatting and the three-call image write.
#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "platform/platform.h"
#include "sim/device_state.h"
#include "sim/entries.h"

namespace sim {
namespace {

// The one image being written in this run.
struct FlashWrite {
  FlashFileHandle file;
  std::filesystem::path root;
  std::uint32_t type = 0;
  std::uint32_t remaining = 0;
};

FlashWrite& CurrentWrite() {
  static FlashWrite write;
  return write;
}

// Image bytes written in this run, and the count after which the power fails
// (VXSIM_CRASH_AFTER_BYTES), so that a test can stop a write half-way from outside.
std::uint64_t& BytesWritten() {
  static std::uint64_t count = 0;
  return count;
}

std::optional<std::uint64_t> PowerLossAfter() {
  const char* text = std::getenv("VXSIM_CRASH_AFTER_BYTES");
  if (text == nullptr || *text == '\0') return {};
  std::uint64_t limit = 0;
  auto [end, error] = std::from_chars(text, text + std::strlen(text), limit);
  if (error != std::errc() || *end != '\0') return {};
  return limit;
}

// Whether a test asked, through VXSIM_FAIL (entry names separated by commas), for `entry`
// to fail as worn-out flash would: the entry then does nothing and answers its failure.
bool FailsOnPurpose(std::string_view entry) {
  const char* text = std::getenv("VXSIM_FAIL");
  std::string_view names = text == nullptr ? std::string_view() : std::string_view(text);
  while (!names.empty()) {
    const std::size_t comma = names.find(',');
    if (names.substr(0, comma) == entry) return true;
    if (comma == std::string_view::npos) break;
    names.remove_prefix(comma + 1);
  }
  return false;
}

// Writes image bytes to the partial file; when the power-loss count is reached the
// process ends there, with exactly that many bytes in flash.
bool WriteImageBytes(std::span<const std::uint8_t> bytes) {
  auto limit = PowerLossAfter();
  if (limit && BytesWritten() + bytes.size() >= *limit) {
    auto part = static_cast<std::size_t>(*limit - std::min(*limit, BytesWritten()));
    AppendFlash(CurrentWrite().file.get(), bytes.first(part));
    TraceCall("power_loss", static_cast<std::int64_t>(*limit), {});
    platform::EndProcessNow(102);
  }
  BytesWritten() += bytes.size();
  return AppendFlash(CurrentWrite().file.get(), bytes);
}

// Whether the first bytes of an image suit this device: 0, or why not.
std::int32_t JudgeImage(std::uint32_t type, const std::uint8_t* data, std::uint32_t size,
                        std::optional<ImageHeader>* header) {
  std::string error;
  auto settings = ReadSettings(Root(), &error);
  if (!settings) {
    DebugLine(error);
    return kResultNoSettings;
  }
  if (data == nullptr) return kResultNotAnImage;
  *header = DecodeHeader(std::span(data, size));
  if (!*header) return kResultNotAnImage;
  if ((*header)->type != type) return kResultWrongType;
  if ((*header)->hardware != settings->hardware) return kResultWrongHardware;
  return kResultOk;
}

// Drops a write that never reached its last call; its partial file stays behind and
// reads back as damaged.
void AbandonWrite() { CurrentWrite() = FlashWrite{}; }

bool RecordOffered(const std::uint8_t* record) {
  return record != nullptr && LoadU32(record) == kInfoRecordSize;
}

}  // namespace

const char kLibraryName[] = "VXUpdate.dll";

}  // namespace sim

VXSIM_ENTRY std::int32_t VXUpdate_LowLevelFormat() {
  sim::AbandonWrite();
  const bool erased =
      !sim::FailsOnPurpose("VXUpdate_LowLevelFormat") && sim::EraseFlash(sim::Root());
  std::int32_t result = erased ? sim::kResultOk : sim::kResultFlashFailed;
  sim::TraceCall("VXUpdate_LowLevelFormat", {}, result);
  return result;
}

VXSIM_ENTRY std::int32_t VXUpdate_CheckImageType(std::uint32_t type, const std::uint8_t* data,
                                                 std::uint32_t size) {
  std::optional<sim::ImageHeader> header;
  std::int32_t result = sim::JudgeImage(type, data, size, &header);
  sim::TraceCall("VXUpdate_CheckImageType", type, result);
  return result;
}

VXSIM_ENTRY std::int32_t VXUpdate_WriteFirst(std::uint32_t type, const std::uint8_t* data,
                                             std::uint32_t count, std::uint32_t* remaining) {
  std::optional<sim::ImageHeader> header;
  std::int32_t result = sim::JudgeImage(type, data, count, &header);
  if (result == sim::kResultOk && remaining == nullptr) result = sim::kResultNotAnImage;
  if (result == sim::kResultOk) {
    sim::AbandonWrite();
    sim::FlashWrite& write = sim::CurrentWrite();
    write.root = sim::Root();
    write.type = type;
    write.file = sim::BeginFlashWrite(write.root, type);
    // The first chunk may run past the image into whatever follows it in the package;
    // only the image's own bytes go to flash.
    std::uint32_t keep = std::min(count, header->length);
    if (!write.file || !sim::WriteImageBytes(std::span(data, keep))) {
      sim::AbandonWrite();
      result = sim::kResultFlashFailed;
    } else {
      write.remaining = header->length - keep;
      *remaining = write.remaining;
    }
  }
  sim::TraceCall("VXUpdate_WriteFirst", type, result);
  return result;
}

VXSIM_ENTRY std::int32_t VXUpdate_WriteNext(const std::uint8_t* data, std::uint32_t count,
                                            std::uint32_t* remaining) {
  sim::FlashWrite& write = sim::CurrentWrite();
  std::int32_t result = sim::kResultOk;
  if (!write.file) {
    result = sim::kResultNoWriteInProgress;
  } else if ((data == nullptr && count != 0) || remaining == nullptr) {
    result = sim::kResultNotAnImage;
  } else {
    // More bytes than the image still needs belong to something else: they are not
    // written over the end of the image.
    std::uint32_t keep = std::min(count, write.remaining);
    if (keep != 0 && !sim::WriteImageBytes(std::span(data, keep))) {
      sim::AbandonWrite();
      result = sim::kResultFlashFailed;
    } else {
      write.remaining -= keep;
      *remaining = write.remaining;
    }
  }
  sim::TraceCall("VXUpdate_WriteNext", count, result);
  return result;
}

VXSIM_ENTRY std::int32_t VXUpdate_WriteLast() {
  sim::FlashWrite& write = sim::CurrentWrite();
  std::int32_t result = sim::kResultOk;
  if (!write.file) {
    result = sim::kResultNoWriteInProgress;
  } else if (write.remaining != 0) {
    sim::AbandonWrite();
    result = sim::kResultImageIncomplete;
  } else {
    bool ok = sim::CompleteFlashWrite(std::move(write.file), write.root, write.type);
    sim::AbandonWrite();
    result = ok ? sim::kResultOk : sim::kResultFlashFailed;
  }
  sim::TraceCall("VXUpdate_WriteLast", {}, result);
  return result;
}

VXSIM_ENTRY std::int32_t VXUpdate_CheckCRC(std::uint32_t type) {
  sim::FlashImage image = sim::ReadFlashSlot(sim::Root(), type);
  std::int32_t result = image.bodyCrcOk ? sim::kResultOk : sim::kResultCrcMismatch;
  sim::TraceCall("VXUpdate_CheckCRC", type, result);
  return result;
}

VXSIM_ENTRY std::int32_t GetImageInfo(std::uint8_t* record, std::uint32_t type) {
  std::int32_t result = 0;
  if (sim::RecordOffered(record) && !sim::ImageTypeName(type).empty() &&
      !sim::FailsOnPurpose("GetImageInfo")) {
    // An empty or damaged slot is described, not refused: its record differs from
    // every package image, so the updater writes the image instead of failing.
    // The record holds header fields and the slot's state only: the body is not read.
    sim::FlashImage image = sim::ReadFlashHeader(sim::Root(), type);
    sim::FillInfoRecord(std::span<std::uint8_t, sim::kInfoRecordSize>(record, sim::kInfoRecordSize),
                        image.header, type, image.state);
    result = 1;
  }
  sim::TraceCall("GetImageInfo", type, result);
  return result;
}

VXSIM_ENTRY std::int32_t GetImageInfoFromBuffer(std::uint8_t* record, const std::uint8_t* data,
                                                std::uint32_t size) {
  std::int32_t result = 0;
  if (sim::RecordOffered(record) && data != nullptr) {
    auto header = sim::DecodeHeader(std::span(data, size));
    if (header) {
      sim::FillInfoRecord(
          std::span<std::uint8_t, sim::kInfoRecordSize>(record, sim::kInfoRecordSize), header,
          header->type, sim::FlashState::kComplete);
      result = 1;
    }
  }
  sim::TraceCall("GetImageInfoFromBuffer", size, result);
  return result;
}
