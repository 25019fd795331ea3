// An uncontended take and release cost no system call: a child that may
// only write to its pipe and exit (any other system call kills it) still
// takes and releases the lock once it has used it before.
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "process_harness.h"
#include "support/dal_fixture.h"

namespace {

using locktest::Channel;
using locktest::ChildProcess;

// Kills the calling process at any system call but write, exit and
// exit_group. False when the filter could not be installed.
bool allowOnlyWriteAndExit() {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_write, 3, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_exit, 2, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_exit_group, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program) == 0;
}

class LockSystemCallsTest : public testsupport::DalTest {
 protected:
  locktest::PrivateLockObject object_;
};

TEST_F(LockSystemCallsTest, AnUncontendedTakeAndReleaseMakeNoSystemCall) {
  ChildProcess child([](Channel& test) {
    void* lock = nullptr;
    if (VORN_DAL_CreateMutex(&lock) != 0) return 1;
    // The first take of a process looks the process up.
    if (VORN_DAL_LockMutex(lock) != 0 || VORN_DAL_UnLockMutex(lock) != 0) return 2;
    if (!allowOnlyWriteAndExit()) return 3;
    int results[4] = {VORN_DAL_LockMutex(lock), VORN_DAL_UnLockMutex(lock), VORN_DAL_LockMutex(lock),
                      VORN_DAL_UnLockMutex(lock)};
    test.sendBytes(results, sizeof results);
    return 0;
  });
  int results[4] = {-1, -1, -1, -1};
  EXPECT_TRUE(child.receiveBytes(results, sizeof results)) << "killed by a system call";
  for (const int result : results) EXPECT_EQ(0, result);
  EXPECT_EQ(0, child.wait());
}

}  // namespace
