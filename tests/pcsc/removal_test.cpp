// What a real reader does to the library: the token pulled out and put back,
// the reader service gone and back. The driver answers with its own status
// words (SW1 = F0), never 9000; the library answers "no device" (-100); once
// the token or the service is back, the same open port reaches the card
// again, without the caller closing it.
#include <iomanip>
#include <sstream>
#include <string>
#include <vector>

#include "driver/pcsc_backend.h"
#include "driver/tkrdr.h"
#include "pcsc_fixture.h"
#include "vorn_dal_pelu7.h"

namespace pcsctest {
namespace {

using Bytes = std::vector<unsigned char>;

constexpr unsigned char kGetChallenge[] = {0x00, 0x84, 0x00, 0x00, 0x08};

std::string hex(int status) {
  std::ostringstream out;
  out << "0x" << std::hex << std::uppercase << status;
  return out.str();
}

// One raw exchange; its status, with the data length in *length.
int challenge(int handle, unsigned char* length) {
  unsigned char response[256];
  return ICC_tsi_api(handle, sizeof kGetChallenge, kGetChallenge, length, response);
}

// CT_open of USB1 must fail; a handle opened against expectation is closed,
// so that it cannot keep a connection alive for the tests that follow.
void expectOpenFails() {
  const int handle = CT_open("USB1", 1, 0);
  EXPECT_EQ(handle, -1);
  if (handle >= 0) CT_close(handle);
}

// A library call made while the card cannot answer, and the code it gives.
struct Refusal {
  const char* name;
  int (*call)();
  int code;
};

int genRand() {
  unsigned char out[8];
  return VORN_DAL_GenRand(sizeof out, out);
}
int readInfo() {
  unsigned char out[16];
  return VORN_DAL_ReadGlobalInfoFile(0, sizeof out, out);
}
int login() {
  const Bytes pin = testsupport::bytes("12345678");
  return VORN_DAL_Login(VORN_DAL_USER, pin.data(), 8);
}
int isLogin() {
  int state = -1;
  return VORN_DAL_IsLogin(VORN_DAL_USER, &state);
}
int genKey() {
  int pub = 0;
  int pri = 0;
  return VORN_DAL_GenRsaKeyPair(1024, &pub, &pri);
}

const std::vector<Refusal> kRefusals = {
    {"GenRand", genRand, VORN_DAL_ERR_NO_DEVICE},      {"ReadGlobalInfoFile", readInfo, VORN_DAL_ERR_NO_DEVICE},
    {"Login", login, VORN_DAL_ERR_NO_DEVICE},          {"IsLogin", isLogin, VORN_DAL_ERR_NO_DEVICE},
    {"GenRsaKeyPair", genKey, VORN_DAL_ERR_NO_DEVICE},
};

class TokenRemoval : public PcscTest {
 protected:
  void SetUp() override {
    PcscTest::SetUp();
    if (HasFatalFailure()) return;
    formatToken();
    loginUser();
    ASSERT_EQ(0, VORN_DAL_CreateGlobalInfoFile(100));
    ASSERT_EQ(0, VORN_DAL_WriteGlobalInfoFile(0, static_cast<int>(kInfo.size()), kInfo.data()));
  }

  static void expectRefusals() {
    for (const Refusal& r : kRefusals) EXPECT_EQ(r.call(), r.code) << r.name;
  }

