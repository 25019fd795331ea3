// A card (or a driver) that answers with the status word 0000 refuses the
// command like any status but 9000. The file helpers give 0 for success, so
// such an answer must not reach their callers as 0: the caller would go on
// with bytes the card never sent.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "support/dal_fixture.h"
#include "support/scripted_card.h"

namespace {

using testsupport::ScriptedCard;

struct ZeroStatusCase {
  const char* name;
  std::vector<std::uint8_t> refused;  // header of the command answered 0000
  std::function<int()> call;
  int expected;
};

void PrintTo(const ZeroStatusCase& c, std::ostream* os) { *os << c.name; }

class ZeroStatus : public testsupport::DalTest, public ::testing::WithParamInterface<ZeroStatusCase> {
 protected:
  void SetUp() override {
    DalTest::SetUp();
    formatToken();
    loginUser();
    ASSERT_EQ(0, VORN_DAL_CreateGlobalInfoFile(16));
    ASSERT_EQ(0, VORN_DAL_CreateUsrDataFile(1, 5, 16, 0, 0));
  }
};

TEST_P(ZeroStatus, IsARefusal) {
  const ZeroStatusCase& c = GetParam();
  ScriptedCard card;
  if (c.refused.size() == 2) {
    card.answerAll({c.refused[0], c.refused[1]}, 0x0000);
  } else {
    card.answerAll({c.refused[0], c.refused[1], c.refused[2], c.refused[3]}, 0x0000);
  }
  EXPECT_EQ(c.expected, c.call());
}

std::vector<std::uint8_t> out(256, 0xEE);
int length = 0;
int pub = 0, pri = 0;

INSTANTIATE_TEST_SUITE_P(
    Helpers, ZeroStatus,
    ::testing::Values(
        ZeroStatusCase{"ReadGlobalSelect", {0x00, 0xA4}, [] { return VORN_DAL_ReadGlobalInfoFile(0, 4, out.data()); },
                       VORN_DAL_ERR_READ_FILE},
        ZeroStatusCase{"ReadGlobalData", {0x00, 0xB0}, [] { return VORN_DAL_ReadGlobalInfoFile(0, 4, out.data()); },
                       VORN_DAL_ERR_READ_FILE},
        ZeroStatusCase{"WriteGlobalData", {0x00, 0xD6}, [] { return VORN_DAL_WriteGlobalInfoFile(0, 4, out.data()); },
                       VORN_DAL_ERR_WRITE_FILE},
        ZeroStatusCase{"CreateUserFile", {0x80, 0xE0}, [] { return VORN_DAL_CreateUsrDataFile(1, 6, 8, 0, 0); },
                       VORN_DAL_ERR_CREATE_FILE},
        ZeroStatusCase{"ReadUserHeader", {0x00, 0xB0, 0x00, 0x00},
                       [] { return VORN_DAL_ReadUsrDataFile(1, 5, 0, 4, out.data()); }, VORN_DAL_ERR_READ_FILE},
        ZeroStatusCase{"WriteUserSelect", {0x00, 0xA4}, [] { return VORN_DAL_WriteUsrDataFile(1, 5, 0, 4, out.data()); },
                       VORN_DAL_ERR_READ_FILE},
        ZeroStatusCase{"GetPublicKeySelect", {0x00, 0xA4},
                       [] { return VORN_DAL_GetPublicKey(1, out.data(), &length); }, VORN_DAL_ERR_READ_FILE},
        ZeroStatusCase{"GenRsaKeyPairCounter", {0x00, 0xB0},
                       [] { return VORN_DAL_GenRsaKeyPair(1024, &pub, &pri); }, VORN_DAL_ERR_READ_FILE},
        ZeroStatusCase{"FormatFlagFile", {0x80, 0xE0, 0x1F, 0xF5},
                       [] {
                         const auto s = testsupport::bytes("87654321"), u = testsupport::bytes("12345678");
                         return VORN_DAL_FormatDevice(s.data(), 8, u.data(), 8);
                       },
                       VORN_DAL_ERR_CREATE_FILE}),
    [](const ::testing::TestParamInfo<ZeroStatusCase>& info) { return std::string(info.param.name); });

}  // namespace
