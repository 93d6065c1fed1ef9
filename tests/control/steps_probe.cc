// image_steps_probe: runs one image step against a scripted device library, so that a test
// sees the step's console exactly as the updater prints it.
//
//   image_steps_probe update|verify TYPE [WORD...]
//
// The package is "\VXUpdate.bin" below VXU_DEVICE_ROOT; the engine library is bound and
// exports every device entry.  Unless a word says otherwise, both image information
// records are equal and every entry succeeds; the writer is asked for 1024 bytes after its
// first call, so a write ends with a full row of progress dots.  Words:
//   force, verify, nocrc   ForceFullUpgrade on, VerifyAfterWrite on, CheckCRC off
//   invalid                the invalid handle instead of the package
//   differ                 the flash record differs from the package's in byte 10
//   ENTRY=A,B,...,Z        ENTRY answers A, B, ... in turn and Z from then on
//
// Standard output carries the console only.  Standard error gets, after the step, one
// "calls:" line (every entry called, with its integer arguments, in order) and one
// "result:" line.
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "binding/binding.h"
#include "control/control.h"
#include "package/package.h"
#include "tests/support/fake_binding.h"

namespace {

constexpr std::uint32_t kRemainingAfterFirst = 1024;
constexpr std::size_t kDifferingByte = 10;  // compared whatever bytes 4 to 7 hold

std::vector<std::int32_t> Numbers(std::string_view list) {
  std::vector<std::int32_t> numbers;
  std::string text(list);
  const char* at = text.c_str();
  while (*at != '\0') {
    char* end = nullptr;
    const long value = std::strtol(at, &end, 10);
    if (end == at || (*end != ',' && *end != '\0')) return {};
    numbers.push_back(static_cast<std::int32_t>(value));
    at = *end == ',' ? end + 1 : end;
  }
  return numbers;
}

// "ENTRY=A,B,...,Z": queued answers, then the lasting one.  False for a malformed word.
bool Script(std::string_view word) {
  const std::size_t equals = word.find('=');
  if (equals == std::string_view::npos) return false;
  std::vector<std::int32_t> answers = Numbers(word.substr(equals + 1));
  if (answers.empty()) return false;
  const std::string_view entry = word.substr(0, equals);
  fake_binding::SetAnswer(entry, answers.back());
  answers.pop_back();
  fake_binding::QueueAnswers(entry, answers);
  return true;
}

void ReportCalls() {
  std::string line = "calls:";
  for (const fake_binding::Call& call : fake_binding::Calls()) {
    line += ' ' + call.entry + '(';
    for (std::size_t k = 0; k < call.args.size(); ++k) {
      if (k != 0) line += ',';
      line += std::to_string(call.args[k]);
    }
    line += ')';
  }
  std::fprintf(stderr, "%s\n", line.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const std::string_view operation = argv[1];
  if (operation != "update" && operation != "verify") return 2;
  const auto type = static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10));

  fake_binding::Reset();
  fake_binding::AddLibrary(binding::kEngineLibrary, fake_binding::DeviceEntries());
  if (!binding::SwitchLibrary(binding::kEngineLibrary)) return 2;
  fake_binding::SetAnswer("GetImageInfo", 1);
  fake_binding::SetAnswer("GetImageInfoFromBuffer", 1);
  fake_binding::SetAnswer("GD_setULong", 1);
  fake_binding::SetAnswer("GD_store", 1);
  fake_binding::SetWriteFirstRemaining(kRemainingAfterFirst);

  control::UpdateOptions options;
  bool invalid = false;
  std::array<std::uint8_t, 100> flash{};
  const std::array<std::uint8_t, 100> packageSide{};
  for (int k = 3; k < argc; ++k) {
    const std::string_view word = argv[k];
    if (word == "force") {
      options.ForceFullUpgrade = 1;
    } else if (word == "verify") {
      options.VerifyAfterWrite = 1;
    } else if (word == "nocrc") {
      options.CheckCRC = 0;
    } else if (word == "invalid") {
      invalid = true;
    } else if (word == "differ") {
      flash[kDifferingByte] = 1;
    } else if (!Script(word)) {
      return 2;
    }
  }
  fake_binding::SetImageInfo(flash, packageSide);

  package::PackageHandle handle = package::InvalidPackageHandle();
  if (!invalid) {
    handle = package::PackageOpen(u"\\VXUpdate.bin");
    if (handle == package::InvalidPackageHandle()) return 3;
  }
  const std::int32_t result = operation == "update"
                                  ? control::UpdateImage(handle, type, &options)
                                  : control::VerifyImage(handle, type);
  package::PackageClose(handle);

  ReportCalls();
  std::fprintf(stderr, "result: %d\n", static_cast<int>(result));
  return 0;
}
