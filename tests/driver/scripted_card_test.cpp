#include "support/scripted_card.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/tkrdr.h"
#include "driver_fixture.h"

namespace drivertest {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testsupport::ScriptedCard;

const Bytes kGetChallenge = {0x00, 0x84, 0x00, 0x00, 0x08};
const Bytes kSelectMissing = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x12, 0x34};

class ScriptedCardTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    mapReaders("USB1=vtoken:");
    handle_ = openOrFail("USB1");
    handles_.push_back(handle_);
  }
  int handle_ = -1;
};

TEST_F(ScriptedCardTest, AnswersOnlyTheNthMatchingCommand) {
  ScriptedCard card;
  card.answerNth({0x00, 0x84}, 3, 0x6A82);
  std::vector<int> statuses;
  for (int i = 0; i < 4; ++i) statuses.push_back(send(handle_, kGetChallenge));
  EXPECT_EQ(statuses, (std::vector<int>{0x9000, 0x9000, 0x6A82, 0x9000}));
  EXPECT_FALSE(card.exchanges()[1].scripted);
  EXPECT_TRUE(card.exchanges()[2].scripted);
}

TEST_F(ScriptedCardTest, CountsOnlyCommandsWithThePrefix) {
  ScriptedCard card;
  card.answerNth({0x00, 0x84}, 2, 0x6A82);
  EXPECT_EQ(send(handle_, kGetChallenge), 0x9000);
  EXPECT_EQ(send(handle_, kSelectMissing), 0x6A82) << "the card's own answer";
  EXPECT_EQ(send(handle_, kGetChallenge), 0x6A82);
  EXPECT_EQ(card.countWithHeader({0x00, 0x84}), 2u);
  EXPECT_EQ(card.countWithHeader({0x00, 0xA4, 0x00, 0x00}), 1u);
  EXPECT_EQ(card.countWithHeader({}), 3u);
}

TEST_F(ScriptedCardTest, AnswerAllGivesDataAndStatusEveryTime) {
  ScriptedCard card;
  card.answerAll({0x80, 0xCE}, 0x9000, {0x6E, 0x80});
  for (int i = 0; i < 2; ++i) {
    Bytes data;
    EXPECT_EQ(send(handle_, {0x80, 0xCE, 0x00, 0x30, 0x00}, &data), 0x9000);
    EXPECT_EQ(data, (Bytes{0x6E, 0x80}));
  }
  Bytes data;
  EXPECT_EQ(send(handle_, kGetChallenge, &data), 0x9000);
  EXPECT_EQ(data.size(), 8u) << "other commands reach the token";
}

TEST_F(ScriptedCardTest, FirstFiringRuleAnswersButEveryRuleCounts) {
  ScriptedCard card;
  card.answerNth({0x00, 0x84}, 1, 0x6A81).answerNth({0x00}, 1, 0x6D00).answerNth({0x00}, 2, 0x6E00);
  EXPECT_EQ(send(handle_, kGetChallenge), 0x6A81);
  EXPECT_EQ(send(handle_, kGetChallenge), 0x6E00);
}

TEST_F(ScriptedCardTest, RecordsEveryExchangeInOrder) {
  ScriptedCard card;
  card.answerNth({0x00, 0xA4}, 1, 0x9000, {0x01});
  send(handle_, kSelectMissing);
  send(handle_, kGetChallenge);
  EXPECT_EQ(card.commandsHex(), (std::vector<std::string>{"00A40000021234", "0084000008"}));
  const auto& exchanges = card.exchanges();
  ASSERT_EQ(exchanges.size(), 2u);
  EXPECT_EQ(exchanges[0].handle, handle_);
  EXPECT_EQ(exchanges[0].data, Bytes{0x01});
  EXPECT_EQ(exchanges[1].status, 0x9000);
  EXPECT_EQ(exchanges[1].data.size(), 8u);
  card.clear();
  EXPECT_TRUE(card.exchanges().empty());
}

TEST_F(ScriptedCardTest, FailResetReplacesTheResetResult) {
  ScriptedCard card;
  EXPECT_EQ(ICC_reset(handle_, nullptr, nullptr), 0x9000);
  card.failReset(TKRDR_SW_NO_CARD);
  unsigned char atrLength = 0x77;
  unsigned char atr[64];
  EXPECT_EQ(ICC_reset(handle_, &atrLength, atr), TKRDR_SW_NO_CARD);
  EXPECT_EQ(atrLength, 0);
  EXPECT_EQ(card.resetCount(), 2);
}

TEST_F(ScriptedCardTest, RemovesItselfWhenDestroyed) {
  {
    ScriptedCard card;
    card.answerAll({0x00, 0x84}, 0x6A82);
    EXPECT_EQ(send(handle_, kGetChallenge), 0x6A82);
  }
  EXPECT_EQ(send(handle_, kGetChallenge), 0x9000);
}

// The driver never delivers more than 255 data bytes, whatever the answer.
TEST_F(ScriptedCardTest, OverLongAnswerIsCutAndReportedAsFailure) {
  ScriptedCard card;
  card.answerAll({0x00, 0xB0}, 0x9000, Bytes(300, 0x5A));
  unsigned char response[500];
  std::fill(std::begin(response), std::end(response), 0x00);
  unsigned char length = 0;
  const Bytes read = {0x00, 0xB0, 0x00, 0x00, 0x00};
  EXPECT_EQ(ICC_tsi_api(handle_, 5, read.data(), &length, response), TKRDR_SW_COMM);
  EXPECT_EQ(length, 255);
  EXPECT_EQ(response[254], 0x5A);
  EXPECT_EQ(response[255], 0x00) << "nothing written past 255 bytes";
  ASSERT_EQ(card.exchanges().size(), 1u);
  EXPECT_EQ(card.exchanges()[0].data.size(), 255u);
  EXPECT_EQ(card.exchanges()[0].status, TKRDR_SW_COMM);
}

TEST_F(ScriptedCardTest, AnswerOfExactly255BytesIsDeliveredWhole) {
  ScriptedCard card;
  card.answerAll({0x00, 0xB0}, 0x9000, Bytes(255, 0x5A));
  Bytes data;
  EXPECT_EQ(send(handle_, {0x00, 0xB0, 0x00, 0x00, 0xFF}, &data), 0x9000);
  EXPECT_EQ(data.size(), 255u);
}

// Callers may use one buffer for the command and the answer.
TEST_F(ScriptedCardTest, CommandAndResponseMayShareABuffer) {
  ScriptedCard card;
  card.answerAll({0x00, 0x84}, 0x9000, Bytes(8, 0xEE));
  unsigned char buffer[500] = {0x00, 0x84, 0x00, 0x00, 0x08};
  unsigned char length = 0;
  EXPECT_EQ(ICC_tsi_api(handle_, 5, buffer, &length, buffer), 0x9000);
  EXPECT_EQ(card.commandsHex(), std::vector<std::string>{"0084000008"});
  EXPECT_EQ(buffer[0], 0xEE);
}

}  // namespace
}  // namespace drivertest
