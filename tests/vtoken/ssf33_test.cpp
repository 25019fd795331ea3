// The SSF33 commands, computed with the SM4 stand-in.
#include "vtoken_test_util.h"

namespace vtoken::testing {
namespace {

const char* const kKey = "0123456789ABCDEFFEDCBA9876543210";

TEST(Ssf33, EncryptsTheSm4KnownAnswerAndDecryptsItBack) {
  const auto token = Token::inMemory();
  EXPECT_EQ(sw(*token, "8078040000"), 0x9000);
  ASSERT_EQ(sw(*token, std::string("807805FF10") + kKey), 0x9000);
  const Answer cipher = send(*token, std::string("807800FF10") + kKey);
  ASSERT_EQ(cipher.sw, 0x9000);
  EXPECT_EQ(toHex(cipher.data), "681EDF34D206965E86B3E94F536E4246");
  const Answer plain = send(*token, concat(fromHex("807801FF10"), cipher.data));
  ASSERT_EQ(plain.sw, 0x9000);
  EXPECT_EQ(toHex(plain.data), kKey);
}

TEST(Ssf33, BlocksNeedALoadedKeyWhichResetForgets) {
  const auto token = Token::inMemory();
  const std::string block = std::string("807800FF10") + kKey;
  EXPECT_EQ(sw(*token, block), 0x6985);
  ASSERT_EQ(sw(*token, std::string("807805FF10") + kKey), 0x9000);
  EXPECT_EQ(sw(*token, block), 0x9000);
  token->reset();
  EXPECT_EQ(sw(*token, block), 0x6985);
  EXPECT_EQ(sw(*token, std::string("807801FF10") + kKey), 0x6985);
}

TEST(Ssf33, LastLoadedKeyIsUsed) {
  const auto token = Token::inMemory();
  ASSERT_EQ(sw(*token, std::string("807805FF10") + std::string(32, '0')), 0x9000);
  ASSERT_EQ(sw(*token, std::string("807805FF10") + kKey), 0x9000);
  EXPECT_EQ(toHex(send(*token, std::string("807800FF10") + kKey).data), "681EDF34D206965E86B3E94F536E4246");
}

TEST(Ssf33, CardWithoutSsf33KnowsNoneOfTheCommands) {
  const auto token = Token::inMemory(TokenOptions{.ssf33 = false});
  for (const std::string& command : {std::string("8078040000"), "807805FF10" + std::string(kKey),
                                    "807800FF10" + std::string(kKey), "807801FF10" + std::string(kKey)}) {
    EXPECT_EQ(sw(*token, command), 0x6D00) << command;
  }
  EXPECT_EQ(sw(*token, "0084000008"), 0x9000);
}

}  // namespace
}  // namespace vtoken::testing
