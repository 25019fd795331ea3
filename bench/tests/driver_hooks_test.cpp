// The recording and replaying driver hooks that the card benchmarks use.
#include <gtest/gtest.h>

#include <vector>

#include "bench/allocation_counter.h"
#include "bench/card_session.h"
#include "bench/tests/token_port.h"
#include "driver/tkrdr.h"
#include "vorn_dal_pelu7.h"

namespace bench {
namespace {

struct Answer {
  int status;
  std::vector<std::uint8_t> data;
};

Answer send(int handle, const std::vector<std::uint8_t>& command) {
  unsigned char response[256];
  unsigned char length = 0;
  const int status = ICC_tsi_api(handle, int(command.size()), command.data(), &length, response);
  return {status, std::vector<std::uint8_t>(response, response + length)};
}

const std::vector<std::uint8_t> kGetChallenge{0x00, 0x84, 0x00, 0x00, 0x08};
const std::vector<std::uint8_t> kSelectMf{0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};

class DriverHooks : public ::testing::Test {
 protected:
  void SetUp() override { handle_ = openTokenPort(); ASSERT_GE(handle_, 0); }
  void TearDown() override { CT_close(handle_); }
  int handle_ = -1;
};

TEST_F(DriverHooks, RecordingKeepsEachCommandWithTheTokensAnswer) {
  Recording recording;
  Answer challenge, select;
  {
    RecordingHook hook;
    challenge = send(handle_, kGetChallenge);
    select = send(handle_, kSelectMf);
    recording = hook.take();
  }
  ASSERT_EQ(recording.size(), 2u);
  EXPECT_EQ(recording[0].command, kGetChallenge);
  EXPECT_EQ(recording[0].status, challenge.status);
  EXPECT_EQ(recording[0].data, challenge.data);
  EXPECT_EQ(recording[0].data.size(), 8u);
  EXPECT_EQ(recording[1].command, kSelectMf);
  EXPECT_EQ(recording[1].status, select.status);
}

TEST_F(DriverHooks, ReplayAnswersInOrderAndStartsOverAfterTheLast) {
  const Recording recording{{kGetChallenge, {1, 2, 3, 4, 5, 6, 7, 8}, 0x9000}, {kSelectMf, {}, 0x6A82}};
  ReplayHook hook(recording);
  const Answer first = send(handle_, kGetChallenge);
  const Answer second = send(handle_, kSelectMf);
  const Answer third = send(handle_, kGetChallenge);
  EXPECT_EQ(first.status, 0x9000);
  EXPECT_EQ(first.data, recording[0].data);
  // The token itself would select the MF; the recording says otherwise.
  EXPECT_EQ(second.status, 0x6A82);
  EXPECT_EQ(third.data, recording[0].data);
  EXPECT_EQ(hook.answered(), 3u);
  EXPECT_FALSE(hook.diverged());
}

TEST_F(DriverHooks, ReplayAcceptsOtherDataButNotAnotherCommand) {
  const Recording recording{{{0x80, 0x78, 0x00, 0xFF, 0x02, 0xAA, 0xBB}, {}, 0x9000}};
  ReplayHook hook(recording);
  send(handle_, {0x80, 0x78, 0x00, 0xFF, 0x02, 0x11, 0x22});
  EXPECT_FALSE(hook.diverged());
  send(handle_, {0x80, 0x78, 0x01, 0xFF, 0x02, 0xAA, 0xBB});
  EXPECT_TRUE(hook.diverged());
}

TEST_F(DriverHooks, ReplayOfLongerOrShorterCommandIsADivergence) {
  const Recording recording{{kSelectMf, {}, 0x9000}};
  ReplayHook hook(recording);
  send(handle_, {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00, 0x00});
  EXPECT_TRUE(hook.diverged());
}

TEST_F(DriverHooks, ALibraryCallOnAReplayedCardCountsNoneOfTheCardsAllocations) {
  CT_close(handle_);
  handle_ = -1;
  ASSERT_EQ(VORN_DAL_Initialize(), 0);
  const Recording recording{{kGetChallenge, {9, 8, 7, 6, 5, 4, 3, 2}, 0x9000}};
  ReplayHook hook(recording);
  unsigned char random[8] = {};
  AllocationCounts counts;
  {
    CountAllocations counter;
    ASSERT_EQ(VORN_DAL_GenRand(sizeof random, random), 0);
    counts = counter.counts();
  }
  EXPECT_EQ(random[0], 9);
  EXPECT_EQ(hook.answered(), 1u);
  // GenRand allocates nothing; what the driver does is its own.
  EXPECT_EQ(counts.outsideDriver(), 0u);
  VORN_DAL_Finalize();
}

}  // namespace
}  // namespace bench
