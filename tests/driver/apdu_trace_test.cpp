// The APDU trace as a user sees it: PELU7_APDU_TRACE read at CT_open.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "driver/tkrdr.h"
#include "driver_fixture.h"
#include "support/scripted_card.h"

namespace drivertest {
namespace {

using Bytes = std::vector<std::uint8_t>;

class ApduTraceFile : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    mapReaders("USB1=vtoken:");
    trace_ = file("apdu.trace");
  }
  int openTraced() {
    setenv("PELU7_APDU_TRACE", trace_.c_str(), 1);
    const int handle = openOrFail("USB1");
    handles_.push_back(handle);
    return handle;
  }
  std::string trace_;
};

TEST_F(ApduTraceFile, GetChallengeWritesCommandAndAnswerLines) {
  const int handle = openTraced();
  Bytes data;
  ASSERT_EQ(send(handle, {0x00, 0x84, 0x00, 0x00, 0x08}, &data), 0x9000);
  ASSERT_EQ(data.size(), 8u);

  std::string expectedAnswer = "< ";
  for (std::uint8_t byte : data) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02X", byte);
    expectedAnswer += hex;
  }
  expectedAnswer += "9000";
  EXPECT_EQ(readLines(trace_), (std::vector<std::string>{"> 0084000008", expectedAnswer}));

  struct stat info {};
  ASSERT_EQ(stat(trace_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(ApduTraceFile, AppendsToAnExistingTraceAndShowsDriverStatuses) {
  std::ofstream(trace_) << "earlier line\n";
  testsupport::ScriptedCard card;
  card.answerAll({0x00, 0xB0}, TKRDR_SW_NO_CARD);
  const int handle = openTraced();
  EXPECT_EQ(send(handle, {0x00, 0xB0, 0x00, 0x00, 0x04}), TKRDR_SW_NO_CARD);
  EXPECT_EQ(readLines(trace_),
            (std::vector<std::string>{"earlier line", "> 00B0000004", "< F003"}));
}

TEST_F(ApduTraceFile, PinAndKeyValuesAreHidden) {
  testsupport::ScriptedCard card;
  card.answerAll({}, 0x9000);
  const int handle = openTraced();
  send(handle, {0x00, 0x20, 0x00, 0x01, 0x08, 1, 2, 3, 4, 5, 6, 7, 8});
  send(handle, {0x80, 0xD4, 0x01, 0x01, 0x07, 0x3A, 0xF0, 0xEF, 0x0A, 0x66, 0xAB, 0xCD});
  EXPECT_EQ(readLines(trace_), (std::vector<std::string>{
                                   "> 0020000108****************", "< 9000",
                                   "> 80D4010107**************", "< 9000"}));
}

TEST_F(ApduTraceFile, SecretsShownWhenAskedFor) {
  testsupport::ScriptedCard card;
  card.answerAll({}, 0x9000);
  setenv("PELU7_APDU_TRACE_SECRETS", "1", 1);
  const int handle = openTraced();
  send(handle, {0x00, 0x20, 0x00, 0x01, 0x02, 0x12, 0x34});
  send(handle, {0x80, 0xD4, 0x01, 0x01, 0x02, 0xAB, 0xCD});
  EXPECT_EQ(readLines(trace_), (std::vector<std::string>{"> 00200001021234", "< 9000",
                                                         "> 80D4010102ABCD", "< 9000"}));
}

TEST_F(ApduTraceFile, OnlyTheValueOneShowsSecrets) {
  testsupport::ScriptedCard card;
  card.answerAll({}, 0x9000);
  setenv("PELU7_APDU_TRACE_SECRETS", "yes", 1);
  const int handle = openTraced();
  send(handle, {0x00, 0x20, 0x00, 0x01, 0x02, 0x12, 0x34});
  EXPECT_EQ(readLines(trace_).at(0), "> 0020000102****");
}

TEST_F(ApduTraceFile, SymbolicLinkIsNotFollowed) {
  const std::string target = file("elsewhere");
  std::ofstream(target) << "";
  ASSERT_EQ(symlink(target.c_str(), trace_.c_str()), 0);
  const int handle = openTraced();  // the port still opens, untraced
  EXPECT_EQ(send(handle, {0x00, 0x84, 0x00, 0x00, 0x08}), 0x9000);
  EXPECT_TRUE(readLines(target).empty());
}

TEST_F(ApduTraceFile, EmptyVariableMeansNoTrace) {
  setenv("PELU7_APDU_TRACE", "", 1);
  const int handle = openOrFail("USB1");
  handles_.push_back(handle);
  EXPECT_EQ(send(handle, {0x00, 0x84, 0x00, 0x00, 0x08}), 0x9000);
  EXPECT_NE(access(trace_.c_str(), F_OK), 0);
}

TEST_F(ApduTraceFile, VariableIsReadAtOpen) {
  const int traced = openTraced();
  unsetenv("PELU7_APDU_TRACE");
  const int untraced = openOrFail("USB1");
  handles_.push_back(untraced);
  send(untraced, {0x00, 0x84, 0x00, 0x00, 0x01});
  send(traced, {0x00, 0x84, 0x00, 0x00, 0x02});
  const auto lines = readLines(trace_);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "> 0084000002");
}

}  // namespace
}  // namespace drivertest
