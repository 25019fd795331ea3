// The tool's command line: wrong usage, help, messages, a missing token and
// a PIN that cannot be asked for.
#include <sys/stat.h>

#include "tool_fixture.h"

namespace tooltest {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;

class ToolUsageTest : public ToolTest, public ::testing::WithParamInterface<std::vector<std::string>> {};

TEST_P(ToolUsageTest, WrongCommandLineExitsTwoWithUsageAndTouchesNoToken) {
  const RunResult r = pelu7(GetParam());
  EXPECT_EQ(r.status, 2) << describe(r);
  EXPECT_THAT(r.err, HasSubstr("usage: pelu7"));
  EXPECT_THAT(r.out, IsEmpty());
  struct stat info {};
  EXPECT_NE(stat(token().c_str(), &info), 0) << "the token file was created";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ToolUsageTest,
    ::testing::Values(std::vector<std::string>{}, std::vector<std::string>{"frobnicate"},
                      std::vector<std::string>{"status", "--bogus"}, std::vector<std::string>{"random"},
                      std::vector<std::string>{"random", "12x"}, std::vector<std::string>{"key"},
                      std::vector<std::string>{"key", "destroy"},
                      std::vector<std::string>{"file", "read", "1", "5"},
                      std::vector<std::string>{"file", "create", "4", "1", "10"},
                      std::vector<std::string>{"file", "create", "1", "512", "10"},
                      std::vector<std::string>{"file", "create", "1", "5", "10", "--read", "admin"},
                      std::vector<std::string>{"encrypt", "--alg", "des", "--key", "0011", "--in-hex", "00"},
                      std::vector<std::string>{"encrypt", "--alg", "des", "--key", "zz11223344556677"},
                      std::vector<std::string>{"encrypt", "--alg", "ssf33", "--key",
                                               "00112233445566778899aabbccddeeff", "--mode", "cbc"},
                      std::vector<std::string>{"mac", "--alg", "rc4", "--key", "0011", "--in-hex", "00"},
                      std::vector<std::string>{"--port", "9", "status"},
                      std::vector<std::string>{"status", "--reader", "usb:1"},
                      std::vector<std::string>{"login", "--pin-env", "NOT_SET_ANYWHERE"},
                      std::vector<std::string>{"format", "--so-pin-env", "SO_PIN", "--pin-env", "NOT_SET_ANYWHERE"}));

// Key and PIN material given in the wrong place is never repeated in the
// error message.
struct SecretEchoCase {
  std::vector<std::string> args;
  const char* secret;
};

void PrintTo(const SecretEchoCase& c, std::ostream* out) {
  for (const std::string& a : c.args) *out << a << ' ';
}

class ToolSecretEchoTest : public ToolTest, public ::testing::WithParamInterface<SecretEchoCase> {};

TEST_P(ToolSecretEchoTest, WrongCommandLineDoesNotRepeatTheSecret) {
  const RunResult r = pelu7(GetParam().args);
  EXPECT_EQ(r.status, 2) << describe(r);
  EXPECT_THAT(r.err, HasSubstr("usage: pelu7"));
  EXPECT_THAT(r.err, ::testing::Not(HasSubstr(GetParam().secret))) << describe(r);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ToolSecretEchoTest,
    ::testing::Values(
        SecretEchoCase{{"encrypt", "--alg", "des", "--key", "9A3C5E7F1B2D4F6x", "--in-hex", "00"}, "9A3C5E7F1B2D4F6"},
        SecretEchoCase{{"mac", "--alg", "3des", "--key=9A3C5E7F 1B2D4F60 g"}, "9A3C5E7F"},
        SecretEchoCase{{"login", "13572468"}, "13572468"},
        SecretEchoCase{{"login", "so", "13572468"}, "13572468"},
        SecretEchoCase{{"change-pin", "13572468", "--pin-env", "USER_PIN"}, "13572468"},
        SecretEchoCase{{"unblock-pin", "13572468"}, "13572468"},
        SecretEchoCase{{"format", "13572468"}, "13572468"},
        SecretEchoCase{{"info-file", "read", "--length", "4", "--login", "13572468"}, "13572468"}));

TEST_F(ToolTest, HelpListsCommandsAndExitStatuses) {
  const RunResult r = pelu7Bare({"--help"});
  ASSERT_EQ(r.status, 0) << describe(r);
  for (const char* text : {"key generate", "vtoken attach", "3  wrong PIN", "4  PIN blocked", "5  no token"}) {
    EXPECT_THAT(r.out, HasSubstr(text));
  }
  const RunResult sign = pelu7Bare({"sign", "--help"});
  EXPECT_EQ(sign.status, 0);
  EXPECT_THAT(sign.out, HasSubstr("usage: pelu7 sign ID FILE"));
}

struct MessageCase {
  const char* code;
  const char* text;
};

void PrintTo(const MessageCase& c, std::ostream* out) { *out << "code " << c.code; }

class ToolErrmsgTest : public ToolTest, public ::testing::WithParamInterface<MessageCase> {};

TEST_P(ToolErrmsgTest, PrintsTheLibraryMessageInUtf8) {
  const RunResult r = pelu7Bare({"errmsg", GetParam().code});
  ASSERT_EQ(r.status, 0) << describe(r);
  EXPECT_EQ(r.out, std::string(GetParam().text) + "\n");
}

INSTANTIATE_TEST_SUITE_P(Codes, ToolErrmsgTest,
                         ::testing::Values(MessageCase{"-101", "打开设备错"}, MessageCase{"-1", "用户PIN码已锁"},
                                           MessageCase{"3", "PIN码不正确，还有3次重试机会"},
                                           MessageCase{"-110", "解锁USER PIN时校检SUP PIN失败"},
                                           MessageCase{"0x9000", "未知的错误"}));

TEST_F(ToolTest, NoReaderConfiguredIsReportedAsTheOpenError) {
  const RunResult r = pelu7Bare({"status"}, {{"PELU7_READERS", ""}});
  EXPECT_EQ(r.status, 5) << describe(r);
  EXPECT_THAT(r.err, HasSubstr("error -101: 打开设备错"));
  EXPECT_THAT(r.out, IsEmpty());
}

TEST_F(ToolTest, TokenFileThatCannotBeMadeIsReportedAsTheOpenError) {
  const RunResult r = pelu7Bare({"random", "8", "--reader", "vtoken:" + path("no/such/folder/t.vtoken")});
  EXPECT_EQ(r.status, 5) << describe(r);
  EXPECT_THAT(r.err, HasSubstr("error -101: 打开设备错"));
}

TEST_F(ToolTest, PinWithoutTerminalOrOptionIsAUsageErrorBeforeAnyCardCommand) {
  formatToken();
  const std::string trace = path("trace.txt");
  const RunResult r = pelu7({"login", "--trace", trace});
  EXPECT_EQ(r.status, 2) << describe(r);
  EXPECT_THAT(r.err, HasSubstr("--pin-env NAME or --pin-file PATH"));
  EXPECT_THAT(readText("trace.txt"), IsEmpty());
}

}  // namespace
}  // namespace tooltest
