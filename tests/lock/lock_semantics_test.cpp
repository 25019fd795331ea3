// The lock "SemVornDal" between processes, threads and handles: who waits,
// who may release, and what a release of a free lock does. Tests that release
// a lock they did not take use a private lock object, so that they cannot free
// a lock that another test process holds on the shared one.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <vector>

#include "platform/named_lock.h"
#include "platform/posix/lock_state.h"
#include "lock_fixture.h"
#include "process_harness.h"
#include "support/dal_fixture.h"

namespace {

using locktest::Channel;
using locktest::ChildProcess;
using locktest::lockOnce;
using locktest::LockAttempt;
using Outcome = locktest::LockAttempt::Outcome;

// A lock handle destroyed with the test.
struct Handle {
  Handle() { EXPECT_EQ(0, VORN_DAL_CreateMutex(&lock)); }
  ~Handle() { VORN_DAL_DestroyMutex(lock); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  void* lock = nullptr;
};

// Child: takes the lock, reports 'L', and on the command 'u' releases it and
// reports 'U'.
int holdUntilTold(Channel& test) {
  void* lock = nullptr;
  if (VORN_DAL_CreateMutex(&lock) != 0) return 1;
  if (VORN_DAL_LockMutex(lock) != 0) return 2;
  test.send('L');
  if (test.receive() != 'u') return 3;
  if (VORN_DAL_UnLockMutex(lock) != 0) return 4;
  test.send('U');
  return VORN_DAL_DestroyMutex(lock);
}

class LockTest : public locktest::LockFixture {};

// Run on a private object and on the shared "/SemVornDal" itself.
class LockBetweenProcessesTest : public testsupport::DalTest, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    DalTest::SetUp();
    if (GetParam()) object_.emplace();
  }
  std::optional<locktest::PrivateLockObject> object_;
};

TEST_P(LockBetweenProcessesTest, SecondProcessWaitsUntilTheFirstUnlocks) {
  ChildProcess first(holdUntilTold);
  ASSERT_EQ('L', first.receive());

  ChildProcess second(lockOnce);
  ASSERT_EQ('w', second.receive());
  EXPECT_TRUE(locktest::waitUntilSleeping(second.pid(), second.pid(), [&] { return second.hasEvent(); }))
      << "the second process took the lock that the first one holds";
  EXPECT_FALSE(second.hasEvent());

  first.send('u');
  EXPECT_EQ('U', first.receive());
  EXPECT_EQ('L', second.receive());
  EXPECT_EQ(0, first.wait());
  EXPECT_EQ(0, second.wait());
}

INSTANTIATE_TEST_SUITE_P(Objects, LockBetweenProcessesTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "PrivateObject" : "SemVornDal"; });

// Another thread of the holding process waits too, through a second handle or
// through the same one: the lock has no owner to be re-entrant for.
class LockWithinProcessTest : public LockTest, public ::testing::WithParamInterface<bool> {};

TEST_P(LockWithinProcessTest, AnotherThreadWaitsWhileTheLockIsHeld) {
  Handle first;
  Handle second;
  EXPECT_NE(first.lock, second.lock);
  void* waiterHandle = GetParam() ? first.lock : second.lock;

  ASSERT_EQ(0, VORN_DAL_LockMutex(first.lock));
  LockAttempt waiter(waiterHandle);
  EXPECT_EQ(Outcome::kBlocked, waiter.outcome());

  EXPECT_EQ(0, VORN_DAL_UnLockMutex(first.lock));
  EXPECT_EQ(0, waiter.finish());
  EXPECT_EQ(0, VORN_DAL_UnLockMutex(waiterHandle));
}

INSTANTIATE_TEST_SUITE_P(Handles, LockWithinProcessTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "SameHandle" : "SecondHandle"; });

