// A token file that can be read but no longer written, seen through the tool
// and the library: PIN checks are refused alike for right and wrong PINs,
// status says what failed, and a trace file that cannot be opened is warned
// about.
#include <sys/stat.h>
#include <unistd.h>

#include "tool_fixture.h"

namespace tooltest {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

// The user who owns the token's folder: the folder's write permission does
// not bind root, so a root test runs the tool as this user, from a copy that
// user can reach wherever the build lies.
constexpr uid_t kTokenUser = 65533;

class ReadOnlyTokenTest : public ToolTest {
 protected:
  void SetUp() override {
    ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(folder_.c_str(), 0700), 0);
    if (::geteuid() == 0) {
      ASSERT_EQ(::chown(folder_.c_str(), kTokenUser, kTokenUser), 0);
      ASSERT_NO_THROW(tool_ = copyToolForOtherUsers(path("tool")));
    }
    const RunResult format = run({"format", "--so-pin-env", "SO_PIN", "--pin-env", "USER_PIN"});
    ASSERT_EQ(format.status, 0) << describe(format);
    const RunResult login = run({"login", "--pin-env", "USER_PIN"});
    ASSERT_EQ(login.status, 0) << describe(login);
  }

  void setWritable(bool writable) const { ASSERT_EQ(::chmod(folder_.c_str(), writable ? 0700 : 0500), 0); }

  // pelu7 on the token in the user's folder, as that user.
  RunResult run(const std::vector<std::string>& args) const {
    std::vector<std::string> argv;
    if (::geteuid() == 0) {
      const std::string id = std::to_string(kTokenUser);
      argv = {"setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups"};
    }
    argv.insert(argv.end(), {tool_.tool, "--reader", "vtoken:" + tokenPath_});
    argv.insert(argv.end(), args.begin(), args.end());
    Environment env = tool_.env;
    env.insert({{"SO_PIN", kSuperPin}, {"USER_PIN", kUserPin}, {"WRONG_PIN", "11111111"}, {"PELU7_APDU_TRACE", ""}});
    return runProgram(argv, env);
  }

  ToolCopy tool_{toolPath(), {}};
  std::string folder_ = path("own");
  std::string tokenPath_ = folder_ + "/t.vtoken";
};

class ReadOnlyLoginTest : public ReadOnlyTokenTest, public ::testing::WithParamInterface<const char*> {};

// A right PIN (the user is logged in already, so nothing would change) and a
// wrong one end alike, in the library's ordinary login failure.
TEST_P(ReadOnlyLoginTest, EndsInTheLoginFailureAndUsesNoTry) {
  setWritable(false);
  const RunResult r = run({"login", "--pin-env", GetParam()});
  setWritable(true);
  EXPECT_EQ(r.status, 1) << describe(r);
  EXPECT_THAT(r.err, HasSubstr("login as user: error -114"));
  const RunResult show = run({"vtoken", "show", tokenPath_});
  ASSERT_EQ(show.status, 0) << describe(show);
  EXPECT_THAT(show.out, HasSubstr("01  PIN (3A), attributes F0 EF 0A 66, 6 of 6 tries left"));
  EXPECT_THAT(run({"status"}).out, HasSubstr("user logged in:        yes"));
}

INSTANTIATE_TEST_SUITE_P(Pins, ReadOnlyLoginTest, ::testing::Values("USER_PIN", "WRONG_PIN"));

// A token file that cannot be read: status says why (no token, and the
// file's problem), not that the token is unformatted.
TEST_F(ReadOnlyTokenTest, StatusSaysWhatFailedInsteadOfUnformatted) {
  ASSERT_EQ(::chmod(tokenPath_.c_str(), 0), 0);
  const RunResult r = run({"status"});
  ASSERT_EQ(::chmod(tokenPath_.c_str(), 0600), 0);
  EXPECT_EQ(r.status, 5) << describe(r);
  EXPECT_THAT(r.out, Not(HasSubstr("formatted:")));
  EXPECT_THAT(r.err, HasSubstr("cannot open it: Permission denied"));
  EXPECT_THAT(r.err, HasSubstr(tokenPath_));
}

// Reading changes nothing that must last: a token that cannot be changed
// (its folder read-only) is still read.
TEST_F(ReadOnlyTokenTest, StatusAndFileReadWorkWhileTheTokenCannotBeChanged) {
  ASSERT_EQ(run({"file", "create", "1", "5", "4", "--read", "free", "--write", "user"}).status, 0);
  ASSERT_EQ(run({"file", "write", "1", "5", "--in-hex", "cafebabe"}).status, 0);
  setWritable(false);
  const RunResult status = run({"status"});
  const RunResult read = run({"file", "read", "1", "5", "--length", "4", "--hex"});
  setWritable(true);
  EXPECT_EQ(status.status, 0) << describe(status);
  EXPECT_THAT(status.out, HasSubstr("user logged in:        yes"));
  EXPECT_EQ(read.status, 0) << describe(read);
  EXPECT_THAT(read.out, HasSubstr("cafebabe"));
}

TEST_F(ToolTest, TraceFileThatCannotBeOpenedIsWarnedAbout) {
  const std::string trace = path("no/such/folder/trace.txt");
  const RunResult r = pelu7({"random", "4", "--hex", "--trace", trace});
  EXPECT_EQ(r.status, 0) << describe(r);
  EXPECT_THAT(r.out, Not(IsEmpty()));
  EXPECT_THAT(r.err, HasSubstr("warning: cannot open the trace file " + trace));
}

}  // namespace
}  // namespace tooltest
