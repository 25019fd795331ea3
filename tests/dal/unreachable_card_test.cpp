// A card the driver cannot reach (pulled out, its reader or the reader
// service gone): every card-facing export answers "no device" (-100), never
// its own code for a refused command, so that no caller takes a pulled card
// for a missing file, a wrong PIN or an unformatted token.
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "driver/tkrdr.h"
#include "support/dal_fixture.h"
#include "support/scripted_card.h"

namespace daltest {
namespace {

using testsupport::bytes;
using testsupport::ScriptedCard;

struct Export {
  const char* name;
  std::function<int()> call;
};

const std::vector<unsigned char> kPin = bytes("12345678");
const std::vector<unsigned char> kNewPin = bytes("87654321");

const std::vector<Export> kExports = {
    {"Login", [] { return VORN_DAL_Login(VORN_DAL_USER, kPin.data(), 8); }},
    {"Logout", [] { return VORN_DAL_Logout(VORN_DAL_USER); }},
    {"IsLogin", [] { int state = 0; return VORN_DAL_IsLogin(VORN_DAL_USER, &state); }},
    {"ChangePin", [] { return VORN_DAL_ChangePin(VORN_DAL_USER, kPin.data(), 8, kNewPin.data(), 8); }},
    {"UnlockPin", [] { return VORN_DAL_UnlockPin(kPin.data(), 8, kNewPin.data(), 8); }},
    {"FormatDevice", [] { return VORN_DAL_FormatDevice(kNewPin.data(), 8, kPin.data(), 8); }},
    {"CreateGlobalInfoFile", [] { return VORN_DAL_CreateGlobalInfoFile(16); }},
    {"ReadGlobalInfoFile", [] { unsigned char out[4]; return VORN_DAL_ReadGlobalInfoFile(0, 4, out); }},
    {"WriteGlobalInfoFile", [] { return VORN_DAL_WriteGlobalInfoFile(0, 8, kPin.data()); }},
    {"CreateUsrDataFile", [] { return VORN_DAL_CreateUsrDataFile(3, 7, 16, 0, 1); }},
    {"ReadUsrDataFile", [] { unsigned char out[4]; return VORN_DAL_ReadUsrDataFile(3, 7, 0, 4, out); }},
    {"WriteUsrDataFile", [] { return VORN_DAL_WriteUsrDataFile(3, 7, 0, 8, kPin.data()); }},
    {"DeleteUsrDataFile", [] { return VORN_DAL_DeleteUsrDataFile(3, 7); }},
    {"GenRsaKeyPair", [] { int pub = 0, pri = 0; return VORN_DAL_GenRsaKeyPair(1024, &pub, &pri); }},
    {"GetPublicKey", [] { unsigned char n[128]; int length = 0; return VORN_DAL_GetPublicKey(1, n, &length); }},
    {"RsaPrivateKeyRaw",
     [] {
       unsigned char in[128] = {0}, out[128];
       int length = 0;
       return VORN_DAL_RsaPrivateKeyRaw(2, in, 128, out, &length);
     }},
    {"GenRand", [] { unsigned char out[8]; return VORN_DAL_GenRand(8, out); }},
};

struct Unreachable {
  const char* name;
  int status;
};

// Cases print by name (their padding bytes say nothing).
void PrintTo(const Export& e, std::ostream* out) { *out << e.name; }
void PrintTo(const Unreachable& u, std::ostream* out) { *out << u.name; }

class UnreachableCard : public testsupport::DalTest,
                        public ::testing::WithParamInterface<std::tuple<Export, Unreachable>> {};

TEST_P(UnreachableCard, AnswersNoDevice) {
  const auto& [call, reason] = GetParam();
  formatToken();
  ScriptedCard card;
  card.answerAll({}, reason.status);
  EXPECT_EQ(call.call(), VORN_DAL_ERR_NO_DEVICE);
  ASSERT_FALSE(card.exchanges().empty());  // the card was asked, not skipped
}

INSTANTIATE_TEST_SUITE_P(
    Exports, UnreachableCard,
    ::testing::Combine(::testing::ValuesIn(kExports),
                       ::testing::Values(Unreachable{"NoCard", TKRDR_SW_NO_CARD},
                                         Unreachable{"NoService", TKRDR_SW_NO_SERVICE},
                                         Unreachable{"NoHandle", TKRDR_SW_NO_HANDLE},
                                         Unreachable{"ExchangeFailed", TKRDR_SW_COMM})),
    [](const auto& info) {
      return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name;
    });

// A refusal by the card itself, or by a virtual token that cannot write its
// file (it is there), gives the operation's own code, also after a call that
// found the card unreachable: the answer belongs to one call.
class CardAnswerAfterUnreachable : public testsupport::DalTest {};

TEST_F(CardAnswerAfterUnreachable, KeepsTheOperationsOwnCode) {
  formatToken();
  {
    ScriptedCard card;
    card.answerAll({}, TKRDR_SW_NO_CARD);
    unsigned char out[4];
    ASSERT_EQ(VORN_DAL_ReadGlobalInfoFile(0, 4, out), VORN_DAL_ERR_NO_DEVICE);
  }
  unsigned char out[4];
  EXPECT_EQ(VORN_DAL_ReadGlobalInfoFile(0, 4, out), VORN_DAL_ERR_READ_FILE);  // no such file on the card
  ScriptedCard storage;
  storage.answerAll({0x00, 0x20}, TKRDR_SW_STORAGE);
  const auto pin = bytes("12345678");
  EXPECT_EQ(VORN_DAL_Login(VORN_DAL_USER, pin.data(), 8), VORN_DAL_ERR_LOGIN);
}

}  // namespace
}  // namespace daltest
