// The factory-fresh card, external authentication and what it admits, PIN
// objects and their counters, and what a card reset clears.
#include "vtoken/describe.h"
#include "vtoken_test_util.h"

namespace vtoken::testing {
namespace {

TEST(FactoryFresh, HoldsOnlyTheKeyFileWithTheTransportKey) {
  const auto token = Token::inMemory();
  const TokenDescription d = describeToken(*token);
  ASSERT_EQ(d.files.size(), 1u);
  EXPECT_EQ(d.files[0].id, 0x0000);
  EXPECT_EQ(d.files[0].type, 0x3F);
  ASSERT_EQ(d.keys.size(), 1u);
  EXPECT_EQ(d.keys[0].id, 0x00);
  EXPECT_EQ(d.keys[0].type, 0x39);
  EXPECT_EQ(d.keys[0].attributes, (std::array<std::uint8_t, 4>{0xF0, 0xAA, 0x0A, 0x66}));
  EXPECT_EQ(d.keys[0].triesLeft, 6u);
  EXPECT_EQ(d.securityState, 0);
  EXPECT_FALSE(d.externalAuthGranted);
  // The transport key is the one that authenticates; another key does not.
  EXPECT_EQ(externalAuth(*token, kOwnKey), 0x63C5);
  EXPECT_EQ(externalAuth(*token, kTransportKey), 0x9000);
  EXPECT_EQ(sw(*token, "00A40000023F00"), 0x9000);
  EXPECT_EQ(sw(*token, "00A40000021FF4"), 0x6A82);
}

TEST(FactoryFresh, AtrIsFixedAndItsCheckByteIsRight) {
  const auto token = Token::inMemory();
  const Bytes atr = token->atr();
  EXPECT_EQ(toHex(atr), toHex(Token::inMemory()->atr()));
  ASSERT_GE(atr.size(), 4u);
  EXPECT_EQ(atr[0], 0x3B);
  std::uint8_t check = 0;
  for (std::size_t i = 1; i < atr.size(); ++i) {
    check ^= atr[i];
  }
  EXPECT_EQ(check, 0);
}

class ExternalAuthTest : public ::testing::Test {
 protected:
  std::unique_ptr<Token> token = Token::inMemory();
};

TEST_F(ExternalAuthTest, EraseAndWriteKeyNeedIt) {
  EXPECT_EQ(sw(*token, "800E000000"), 0x6982);
  EXPECT_EQ(sw(*token, writeKeyCommand(0x01, "3AF0EF0A66", kUserPin)), 0x6982);
  ASSERT_EQ(externalAuth(*token, kTransportKey), 0x9000);
  EXPECT_EQ(sw(*token, writeKeyCommand(0x01, "3AF0EF0A66", kUserPin)), 0x9000);
  EXPECT_EQ(sw(*token, "800E000000"), 0x9000);
  EXPECT_EQ(describeToken(*token).files.size(), 0u);
  // No key file any more: nowhere to write a key.
  EXPECT_EQ(sw(*token, writeKeyCommand(0x01, "3AF0EF0A66", kUserPin)), 0x6A82);
}

TEST_F(ExternalAuthTest, WrongCryptogramCountsDownAndBlocks) {
  for (unsigned left = 5; left > 0; --left) {
    EXPECT_EQ(externalAuth(*token, kOwnKey), 0x63C0 | left);
  }
  EXPECT_EQ(externalAuth(*token, kOwnKey), 0x63C0);
  EXPECT_EQ(externalAuth(*token, kTransportKey), 0x6983);
  EXPECT_EQ(sw(*token, "800E000000"), 0x6982);
}

TEST_F(ExternalAuthTest, RightCryptogramRestoresTheCounter) {
  EXPECT_EQ(externalAuth(*token, kOwnKey), 0x63C5);
  EXPECT_EQ(externalAuth(*token, kTransportKey), 0x9000);
  EXPECT_EQ(describeToken(*token).keys[0].triesLeft, 6u);
  EXPECT_EQ(describeToken(*token).securityState, 0x0A);
}

TEST_F(ExternalAuthTest, ChallengeIsUsedOnlyOnce) {
  const Answer challenge = send(*token, "0084000008");
  ASSERT_EQ(challenge.data.size(), 8u);
  const Bytes command = concat(fromHex("0082000008"), tripleDes(kTransportKey, challenge.data));
  EXPECT_EQ(sw(*token, command), 0x9000);
  EXPECT_EQ(sw(*token, command), 0x6985);  // replay: no challenge left
  EXPECT_EQ(sw(*token, "0082000008" "0000000000000000"), 0x6985);
}

TEST_F(ExternalAuthTest, FailedAttemptAlsoConsumesTheChallenge) {
  const Answer challenge = send(*token, "0084000008");
  EXPECT_EQ(sw(*token, concat(fromHex("0082000008"), tripleDes(kOwnKey, challenge.data))), 0x63C5);
  EXPECT_EQ(sw(*token, concat(fromHex("0082000008"), tripleDes(kTransportKey, challenge.data))), 0x6985);
}

TEST_F(ExternalAuthTest, ChallengesDiffer) {
  EXPECT_NE(toHex(send(*token, "0084000008").data), toHex(send(*token, "0084000008").data));
}

TEST_F(ExternalAuthTest, UnknownKeyIdIsRefused) {
  send(*token, "0084000008");
  EXPECT_EQ(sw(*token, "0082000708" "0000000000000000"), 0x6A88);
}

TEST_F(ExternalAuthTest, ResetWithdrawsTheRight) {
  ASSERT_EQ(externalAuth(*token, kTransportKey), 0x9000);
  const Answer challenge = send(*token, "0084000008");
  token->reset();
  EXPECT_EQ(sw(*token, "800E000000"), 0x6982);
  EXPECT_EQ(sw(*token, concat(fromHex("0082000008"), tripleDes(kTransportKey, challenge.data))), 0x6985);
  EXPECT_EQ(describeToken(*token).securityState, 0);
}

class PinTest : public ::testing::Test {
 protected:
  void SetUp() override { formatCard(*token); }
  std::uint8_t state() { return describeToken(*token).securityState; }
  std::unique_ptr<Token> token = Token::inMemory();
};

TEST_F(PinTest, VerifySetsTheObjectsState) {
  loginUser(*token);
  EXPECT_EQ(state(), 0x0A);
  loginSuperUser(*token);
  EXPECT_EQ(state(), 0x0C);
  ASSERT_EQ(sw(*token, verifyCommand(0x03, kLogoutPin)), 0x9000);
  EXPECT_EQ(state(), 0x07);
}

TEST_F(PinTest, WrongPinCountsDownToBlockedThenRefusesTheRightOne) {
  loginSuperUser(*token);
  const Bytes wrong = fromHex("0000000000000000");
  for (unsigned left = 5; left > 0; --left) {
    EXPECT_EQ(sw(*token, verifyCommand(0x01, wrong)), 0x63C0 | left);
    EXPECT_EQ(state(), 0x0C);  // a failed VERIFY leaves the state as it was
  }
  EXPECT_EQ(sw(*token, verifyCommand(0x01, wrong)), 0x63C0);
  EXPECT_EQ(sw(*token, verifyCommand(0x01, kUserPin)), 0x6983);
  EXPECT_EQ(sw(*token, "0020000100"), 0x6983);
  EXPECT_EQ(state(), 0x0C);
}

TEST_F(PinTest, RightPinRestoresTheCounter) {
  EXPECT_EQ(sw(*token, verifyCommand(0x01, kSuperPin)), 0x63C5);
  EXPECT_EQ(sw(*token, verifyCommand(0x01, kSuperPin)), 0x63C4);
  loginUser(*token);
  EXPECT_EQ(sw(*token, verifyCommand(0x01, kSuperPin)), 0x63C5);
}

TEST_F(PinTest, ChangePin) {
  const Bytes newPin = fromHex("0102030405060708");
  EXPECT_EQ(sw(*token, concat(fromHex("8024000110"), concat(kSuperPin, newPin))), 0x63C5);
  EXPECT_EQ(sw(*token, concat(fromHex("8024000110"), concat(kUserPin, newPin))), 0x9000);
  EXPECT_EQ(state(), 0x00);  // changing does not log in
  EXPECT_EQ(sw(*token, verifyCommand(0x01, kUserPin)), 0x63C5);
  EXPECT_EQ(sw(*token, verifyCommand(0x01, newPin)), 0x9000);
}

TEST_F(PinTest, ChangeOfBlockedPinIsRefused) {
  for (int i = 0; i < 6; ++i) {
    send(*token, verifyCommand(0x02, kUserPin));
  }
  EXPECT_EQ(sw(*token, concat(fromHex("8024000210"), concat(kSuperPin, kUserPin))), 0x6983);
}

TEST_F(PinTest, UnblockNeedsStateCAndGivesTheUserPinANewValue) {
  for (int i = 0; i < 6; ++i) {
    send(*token, verifyCommand(0x01, kSuperPin));
  }
  const Bytes newPin = fromHex("A1A2A3A4A5A6A7A8");
  const Bytes unblock = concat(fromHex("802C000410"), concat(kUnblockValue, newPin));
  EXPECT_EQ(sw(*token, unblock), 0x6982);
  loginSuperUser(*token);
  EXPECT_EQ(sw(*token, concat(fromHex("802C000410"), concat(kUserPin, newPin))), 0x63C5);
  EXPECT_EQ(sw(*token, unblock), 0x9000);
  EXPECT_EQ(sw(*token, verifyCommand(0x01, kUserPin)), 0x63C5);
  EXPECT_EQ(sw(*token, verifyCommand(0x01, newPin)), 0x9000);
  EXPECT_EQ(describeToken(*token).keys[4].triesLeft, 6u);  // the unblock key's counter is back too
}

TEST_F(PinTest, UnblockKeyBlocksAfterItsOwnTries) {
  loginSuperUser(*token);
  const Bytes wrong = concat(fromHex("802C000410"), concat(kUserPin, kUserPin));
  for (unsigned left = 5; left > 0; --left) {
    EXPECT_EQ(sw(*token, wrong), 0x63C0 | left);
  }
  EXPECT_EQ(sw(*token, wrong), 0x63C0);
  EXPECT_EQ(sw(*token, concat(fromHex("802C000410"), concat(kUnblockValue, kUserPin))), 0x6983);
}

TEST_F(PinTest, LoggedInUserCannotOverwritePinObjects) {
  loginUser(*token);
  EXPECT_EQ(sw(*token, writeKeyCommand(0x02, "3AF0EF0C66", kUserPin)), 0x6982);
  loginSuperUser(*token);
  EXPECT_EQ(sw(*token, writeKeyCommand(0x02, "3AF0EF0C66", kUserPin)), 0x6982);
}

TEST_F(PinTest, WriteKeyChecksTypeLengthAndCounter) {
  ASSERT_EQ(externalAuth(*token, kOwnKey), 0x9000);
  EXPECT_EQ(sw(*token, writeKeyCommand(0x01, "3AF0EF0A66", fromHex("01020304"))), 0x6700);
  EXPECT_EQ(sw(*token, writeKeyCommand(0x01, "3CF0EF0A66", kUserPin)), 0x6A80);
  EXPECT_EQ(sw(*token, writeKeyCommand(0x01, "3AF0EF0A00", kUserPin)), 0x6A80);
  EXPECT_EQ(sw(*token, writeKeyCommand(0x01, "3AF0EF0A37", kUserPin)), 0x6A80);
  EXPECT_EQ(sw(*token, writeKeyCommand(0x01, "3AF0EF0A32", kSuperPin)), 0x9000);
  EXPECT_EQ(sw(*token, verifyCommand(0x01, kUserPin)), 0x63C1);
}

TEST_F(PinTest, ResetClearsTheVolatileState) {
  loginUser(*token);
  ASSERT_EQ(sw(*token, "00A40000021FF5"), 0x9000);
  ASSERT_EQ(sw(*token, "807805FF10" "00112233445566778899AABBCCDDEEFF"), 0x9000);
  send(*token, "0084000008");
  token->reset();
  const TokenDescription d = describeToken(*token);
  EXPECT_EQ(d.securityState, 0);
  EXPECT_EQ(d.currentFile, 0x3F00);
  EXPECT_FALSE(d.ssf33KeyLoaded);
  EXPECT_EQ(sw(*token, "00B0000002"), 0x6986);
  EXPECT_EQ(sw(*token, "0082000008" "0000000000000000"), 0x6985);
  ASSERT_EQ(sw(*token, "00A40000021FF5"), 0x9000);
  EXPECT_EQ(sw(*token, "00B0000002"), 0x6982);
}

}  // namespace
}  // namespace vtoken::testing
