// A virtual token pulled out of its reader and put back by another program
// while a handle is open: what the driver answers, and that the same handle
// reaches the card again once it is back.
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "driver/tkrdr.h"
#include "driver_fixture.h"
#include "vtoken/virtual_token.h"

namespace drivertest {
namespace {

using Bytes = std::vector<std::uint8_t>;
const Bytes kGetChallenge = {0x00, 0x84, 0x00, 0x00, 0x08};

// Runs the change in a child process, as `pelu7 vtoken remove/insert` would.
void inAnotherProcess(const std::function<void()>& change) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    try {
      change();
      _exit(0);
    } catch (...) {
      _exit(1);
    }
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

enum class Between { Nothing, Pull, PullAndInsert, PullLookInsert };

struct PullCase {
  const char* name;
  Between between;
  std::vector<int> statuses;  // of the commands sent after it, in order
};

void PrintTo(const PullCase& c, std::ostream* out) { *out << c.name; }

class TokenPull : public DriverTest, public ::testing::WithParamInterface<PullCase> {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    path_ = file("t.vtoken");
    mapReaders("USB1=vtoken:" + path_);
    handle_ = openOrFail("USB1");
    handles_.push_back(handle_);
  }
  void pull() { inAnotherProcess([&] { vtoken::pullTokenFile(path_); }); }
  void insert() { inAnotherProcess([&] { vtoken::insertTokenFile(path_); }); }

  std::string path_;
  int handle_ = -1;
};

TEST_P(TokenPull, CommandsAfterItAnswer) {
  ASSERT_EQ(send(handle_, kGetChallenge), 0x9000);
  switch (GetParam().between) {
    case Between::Nothing:
      break;
    case Between::Pull:
      pull();
      break;
    case Between::PullAndInsert:
      pull();
      insert();
      break;
    case Between::PullLookInsert:
      pull();
      EXPECT_EQ(send(handle_, kGetChallenge), TKRDR_SW_NO_CARD);
      insert();
      break;
  }
  std::vector<int> statuses;
  for (std::size_t i = 0; i < GetParam().statuses.size(); ++i) statuses.push_back(send(handle_, kGetChallenge));
  EXPECT_EQ(statuses, GetParam().statuses);
}

INSTANTIATE_TEST_SUITE_P(
    Changes, TokenPull,
    ::testing::Values(PullCase{"Nothing", Between::Nothing, {0x9000, 0x9000}},
                      PullCase{"Pulled", Between::Pull, {TKRDR_SW_NO_CARD, TKRDR_SW_NO_CARD}},
                      // Unseen while out: the card it talked to went, once.
                      PullCase{"PulledAndPutBack", Between::PullAndInsert, {TKRDR_SW_NO_CARD, 0x9000}},
                      PullCase{"SeenOutThenPutBack", Between::PullLookInsert, {0x9000, 0x9000}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TokenPull, PortOpensAndResetsOnlyWhileTheTokenIsIn) {
  pull();
  EXPECT_EQ(CT_open("USB1", 1, 0), -1);
  unsigned char atr[33];
  unsigned char atrLength = 0xEE;
  EXPECT_EQ(ICC_reset(handle_, &atrLength, atr), TKRDR_SW_NO_CARD);
  EXPECT_EQ(atrLength, 0);

  insert();
  handles_.push_back(openOrFail("USB1"));
  EXPECT_EQ(ICC_reset(handle_, &atrLength, atr), 0x9000);
  EXPECT_GT(atrLength, 0);
}

}  // namespace
}  // namespace drivertest
