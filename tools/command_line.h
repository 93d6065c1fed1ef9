// The command-line conventions that vxdevice and vxfleet share: exit statuses, --help,
// and how a line the parser refuses is reported.
#pragma once

#include <iostream>
#include <optional>
#include <string_view>

#include <CLI/CLI.hpp>

namespace tools {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// Parses argv into `app`.  Nothing when the tool goes on; otherwise the exit status of a
// run that ends here: the usage text on stdout for --help, or the parser's reason and a
// pointer to --help on stderr.
inline std::optional<int> ParseCommandLine(CLI::App& app, int argc, char** argv,
                                           std::string_view usage) {
  try {
    app.parse(argc, argv);
    return std::nullopt;
  } catch (const CLI::CallForHelp&) {
    std::cout << usage;
    return kExitOk;
  } catch (const CLI::ParseError& error) {
    std::cerr << app.get_name() << ": " << error.what() << "\nTry '" << app.get_name()
              << " --help'.\n";
    return kExitUsage;
  }
}

}  // namespace tools
