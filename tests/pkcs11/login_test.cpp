// Logins belong to the application: the card's shared login neither lets an
// application in that did not log in, nor survives another program's logout.
#include <stdlib.h>

#include "module_fixture.h"

namespace p11test {
namespace {

class LoginTest : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    initToken();
    setenv("P11TEST_PIN", kUserPin, 1);
  }

  CK_RV login(CK_SESSION_HANDLE session, CK_USER_TYPE type, const std::string& pin) {
    Bytes bytes = bytesOf(pin);
    return p11->C_Login(session, type, bytes.data(), bytes.size());
  }

  CK_FLAGS tokenFlags() {
    CK_TOKEN_INFO info{};
    EXPECT_EQ(p11->C_GetTokenInfo(kSlot, &info), CKR_OK);
    return info.flags;
  }

  CK_RV signWith(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key) {
    CK_MECHANISM mechanism{CKM_SHA256_RSA_PKCS, nullptr, 0};
    CK_RV rv = p11->C_SignInit(session, &mechanism, key);
    if (rv != CKR_OK) return rv;
    unsigned char data[] = "data", signature[128];
    CK_ULONG length = sizeof signature;
    return p11->C_Sign(session, data, sizeof data, signature, &length);
  }
};

TEST_F(LoginTest, WrongPinsCountDownToALockThatTheSoPinLifts) {
  CK_SESSION_HANDLE session = openSession();
  EXPECT_EQ(login(session, CKU_USER, "00000000"), CKR_PIN_INCORRECT);
  EXPECT_NE(tokenFlags() & CKF_USER_PIN_COUNT_LOW, 0u);
  CK_RV last = CKR_OK;
  for (int i = 0; i < 6 && last != CKR_PIN_LOCKED; ++i) last = login(session, CKU_USER, "00000000");
  EXPECT_EQ(last, CKR_PIN_LOCKED);
  EXPECT_NE(tokenFlags() & CKF_USER_PIN_LOCKED, 0u);
  EXPECT_EQ(login(session, CKU_USER, kUserPin), CKR_PIN_LOCKED);

  ASSERT_EQ(login(session, CKU_SO, kSoPin), CKR_OK);
  Bytes fresh = bytesOf("24681357");
  ASSERT_EQ(p11->C_InitPIN(session, fresh.data(), fresh.size()), CKR_OK);
  ASSERT_EQ(p11->C_Logout(session), CKR_OK);
  EXPECT_EQ(login(session, CKU_USER, "24681357"), CKR_OK);
  EXPECT_EQ(tokenFlags() & (CKF_USER_PIN_LOCKED | CKF_USER_PIN_COUNT_LOW), 0u);
}

TEST_F(LoginTest, OneRoleAtATimePerApplication) {
  CK_SESSION_HANDLE session = openSession();
  ASSERT_EQ(login(session, CKU_SO, kSoPin), CKR_OK);
  EXPECT_EQ(login(session, CKU_USER, kUserPin), CKR_USER_ANOTHER_ALREADY_LOGGED_IN);
  EXPECT_EQ(login(session, CKU_SO, kSoPin), CKR_USER_ALREADY_LOGGED_IN);
  CK_SESSION_HANDLE readOnly = CK_INVALID_HANDLE;
  EXPECT_EQ(p11->C_OpenSession(kSlot, CKF_SERIAL_SESSION, nullptr, nullptr, &readOnly),
            CKR_SESSION_READ_WRITE_SO_EXISTS);
  CK_SESSION_INFO info{};
  ASSERT_EQ(p11->C_GetSessionInfo(session, &info), CKR_OK);
  EXPECT_EQ(info.state, CKS_RW_SO_FUNCTIONS);
}

TEST_F(LoginTest, TheCardsLoginByAnotherProgramDoesNotLetThisApplicationIn) {
  CK_SESSION_HANDLE session = openSession();
  ASSERT_EQ(login(session, CKU_USER, kUserPin), CKR_OK);
  const KeyPair pair = generateKeyPair(session);
  ASSERT_EQ(p11->C_Logout(session), CKR_OK);
  ASSERT_EQ(runTool(tokenPath(), "login user --pin-env P11TEST_PIN"), 0);
  EXPECT_EQ(signWith(session, pair.privateKey), CKR_USER_NOT_LOGGED_IN);  // private keys are hidden
  EXPECT_TRUE(findClass(session, CKO_PRIVATE_KEY).empty());
}

TEST_F(LoginTest, AnotherProgramsLogoutDoesNotEndThisApplicationsLogin) {
  CK_SESSION_HANDLE session = openSession();
  ASSERT_EQ(login(session, CKU_USER, kUserPin), CKR_OK);
  const KeyPair pair = generateKeyPair(session);
  ASSERT_EQ(signWith(session, pair.privateKey), CKR_OK);
  ASSERT_EQ(runTool(tokenPath(), "logout"), 0);
  EXPECT_EQ(signWith(session, pair.privateKey), CKR_OK);
  CK_SESSION_INFO info{};
  ASSERT_EQ(p11->C_GetSessionInfo(session, &info), CKR_OK);
  EXPECT_EQ(info.state, CKS_RW_USER_FUNCTIONS);
}

