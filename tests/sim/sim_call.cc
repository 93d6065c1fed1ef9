// Calls one entry of a simulated device library in a process of its own, for the
// entries that end the process (CPU_Reset, a write cut short by a power loss).
//
//   sim_call LIBRARY reset HARDWARE        CPU_Reset(HARDWARE)
//   sim_call LIBRARY write TYPE FILE       WriteFirst/WriteNext/WriteLast of the image in
//                                          FILE, in chunks of 1024 bytes
//
// LIBRARY is a device path ("\VXUpdate.dll").  Exit status: what the library ends the
// process with, else 0 when every call answered 0, 1 when one did not, 2 on bad usage.
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace {

using WriteFirstFn = std::int32_t (*)(std::uint32_t, const std::uint8_t*, std::uint32_t,
                                      std::uint32_t*);
using WriteNextFn = std::int32_t (*)(const std::uint8_t*, std::uint32_t, std::uint32_t*);
using WriteLastFn = std::int32_t (*)();
using ResetFn = void (*)(std::int32_t);

template <typename Fn>
Fn Entry(platform::Module library, std::u16string_view name) {
  return reinterpret_cast<Fn>(platform::GetProcAddress(library, name));
}

int Write(platform::Module library, std::uint32_t type, const char* file) {
  std::ifstream in(file, std::ios::binary);
  std::vector<std::uint8_t> image((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
  auto first = Entry<WriteFirstFn>(library, u"VXUpdate_WriteFirst");
  auto next = Entry<WriteNextFn>(library, u"VXUpdate_WriteNext");
  auto last = Entry<WriteLastFn>(library, u"VXUpdate_WriteLast");
  if (first == nullptr || next == nullptr || last == nullptr || image.size() < 1024) return 2;
  std::uint32_t remaining = 0;
  if (first(type, image.data(), 1024, &remaining) != 0) return 1;
  std::size_t at = 1024;
  while (remaining != 0) {
    std::uint32_t count = remaining < 1024 ? remaining : 1024;
    if (next(image.data() + at, count, &remaining) != 0) return 1;
    at += count;
  }
  return last() == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return 2;
  platform::Module library = platform::LoadLibrary(platform::ToUtf16(argv[1]));
  if (library == platform::kNullModule) return 2;
  std::string_view command = argv[2];
  if (command == "reset") {
    auto reset = Entry<ResetFn>(library, u"CPU_Reset");
    if (reset == nullptr) return 2;
    reset(std::atoi(argv[3]));
    return 0;
  }
  if (command == "write" && argc == 5) {
    return Write(library, static_cast<std::uint32_t>(std::atoi(argv[3])), argv[4]);
  }
  return 2;
}
