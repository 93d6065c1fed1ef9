#include "tests/e2e/e2e_device.h"

#include <cstdlib>
#include <regex>
#include <set>
#include <sstream>

namespace e2e {

namespace ts = testing_support;

fs::path Updater() { return ts::Built("control/vxupdater"); }
fs::path PackagedEngine() {
#ifdef E2E_STRIPPED_ENGINE
  return fs::path(E2E_STRIPPED_ENGINE);
#else
  return ts::Built("sim/VXUpdate.dll");
#endif
}
fs::path BoardSupportLibrary() { return ts::Built("sim/vx_bsp_api.dll"); }

void RunTool(std::string_view tool, const std::vector<std::string>& args) {
  const ts::RunResult result = ts::Run(ts::Built("tools/" + std::string(tool)), args);
  ASSERT_EQ(result.exitCode, 0) << tool << " " << args.front() << "\n" << result.err;
}

void WriteMarker(const fs::path& file, std::string_view ev) {
  ts::WriteText(file, "#!/bin/sh\necho \"{\\\"ev\\\":\\\"" + std::string(ev) +
                          "\\\",\\\"pid\\\":0,\\\"args\\\":$#}\" >> \"$VXU_TRACE\"\n");
  fs::permissions(file, fs::perms::owner_exec, fs::perm_options::add);
}

void CopyUpdater(const fs::path& file, bool appendByte) {
  fs::copy_file(Updater(), file, fs::copy_options::overwrite_existing);
  if (appendByte) {
    std::vector<std::uint8_t> bytes = ts::ReadBytes(file);
    bytes.push_back(0x5A);
    ts::WriteBytes(file, bytes);
  }
  fs::permissions(file, fs::perms::owner_exec, fs::perm_options::add);
}

Device::Device(std::string_view boot) {
  root_ = temp_ / "device";
  work_ = temp_ / "work";
  fs::create_directories(work_);
  RunTool("vxdevice", {"init", root_.string(), "--boot", std::string(boot), "--hardware", "7000"});
}

void Device::SetRegistry(std::string_view lines) {
  const std::string key = "[HKEY_LOCAL_MACHINE\\VX_Config\\VXUpdate]\n";
  ts::WriteText(root_ / "registry.reg",
                "REGEDIT4\n\n" + (lines.empty() ? "" : key + std::string(lines) + "\n"));
}

void Device::BuildPackage(std::string_view images, const fs::path& engine) {
  // vxpack option -> the type's display name, which is also its flash file without spaces.
  static const std::map<std::string, std::string> kTypes = {
      {"miniboot", "Miniboot"}, {"spl", "SPL"},       {"ipl", "IPL"},
      {"bootloader", "Bootloader"}, {"wince", "WinCE"}, {"mobile-ipl", "Mobile IPL"},
      {"mobile-disk", "Mobile Disk Image"}};
  engine_ = engine.empty() ? PackagedEngine() : engine;
  // --force: the roads pack what the updater must refuse too (other hardware, a library
  // that is no engine).
  std::vector<std::string> args = {"build", "--force", "-o", PackageFile().string(), "--engine",
                                   engine_.string()};
  std::istringstream words{std::string(images)};
  for (std::string word; words >> word;) {
    if (word.starts_with("--")) {
      std::string value;
      words >> value;
      args.insert(args.end(), {word, value});
      continue;
    }
    std::istringstream fields(word);  // OPTION[:VERSION[:HARDWARE[:SIZE]]]
    std::string option, version, hardware, size;
    for (std::string* field : {&option, &version, &hardware, &size}) {
      std::getline(fields, *field, ':');
    }
    if (hardware.empty()) hardware = "7000";
    if (size.empty()) size = "4096";
    const std::string type = kTypes.at(option);
    std::string flashName = type;
    std::erase(flashName, ' ');
    flashName += ".img";
    const fs::path file = work_ / ("image-" + std::to_string(++made_) + ".img");
    if (version.empty()) {
      fs::copy_file(FlashFile(flashName), file);
    } else {
      RunTool("vxdevice", {"image", "--type", type, "--hardware", hardware, "--version", version,
                           "--size", size, "-o", file.string()});
    }
    packaged_[flashName].push_back(file);
    args.insert(args.end(), {"--" + option, file.string()});
  }
  RunTool("vxpack", args);
}

void Device::PatchPackage(std::size_t offset,
                          const std::function<std::uint32_t(std::uint32_t)>& change) {
  std::vector<std::uint8_t> bytes = ts::ReadBytes(PackageFile());
  ASSERT_GE(bytes.size(), offset + 4);
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = value << 8 | bytes[offset + i];
  value = change(value);
  for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
  ts::WriteBytes(PackageFile(), bytes);
}

std::map<std::string, std::vector<std::uint8_t>> Device::Flash() const {
  std::map<std::string, std::vector<std::uint8_t>> files;
  if (!fs::exists(FlashFile(""))) return files;
  for (const auto& entry : fs::directory_iterator(FlashFile(""))) {
    files[entry.path().filename().string()] = ts::ReadBytes(entry.path());
  }
  return files;
}

std::string Device::Afterwards(
    const std::map<std::string, std::vector<std::uint8_t>>& before) const {
  const auto now = Flash();
  std::set<std::string> names;
  for (const auto& [name, bytes] : before) names.insert(name);
  for (const auto& [name, bytes] : now) names.insert(name);
  auto describe = [](const std::vector<std::uint8_t>& bytes) {
    return std::to_string(bytes.size()) + " other bytes";
  };
  std::string text = "--- flash\n";
  for (const auto& name : names) {
    std::string state = "absent";
    if (now.count(name) && before.count(name) && now.at(name) == before.at(name)) {
      state = "unchanged";
    } else if (now.count(name)) {
      state = describe(now.at(name));
      const auto packaged = packaged_.find(name);
      for (std::size_t i = 0; packaged != packaged_.end() && i < packaged->second.size(); ++i) {
        if (ts::ReadBytes(packaged->second[i]) == now.at(name)) {
          state = "package image " + std::to_string(i);
        }
      }
    }
    text += name + ": " + state + "\n";
  }
  // The device as the run left it: unlocked again, or as a reset leaves it.
  text += "--- device\n";
  for (const char* name : {"keyboard", "display", "exclusive_access", "green_led", "red_led",
                           "last_reset", "gd_items"}) {
    const fs::path file = root_ / ".hardware" / name;
    const std::string state = fs::is_regular_file(file) ? ts::ReadText(file) : "-\n";
    text += std::string(name) + ": " + (state.empty() ? "none\n" : state);
  }
  const fs::path engine = root_ / "VXUpdate.dll";
  text += "\\VXUpdate.dll: ";
  if (!fs::exists(engine)) return text + "absent\n";
  const auto bytes = ts::ReadBytes(engine);
  return text + (bytes == ts::ReadBytes(engine_) ? "the packaged engine" : describe(bytes)) + "\n";
}

namespace {

// Events of the keep-alive thread come at times of their own: leaving them out keeps the
// transcript the same on every run.
bool OnMainThreadsRoad(const ts::TraceLine& line) {
  const std::string ev = line.ev();
  if (ev == "sleep") return line["ms"] == "1000";
  if (ev == "open_event" || ev == "set_event" || ev == "close_event") {
    return line["name"] != "PowerManager/ReloadActivityTimeouts";
  }
  return !(ev == "debug" && line["text"] == "Error opening ReloadActivityTimeouts Event\r\n");
}

}  // namespace

UpdaterRun Device::Run(const std::vector<std::string>& args, std::string_view answers,
                       const Env& env) {
  const fs::path trace = work_ / ("trace-" + std::to_string(++made_) + ".jsonl");
  // Every knob is set, so nothing of the test's own environment reaches the device.  The
  // time scale is tiny rather than 0 so that the keep-alive thread sleeps between signals.
  std::map<std::string, std::string> knobs = {
      {"VXU_DEVICE_ROOT", root_.string()}, {"VXU_TRACE", trace.string()},
      {"VXU_TIME_SCALE", "0.001"},         {"VXU_MSGBOX_ANSWERS", std::string(answers)},
      {"VXU_FAULTS", ""},                  {"VXU_AC_LINE", "online"},
      {"VXU_POWER_MANAGER", "present"},    {"VXSIM_FAIL", ""},
      {"VXSIM_RESET", ""}};
  for (const auto& [name, value] : env) knobs[name] = value;
  const auto before = Flash();
  const ts::RunResult result = ts::Run(Updater(), args, Env(knobs.begin(), knobs.end()));
  UpdaterRun run;
  run.exitCode = result.exitCode;
  static const std::regex kBuilt(" - Built on [A-Z][a-z]{2} [1-9][0-9]? [0-9]{4}\n");
  run.out = std::regex_replace(result.out, kBuilt, " - Built on <date>\n");
  run.err = result.err;
  run.trace = ts::ReadTrace(trace);

  std::string text = "$ vxupdater";
  for (const auto& arg : args) text += " " + arg;
  text += "\nexit " + std::to_string(run.exitCode) + "\n--- console\n" + run.out + "\n";
  std::vector<std::string> pids;
  for (const auto& line : run.trace) {
    if (std::find(pids.begin(), pids.end(), line["pid"]) == pids.end()) {
      pids.push_back(line["pid"]);
    }
  }
  static const std::regex kPid(",\"pid\":[0-9]+");
  for (std::size_t p = 0; p < pids.size(); ++p) {
    text += "--- trace of process " + std::to_string(p + 1) + "\n";
    std::string last;
    for (const auto& line : run.trace) {
      if (line["pid"] != pids[p] || !OnMainThreadsRoad(line)) continue;
      const std::string shown = std::regex_replace(line.raw, kPid, "") + "\n";
      // Repeats of a sleep or a device library's fallback line count for one: the stop's
      // polls, and an entry called once per chunk of a build-dependent payload.
      const bool repeats = line.ev() == "sleep" || line["text"].starts_with("mc_api");
      if (shown != last || !repeats) text += shown;
      last = shown;
    }
  }
  text += Afterwards(before);
  // Host paths would differ from run to run; the device root stands for them.
  std::size_t at = 0;
  while ((at = text.find(root_.string(), at)) != std::string::npos) {
    text.replace(at, root_.string().size(), "<root>");
  }
  run.transcript = text;
  return run;
}

void ExpectGolden(std::string_view name, const std::string& actual) {
  const fs::path file = fs::path(E2E_GOLDEN_DIR) / (std::string(name) + ".txt");
  if (std::getenv("VXU_GOLDEN_UPDATE") != nullptr) {
    ts::WriteText(file, actual);
    ADD_FAILURE() << "rewrote " << file << ": review it, then run without VXU_GOLDEN_UPDATE";
    return;
  }
  EXPECT_TRUE(fs::exists(file)) << file;
  EXPECT_EQ(ts::ReadText(file), actual) << "golden file " << file;
}

}  // namespace e2e
