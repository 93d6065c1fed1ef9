#include "tests/support/softhsm.h"

#include <cstdlib>

namespace testing_support {

std::string SoftHsm::Missing() {
  for (const char* needed : {VXU_SOFTHSM_MODULE, VXU_SOFTHSM_UTIL, VXU_PKCS11_TOOL}) {
    if (std::string_view(needed).ends_with("-NOTFOUND")) return std::string(needed);
  }
  return "";
}

SoftHsm::SoftHsm() {
  fs::create_directory(dir_ / "tokens");
  WriteText(dir_ / "softhsm2.conf", "directories.tokendir = " + (dir_ / "tokens").string() +
                                        "\nobjectstore.backend = file\nlog.level = ERROR\n");
}

std::vector<std::pair<std::string, std::string>> SoftHsm::Env() const {
  // Under the sanitizers, the module's own leaks are not the tools' (softhsm.supp).
  const char* lsan = std::getenv("LSAN_OPTIONS");
  return {{"SOFTHSM2_CONF", (dir_ / "softhsm2.conf").string()},
          {"LSAN_OPTIONS", (lsan != nullptr ? lsan + std::string(":") : "") +
                               "suppressions=" VXU_SOFTHSM_SUPPRESSIONS}};
}

void SoftHsm::InitToken(const std::string& label, const std::string& pin) {
  const RunResult run = Run(VXU_SOFTHSM_UTIL, {"--init-token", "--free", "--label", label, "--pin",
                                               pin, "--so-pin", "5678"}, Env());
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
}

void SoftHsm::MakeKey(const std::string& token, const std::string& pin, const std::string& label,
                      const std::string& id, const std::string& type) {
  const RunResult run = Run(VXU_PKCS11_TOOL, {"--module", VXU_SOFTHSM_MODULE, "--token-label", token,
                                              "--login", "--pin", pin, "--keypairgen", "--key-type",
                                              type, "--label", label, "--id", id}, Env());
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
}

std::string SoftHsm::Uri(const std::string& token, const std::string& attributes,
                         const std::string& query) const {
  return "pkcs11:token=" + token + (attributes.empty() ? "" : ";" + attributes) +
         "?module-path=" VXU_SOFTHSM_MODULE + query;
}

}  // namespace testing_support
