// The transport helpers against an in-memory virtual token, with every APDU
// recorded by the scripted card.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "dal/transport.h"
#include "support/dal_fixture.h"
#include "support/scripted_card.h"

namespace {

using testsupport::fromHex;
using testsupport::ScriptedCard;
using testsupport::toHex;

constexpr int kFile = 0x0101;

class TransportTest : public testsupport::DalTest {
 protected:
  void SetUp() override {
    DalTest::SetUp();
    ASSERT_EQ(0, VORN_DAL_Initialize());
  }
  // A free-access transparent file of the given size.
  void createFile(int size) { ASSERT_EQ(0, pelu7::PELU7_CreateFileBin(kFile, size, 0xF0, 0xF0)); }
  static std::vector<unsigned char> pattern(size_t n) {
    std::vector<unsigned char> data(n);
    for (size_t i = 0; i < n; ++i) data[i] = static_cast<unsigned char>(i * 7 + 1);
    return data;
  }
};

TEST_F(TransportTest, CreateFileSendsTheTwelveByteCommand) {
  ScriptedCard card;
  ASSERT_EQ(0, pelu7::PELU7_CreateFileBin(0x1FF3, 0x0100, 0xF0, 0xAA));
  EXPECT_EQ(card.commandsHex(), std::vector<std::string>{"80E01FF307280100F0AAFFFF"});
}

TEST_F(TransportTest, ZeroLengthTransfersSendNothingEvenForAMissingFile) {
  ScriptedCard card;
  unsigned char buffer[4] = {};
  EXPECT_EQ(0, pelu7::PELU7_WriteFileBin(0x0666, 0, buffer, 0));
  EXPECT_EQ(0, pelu7::PELU7_ReadFileBin(0x0666, 0, buffer, 0));
  EXPECT_TRUE(card.exchanges().empty());
}

struct WriteCase {
  unsigned length;
  std::vector<std::string> headers;  // SELECT, then the first 5 bytes of each UPDATE BINARY
};

// Printed by hand: the default printer would read the struct's padding bytes.
void PrintTo(const WriteCase& c, std::ostream* os) { *os << c.length << " bytes"; }

class TransportWrite : public TransportTest, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(TransportWrite, SplitsIntoChunksOfAtMost245Bytes) {
  const WriteCase& c = GetParam();
  createFile(600);
  const auto data = pattern(c.length);
  ScriptedCard card;
  ASSERT_EQ(0, pelu7::PELU7_WriteFileBin(kFile, 0, data.data(), c.length));
  std::vector<std::string> headers;
  size_t sent = 0;
  for (const auto& exchange : card.exchanges()) {
    headers.push_back(toHex(exchange.command.data(), exchange.command[1] == 0xA4 ? 7 : 5));
    if (exchange.command[1] == 0xD6) {
      ASSERT_EQ(exchange.command.size(), 5u + exchange.command[4]);
      EXPECT_EQ(0, memcmp(exchange.command.data() + 5, data.data() + sent, exchange.command[4]));
      sent += exchange.command[4];
    }
  }
  EXPECT_EQ(headers, c.headers);
  EXPECT_EQ(sent, c.length);

