// Changing either role's PIN and unblocking the user PIN with the super
// user's PIN, against a formatted virtual token.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "card_expectations.h"
#include "support/dal_fixture.h"
#include "support/scripted_card.h"

namespace {

using e2e::derivedPinHex;
using testsupport::bytes;
using testsupport::ScriptedCard;

constexpr int kSuper = VORN_DAL_SUPER_USER;
constexpr int kUser = VORN_DAL_USER;

class PinChangeTest : public testsupport::DalTest {
 protected:
  void SetUp() override {
    DalTest::SetUp();
    formatToken();
  }
  static int login(int role, const std::string& pin) {
    const auto text = bytes(pin);
    return VORN_DAL_Login(role, text.data(), static_cast<int>(text.size()));
  }
  static int change(int role, const std::string& oldPin, const std::string& newPin) {
    const auto oldText = bytes(oldPin);
    const auto newText = bytes(newPin);
    return VORN_DAL_ChangePin(role, oldText.data(), static_cast<int>(oldText.size()), newText.data(),
                              static_cast<int>(newText.size()));
  }
  static int unlock(const std::string& superPin, const std::string& newUserPin) {
    const auto superText = bytes(superPin);
    const auto newText = bytes(newUserPin);
    return VORN_DAL_UnlockPin(superText.data(), static_cast<int>(superText.size()), newText.data(),
                              static_cast<int>(newText.size()));
  }
  static std::string pinOf(int role) { return role == kSuper ? kSuperPin : kUserPin; }
  static void blockUserPin() {
    for (int i = 0; i < 6; ++i) login(kUser, "wrong");
    ASSERT_EQ(VORN_DAL_ERR_USER_PIN_LOCKED, login(kUser, kUserPin));
  }
};

class PinChangeRole : public PinChangeTest, public ::testing::WithParamInterface<int> {
 protected:
  int role() const { return GetParam(); }
  int otherRole() const { return role() == kSuper ? kUser : kSuper; }
};

TEST_P(PinChangeRole, OldPinFailsAndNewPinWorksAfterwards) {
  ScriptedCard card;
  ASSERT_EQ(0, change(role(), pinOf(role()), "fresh pin"));
  const std::string keyId = role() == kSuper ? "02" : "01";
  EXPECT_EQ(card.commandsHex(), std::vector<std::string>{"802400" + keyId + "10" + derivedPinHex(pinOf(role())) +
                                                         derivedPinHex("fresh pin")});
  EXPECT_EQ(5, login(role(), pinOf(role())));
  EXPECT_EQ(0, login(role(), "fresh pin"));
  EXPECT_EQ(0, login(otherRole(), pinOf(otherRole())));
}

TEST_P(PinChangeRole, WrongOldPinLeavesThePinInForce) {
  EXPECT_EQ(5, change(role(), "wrong", "fresh pin"));
  EXPECT_EQ(logTexts(), std::vector<std::string>{"******>chk usr pin"});
  EXPECT_EQ(4, login(role(), "fresh pin"));
  EXPECT_EQ(0, login(role(), pinOf(role())));
}

TEST_P(PinChangeRole, EmptyNewPinIsInstalled) {
  ASSERT_EQ(0, change(role(), pinOf(role()), ""));
  EXPECT_EQ(0, VORN_DAL_Login(role(), nullptr, 0));
}

INSTANTIATE_TEST_SUITE_P(Roles, PinChangeRole, ::testing::Values(kSuper, kUser),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(info.param == kSuper ? "SuperUser" : "User");
                         });

struct ChangeAnswer {
  int role;
  int status;
  int result;
};

class ChangePinAnswer : public PinChangeTest, public ::testing::WithParamInterface<ChangeAnswer> {};

TEST_P(ChangePinAnswer, IsMappedLikeALogin) {
  const ChangeAnswer& c = GetParam();
  ScriptedCard card;
  card.answerAll({0x80, 0x24}, c.status);
  EXPECT_EQ(c.result, change(c.role, pinOf(c.role), "fresh pin"));
  EXPECT_EQ(logTexts(), std::vector<std::string>{"******>chk usr pin"});
}

INSTANTIATE_TEST_SUITE_P(Statuses, ChangePinAnswer,
                         ::testing::Values(ChangeAnswer{kUser, 0x63C2, 2}, ChangeAnswer{kSuper, 0x63C5, 5},
                                           ChangeAnswer{kUser, 0x63CE, 14},
                                           ChangeAnswer{kUser, 0x63C0, -1}, ChangeAnswer{kSuper, 0x63C0, -2},
                                           ChangeAnswer{kUser, 0x6983, -1}, ChangeAnswer{kSuper, 0x6983, -2},
                                           ChangeAnswer{kUser, 0x63CF, VORN_DAL_ERR_CHANGE_PIN},
                                           ChangeAnswer{kSuper, 0x6A88, VORN_DAL_ERR_CHANGE_PIN},
                                           ChangeAnswer{kUser, 0x6700, VORN_DAL_ERR_CHANGE_PIN}),
                         [](const ::testing::TestParamInfo<ChangeAnswer>& info) {
                           char name[32];
                           snprintf(name, sizeof name, "%s%04X", info.param.role == kSuper ? "SuperUser" : "User",
                                    static_cast<unsigned>(info.param.status));
                           return std::string(name);
                         });

