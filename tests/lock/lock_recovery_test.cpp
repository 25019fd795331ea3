// A holder that dies does not block the others for ever: its lock is taken
// over once it has surely ended, and only then.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <optional>
#include <thread>

#include "platform/named_lock.h"
#include "platform/posix/lock_holder.h"
#include "platform/posix/lock_state.h"
#include "lock_fixture.h"
#include "process_harness.h"
#include "support/dal_fixture.h"

namespace {

using locktest::Channel;
using locktest::ChildProcess;
using locktest::lockOnce;

// Child: takes the lock, reports 'L' and waits for the test to end it.
int holdForEver(Channel& test) {
  void* lock = nullptr;
  if (VORN_DAL_CreateMutex(&lock) != 0 || VORN_DAL_LockMutex(lock) != 0) return 1;
  test.send('L');
  test.receive();
  return 0;
}

struct KilledHolderCase {
  const char* name;
  bool waiterStartsFirst;  // already waiting when the holder dies
  bool reaped;             // the dead holder is reaped, or left a zombie
};

void PrintTo(const KilledHolderCase& scenario, std::ostream* out) { *out << scenario.name; }

class KilledHolderTest : public locktest::LockFixture, public ::testing::WithParamInterface<KilledHolderCase> {};

TEST_P(KilledHolderTest, AnotherProcessGetsTheLock) {
  const KilledHolderCase& scenario = GetParam();
  ChildProcess holder(holdForEver);
  ASSERT_EQ('L', holder.receive());

  locktest::expectRecovery(scenario.waiterStartsFirst, [&] {
    holder.kill(SIGKILL);
    if (scenario.reaped) {
      EXPECT_EQ(128 + SIGKILL, holder.wait());
    }
  });
}

INSTANTIATE_TEST_SUITE_P(Cases, KilledHolderTest,
                         ::testing::Values(KilledHolderCase{"WaiterFirstHolderReaped", true, true},
                                           KilledHolderCase{"WaiterFirstHolderZombie", true, false},
                                           KilledHolderCase{"WaiterLaterHolderReaped", false, true},
                                           KilledHolderCase{"WaiterLaterHolderZombie", false, false}),
                         [](const auto& info) { return info.param.name; });

// Child: takes the lock, reports 'L'; on 'u' releases it and reports 'U',
// then waits for the test to end it.
int holdUntilTold(Channel& test) {
  void* lock = nullptr;
  if (VORN_DAL_CreateMutex(&lock) != 0 || VORN_DAL_LockMutex(lock) != 0) return 1;
  test.send('L');
  if (test.receive() != 'u' || VORN_DAL_UnLockMutex(lock) != 0) return 2;
  test.send('U');
  test.receive();
  return 0;
}

struct StuckWaiterCase {
  const char* name;
  int signal;            // what stops the first waiter while it waits
  bool holderReleases;   // the holder releases, or is killed
};

void PrintTo(const StuckWaiterCase& scenario, std::ostream* out) { *out << scenario.name; }

class StuckWaiterTest : public locktest::LockFixture, public ::testing::WithParamInterface<StuckWaiterCase> {};

// A waiter that is stopped (a debugger, a frozen cgroup) or killed while it
// waits holds nothing that the others need: when the lock comes free, or its
// holder dies, the next waiter gets it, also when the release woke the
// stopped one.
TEST_P(StuckWaiterTest, TheOtherWaitersStillGetTheLock) {
  const StuckWaiterCase& scenario = GetParam();
  ChildProcess holder(holdUntilTold);
  ASSERT_EQ('L', holder.receive());
  ChildProcess stuck(lockOnce);
  ASSERT_EQ('w', stuck.receive());
  ASSERT_TRUE(locktest::waitUntilSleeping(stuck.pid(), stuck.pid(), [&] { return stuck.hasEvent(); }));
  stuck.kill(scenario.signal);
  ChildProcess waiter(lockOnce);
  ASSERT_EQ('w', waiter.receive());
  EXPECT_TRUE(locktest::waitUntilSleeping(waiter.pid(), waiter.pid(), [&] { return waiter.hasEvent(); }));

  if (scenario.holderReleases) {
    holder.send('u');
    EXPECT_EQ('U', holder.receive());
  } else {
    holder.kill(SIGKILL);
    EXPECT_EQ(128 + SIGKILL, holder.wait());
  }
  EXPECT_EQ('L', waiter.receive());
  EXPECT_EQ(0, waiter.wait());
  if (scenario.signal == SIGSTOP) {
    stuck.kill(SIGCONT);
    EXPECT_EQ('L', stuck.receive()) << "the waiter that was stopped gets the lock in turn";
    EXPECT_EQ(0, stuck.wait());
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, StuckWaiterTest,
                         ::testing::Values(StuckWaiterCase{"StoppedHolderReleases", SIGSTOP, true},
                                           StuckWaiterCase{"StoppedHolderKilled", SIGSTOP, false},
                                           StuckWaiterCase{"KilledHolderReleases", SIGKILL, true},
                                           StuckWaiterCase{"KilledHolderKilled", SIGKILL, false}),
                         [](const auto& info) { return info.param.name; });

// Which recorded holders count as ended.
enum class Holder {
  kThisProcess,
  kLiveProcess,
  kZombie,
  kReapedProcess,
  kRecycledId,           // the id now names a process that started at another time
  kOtherPidNamespace,    // cannot be looked at from here
  kNoStartTime,          // a live process id, but no start time to tell it from a recycled one
  kLeaderEndedThreadsLive,
  kNoProcess,
};

struct HolderCase {
  const char* name;
  Holder holder;
  platform::posix::Liveness liveness;
};

void PrintTo(const HolderCase& scenario, std::ostream* out) { *out << scenario.name; }

class HolderLivenessTest : public ::testing::TestWithParam<HolderCase> {};

using platform::posix::Liveness;

// Child: sends its own process record, then waits for the test or exits.
int reportRecord(Channel& test, bool stay) {
  const platform::posix::ProcessRecord self = platform::posix::currentProcess();
  test.sendBytes(&self, sizeof self);
  if (stay) test.receive();
  return 0;
}

TEST_P(HolderLivenessTest, ProcessLiveness) {
  const HolderCase& scenario = GetParam();
  const platform::posix::ProcessRecord observer = platform::posix::currentProcess();
  ASSERT_NE(0u, observer.startTime) << "needs /proc";
  platform::posix::ProcessRecord holder = observer;
  std::optional<ChildProcess> child;
  auto startChild = [&](const std::function<int(Channel&)>& body) {
    child.emplace(body);
    ASSERT_TRUE(child->receiveBytes(&holder, sizeof holder));
  };

  switch (scenario.holder) {
    case Holder::kThisProcess:
      break;
    case Holder::kLiveProcess:
      startChild([](Channel& test) { return reportRecord(test, true); });
      break;
    case Holder::kZombie:
      startChild([](Channel& test) { return reportRecord(test, false); });
      ASSERT_TRUE(locktest::waitUntilState(child->pid(), child->pid(), 'Z', [] { return false; }));
      break;
    case Holder::kReapedProcess:
      startChild([](Channel& test) { return reportRecord(test, false); });
      EXPECT_EQ(0, child->wait());
      break;
    case Holder::kRecycledId:
      startChild([](Channel& test) { return reportRecord(test, true); });
      holder.startTime += 1;
      break;
    case Holder::kOtherPidNamespace:
      startChild([](Channel& test) { return reportRecord(test, false); });
      EXPECT_EQ(0, child->wait());
      holder.pidNamespace += 1;
      break;
    case Holder::kNoStartTime:
      startChild([](Channel& test) { return reportRecord(test, true); });
      holder.startTime = 0;
      break;
    case Holder::kLeaderEndedThreadsLive:
      startChild([](Channel& test) {
        std::thread([channel = test] {
          channel.receive();
          _exit(0);
        }).detach();
        reportRecord(test, false);
        syscall(SYS_exit, 0);  // ends the main thread alone, without unwinding
        return 0;
      });
      ASSERT_TRUE(locktest::waitUntilState(child->pid(), child->pid(), 'Z', [] { return false; }));
      break;
    case Holder::kNoProcess:
      holder = platform::posix::ProcessRecord{};
      holder.pidNamespace = observer.pidNamespace;
      break;
  }
  EXPECT_EQ(scenario.liveness, platform::posix::processLiveness(holder, observer));
}

INSTANTIATE_TEST_SUITE_P(
    Holders, HolderLivenessTest,
    ::testing::Values(HolderCase{"ThisProcess", Holder::kThisProcess, Liveness::kAlive},
                      HolderCase{"LiveProcess", Holder::kLiveProcess, Liveness::kAlive},
                      HolderCase{"Zombie", Holder::kZombie, Liveness::kEnded},
                      HolderCase{"ReapedProcess", Holder::kReapedProcess, Liveness::kEnded},
                      HolderCase{"RecycledId", Holder::kRecycledId, Liveness::kEnded},
                      HolderCase{"OtherPidNamespace", Holder::kOtherPidNamespace, Liveness::kUnknown},
                      HolderCase{"NoStartTime", Holder::kNoStartTime, Liveness::kUnknown},
                      HolderCase{"LeaderEndedThreadsLive", Holder::kLeaderEndedThreadsLive, Liveness::kAlive},
                      HolderCase{"NoProcess", Holder::kNoProcess, Liveness::kEnded}),
    [](const auto& info) { return info.param.name; });

}  // namespace