  std::vector<unsigned char> back(c.length);
  ASSERT_EQ(0, pelu7::PELU7_ReadFileBin(kFile, 0, back.data(), c.length));
  EXPECT_EQ(back, data);
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, TransportWrite,
    ::testing::Values(WriteCase{1, {"00A40000020101", "00D6000001"}},
                      WriteCase{245, {"00A40000020101", "00D60000F5"}},
                      WriteCase{246, {"00A40000020101", "00D60000F5", "00D600F501"}},
                      WriteCase{490, {"00A40000020101", "00D60000F5", "00D600F5F5"}},
                      WriteCase{600, {"00A40000020101", "00D60000F5", "00D600F5F5", "00D601EA6E"}}));

TEST_F(TransportTest, ReadOf300BytesFromOffset16) {
  createFile(400);
  const auto data = pattern(400);
  ASSERT_EQ(0, pelu7::PELU7_WriteFileBin(kFile, 0, data.data(), 400));
  ScriptedCard card;
  std::vector<unsigned char> out(300);
  ASSERT_EQ(0, pelu7::PELU7_ReadFileBin(kFile, 16, out.data(), 300));
  EXPECT_EQ(card.commandsHex(), (std::vector<std::string>{"00A40000020101", "00B00010F5", "00B0010537"}));
  EXPECT_EQ(out, std::vector<unsigned char>(data.begin() + 16, data.begin() + 316));
}

TEST_F(TransportTest, SelectOfAMissingFileEndsTheTransfer) {
  ScriptedCard card;
  unsigned char buffer[8] = {};
  EXPECT_EQ(0x6A82, pelu7::PELU7_WriteFileBin(0x0777, 0, buffer, 8));
  EXPECT_EQ(0x6A82, pelu7::PELU7_ReadFileBin(0x0777, 0, buffer, 8));
  EXPECT_EQ(card.exchanges().size(), 2u);
  const auto texts = logTexts();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0], "******>Wrt Select Error:27266:0x6A82");
  EXPECT_EQ(texts[1], "******>Wrt Select Error:27266:0x6A82");
}

TEST_F(TransportTest, FailureInTheSecondChunkKeepsTheFirstWritten) {
  createFile(300);
  const std::vector<unsigned char> before(300, 0xEE);
  ASSERT_EQ(0, pelu7::PELU7_WriteFileBin(kFile, 0, before.data(), 300));
  const auto data = pattern(300);
  {
    ScriptedCard card;
    card.answerNth({0x00, 0xD6}, 2, 0x6581);
    EXPECT_EQ(0x6581, pelu7::PELU7_WriteFileBin(kFile, 0, data.data(), 300));
    EXPECT_EQ(card.countWithHeader({0x00, 0xD6}), 2u);
  }
  EXPECT_EQ(logTexts().back(), "******>Wrt data Error:25985:0x6581");
  std::vector<unsigned char> back(300);
  ASSERT_EQ(0, pelu7::PELU7_ReadFileBin(kFile, 0, back.data(), 300));
  EXPECT_TRUE(std::equal(data.begin(), data.begin() + 245, back.begin()));
  EXPECT_TRUE(std::equal(before.begin() + 245, before.end(), back.begin() + 245));
}

TEST_F(TransportTest, ReadFailureInTheSecondChunkKeepsTheFirstChunk) {
  createFile(300);
  const auto data = pattern(300);
  ASSERT_EQ(0, pelu7::PELU7_WriteFileBin(kFile, 0, data.data(), 300));
  ScriptedCard card;
  card.answerNth({0x00, 0xB0}, 2, 0x6B00);
  std::vector<unsigned char> out(300, 0x11);
  EXPECT_EQ(0x6B00, pelu7::PELU7_ReadFileBin(kFile, 0, out.data(), 300));
  EXPECT_TRUE(std::equal(data.begin(), data.begin() + 245, out.begin()));
  EXPECT_EQ(out[245], 0x11);
  EXPECT_EQ(logTexts().back(), "******>Rd data Error:27392:0x6B00");
}

// A card that says 9000 but sends fewer bytes than asked must not make the
// helper hand out stale buffer bytes.
TEST_F(TransportTest, ShortReadAnswerIsAFailure) {
  createFile(16);
  ScriptedCard card;
  card.answerAll({0x00, 0xB0}, 0x9000, {1, 2, 3});
  std::vector<unsigned char> out(16, 0x11);
  EXPECT_EQ(pelu7::kStatusShortAnswer, pelu7::PELU7_ReadFileBin(kFile, 0, out.data(), 16));
  EXPECT_EQ(out, std::vector<unsigned char>(16, 0x11));
  EXPECT_EQ(logTexts().back(), "******>Rd data Error:65537:0x10001");
}

TEST_F(TransportTest, CreateFailureLogsTheStatus) {
  createFile(4);
  EXPECT_EQ(0x6A89, pelu7::PELU7_CreateFileBin(kFile, 4, 0xF0, 0xF0));
  EXPECT_EQ(logTexts().back(), "******>ICC_tsi_api Error:27273:0x6A89");
}

}  // namespace
