// The PKCS#11 module's files (type 3, numbers 256 to 511) on a token that
// carries them: the tool changes them only with --force, and a forced change
// moves the module's change counter so that running modules read again.
#include "tool_fixture.h"

namespace tooltest {
namespace {

using ::testing::HasSubstr;

// The head of the module's index: magic "P11I", version 1, three bytes of
// zeros, the change counter (5) and the instance (7), big endian.
constexpr const char* kIndexHead = "5031314901000000"
                                   "0000000500000007";

struct GuardCase {
  const char* name;
  std::vector<std::string> args;
  bool guarded;  // a file of the module: refused unless forced
};

void PrintTo(const GuardCase& c, std::ostream* out) { *out << c.name; }

class ToolModuleFiles : public ToolTest, public ::testing::WithParamInterface<GuardCase> {
 protected:
  void SetUp() override {
    formatToken();
    loginUser();
    // One payload file and the module's index, the index last: until it is
    // there the token carries none of the module's files.
    for (const auto& [number, content] : {std::pair{"300", "5031314401"}, std::pair{"510", kIndexHead}}) {
      RunResult r = pelu7({"file", "create", "3", number, "64"});
      ASSERT_EQ(r.status, 0) << describe(r);
      r = pelu7({"file", "write", "3", number, "--in-hex", content});
      ASSERT_EQ(r.status, 0) << describe(r);
    }
  }

  std::string counter() const {
    const RunResult r = pelu7({"file", "read", "3", "510", "--offset", "8", "--length", "4", "--hex"});
    EXPECT_EQ(r.status, 0) << describe(r);
    return r.out;
  }
};

TEST_P(ToolModuleFiles, RefusedNamingTheModuleUnlessForced) {
  const RunResult plain = pelu7(GetParam().args);
  if (!GetParam().guarded) {
    EXPECT_EQ(plain.status, 0) << describe(plain);
    EXPECT_EQ(counter(), "00000005\n") << "a file that is not the module's leaves its counter";
    return;
  }
  EXPECT_EQ(plain.status, 1) << describe(plain);
  EXPECT_THAT(plain.err, HasSubstr("is kept by the PKCS#11 module (libpelu7-pkcs11.so)"));
  EXPECT_THAT(plain.err, HasSubstr("add --force"));
  EXPECT_EQ(counter(), "00000005\n");

  std::vector<std::string> forced = GetParam().args;
  forced.push_back("--force");
  const RunResult r = pelu7(forced);
  EXPECT_EQ(r.status, 0) << describe(r);
  EXPECT_EQ(counter(), "00000007\n") << "moved before and after the change";
}

INSTANTIATE_TEST_SUITE_P(
    Commands, ToolModuleFiles,
    ::testing::Values(GuardCase{"WriteIndex", {"file", "write", "3", "510", "--offset", "40", "--in-hex", "00"}, true},
                      GuardCase{"WritePayload", {"file", "write", "3", "300", "--in-hex", "00"}, true},
                      GuardCase{"DeletePayload", {"file", "delete", "3", "300"}, true},
                      GuardCase{"CreateInTheModulesRange", {"file", "create", "3", "256", "8"}, true},
                      GuardCase{"WriteIdentity", {"file", "write", "3", "255", "--in-hex", "00"}, true},
                      GuardCase{"CreateBelowTheModulesRange", {"file", "create", "3", "254", "8"}, false},
                      GuardCase{"CreateOfAnotherType", {"file", "create", "2", "400", "8"}, false}),
    [](const auto& info) { return std::string(info.param.name); });

// A token whose files 3/256 to 3/511 are not the module's is the user's own.
TEST_F(ToolTest, ModuleRangeIsFreeOnATokenWithoutTheModulesFiles) {
  formatToken();
  loginUser();
  RunResult r = pelu7({"file", "create", "3", "510", "8"});
  ASSERT_EQ(r.status, 0) << describe(r);
  r = pelu7({"file", "write", "3", "510", "--in-hex", "0102030405060708"});
  EXPECT_EQ(r.status, 0) << describe(r);
}

}  // namespace
}  // namespace tooltest
