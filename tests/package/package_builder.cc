#include "tests/package/package_builder.h"

#include <zlib.h>

#include <algorithm>

namespace package_test {

std::vector<std::pair<std::uint32_t, std::uint32_t>> g_progress;

void RecordProgress(std::uint32_t total, std::uint32_t done) { g_progress.emplace_back(total, done); }

std::vector<std::uint8_t> Pattern(std::size_t length, std::uint8_t seed) {
  std::vector<std::uint8_t> bytes(length);
  for (std::size_t i = 0; i < length; ++i) {
    bytes[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 9));
  }
  return bytes;
}

std::uint32_t Crc32(const std::uint8_t* data, std::size_t length) {
  return static_cast<std::uint32_t>(::crc32(0, data, static_cast<uInt>(length)));
}

PackageBuilder::PackageBuilder(std::uint32_t headerLength) {
  header.magic = package::kMagic;
  header.headerLength = headerLength;
}

package::ImageEntry PackageBuilder::Append(std::size_t length, std::uint8_t seed) {
  const std::vector<std::uint8_t> bytes = Pattern(length, seed);
  const auto offset = static_cast<std::uint32_t>(package::kHeaderSize + body.size());
  body.insert(body.end(), bytes.begin(), bytes.end());
  return {offset, static_cast<std::uint32_t>(length)};
}

void PackageBuilder::AddEngine(const std::vector<std::uint8_t>& engine) {
  header.engineOffset = static_cast<std::uint32_t>(package::kHeaderSize + body.size());
  header.engineLength = static_cast<std::uint32_t>(engine.size());
  header.engineCrc = Crc32(engine.data(), engine.size());
  body.insert(body.end(), engine.begin(), engine.end());
}

void PackageBuilder::Seal() {
  // Whatever the entries do not cover, header tail included, is the extra item.
  header.extraLength = 0;
  const std::uint32_t counted = package::ExpectedPayloadSize(header);
  const auto payloadEnd = static_cast<std::uint32_t>(package::kHeaderSize + body.size());
  const std::uint32_t start = std::min(header.headerLength, payloadEnd);
  header.extraLength = payloadEnd - start - counted;
  header.payloadSize = payloadEnd - start;
  header.payloadCrc = 0;
  std::vector<std::uint8_t> bytes = Bytes();
  header.payloadCrc = Crc32(bytes.data() + start, header.payloadSize);
}

std::vector<std::uint8_t> PackageBuilder::Bytes() const {
  const auto encoded = package::EncodeHeader(header);
  std::vector<std::uint8_t> bytes(encoded.begin(), encoded.end());
  bytes.insert(bytes.end(), body.begin(), body.end());
  return bytes;
}

void PackageBuilder::WriteTo(const std::filesystem::path& file) const {
  testing_support::WriteBytes(file, Bytes());
}

Device::Device(std::optional<std::string> faults) {
  env_ = std::make_unique<testing_support::ScopedEnv>(
      std::initializer_list<std::pair<std::string, std::optional<std::string>>>{
          {"VXU_DEVICE_ROOT", dir_.path().string()},
          {"VXU_TRACE", Trace().string()},
          {"VXU_FAULTS", faults},
          {"VXU_TIME_SCALE", "0"},
      });
  g_progress.clear();
}

package::PackageHandle Device::Open(const PackageBuilder& builder) {
  builder.WriteTo(dir_ / "VXUpdate.bin");
  package::PackageHandle handle = package::PackageOpen(kPackagePath);
  EXPECT_NE(handle, package::InvalidPackageHandle()) << "the test package did not open";
  return handle;
}

}  // namespace package_test
