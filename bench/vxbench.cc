// Benchmarks of the updater's byte loops, each beside a plain baseline doing the same byte
// work, so that bench/run can report their ratio:
//
//   CrcPass/{Updater,PlainLoop}     PackageValidate with the CRC pass, against fread in
//                                   1 MiB chunks and zlib's crc32 over the same payload
//   WriteImage/{Updater,PlainRead}  PackageWriteImage into a library that discards the
//                                   bytes, against reading the image in 1 MiB chunks
//   LabelScan/{Updater,Memchr}      FindUpdaterLabel over a file in memory, against a scan
//                                   that lets memchr find the candidates
//   Signature/Updater               PackageCheckSignature over the whole package (bench/run
//                                   times sha512sum of the same file as its baseline)
//
// The device is named by VXU_DEVICE_ROOT as for the updater: it holds \Windows\zlib.dll,
// \VXUpdate.dll (the discarding library) and \Storage Card\VXUpdate.bin, whose WinCE entry
// is the image written.  VXBENCH_LABEL_FILE names the file scanned for a label;
// VXBENCH_KEY_FILE the public key that signed the package (VXUpdate.bin.sig), its 32 raw
// bytes as the device holds them.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "binding/binding.h"
#include "control/control.h"
#include "package/package.h"
#include "platform/platform.h"

namespace {

constexpr std::size_t kChunk = 1u << 20;
constexpr std::u16string_view kPackagePath = u"\\Storage Card\\VXUpdate.bin";
constexpr std::uint32_t kWrittenType = static_cast<std::uint32_t>(package::ImageType::kWinCE);

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Opened unbuffered, so that every 1 MiB fread is one read of the file and nothing is
// copied through a stdio buffer.
File OpenPlain(const std::string& path) {
  File file(std::fopen(path.c_str(), "rb"));
  if (file) std::setvbuf(file.get(), nullptr, _IONBF, 0);
  return file;
}

std::string HostPackagePath() {
  return platform::MapDevicePath(kPackagePath).value_or(std::string());
}

std::optional<package::PackageHeader> ReadHeader(const std::string& path) {
  File file = OpenPlain(path);
  std::array<std::uint8_t, package::kHeaderSize> bytes{};
  if (!file || std::fread(bytes.data(), 1, bytes.size(), file.get()) != bytes.size()) return {};
  return package::DecodeHeader(bytes);
}

// The device's package opened for the plain baselines, with its header; nothing, and the
// benchmark skipped, when the device holds no package.
struct PlainPackage {
  package::PackageHeader header;
  File file;
};
std::optional<PlainPackage> OpenPlainPackage(benchmark::State& state) {
  const std::string path = HostPackagePath();
  auto header = ReadHeader(path);
  File file = OpenPlain(path);
  if (!header || !file) {
    state.SkipWithError("no package in the device named by VXU_DEVICE_ROOT");
    return std::nullopt;
  }
  return PlainPackage{*header, std::move(file)};
}

// The progress printer stands in here as a callback that only counts its calls.
std::uint32_t g_progressCalls = 0;
void CountProgress(std::uint32_t /*total*/, std::uint32_t /*done*/) { ++g_progressCalls; }

// Reads `length` bytes from `offset` in 1 MiB chunks, feeding each to `consume`; false when
// the file ends early.
template <typename Consume>
bool ReadChunks(std::FILE* file, long offset, std::uint64_t length, std::uint8_t* buffer,
                Consume consume) {
  if (std::fseek(file, offset, SEEK_SET) != 0) return false;
  while (length > 0) {
    const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(length, kChunk));
    const std::size_t got = std::fread(buffer, 1, wanted, file);
    if (got != wanted) return false;
    consume(buffer, got);
    length -= got;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Row 1: the CRC pass of the integrity check

void CrcPassUpdater(benchmark::State& state) {
  package::PackageHandle handle = package::PackageOpen(kPackagePath);
  if (handle == package::InvalidPackageHandle()) {
    state.SkipWithError("no package in the device named by VXU_DEVICE_ROOT");
    return;
  }
  const std::uint32_t payload = package::DecodeHeader(handle->header).payloadSize;
  for (auto _ : state) {
    const package::ValidateResult result = package::PackageValidate(handle, 1, CountProgress);
    if (result != package::ValidateResult::kValid) {
      state.SkipWithError("PackageValidate did not answer 0 (is zlib.dll on the device?)");
      break;
    }
  }
  package::PackageClose(handle);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * payload);
}

void CrcPassPlainLoop(benchmark::State& state) {
  auto plain = OpenPlainPackage(state);
  if (!plain) return;
  const package::PackageHeader* header = &plain->header;
  File& file = plain->file;
  std::vector<std::uint8_t> buffer(kChunk);
  for (auto _ : state) {
    uLong crc = crc32(0, nullptr, 0);
    const bool whole = ReadChunks(file.get(), header->headerLength, header->payloadSize,
                                  buffer.data(), [&](const std::uint8_t* data, std::size_t count) {
                                    crc = crc32(crc, data, static_cast<uInt>(count));
                                  });
    if (!whole || crc != header->payloadCrc) {
      state.SkipWithError("the plain loop did not find the payload CRC");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * header->payloadSize);
}

// ---------------------------------------------------------------------------
// Row 2: the image writer

void WriteImageUpdater(benchmark::State& state) {
  package::PackageHandle handle = package::PackageOpen(kPackagePath);
  if (handle == package::InvalidPackageHandle() ||
      !binding::SwitchLibrary(binding::kEngineLibrary)) {
    if (handle != package::InvalidPackageHandle()) package::PackageClose(handle);
    state.SkipWithError("no package or no \\VXUpdate.dll in the device");
    return;
  }
  const std::uint32_t length = package::DecodeHeader(handle->header).wince.length;
  for (auto _ : state) {
    const std::int32_t result = package::PackageWriteImage(handle, kWrittenType, CountProgress);
    if (result != package::kImageOk) {
      state.SkipWithError("PackageWriteImage did not answer 0");
      break;
    }
  }
  binding::ReleaseLibrary();
  package::PackageClose(handle);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * length);
}

void WriteImagePlainRead(benchmark::State& state) {
  auto plain = OpenPlainPackage(state);
  if (!plain) return;
  const package::PackageHeader* header = &plain->header;
  File& file = plain->file;
  std::vector<std::uint8_t> buffer(kChunk);
  for (auto _ : state) {
    const bool whole = ReadChunks(file.get(), header->wince.offset, header->wince.length,
                                  buffer.data(), [](const std::uint8_t* data, std::size_t) {
                                    benchmark::DoNotOptimize(data);
                                  });
    if (!whole) {
      state.SkipWithError("the package ends inside its WinCE image");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * header->wince.length);
}

// ---------------------------------------------------------------------------
// Row 5: the label scan

const std::vector<std::uint8_t>& LabelFile() {
  static const std::vector<std::uint8_t> bytes = [] {
    std::vector<std::uint8_t> data;
    const char* path = std::getenv("VXBENCH_LABEL_FILE");
    File file = path != nullptr ? OpenPlain(path) : File();
    if (!file) return data;
    std::vector<std::uint8_t> chunk(kChunk);
    for (std::size_t got; (got = std::fread(chunk.data(), 1, chunk.size(), file.get())) > 0;) {
      data.insert(data.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(got));
    }
    return data;
  }();
  return bytes;
}

// The same acceptance rule as the updater's scan, with memchr finding each "V".
std::optional<std::size_t> MemchrScan(std::span<const std::uint8_t> file) {
  static constexpr std::string_view kMarker = "VXUPDLABEL";
  static constexpr std::string_view kReversed = "LEBALDPUXV";
  if (file.size() < control::kLabelSize) return std::nullopt;
  const std::uint8_t* const begin = file.data();
  const std::uint8_t* const last = begin + (file.size() - control::kLabelSize);
  for (const std::uint8_t* at = begin; at <= last; ++at) {
    at = static_cast<const std::uint8_t*>(
        std::memchr(at, kMarker[0], static_cast<std::size_t>(last - at) + 1));
    if (at == nullptr) return std::nullopt;
    if (std::memcmp(at, kMarker.data(), kMarker.size()) == 0 && at[kMarker.size()] == 0 &&
        std::memcmp(at + 16, kReversed.data(), kReversed.size()) == 0 &&
        at[16 + kReversed.size()] == 0) {
      return static_cast<std::size_t>(at - begin);
    }
  }
  return std::nullopt;
}

template <std::optional<std::size_t> (*Scan)(std::span<const std::uint8_t>)>
void LabelScan(benchmark::State& state) {
  const std::vector<std::uint8_t>& file = LabelFile();
  if (file.empty()) {
    state.SkipWithError("VXBENCH_LABEL_FILE names no readable file");
    return;
  }
  // Both scans must find the same label; a scan that stops early would look fast.
  const std::optional<std::size_t> expected = MemchrScan(file);
  for (auto _ : state) {
    const std::optional<std::size_t> found = Scan(file);
    if (found != expected || !found) {
      state.SkipWithError("the scans disagree, or the file holds no label");
      break;
    }
    benchmark::DoNotOptimize(found);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * file.size()));
}

}  // namespace