  const Bytes kInfo = testsupport::bytes("kept in the token file");
};

TEST_F(TokenRemoval, RawHandleGetsDriverStatusesAndReachesTheCardOnceBack) {
  const int handle = CT_open("USB1", 1, 0);
  ASSERT_GE(handle, 0);
  unsigned char length = 0;
  ASSERT_EQ(challenge(handle, &length), 0x9000);
  ASSERT_EQ(length, 8);

  removeToken();
  for (int i = 0; i < 2; ++i) {
    length = 0xEE;
    EXPECT_EQ(hex(challenge(handle, &length)), hex(TKRDR_SW_NO_CARD));
    EXPECT_EQ(length, 0);
  }
  unsigned char atr[33];
  unsigned char atrLength = 0xEE;
  EXPECT_EQ(hex(ICC_reset(handle, &atrLength, atr)), hex(TKRDR_SW_NO_CARD));
  EXPECT_EQ(atrLength, 0);

  insertToken();
  EXPECT_EQ(hex(challenge(handle, &length)), hex(0x9000));
  EXPECT_EQ(length, 8);
  ASSERT_EQ(ICC_reset(handle, &atrLength, atr), 0x9000);
  EXPECT_GT(atrLength, 0);
  EXPECT_EQ(CT_close(handle), 0);
}

// Pulled out and put back between two commands: the first command after
// finds the card it talked to gone; the next reaches the card.
TEST_F(TokenRemoval, PutBackBetweenTwoCommandsFailsOneCommand) {
  const int handle = CT_open("USB1", 1, 0);
  ASSERT_GE(handle, 0);
  unsigned char length = 0;
  ASSERT_EQ(challenge(handle, &length), 0x9000);
  removeToken();
  insertToken();
  EXPECT_EQ(hex(challenge(handle, &length)), hex(TKRDR_SW_NO_CARD));
  EXPECT_EQ(hex(challenge(handle, &length)), hex(0x9000));
  EXPECT_EQ(CT_close(handle), 0);
}

TEST_F(TokenRemoval, LibraryAnswersNoDeviceAndRecoversWithoutClosing) {
  removeToken();
  expectRefusals();

  insertToken();
  unsigned char random[8];
  EXPECT_EQ(0, VORN_DAL_GenRand(sizeof random, random));
  Bytes back(kInfo.size());
  ASSERT_EQ(0, VORN_DAL_ReadGlobalInfoFile(0, static_cast<int>(back.size()), back.data()));
  EXPECT_EQ(back, kInfo);
  // Put back, the card starts a new session: nobody is logged in.
  int state = -1;
  ASSERT_EQ(0, VORN_DAL_IsLogin(VORN_DAL_USER, &state));
  EXPECT_EQ(state, 0);
}

TEST_F(TokenRemoval, OpeningAnEmptyReaderFailsAndTheTokenIsUsableOnceInserted) {
  VORN_DAL_Finalize();
  removeToken();
  expectOpenFails();
  EXPECT_EQ(VORN_DAL_Initialize(), VORN_DAL_ERR_OPEN_DEVICE);
  EXPECT_EQ(genRand(), VORN_DAL_ERR_OPEN_DEVICE);

  insertToken();
  EXPECT_EQ(genRand(), 0);
}

// The service stopped cleanly (its socket removed) or killed (its socket file
// left behind, nobody listening).
class ServiceAbsence : public TokenRemoval, public ::testing::WithParamInterface<int> {};

TEST_P(ServiceAbsence, OpenFailsCleanlyAndTheLibraryRecoversWhenItIsBack) {
  const int handle = CT_open("USB1", 1, 0);
  ASSERT_GE(handle, 0);

  daemon().stop(GetParam());
  token_.waitForEnd();  // the tool ends when vpcd drops its connection
  unsigned char length = 0xEE;
  EXPECT_EQ(hex(challenge(handle, &length)), hex(TKRDR_SW_NO_SERVICE));
  EXPECT_EQ(length, 0);
  expectRefusals();

  // With every handle closed, opening finds no service.
  EXPECT_EQ(CT_close(handle), 0);
  VORN_DAL_Finalize();
  expectOpenFails();
  EXPECT_TRUE(tkrdr::listPcscReaders().empty());
  EXPECT_EQ(genRand(), VORN_DAL_ERR_OPEN_DEVICE);
  unsetenv("PELU7_READERS");  // USB1 = the first PC/SC reader: there is none
  expectOpenFails();
  setenv("PELU7_READERS", ("USB1=pcsc:" + readerName()).c_str(), 1);

  ASSERT_EQ(daemon().start(), "");
  insertToken();
  Bytes back(kInfo.size());
  ASSERT_EQ(0, VORN_DAL_ReadGlobalInfoFile(0, static_cast<int>(back.size()), back.data()));
  EXPECT_EQ(back, kInfo);
}

// The service restarted while the library kept its port open and sent
// nothing: the first call finds the connection dead and answers "no device",
// and the library reaches the card again with no Finalize.
TEST_P(ServiceAbsence, OpenPortReachesTheCardAgainAfterARestart) {
  Bytes back(kInfo.size());
  ASSERT_EQ(0, VORN_DAL_ReadGlobalInfoFile(0, static_cast<int>(back.size()), back.data()));
  daemon().stop(GetParam());
  token_.waitForEnd();
  ASSERT_EQ(daemon().start(), "");
  insertToken();
  const int first = VORN_DAL_ReadGlobalInfoFile(0, static_cast<int>(back.size()), back.data());
  if (first != 0) {
    EXPECT_EQ(first, VORN_DAL_ERR_NO_DEVICE);
  }
  back.assign(back.size(), 0);
  ASSERT_EQ(0, VORN_DAL_ReadGlobalInfoFile(0, static_cast<int>(back.size()), back.data()));
  EXPECT_EQ(back, kInfo);
}

INSTANTIATE_TEST_SUITE_P(Stops, ServiceAbsence, ::testing::Values(SIGTERM, SIGKILL),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(info.param == SIGTERM ? "Stopped" : "Killed");
                         });

}  // namespace
}  // namespace pcsctest
