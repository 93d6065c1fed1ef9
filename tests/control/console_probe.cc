// control_console_probe: runs one console-writing operation of the updater.
//   banner [ARG...]    options from the device registry, the command line ARG..., banner
//   progress T D ...   PrintProgress(T, D) for each pair, a "|" after every call
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "control/control.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string_view mode = argv[1];
  if (mode == "banner") {
    const std::u16string commandLine = platform::CommandLineFromArguments(argc - 1, argv + 1);
    control::UpdateOptions options;
    control::ReadUpdateOptions(&options);
    control::ApplyCommandLine(commandLine.c_str(), &options);
    control::PrintBanner(options);
    return 0;
  }
  if (mode == "progress") {
    for (int k = 2; k + 1 < argc; k += 2) {
      control::PrintProgress(static_cast<std::uint32_t>(std::strtoul(argv[k], nullptr, 10)),
                             static_cast<std::uint32_t>(std::strtoul(argv[k + 1], nullptr, 10)));
      platform::Print("|");
    }
    return 0;
  }
  return 2;
}
