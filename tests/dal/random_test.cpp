#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "support/dal_fixture.h"
#include "support/scripted_card.h"

namespace {

using testsupport::ScriptedCard;

class RandomTest : public testsupport::DalTest {};

struct RandomCase {
  unsigned length;
  size_t commands;
};

// Printed by hand: the default printer would read the struct's padding bytes.
void PrintTo(const RandomCase& c, std::ostream* os) { *os << c.length << " bytes"; }

class RandomLength : public RandomTest, public ::testing::WithParamInterface<RandomCase> {};

TEST_P(RandomLength, OneChallengePerEightBytes) {
  const RandomCase& c = GetParam();
  ScriptedCard card;
  std::vector<unsigned char> out(c.length + 8, 0xA5);
  ASSERT_EQ(0, VORN_DAL_GenRand(c.length, out.data()));
  ASSERT_EQ(card.exchanges().size(), c.commands);
  std::vector<unsigned char> expected;
  for (const auto& exchange : card.exchanges()) {
    EXPECT_EQ(testsupport::toHex(exchange.command.data(), exchange.command.size()), "0084000008");
    ASSERT_EQ(exchange.data.size(), 8u);
    expected.insert(expected.end(), exchange.data.begin(), exchange.data.end());
  }
  expected.resize(c.length);  // the rest of the last challenge is dropped
  EXPECT_EQ(std::vector<unsigned char>(out.begin(), out.begin() + c.length), expected);
  EXPECT_EQ(std::vector<unsigned char>(out.begin() + c.length, out.end()), std::vector<unsigned char>(8, 0xA5));
}

INSTANTIATE_TEST_SUITE_P(Lengths, RandomLength,
                         ::testing::Values(RandomCase{0, 0}, RandomCase{3, 1}, RandomCase{8, 1}, RandomCase{9, 2},
                                           RandomCase{16, 2}, RandomCase{1001, 126}));

TEST_F(RandomTest, RefusalOnTheThirdOfFourCommands) {
  ScriptedCard card;
  card.answerNth({0x00, 0x84}, 3, 0x6A82);
  std::vector<unsigned char> out(32, 0xA5);
  EXPECT_EQ(VORN_DAL_ERR_RANDOM, VORN_DAL_GenRand(32, out.data()));
  EXPECT_EQ(card.exchanges().size(), 3u);
  EXPECT_NE(std::vector<unsigned char>(out.begin(), out.begin() + 16), std::vector<unsigned char>(16, 0xA5));
  EXPECT_EQ(std::vector<unsigned char>(out.begin() + 16, out.end()), std::vector<unsigned char>(16, 0xA5));
  EXPECT_EQ(logTexts(), std::vector<std::string>{"******>gen rand"});
}

// A challenge shorter than 8 bytes must never yield bytes the card did not send.
TEST_F(RandomTest, ShortChallengeIsRefused) {
  ScriptedCard card;
  card.answerAll({0x00, 0x84}, 0x9000, {1, 2, 3, 4});
  std::vector<unsigned char> out(8, 0xA5);
  EXPECT_EQ(VORN_DAL_ERR_RANDOM, VORN_DAL_GenRand(8, out.data()));
  EXPECT_EQ(out, std::vector<unsigned char>(8, 0xA5));
}

TEST_F(RandomTest, TwoDrawsDiffer) {
  unsigned char a[32], b[32];
  ASSERT_EQ(0, VORN_DAL_GenRand(sizeof a, a));
  ASSERT_EQ(0, VORN_DAL_GenRand(sizeof b, b));
  EXPECT_NE(0, memcmp(a, b, sizeof a));
}

}  // namespace
