#include "fuzz/support.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <system_error>

#include "platform/platform.h"

namespace fuzz {
namespace {

std::filesystem::path& Root() {
  static std::filesystem::path root;
  return root;
}

void RemoveRoot() {
  std::error_code ignored;
  if (!Root().empty()) std::filesystem::remove_all(Root(), ignored);
}

void Copy(const std::filesystem::path& from, const std::filesystem::path& to) {
  std::error_code error;
  std::filesystem::create_directories(to.parent_path(), error);
  if (!std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing,
                                  error)) {
    Fail("cannot copy " + from.string() + " into the device: " + error.message());
  }
}

}  // namespace

void Fail(std::string_view what) {
  std::fprintf(stderr, "fuzz: %.*s\n", static_cast<int>(what.size()), what.data());
  std::abort();
}

std::uint32_t LoadLe32(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

const std::filesystem::path& MakeDevice(const DeviceOptions& options) {
  std::error_code error;
  // Every iteration rewrites a device file; on a disk file system replacing a file's
  // contents can wait for the disk, so a memory file system is preferred when there is one
  // and TMPDIR does not name a place (fuzz/run points it into its scratch folder, which
  // also takes away what a crashed target leaves).
  const char* tmpdir = std::getenv("TMPDIR");
  auto temp = std::filesystem::path("/dev/shm");
  if ((tmpdir != nullptr && *tmpdir != '\0') || !std::filesystem::is_directory(temp, error)) {
    temp = std::filesystem::temp_directory_path(error);
    if (error) Fail("no temporary folder: " + error.message());
  }
  std::random_device random;
  for (int attempt = 0; attempt < 16 && Root().empty(); ++attempt) {
    const auto candidate = temp / ("vxu-fuzz-" + std::to_string(random()));
    if (std::filesystem::create_directory(candidate, error)) Root() = candidate;
  }
  if (Root().empty()) Fail("cannot make a device folder");
  // The containment checks compare against the canonical root, so no link may stand
  // in its own path (a /tmp that is a link, say).
  Root() = std::filesystem::canonical(Root(), error);
  if (error) Fail("cannot resolve the device folder: " + error.message());
  std::atexit(RemoveRoot);

  if (options.zlib) Copy(VXU_HOST_ZLIB, Root() / "Windows" / "zlib.dll");
  if (options.engine) Copy(VXU_FUZZ_ENGINE, Root() / "VXUpdate.dll");
  setenv("VXU_DEVICE_ROOT", Root().c_str(), 1);
  setenv("VXU_TIME_SCALE", "0", 1);
  unsetenv("VXU_TRACE");
  unsetenv("VXU_MSGBOX_ANSWERS");
  if (options.faults.empty()) {
    unsetenv("VXU_FAULTS");
  } else {
    setenv("VXU_FAULTS", std::string(options.faults).c_str(), 1);
  }
  platform::Reconfigure();
  return Root();
}

void WriteDeviceFile(const std::filesystem::path& relative, std::span<const std::uint8_t> bytes) {
  const auto file = Root() / relative;
  std::error_code error;
  std::filesystem::create_directories(file.parent_path(), error);
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) Fail("cannot write " + file.string());
}

void WriteDeviceFile(const std::filesystem::path& relative, std::string_view text) {
  WriteDeviceFile(relative, std::span(reinterpret_cast<const std::uint8_t*>(text.data()),
                                      text.size()));
}

}  // namespace fuzz
