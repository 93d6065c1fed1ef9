// PKCS#11 tokens for tests: SoftHSM2 with a token folder and a configuration of its own in
// a temporary folder (never the system's), tokens made with softhsm2-util and keys with
// pkcs11-tool.
#ifndef TESTS_SUPPORT_SOFTHSM_H_
#define TESTS_SUPPORT_SOFTHSM_H_

#include <string>
#include <utility>
#include <vector>

#include "tests/support/testing.h"

namespace testing_support {

class SoftHsm {
 public:
  // What of SoftHSM2 and its tools is missing (for GTEST_SKIP), or "".
  static std::string Missing();
  SoftHsm();
  void InitToken(const std::string& label, const std::string& pin);
  // A key pair with CKA_ID `id` (hex) of `type` ("EC:edwards25519", "EC:prime256v1").
  void MakeKey(const std::string& token, const std::string& pin, const std::string& label,
               const std::string& id, const std::string& type = "EC:edwards25519");
  // "pkcs11:token=TOKEN;ATTRIBUTES?module-path=MODULE" followed by `query` ("&pin-...").
  std::string Uri(const std::string& token, const std::string& attributes,
                  const std::string& query = "") const;
  std::vector<std::pair<std::string, std::string>> Env() const;
  const TempDir& dir() const { return dir_; }

 private:
  TempDir dir_;
};

}  // namespace testing_support

#endif  // TESTS_SUPPORT_SOFTHSM_H_