TEST_F(PinChangeTest, UnblockGivesABlockedUserANewPin) {
  blockUserPin();
  clearLog();
  ScriptedCard card;
  ASSERT_EQ(0, unlock(kSuperPin, "new user"));
  EXPECT_TRUE(logLines().empty());
  EXPECT_EQ(card.commandsHex(),
            (std::vector<std::string>{"0020000208" + derivedPinHex(kSuperPin),
                                      "802C000410" + derivedPinHex("73018264") + derivedPinHex("new user")}));
  // The super user's VERIFY stays in force until another login.
  int superLoggedIn = -1;
  ASSERT_EQ(0, VORN_DAL_IsLogin(kSuper, &superLoggedIn));
  EXPECT_EQ(superLoggedIn, 1);
  EXPECT_EQ(0, login(kUser, "new user"));
  EXPECT_EQ(5, login(kUser, kUserPin));
}

TEST_F(PinChangeTest, WrongSuperUserPinSendsNoUnblockAndLogsNothing) {
  blockUserPin();
  clearLog();
  ScriptedCard card;
  EXPECT_EQ(5, unlock("wrong", "new user"));
  EXPECT_EQ(card.countWithHeader({0x80, 0x2C}), 0u);
  EXPECT_TRUE(logLines().empty());
  EXPECT_EQ(VORN_DAL_ERR_USER_PIN_LOCKED, login(kUser, "new user"));
}

// The answer to the super user's VERIFY, or to the UNBLOCK after it.
struct UnlockAnswer {
  const char* name;
  std::vector<std::uint8_t> prefix;
  int status;
  int result;
  bool logged;
  size_t unblocksSent;
};

// Printed by name: the default printer would read the struct's padding bytes.
void PrintTo(const UnlockAnswer& c, std::ostream* os) { *os << c.name; }

class UnlockPinAnswer : public PinChangeTest, public ::testing::WithParamInterface<UnlockAnswer> {};

TEST_P(UnlockPinAnswer, IsMappedToItsOwnCodes) {
  const UnlockAnswer& c = GetParam();
  ScriptedCard card;
  e2e::answerAllWith(card, c.prefix, c.status);
  EXPECT_EQ(c.result, unlock(kSuperPin, "new user"));
  EXPECT_EQ(card.countWithHeader({0x80, 0x2C}), c.unblocksSent);
  EXPECT_EQ(logTexts(), c.logged ? std::vector<std::string>{"******>chk usr pin"} : std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, UnlockPinAnswer,
    ::testing::Values(UnlockAnswer{"VerifyTriesLeft", {0x00, 0x20, 0x00, 0x02}, 0x63C3, 3, false, 0},
                      UnlockAnswer{"VerifyNoTriesLeft", {0x00, 0x20, 0x00, 0x02}, 0x63C0, -2, false, 0},
                      UnlockAnswer{"VerifyBlocked", {0x00, 0x20, 0x00, 0x02}, 0x6983, -2, false, 0},
                      UnlockAnswer{"VerifyOutOfRange", {0x00, 0x20, 0x00, 0x02}, 0x63CF, -110, true, 0},
                      UnlockAnswer{"VerifyRefused", {0x00, 0x20, 0x00, 0x02}, 0x6A88, -110, true, 0},
                      UnlockAnswer{"UnblockRefused", {0x80, 0x2C}, 0x6982, -112, true, 1},
                      UnlockAnswer{"UnblockWrongValue", {0x80, 0x2C}, 0x63C2, -112, true, 1}),
    [](const ::testing::TestParamInfo<UnlockAnswer>& info) { return std::string(info.param.name); });

// A negative PIN length is refused before anything is derived or sent.
struct NegativeLengthCall {
  const char* name;
  std::function<int(const unsigned char*)> call;
};

void PrintTo(const NegativeLengthCall& c, std::ostream* os) { *os << c.name; }

class NegativePinLength : public PinChangeTest, public ::testing::WithParamInterface<NegativeLengthCall> {};

TEST_P(NegativePinLength, IsRefusedWithoutAnyCommand) {
  const auto pin = bytes(kSuperPin);
  ScriptedCard card;
  EXPECT_EQ(VORN_DAL_ERR_ARGUMENT, GetParam().call(pin.data()));
  EXPECT_TRUE(card.exchanges().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Exports, NegativePinLength,
    ::testing::Values(
        NegativeLengthCall{"ChangePinOld", [](const unsigned char* p) { return VORN_DAL_ChangePin(kUser, p, -1, p, 8); }},
        NegativeLengthCall{"ChangePinNew", [](const unsigned char* p) { return VORN_DAL_ChangePin(kSuper, p, 8, p, -2); }},
        NegativeLengthCall{"UnlockSuper", [](const unsigned char* p) { return VORN_DAL_UnlockPin(p, -1, p, 8); }},
        NegativeLengthCall{"UnlockNewUser", [](const unsigned char* p) { return VORN_DAL_UnlockPin(p, 8, p, -8); }},
        NegativeLengthCall{"LoginMinimum", [](const unsigned char* p) { return VORN_DAL_Login(kSuper, p, INT32_MIN); }}),
    [](const ::testing::TestParamInfo<NegativeLengthCall>& info) { return std::string(info.param.name); });

}  // namespace