TEST_F(LockTest, UnlockingAFreeLockLeavesItFree) {
  Handle first;
  Handle second;
  EXPECT_EQ(0, VORN_DAL_UnLockMutex(first.lock));
  ASSERT_EQ(0, VORN_DAL_LockMutex(first.lock));
  EXPECT_EQ(0, VORN_DAL_UnLockMutex(first.lock));
  EXPECT_EQ(0, VORN_DAL_UnLockMutex(first.lock));

  // Free, and free only once: one lock succeeds, the next one waits.
  ASSERT_EQ(0, VORN_DAL_LockMutex(first.lock));
  LockAttempt waiter(second.lock);
  EXPECT_EQ(Outcome::kBlocked, waiter.outcome()) << "an extra release let two holders in";

  EXPECT_EQ(0, VORN_DAL_UnLockMutex(first.lock));
  EXPECT_EQ(0, waiter.finish());
  EXPECT_EQ(0, VORN_DAL_UnLockMutex(second.lock));
}

TEST_F(LockTest, AThreadMayReleaseALockThatAnotherThreadTook) {
  Handle taker;
  Handle releaser;
  LockAttempt take(taker.lock);
  ASSERT_EQ(Outcome::kAcquired, take.outcome());
  ASSERT_EQ(0, take.finish());  // that thread has ended, still holding the lock

  EXPECT_EQ(0, VORN_DAL_UnLockMutex(releaser.lock));
  LockAttempt again(releaser.lock);
  EXPECT_EQ(Outcome::kAcquired, again.outcome());
  EXPECT_EQ(0, again.finish());
  EXPECT_EQ(0, VORN_DAL_UnLockMutex(releaser.lock));
}

TEST_F(LockTest, AProcessMayReleaseALockThatAnotherProcessHolds) {
  ChildProcess holder(holdUntilTold);
  ASSERT_EQ('L', holder.receive());

  Handle handle;
  EXPECT_EQ(0, VORN_DAL_UnLockMutex(handle.lock));
  LockAttempt attempt(handle.lock);
  EXPECT_EQ(Outcome::kAcquired, attempt.outcome()) << "the holder is alive; only the release can have freed it";
  EXPECT_EQ(0, attempt.finish());
  EXPECT_EQ(0, VORN_DAL_UnLockMutex(handle.lock));

  holder.send('u');
  EXPECT_EQ('U', holder.receive());
  EXPECT_EQ(0, holder.wait());
}

TEST_F(LockTest, AnotherProcessMayReleaseALockThatThisProcessHolds) {
  Handle handle;
  ASSERT_EQ(0, VORN_DAL_LockMutex(handle.lock));
  ChildProcess releaser([](Channel& test) {
    void* lock = nullptr;
    if (VORN_DAL_CreateMutex(&lock) != 0 || VORN_DAL_UnLockMutex(lock) != 0) return 1;
    test.send('U');
    return VORN_DAL_DestroyMutex(lock);
  });
  ASSERT_EQ('U', releaser.receive());
  EXPECT_EQ(0, releaser.wait());

  Handle other;
  LockAttempt attempt(other.lock);
  EXPECT_EQ(Outcome::kAcquired, attempt.outcome());
  EXPECT_EQ(0, attempt.finish());
  EXPECT_EQ(0, VORN_DAL_UnLockMutex(other.lock));
}

TEST_F(LockTest, DestroyingTheHandleOfTheHolderKeepsTheLockHeld) {
  void* holder = nullptr;
  ASSERT_EQ(0, VORN_DAL_CreateMutex(&holder));
  ASSERT_EQ(0, VORN_DAL_LockMutex(holder));
  EXPECT_EQ(0, VORN_DAL_DestroyMutex(holder));

  Handle waiterHandle;
  LockAttempt waiter(waiterHandle.lock);
  EXPECT_EQ(Outcome::kBlocked, waiter.outcome());

  Handle releaser;
  EXPECT_EQ(0, VORN_DAL_UnLockMutex(releaser.lock));
  EXPECT_EQ(0, waiter.finish());
  EXPECT_EQ(0, VORN_DAL_UnLockMutex(waiterHandle.lock));
}

