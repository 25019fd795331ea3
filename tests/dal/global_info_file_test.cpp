// The global information file against a formatted virtual token: created
// once, readable by anybody, writable only by the user.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "card_expectations.h"
#include "support/dal_fixture.h"
#include "support/scripted_card.h"

namespace {

using e2e::commandHex;
using testsupport::ScriptedCard;

std::vector<unsigned char> pattern(size_t n, unsigned seed) {
  std::vector<unsigned char> data(n);
  for (size_t i = 0; i < n; ++i) data[i] = static_cast<unsigned char>(i * 13 + seed);
  return data;
}

class GlobalInfoFileTest : public testsupport::DalTest {
 protected:
  void SetUp() override {
    DalTest::SetUp();
    formatToken();
  }
  static int write(int offset, const std::vector<unsigned char>& data) {
    return VORN_DAL_WriteGlobalInfoFile(offset, static_cast<int>(data.size()), data.data());
  }
  static std::vector<unsigned char> read(int offset, int length, int expectedResult = 0) {
    std::vector<unsigned char> out(static_cast<size_t>(length), 0xEE);
    EXPECT_EQ(expectedResult, VORN_DAL_ReadGlobalInfoFile(offset, length, out.data()));
    return out;
  }
};

TEST_F(GlobalInfoFileTest, CreationSendsOneCreateFileAndTheFileStartsZeroed) {
  ScriptedCard card;
  ASSERT_EQ(0, VORN_DAL_CreateGlobalInfoFile(600));
  EXPECT_EQ(card.commandsHex(), std::vector<std::string>{"80E01FF307280258F0AAFFFF"});
  EXPECT_EQ(read(0, 600), std::vector<unsigned char>(600, 0x00));
}

TEST_F(GlobalInfoFileTest, WriteOf600BytesGoesOutAs245And245And110) {
  ASSERT_EQ(0, VORN_DAL_CreateGlobalInfoFile(600));
  loginUser();
  const auto data = pattern(600, 5);
  ScriptedCard card;
  ASSERT_EQ(0, write(0, data));
  std::vector<std::string> headers;
  std::vector<unsigned char> sent;
  for (const auto& exchange : card.exchanges()) {
    const auto& command = exchange.command;
    const bool select = command[1] == 0xA4;
    headers.push_back(commandHex(command).substr(0, select ? 14 : 10));
    if (!select) sent.insert(sent.end(), command.begin() + 5, command.end());
  }
  EXPECT_EQ(headers, (std::vector<std::string>{"00A40000021FF3", "00D60000F5", "00D600F5F5", "00D601EA6E"}));
  EXPECT_EQ(sent, data);
  EXPECT_EQ(read(0, 600), data);
}

TEST_F(GlobalInfoFileTest, OnlyTheUserMayWrite) {
  ASSERT_EQ(0, VORN_DAL_CreateGlobalInfoFile(32));
  const auto data = pattern(16, 1);

  EXPECT_EQ(VORN_DAL_ERR_WRITE_FILE, write(0, data));  // nobody logged in
  loginSuperUser();
  clearLog();
  EXPECT_EQ(VORN_DAL_ERR_WRITE_FILE, write(0, data));
  EXPECT_EQ(logTexts(), (std::vector<std::string>{"******>Wrt data Error:27010:0x6982", "******>PELU7_WriteFileBin",
                                                  "PELU7_WriteFileBin error:0X6982"}));
  EXPECT_EQ(read(0, 16), std::vector<unsigned char>(16, 0x00));

  loginUser();
  ASSERT_EQ(0, write(4, data));
  // Anybody may read, even with nobody logged in.
  ASSERT_EQ(0, VORN_DAL_Logout(VORN_DAL_USER));
  const auto back = read(0, 32);
  EXPECT_EQ(std::vector<unsigned char>(back.begin() + 4, back.begin() + 20), data);
  EXPECT_EQ(std::vector<unsigned char>(back.begin(), back.begin() + 4), std::vector<unsigned char>(4, 0x00));
}

TEST_F(GlobalInfoFileTest, SecondCreationIsRefusedAndLeavesTheFirstFileIntact) {
  ASSERT_EQ(0, VORN_DAL_CreateGlobalInfoFile(100));
  loginUser();
  const auto data = pattern(100, 9);
  ASSERT_EQ(0, write(0, data));
  clearLog();

  EXPECT_EQ(VORN_DAL_ERR_CREATE_FILE, VORN_DAL_CreateGlobalInfoFile(300));
  ASSERT_EQ(logTexts().size(), 2u);
  EXPECT_EQ(logTexts()[0].rfind("******>ICC_tsi_api Error:", 0), 0u);
  EXPECT_EQ(logTexts()[1], "******>create global info file");
  EXPECT_EQ(read(0, 100), data);
  read(100, 1, VORN_DAL_ERR_READ_FILE);  // still 100 bytes long
}

TEST_F(GlobalInfoFileTest, MissingFileCannotBeReadOrWritten) {
  loginUser();
  read(0, 4, VORN_DAL_ERR_READ_FILE);
  EXPECT_EQ(logTexts().back(), "******>PELU7_ReadFileBin");
  EXPECT_EQ(VORN_DAL_ERR_WRITE_FILE, write(0, pattern(4, 0)));
}

TEST_F(GlobalInfoFileTest, TransfersBeyondTheEndAreRefusedByTheCard) {
  ASSERT_EQ(0, VORN_DAL_CreateGlobalInfoFile(10));
  loginUser();
  read(5, 6, VORN_DAL_ERR_READ_FILE);
  EXPECT_EQ(VORN_DAL_ERR_WRITE_FILE, write(8, pattern(3, 0)));
  EXPECT_EQ(0, write(7, pattern(3, 0)));
}

TEST_F(GlobalInfoFileTest, ZeroLengthTransfersSendNothing) {
  ScriptedCard card;
  unsigned char buffer[1] = {0x5A};
  EXPECT_EQ(0, VORN_DAL_ReadGlobalInfoFile(0, 0, buffer));
  EXPECT_EQ(0, VORN_DAL_WriteGlobalInfoFile(0, 0, buffer));
  EXPECT_TRUE(card.exchanges().empty());
  EXPECT_EQ(buffer[0], 0x5A);
}

// Sizes and ranges that the card's 16-bit fields cannot express are refused
// before any command, instead of reaching a wrapped-around place.
struct OutOfRange {
  const char* name;
  std::function<int()> call;
};

class GlobalInfoOutOfRange : public GlobalInfoFileTest, public ::testing::WithParamInterface<OutOfRange> {};

TEST_P(GlobalInfoOutOfRange, IsRefusedBeforeAnyCommand) {
  ScriptedCard card;
  EXPECT_EQ(VORN_DAL_ERR_ARGUMENT, GetParam().call());
  EXPECT_TRUE(card.exchanges().empty());
}

unsigned char gBuffer[64];

INSTANTIATE_TEST_SUITE_P(
    Calls, GlobalInfoOutOfRange,
    ::testing::Values(OutOfRange{"Size0x10000", [] { return VORN_DAL_CreateGlobalInfoFile(0x10000); }},
                      OutOfRange{"NegativeSize", [] { return VORN_DAL_CreateGlobalInfoFile(-1); }},
                      OutOfRange{"ReadPastTheAddressSpace", [] { return VORN_DAL_ReadGlobalInfoFile(0xFFF0, 0x11, gBuffer); }},
                      OutOfRange{"WritePastTheAddressSpace", [] { return VORN_DAL_WriteGlobalInfoFile(0xFFFF, 2, gBuffer); }},
                      OutOfRange{"ReadAtOffset0x10000", [] { return VORN_DAL_ReadGlobalInfoFile(0x10000, 1, gBuffer); }},
                      OutOfRange{"ReadNegativeOffset", [] { return VORN_DAL_ReadGlobalInfoFile(-1, 4, gBuffer); }},
                      OutOfRange{"WriteNegativeOffset", [] { return VORN_DAL_WriteGlobalInfoFile(-245, 4, gBuffer); }},
                      OutOfRange{"ReadNegativeLength", [] { return VORN_DAL_ReadGlobalInfoFile(0, -1, gBuffer); }},
                      OutOfRange{"WriteNegativeLength", [] { return VORN_DAL_WriteGlobalInfoFile(0, -1, gBuffer); }}),
    [](const ::testing::TestParamInfo<OutOfRange>& info) { return std::string(info.param.name); });

// The last expressible byte still goes to the card, which decides.
TEST_F(GlobalInfoFileTest, LastAddressableByteReachesTheCard) {
  ScriptedCard card;
  unsigned char byte = 0;
  EXPECT_EQ(VORN_DAL_ERR_READ_FILE, VORN_DAL_ReadGlobalInfoFile(0xFFFF, 1, &byte));
  EXPECT_EQ(card.commandsHex(), std::vector<std::string>{"00A40000021FF3"});
  EXPECT_EQ(VORN_DAL_ERR_CREATE_FILE, VORN_DAL_CreateGlobalInfoFile(0xFFFF));  // more than the card holds
  EXPECT_EQ(card.commandsHex().back(), "80E01FF30728FFFFF0AAFFFF");
}

}  // namespace
