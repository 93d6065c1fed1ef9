// Signing in a PKCS#11 token (SoftHSM2): what vxpack pubkey and sign do with each URI, and
// that a failed signing leaves the signature file as it was.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/softhsm.h"
#include "tests/support/testing.h"

namespace {

namespace ts = testing_support;

TEST(TokenSigning, TokenKeysSignAsKeyFilesDoAndEveryRefusalWritesNothing) {
  if (const std::string missing = ts::SoftHsm::Missing(); !missing.empty()) GTEST_SKIP() << missing;
  ts::SoftHsm hsm;
  hsm.InitToken("T", "1234");
  hsm.InitToken("U", "1234");
  hsm.MakeKey("T", "1234", "k", "01");
  hsm.MakeKey("T", "1234", "other", "02");
  hsm.MakeKey("T", "1234", "p256", "03", "EC:prime256v1");
  hsm.MakeKey("U", "1234", "k", "01");
  const auto in = [&](const std::string& name) { return (hsm.dir() / name).string(); };
  ts::WriteText(in("pin"), "1234\n");
  ts::WriteText(in("wrong-pin"), "9999\n");
  ts::WriteText(in("two-lines"), "1234\nx\n");
  ts::WriteText(in("VXUpdate.bin"), "package");
  ts::WriteText(in("fresh.bin"), "package");
  ASSERT_EQ(ts::Run(ts::Built("tools/vxpack"), {"keygen", "-o", in("f")}).exitCode, 0);
  const std::string pin = "&pin-source=" + in("pin");
  const std::string k = hsm.Uri("T", "object=k", pin);
  struct Case {
    std::vector<std::string> args;  // "@NAME": the file NAME in the folder
    int exitCode;
    std::string reason = "";
    std::vector<std::pair<std::string, std::string>> env = {};
  };
  const Case cases[] = {
      {{"pubkey", k, "-o", "@k.pub"}, 0},
      {{"pubkey", hsm.Uri("T", "id=%02"), "-o", "@other.pub"}, 0},
      {{"pubkey", k, "-o", "@k.pub"}, 0},  // the same key again
      {{"pubkey", k, "-o", "@other.pub"}, 1, "exists; not overwritten"},
      {{"pubkey", "@f.key", "-o", "@f2.pub"}, 0},
      {{"sign", "--key", "@f.key", "@VXUpdate.bin"}, 0},
      {{"verify", "--pub", "@f2.pub", "@VXUpdate.bin"}, 0},
      {{"sign", "--key", k, "@VXUpdate.bin"}, 0},
      {{"verify", "--pub", "@k.pub", "@VXUpdate.bin"}, 0},
      {{"verify", "--pub", k, "@VXUpdate.bin"}, 0},
      {{"verify", "--pub", "@other.pub", "@VXUpdate.bin"}, 1, "wrong signature"},
      // Every refusal below leaves the signature by k in place.
      {{"sign", "--key", hsm.Uri("T", "object=k", "&pin-source=" + in("wrong-pin")), "@VXUpdate.bin"},
       1, "object=k?module-path=" VXU_SOFTHSM_MODULE "&pin-source=" + in("wrong-pin") + ": wrong PIN"},
      {{"sign", "--key", hsm.Uri("T", "object=k", "&pin-value=secret%70in"), "@VXUpdate.bin"}, 1,
       "pin-value=***: wrong PIN"},
      {{"sign", "--key", hsm.Uri("T", "object=k"), "@VXUpdate.bin"}, 1, "wrong PIN", {{"VXPACK_PIN", "1"}}},
      {{"sign", "--key", hsm.Uri("T", "object=k"), "@fresh.bin"}, 1, "wrong PIN", {{"VXPACK_PIN", "1"}}},
      {{"sign", "--key", hsm.Uri("T", "object=k"), "@VXUpdate.bin"}, 1, "needs a PIN"},
      {{"sign", "--key", hsm.Uri("V", "object=k", pin), "@VXUpdate.bin"}, 1, ": no such token"},
      {{"sign", "--key", hsm.Uri("T", "object=x", pin), "@VXUpdate.bin"}, 1, ": no such key"},
      {{"sign", "--key", hsm.Uri("T", "", pin), "@VXUpdate.bin"}, 1, "names no key"},
      {{"sign", "--key", hsm.Uri("T", "objekt=k", pin), "@VXUpdate.bin"}, 1, "does not know"},
      {{"sign", "--key", hsm.Uri("T", "object=k", pin + "&module_path=x"), "@VXUpdate.bin"}, 1,
       "does not know: module_path"},
      {{"sign", "--key", hsm.Uri("U;token=T", "object=k", pin), "@VXUpdate.bin"}, 1, "gives token twice"},
      {{"sign", "--key", hsm.Uri("T", "object=k", "&pin-value="), "@VXUpdate.bin"}, 1, "an empty PIN"},
      {{"sign", "--key", hsm.Uri("T", "object=k"), "@VXUpdate.bin"}, 1, "needs a PIN", {{"VXPACK_PIN", ""}}},
      {{"sign", "--key", hsm.Uri("T", "object=k", "&pin-source=" + in("two-lines")), "@VXUpdate.bin"}, 1,
       "more than one line"},
      {{"sign", "--key", "pkcs11:token=T;object=k?module-path=" + hsm.dir().path().string(), "@VXUpdate.bin"},
       1, "not a regular file"},
      {{"sign", "--key", "pkcs11:token=T;object=k?module-path=" VXU_HOST_ZLIB, "@VXUpdate.bin"}, 1,
       "no PKCS#11 module"},
      {{"sign", "--key", "pkcs11:token=T;object=k?module-path=/nonexistent/module.so", "@VXUpdate.bin"},
       1, "cannot load module /nonexistent/module.so: "},
      {{"sign", "--key", hsm.Uri("T", "object=p256", pin), "@VXUpdate.bin"}, 1, ": not an Ed25519 key"},
      {{"pubkey", hsm.Uri("T", "object=p256", pin), "-o", "@p256.pub"}, 1, ": not an Ed25519 key"},
      // Without module-path, p11-kit's configured modules.
      {{"sign", "--key", "pkcs11:token=U;object=k?" + pin.substr(1), "@VXUpdate.bin"}, 0},
      {{"verify", "--pub", "@k.pub", "@VXUpdate.bin"}, 1, "wrong signature"},
      {{"sign", "--key", hsm.Uri("T", "object=k"), "@VXUpdate.bin"}, 0, "", {{"VXPACK_PIN", "1234"}}},
      {{"verify", "--pub", "@k.pub", "@VXUpdate.bin"}, 0},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args;
    for (const auto& arg : c.args) args.push_back(arg[0] == '@' ? in(arg.substr(1)) : arg);
    SCOPED_TRACE(args[0] + " " + args[1] + " " + args.back());
    auto env = hsm.Env();
    env.insert(env.end(), c.env.begin(), c.env.end());
    const ts::RunResult run = ts::Run(ts::Built("tools/vxpack"), args, env);
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
    EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("secret"), std::string::npos) << run.err;
  }
  EXPECT_FALSE(ts::fs::exists(in("p256.pub")));
  EXPECT_FALSE(ts::fs::exists(in("fresh.bin.sig")));
}

}  // namespace
