#include "fuzz/support.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <system_error>

#include "platform/platform.h"

namespace fuzz {

namespace fs = std::filesystem;

void Expect(bool condition, std::string_view what) {
  if (condition) return;
  std::fprintf(stderr, "fuzz: %.*s\n", static_cast<int>(what.size()), what.data());
  std::abort();
}

std::uint32_t LoadLe32(const std::uint8_t* bytes) {
  return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

const fs::path& MakeDevice(bool zlib, bool engine, const char* faults) {
  static fs::path root;
  // fuzz/run points TMPDIR into a scratch folder in memory, which also takes away what a
  // crashed target leaves.
  root = fs::temp_directory_path() / ("vxu-fuzz-" + std::to_string(std::random_device()()));
  Expect(fs::create_directory(root), "cannot make the device folder");
  // The confinement checks compare against the canonical root.
  root = fs::canonical(root);
  std::atexit([] {
    std::error_code ignored;
    fs::remove_all(root, ignored);
  });
  fs::create_directories(root / "Windows");
  if (zlib) fs::copy_file(VXU_HOST_ZLIB, root / "Windows" / "zlib.dll");
  if (engine) fs::copy_file(VXU_FUZZ_ENGINE, root / "VXUpdate.dll");
  setenv("VXU_DEVICE_ROOT", root.c_str(), 1);
  setenv("VXU_TIME_SCALE", "0", 1);
  unsetenv("VXU_TRACE");
  unsetenv("VXU_MSGBOX_ANSWERS");
  unsetenv("VXU_FAULTS");
  if (faults != nullptr) setenv("VXU_FAULTS", faults, 1);
  platform::Reconfigure();
  return root;
}

void WriteDeviceFile(const fs::path& relative, std::span<const std::uint8_t> bytes) {
  WriteDeviceFile(relative, std::string_view(reinterpret_cast<const char*>(bytes.data()),
                                             bytes.size()));
}

void WriteDeviceFile(const fs::path& relative, std::string_view text) {
  const fs::path file = fs::path(std::getenv("VXU_DEVICE_ROOT")) / relative;
  fs::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  out.close();
  Expect(out.good(), "cannot write a device file");
}

}  // namespace fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::Start();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::One(std::span(data, size));
  return 0;
}
