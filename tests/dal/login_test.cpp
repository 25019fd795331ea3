// Logging the two roles in and out against a formatted virtual token: the
// card's one security state decides who counts as logged in.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "card_expectations.h"
#include "driver/tkrdr.h"
#include "support/dal_fixture.h"
#include "support/scripted_card.h"

namespace {

using e2e::derivedPinHex;
using testsupport::bytes;
using testsupport::ScriptedCard;

constexpr int kSuper = VORN_DAL_SUPER_USER;
constexpr int kUser = VORN_DAL_USER;

class LoginTest : public testsupport::DalTest {
 protected:
  void SetUp() override {
    DalTest::SetUp();
    formatToken();
  }
  static int login(int role, const std::string& pin) {
    const auto text = bytes(pin);
    return VORN_DAL_Login(role, text.data(), static_cast<int>(text.size()));
  }
  static std::string pinOf(int role) { return role == kSuper ? kSuperPin : kUserPin; }
  // The output of IsLogin, after checking that the call itself succeeded.
  static int loggedIn(int role) {
    int out = -1;
    EXPECT_EQ(0, VORN_DAL_IsLogin(role, &out));
    return out;
  }
};

class LoginRole : public LoginTest, public ::testing::WithParamInterface<int> {
 protected:
  int role() const { return GetParam(); }
  int otherRole() const { return role() == kSuper ? kUser : kSuper; }
  int blockedCode() const { return role() == kSuper ? VORN_DAL_ERR_SUPER_PIN_LOCKED : VORN_DAL_ERR_USER_PIN_LOCKED; }
};

TEST_P(LoginRole, OnlyTheLoggedInRoleCounts) {
  EXPECT_EQ(loggedIn(role()), 0);
  ASSERT_EQ(0, login(role(), pinOf(role())));
  EXPECT_EQ(loggedIn(role()), 1);
  EXPECT_EQ(loggedIn(otherRole()), 0);
}

TEST_P(LoginRole, LoggingInTheOtherRoleReplacesThisOne) {
  ASSERT_EQ(0, login(role(), pinOf(role())));
  ASSERT_EQ(0, login(otherRole(), pinOf(otherRole())));
  EXPECT_EQ(loggedIn(role()), 0);
  EXPECT_EQ(loggedIn(otherRole()), 1);
}

TEST_P(LoginRole, VerifySendsTheDerivedPinToTheRolesObject) {
  ScriptedCard card;
  ASSERT_EQ(0, login(role(), pinOf(role())));
  const std::string keyId = role() == kSuper ? "02" : "01";
  EXPECT_EQ(card.commandsHex(), std::vector<std::string>{"002000" + keyId + "08" + derivedPinHex(pinOf(role()))});
}

// Six tries: every wrong PIN counts one down, then the object stays blocked,
// even for the right PIN.
TEST_P(LoginRole, WrongPinsCountDownToBlocked) {
  const std::vector<int> expected = {5, 4, 3, 2, 1, blockedCode(), blockedCode()};
  std::vector<int> results;
  for (size_t i = 0; i < expected.size(); ++i) results.push_back(login(role(), "wrong"));
  EXPECT_EQ(results, expected);
  EXPECT_EQ(login(role(), pinOf(role())), blockedCode());
  EXPECT_EQ(logTexts(), std::vector<std::string>(expected.size() + 1, "******>chk pin"));
  // The other role is not affected.
  EXPECT_EQ(0, login(otherRole(), pinOf(otherRole())));
}

TEST_P(LoginRole, RightPinRestoresTheTries) {
  ASSERT_EQ(5, login(role(), "wrong"));
  ASSERT_EQ(0, login(role(), pinOf(role())));
  EXPECT_EQ(5, login(role(), "wrong"));
}

// Logging out either role drops whichever role was logged in.
TEST_P(LoginRole, LogoutOfEitherTypeLogsOutBoth) {
  for (int logoutType : {kSuper, kUser}) {
    ASSERT_EQ(0, login(role(), pinOf(role())));
    ScriptedCard card;
    ASSERT_EQ(0, VORN_DAL_Logout(logoutType));
    EXPECT_EQ(card.commandsHex(), std::vector<std::string>{"0020000308" + derivedPinHex("40596137")});
    EXPECT_EQ(loggedIn(kSuper), 0) << "logout type " << logoutType;
    EXPECT_EQ(loggedIn(kUser), 0) << "logout type " << logoutType;
  }
}

INSTANTIATE_TEST_SUITE_P(Roles, LoginRole, ::testing::Values(kSuper, kUser),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(info.param == kSuper ? "SuperUser" : "User");
                         });

// The card's answer to VERIFY and what Login makes of it.
struct VerifyAnswer {
  int role;
  int status;
  int result;
};

class LoginAnswer : public LoginTest, public ::testing::WithParamInterface<VerifyAnswer> {};

