// vxpack run as a process: packages it builds pass its own check and the updater's, the
// check names what is wrong with a damaged package, and what the updater would refuse is
// refused at build time.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "package/package.h"
#include "tests/support/testing.h"

namespace {

namespace fs = std::filesystem;
using testing_support::Built;
using testing_support::ReadBytes;
using testing_support::Run;
using testing_support::RunResult;
using testing_support::TempDir;
using testing_support::WriteBytes;

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

RunResult Vxpack(const std::vector<std::string>& args) { return Run(Built("tools/vxpack"), args); }

// Bytes that differ from file to file, so that a misplaced item shows.
std::vector<std::uint8_t> Pattern(std::size_t size, std::uint8_t seed) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 7 + i / 251);
  return bytes;
}

std::uint32_t Crc(const std::vector<std::uint8_t>& bytes, std::size_t offset, std::size_t length) {
  return static_cast<std::uint32_t>(
      crc32(crc32(0, nullptr, 0), bytes.data() + offset, static_cast<uInt>(length)));
}

package::PackageHeader HeaderOf(const std::vector<std::uint8_t>& file) {
  return package::DecodeHeader(std::span<const std::uint8_t, package::kHeaderSize>(
      file.data(), package::kHeaderSize));
}

std::size_t LineCount(const std::string& text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// The updater's own verdict on a package at `file`, with the CRC pass on: a device root
// holding the package and the host zlib as its zlib.dll.
std::optional<package::ValidateResult> UpdaterVerdict(const TempDir& dir, const fs::path& file) {
  const fs::path root = dir / "device";
  fs::create_directories(root / "Windows");
  fs::copy_file(VXU_HOST_ZLIB, root / "Windows" / "zlib.dll", fs::copy_options::overwrite_existing);
  fs::copy_file(file, root / "VXUpdate.bin", fs::copy_options::overwrite_existing);
  testing_support::ScopedEnv env({{"VXU_DEVICE_ROOT", root.string()}, {"VXU_TRACE", std::nullopt},
                                  {"VXU_FAULTS", std::nullopt}});
  const package::PackageHandle handle = package::PackageOpen(u"\\VXUpdate.bin");
  if (handle == package::InvalidPackageHandle()) return std::nullopt;
  const package::ValidateResult result = package::PackageValidate(handle, 1, nullptr);
  package::PackageClose(handle);
  return result;
}

// Source files of a package in a temporary folder.
struct Sources {
  TempDir dir;
  fs::path Make(const std::string& name, std::size_t size, std::uint8_t seed) {
    WriteBytes(dir / name, Pattern(size, seed));
    return dir / name;
  }
};

TEST(VxpackBuild, EveryHeaderLayoutRoundTripsThroughInfoAndTheUpdater) {
  struct Case {
    std::uint32_t headerLength;
    int ipls;
    bool mobile;
    std::string layout;
  };
  const std::vector<Case> cases = {
      {0, 1, false, "below 92"},       // the payload covers the whole header, its CRC too
      {9, 1, false, "below 92"},       // the payload CRC field lies partly in the payload
      {12, 1, false, "below 92"},      // just past the payload CRC field
      {91, 1, false, "below 92"},
      {92, 3, false, "92 to 107"},
      {107, 3, false, "92 to 107"},
      {108, 3, false, "108:"},
      {108, 1, true, "108:"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("header length " + std::to_string(c.headerLength) + (c.mobile ? " mobile" : ""));
    Sources src;
    const fs::path out = src.dir / "VXUpdate.bin";
    std::vector<std::string> args = {"build", "-o", out.string(),
                                     "--header-length", std::to_string(c.headerLength)};
    // Option, file, directory entry: what must land where.
    std::vector<std::pair<fs::path, package::ImageEntry package::PackageHeader::*>> images;
    const auto add = [&](const std::string& option, std::size_t size, std::uint8_t seed,
                         package::ImageEntry package::PackageHeader::*entry) {
      const fs::path file = src.Make(option.substr(2) + std::to_string(seed), size, seed);
      args.insert(args.end(), {option, file.string()});
      images.emplace_back(file, entry);
    };
    const fs::path engine = src.Make("engine", 3000, 1);
    const fs::path extra = src.Make("extra", 77, 2);
    args.insert(args.end(), {"--engine", engine.string(), "--extra", extra.string()});
    add("--miniboot", 600, 3, &package::PackageHeader::miniboot);
    add("--spl", 700, 4, &package::PackageHeader::spl);
    constexpr std::array iplEntries = {&package::PackageHeader::ipl0, &package::PackageHeader::ipl1,
                                       &package::PackageHeader::ipl2};
    for (int i = 0; i < c.ipls; ++i) add("--ipl", 800 + i, static_cast<std::uint8_t>(5 + i), iplEntries[i]);
    add("--bootloader", 900, 9, &package::PackageHeader::bootloader);
    if (c.mobile) {
      add("--mobile-ipl", 1000, 10, &package::PackageHeader::mobileIpl);
      add("--mobile-disk", 5000, 11, &package::PackageHeader::mobileDiskImage);
    } else {
      add("--wince", 4000, 12, &package::PackageHeader::wince);
    }

    const RunResult built = Vxpack(args);
    ASSERT_EQ(built.exitCode, kOk) << built.err;
    const RunResult info = Vxpack({"info", out.string()});
    EXPECT_EQ(info.exitCode, kOk) << info.out << info.err;
    EXPECT_NE(info.out.find(c.layout), std::string::npos) << info.out;
    const RunResult json = Vxpack({"info", "--json", out.string()});
    EXPECT_EQ(json.exitCode, kOk);
    EXPECT_NE(json.out.find("\"valid\":true"), std::string::npos) << json.out;

    // The file itself, read independently of the tool.
    const std::vector<std::uint8_t> file = ReadBytes(out);
    const package::PackageHeader header = HeaderOf(file);
    EXPECT_EQ(header.headerLength, c.headerLength);
    EXPECT_EQ(file.size(), std::size_t{header.headerLength} + header.payloadSize);
    EXPECT_EQ(package::ExpectedPayloadSize(header), header.payloadSize);
    EXPECT_EQ(Crc(file, header.headerLength, header.payloadSize), header.payloadCrc);
    EXPECT_EQ(Crc(file, header.engineOffset, header.engineLength), header.engineCrc);
    const auto at = [&](std::uint32_t offset, std::size_t length) {
      return std::vector<std::uint8_t>(file.begin() + offset, file.begin() + offset + length);
    };
    EXPECT_EQ(at(package::kHeaderSize, 77), ReadBytes(extra));
    EXPECT_EQ(at(header.engineOffset, header.engineLength), ReadBytes(engine));
    for (const auto& [image, entry] : images) {
      const package::ImageEntry e = header.*entry;
      EXPECT_EQ(at(e.offset, e.length), ReadBytes(image)) << image;
    }
    if (c.mobile) {
      EXPECT_EQ(header.wince.offset + header.wince.length, 0u);
    }

    EXPECT_EQ(UpdaterVerdict(src.dir, out), package::ValidateResult::kValid);
  }
}

// A valid package in `dir`, with header length 108.
fs::path GoodPackage(Sources& src) {
  const fs::path out = src.dir / "good.bin";
  const RunResult built = Vxpack({"build", "-o", out.string(),
                                  "--engine", src.Make("engine", 2000, 1).string(),
                                  "--bootloader", src.Make("boot", 1000, 2).string(),
                                  "--wince", src.Make("wince", 3000, 3).string()});
  EXPECT_EQ(built.exitCode, kOk) << built.err;
  return out;
}

void SetField(std::vector<std::uint8_t>& file, std::size_t offset, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) file[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

TEST(VxpackInfo, NamesWhatIsWrongWithADamagedPackage) {
  using package::ValidateResult;
  struct Case {
    std::string name;
    std::function<void(std::vector<std::uint8_t>&)> damage;
    std::string named;     // what stderr must name
    std::string notNamed;  // what it must not name
    // The updater's verdict; nothing for a file it does not open as a package.
    std::optional<std::optional<ValidateResult>> updater;
  };
  const auto imageByte = [](std::vector<std::uint8_t>& f) { f[HeaderOf(f).wince.offset + 10] ^= 0x40; };
  const auto engineByte = [](std::vector<std::uint8_t>& f) { f[HeaderOf(f).engineOffset + 5] ^= 1; };
  const std::vector<Case> cases = {
      {"flipped image byte", imageByte, "payload CRC", "engine CRC", ValidateResult::kWrongCrc},
      {"flipped engine byte", engineByte, "engine CRC", "payload size", ValidateResult::kWrongCrc},
      {"header length 109", [](auto& f) { SetField(f, 4, 109); }, "header length", "payload size",
       ValidateResult::kHeaderTooNew},
      {"payload size off by one", [](auto& f) { SetField(f, 12, HeaderOf(f).payloadSize + 1); },
       "payload size", "engine CRC", ValidateResult::kWrongSize},
      {"truncated inside the payload", [](auto& f) { f.resize(f.size() - 100); },
       "file ends before the payload", "engine CRC", std::nullopt},
      {"truncated inside the engine", [](auto& f) { f.resize(HeaderOf(f).engineOffset + 10); },
       "engine CRC", "header length", std::nullopt},
      {"shorter than the header", [](auto& f) { f.resize(107); }, "shorter than 108", "CRC",
       std::optional<ValidateResult>()},
      {"wrong magic", [](auto& f) { f[0] = 'W'; }, "wrong magic", "CRC", std::optional<ValidateResult>()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Sources src;
    const fs::path good = GoodPackage(src);
    std::vector<std::uint8_t> bytes = ReadBytes(good);
    c.damage(bytes);
    const fs::path bad = src.dir / "bad.bin";
    WriteBytes(bad, bytes);

    const RunResult info = Vxpack({"info", bad.string()});
    EXPECT_EQ(info.exitCode, kFailed) << info.out;
    EXPECT_NE(info.err.find(c.named), std::string::npos) << info.err;
    EXPECT_EQ(info.err.find(c.notNamed), std::string::npos) << info.err;
    EXPECT_EQ(info.err.rfind("vxpack: " + bad.string() + ": ", 0), 0u) << info.err;
    const RunResult json = Vxpack({"info", "--json", bad.string()});
    EXPECT_EQ(json.exitCode, kFailed);
    EXPECT_NE(json.out.find("\"valid\":false"), std::string::npos) << json.out;

    if (c.updater) {
      EXPECT_EQ(UpdaterVerdict(src.dir, bad), *c.updater);
    }
  }
}

TEST(VxpackInfo, WarnsAboutWhatTheUpdaterLeavesUncheckedWithoutFailing) {
  // Hand-made: the WinCE image overlaps the engine library, the Bootloader is short, and
  // the Miniboot entry points past the end of the file.  The updater's checks still pass.
  Sources src;
  package::PackageHeader header;
  header.magic = package::kMagic;
  header.headerLength = 108;
  header.engineOffset = 108;
  header.engineLength = 1000;
  header.wince = {600, 1000};
  header.bootloader = {1108, 100};
  header.miniboot = {90000, 600};
  header.payloadSize = package::ExpectedPayloadSize(header);
  std::vector<std::uint8_t> file = Pattern(108 + header.payloadSize, 7);
  header.engineCrc = Crc(file, header.engineOffset, header.engineLength);
  const auto withHeader = [&] {
    const auto encoded = package::EncodeHeader(header);
    std::copy(encoded.begin(), encoded.end(), file.begin());
  };
  withHeader();
  header.payloadCrc = Crc(file, 108, header.payloadSize);
  withHeader();
  const fs::path path = src.dir / "odd.bin";
  WriteBytes(path, file);

  const RunResult info = Vxpack({"info", path.string()});
  EXPECT_EQ(info.exitCode, kOk) << info.out << info.err;
  for (const std::string warning : {"engine and wince overlap", "bootloader is shorter than 512",
                                    "miniboot lies outside the file", "miniboot lies outside the payload"}) {
    EXPECT_NE(info.out.find(warning), std::string::npos) << warning << "\n" << info.out;
  }
  EXPECT_EQ(info.out.find("spl lies"), std::string::npos) << "an absent entry is no item";
  const RunResult json = Vxpack({"info", "--json", path.string()});
  EXPECT_NE(json.out.find("\"engine and wince overlap\""), std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"valid\":true"), std::string::npos) << json.out;
}

TEST(VxpackBuild, RefusesWhatTheUpdaterWouldRejectInOneLine) {
  struct Case {
    std::string name;
    std::vector<std::string> options;  // besides -o; "@x" names source file x
    std::string named;
  };
  const std::vector<std::string> base = {"--engine", "@engine", "--bootloader", "@boot"};
  const auto with = [&](std::vector<std::string> more) {
    std::vector<std::string> all = base;
    all.insert(all.end(), more.begin(), more.end());
    return all;
  };
  const std::vector<Case> cases = {
      {"wince with mobile images",
       with({"--wince", "@img", "--mobile-ipl", "@img", "--mobile-disk", "@img"}), "--wince"},
      {"mobile image below 108", with({"--mobile-ipl", "@img", "--mobile-disk", "@img",
                                       "--header-length", "107"}), "--mobile-ipl"},
      {"second IPL below 92", with({"--wince", "@img", "--ipl", "@img", "--ipl", "@img",
                                    "--header-length", "91"}), "--ipl"},
      {"missing engine", {"--bootloader", "@boot", "--wince", "@img"}, "--engine"},
      {"four IPLs", with({"--wince", "@img", "--ipl", "@img", "--ipl", "@img", "--ipl", "@img",
                          "--ipl", "@img"}), "--ipl"},
      {"header length 109", with({"--wince", "@img", "--header-length", "109"}), "--header-length"},
      {"empty image", with({"--wince", "@empty"}), "--wince"},
      {"empty engine", {"--engine", "@empty", "--bootloader", "@boot", "--wince", "@img"}, "--engine"},
      {"missing image file", with({"--wince", "@nothing"}), "nothing"},
      {"no bootloader", {"--engine", "@engine", "--wince", "@img"}, "--bootloader"},
      {"no operating system", with({}), "--wince"},
      {"one mobile image alone", with({"--mobile-ipl", "@img"}), "--mobile-disk"},
      {"image beyond 2 GiB", with({"--ipl", "@big2", "--wince", "@img"}), "beyond 2 GiB"},
      {"package over 4 GiB", with({"--ipl", "@big1", "--miniboot", "@big25", "--wince", "@img"}),
       "4 GiB"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Sources src;
    src.Make("engine", 1000, 1);
    src.Make("boot", 1000, 2);
    src.Make("img", 1000, 3);
    WriteBytes(src.dir / "empty", {});
    // Sparse files: the sizes are refused before a byte of them is read.
    for (const auto& [name, size] : {std::pair{"big1", 1900ull << 20}, std::pair{"big2", 2100ull << 20},
                                     std::pair{"big25", 2500ull << 20}}) {
      WriteBytes(src.dir / name, {});
      fs::resize_file(src.dir / name, size);
    }
    const fs::path out = src.dir / "VXUpdate.bin";
    testing_support::WriteText(out, "old");
    std::vector<std::string> args = {"build", "-o", out.string()};
    for (const std::string& option : c.options) {
      args.push_back(option.front() == '@' ? (src.dir / option.substr(1)).string() : option);
    }
    const auto before = std::distance(fs::directory_iterator(src.dir.path()), fs::directory_iterator());

    const RunResult built = Vxpack(args);
    EXPECT_EQ(built.exitCode, kFailed) << built.err;
    EXPECT_EQ(LineCount(built.err), 1u) << built.err;
    EXPECT_EQ(built.err.rfind("vxpack: ", 0), 0u) << built.err;
    EXPECT_NE(built.err.find(c.named), std::string::npos) << built.err;
    EXPECT_EQ(testing_support::ReadText(out), "old") << "the old package is kept";
    EXPECT_EQ(std::distance(fs::directory_iterator(src.dir.path()), fs::directory_iterator()), before)
        << "no temporary file is left behind";
  }
}

TEST(VxpackBuild, ReplacesAnExistingPackageWhole) {
  Sources src;
  const fs::path out = src.dir / "good.bin";
  WriteBytes(out, Pattern(100000, 9));  // longer than the new package
  GoodPackage(src);
  const std::vector<std::uint8_t> file = ReadBytes(out);
  EXPECT_EQ(file.size(), std::size_t{108} + HeaderOf(file).payloadSize);
  EXPECT_EQ(Vxpack({"info", out.string()}).exitCode, kOk);
}

TEST(Vxpack, BadUsageExitsWithTwoAndHelpWithZero) {
  Sources src;
  const std::string engine = src.Make("engine", 100, 1).string();
  struct Case {
    std::vector<std::string> args;
    int exitCode;
  };
  const std::vector<Case> cases = {
      {{}, kUsage},
      {{"pack"}, kUsage},
      {{"build", "-o", "x", "--engine", engine, "--frob"}, kUsage},
      {{"build", "-o", "x", "--engine"}, kUsage},
      {{"build", "--engine", engine, "--bootloader", engine, "--wince", engine}, kUsage},  // no -o
      {{"build", "-o", "x", "--header-length", "ten"}, kUsage},
      {{"build", "-o", "x", "--spl", engine, "--spl", engine}, kUsage},
      {{"build", "-o", "x", "stray"}, kUsage},
      {{"info"}, kUsage},
      {{"info", "a.bin", "b.bin"}, kUsage},
      {{"info", "--frob", "a.bin"}, kUsage},
      {{"--help"}, kOk},
      {{"build", "--help"}, kOk},
      {{"info", "--help"}, kOk},
  };
  for (const Case& c : cases) {
    std::string joined;
    for (const std::string& arg : c.args) joined += arg + " ";
    SCOPED_TRACE(joined);
    const RunResult result = Vxpack(c.args);
    EXPECT_EQ(result.exitCode, c.exitCode) << result.err;
    if (c.exitCode == kOk) {
      EXPECT_EQ(result.out.rfind("Usage: vxpack", 0), 0u) << result.out;
    } else {
      EXPECT_EQ(result.err.rfind("vxpack: ", 0), 0u) << result.err;
    }
  }
}

}  // namespace
