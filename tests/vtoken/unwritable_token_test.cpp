// A token whose file cannot be written any more: a command that compares a
// secret answers memory failure (6581) whether the secret was right or wrong,
// since the card could not record the outcome in the object's counter.
#include "other_user.h"
#include "vtoken/describe.h"
#include "vtoken_test_util.h"

namespace vtoken::testing {
namespace {

const Bytes kWrongValue = fromHex("0000000000000000");

struct SecretCase {
  const char* name;
  void (*login)(Token&);
  Bytes command;
};

void PrintTo(const SecretCase& c, std::ostream* out) { *out << c.name; }

Bytes twoValues(const Bytes& header, const Bytes& first, const Bytes& second) {
  return concat(concat(header, first), second);
}

// What the child reports: the status word, then the tries left of the key
// objects 00 to 04 after the command.
struct Outcome {
  std::uint16_t sw = 0;
  std::array<std::uint8_t, 5> triesLeft{};
};

class UnwritableTokenTest : public ::testing::TestWithParam<SecretCase> {
 protected:
  // The token's folder belongs to the user who runs the token, so that the
  // folder's write permission binds it (it binds no root process).
  void SetUp() override {
    ::chmod(dir.path().c_str(), 0755);
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    ASSERT_EQ(::chown(folder.c_str(), user, user), 0);
  }

  // Formats a token, logs in, makes the folder read-only, sends the command.
  Outcome runInChild(const SecretCase& c) {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    const pid_t pid = forkAs(user, [&] {
      ::close(fds[0]);
      const auto token = Token::openFile(path);
      formatCard(*token);
      c.login(*token);
      Outcome outcome;
      if (::chmod(folder.c_str(), 0500) != 0) {
        return 1;
      }
      outcome.sw = token->transmit(c.command).sw;
      if (::chmod(folder.c_str(), 0700) != 0) {
        return 2;
      }
      for (const KeyDescription& key : describeToken(*token).keys) {
        outcome.triesLeft.at(key.id) = static_cast<std::uint8_t>(key.triesLeft);
      }
      return ::write(fds[1], &outcome, sizeof outcome) == sizeof outcome ? 0 : 3;
    });
    ::close(fds[1]);
    Outcome outcome;
    EXPECT_EQ(::read(fds[0], &outcome, sizeof outcome), static_cast<ssize_t>(sizeof outcome));
    ::close(fds[0]);
    EXPECT_EQ(waitForChild(pid), 0);
    return outcome;
  }

  uid_t user = runningAsRoot() ? kVictim : ::geteuid();
  TempDir dir;
  std::string folder = dir.file("own");
  std::string path = folder + "/t.vtoken";
};

TEST_P(UnwritableTokenTest, SecretIsNotComparedAndNoTryIsUsed) {
  const Outcome outcome = runInChild(GetParam());
  EXPECT_EQ(outcome.sw, card::kSwMemoryFailure);
  EXPECT_EQ(outcome.triesLeft, (std::array<std::uint8_t, 5>{6, 6, 6, 6, 6}));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnwritableTokenTest,
    ::testing::Values(
        SecretCase{"RightUserPinWhileLoggedIn", loginUser, verifyCommand(0x01, kUserPin)},
        SecretCase{"WrongUserPin", loginUser, verifyCommand(0x01, kWrongValue)},
        SecretCase{"RightSuperUserPinWhileLoggedIn", loginSuperUser, verifyCommand(0x02, kSuperPin)},
        SecretCase{"ChangeWithRightPinToTheSameValue", loginUser,
                   twoValues(fromHex("8024000110"), kUserPin, kUserPin)},
        SecretCase{"ChangeWithWrongPin", loginUser, twoValues(fromHex("8024000110"), kWrongValue, kUserPin)},
        SecretCase{"UnblockWithRightValueKeepingThePin", loginSuperUser,
                   twoValues(fromHex("802C000410"), kUnblockValue, kUserPin)},
        SecretCase{"UnblockWithWrongValue", loginSuperUser,
                   twoValues(fromHex("802C000410"), kWrongValue, kUserPin)}),
    [](const ::testing::TestParamInfo<SecretCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vtoken::testing
