// One command-line style for every tool: the help layout, --help, --version, `help`,
// and usage mistakes in the tools' own words instead of the parser's.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <new>
#include <set>
#include <sstream>

#include "tools/common/common.h"

namespace tools {
namespace {

// The --version flags, which the help of every command leaves to the tool's own help.
std::set<const CLI::Option*>& VersionFlags() {
  static std::set<const CLI::Option*> flags;
  return flags;
}

std::string& NameOfTool() {
  static std::string name = "tool";
  return name;
}

// "vxpack build": the names from the tool down to `app`.
std::string CommandPath(const CLI::App* app) {
  std::string path = app->get_name();
  for (const CLI::App* up = app->get_parent(); up != nullptr; up = up->get_parent()) {
    path = up->get_name() + " " + path;
  }
  return path;
}

// The command the parse reached: the tool, or the deepest command named.
CLI::App* Reached(CLI::App& app) {
  CLI::App* reached = &app;
  for (bool deeper = true; deeper;) {
    deeper = false;
    for (CLI::App* sub : reached->get_subcommands()) {
      if (sub->parsed()) {
        reached = sub;
        deeper = true;
        break;
      }
    }
  }
  return reached;
}

bool Equal(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  });
}

std::vector<std::string> CommandNames(const CLI::App& app) {
  std::vector<std::string> names;
  for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; })) {
    names.push_back(sub->get_name());
  }
  return names;
}

std::string Listed(const std::vector<std::string>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    out += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + names[i];
  }
  return out;
}

// The help of `app` itself: the library's help() would show a command named on the
// command line instead.
std::string HelpOf(const CLI::App& app, CLI::AppFormatMode mode = CLI::AppFormatMode::Normal) {
  return app.get_formatter()->make_help(&app, "", mode);
}

// Usage line, description, arguments, options, commands, footer; for --help-all the
// help of every command follows.
class HelpLayout : public CLI::Formatter {
 public:
  HelpLayout() {
    column_width(26);
    label("Positionals", "Arguments");
  }

  std::string make_help(const CLI::App* app, std::string, CLI::AppFormatMode mode) const override {
    std::string out = make_usage(app, "") + app->get_description() + "\n";
    out += make_positionals(app) + make_groups(app, CLI::AppFormatMode::Normal) +
           make_subcommands(app, CLI::AppFormatMode::Normal);
    if (!app->get_footer().empty()) out += "\n" + app->get_footer() + "\n";
    if (mode != CLI::AppFormatMode::All) return out;
    for (const CLI::App* sub : app->get_subcommands([](const CLI::App*) { return true; })) {
      if (sub->get_name() != "help") out += Section(sub);
    }
    return out;
  }

  // One command in the help of every command: its usage as a heading (a line that ends
  // in a colon, as the manual page maker reads it), then its description, arguments,
  // options and notes; --help and --version are the tool's.
  std::string Section(const CLI::App* sub) const {
    std::string usage = make_usage(sub, "");
    usage = usage.substr(usage.find(' ') + 1);
    std::string out =
        "\n" + usage.substr(0, usage.size() - 1) + ":\n  " + sub->get_description() + "\n\n";
    for (const CLI::Option* opt : sub->get_options()) {
      if (opt != sub->get_help_ptr() && !VersionFlags().contains(opt))
        out += make_option(opt, opt->get_positional());
    }
    const std::string notes = sub->get_footer().substr(0, sub->get_footer().find("Exit status:"));
    return out + (notes.empty() ? "" : "\n" + notes);
  }

  std::string make_usage(const CLI::App* app, std::string) const override {
    std::string out = "Usage: " + CommandPath(app);
    if (!CommandNames(*app).empty()) out += " COMMAND";
    out += " [OPTIONS]";
    for (const CLI::Option* opt :
         app->get_options([](const CLI::Option* o) { return o->get_positional(); })) {
      out += " " + make_option_usage(opt);
    }
    return out + "\n";
  }

  std::string make_option_name(const CLI::Option* opt, bool positional) const override {
    if (positional) return opt->get_name(true, false);
    std::string names = opt->get_name(false, true);
    for (std::size_t at = names.find(','); at != std::string::npos; at = names.find(',', at + 2)) {
      names.insert(at + 1, " ");
    }
    return names;
  }

