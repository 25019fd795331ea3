// One lock per user: whoever comes first, each user creates and takes a lock
// of their own, and root never joins the object of another user.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/named_lock.h"
#include "lock_fixture.h"
#include "process_harness.h"
#include "support/dal_fixture.h"

namespace {

using locktest::Channel;
using locktest::ChildProcess;

// Child, as `uid`: creates and takes the lock, reports the two results, and
// keeps the lock until the test ends it.
int lockAs(Channel& test, uid_t uid, gid_t gid) {
  if (uid != geteuid() && !locktest::becomeUser(uid, gid)) return 1;
  void* lock = nullptr;
  int results[2] = {VORN_DAL_CreateMutex(&lock), 0};
  if (results[0] == 0) results[1] = VORN_DAL_LockMutex(lock);
  test.sendBytes(results, sizeof results);
  test.receive();
  return 0;
}

class LockUsersTest : public locktest::OtherUsersFixture, public ::testing::WithParamInterface<bool> {};

TEST_P(LockUsersTest, EachUserHasALockOfTheirOwn) {
  const bool rootFirst = GetParam();
  auto asRoot = [](Channel& test) { return lockAs(test, 0, 0); };
  auto asNobody = [this](Channel& test) { return lockAs(test, nobodyUid_, nobodyGid_); };
  ChildProcess first(rootFirst ? std::function<int(Channel&)>(asRoot) : asNobody);
  int firstResults[2] = {-1, -1};
  ASSERT_TRUE(first.receiveBytes(firstResults, sizeof firstResults));
  EXPECT_EQ(0, firstResults[0]);
  EXPECT_EQ(0, firstResults[1]);

  // The first user holds their lock; the second creates and takes another.
  ChildProcess second(rootFirst ? std::function<int(Channel&)>(asNobody) : asRoot);
  int secondResults[2] = {-1, -1};
  ASSERT_TRUE(second.receiveBytes(secondResults, sizeof secondResults)) << "the second user waits for the first";
  EXPECT_EQ(0, secondResults[0]);
  EXPECT_EQ(0, secondResults[1]);

  for (const uid_t uid : {uid_t{0}, nobodyUid_}) {
    struct stat info {};
    ASSERT_EQ(0, stat(object_.pathFor(uid).c_str(), &info));
    EXPECT_EQ(uid, info.st_uid);
    EXPECT_EQ(0600u, info.st_mode & 07777);
  }
  first.send('q');
  second.send('q');
  EXPECT_EQ(0, first.wait());
  EXPECT_EQ(0, second.wait());
}

INSTANTIATE_TEST_SUITE_P(Orders, LockUsersTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "RootFirst" : "NobodyFirst"; });

}  // namespace
