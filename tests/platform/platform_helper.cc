// A small program that the platform tests run as a separate process:
//   trace N          emits N trace events
//   start APP [CMD]  starts the device program APP with command line CMD
//   args             prints its arguments, one per line
//   print            writes formatted console text and a debug line
//   exit CODE        ends through ExitProcess(CODE)
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/platform.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string_view mode = argv[1];
  if (mode == "trace" && argc == 3) {
    const int count = std::atoi(argv[2]);
    // Long lines make a torn write likely if lines were not written whole.
    const std::string padding(3000, 'x');
    for (int i = 0; i < count; ++i) {
      platform::TraceEvent("tick").Num("i", i).Str("pad", padding).Emit();
    }
    return 0;
  }
  if (mode == "start" && (argc == 3 || argc == 4)) {
    const std::u16string app = platform::ToUtf16(argv[2]);
    const std::u16string command = argc == 4 ? platform::ToUtf16(argv[3]) : u"";
    platform::ProcessInformation information;
    const bool ok =
        platform::CreateProcess(app, argc == 4 ? command.c_str() : nullptr, 0, &information);
    platform::Print(ok ? "started\n" : "failed\n");
    if (ok) {
      platform::CloseHandle(information.thread);
      platform::CloseHandle(information.process);
    }
    return 0;
  }
  if (mode == "args") {
    for (int i = 1; i < argc; ++i) platform::Printf("<%s>\n", argv[i]);
    return 0;
  }
  if (mode == "print") {
    platform::Printf("%s|%S|%d|%u|%%|%x\n", "abc", u"\u00e9t\u00e9", -5, 7u);
    platform::OutputDebugString(u"line \u00e9\r\n");
    return 0;
  }
  if (mode == "exit" && argc == 3) platform::ExitProcess(std::atoi(argv[2]));
  return 2;
}
