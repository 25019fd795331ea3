// A token file's token pulled out of its reader and put back: what the
// presence file says, and that a pull loses the card's RAM as a real pull
// loses the power.
#include <gtest/gtest.h>

#include <fstream>
#include <ostream>
#include <string>

#include "support/test_util.h"
#include "vtoken/presence.h"
#include "vtoken/virtual_token.h"
#include "vtoken_test_util.h"

namespace vtoken::testing {
namespace {

struct PresenceText {
  const char* name;
  const char* text;  // nullptr: no presence file
  vtoken::Presence expected;
};

void PrintTo(const PresenceText& c, std::ostream* out) { *out << c.name; }

class PresenceFile : public ::testing::TestWithParam<PresenceText> {};

TEST_P(PresenceFile, ReadsAs) {
  testutil::TempFolder folder;
  const std::string token = folder.file("t.vtoken");
  if (GetParam().text != nullptr) std::ofstream(vtoken::presencePathFor(token)) << GetParam().text;
  EXPECT_EQ(vtoken::presenceOf(token), GetParam().expected);
}

// A state that cannot be read is taken as out: a card nobody can see is not
// in the reader, and `vtoken insert` writes it afresh.
INSTANTIATE_TEST_SUITE_P(
    Texts, PresenceFile,
    ::testing::Values(PresenceText{"NoFile", nullptr, {true, 0}}, PresenceText{"In", "in 3\n", {true, 3}},
                      PresenceText{"Out", "out 4\n", {false, 4}},
                      PresenceText{"OutWithoutNewline", "out 1", {false, 1}},
                      PresenceText{"Empty", "", {false, 0}}, PresenceText{"Garbage", "maybe 2\n", {false, 0}},
                      PresenceText{"NoCount", "in \n", {false, 0}},
                      PresenceText{"NegativeCount", "in -1\n", {false, 0}},
                      PresenceText{"TrailingText", "in 2 extra\n", {false, 0}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TokenPull, PullAndInsertCountPullsAndRepeatsChangeNothing) {
  testutil::TempFolder folder;
  const std::string path = folder.file("t.vtoken");
  vtoken::createTokenFile(path, true);
  vtoken::pullTokenFile(path);
  vtoken::pullTokenFile(path);
  EXPECT_EQ(vtoken::presenceOf(path), (vtoken::Presence{false, 1}));
  vtoken::insertTokenFile(path);
  vtoken::insertTokenFile(path);
  EXPECT_EQ(vtoken::presenceOf(path), (vtoken::Presence{true, 1}));
  EXPECT_THROW(vtoken::pullTokenFile(folder.file("none.vtoken")), std::runtime_error);
}

// The last challenge is RAM: kept while the token stays in, gone after a
// pull and a put-back (EXTERNAL AUTHENTICATE then has none: 6985).
TEST(TokenPull, LosesTheCardsRam) {
  for (const bool pulled : {false, true}) {
    testutil::TempFolder folder;
    const std::string path = folder.file("t.vtoken");
    vtoken::createTokenFile(path, true);
    {
      auto token = vtoken::Token::openFile(path);
      ASSERT_EQ(sw(*token, "0084000008"), 0x9000);
    }
    if (pulled) {
      vtoken::pullTokenFile(path);
      vtoken::insertTokenFile(path);
    }
    auto token = vtoken::Token::openFile(path);
    const std::uint16_t status = sw(*token, "0082000008" "0000000000000000");
    if (pulled) {
      EXPECT_EQ(status, 0x6985);
    } else {
      EXPECT_EQ(status & 0xFFF0, 0x63C0);
    }
  }
}

}  // namespace
}  // namespace vtoken::testing