  std::string make_option_opts(const CLI::Option* opt) const override {
    const bool named =
        !opt->get_positional() && opt->get_type_size() != 0 && !opt->get_type_name().empty();
    return named ? " " + opt->get_type_name() : "";
  }
};

// A parse error of the library, said as the tools say it.
int Mistake(CLI::App& app, const CLI::ParseError& error) {
  CLI::App* command = Reached(app);
  const std::string what = error.what();
  const auto before = [&](std::string_view separator) {
    return what.substr(0, what.find(separator));
  };
  if (dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr) {
    // "The following arguments were not expected: a b"
    std::string first = what.substr(std::min(what.find(": ") + 2, what.size()));
    first = first.substr(0, first.find(' '));
    return Usage(*command, first,
                 first.starts_with("-") ? "unknown option" : "unexpected argument");
  }
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&error) != nullptr) {
    const bool repeated =
        what.find("At Most") != std::string::npos || what.find("At most") != std::string::npos;
    return Usage(*command, before(": "), repeated ? "given more than once" : "needs a value");
  }
  if (dynamic_cast<const CLI::RequiredError*>(&error) != nullptr)
    return Usage(*command, before(" is required"), "missing");
  return Usage(*command, "", what);
}

}  // namespace

std::string_view Version() { return VXU_TOOLS_VERSION; }

std::string_view ToolName() { return NameOfTool(); }

void SetUpHelp(CLI::App& app, std::string_view footer, bool versionFlag) {
  if (app.get_parent() == nullptr) NameOfTool() = app.get_name();
  app.formatter(std::make_shared<HelpLayout>());
  app.set_help_flag("-h,--help", "print this help and exit");
  if (versionFlag) {
    VersionFlags().insert(app.set_version_flag(
        "--version", NameOfTool() + " " + std::string(Version()), "print the version and exit"));
  }
  std::string text(footer);
  if (!text.empty()) text += "\n\n";
  app.footer(text + "Exit status: 0 done, 1 failure, 2 usage mistake.");
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::Throw);
}

// At the end of every tool: what it printed must have reached standard output, or the
// tool fails however it ended (a full disk under a redirection, a closed file).
void CheckStandardOutput() {
  if (StandardOutputFailureSaid()) return;
  errno = 0;
  std::cout.flush();
  const bool failed = !std::cout || std::ferror(stdout) != 0;
  const int writeError = errno;
  errno = 0;
  if (std::fflush(stdout) == 0 && !failed) return;
  const int error = errno != 0 ? errno : writeError != 0 ? writeError : EIO;
  const std::string line = NameOfTool() + ": standard output: " + SystemReason(error) + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::_Exit(kExitFailed);
}

bool& StandardOutputFailureSaid() {
  static bool said = false;
  return said;
}

std::optional<int> ParseCommandLine(CLI::App& app, int argc, char** argv) {
  NameOfTool() = app.get_name();
  std::atexit(CheckStandardOutput);
  const std::vector<std::string> commands = CommandNames(app);
  std::string helpTopic;
  if (!commands.empty()) {
    for (CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; }))
      sub->group("Commands");
    CLI::App* help = app.add_subcommand("help", "print the help of the tool, or of COMMAND");
    help->group("Commands");
    SetUpHelp(*help);
    help->add_option("COMMAND", helpTopic, "a command");
    app.set_help_all_flag("--help-all", "print the help of every command and exit");
    app.require_subcommand(1);
    // The library would call a misspelt command a missing one.
    const std::string_view first = argc > 1 ? argv[1] : "";
    if (argc < 2) return Usage(app, "", "a command is needed: " + Listed(CommandNames(app)));
    if (!first.starts_with("-") &&
        std::none_of(commands.begin(), commands.end(),
                     [&](const std::string& c) { return c == first; }) &&
        first != "help") {
      return Usage(app, first, "unknown command; the commands are " + Listed(CommandNames(app)));
    }
    if (first.starts_with("-") && first != "-h" && first != "--help" && first != "--version" &&
        first != "--help-all") {
      return Usage(app, first, "unknown option");
    }
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::cout << HelpOf(*Reached(app));
    return kExitOk;
  } catch (const CLI::CallForAllHelp&) {
    std::cout << HelpOf(app, CLI::AppFormatMode::All);
    return kExitOk;
  } catch (const CLI::CallForVersion& version) {
    std::cout << version.what() << "\n";
    return kExitOk;
  } catch (const CLI::ParseError& error) {
    return Mistake(app, error);
  }
  // "--spl=" or "-o ''" is a slip, not a file.
  CLI::App* reached = Reached(app);
  for (const CLI::Option* opt : reached->get_options()) {
    const CLI::results_t& given = opt->results();
    const bool empty =
        std::any_of(given.begin(), given.end(), [](const std::string& v) { return v.empty(); });
    if (empty && opt->get_type_size() != 0 && opt->get_expected_min() > 0) {
      return Usage(*reached, opt->get_name(), "an empty value");
    }
  }
  if (commands.empty() || !app.got_subcommand("help")) return std::nullopt;
  if (helpTopic.empty()) {
    std::cout << HelpOf(app);
    return kExitOk;
  }
  for (CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; })) {
    if (Equal(sub->get_name(), helpTopic)) {
      std::cout << HelpOf(*sub);
      return kExitOk;
    }
  }
  return Usage(app, helpTopic, "unknown command; the commands are " + Listed(CommandNames(app)));
}