TEST_F(LockTest, NullHandles) {
  EXPECT_EQ(0, VORN_DAL_DestroyMutex(nullptr));
  EXPECT_EQ(VORN_DAL_ERR_LOCK, VORN_DAL_LockMutex(nullptr));
  EXPECT_EQ(VORN_DAL_ERR_LOCK, VORN_DAL_UnLockMutex(nullptr));
  EXPECT_EQ(VORN_DAL_ERR_CREATE_LOCK, VORN_DAL_CreateMutex(nullptr));
  EXPECT_TRUE(logTexts().empty());
}

TEST_F(LockTest, AFailedAllocationIsLoggedAndLeavesTheCallersPointer) {
  int sentinel = 0;
  void* lock = &sentinel;
  platform::testing::failNextLockHandleAllocation();
  EXPECT_EQ(VORN_DAL_ERR_CREATE_LOCK, VORN_DAL_CreateMutex(&lock));
  EXPECT_EQ(&sentinel, lock);
  EXPECT_EQ(std::vector<std::string>{"******>malloc"}, logTexts());

  EXPECT_EQ(0, VORN_DAL_CreateMutex(&lock));
  EXPECT_NE(&sentinel, lock);
  EXPECT_EQ(0, VORN_DAL_DestroyMutex(lock));
}

// What CreateMutex makes of an object found under the lock's name.
struct ExistingObject {
  const char* name;
  std::vector<unsigned char> content;  // empty: no object at all
  int expected;
};

void PrintTo(const ExistingObject& existing, std::ostream* out) { *out << existing.name; }

class LockObjectTest : public LockTest, public ::testing::WithParamInterface<ExistingObject> {};

TEST_P(LockObjectTest, CreateMutexUsesOnlyASoundObject) {
  const ExistingObject& existing = GetParam();
  if (!existing.content.empty()) {
    const int fd = open(object_.path().c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(static_cast<ssize_t>(existing.content.size()),
              write(fd, existing.content.data(), existing.content.size()));
    close(fd);
  }
  int sentinel = 0;
  void* lock = &sentinel;
  ASSERT_EQ(existing.expected, VORN_DAL_CreateMutex(&lock));
  EXPECT_TRUE(logTexts().empty());
  if (existing.expected != 0) {
    EXPECT_EQ(&sentinel, lock);
    return;
  }
  EXPECT_EQ(0, VORN_DAL_LockMutex(lock));
  EXPECT_EQ(0, VORN_DAL_UnLockMutex(lock));
  EXPECT_EQ(0, VORN_DAL_DestroyMutex(lock));
}

INSTANTIATE_TEST_SUITE_P(
    Objects, LockObjectTest,
    ::testing::Values(ExistingObject{"None", {}, 0},
                      // a creator that died before it finished
                      ExistingObject{"ZeroFilled", std::vector<unsigned char>(sizeof(platform::posix::SharedLockState), 0), 0},
                      ExistingObject{"TooLong", std::vector<unsigned char>(4096, 0), VORN_DAL_ERR_CREATE_LOCK},
                      ExistingObject{"ForeignContent", std::vector<unsigned char>(4096, 0x5A), VORN_DAL_ERR_CREATE_LOCK},
                      ExistingObject{"CutShort", std::vector<unsigned char>(8, 0), VORN_DAL_ERR_CREATE_LOCK}),
    [](const auto& info) { return info.param.name; });

class LockObjectModeTest : public LockTest, public ::testing::WithParamInterface<mode_t> {};

TEST_P(LockObjectModeTest, ObjectIsMadeForItsOwnerOnlyWhateverTheUmask) {
  const mode_t previous = umask(GetParam());
  void* lock = nullptr;
  const int result = VORN_DAL_CreateMutex(&lock);
  umask(previous);
  ASSERT_EQ(0, result);
  struct stat info {};
  ASSERT_EQ(0, stat(object_.path().c_str(), &info));
  EXPECT_EQ(0600u, info.st_mode & 07777);
  EXPECT_EQ(geteuid(), info.st_uid);
  EXPECT_EQ(0, VORN_DAL_DestroyMutex(lock));
}

INSTANTIATE_TEST_SUITE_P(Umasks, LockObjectModeTest, ::testing::Values(0000, 0022, 0277));

}  // namespace
