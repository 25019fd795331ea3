// The PC/SC backend's transaction across back-to-back commands, against the
// scripted reader service: when it is begun, kept, given back and ended.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "driver/pcsc_backend.h"
#include "driver/tkrdr.h"
#include "support/secure_bytes_compare.h"
#include "support/scripted_pcsc.h"

namespace drivertest {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Events = std::vector<std::string>;
using testsupport::ScriptedPcsc;

const Bytes kSelectA = {0x00, 0xA4, 0x00, 0x00, 0x02, 0xA0, 0x01};
const Bytes kReadTwo = {0x00, 0xB0, 0x00, 0x00, 0x02};
const std::string kSentSelectA = "transmit 00A4000002A001";
const std::string kSentRead = "transmit 00B0000002";

// Timings that leave one rule at work: nothing else ends a transaction
// within a test's life.
constexpr auto kForever = std::chrono::hours(1);
constexpr tkrdr::HoldTiming kIdleAfter20ms{20ms, kForever, 0ms};
constexpr tkrdr::HoldTiming kNeverIdle{kForever, kForever, 0ms};
constexpr tkrdr::HoldTiming kAlwaysHeldTooLong{kForever, 0ms, 0ms};

class PcscHold : public ::testing::Test {
 protected:
  void open(tkrdr::HoldTiming timing) {
    backend_ = tkrdr::openPcscBackend(ScriptedPcsc::kReaderName, pcsc_, timing);
    ASSERT_NE(backend_, nullptr);
    pcsc_.clearEvents();
  }
  int send(const Bytes& command) { return backend_->transmit(command).status; }

