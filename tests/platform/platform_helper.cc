// Emits N long trace events, so that two of these running at once show torn lines; with
// "reset", a second thread writes such events without end while the first ends the
// process at once, as a device library's reset does.
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>

#include "platform/platform.h"

namespace {

void Tick(int i, std::size_t size = 3000) {
  platform::TraceEvent("tick").Num("i", i).Str("pad", std::string(size, 'x')).Emit();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  if (std::string_view(argv[1]) == "reset") {
    // Lines of many pages, so that the end very likely comes in the middle of one.
    std::thread([] {
      for (int i = 0;; ++i) Tick(i, 1 << 20);
    }).detach();
    for (int i = 0; i < 5; ++i) Tick(-i, 1 << 20);
    platform::EndProcessNow(101);
  }
  for (int i = 0; i < std::atoi(argv[1]); ++i) Tick(i);
  return 0;
}