int Fail(std::string_view subject, std::string_view reason) {
  std::cerr << ToolName() << ": " << Printable(subject) << (subject.empty() ? "" : ": ")
            << Printable(reason) << "\n";
  return kExitFailed;
}

int Usage(const CLI::App& command, std::string_view subject, std::string_view reason) {
  Fail(subject, reason);
  std::cerr << "Try '" << CommandPath(&command) << " --help'.\n";
  return kExitUsage;
}

void Warn(std::string_view subject, std::string_view reason) {
  std::cerr << ToolName() << ": warning: " << Printable(subject) << ": " << Printable(reason) << "\n";
}

std::string Printable(std::string_view text) {
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7f) {
      out += c;
      continue;
    }
    constexpr std::string_view kHex = "0123456789abcdef";
    out += "\\x";
    out += kHex[byte >> 4];
    out += kHex[byte & 15];
  }
  return out;
}

std::optional<std::string_view> Choice(std::string_view value,
                                       std::span<const std::string_view> choices) {
  for (std::string_view choice : choices) {
    if (Equal(value, choice)) return choice;
  }
  return std::nullopt;
}

std::string ChoiceList(std::span<const std::string_view> choices) {
  return Listed(std::vector<std::string>(choices.begin(), choices.end()));
}

std::string JsonText(const nlohmann::ordered_json& value) {
  return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::optional<nlohmann::ordered_json> ParseJson(std::span<const std::uint8_t> bytes,
                                                std::string* reason, int maxDepth) {
  using Json = nlohmann::ordered_json;
  bool tooDeep = false;
  std::optional<std::string> twice;
  // keys[d]: the keys seen so far in the object open at depth d.
  std::vector<std::set<std::string>> keys;
  const Json::parser_callback_t check = [&](int depth, Json::parse_event_t event, Json& parsed) {
    if (event == Json::parse_event_t::object_start || event == Json::parse_event_t::array_start) {
      tooDeep = tooDeep || depth >= maxDepth;
      if (event == Json::parse_event_t::object_start && !tooDeep) {
        keys.resize(std::max(keys.size(), static_cast<std::size_t>(depth) + 2));
        keys[static_cast<std::size_t>(depth) + 1].clear();
      }
    } else if (event == Json::parse_event_t::key && !tooDeep && !twice &&
               !keys[static_cast<std::size_t>(depth)].insert(parsed.get<std::string>()).second) {
      twice = parsed.get<std::string>();
    }
    // Nothing is kept once the text is refused, so that no deep value is ever built.
    return !tooDeep && !twice;
  };
  try {
    Json value = Json::parse(bytes.begin(), bytes.end(), check);
    if (tooDeep) {
      *reason = "not JSON this tool reads (nested deeper than " + std::to_string(maxDepth) + " levels)";
    } else if (twice) {
      *reason = "not JSON this tool reads (the key " + JsonText(*twice) + " twice in one object)";
    } else {
      return value;
    }
  } catch (const Json::parse_error& error) {
    *reason = "not JSON (byte " + std::to_string(error.byte) + ")";
  } catch (const Json::exception& error) {
    // "[json.exception.out_of_range.406] number overflow parsing '1e400'"
    const std::string what = error.what();
    *reason = "not JSON (" + what.substr(std::min(what.find("] ") + 2, what.size())) + ")";
  } catch (const std::bad_alloc&) {
    *reason = "too large to read";
  }
  return std::nullopt;
}

}  // namespace tools
