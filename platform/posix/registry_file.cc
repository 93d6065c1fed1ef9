// Reads the registry editor's export format into keys and values.
#include "platform/posix/registry_file.h"

#include <optional>
#include <string_view>
#include <utility>

#include "platform/platform.h"
#include "platform/posix/host.h"

namespace platform::posix {
namespace {

using Text = std::u16string_view;

Text Trim(Text text) {
  while (!text.empty() && (text.front() == u' ' || text.front() == u'\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == u' ' || text.back() == u'\t' || text.back() == u'\r')) {
    text.remove_suffix(1);
  }
  return text;
}

std::u16string Decode(std::span<const std::uint8_t> bytes) {
  if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
    std::u16string text;
    for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
      text.push_back(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)));
    }
    return text;
  }
  if (bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
    bytes = bytes.subspan(3);
  }
  return ToUtf16(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

int HexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// Where a ';' comment starts in a line, quoted strings (with their \\ and \" escapes)
// skipped; npos for a line without one.
std::size_t CommentStart(Text line) {
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (quoted && line[i] == u'\\') {
      ++i;
    } else if (line[i] == u'"') {
      quoted = !quoted;
    } else if (!quoted && line[i] == u';') {
      return i;
    }
  }
  return Text::npos;
}

// Drops a ';' comment that follows a value written without quotes.
Text WithoutComment(Text text) {
  const std::size_t semicolon = text.find(u';');
  return Trim(semicolon == Text::npos ? text : text.substr(0, semicolon));
}

// A quoted string at the start of *text with \\ and \" escapes; *text is left after the
// closing quote.
std::optional<std::u16string> Quoted(Text* text) {
  if (text->empty() || text->front() != u'"') return std::nullopt;
  std::u16string out;
  std::size_t i = 1;
  while (i < text->size()) {
    const char16_t c = (*text)[i];
    if (c == u'"') {
      text->remove_prefix(i + 1);
      return out;
    }
    if (c == u'\\' && i + 1 < text->size() && ((*text)[i + 1] == u'\\' || (*text)[i + 1] == u'"')) {
      out.push_back((*text)[i + 1]);
      i += 2;
      continue;
    }
    out.push_back(c);
    ++i;
  }
  return std::nullopt;
}

std::optional<std::vector<std::uint8_t>> HexList(Text text) {
  std::vector<std::uint8_t> bytes;
  text = WithoutComment(text);
  if (text.empty()) return bytes;
  for (;;) {
    const std::size_t comma = text.find(u',');
    const Text item = Trim(text.substr(0, comma));
    const bool last = comma == Text::npos;
    // The editor ends a wrapped list with a comma before the continuation.
    if (item.empty() && last && !bytes.empty()) break;
    if (item.empty() || item.size() > 2) return std::nullopt;
    int value = 0;
    for (char16_t c : item) {
      const int digit = HexDigit(c);
      if (digit < 0) return std::nullopt;
      value = value * 16 + digit;
    }
    bytes.push_back(static_cast<std::uint8_t>(value));
    if (last) break;
    text = text.substr(comma + 1);
  }
  return bytes;
}

std::optional<std::uint32_t> HexNumber(Text text, std::size_t maxDigits) {
  if (text.empty() || text.size() > maxDigits) return std::nullopt;
  std::uint32_t value = 0;
  for (char16_t c : text) {
    const int digit = HexDigit(c);
    if (digit < 0) return std::nullopt;
    value = value * 16 + static_cast<std::uint32_t>(digit);
  }
  return value;
}

bool StartsWith(Text text, Text prefix) { return text.substr(0, prefix.size()) == prefix; }

