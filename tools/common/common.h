// What the host tools share: exit statuses, the command-line parse and --help, and how
// JSON is printed.
#ifndef TOOLS_COMMON_COMMON_H_
#define TOOLS_COMMON_COMMON_H_

#include <iostream>
#include <optional>
#include <string>
#include <string_view>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

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

// One line of UTF-8; bytes that are not UTF-8 (a file name, a console line) are
// replaced rather than refused.
inline std::string JsonText(const nlohmann::ordered_json& value) {
  return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace tools

#endif  // TOOLS_COMMON_COMMON_H_
