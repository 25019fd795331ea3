// An uncontended take and release cost no system call but the look at the
// lock object's size (fstat): in a child where every system call but write,
// exit and fstat traps (and is counted and refused), a take and a release of
// a lock that the child has used before succeed without a trap.
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <signal.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "lock_fixture.h"
#include "process_harness.h"
#include "support/dal_fixture.h"

namespace {

using locktest::Channel;
using locktest::ChildProcess;

volatile sig_atomic_t trappedSystemCalls = 0;

void countSystemCall(int) { trappedSystemCalls = trappedSystemCalls + 1; }

// From now on, every system call of the calling process but write, exit,
// exit_group, fstat and the return from a signal handler fails and is
// counted.
// False when the filter could not be installed.
bool trapAllButWriteAndExit() {
  struct sigaction action {};
  action.sa_handler = countSystemCall;
  if (sigaction(SIGSYS, &action, nullptr) != 0) return false;
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_write, 6, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_exit, 5, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_exit_group, 4, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_rt_sigreturn, 3, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_fstat, 2, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_newfstatat, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRAP),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program) == 0;
}

class LockSystemCallsTest : public locktest::LockFixture {};

TEST_F(LockSystemCallsTest, AnUncontendedTakeAndReleaseMakeNoSystemCallButASizeCheck) {
  ChildProcess child([](Channel& test) {
    void* lock = nullptr;
    if (VORN_DAL_CreateMutex(&lock) != 0) return 1;
    // The first take of a process looks the process up.
    if (VORN_DAL_LockMutex(lock) != 0 || VORN_DAL_UnLockMutex(lock) != 0) return 2;
    if (!trapAllButWriteAndExit()) return 3;
    int results[5] = {VORN_DAL_LockMutex(lock), VORN_DAL_UnLockMutex(lock), VORN_DAL_LockMutex(lock),
                      VORN_DAL_UnLockMutex(lock), 0};
    results[4] = trappedSystemCalls;
    test.sendBytes(results, sizeof results);
    // The way out may make system calls of its own (a sanitizer's, say).
    return 0;
  });
  int results[5] = {-1, -1, -1, -1, -1};
  ASSERT_TRUE(child.receiveBytes(results, sizeof results)) << "the child did not get to the lock";
  EXPECT_EQ(0, results[0]);
  EXPECT_EQ(0, results[1]);
  EXPECT_EQ(0, results[2]);
  EXPECT_EQ(0, results[3]);
  EXPECT_EQ(0, results[4]) << "system calls made";
}

}  // namespace