// ---------------------------------------------------------------------------
// Row 6: the signature check

void SignatureUpdater(benchmark::State& state) {
  package::DeviceKey key{.present = true, .type = platform::kRegBinary,
                         .size = package::kDeviceKeySize};
  const char* keyPath = std::getenv("VXBENCH_KEY_FILE");
  File keyFile = keyPath != nullptr ? OpenPlain(keyPath) : File();
  const package::PackageHandle handle = package::PackageOpen(kPackagePath);
  if (!keyFile ||
      std::fread(key.bytes.data(), 1, key.size, keyFile.get()) != package::kDeviceKeySize ||
      handle == package::InvalidPackageHandle()) {
    if (handle != package::InvalidPackageHandle()) package::PackageClose(handle);
    state.SkipWithError("no package or no VXBENCH_KEY_FILE");
    return;
  }
  for (auto _ : state) {
    if (package::PackageCheckSignature(handle, kPackagePath, key) != package::SignatureResult::kValid) {
      state.SkipWithError("the package's signature does not verify");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          platform::GetFileSize(handle->file, nullptr));
  package::PackageClose(handle);
}

BENCHMARK(CrcPassUpdater)->Name("CrcPass/Updater")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(CrcPassPlainLoop)->Name("CrcPass/PlainLoop")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(WriteImageUpdater)->Name("WriteImage/Updater")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(WriteImagePlainRead)->Name("WriteImage/PlainRead")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(LabelScan<control::FindUpdaterLabel>)->Name("LabelScan/Updater")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(LabelScan<MemchrScan>)->Name("LabelScan/Memchr")->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK(SignatureUpdater)->Name("Signature/Updater")->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
