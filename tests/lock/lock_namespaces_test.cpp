// The lock across PID namespaces and against other users: a holder in
// another PID namespace (a container sharing the host's lock folder) is
// waited for while it lives and recovered once it is killed; a name occupied
// by another user does not keep a user from the lock.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "platform/posix/lock_location.h"
#include "lock_fixture.h"
#include "process_harness.h"
#include "support/dal_fixture.h"

namespace {

using locktest::Channel;
using locktest::ChildProcess;
using locktest::lockOnce;

constexpr int kNoNamespace = 77;

// What the processes of holdInNewPidNamespace report, in one write each.
struct Report {
  char role;  // 'h' the holder's id in this namespace; 'L' the holder holds the lock
  pid_t pid;
};

// Child: enters a new PID namespace and forks its first process, which takes
// the lock, reports 'L' with its id in its own namespace (1), and waits. The
// child reports 'h' with the holder's id as this namespace sees it (0 when
// there is no PID namespace to be had).
int holdInNewPidNamespace(Channel& test) {
  Report report{'h', 0};
  if (unshare(CLONE_NEWPID) != 0) {
    test.sendBytes(&report, sizeof report);
    return kNoNamespace;
  }
  report.pid = fork();
  if (report.pid == 0) {
    void* lock = nullptr;
    if (VORN_DAL_CreateMutex(&lock) != 0 || VORN_DAL_LockMutex(lock) != 0) _exit(1);
    const Report holding{'L', getpid()};
    test.sendBytes(&holding, sizeof holding);
    for (;;) pause();
  }
  test.sendBytes(&report, sizeof report);
  int status = 0;
  waitpid(report.pid, &status, 0);
  test.receive();
  return 0;
}

class OtherPidNamespaceTest : public locktest::LockFixture, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    DalTest::SetUp();
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a PID namespace";
  }
};

TEST_P(OtherPidNamespaceTest, AKilledHolderIsRecovered) {
  const bool waiterFirst = GetParam();
  ChildProcess container(holdInNewPidNamespace);
  pid_t holder = -1;
  pid_t holderWithin = 0;  // its id in its own namespace
  for (int count = 0; count < 2 && holder != 0; ++count) {
    Report report{};
    ASSERT_TRUE(container.receiveBytes(&report, sizeof report));
    (report.role == 'h' ? holder : holderWithin) = report.pid;
  }
  if (holder == 0) GTEST_SKIP() << "no PID namespace here";
  ASSERT_EQ(1, holderWithin) << "the holder is the first process of its namespace";

  locktest::expectRecovery(waiterFirst, [&] { ASSERT_EQ(0, kill(holder, SIGKILL)); });
  container.send('q');
  EXPECT_EQ(0, container.wait());
}

INSTANTIATE_TEST_SUITE_P(Orders, OtherPidNamespaceTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "WaiterFirst" : "WaiterLater"; });

struct SquatCase {
  const char* name;
  bool victimIsRoot;  // root, or nobody with a runtime folder of their own
};

void PrintTo(const SquatCase& scenario, std::ostream* out) { *out << scenario.name; }

constexpr uid_t kStrangerUid = 54321;  // a user without an account, for the squatter

class SquattedNameTest : public locktest::OtherUsersFixture, public ::testing::WithParamInterface<SquatCase> {};

// Runs `body` as `uid` in a forked process and gives its exit status.
int runAs(uid_t uid, gid_t gid, const std::function<int()>& body) {
  const pid_t child = fork();
  if (child == 0) _exit(locktest::becomeUser(uid, gid) ? body() : 90);
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return 91;
  return WEXITSTATUS(status);
}

TEST_P(SquattedNameTest, AnotherUsersFileDoesNotStopTheUser) {
  const SquatCase& scenario = GetParam();
  const uid_t victim = scenario.victimIsRoot ? 0 : nobodyUid_;
  const gid_t victimGroup = scenario.victimIsRoot ? 0 : nobodyGid_;
  const uid_t squatter = scenario.victimIsRoot ? nobodyUid_ : kStrangerUid;
  // In a child with a mount namespace of its own, where nobody has a
  // runtime folder as a login would give them.
  ChildProcess child([&](Channel& test) {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/run/user", "tmpfs", 0, "mode=0755") != 0)
      return kNoNamespace;
    const std::string runtime = "/run/user/" + std::to_string(nobodyUid_);
    if (mkdir(runtime.c_str(), 0700) != 0 || chown(runtime.c_str(), nobodyUid_, nobodyGid_) != 0) return 2;
    // The squatter creates the victim's object wherever it may: in /dev/shm
    // at least, the place every user may write.
    const std::string name = object_.nameFor(victim);
    int results[2] = {0, 1};
    results[0] = runAs(squatter, squatter, [&] {
      int made = 0;
      const std::string own = "/run/user/" + std::to_string(victim);
      for (const std::string& folder : {std::string("/dev/shm"), std::string("/run"), own}) {
        const int fd = open((folder + name).c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
          ++made;
          close(fd);
        }
      }
      return made;
    });
    const int lockStatus = runAs(victim, victimGroup, [&] {
      void* lock = nullptr;
      const int created = VORN_DAL_CreateMutex(&lock);
      if (created != 0) return 10;
      return VORN_DAL_LockMutex(lock) == 0 && VORN_DAL_UnLockMutex(lock) == 0 ? 0 : 11;
    });
    results[1] = lockStatus;
    test.sendBytes(results, sizeof results);
    return 0;
  });
  int results[2] = {-1, -1};
  const bool reported = child.receiveBytes(results, sizeof results);
  const int status = child.wait();
  if (status == kNoNamespace) GTEST_SKIP() << "no private mount namespace here";
  ASSERT_TRUE(reported) << "the child ended with status " << status;
  EXPECT_EQ(1, results[0]) << "names the squatter occupied: /dev/shm only";
  EXPECT_EQ(0, results[1]) << "10: CreateMutex failed, 11: LockMutex or UnLockMutex failed";
}

INSTANTIATE_TEST_SUITE_P(Victims, SquattedNameTest,
                         ::testing::Values(SquatCase{"Root", true}, SquatCase{"UserWithRuntimeFolder", false}),
                         [](const auto& info) { return info.param.name; });

}  // namespace
