// Other PC/SC programs beside the library: OpenSC's opensc-tool sees the
// attached token in the private daemon's reader and talks to it while the
// library keeps its own connection to the same card; a program that resets
// the card ends the card's session under the library's feet.
#include <winscard.h>

#include <cctype>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "pcsc_fixture.h"
#include "vorn_dal_pelu7.h"

namespace pcsctest {
namespace {

// Runs a shell command; its output (stdout and stderr) and exit status.
std::string run(const std::string& command, int& status) {
  std::string output;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) {
    status = -1;
    return output;
  }
  char buffer[256];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, got);
  status = ::pclose(pipe);
  return output;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

bool isHexByte(const std::string& token) {
  return token.size() == 2 && std::isxdigit(static_cast<unsigned char>(token[0])) &&
         std::isxdigit(static_cast<unsigned char>(token[1]));
}

class OpenscTool : public PcscTest {
 protected:
  // The index opensc-tool gives the token's reader in `opensc-tool -l`
  // ("Nr.  Card  Features  Name" rows), or -1.
  static int readerIndex() {
    int status = 0;
    for (const std::string& line : lines(run("opensc-tool -l", status))) {
      if (line.size() > readerName().size() && line.compare(line.size() - readerName().size(), std::string::npos,
                                                            readerName()) == 0) {
        return std::stoi(line);
      }
    }
    return -1;
  }

  // Sends GET CHALLENGE with opensc-tool; its output.
  static std::string getChallenge(int& status) {
    return run("opensc-tool -r " + std::to_string(readerIndex()) + " -s 00:84:00:00:08", status);
  }
};

// opensc-tool prints "Received (SW1=0x90, SW2=0x00):" and then the data as
// hex bytes followed by their characters: eight of each for eight bytes.
TEST_F(OpenscTool, GetChallengeReturnsEightBytesAnd9000) {
  ASSERT_GE(readerIndex(), 0);
  int status = -1;
  const std::string output = getChallenge(status);
  EXPECT_EQ(status, 0) << output;
  const std::vector<std::string> out = lines(output);
  std::size_t at = 0;
  while (at < out.size() && out[at].rfind("Received (", 0) != 0) ++at;
  ASSERT_LT(at + 1, out.size()) << output;
  EXPECT_EQ(out[at], "Received (SW1=0x90, SW2=0x00):");
  const std::string& data = out[at + 1];
  ASSERT_EQ(data.size(), 3u * 8 + 8) << data;
  std::istringstream bytes(data.substr(0, 3 * 8));
  int count = 0;
  for (std::string token; bytes >> token; ++count) EXPECT_TRUE(isHexByte(token)) << token;
  EXPECT_EQ(count, 8);
  EXPECT_EQ(at + 2, out.size()) << output;  // nothing after the one data line
}

// The library's connection stays usable while another program connects to
// the card, sends a command and disconnects.
TEST_F(OpenscTool, LibraryConnectionSurvivesAnotherProgram) {
  unsigned char random[16];
  ASSERT_EQ(0, VORN_DAL_GenRand(sizeof random, random));
  int status = -1;
  const std::string output = getChallenge(status);
  ASSERT_EQ(status, 0) << output;
  EXPECT_EQ(0, VORN_DAL_GenRand(sizeof random, random));
}

class AnotherProgram : public PcscTest {
 protected:
  // Connects to the card as another program would, and resets it on leaving.
  static void resetTheCard() {
    SCARDCONTEXT context = 0;
    ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context), SCARD_S_SUCCESS);
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    EXPECT_EQ(SCardConnect(context, readerName().c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                           &card, &protocol),
              SCARD_S_SUCCESS);
    EXPECT_EQ(SCardDisconnect(card, SCARD_RESET_CARD), SCARD_S_SUCCESS);
    SCardReleaseContext(context);
  }
};

// pcscd tells the library's connection about the reset; the driver connects
// again and the library goes on, with the login gone as on the card.
TEST_F(AnotherProgram, ResetOfTheCardIsRecoveredAndEndsTheLogin) {
  formatToken();
  loginUser();
  resetTheCard();
  int state = -1;
  ASSERT_EQ(0, VORN_DAL_IsLogin(VORN_DAL_USER, &state));
  EXPECT_EQ(state, 0);
  loginUser();
  unsigned char random[8];
  EXPECT_EQ(0, VORN_DAL_GenRand(sizeof random, random));
  ASSERT_EQ(0, VORN_DAL_IsLogin(VORN_DAL_USER, &state));
  EXPECT_EQ(state, 1);
}

}  // namespace
}  // namespace pcsctest
