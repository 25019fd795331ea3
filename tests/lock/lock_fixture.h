// The fixtures of the lock tests: the DAL's fixture with a lock object of the
// test's own, and for the tests that act as other users, root and nobody.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>
#include <unistd.h>

#include "process_harness.h"
#include "support/dal_fixture.h"

namespace locktest {

class LockFixture : public testsupport::DalTest {
 protected:
  PrivateLockObject object_;
};

// Skipped unless run as root on a system with the user nobody.
class OtherUsersFixture : public LockFixture {
 protected:
  void SetUp() override {
    DalTest::SetUp();
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as other users";
    if (!nobodyIds(nobodyUid_, nobodyGid_)) GTEST_SKIP() << "no user nobody";
  }
  uid_t nobodyUid_ = 0;
  gid_t nobodyGid_ = 0;
};

}  // namespace locktest