TEST_P(LoginAnswer, IsMappedToTriesLeftBlockedOrRefused) {
  const VerifyAnswer& c = GetParam();
  ScriptedCard card;
  card.answerAll({0x00, 0x20}, c.status);
  EXPECT_EQ(c.result, login(c.role, pinOf(c.role)));
  EXPECT_EQ(logTexts(), std::vector<std::string>{"******>chk pin"});
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, LoginAnswer,
    ::testing::Values(VerifyAnswer{kUser, 0x63C5, 5}, VerifyAnswer{kUser, 0x63C1, 1},
                      VerifyAnswer{kSuper, 0x63CE, 14}, VerifyAnswer{kUser, 0x63CF, VORN_DAL_ERR_LOGIN},
                      VerifyAnswer{kUser, 0x6983, -1}, VerifyAnswer{kSuper, 0x6983, -2},
                      VerifyAnswer{kUser, 0x63C0, -1}, VerifyAnswer{kSuper, 0x63C0, -2},
                      VerifyAnswer{kUser, 0x6A88, VORN_DAL_ERR_LOGIN}, VerifyAnswer{kSuper, 0x6300, VORN_DAL_ERR_LOGIN},
                      VerifyAnswer{kUser, 0x6C05, VORN_DAL_ERR_LOGIN},
                      VerifyAnswer{kUser, TKRDR_SW_COMM, VORN_DAL_ERR_NO_DEVICE}),
                         [](const ::testing::TestParamInfo<VerifyAnswer>& info) {
                           char name[32];
                           snprintf(name, sizeof name, "%s%04X", info.param.role == kSuper ? "SuperUser" : "User",
                                    static_cast<unsigned>(info.param.status));
                           return std::string(name);
                         });

TEST_F(LoginTest, RefusedLogoutIsReported) {
  ScriptedCard card;
  card.answerAll({0x00, 0x20, 0x00, 0x03}, 0x6983);
  EXPECT_EQ(VORN_DAL_ERR_LOGOUT, VORN_DAL_Logout(kUser));
  EXPECT_EQ(logTexts(), std::vector<std::string>{"******>chk usr pin"});
}

TEST_F(LoginTest, IsLoginWhileNobodyIsLoggedInLogsTheRefusedRead) {
  int out = -1;
  ASSERT_EQ(0, VORN_DAL_IsLogin(kUser, &out));
  EXPECT_EQ(out, 0);
  ASSERT_EQ(logTexts().size(), 1u);
  EXPECT_EQ(logTexts()[0].rfind("******>ICC_tsi_api Error:", 0), 0u);
}

TEST_F(LoginTest, NegativePinLengthIsRefusedBeforeAnyCommand) {
  const auto pin = bytes(kUserPin);
  ScriptedCard card;
  EXPECT_EQ(VORN_DAL_ERR_ARGUMENT, VORN_DAL_Login(kUser, pin.data(), -1));
  EXPECT_TRUE(card.exchanges().empty());
}

TEST_F(LoginTest, ThePinIsTheWholeGivenLength) {
  const std::string withTerminator(kUserPin, 9);
  EXPECT_EQ(5, login(kUser, withTerminator));
  EXPECT_EQ(4, login(kUser, std::string(kUserPin, 7)));
}

class UnformattedTokenTest : public testsupport::DalTest {};

TEST_F(UnformattedTokenTest, IsLoginCannotSelectTheFlagFile) {
  for (int role : {kSuper, kUser}) {
    clearLog();
    int out = -1;
    EXPECT_EQ(VORN_DAL_ERR_OTHER, VORN_DAL_IsLogin(role, &out));
    EXPECT_EQ(out, 0);
    EXPECT_EQ(logTexts(), std::vector<std::string>{"******>Wrt Select Error:27266:0x6A82"});
  }
}

// A login type other than 1 or 2 is refused before any command, by each of
// the exports that take one.
struct BadTypeCall {
  const char* name;
  std::function<int(int)> call;
};

class BadLoginType : public testsupport::DalTest,
                     public ::testing::WithParamInterface<std::tuple<BadTypeCall, int>> {};

TEST_P(BadLoginType, IsRefusedWithoutAnyCommand) {
  const auto& [export_, loginType] = GetParam();
  ScriptedCard card;
  EXPECT_EQ(VORN_DAL_ERR_ARGUMENT, export_.call(loginType));
  EXPECT_TRUE(card.exchanges().empty());
  EXPECT_EQ(logTexts(), std::vector<std::string>{"******>login type"});
}

const unsigned char kPin[] = "12345678";

INSTANTIATE_TEST_SUITE_P(
    Exports, BadLoginType,
    ::testing::Combine(
        ::testing::Values(BadTypeCall{"Login", [](int type) { return VORN_DAL_Login(type, kPin, 8); }},
                          BadTypeCall{"Logout", [](int type) { return VORN_DAL_Logout(type); }},
                          BadTypeCall{"IsLogin",
                                      [](int type) {
                                        int out = 42;
                                        const int result = VORN_DAL_IsLogin(type, &out);
                                        EXPECT_EQ(out, 42) << "the output is not written";
                                        return result;
                                      }},
                          BadTypeCall{"ChangePin", [](int type) { return VORN_DAL_ChangePin(type, kPin, 8, kPin, 8); }}),
        ::testing::Values(0, 3, -1)),
    [](const ::testing::TestParamInfo<std::tuple<BadTypeCall, int>>& info) {
      const int type = std::get<1>(info.param);
      return std::string(std::get<0>(info.param).name) + "Type" + (type < 0 ? "Minus1" : std::to_string(type));
    });

}  // namespace
