// Text conversion, the console, the debug channel and the trace.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/platform.h"
#include "platform/posix/host.h"

namespace platform {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(char32_t code, std::string* out) {
  if (code < 0x80) {
    out->push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (code >> 6)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (code >> 12)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (code >> 18)));
    out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

void AppendUtf16(char32_t code, std::u16string* out) {
  if (code < 0x10000) {
    out->push_back(static_cast<char16_t>(code));
  } else {
    code -= 0x10000;
    out->push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
    out->push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
  }
}

void AppendJsonString(std::string_view text, std::string* out) {
  static constexpr char kHex[] = "0123456789abcdef";
  out->push_back('"');
  for (char c : text) {
    switch (c) {
      case '"':
        *out += "\\\"";
        break;
      case '\\':
        *out += "\\\\";
        break;
      case '\n':
        *out += "\\n";
        break;
      case '\r':
        *out += "\\r";
        break;
      case '\t':
        *out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          *out += "\\u00";
          out->push_back(kHex[(c >> 4) & 0xF]);
          out->push_back(kHex[c & 0xF]);
        } else {
          out->push_back(c);
        }
    }
  }
  out->push_back('"');
}

}  // namespace

std::string ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      AppendUtf8(0x10000 + ((char32_t{unit} - 0xD800) << 10) + (char32_t{text[i + 1]} - 0xDC00),
                 &out);
      ++i;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      AppendUtf8(kReplacement, &out);
    } else {
      AppendUtf8(unit, &out);
    }
  }
  return out;
}

std::u16string ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    char32_t code = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
      out.push_back(lead);
      ++i;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2, code = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, code = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, code = lead & 0x07, minimum = 0x10000;
    }
    bool valid = length != 0 && i + length <= text.size();
    for (std::size_t k = 1; valid && k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) valid = false;
      code = (code << 6) | (next & 0x3F);
    }
    // Overlong forms, surrogates and values past the last code point are not text.
    if (valid && (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))) {
      valid = false;
    }
    if (!valid) {
      out.push_back(static_cast<char16_t>(kReplacement));
      ++i;
      continue;
    }
    AppendUtf16(code, &out);
    i += length;
  }
  return out;
}

void Print(std::string_view text) { posix::WriteAll(STDOUT_FILENO, text); }

void OutputDebugString(std::u16string_view text) {
  // The knobs are read first, so that the layer's own notes on them come before the line.
  posix::CurrentConfig();
  posix::WriteAll(STDERR_FILENO, ToUtf8(text));
  TraceEvent("debug").Str("text", text).Emit();
}

TraceEvent::TraceEvent(std::string_view ev) : enabled_(posix::CurrentConfig()->traceFd >= 0) {
  if (!enabled_) return;
  line_ = "{\"ev\":";
  AppendJsonString(ev, &line_);
  line_ += ",\"pid\":" + std::to_string(::getpid());
}

TraceEvent& TraceEvent::Str(std::string_view key, std::string_view value) {
  if (!enabled_) return *this;
  line_.push_back(',');
  AppendJsonString(key, &line_);
  line_.push_back(':');
  AppendJsonString(value, &line_);
  return *this;
}

TraceEvent& TraceEvent::Str(std::string_view key, std::u16string_view value) {
  if (!enabled_) return *this;
  return Str(key, std::string_view(ToUtf8(value)));
}

TraceEvent& TraceEvent::Num(std::string_view key, std::int64_t value) {
  if (!enabled_) return *this;
  line_.push_back(',');
  AppendJsonString(key, &line_);
  line_ += ":" + std::to_string(value);
  return *this;
}

TraceEvent& TraceEvent::Bool(std::string_view key, bool value) {
  if (!enabled_) return *this;
  line_.push_back(',');
  AppendJsonString(key, &line_);
  line_ += value ? ":true" : ":false";
  return *this;
}

TraceEvent& TraceEvent::Null(std::string_view key) {
  if (!enabled_) return *this;
  line_.push_back(',');
  AppendJsonString(key, &line_);
  line_ += ":null";
  return *this;
}

// Held while a trace line is written.  A process that ends at once (a reset) takes it
// first: the end could otherwise cut another thread's write short, where the line
// crosses a page of the file.  Never destroyed, as a thread may write while the process
// ends.
std::mutex& traceLock = *new std::mutex();

}  // namespace platform

// The updater exports this, so that a device library, which carries its own copy of this
// layer, holds the lock of the updater's trace writers and not its own.
extern "C" __attribute__((visibility("default"))) void vxu_hold_trace() {
  platform::traceLock.lock();
}

namespace platform {

void TraceEvent::Emit() {
  if (!enabled_) return;
  enabled_ = false;  // a line is written once
  line_ += "}\n";
  const auto config = posix::CurrentConfig();
  if (config->traceFd < 0) return;
  // One write on an appending descriptor: lines of several writers never interleave.
  std::lock_guard<std::mutex> lock(traceLock);
  const ssize_t ignored = ::write(config->traceFd, line_.data(), line_.size());
  (void)ignored;
}

void EndProcessNow(std::int32_t code) {
  using Hold = void (*)();
  const auto exported = reinterpret_cast<Hold>(::dlsym(RTLD_DEFAULT, "vxu_hold_trace"));
  // The updater's own lock when it exports it, else this copy's.
  if (exported != nullptr) exported();
  if (exported != vxu_hold_trace) vxu_hold_trace();
  std::_Exit(code);
}

void* Malloc(std::size_t size) {
  if (posix::NthFault("Malloc")) return nullptr;
  const auto config = posix::CurrentConfig();
  if (config->allocLimit && size > *config->allocLimit) return nullptr;
  return std::malloc(size == 0 ? 1 : size);
}

void Free(void* block) { std::free(block); }

void ExitProcess(std::int32_t code) {
  TraceEvent("exit").Num("code", code).Emit();
  std::exit(code);
}

}  // namespace platform
