// How the tools print JSON.
#ifndef TOOLS_JSON_TEXT_H_
#define TOOLS_JSON_TEXT_H_

#include <string>

#include <nlohmann/json.hpp>

namespace tools {

// One line of UTF-8; bytes that are not UTF-8 (a file name, a console line) are
// replaced rather than refused.
inline std::string JsonText(const nlohmann::ordered_json& value) {
  return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace tools

#endif  // TOOLS_JSON_TEXT_H_