  ScriptedPcsc pcsc_;
  std::shared_ptr<tkrdr::Backend> backend_;
};

TEST_F(PcscHold, BackToBackCommandsShareOneTransactionThatEndsWhenTheCardIsIdle) {
  open(kIdleAfter20ms);
  EXPECT_EQ(send(kSelectA), 0x9000);
  const tkrdr::CardAnswer read = backend_->transmit(kReadTwo);
  EXPECT_EQ(read.status, 0x9000);
  EXPECT_EQ(read.data, (Bytes{0xA0, 0x01})) << "the file this backend selected";
  ASSERT_TRUE(pcsc_.waitForEvent("end"));
  EXPECT_EQ(pcsc_.events(), (Events{"begin", kSentSelectA, kSentRead, "end"}));

  // The next command begins a new one.
  EXPECT_EQ(send(kReadTwo), 0x9000);
  ASSERT_TRUE(pcsc_.waitForEvent("end", 2));
  EXPECT_EQ(pcsc_.events(), (Events{"begin", kSentSelectA, kSentRead, "end", "begin", kSentRead, "end"}));
}

// Held beyond the longest hold, the card is given back just before a command
// that begins a sequence, and kept before one that relies on the commands
// before it.
struct YieldCase {
  const char* name;
  Bytes command;
  bool givesBack;
};

class PcscYield : public PcscHold, public ::testing::WithParamInterface<YieldCase> {};

TEST_P(PcscYield, GivesTheCardBackOnlyBeforeACommandThatBeginsASequence) {
  open(kAlwaysHeldTooLong);
  ASSERT_EQ(send(kReadTwo), 0x9000);
  ASSERT_EQ(send(GetParam().command), 0x9000);
  const Events events = pcsc_.events();
  ASSERT_EQ(events.size(), GetParam().givesBack ? 5u : 3u);
  if (GetParam().givesBack) {
    EXPECT_EQ(events[2], "end");
    EXPECT_EQ(events[3], "begin");
  }
  EXPECT_EQ(std::count(events.begin(), events.end(), "end"), GetParam().givesBack ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, PcscYield,
    ::testing::Values(YieldCase{"Select", kSelectA, true},
                      YieldCase{"GetChallenge", {0x00, 0x84, 0x00, 0x00, 0x08}, true},
                      YieldCase{"Verify", {0x00, 0x20, 0x00, 0x01, 0x02, 0x11, 0x22}, true},
                      YieldCase{"Ssf33LoadKey", {0x80, 0x78, 0x05, 0xFF, 0x01, 0x00}, true},
                      YieldCase{"Ssf33Probe", {0x80, 0x78, 0x04, 0x00, 0x00}, true},
                      YieldCase{"RsaPrivate", {0x80, 0xC2, 0x00, 0x02, 0x01, 0x00}, true},
                      YieldCase{"ChangePin", {0x80, 0x24, 0x00, 0x01, 0x01, 0x00}, true},
                      YieldCase{"UnblockPin", {0x80, 0x2C, 0x00, 0x04, 0x01, 0x00}, true},
                      YieldCase{"ReadBinary", kReadTwo, false},
                      YieldCase{"UpdateBinary", {0x00, 0xD6, 0x00, 0x02, 0x01, 0x55}, false},
                      YieldCase{"ExternalAuthenticate", {0x00, 0x82, 0x00, 0x00, 0x01, 0x00}, false},
                      YieldCase{"Ssf33Block", {0x80, 0x78, 0x00, 0xFF, 0x01, 0x00}, false},
                      YieldCase{"CreateFile", {0x80, 0xE0, 0x02, 0x01, 0x01, 0x28}, false},
                      YieldCase{"GenerateRsaKey", {0x80, 0xCE, 0x00, 0x30, 0x00}, false},
                      YieldCase{"WriteKey", {0x80, 0xD4, 0x01, 0x00, 0x01, 0x00}, false},
                      YieldCase{"Erase", {0x80, 0x0E, 0x00, 0x00, 0x00}, false},
                      YieldCase{"IsoClassVerifyLookalike", {0x80, 0x20, 0x00, 0x01, 0x00}, false}),
    [](const auto& info) { return std::string(info.param.name); });

struct FailureCase {
  const char* name;
  LONG rv;
  int status;
};

class PcscFailure : public PcscHold, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(PcscFailure, EndsTheTransactionAndTheNextCommandBeginsAnother) {
  open(kNeverIdle);
  ASSERT_EQ(send(kSelectA), 0x9000);
  pcsc_.failNextTransmit(GetParam().rv);
  EXPECT_EQ(send(kReadTwo), GetParam().status);
  EXPECT_FALSE(pcsc_.transactionHeld());
  EXPECT_EQ(send(kReadTwo), 0x9000);
  EXPECT_EQ(pcsc_.events(), (Events{"begin", kSentSelectA, kSentRead, "end", "begin", kSentRead}));
}

INSTANTIATE_TEST_SUITE_P(Failures, PcscFailure,
                         ::testing::Values(FailureCase{"CommError", SCARD_F_COMM_ERROR, TKRDR_SW_COMM},
                                           FailureCase{"Timeout", SCARD_E_TIMEOUT, TKRDR_SW_COMM},
                                           FailureCase{"Removed", SCARD_W_REMOVED_CARD, TKRDR_SW_NO_CARD},
                                           FailureCase{"ServiceStopped", SCARD_E_SERVICE_STOPPED,
                                                       TKRDR_SW_NO_SERVICE}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PcscHold, ResetEndsTheTransactionBeforeThePowerCycle) {
  open(kNeverIdle);
  ASSERT_EQ(send(kSelectA), 0x9000);
  EXPECT_EQ(backend_->reset(), 0x9000);
  EXPECT_EQ(pcsc_.events(), (Events{"begin", kSentSelectA, "end", "reconnect unpower"}));
}

TEST_F(PcscHold, ClosingEndsTheTransactionBeforeDisconnecting) {
  open(kNeverIdle);
  ASSERT_EQ(send(kSelectA), 0x9000);
  backend_.reset();
  EXPECT_EQ(pcsc_.events(), (Events{"begin", kSentSelectA, "end", "disconnect"}));
}

// Another program reset the card: the connection is made again once and the
// command goes out in a new transaction.
TEST_F(PcscHold, BeginAfterAnotherProgramsResetReconnectsOnce) {
  open(kNeverIdle);
  pcsc_.failNextBegin(SCARD_W_RESET_CARD);
  EXPECT_EQ(send(kSelectA), 0x9000);
  EXPECT_EQ(pcsc_.events(), (Events{"begin failed", "reconnect", "begin", kSentSelectA}));
}

// A reset under a command (pcscd resets the card when a program ends
// without disconnecting) fails that command; the connection is made again so
// that the next command reaches the card.
TEST_F(PcscHold, ResetUnderACommandFailsItAndTheNextOneGoesThrough) {
  open(kNeverIdle);
  ASSERT_EQ(send(kSelectA), 0x9000);
  pcsc_.failNextTransmit(SCARD_W_RESET_CARD);
  EXPECT_EQ(send(kReadTwo), TKRDR_SW_COMM);
  EXPECT_EQ(send(kReadTwo), 0x9000);
  EXPECT_EQ(pcsc_.events(),
            (Events{"begin", kSentSelectA, kSentRead, "end", "reconnect", "begin", kSentRead}));
}

TEST_F(PcscHold, BeginThatFailsSendsNothing) {
  open(kNeverIdle);
  pcsc_.failNextBegin(SCARD_E_NO_SMARTCARD);
  EXPECT_EQ(send(kSelectA), TKRDR_SW_NO_CARD);
  EXPECT_EQ(pcsc_.events(), (Events{"begin failed"}));
}

}  // namespace
}  // namespace drivertest
