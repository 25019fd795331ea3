// Formatting a token end to end: authentication with the transport key or the
// library's own key, the exact commands that build the layout, the failure of
// each step, and the state the token is left in.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "driver/tkrdr.h"
#include "card_expectations.h"
#include "support/dal_fixture.h"
#include "support/scripted_card.h"

namespace {

using e2e::asciiHex;
using e2e::commandHex;
using e2e::derivedPinHex;
using testsupport::bytes;
using testsupport::ScriptedCard;

const std::string kTransportKey = "QZXKWVNMRTJoupHB";
const std::string kOwnKey = "RQWTYUPLMKNBHGFE";

// The two-key triple-DES ECB cryptogram of a challenge, from OpenSSL directly.
std::string cryptogramHex(const std::string& key, const std::vector<std::uint8_t>& challenge) {
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
  EXPECT_EQ(1, EVP_EncryptInit_ex(ctx.get(), EVP_des_ede_ecb(), nullptr,
                                  reinterpret_cast<const unsigned char*>(key.data()), nullptr));
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  unsigned char out[16] = {};
  int outLen = 0;
  EXPECT_EQ(1, EVP_EncryptUpdate(ctx.get(), out, &outLen, challenge.data(), static_cast<int>(challenge.size())));
  EXPECT_EQ(outLen, 8);
  return testsupport::toHex(out, 8);
}

class FormatTest : public testsupport::DalTest {
 protected:
  static int format(const std::string& superPin, const std::string& userPin) {
    const auto super = bytes(superPin);
    const auto user = bytes(userPin);
    return VORN_DAL_FormatDevice(super.data(), static_cast<int>(super.size()), user.data(),
                                 static_cast<int>(user.size()));
  }
  static int format() { return format(kSuperPin, kUserPin); }

