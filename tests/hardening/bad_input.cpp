#include "hardening/bad_input.h"

#include <algorithm>

namespace hardening {

bool Outputs::untouched() const {
  return length == kUntouchedInt && pubKeyId == kUntouchedInt && priKeyId == kUntouchedInt &&
         isLogin == kUntouchedInt && context == &length &&
         std::all_of(buffer.begin(), buffer.end(), [](std::uint8_t b) { return b == kUntouchedByte; });
}

const Bytes& BadInput::userPin() {
  static const Bytes pin = testsupport::bytes(kUserPin);
  return pin;
}

const Bytes& BadInput::superPin() {
  static const Bytes pin = testsupport::bytes(kSuperPin);
  return pin;
}

void BadInput::SetUp() {
  DalTest::SetUp();
  if (GetParam().token == TokenState::Provisioned) provision();
}

void BadInput::provision() {
  formatToken();
  loginUser();
  ASSERT_EQ(0, VORN_DAL_CreateGlobalInfoFile(64));
  ASSERT_EQ(0, VORN_DAL_CreateUsrDataFile(1, 5, 64, 0, 1));
}

TEST_P(BadInput, ReturnsItsCodeAndSendsOnlyWhatTheCardMayReceive) {
  const BadInputCase& c = GetParam();
  Outputs outputs;
  testsupport::ScriptedCard card;
  clearLog();

  EXPECT_EQ(c.expected, c.call(outputs, card, *this));

  const auto sent = card.commandsHex();
  EXPECT_EQ(sent.size(), c.commands.size()) << ::testing::PrintToString(sent);
  for (std::size_t i = 0; i < std::min(sent.size(), c.commands.size()); ++i)
    EXPECT_EQ(sent[i].rfind(c.commands[i], 0), 0u) << "command " << i << " is " << sent[i];
  if (c.log) {
    EXPECT_EQ(logTexts(), *c.log);
  }
  // A refused call leaves every output as it was.
  if (c.expected != 0) {
    EXPECT_TRUE(outputs.untouched());
  }
}

}  // namespace hardening
