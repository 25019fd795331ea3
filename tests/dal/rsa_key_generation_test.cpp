// Key pair generation, public key export and the card's private-key operation
// against the virtual token, with the exact APDUs and scripted card failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "driver/tkrdr.h"
#include "dal/connection.h"
#include "support/dal_fixture.h"
#include "support/scripted_card.h"

namespace {

using testsupport::ScriptedCard;
using testsupport::toHex;
using Bytes = std::vector<std::uint8_t>;

class RsaKeyGenerationTest : public testsupport::DalTest {
 protected:
  void SetUp() override {
    DalTest::SetUp();
    formatToken();
  }

  // Bytes 0-1 of the counter file, read with raw commands past the DAL.
  static std::string counterHex() {
    unsigned char select[] = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x1F, 0xF4};
    unsigned char read[] = {0x00, 0xB0, 0x00, 0x00, 0x02};
    unsigned char answer[256];
    unsigned char length = 0;
    EXPECT_EQ(0x9000, ICC_tsi_api(pelu7::readerHandle, sizeof select, select, &length, answer));
    EXPECT_EQ(0x9000, ICC_tsi_api(pelu7::readerHandle, sizeof read, read, &length, answer));
    return toHex(answer, length);
  }
};

TEST_F(RsaKeyGenerationTest, PairsTakeConsecutiveIdsFromTheCounter) {
  loginUser();
  int pub = 0, pri = 0;
  ASSERT_EQ(0, VORN_DAL_GenRsaKeyPair(1024, &pub, &pri));
  EXPECT_EQ(pub, 1);
  EXPECT_EQ(pri, 2);
  EXPECT_EQ(counterHex(), "0003");
  ASSERT_EQ(0, VORN_DAL_GenRsaKeyPair(1024, &pub, &pri));
  EXPECT_EQ(pub, 3);
  EXPECT_EQ(pri, 4);
  EXPECT_EQ(counterHex(), "0005");
  EXPECT_TRUE(logLines().empty());
}

TEST_F(RsaKeyGenerationTest, SendsTheStepsInOrderAndStoresTheCardsModulusElement) {
  loginUser();
  ScriptedCard card;
  int pub = 0, pri = 0;
  ASSERT_EQ(0, VORN_DAL_GenRsaKeyPair(1024, &pub, &pri));
  const auto commands = card.commandsHex();
  ASSERT_EQ(commands.size(), 9u);
  const std::vector<std::string> steps(commands.begin(), commands.begin() + 8);
  // The counter moves on before the key files exist.
  EXPECT_EQ(steps, (std::vector<std::string>{"00A40000021FF4", "00B0000002", "00A40000021FF4", "00D60000020003",
                                             "80E00001073E008CF0AAF0FF", "80E00002073D0150AAAAEFFF",
                                             "80CE000200", "00A40000020001"}));
  const Bytes& element = card.exchanges()[6].data;
  ASSERT_GE(element.size(), 130u);
  EXPECT_EQ(commands[8], "00D6000087" + toHex(element.data(), 130) + "6503010001");

  unsigned char modulus[128];
  int length = 0;
  ASSERT_EQ(0, VORN_DAL_GetPublicKey(pub, modulus, &length));
  EXPECT_EQ(length, 128);
  EXPECT_EQ(toHex(modulus, 128), toHex(element.data() + 2, 128));
}

TEST_F(RsaKeyGenerationTest, OtherSizesAreRefusedBeforeAnyCommand) {
  ASSERT_EQ(0, VORN_DAL_Initialize());
  ScriptedCard card;
  for (int bits : {2048, 512, 0, -1024}) {
    int pub = -7, pri = -7;
    EXPECT_EQ(VORN_DAL_ERR_MODULUS_LENGTH, VORN_DAL_GenRsaKeyPair(bits, &pub, &pri));
    EXPECT_EQ(pub, -7);
    EXPECT_EQ(pri, -7);
  }
  EXPECT_TRUE(card.exchanges().empty());
  EXPECT_EQ(logTexts(), std::vector<std::string>(4, "******>modulusLen"));
}

const Bytes kShortElement = [] {
  Bytes element{0x6E, 0x80};
  element.resize(129, 0x5A);
  return element;
}();

