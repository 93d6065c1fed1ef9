#include "tests/e2e/e2e_device.h"

#include <algorithm>
#include <fstream>
#include <regex>

namespace e2e {

namespace ts = testing_support;

fs::path Updater() { return ts::Built("control/vxupdater"); }
fs::path Engine() { return ts::Built("sim/VXUpdate.dll"); }
fs::path PackagedEngine() {
#ifdef E2E_STRIPPED_ENGINE
  return fs::path(E2E_STRIPPED_ENGINE);
#else
  return Engine();
#endif
}
fs::path BoardSupportLibrary() { return ts::Built("sim/vx_bsp_api.dll"); }

void RunTool(std::string_view tool, const std::vector<std::string>& args) {
  const ts::RunResult result = ts::Run(ts::Built(std::string("tools/") + std::string(tool)), args);
  std::string joined;
  for (const auto& arg : args) joined += " " + arg;
  ASSERT_EQ(result.exitCode, 0) << tool << joined << "\n" << result.out << result.err;
}

Device::Device(std::string_view boot) {
  root_ = temp_ / "device";
  work_ = temp_ / "work";
  fs::create_directories(work_);
  RunTool("vxdevice",
          {"init", root_.string(), "--boot", std::string(boot), "--hardware", kHardware});
}

void Device::SetOptions(const Options& options) {
  auto dword = [](std::string_view name, std::uint32_t value) {
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08x", value);
    return "\"" + std::string(name) + "\"=dword:" + hex + "\n";
  };
  std::string text = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\VX_Config\\VXUpdate]\n";
  text += dword("ForceFullUpgrade", options.ForceFullUpgrade);
  text += dword("VerifyAfterWrite", options.VerifyAfterWrite);
  text += dword("CheckCRC", options.CheckCRC);
  text += dword("FullVerify", options.FullVerify);
  text += dword("CheckBinCRC", options.CheckBinCRC);
  ts::WriteText(root_ / "registry.reg", text);
}

fs::path Device::MakeImage(std::string_view type, std::string_view version,
                           std::string_view hardware, std::size_t size) {
  const fs::path file = work_ / ("image-" + std::to_string(++made_) + ".img");
  RunTool("vxdevice",
          {"image", "--type", std::string(type), "--hardware", std::string(hardware), "--version",
           std::string(version), "--size", std::to_string(size), "-o", file.string()});
  return file;
}

fs::path Device::FlashFile(std::string_view type) const {
  // Flash files are named by the display name without its spaces.
  std::string name(type);
  name.erase(std::remove(name.begin(), name.end(), ' '), name.end());
  return root_ / ".hardware" / "flash" / (name + ".img");
}

fs::path Device::SameAsFlash(std::string_view type) {
  const fs::path file = work_ / ("flash-" + std::to_string(++made_) + ".img");
  fs::copy_file(FlashFile(type), file);
  return file;
}

void Device::BuildPackage(const std::vector<std::string>& args, const fs::path& engine) {
  std::vector<std::string> all = {"build", "-o", PackageFile().string(), "--engine",
                                  (engine.empty() ? PackagedEngine() : engine).string()};
  all.insert(all.end(), args.begin(), args.end());
  RunTool("vxpack", all);
}

std::map<std::string, fs::path> Device::BuildPackageOf(const std::vector<PackagedImage>& images,
                                                       const std::vector<std::string>& extra,
                                                       const fs::path& engine) {
  static const std::map<std::string, std::string> kOption = {
      {"Miniboot", "--miniboot"},
      {"SPL", "--spl"},
      {"IPL", "--ipl"},
      {"Bootloader", "--bootloader"},
      {"WinCE", "--wince"},
      {"Mobile IPL", "--mobile-ipl"},
      {"Mobile Disk Image", "--mobile-disk"}};
  std::vector<std::string> args = extra;
  std::map<std::string, fs::path> files;
  for (const auto& image : images) {
    const fs::path file = image.version.empty()
                              ? SameAsFlash(image.type)
                              : MakeImage(image.type, image.version, image.hardware);
    args.push_back(kOption.at(image.type));
    args.push_back(file.string());
    files[image.type] = file;
  }
  BuildPackage(args, engine);
  return files;
}