  // The EXTERNAL AUTHENTICATE that answers the GET CHALLENGE recorded at index.
  static std::string authenticationFor(const ScriptedCard& card, size_t challengeIndex, const std::string& key) {
    const auto& challenge = card.exchanges().at(challengeIndex);
    EXPECT_EQ(commandHex(challenge.command), "0084000008");
    EXPECT_EQ(challenge.data.size(), 8u);
    return "0082000008" + cryptogramHex(key, challenge.data);
  }
};

TEST_F(FormatTest, DeliveredTokenGetsTheWholeLayoutInOrder) {
  ScriptedCard card;
  ASSERT_EQ(0, format());
  const std::vector<std::string> expected = {
      "00A40000023F00",
      "0084000008",
      authenticationFor(card, 1, kTransportKey),
      "800E000000",
      "80E00000073F006701FAFFFF",
      "80D401001539F0AA0A66" + asciiHex(kOwnKey),
      "80D401010D3AF0EF0A66" + derivedPinHex(kUserPin),
      "80D401020D3AF0EF0C66" + derivedPinHex(kSuperPin),
      "80D401030D3AF0EF0766" + derivedPinHex("40596137"),
      "80D401040D3BF00F0166" + derivedPinHex("73018264"),
      "80E01FF507280004AAAAFFFF",
      "80E01FF607280004CCCCFFFF",
      "80E01FF407280008F0AAFFFF",
      "00A40000021FF4",
  };
  const auto sent = card.commandsHex();
  ASSERT_EQ(sent.size(), expected.size() + 1);
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(sent[i], expected[i]) << "command " << i;
  // The key-pair counter starts at 0001; the other six bytes carry no meaning.
  EXPECT_EQ(sent.back().size(), 2u * 13);
  EXPECT_EQ(sent.back().substr(0, 14), "00D60000080001");
  EXPECT_EQ(card.resetCount(), 1);
  EXPECT_TRUE(logLines().empty());
}

TEST_F(FormatTest, FormattedTokenRefusesTheTransportKeyAndAcceptsTheOwnKey) {
  formatToken();
  ScriptedCard card;
  ASSERT_EQ(0, format());
  ASSERT_GE(card.exchanges().size(), 6u);
  EXPECT_EQ(card.commandsHex()[2], authenticationFor(card, 1, kTransportKey));
  EXPECT_EQ(card.commandsHex()[4], authenticationFor(card, 3, kOwnKey));
  EXPECT_EQ(card.commandsHex()[5], "800E000000");
  const int refusal = card.exchanges()[2].status;
  EXPECT_NE(refusal, 0x9000);
  char expectedLine[64];
  snprintf(expectedLine, sizeof expectedLine, "EXTERNAL AUTHENTICATE error:0X%X", refusal);
  EXPECT_EQ(logTexts(), std::vector<std::string>{expectedLine});
  EXPECT_EQ(card.resetCount(), 1);
}

TEST_F(FormatTest, BothKeysRefusedStillSendsTheEraseWhichTheCardRefuses) {
  {
    ScriptedCard card;
    card.answerAll({0x00, 0x82}, 0x6300);
    EXPECT_EQ(VORN_DAL_ERR_ERASE, format());
    EXPECT_EQ(card.countWithHeader({0x00, 0x82}), 2u);
    EXPECT_EQ(card.commandsHex().back(), "800E000000");
    EXPECT_EQ(card.resetCount(), 0);
    ASSERT_EQ(logTexts().size(), 3u);
    EXPECT_EQ(logTexts()[0], "EXTERNAL AUTHENTICATE error:0X6300");
    EXPECT_EQ(logTexts()[1], "EXTERNAL AUTHENTICATE error:0X6300");
    EXPECT_EQ(logTexts()[2].rfind("Del MF error:0X", 0), 0u);
  }
  // Nothing was erased: the card still knows only its transport key.
  ScriptedCard card;
  ASSERT_EQ(0, format());
  EXPECT_EQ(card.countWithHeader({0x00, 0x82}), 1u);
}

// A challenge of fewer than 8 bytes is never taken for one: formatting stops
// before anything on the card changes.
TEST_F(FormatTest, ShortChallengeStopsFormatting) {
  ScriptedCard card;
  card.answerAll({0x00, 0x84}, 0x9000, {1, 2, 3, 4});
  EXPECT_EQ(VORN_DAL_ERR_OTHER, format());
  EXPECT_EQ(card.commandsHex(), (std::vector<std::string>{"00A40000023F00", "0084000008"}));
  ASSERT_EQ(logTexts().size(), 1u);
  EXPECT_EQ(logTexts()[0].rfind("GET CHALLENGE error:0X", 0), 0u);
}

TEST_F(FormatTest, FailedCardResetIsReported) {
  ScriptedCard card;
  card.failReset(TKRDR_SW_NO_CARD);
  EXPECT_EQ(VORN_DAL_ERR_RESET_DEVICE, format());
  EXPECT_EQ(card.resetCount(), 1);
  EXPECT_EQ(logTexts(), std::vector<std::string>{"******>ICC_reset"});
}

TEST_F(FormatTest, NegativePinLengthsAreRefusedBeforeAnyCommand) {
  const auto pin = bytes(kUserPin);
  ScriptedCard card;
  EXPECT_EQ(VORN_DAL_ERR_ARGUMENT, VORN_DAL_FormatDevice(pin.data(), -1, pin.data(), 8));
  EXPECT_EQ(VORN_DAL_ERR_ARGUMENT, VORN_DAL_FormatDevice(pin.data(), 8, pin.data(), -8));
  EXPECT_TRUE(card.exchanges().empty());
}

TEST_F(FormatTest, EmptyPinsAreInstalledAsTheDigestOfTheEmptyText) {
  ScriptedCard card;
  ASSERT_EQ(0, VORN_DAL_FormatDevice(nullptr, 0, nullptr, 0));
  const auto sent = card.commandsHex();
  ASSERT_GT(sent.size(), 7u);
  EXPECT_EQ(sent[6], "80D401010D3AF0EF0A66DA39A3EE5E6B4B0D");
  EXPECT_EQ(sent[7], "80D401020D3AF0EF0C66DA39A3EE5E6B4B0D");
  EXPECT_EQ(0, VORN_DAL_Login(VORN_DAL_USER, nullptr, 0));
  EXPECT_EQ(0, VORN_DAL_Login(VORN_DAL_SUPER_USER, nullptr, 0));
}

TEST_F(FormatTest, AfterFormattingNobodyIsLoggedInAndBothPinsWork) {
  formatToken();
  for (int role : {VORN_DAL_SUPER_USER, VORN_DAL_USER}) {
    int loggedIn = -1;
    ASSERT_EQ(0, VORN_DAL_IsLogin(role, &loggedIn));
    EXPECT_EQ(loggedIn, 0) << "role " << role;
  }
  loginUser();
  loginSuperUser();
}

TEST_F(FormatTest, FormattingAgainRemovesEverythingCreatedBefore) {
  formatToken();
  loginUser();
  const auto data = bytes("kept until the next formatting");
  const int size = static_cast<int>(data.size());
  ASSERT_EQ(0, VORN_DAL_CreateGlobalInfoFile(64));
  ASSERT_EQ(0, VORN_DAL_WriteGlobalInfoFile(0, size, data.data()));
  ASSERT_EQ(0, VORN_DAL_CreateUsrDataFile(1, 7, 64, 0, 1));
  ASSERT_EQ(0, VORN_DAL_WriteUsrDataFile(1, 7, 0, size, data.data()));

  ASSERT_EQ(0, format("new super", "new user"));
  std::vector<unsigned char> out(data.size());
  EXPECT_EQ(VORN_DAL_ERR_READ_FILE, VORN_DAL_ReadGlobalInfoFile(0, size, out.data()));
  EXPECT_EQ(VORN_DAL_ERR_READ_FILE, VORN_DAL_ReadUsrDataFile(1, 7, 0, size, out.data()));
  // The old PINs are gone with the old key file.
  const auto oldUser = bytes(kUserPin);
  EXPECT_NE(0, VORN_DAL_Login(VORN_DAL_USER, oldUser.data(), 8));
  const auto newUser = bytes("new user");
  EXPECT_EQ(0, VORN_DAL_Login(VORN_DAL_USER, newUser.data(), static_cast<int>(newUser.size())));
  // The ids are free again.
  EXPECT_EQ(0, VORN_DAL_CreateGlobalInfoFile(64));
  EXPECT_EQ(0, VORN_DAL_CreateUsrDataFile(1, 7, 64, 0, 1));
}

// One refused step: its code, its log lines, and no command after it.
struct StepFailure {
  const char* name;
  std::vector<std::uint8_t> prefix;  // the refused command starts with these bytes
  int status;
  int result;
  std::vector<std::string> log;
};

class FormatStepFailure : public FormatTest, public ::testing::WithParamInterface<StepFailure> {};

TEST_P(FormatStepFailure, StopsWithTheStepsCodeAndLogLines) {
  const StepFailure& c = GetParam();
  ScriptedCard card;
  e2e::answerAllWith(card, c.prefix, c.status);
  EXPECT_EQ(c.result, format());
  EXPECT_EQ(logTexts(), c.log);
  ASSERT_FALSE(card.exchanges().empty());
  const auto& last = card.exchanges().back().command;
  EXPECT_TRUE(e2e::startsWith(last, c.prefix)) << "last command " << commandHex(last);
  EXPECT_EQ(card.resetCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, FormatStepFailure,
    ::testing::Values(
        StepFailure{"SelectMf", {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}, 0x6A82, -105,
                    {"Select MF error:0X6A82"}},
        StepFailure{"Erase", {0x80, 0x0E}, 0x6982, -120, {"Del MF error:0X6982"}},
        StepFailure{"KeyFile", {0x80, 0xE0, 0x00, 0x00}, 0x6A84, -124, {"Create Key File error:0X6A84"}},
        StepFailure{"ExternalKey", {0x80, 0xD4, 0x01, 0x00}, 0x6A84, -125, {"Create VORN EXTERNAL error:0X6A84"}},
        StepFailure{"UserPin", {0x80, 0xD4, 0x01, 0x01}, 0x6A80, -126, {"Create User Pin error:0X6A80"}},
        StepFailure{"SuperUserPin", {0x80, 0xD4, 0x01, 0x02}, 0x6A80, -126, {"Create Super User Pin error:0X6A80"}},
        StepFailure{"LogoutPin", {0x80, 0xD4, 0x01, 0x03}, 0x6A80, -126, {"Create Logout Pin error:0X6A80"}},
        StepFailure{"UnlockPin", {0x80, 0xD4, 0x01, 0x04}, 0x6A80, -126, {"Create Unlock Pin error:0X6A80"}},
        StepFailure{"PinFlagFile",
                    {0x80, 0xE0, 0x1F, 0xF5},
                    0x6A84,
                    -123,
                    {"******>ICC_tsi_api Error:27268:0x6A84", "Create Pin Check Flag File error:0X6A84"}},
        StepFailure{"SuperUserPinFlagFile",
                    {0x80, 0xE0, 0x1F, 0xF6},
                    0x6A84,
                    -123,
                    {"******>ICC_tsi_api Error:27268:0x6A84", "******>create pin flag file",
                     "Create Super User Pin Check Flag File error:0X6A84"}},
        StepFailure{"KeyPairCounterFile",
                    {0x80, 0xE0, 0x1F, 0xF4},
                    0x6A84,
                    -123,
                    {"******>ICC_tsi_api Error:27268:0x6A84", "Create Global Info File error:0X6A84"}},
        StepFailure{"SelectKeyPairCounterFile",
                    {0x00, 0xA4, 0x00, 0x00, 0x02, 0x1F, 0xF4},
                    0x6A82,
                    -127,
                    {"******>Wrt Select Error:27266:0x6A82", "******>write global info file",
                     "Write Global Info error:0X6A82"}},
        StepFailure{"WriteKeyPairCounter",
                    {0x00, 0xD6},
                    0x6581,
                    -127,
                    {"******>Wrt data Error:25985:0x6581", "******>write global info file",
                     "Write Global Info error:0X6581"}}),
    [](const ::testing::TestParamInfo<StepFailure>& info) { return std::string(info.param.name); });

}  // namespace
