// Emits N long trace events, so that two of these running at once show torn lines.
#include <cstdlib>
#include <string>

#include "platform/platform.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::string padding(3000, 'x');
  for (int i = 0; i < std::atoi(argv[1]); ++i) {
    platform::TraceEvent("tick").Num("i", i).Str("pad", padding).Emit();
  }
  return 0;
}