std::uint32_t Device::PackageField(std::size_t offset) const {
  const std::vector<std::uint8_t> bytes = ts::ReadBytes(PackageFile());
  if (bytes.size() < offset + 4) return 0;
  return static_cast<std::uint32_t>(bytes[offset]) |
         static_cast<std::uint32_t>(bytes[offset + 1]) << 8 |
         static_cast<std::uint32_t>(bytes[offset + 2]) << 16 |
         static_cast<std::uint32_t>(bytes[offset + 3]) << 24;
}

void Device::PatchPackage(std::size_t offset, std::uint32_t value) {
  std::vector<std::uint8_t> bytes = ts::ReadBytes(PackageFile());
  ASSERT_GE(bytes.size(), offset + 4);
  for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
  ts::WriteBytes(PackageFile(), bytes);
}

std::map<std::string, std::vector<std::uint8_t>> Device::Flash() const {
  std::map<std::string, std::vector<std::uint8_t>> files;
  const fs::path flash = root_ / ".hardware" / "flash";
  if (!fs::exists(flash)) return files;
  for (const auto& entry : fs::recursive_directory_iterator(flash)) {
    if (entry.is_regular_file()) {
      files[fs::relative(entry.path(), flash).string()] = ts::ReadBytes(entry.path());
    }
  }
  return files;
}

UpdaterRun Device::Run(const std::vector<std::string>& args, std::string_view answers,
                       const std::vector<std::pair<std::string, std::string>>& env,
                       const fs::path& program) {
  const fs::path trace = work_ / ("trace-" + std::to_string(++made_) + ".jsonl");
  // Every knob is set, so nothing of the test's own environment reaches the device.  The
  // time scale is tiny rather than 0 so that the keep-alive thread sleeps between its
  // signals instead of filling the trace.
  std::map<std::string, std::string> knobs = {
      {"VXU_DEVICE_ROOT", root_.string()},
      {"VXU_TRACE", trace.string()},
      {"VXU_TIME_SCALE", "0.001"},
      {"VXU_MSGBOX_ANSWERS", std::string(answers)},
      {"VXU_FAULTS", ""},
      {"VXU_AC_LINE", "online"},
      {"VXU_POWER_MANAGER", "present"},
  };
  for (const auto& [name, value] : env) knobs[name] = value;
  std::vector<std::pair<std::string, std::string>> all(knobs.begin(), knobs.end());
  const ts::RunResult result = ts::Run(program.empty() ? Updater() : program, args, all);
  UpdaterRun run;
  run.exitCode = result.exitCode;
  // The build date depends on the day of the build; its form does not.
  static const std::regex kBuilt(" - Built on [A-Z][a-z]{2} [1-9][0-9]? [0-9]{4}\n");
  run.out = std::regex_replace(result.out, kBuilt, " - Built on <date>\n");
  run.err = result.err;
  run.trace = ts::ReadTrace(trace);
  if (!run.trace.empty()) run.firstPid = run.trace.front()["pid"];
  return run;
}

// ---------------------------------------------------------------------------

std::string Banner(const Options& options) {
  auto onOff = [](std::uint32_t value) { return std::string(value ? "On" : "Off"); };
  std::string text = "===============================\n";
  text += " Vornex Updater\n";
  text += kRule;
  text += " - Version 1.2.2\n";
  text += " - Built on <date>\n";
  text += kRule;
  text += " + Force Update   = " + onOff(options.ForceFullUpgrade) + "\n";
  if (!options.ForceFullUpgrade) text += " + Check with CRC = " + onOff(options.CheckCRC) + "\n";
  text += " + Verify All     = " + onOff(options.FullVerify) + "\n";
  text += " + Verify Changed = " + onOff(options.VerifyAfterWrite) + "\n";
  text += " + Check Bin CRC  = " + onOff(options.CheckBinCRC) + "\n";
  text += "===============================\n\n";
  return text;
}

std::string CheckBinary(bool crcPass, std::string_view outcome) {
  return ">Check binary" + std::string(crcPass ? ".........." : "...") + std::string(outcome);
}

std::string Power() { return ">Check external power... Yes\n"; }

std::string Lock() {
  return std::string("\n>Disable user interface\n\n") + ">Disable Power Management\n\n" + kRule;
}

std::string Unlock() { return "\n\n>Enable user interface\n\n>Re-Enable Power Management\n\n"; }

std::string UpToDate(std::string_view name) {
  return "Check " + std::string(name) + "...Up to Date\n";
}

