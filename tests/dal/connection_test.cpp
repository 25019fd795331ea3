// Opening and closing the reader port, with real virtual-token ports mapped
// by the driver's port map.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "support/dal_fixture.h"
#include "support/scripted_card.h"

namespace {

namespace fs = std::filesystem;

class ConnectionTest : public testsupport::DalTest {
 protected:
  // Maps port to a file-backed token of its own; returns the token's path.
  std::string tokenFile(const std::string& port) const { return dir_.file(port + ".vtoken"); }
  void mapPorts(const std::string& map) { setenv("PELU7_READERS", map.c_str(), 1); }
  std::string fileToken(const std::string& port) const { return port + "=vtoken:" + tokenFile(port); }
  // True when a card command goes through the open port.
  static bool cardAnswers() {
    unsigned char random[8];
    return VORN_DAL_GenRand(sizeof random, random) == 0;
  }
};

TEST_F(ConnectionTest, NoPortOpensGivesOpenDeviceError) {
  mapPorts("");
  EXPECT_EQ(VORN_DAL_ERR_OPEN_DEVICE, VORN_DAL_Initialize());
  EXPECT_EQ(logTexts(), std::vector<std::string>{"******>PELU7_open"});
  unsigned char random[8];
  EXPECT_EQ(VORN_DAL_ERR_OPEN_DEVICE, VORN_DAL_GenRand(8, random));
  EXPECT_EQ(logTexts(), (std::vector<std::string>{"******>PELU7_open", "******>PELU7_open",
                                                  "******>VORN_DAL_Initialize"}));
}

TEST_F(ConnectionTest, SecondInitializeKeepsTheOpenPort) {
  ASSERT_EQ(0, VORN_DAL_Initialize());
  mapPorts("");  // a new CT_open would now fail
  EXPECT_EQ(0, VORN_DAL_Initialize());
  EXPECT_TRUE(cardAnswers());
}

TEST_F(ConnectionTest, FallsBackToUsb2WhenUsb1DoesNotOpen) {
  mapPorts(fileToken("USB2"));
  ASSERT_EQ(0, VORN_DAL_Initialize());
  EXPECT_TRUE(fs::exists(tokenFile("USB2")));
  EXPECT_TRUE(cardAnswers());
}

struct PortCase {
  int index;
  const char* port;
};

// Printed by name: the default printer would read the struct's padding bytes.
void PrintTo(const PortCase& c, std::ostream* os) { *os << c.index << " -> " << c.port; }

class ConnectionPort : public ConnectionTest, public ::testing::WithParamInterface<PortCase> {};

TEST_P(ConnectionPort, InitializeExOpensTheChosenPort) {
  mapPorts(fileToken(GetParam().port));
  ASSERT_EQ(0, VORN_DAL_InitializeEx(GetParam().index));
  EXPECT_TRUE(fs::exists(tokenFile(GetParam().port)));
  EXPECT_TRUE(cardAnswers());
}

INSTANTIATE_TEST_SUITE_P(Indexes, ConnectionPort,
                         ::testing::Values(PortCase{0, "USB1"}, PortCase{7, "USB8"}, PortCase{8, "USB1"},
                                           PortCase{9, "USB10"}, PortCase{99999998, "USB99999999"}));

TEST_F(ConnectionTest, RefusedIndexesLeaveTheOpenPortOpen) {
  ASSERT_EQ(0, VORN_DAL_Initialize());
  mapPorts("");
  EXPECT_EQ(VORN_DAL_ERR_ARGUMENT, VORN_DAL_InitializeEx(-1));
  // A port number of nine digits would not fit the port name.
  EXPECT_EQ(VORN_DAL_ERR_ARGUMENT, VORN_DAL_InitializeEx(99999999));
  EXPECT_EQ(VORN_DAL_ERR_ARGUMENT, VORN_DAL_InitializeEx(2147483647));
  EXPECT_TRUE(logLines().empty());
  EXPECT_TRUE(cardAnswers());
}

TEST_F(ConnectionTest, InitializeExOfAPortThatDoesNotOpenClosesThePreviousOne) {
  ASSERT_EQ(0, VORN_DAL_Initialize());
  EXPECT_EQ(VORN_DAL_ERR_OPEN_DEVICE, VORN_DAL_InitializeEx(4));
  EXPECT_EQ(logTexts(), std::vector<std::string>{"******>device open"});
  mapPorts("");
  EXPECT_FALSE(cardAnswers());
}

TEST_F(ConnectionTest, AfterAFailedInitializeExTheNextCallFallsBackToUsb1) {
  EXPECT_EQ(VORN_DAL_ERR_OPEN_DEVICE, VORN_DAL_InitializeEx(5));
  EXPECT_TRUE(cardAnswers());
}

TEST_F(ConnectionTest, FinalizeClosesAndTheNextCallReopens) {
  mapPorts(fileToken("USB1"));
  ASSERT_EQ(0, VORN_DAL_Initialize());
  EXPECT_EQ(0, VORN_DAL_Finalize());
  EXPECT_EQ(0, VORN_DAL_Finalize());  // closed already: nothing to do
  EXPECT_EQ(0, VORN_DAL_FinalizeEx(12345));
  mapPorts("");
  EXPECT_FALSE(cardAnswers());
  mapPorts(fileToken("USB1"));
  EXPECT_TRUE(cardAnswers());
}

TEST_F(ConnectionTest, GetFreeSpaceIsNotSupported) {
  EXPECT_EQ(VORN_DAL_ERR_NOT_SUPPORTED, VORN_DAL_GetFreeSpace(0));
  EXPECT_EQ(VORN_DAL_ERR_NOT_SUPPORTED, VORN_DAL_GetFreeSpace(-7));
  ASSERT_EQ(0, VORN_DAL_Initialize());
  EXPECT_EQ(VORN_DAL_ERR_NOT_SUPPORTED, VORN_DAL_GetFreeSpace(1));
}

}  // namespace
