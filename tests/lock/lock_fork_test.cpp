// The lock follows the work, not the handle: a child forked while the lock is
// held keeps it held after the process that took it has ended, until the
// child releases it or ends too; a handle shared through a fork made before
// the take does not stand for the other process's take.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>


#include "lock_fixture.h"
#include "process_harness.h"
#include "support/dal_fixture.h"

namespace {

using locktest::Channel;
using locktest::ChildProcess;
using locktest::lockOnce;

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

class ForkedHolderTest : public locktest::LockFixture, public ::testing::WithParamInterface<bool> {};

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

struct SharedHandleCase {
  const char* name;
  bool parentTakes;  // the parent takes and is killed, or the child
  bool waiterFirst;  // a fresh process already waits when the taker dies
};

void PrintTo(const SharedHandleCase& scenario, std::ostream* out) { *out << scenario.name; }

class SharedHandleTest : public locktest::LockFixture, public ::testing::WithParamInterface<SharedHandleCase> {};

// What the two processes of shareHandleAndTake report, in one write each.
struct Report {
  char role;  // 's' the survivor, 'L' the taker, which holds the lock
  pid_t pid;
};

// Child: makes a handle and forks; one of the two processes takes the lock
// through it, reports 'L', and waits to be killed. The other reports 's';
// on the command 's' it takes the lock through the same handle and reports
// the result.
int shareHandleAndTake(Channel& test, bool parentTakes) {
  void* lock = nullptr;
  if (VORN_DAL_CreateMutex(&lock) != 0) return 1;
  const pid_t forked = fork();
  if (forked < 0) return 2;
  const bool takes = (forked != 0) == parentTakes;
  if (takes && VORN_DAL_LockMutex(lock) != 0) _exit(3);
  const Report report{takes ? 'L' : 's', getpid()};
  test.sendBytes(&report, sizeof report);
  if (takes) {
    for (;;) pause();
  }
  if (test.receive() != 's') _exit(4);
  const int result = VORN_DAL_LockMutex(lock);
  test.sendBytes(&result, sizeof result);
  test.receive();
  _exit(0);
}

TEST_P(SharedHandleTest, AKilledTakerIsRecoveredAndTheSurvivorTakesAgain) {
  const SharedHandleCase& scenario = GetParam();
  ChildProcess parent([&](Channel& test) { return shareHandleAndTake(test, scenario.parentTakes); });
  pid_t survivor = 0;
  pid_t taker = 0;
  for (int count = 0; count < 2; ++count) {
    Report report{};
    ASSERT_TRUE(parent.receiveBytes(&report, sizeof report));
    (report.role == 'L' ? taker : survivor) = report.pid;
  }
  ASSERT_NE(0, taker);
  ASSERT_NE(0, survivor);

  // Recovered while the survivor, which shares the handle, lives.
  locktest::expectRecovery(scenario.waiterFirst, [&] {
    ASSERT_EQ(0, kill(taker, SIGKILL));
    if (scenario.parentTakes) {
      EXPECT_EQ(128 + SIGKILL, parent.wait());
    }
  });

  parent.send('s');  // read by the survivor, which shares the pipes
  int result = -1;
  EXPECT_TRUE(parent.receiveBytes(&result, sizeof result));
  EXPECT_EQ(0, result) << "the survivor's own take";
  kill(survivor, SIGKILL);
}

INSTANTIATE_TEST_SUITE_P(Cases, SharedHandleTest,
                         ::testing::Values(SharedHandleCase{"ParentKilledWaiterFirst", true, true},
                                           SharedHandleCase{"ParentKilledWaiterLater", true, false},
                                           SharedHandleCase{"ChildKilledWaiterFirst", false, true},
                                           SharedHandleCase{"ChildKilledWaiterLater", false, false}),
                         [](const auto& info) { return info.param.name; });

// A child that could not get a description of its own at the fork (no file
// descriptor to be had) does not take the lock through its parent's session:
// its takes fail with -191 until it can get one, and then succeed.
class ForkedHandleTest : public locktest::LockFixture {};

TEST_F(ForkedHandleTest, AChildWithoutADescriptionOfItsOwnGetsOneAtItsNextTake) {
  ChildProcess parent([](Channel& test) {
    void* lock = nullptr;
    if (VORN_DAL_CreateMutex(&lock) != 0) return 1;
    // No new descriptor in the child: the lowest free number is the limit.
    const int lowest = open("/dev/null", O_RDONLY | O_CLOEXEC);
    rlimit limits{};
    if (lowest < 0 || close(lowest) != 0 || getrlimit(RLIMIT_NOFILE, &limits) != 0) return 2;
    rlimit none = limits;
    none.rlim_cur = static_cast<rlim_t>(lowest);
    if (setrlimit(RLIMIT_NOFILE, &none) != 0) return 3;
    const pid_t child = fork();
    if (child == 0) {
      int results[3] = {VORN_DAL_LockMutex(lock), 1, 1};
      setrlimit(RLIMIT_NOFILE, &limits);
      results[1] = VORN_DAL_LockMutex(lock);
      results[2] = VORN_DAL_UnLockMutex(lock);
      test.sendBytes(results, sizeof results);
      _exit(0);
    }
    setrlimit(RLIMIT_NOFILE, &limits);
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) ? WEXITSTATUS(status) : 4;
  });
  int results[3] = {1, 1, 1};
  ASSERT_TRUE(parent.receiveBytes(results, sizeof results)) << "the child did not report";
  EXPECT_EQ(VORN_DAL_ERR_LOCK, results[0]) << "without a description of its own";
  EXPECT_EQ(0, results[1]) << "once it can have one";
  EXPECT_EQ(0, results[2]);
  EXPECT_EQ(0, parent.wait());
}

}  // namespace