// The data after '='.  Nothing when it cannot be read; a value of type 0 and no data
// marked `remove` for "-".
std::optional<RegistryValue> Data(Text text, bool* remove) {
  *remove = false;
  RegistryValue value;
  if (!text.empty() && text.front() == u'"') {
    const auto string = Quoted(&text);
    if (!string || !WithoutComment(text).empty()) return std::nullopt;
    value.type = kRegSz;
    for (char16_t c : *string) {
      value.data.push_back(static_cast<std::uint8_t>(c & 0xFF));
      value.data.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    value.data.push_back(0);
    value.data.push_back(0);
    return value;
  }
  if (WithoutComment(text) == u"-") {
    *remove = true;
    return value;
  }
  const std::u16string folded = FoldAscii(text);
  if (StartsWith(folded, u"dword:")) {
    const auto number = HexNumber(WithoutComment(text.substr(6)), 8);
    if (!number) return std::nullopt;
    value.type = kRegDword;
    for (int shift = 0; shift < 32; shift += 8) {
      value.data.push_back(static_cast<std::uint8_t>(*number >> shift));
    }
    return value;
  }
  Text list;
  if (StartsWith(folded, u"hex:")) {
    value.type = kRegBinary;
    list = text.substr(4);
  } else if (StartsWith(folded, u"hex(")) {
    const std::size_t close = folded.find(u"):");
    if (close == std::u16string::npos) return std::nullopt;
    const auto type = HexNumber(text.substr(4, close - 4), 8);
    if (!type) return std::nullopt;
    value.type = *type;
    list = text.substr(close + 2);
  } else {
    return std::nullopt;
  }
  auto bytes = HexList(list);
  if (!bytes) return std::nullopt;
  value.data = std::move(*bytes);
  return value;
}

// "HKEY_LOCAL_MACHINE\a\b" -> "a\b" in lower case; nothing for another hive or an empty
// name along the path.
std::optional<std::u16string> KeyPath(Text name) {
  const std::u16string folded = FoldAscii(name);
  const std::size_t backslash = folded.find(u'\\');
  const std::u16string hive = folded.substr(0, backslash);
  if (hive != u"hkey_local_machine" && hive != u"hklm") return std::nullopt;
  if (backslash == std::u16string::npos) return std::u16string();
  std::u16string path = folded.substr(backslash + 1);
  if (path.empty() || path.front() == u'\\' || path.back() == u'\\' ||
      path.find(u"\\\\") != std::u16string::npos) {
    return std::nullopt;
  }
  return path;
}

void DefineKey(Registry* keys, const std::u16string& path) {
  // A key implies every key above it.
  (*keys)[path];
  for (std::size_t end = path.find(u'\\'); end != std::u16string::npos;
       end = path.find(u'\\', end + 1)) {
    (*keys)[path.substr(0, end)];
  }
  (*keys)[u""];
}

// The name a value line without a well-quoted name meant: the first quoted name in the
// text before its '=' (whatever stands before the quote), or else that text without
// blanks, controls and quotes around it.  A line without '=' names the value it quotes;
// one that quotes nothing either names none.
std::optional<std::u16string> MeantName(Text line) {
  const std::size_t equals = line.find(u'=');
  Text name = line.substr(0, equals);
  const std::size_t open = name.find(u'"');
  const std::size_t close = open == Text::npos ? Text::npos : name.find(u'"', open + 1);
  if (close != Text::npos) {
    name = name.substr(open + 1, close - open - 1);
  } else if (equals == Text::npos) {
    return std::nullopt;
  } else {
    // Blanks of any kind: controls, the no-break space and the byte-order mark.
    auto blank = [](char16_t c) { return c <= u' ' || c == u'"' || c == 0xA0 || c == 0xFEFF; };
    while (!name.empty() && blank(name.front())) name.remove_prefix(1);
    while (!name.empty() && blank(name.back())) name.remove_suffix(1);
  }
  if (name.empty()) return std::nullopt;
  return FoldAscii(name);
}

// The other hives a section may name; their keys are none of the device's.
bool IsOtherHive(Text name) {
  const std::u16string hive = FoldAscii(name.substr(0, name.find(u'\\')));
  for (const std::u16string_view other :
       {u"hkey_current_user", u"hkcu", u"hkey_classes_root", u"hkcr", u"hkey_users", u"hku",
        u"hkey_current_config", u"hkcc", u"hkey_performance_data", u"hkey_dyn_data"}) {
    if (hive == other) return true;
  }
  return false;
}

void DeleteKey(Registry* keys, const std::u16string& path) {
  if (path.empty()) {
    keys->clear();
    return;
  }
  const std::u16string below = path + u"\\";
  for (auto it = keys->begin(); it != keys->end();) {
    if (it->first == path || StartsWith(it->first, below)) {
      it = keys->erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace

ParsedRegistry ParseRegistryFile(std::span<const std::uint8_t> bytes) {
  ParsedRegistry parsed;
  const std::u16string text = Decode(bytes);
  std::vector<Text> lines;
  for (std::size_t start = 0; start <= text.size();) {
    std::size_t end = text.find(u'\n', start);
    if (end == std::u16string::npos) end = text.size();
    lines.push_back(Trim(Text(text).substr(start, end - start)));
    start = end + 1;
  }
  // A file without the header line is read all the same, so that its lines can be told
  // apart; the caller takes it for no registry at all.
  const bool hasHeader =
      lines[0] == u"REGEDIT4" || lines[0] == u"Windows Registry Editor Version 5.00";
  parsed.badHeader = !hasHeader;

  // Where values go: the current key, or nothing before the first section and in a
  // section that is skipped or deletes.
  std::optional<std::u16string> current;
  // Values under a section that is skipped or deletes are well-formed and ignored quietly;
  // the section line itself was reported.
  bool inSection = false;
  auto skip = [&](std::size_t number, std::string reason) {
    // A first line that is not the header is reported once, as the missing header.
    if (!hasHeader && number == 1) return;
    parsed.skipped.push_back({number, std::move(reason)});
  };
  for (std::size_t index = hasHeader ? 1 : 0; index < lines.size(); ++index) {
    const std::size_t number = index + 1;
    std::u16string logical(lines[index]);
    // A line ending in a backslash goes on with the next; a comment never does, nor a
    // line whose comment ends in one.
    while (!logical.empty() && logical.back() == u'\\' && CommentStart(logical) == Text::npos &&
           index + 1 < lines.size()) {
      logical.pop_back();
      logical += lines[++index];
    }
    const Text line = Trim(logical);
    if (line.empty() || line.front() == u';') continue;

    if (line.front() == u'[') {
      current.reset();
      inSection = true;
      // Which key the values below belong to cannot be told when the section line is
      // broken, and no key can then be said to be absent: the registry fails.
      const std::size_t close = line.rfind(u']');
      if (close == Text::npos || !WithoutComment(line.substr(close + 1)).empty()) {
        parsed.broken = true;
        skip(number, "a key name without its closing ']'; the registry fails");
        continue;
      }
      Text name = line.substr(1, close - 1);
      const bool remove = !name.empty() && name.front() == u'-';
      if (remove) name.remove_prefix(1);
      const auto path = KeyPath(name);
      if (!path && IsOtherHive(name)) {
        skip(number, "not a key of HKEY_LOCAL_MACHINE");
        continue;
      }
      if (!path) {
        parsed.broken = true;
        skip(number, "a key name that cannot be read; the registry fails");
        continue;
      }
      if (remove) {
        DeleteKey(&parsed.keys, *path);
      } else {
        DefineKey(&parsed.keys, *path);
        current = *path;
      }
      continue;
    }

    // A value line that names its value but cannot be read whole leaves that value
    // unreadable: it answers a registry failure instead of being absent.
    auto unreadable = [&](const std::u16string& meant, std::string reason) {
      if (current) {
        parsed.keys[*current].values[meant] = RegistryValue{.type = 0, .data = {}, .unreadable = true};
        reason += "; the value fails to read";
      }
      skip(number, std::move(reason));
    };
    Text rest = line;
    std::u16string name;
    if (rest.front() == u'@') {
      rest.remove_prefix(1);
    } else {
      const auto quoted = Quoted(&rest);
      if (!quoted) {
        const auto meant = MeantName(line);
        if (meant) {
          unreadable(*meant, "a value name without its quotes");
        } else {
          skip(number, "neither a key, a value nor a comment");
        }
        continue;
      }
      name = FoldAscii(*quoted);
    }
    rest = Trim(rest);
    if (rest.empty() || rest.front() != u'=') {
      unreadable(name, "a value name without '='");
      continue;
    }
    rest = Trim(rest.substr(1));
    bool remove = false;
    auto value = Data(rest, &remove);
    if (!value) {
      unreadable(name, "value data that cannot be read");
      continue;
    }
    if (!current) {
      if (!inSection) skip(number, "a value outside a key");
      continue;
    }
    auto& values = parsed.keys[*current].values;
    if (remove) {
      values.erase(name);
    } else {
      values[name] = std::move(*value);
    }
  }
  return parsed;
}

}  // namespace platform::posix