struct GenerationFailure {
  const char* name;
  void (*script)(ScriptedCard&);
  int code;
  std::vector<std::string> log;
  bool idsWritten;
  std::string counterAfter;
  std::size_t generateCommands;
  std::size_t recordWrites;
};

void PrintTo(const GenerationFailure& c, std::ostream* os) { *os << c.name; }

class RsaGenerationFailure : public RsaKeyGenerationTest, public ::testing::WithParamInterface<GenerationFailure> {};

TEST_P(RsaGenerationFailure, ReturnsTheStepsCodeAndLeavesWhatWasDone) {
  const GenerationFailure& c = GetParam();
  loginUser();
  clearLog();
  ScriptedCard card;
  c.script(card);
  int pub = -7, pri = -7;
  EXPECT_EQ(c.code, VORN_DAL_GenRsaKeyPair(1024, &pub, &pri));
  EXPECT_EQ(logTexts(), c.log);
  EXPECT_EQ(pub, c.idsWritten ? 1 : -7);
  EXPECT_EQ(pri, c.idsWritten ? 2 : -7);
  EXPECT_EQ(card.countWithHeader({0x80, 0xCE}), c.generateCommands);
  // The public key record goes out only when the card has sent a modulus.
  EXPECT_EQ(card.countWithHeader({0x00, 0xD6, 0x00, 0x00, 0x87}), c.recordWrites);
  card.clearRules();
  EXPECT_EQ(counterHex(), c.counterAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, RsaGenerationFailure,
    ::testing::Values(
        GenerationFailure{"CounterUnreadable", [](ScriptedCard& c) { c.answerNth({0x00, 0xB0}, 1, 0x6A82); },
                          VORN_DAL_ERR_READ_FILE, {"******>Rd data Error:27266:0x6A82", "******>PELU7_ReadFileBin"},
                          false, "0001", 0, 0},
        GenerationFailure{"PublicFileRefused",
                          [](ScriptedCard& c) { c.answerNth({0x80, 0xE0, 0x00, 0x01}, 1, 0x6A84); },
                          VORN_DAL_ERR_CREATE_FILE, {"******>ICC_tsi_api Error:27268:0x6A84"}, true, "0003", 0, 0},
        GenerationFailure{"PrivateFileRefused",
                          [](ScriptedCard& c) { c.answerNth({0x80, 0xE0, 0x00, 0x02}, 1, 0x6A84); },
                          VORN_DAL_ERR_CREATE_FILE, {"******>ICC_tsi_api Error:27268:0x6A84"}, true, "0003", 0, 0},
        GenerationFailure{"CounterWriteRefused",
                          [](ScriptedCard& c) { c.answerNth({0x00, 0xD6, 0x00, 0x00, 0x02}, 1, 0x6581); },
                          VORN_DAL_ERR_WRITE_FILE,
                          {"******>Wrt data Error:25985:0x6581", "******>PELU7_WriteFileBin",
                           "PELU7_WriteFileBin error:0X6581"},
                          true, "0001", 0, 0},
        GenerationFailure{"GenerationRefused", [](ScriptedCard& c) { c.answerNth({0x80, 0xCE}, 1, 0x6982); },
                          VORN_DAL_ERR_GEN_KEY_PAIR, {"******>PELU7_tsi_api:27010:0x6982"}, true, "0003", 1, 0},
        GenerationFailure{"RepeatRefused",
                          [](ScriptedCard& c) {
                            c.answerNth({0x80, 0xCE}, 1, 0x9000).answerNth({0x80, 0xCE}, 2, 0x6F00);
                          },
                          VORN_DAL_ERR_GEN_KEY_PAIR, {"******>PELU7_tsi_api:28416:0x6F00"}, true, "0003", 2, 0},
        GenerationFailure{"TwiceNoData", [](ScriptedCard& c) { c.answerAll({0x80, 0xCE}, 0x9000); },
                          VORN_DAL_ERR_GEN_KEY_PAIR, {"******>PELU7_tsi_api:65537:0x10001"}, true, "0003", 2, 0},
        GenerationFailure{"ShortAnswer", [](ScriptedCard& c) { c.answerNth({0x80, 0xCE}, 1, 0x9000, kShortElement); },
                          VORN_DAL_ERR_GEN_KEY_PAIR, {"******>PELU7_tsi_api:65537:0x10001"}, true, "0003", 1, 0},
        GenerationFailure{"RecordWriteRefused",
                          [](ScriptedCard& c) { c.answerNth({0x00, 0xD6, 0x00, 0x00, 0x87}, 1, 0x6581); },
                          VORN_DAL_ERR_WRITE_FILE,
                          {"******>Wrt data Error:25985:0x6581", "******>PELU7_WriteFileBin:25985:0x6581"}, true,
                          "0003", 1, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RsaKeyGenerationTest, AnEmptyAnswerIsAskedForOnceMore) {
  loginUser();
  ScriptedCard card;
  card.answerNth({0x80, 0xCE}, 1, 0x9000);
  int pub = 0, pri = 0;
  ASSERT_EQ(0, VORN_DAL_GenRsaKeyPair(1024, &pub, &pri));
  EXPECT_EQ(card.countWithHeader({0x80, 0xCE}), 2u);
  const Bytes& element = card.exchanges()[7].data;  // the repeated command's answer
  ASSERT_EQ(element.size(), 130u);
  unsigned char modulus[128];
  int length = 0;
  ASSERT_EQ(0, VORN_DAL_GetPublicKey(pub, modulus, &length));
  EXPECT_EQ(toHex(modulus, 128), toHex(element.data() + 2, 128));
}

TEST_F(RsaKeyGenerationTest, ARefusedPrivateKeyFileUsesUpItsIdsAndTheNextPairIsMade) {
  loginUser();
  {
    ScriptedCard card;
    card.answerNth({0x80, 0xE0, 0x00, 0x02}, 1, 0x6A84);
    int pub = 0, pri = 0;
    EXPECT_EQ(VORN_DAL_ERR_CREATE_FILE, VORN_DAL_GenRsaKeyPair(1024, &pub, &pri));
  }
  clearLog();
  int pub = 0, pri = 0;
  EXPECT_EQ(0, VORN_DAL_GenRsaKeyPair(1024, &pub, &pri));
  EXPECT_EQ(pub, 3);
  EXPECT_EQ(pri, 4);
  EXPECT_TRUE(logLines().empty());
}

TEST_F(RsaKeyGenerationTest, WithoutTheUserLoginNothingChangesAndALaterLoginGetsTheFirstPair) {
  ScriptedCard card;
  int pub = 0, pri = 0;
  EXPECT_EQ(VORN_DAL_ERR_WRITE_FILE, VORN_DAL_GenRsaKeyPair(1024, &pub, &pri));
  EXPECT_EQ(logTexts(), (std::vector<std::string>{"******>Wrt data Error:27010:0x6982", "******>PELU7_WriteFileBin",
                                                  "PELU7_WriteFileBin error:0X6982"}));
  EXPECT_EQ(card.countWithHeader({0x80, 0xE0}), 0u);
  EXPECT_EQ(counterHex(), "0001");
  loginUser();
  EXPECT_EQ(0, VORN_DAL_GenRsaKeyPair(1024, &pub, &pri));
  EXPECT_EQ(pub, 1);
  EXPECT_EQ(pri, 2);
}

TEST_F(RsaKeyGenerationTest, TheLastCounterValueHandsOutThePrivateIdAbove16Bits) {
  loginUser();
  // Puts the counter at FFFF with raw commands past the DAL.
  unsigned char select[] = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x1F, 0xF4};
  unsigned char update[] = {0x00, 0xD6, 0x00, 0x00, 0x02, 0xFF, 0xFF};
  unsigned char answer[256];
  unsigned char length = 0;
  ASSERT_EQ(0x9000, ICC_tsi_api(pelu7::readerHandle, sizeof select, select, &length, answer));
  ASSERT_EQ(0x9000, ICC_tsi_api(pelu7::readerHandle, sizeof update, update, &length, answer));
  ScriptedCard card;
  int pub = 0, pri = 0;
  // The card keeps FFFF reserved, so this pair cannot be made; its ids are
  // handed out all the same, and the counter wraps to the next pair.
  EXPECT_EQ(VORN_DAL_ERR_CREATE_FILE, VORN_DAL_GenRsaKeyPair(1024, &pub, &pri));
  EXPECT_EQ(pub, 0xFFFF);
  EXPECT_EQ(pri, 0x10000);
  EXPECT_EQ(card.commandsHex().back(), "80E0FFFF073E008CF0AAF0FF");
  EXPECT_EQ(counterHex(), "0001");
}

TEST_F(RsaKeyGenerationTest, ExportOfAMissingFileIsAReadError) {
  unsigned char modulus[128] = {};
  int length = -7;
  EXPECT_EQ(VORN_DAL_ERR_READ_FILE, VORN_DAL_GetPublicKey(0x0101, modulus, &length));
  EXPECT_EQ(length, -7);
  EXPECT_EQ(logTexts(), (std::vector<std::string>{"******>Wrt Select Error:27266:0x6A82", "******>PELU7_ReadFileBin"}));
}

// The card's private-key operation.

class RsaPrivateKeyTest : public RsaKeyGenerationTest {
 protected:
  void SetUp() override {
    RsaKeyGenerationTest::SetUp();
    loginUser();
    int pub = 0;
    ASSERT_EQ(0, VORN_DAL_GenRsaKeyPair(1024, &pub, &privateFile_));
    for (int i = 0; i < 128; ++i) block_[i] = static_cast<unsigned char>(i == 0 ? 0 : i * 3);
    std::fill(std::begin(out_), std::end(out_), 0xEE);
    clearLog();
  }
  bool outputUntouched() const {
    return outLen_ == -7 && std::all_of(std::begin(out_), std::end(out_), [](unsigned char b) { return b == 0xEE; });
  }
  int privateFile_ = 0;
  unsigned char block_[130] = {};
  unsigned char out_[128];
  int outLen_ = -7;
};

TEST_F(RsaPrivateKeyTest, SendsTheBlockToTheNamedFile) {
  ScriptedCard card;
  ASSERT_EQ(0, VORN_DAL_RsaPrivateKeyRaw(privateFile_, block_, 128, out_, &outLen_));
  EXPECT_EQ(outLen_, 128);
  ASSERT_EQ(card.exchanges().size(), 1u);
  EXPECT_EQ(card.commandsHex()[0], "80C2000280" + toHex(block_, 128));
  EXPECT_EQ(toHex(out_, 128), toHex(card.exchanges()[0].data.data(), 128));
}

TEST_F(RsaPrivateKeyTest, WrongInputLengthsSendNothing) {
  ScriptedCard card;
  for (int length : {127, 129, 0, -128}) {
    EXPECT_EQ(VORN_DAL_ERR_DATA_LENGTH, VORN_DAL_RsaPrivateKeyRaw(privateFile_, block_, length, out_, &outLen_));
  }
  EXPECT_TRUE(card.exchanges().empty());
  EXPECT_TRUE(outputUntouched());
  EXPECT_EQ(logTexts(), std::vector<std::string>(4, "******>indata length"));
}

TEST_F(RsaPrivateKeyTest, RefusedOrShortAnswersLeaveTheOutputUntouched) {
  ScriptedCard card;
  card.answerNth({0x80, 0xC2}, 2, 0x9000, Bytes(127, 0x11));
  EXPECT_EQ(VORN_DAL_ERR_RSA, VORN_DAL_RsaPrivateKeyRaw(0x0001, block_, 128, out_, &outLen_));  // public key file
  EXPECT_EQ(VORN_DAL_ERR_RSA, VORN_DAL_RsaPrivateKeyRaw(privateFile_, block_, 128, out_, &outLen_));
  ASSERT_EQ(0, VORN_DAL_Logout(VORN_DAL_USER));
  EXPECT_EQ(VORN_DAL_ERR_RSA, VORN_DAL_RsaPrivateKeyRaw(privateFile_, block_, 128, out_, &outLen_));
  EXPECT_EQ(card.exchanges().back().status, 0x6982);
  EXPECT_TRUE(outputUntouched());
  EXPECT_EQ(logTexts(), std::vector<std::string>(3, "******>PELU7_tsi_api"));
}

}  // namespace