TEST_F(LoginTest, APinChangedByAnotherProgramEndsThisApplicationsLoginCleanly) {
  CK_SESSION_HANDLE session = openSession();
  ASSERT_EQ(login(session, CKU_USER, kUserPin), CKR_OK);
  const KeyPair pair = generateKeyPair(session);
  setenv("P11TEST_NEW_PIN", "55667788", 1);
  ASSERT_EQ(runTool(tokenPath(), "change-pin user --pin-env P11TEST_PIN --new-pin-env P11TEST_NEW_PIN"), 0);
  ASSERT_EQ(runTool(tokenPath(), "logout"), 0);
  EXPECT_EQ(signWith(session, pair.privateKey), CKR_USER_NOT_LOGGED_IN);
  EXPECT_EQ(signWith(session, pair.privateKey), CKR_USER_NOT_LOGGED_IN);
  CK_SESSION_INFO info{};
  ASSERT_EQ(p11->C_GetSessionInfo(session, &info), CKR_OK);
  EXPECT_EQ(info.state, CKS_RW_PUBLIC_SESSION);
  EXPECT_EQ(login(session, CKU_USER, "55667788"), CKR_OK);
  EXPECT_EQ(signWith(session, pair.privateKey), CKR_OK);
}

TEST_F(LoginTest, SetPinReplacesTheUserPin) {
  CK_SESSION_HANDLE session = openSession();
  Bytes oldPin = bytesOf(kUserPin), newPin = bytesOf("11223344"), shortPin = bytesOf("123");
  EXPECT_EQ(p11->C_SetPIN(session, oldPin.data(), oldPin.size(), shortPin.data(), shortPin.size()),
            CKR_PIN_LEN_RANGE);
  Bytes wrong = bytesOf("99999999");
  EXPECT_EQ(p11->C_SetPIN(session, wrong.data(), wrong.size(), newPin.data(), newPin.size()), CKR_PIN_INCORRECT);
  ASSERT_EQ(p11->C_SetPIN(session, oldPin.data(), oldPin.size(), newPin.data(), newPin.size()), CKR_OK);
  EXPECT_EQ(login(session, CKU_USER, kUserPin), CKR_PIN_INCORRECT);
  EXPECT_EQ(login(session, CKU_USER, "11223344"), CKR_OK);
  CK_SESSION_HANDLE readOnly = openSession(false);
  EXPECT_EQ(p11->C_SetPIN(readOnly, newPin.data(), newPin.size(), oldPin.data(), oldPin.size()),
            CKR_SESSION_READ_ONLY);
}

TEST_F(LoginTest, InitTokenChecksTheSoPinOfAFormattedToken) {
  {
    CK_SESSION_HANDLE session = openSession();
    ASSERT_EQ(login(session, CKU_USER, kUserPin), CKR_OK);
    generateKeyPair(session);
    unsigned char label[32];
    std::fill(std::begin(label), std::end(label), ' ');
    Bytes so = bytesOf(kSoPin);
    EXPECT_EQ(p11->C_InitToken(kSlot, so.data(), so.size(), label), CKR_SESSION_EXISTS);
    ASSERT_EQ(p11->C_CloseSession(session), CKR_OK);
    Bytes wrong = bytesOf("00000000");
    EXPECT_EQ(p11->C_InitToken(kSlot, wrong.data(), wrong.size(), label), CKR_PIN_INCORRECT);
  }
  // Nothing was erased.
  CK_SESSION_HANDLE session = openSession();
  EXPECT_EQ(findClass(session, CKO_PUBLIC_KEY).size(), 1u);
  EXPECT_NE(tokenFlags() & CKF_SO_PIN_COUNT_LOW, 0u);
}

TEST_F(LoginTest, ANewTokenAsksForItsUserPinFirst) {
  unsigned char label[32];
  std::fill(std::begin(label), std::end(label), ' ');
  Bytes so = bytesOf(kSoPin);
  ASSERT_EQ(p11->C_InitToken(kSlot, so.data(), so.size(), label), CKR_OK);
  EXPECT_EQ(tokenFlags() & CKF_USER_PIN_INITIALIZED, 0u);
  EXPECT_NE(tokenFlags() & CKF_TOKEN_INITIALIZED, 0u);
  CK_SESSION_HANDLE session = openSession();
  EXPECT_EQ(login(session, CKU_USER, kUserPin), CKR_USER_PIN_NOT_INITIALIZED);
}

}  // namespace
}  // namespace p11test
