// Login state, PINs, data files and random bytes through the tool, on a
// virtual token file that keeps its state between runs as a card does.
#include <openssl/sha.h>

#include "tool_fixture.h"

namespace tooltest {
namespace {

using ::testing::ContainsRegex;
using ::testing::HasSubstr;
using ::testing::Not;

TEST_F(ToolTest, StatusFollowsFormattingLoginAndLogoutAcrossRuns) {
  RunResult r = pelu7({"status"});
  ASSERT_EQ(r.status, 0) << describe(r);
  EXPECT_THAT(r.out, HasSubstr("formatted:             no"));
  EXPECT_THAT(r.out, HasSubstr("SSF33:                 supported"));

  formatToken();
  r = pelu7({"status"});
  EXPECT_THAT(r.out, HasSubstr("user logged in:        no"));
  EXPECT_THAT(r.out, HasSubstr("key pairs:             0"));

  loginUser();
  r = pelu7({"status"});
  EXPECT_THAT(r.out, HasSubstr("user logged in:        yes"));
  EXPECT_THAT(r.out, HasSubstr("super user logged in:  no"));

  ASSERT_EQ(pelu7({"login", "so", "--so-pin-env", "SO_PIN"}).status, 0);
  r = pelu7({"status"});
  EXPECT_THAT(r.out, HasSubstr("user logged in:        no"));
  EXPECT_THAT(r.out, HasSubstr("super user logged in:  yes"));

  ASSERT_EQ(pelu7({"logout"}).status, 0);
  r = pelu7({"status"});
  EXPECT_THAT(r.out, HasSubstr("super user logged in:  no"));
}

TEST_F(ToolTest, WrongPinCountsDownThenBlocksUntilUnblocked) {
  formatToken();
  for (int left = 5; left >= 2; --left) {
    const RunResult r = pelu7({"login", "--pin-env", "WRONG_PIN"});
    EXPECT_EQ(r.status, 3) << describe(r);
    EXPECT_THAT(r.err, HasSubstr(std::to_string(left) + " tries left"));
    EXPECT_THAT(r.err, HasSubstr("还有" + std::to_string(left) + "次重试机会"));
  }
  RunResult r = pelu7({"login", "--pin-env", "WRONG_PIN"});
  EXPECT_EQ(r.status, 3) << describe(r);
  EXPECT_THAT(r.err, HasSubstr("1 try left"));

  r = pelu7({"login", "--pin-env", "WRONG_PIN"});
  EXPECT_EQ(r.status, 4) << describe(r);
  EXPECT_THAT(r.err, HasSubstr("PIN blocked: error -1: 用户PIN码已锁"));
  r = pelu7({"login", "--pin-env", "USER_PIN"});
  EXPECT_EQ(r.status, 4) << "the right PIN opens a blocked PIN: " << describe(r);

  r = pelu7({"unblock-pin", "--so-pin-env", "WRONG_PIN", "--new-pin-env", "USER_PIN"});
  EXPECT_EQ(r.status, 3) << describe(r);
  EXPECT_THAT(r.err, HasSubstr("5 tries left"));
  r = pelu7({"unblock-pin", "--so-pin-env", "SO_PIN", "--new-pin-env", "USER_PIN"});
  ASSERT_EQ(r.status, 0) << describe(r);
  loginUser();
}

TEST_F(ToolTest, ChangedPinReplacesTheOldOneAndPinFilesDropTheLineEnd) {
  formatToken();
  writeText("new.pin", "24682468\r\n");
  RunResult r = pelu7({"change-pin", "--pin-env", "WRONG_PIN", "--new-pin-file", path("new.pin")});
  EXPECT_EQ(r.status, 3) << describe(r);
  r = pelu7({"change-pin", "--pin-env", "USER_PIN", "--new-pin-file", path("new.pin")});
  ASSERT_EQ(r.status, 0) << describe(r);

  EXPECT_EQ(pelu7({"login", "--pin-env", "USER_PIN"}).status, 3);
  writeText("plain.pin", "24682468");
  r = pelu7({"login", "--pin-file", path("plain.pin")});
  EXPECT_EQ(r.status, 0) << describe(r);
}

TEST_F(ToolTest, TraceMasksThePinValue) {
  formatToken();
  const RunResult r = pelu7({"login", "--pin-env", "USER_PIN", "--trace", path("trace.txt")});
  ASSERT_EQ(r.status, 0) << describe(r);
  const std::string trace = readText("trace.txt");
  EXPECT_THAT(trace, HasSubstr("> 0020000108****************\n< 9000\n"));

  // Neither the PIN nor the value the card compares may appear.
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(kUserPin), 8, digest);
  EXPECT_THAT(trace, Not(HasSubstr(testsupport::toHex(digest, 8))));
  EXPECT_THAT(trace, Not(HasSubstr("3132333435363738")));
}

TEST_F(ToolTest, GlobalInformationFileNeedsTheUserToWrite) {
  formatToken();
  ASSERT_EQ(pelu7({"info-file", "create", "32"}).status, 0);
  RunResult r = pelu7({"info-file", "write", "--in-hex", "0102030405"});
  EXPECT_EQ(r.status, 1) << describe(r);
  EXPECT_THAT(r.err, HasSubstr("error -127: 写文件失败"));

  r = pelu7({"info-file", "write", "--offset", "2", "--in-hex", "0102030405", "--login", "user", "--pin-env",
             "USER_PIN"});
  ASSERT_EQ(r.status, 0) << describe(r);
  r = pelu7({"info-file", "read", "--length", "8", "--hex"});
  ASSERT_EQ(r.status, 0) << describe(r);
  EXPECT_EQ(r.out, "0000010203040500\n");
}

TEST_F(ToolTest, UserDataFileRoundTripAndDeletion) {
  formatToken();
  loginUser();
  ASSERT_EQ(pelu7({"file", "create", "2", "17", "100", "--read", "user", "--write", "user"}).status, 0);
  writeText("data.bin", std::string("\x00\x01\xFFpayload", 10));
  RunResult r = pelu7({"file", "write", "2", "17", "--offset", "3", "--in", path("data.bin")});
  ASSERT_EQ(r.status, 0) << describe(r);
  r = pelu7({"file", "read", "2", "17", "--offset", "3", "--length", "10", "--out", path("back.bin")});
  ASSERT_EQ(r.status, 0) << describe(r);
  EXPECT_EQ(readText("back.bin"), readText("data.bin"));

  ASSERT_EQ(pelu7({"logout"}).status, 0);
  r = pelu7({"file", "read", "2", "17", "--length", "1"});
  EXPECT_EQ(r.status, 1) << "a user file read without the user: " << describe(r);
  EXPECT_THAT(r.err, HasSubstr("error -128"));

  ASSERT_EQ(pelu7({"file", "delete", "2", "17", "--login", "user", "--pin-env", "USER_PIN"}).status, 0);
  r = pelu7({"file", "read", "2", "17", "--length", "1"});
  EXPECT_EQ(r.status, 1) << describe(r);
  EXPECT_THAT(r.err, HasSubstr("error -129: 指定的文件已删除"));
}

TEST_F(ToolTest, RandomBytesAsHexOrRaw) {
  RunResult r = pelu7({"random", "20", "--hex"});
  ASSERT_EQ(r.status, 0) << describe(r);
  EXPECT_THAT(r.out, ContainsRegex("^[0-9a-f]{40}\n$"));
  r = pelu7({"random", "9", "--out", path("rand.bin")});
  ASSERT_EQ(r.status, 0) << describe(r);
  EXPECT_EQ(readText("rand.bin").size(), 9u);
}

}  // namespace
}  // namespace tooltest
