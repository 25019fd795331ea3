// Malformed and unknown commands become status words, never crashes.
#include "vtoken_test_util.h"

#include <random>

namespace vtoken::testing {
namespace {

struct MalformedCase {
  const char* name;
  const char* command;
  std::uint16_t sw;
};

class MalformedCommand : public ::testing::TestWithParam<MalformedCase> {};

TEST_P(MalformedCommand, AnswersItsStatusWord) {
  const auto token = Token::inMemory();
  const Answer answer = send(*token, GetParam().command);
  EXPECT_EQ(answer.sw, GetParam().sw) << GetParam().command;
  EXPECT_TRUE(answer.data.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MalformedCommand,
    ::testing::Values(MalformedCase{"TooShort", "00A400", 0x6700},
                      MalformedCase{"LcLongerThanData", "00A40000053F00", 0x6700},
                      MalformedCase{"LcShorterThanData", "00A40000013F00", 0x6700},
                      MalformedCase{"SelectWithThreeIdBytes", "00A40000033F0000", 0x6700},
                      MalformedCase{"SelectByName", "00A40400023F00", 0x6A86},
                      MalformedCase{"UnknownInstruction", "00CA000000", 0x6D00},
                      MalformedCase{"UnknownClass", "A0A40000023F00", 0x6E00},
                      MalformedCase{"SecureMessagingClass", "0CA40000023F00", 0x6E00},
                      MalformedCase{"IsoCommandWithProprietaryClass", "80A40000023F00", 0x6E00},
                      MalformedCase{"ProprietaryCommandWithIsoClass", "000E000000", 0x6E00},
                      MalformedCase{"ChallengeOfFourBytes", "0084000004", 0x6700},
                      MalformedCase{"ChallengeWithoutLe", "00840000", 0x6700},
                      MalformedCase{"ChallengeWithP1", "0084010008", 0x6A86},
                      MalformedCase{"ReadWithoutLe", "00B00000", 0x6700},
                      MalformedCase{"UpdateWithoutData", "00D6000000", 0x6700},
                      MalformedCase{"CreateWithSixBytes", "80E0000106280010F0F0FF", 0x6700},
                      MalformedCase{"CreateUnknownType", "80E0000107290010F0F0FFFF", 0x6A80},
                      MalformedCase{"CreateSizeZero", "80E0000107280000F0F0FFFF", 0x6A80},
                      MalformedCase{"CreateMf", "80E03F0007280010F0F0FFFF", 0x6A89},
                      MalformedCase{"EraseWithP1", "800E010000", 0x6A86},
                      MalformedCase{"WriteKeyWrongP1", "80D40201053A01020366", 0x6A86},
                      MalformedCase{"ExternalAuthShortCryptogram", "008200000401020304", 0x6700},
                      MalformedCase{"VerifyWithP1", "00200101081111111111111111", 0x6A86},
                      MalformedCase{"VerifyFourBytes", "002000010411111111", 0x6700},
                      MalformedCase{"ChangePinEightBytes", "80240001081111111111111111", 0x6700},
                      MalformedCase{"RsaOperationShortInput", "80C200020401020304", 0x6700},
                      MalformedCase{"Ssf33UnknownFunction", "8078070000", 0x6A86},
                      MalformedCase{"Ssf33KeyLoadShortKey", "807805FF0401020304", 0x6700},
                      MalformedCase{"Ssf33ProbeWithP2", "8078040100", 0x6A86}),
    [](const ::testing::TestParamInfo<MalformedCase>& info) { return std::string(info.param.name); });

// Random byte strings must never escape as anything but a status word, and
// the card must go on working afterwards.
TEST(CommandFormat, RandomCommandsNeverBreakTheCard) {
  const auto token = Token::inMemory();
  std::mt19937 random(7);
  for (int i = 0; i < 5000; ++i) {
    Bytes command(random() % 300);
    for (auto& b : command) {
      b = static_cast<std::uint8_t>(random());
    }
    if (command.size() > 1 && random() % 2 == 0) {
      command[0] = random() % 2 == 0 ? 0x00 : 0x80;
    }
    const Answer answer = token->transmit(command);
    EXPECT_LE(answer.data.size(), 256u);
    EXPECT_NE(answer.sw, 0x6F00) << toHex(command);
  }
  EXPECT_EQ(sw(*token, "00A40000023F00"), 0x9000);
}

}  // namespace
}  // namespace vtoken::testing
