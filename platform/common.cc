// The parts of the platform layer that every backend shares: they reach the system only
// through the backend's own functions (Print, ToUtf16).
#include <cstdarg>
#include <string>

#include "platform/platform.h"

namespace platform {

std::size_t BoundedLength(const char16_t* text, std::size_t limit) {
  if (text == nullptr) return 0;
  std::size_t length = 0;
  while (length < limit && text[length] != 0) ++length;
  return length;
}

bool WriteNewFile(std::u16string_view path, std::span<const std::uint8_t> bytes) {
  const Handle file = CreateFile(path, kGenericWrite, 0, kCreateAlways, 0);
  if (file == kInvalidHandle) return false;
  std::uint32_t written = 0;
  WriteFile(file, bytes, &written);
  CloseHandle(file);
  return written == bytes.size();
}

void Printf(const char* format, ...) {
  if (format == nullptr) return;
  std::string out;
  va_list args;
  va_start(args, format);
  for (const char* p = format; *p != 0; ++p) {
    if (*p != '%') {
      out.push_back(*p);
      continue;
    }
    const char conversion = p[1];
    if (conversion == 0) {
      out.push_back('%');
      break;
    }
    ++p;
    switch (conversion) {
      case 's': {
        const char* text = va_arg(args, const char*);
        out += text ? text : "(null)";
        break;
      }
      case 'S': {
        const char16_t* text = va_arg(args, const char16_t*);
        out += text ? ToUtf8(text) : "(null)";
        break;
      }
      case 'd':
        out += std::to_string(va_arg(args, int));
        break;
      case 'u':
        out += std::to_string(va_arg(args, unsigned));
        break;
      case '%':
        out.push_back('%');
        break;
      default:
        // Not understood: shown as written, and no argument is taken.
        out.push_back('%');
        out.push_back(conversion);
    }
  }
  va_end(args);
  Print(out);
}

std::u16string CommandLineFromArguments(int argc, char** argv) {
  std::string line;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) line.push_back(' ');
    line += argv[i];
  }
  return ToUtf16(line);
}

}  // namespace platform
