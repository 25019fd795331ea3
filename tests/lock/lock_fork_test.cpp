// The lock follows the work, not the process id: a child forked while the
// lock is held keeps it held after the process that took it has ended, until
// the child releases it or ends too.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "process_harness.h"
#include "support/dal_fixture.h"

namespace {

using locktest::Channel;
using locktest::ChildProcess;

// Child: reports 'w', then 'L' once it holds the lock, and releases it.
int lockOnce(Channel& test) {
  void* lock = nullptr;
  if (VORN_DAL_CreateMutex(&lock) != 0) return 1;
  test.send('w');
  if (VORN_DAL_LockMutex(lock) != 0) return 2;
  test.send('L');
  return VORN_DAL_UnLockMutex(lock) == 0 && VORN_DAL_DestroyMutex(lock) == 0 ? 0 : 3;
}

// Child: takes the lock, forks a worker that inherits it, reports the
// worker's id and ends. The worker, on the command 'u', releases the lock
// and reports 'U'.
int lockAndHandOver(Channel& test) {
  void* lock = nullptr;
  if (VORN_DAL_CreateMutex(&lock) != 0 || VORN_DAL_LockMutex(lock) != 0) return 1;
  const pid_t worker = fork();
  if (worker < 0) return 2;
  if (worker == 0) {
    if (test.receive() == 'u' && VORN_DAL_UnLockMutex(lock) == 0) test.send('U');
    _exit(0);
  }
  test.sendBytes(&worker, sizeof worker);
  return 0;
}

class ForkedHolderTest : public testsupport::DalTest, public ::testing::WithParamInterface<bool> {
 protected:
  locktest::PrivateLockObject object_;
};

TEST_P(ForkedHolderTest, TheLockStaysHeldWhileTheChildLives) {
  const bool workerReleases = GetParam();
  ChildProcess taker(lockAndHandOver);
  pid_t worker = 0;
  ASSERT_TRUE(taker.receiveBytes(&worker, sizeof worker));
  ASSERT_EQ(0, taker.wait());  // the recorded holder is gone

  ChildProcess waiter(lockOnce);
  ASSERT_EQ('w', waiter.receive());
  EXPECT_TRUE(locktest::waitUntilSleeping(waiter.pid(), waiter.pid(), [&] { return waiter.hasEvent(); }))
      << "took the lock while the worker that inherited it lives";
  EXPECT_FALSE(waiter.hasEvent());

  if (workerReleases) {
    taker.send('u');  // the worker reads the taker's command pipe
    EXPECT_EQ('U', taker.receive());
  } else {
    ASSERT_EQ(0, kill(worker, SIGKILL));
  }
  // Within one recovery slice after the worker ends; receive() gives up only
  // after a minute.
  EXPECT_EQ('L', waiter.receive());
  EXPECT_EQ(0, waiter.wait());
}

INSTANTIATE_TEST_SUITE_P(Ends, ForkedHolderTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "WorkerReleases" : "WorkerEnds"; });

}  // namespace
