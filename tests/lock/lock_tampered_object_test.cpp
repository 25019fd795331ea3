// A lock object that is not what this library made of it, or whose record
// cannot be right: CreateMutex refuses what it cannot trust, and LockMutex
// gives up with -191 after a bounded wait instead of waiting for ever.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

#include "platform/named_lock.h"
#include "platform/posix/lock_holder.h"
#include "platform/posix/lock_state.h"
#include "lock_fixture.h"
#include "process_harness.h"
#include "support/dal_fixture.h"

namespace {

using locktest::Channel;
using locktest::ChildProcess;
using platform::posix::SharedLockState;

constexpr int kNotRun = 1;  // an operation that was not reached

struct Tampering {
  const char* name;
  void (*tamper)(const std::string& path, SharedLockState& state);
  int create;  // what CreateMutex returns then
  int lock;    // LockMutex, when the handle was created
  int unlock;  // UnLockMutex after it
  bool needsRoot = false;
};

void PrintTo(const Tampering& tampering, std::ostream* out) { *out << tampering.name; }

// A record of a holder, with a session that no process holds (given out, as
// every session in the owner word has been).
void recordHolder(SharedLockState& state, const platform::posix::ProcessRecord& holder) {
  state.holder = holder;
  state.lastSession += 1000;
  state.session = state.lastSession;
  state.owner = state.session;
  state.ownerCheck = ~state.owner;
}

const Tampering kTamperings[] = {
    {"Untouched", [](const std::string&, SharedLockState&) {}, 0, 0, 0},
    {"OwnedByAnotherUser",
     [](const std::string& path, SharedLockState&) {
       uid_t uid = 0;
       gid_t gid = 0;
       ASSERT_TRUE(locktest::nobodyIds(uid, gid));
       ASSERT_EQ(0, chown(path.c_str(), uid, gid));
     },
     VORN_DAL_ERR_CREATE_LOCK, kNotRun, kNotRun, true},
    {"GroupReadable", [](const std::string& path, SharedLockState&) { ASSERT_EQ(0, chmod(path.c_str(), 0640)); },
     VORN_DAL_ERR_CREATE_LOCK, kNotRun, kNotRun},
    {"WorldWritable", [](const std::string& path, SharedLockState&) { ASSERT_EQ(0, chmod(path.c_str(), 0666)); },
     VORN_DAL_ERR_CREATE_LOCK, kNotRun, kNotRun},
    {"SleepingOnAFreeLock", [](const std::string&, SharedLockState& state) { state.owner = platform::posix::kSleeping; },
     VORN_DAL_ERR_CREATE_LOCK, kNotRun, kNotRun},
    // A holder in another PID namespace whose session has ended: the kernel
    // dropped its session lock when it ended, so its take is over.
    {"EndedHolderInAnotherPidNamespace",
     [](const std::string&, SharedLockState& state) {
       platform::posix::ProcessRecord holder = platform::posix::currentProcess();
       holder.pidNamespace += 1;
       recordHolder(state, holder);
     },
     0, 0, 0},
    // A record naming a live process (the test's own) for a session that no
    // handle holds: no sound take leaves that behind.
    {"RecordNamingALiveStranger",
     [](const std::string&, SharedLockState& state) { recordHolder(state, platform::posix::currentProcess()); },
     0, VORN_DAL_ERR_LOCK, 0},
    // A taker that ended between taking the owner word and recording itself:
    // its session is gone, so the lock is taken over.
    {"OwnerThatNeverRecordedItself",
     [](const std::string&, SharedLockState& state) {
       recordHolder(state, platform::posix::currentProcess());
       state.session = 0;
     },
     0, 0, 0},
    // An owner word without its mark (written over, or a taker that ended
    // between its two stores): never taken over, given up on in time.
    {"OwnerWithoutItsMark",
     [](const std::string&, SharedLockState& state) {
       recordHolder(state, platform::posix::currentProcess());
       state.session = 0;
       state.ownerCheck = 0;
     },
     0, VORN_DAL_ERR_LOCK, 0},
    // A live process id without the start time that tells it from a
    // process that took over a recycled id.
    {"HolderWithoutStartTime",
     [](const std::string&, SharedLockState& state) {
       platform::posix::ProcessRecord holder = platform::posix::currentProcess();
       holder.startTime = 0;
       recordHolder(state, holder);
     },
     0, VORN_DAL_ERR_LOCK, 0},
};

class TamperedObjectTest : public locktest::LockFixture, public ::testing::WithParamInterface<Tampering> {};

TEST_P(TamperedObjectTest, CreateAndLock) {
  const Tampering& tampering = GetParam();
  if (tampering.needsRoot && geteuid() != 0) GTEST_SKIP() << "needs root to chown";
  platform::posix::LockObject shared;
  ASSERT_TRUE(platform::posix::openLockObject(object_.path().c_str(), shared));
  tampering.tamper(object_.path(), *shared.state);
  platform::posix::closeLockObject(shared);
  if (HasFatalFailure()) return;

  // In a child, so that a lock call that never returns fails the test (after
  // the harness's minute) instead of hanging the run.
  ChildProcess child([](Channel& test) {
    platform::posix::testing::setUncheckedHoldLimit(std::chrono::milliseconds(100));
    void* lock = nullptr;
    int results[3] = {VORN_DAL_CreateMutex(&lock), kNotRun, kNotRun};
    if (results[0] == 0) {
      results[1] = VORN_DAL_LockMutex(lock);
      results[2] = VORN_DAL_UnLockMutex(lock);
    }
    test.sendBytes(results, sizeof results);
    return 0;
  });
  int results[3] = {-1, -1, -1};
  ASSERT_TRUE(child.receiveBytes(results, sizeof results)) << "the child crashed or waits for ever";
  EXPECT_EQ(tampering.create, results[0]);
  EXPECT_EQ(tampering.lock, results[1]);
  EXPECT_EQ(tampering.unlock, results[2]);
  EXPECT_EQ(0, child.wait());
}

INSTANTIATE_TEST_SUITE_P(Objects, TamperedObjectTest, ::testing::ValuesIn(kTamperings),
                         [](const auto& info) { return info.param.name; });

}  // namespace
