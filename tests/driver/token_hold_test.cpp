// The virtual token kept by the driver across the commands of an operation,
// as a PC/SC transaction is: held from the first command on, and given back
// at once by each of the ways a program lets the card go, in this process,
// across fork(), and when the holding process is killed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <functional>
#include <string>
#include <vector>

#include "driver/tkrdr.h"
#include "driver/vtoken_backend.h"
#include "support/test_util.h"

namespace drivertest {
namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes kSelectMf = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};
constexpr auto kForever = std::chrono::hours(1);
// Never idle, never long: only the way under test gives the token back.
constexpr tkrdr::HoldTiming kNeverIdle{kForever, kForever, std::chrono::milliseconds(0)};

// Whether another open file description holds the token's lock now.
bool tokenHeld(const std::string& token) {
  const int fd = ::open((token + ".lock").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  ::close(fd);
  return held;
}

struct Release {
  const char* name;
  std::function<void(std::shared_ptr<tkrdr::Backend>&)> giveBack;
};

void PrintTo(const Release& release, std::ostream* out) { *out << release.name; }

const Release kReleases[] = {
    {"ReleaseEntry", [](std::shared_ptr<tkrdr::Backend>&) { EXPECT_EQ(0, ICC_release()); }},
    {"Reset", [](std::shared_ptr<tkrdr::Backend>& backend) { EXPECT_EQ(0x9000, backend->reset()); }},
    {"Closed", [](std::shared_ptr<tkrdr::Backend>& backend) { backend.reset(); }},
};

class TokenHoldTest : public ::testing::TestWithParam<Release> {
 protected:
  testutil::TempFolder dir_;
  std::string token_ = dir_.file("t.vtoken");
};

TEST_P(TokenHoldTest, HeldFromTheFirstCommandAndGivenBack) {
  auto backend = tkrdr::openFileTokenBackend(token_, kNeverIdle);
  ASSERT_NE(backend, nullptr);
  EXPECT_FALSE(tokenHeld(token_)) << "opening alone holds nothing";
  ASSERT_EQ(0x9000, backend->transmit(kSelectMf).status);
  EXPECT_TRUE(tokenHeld(token_));
  GetParam().giveBack(backend);
  EXPECT_FALSE(tokenHeld(token_));
  if (backend) {
    ASSERT_EQ(0x9000, backend->transmit(kSelectMf).status);
    EXPECT_TRUE(tokenHeld(token_)) << "the next command holds it again";
  }
}

INSTANTIATE_TEST_SUITE_P(Ways, TokenHoldTest, ::testing::ValuesIn(kReleases),
                         [](const auto& info) { return info.param.name; });

// fork() gives the token back first: the child's copy never holds it, and
// each process then holds it in turn for its own commands.
TEST_F(TokenHoldTest, ForkGivesTheTokenBackFirst) {
  auto backend = tkrdr::openFileTokenBackend(token_, kNeverIdle);
  ASSERT_NE(backend, nullptr);
  ASSERT_EQ(0x9000, backend->transmit(kSelectMf).status);
  ASSERT_TRUE(tokenHeld(token_));
  const pid_t child = ::fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    int failures = tokenHeld(token_) ? 1 : 0;
    failures += backend->transmit(kSelectMf).status == 0x9000 ? 0 : 2;
    failures += tokenHeld(token_) ? 0 : 4;
    _exit(failures);  // its lock goes with it
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_FALSE(tokenHeld(token_));
  EXPECT_EQ(0x9000, backend->transmit(kSelectMf).status);
}

// A process killed while it holds the token leaves it free.
TEST_F(TokenHoldTest, KilledHolderLeavesTheTokenFree) {
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    auto backend = tkrdr::openFileTokenBackend(token_, kNeverIdle);
    const bool sent = backend && backend->transmit(kSelectMf).status == 0x9000;
    if (::write(ready[1], sent ? "y" : "n", 1) != 1) _exit(1);
    ::pause();
    _exit(0);
  }
  char sent = 0;
  ASSERT_EQ(::read(ready[0], &sent, 1), 1);
  ::close(ready[0]);
  ::close(ready[1]);
  ASSERT_EQ(sent, 'y');
  EXPECT_TRUE(tokenHeld(token_));
  ASSERT_EQ(::kill(child, SIGKILL), 0);
  ASSERT_EQ(::waitpid(child, nullptr, 0), child);
  EXPECT_FALSE(tokenHeld(token_));
  auto backend = tkrdr::openFileTokenBackend(token_, kNeverIdle);
  ASSERT_NE(backend, nullptr);
  EXPECT_EQ(0x9000, backend->transmit(kSelectMf).status);
}

}  // namespace
}  // namespace drivertest