std::string NeedsUpgrade(std::string_view name) {
  return "Check " + std::string(name) + "...Need to upgrade\n";
}

std::string Written(std::string_view name, bool format) {
  std::string text = format ? "Flash physical format...Ok\n" : "";
  return text + "Update " + std::string(name) + "..........Ok\n";
}

std::string VerifyLine(std::string_view name, bool ok) {
  return "Verify " + std::string(name) + "..." + (ok ? "Ok\n" : "Failed\n");
}

std::string VerifyPass(const std::vector<std::string>& names) {
  std::string text = kRule;
  for (const auto& name : names) text += VerifyLine(name);
  return text;
}

std::string HardwareReset() {
  std::string text = std::string(kRule) + "Auto Update OK!\n";
  for (int second = 5; second >= 1; --second) {
    text += "Hw Reset in " + std::to_string(second) + " seconds!\n";
  }
  return text;
}

std::string WarmBoot() {
  std::string text = kRule;
  for (int second = 5; second >= 1; --second) {
    text += "Warm Boot in " + std::to_string(second) + " seconds!\n";
  }
  return text;
}

// ---------------------------------------------------------------------------

std::vector<TraceLine> EventsOf(const UpdaterRun& run, std::string_view ev, std::string_view pid) {
  std::vector<TraceLine> lines;
  for (const auto& line : run.trace) {
    if (line.ev() == ev && line["pid"] == pid) lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> DeviceCalls(const UpdaterRun& run, std::string_view call,
                                     std::string_view pid) {
  std::vector<std::string> calls;
  for (const auto& line : EventsOf(run, "device", pid)) {
    if (line["call"] == call) {
      calls.push_back(line["lib"] + ":" + (line.Has("arg") ? line["arg"] : std::string("-")));
    }
  }
  return calls;
}

std::vector<std::string> Boxes(const UpdaterRun& run, std::string_view pid) {
  std::vector<std::string> boxes;
  for (const auto& line : EventsOf(run, "msgbox", pid)) {
    EXPECT_EQ(line["caption"], "Software Updater") << line.raw;
    boxes.push_back(line["text"] + "|" + line["flags"] + "|" + line["answer"]);
  }
  return boxes;
}

std::string Box(std::string_view text, int flags, int answer) {
  return std::string(text) + "|" + std::to_string(flags) + "|" + std::to_string(answer);
}

std::string ConfirmationBox(int answer) {
  return Box(std::string("Firmware update was found in \"") + kPackagePath +
                 "\". Warning: By upgrading firmware all data and configurations may be lost. "
                 "Proceed?",
             0x50024, answer);
}

std::string ErrorBox(int answer) {
  return Box("Software update error. Retry after a warm boot?", 0x50014, answer);
}

std::string NotNeededBox() { return Box("Software update not needed.", 0x50040, 1); }

std::vector<std::string> Escapes(const UpdaterRun& run, std::string_view pid) {
  std::vector<std::string> sizes;
  for (const auto& line : EventsOf(run, "escape", pid)) {
    EXPECT_EQ(line["code"], "100014") << line.raw;
    sizes.push_back(line["in_size"]);
  }
  return sizes;
}

std::vector<std::string> FilesLeftOpen(const UpdaterRun& run, std::string_view pid) {
  std::vector<std::string> open;
  for (const auto& line : run.trace) {
    if (line["pid"] != pid) continue;
    if (line.ev() == "create_file" && line["ok"] == "true") open.push_back(line["path"]);
    if (line.ev() == "close_file") {
      auto it = std::find(open.begin(), open.end(), line["path"]);
      EXPECT_NE(it, open.end()) << "closed without being open: " << line.raw;
      if (it != open.end()) open.erase(it);
    }
  }
  return open;
}

std::string ExitEvent(const UpdaterRun& run, std::string_view pid) {
  const auto exits = EventsOf(run, "exit", pid);
  return exits.empty() ? std::string() : exits.back()["code"];
}

std::vector<std::string> Pids(const UpdaterRun& run) {
  std::vector<std::string> pids;
  for (const auto& line : run.trace) {
    if (std::find(pids.begin(), pids.end(), line["pid"]) == pids.end()) {
      pids.push_back(line["pid"]);
    }
  }
  return pids;
}

}  // namespace e2e
