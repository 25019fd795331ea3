// A full tmpfs where the lock object lives (/run for root, /dev/shm or the
// runtime folder for others): CreateMutex reports -190 instead of dying of
// SIGBUS on the first store into a lock object that has no memory behind
// it, and works again once there is room.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/posix/lock_location.h"
#include "process_harness.h"
#include "vorn_dal_pelu7.h"

namespace {

using locktest::Channel;
using locktest::ChildProcess;

constexpr int kNoNamespace = 77;
// Fills the tmpfs that holds `filler` to the last byte.
bool fillFolder(const std::string& filler) {
  const int fd = open(filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const std::vector<char> block(4096, 'x');
  ssize_t written;
  while ((written = write(fd, block.data(), block.size())) > 0) {
  }
  const bool full = written < 0 && errno == ENOSPC;
  close(fd);
  return full;
}

TEST(FullLockFolderTest, CreateMutexFailsCleanly) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a private mount namespace";
  // In a child with its own mount namespace: a small full tmpfs over the
  // lock's folder, seen by nobody else.
  ChildProcess child([](Channel& test) {
    const std::string folder = platform::posix::lockFolder(geteuid());
    struct stat info {};
    if (stat(folder.c_str(), &info) != 0) return 2;
    char options[64];
    std::snprintf(options, sizeof options, "size=64k,mode=%o", static_cast<unsigned>(info.st_mode & 07777));
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", folder.c_str(), "tmpfs", 0, options) != 0)
      return kNoNamespace;
    const std::string filler = folder + "/filler";
    if (!fillFolder(filler)) return 2;
    void* lock = nullptr;
    int results[2] = {VORN_DAL_CreateMutex(&lock), -1};
    unlink(filler.c_str());
    results[1] = VORN_DAL_CreateMutex(&lock);
    if (results[1] == 0 && (VORN_DAL_LockMutex(lock) != 0 || VORN_DAL_UnLockMutex(lock) != 0)) return 3;
    test.sendBytes(results, sizeof results);
    return 0;
  });
  int results[2] = {1, 1};
  const bool reported = child.receiveBytes(results, sizeof results);
  const int status = child.wait();
  if (status == kNoNamespace) GTEST_SKIP() << "no private mount namespace here";
  ASSERT_TRUE(reported) << "the child ended with status " << status;
  EXPECT_EQ(0, status);
  EXPECT_EQ(VORN_DAL_ERR_CREATE_LOCK, results[0]) << "full";
  EXPECT_EQ(0, results[1]) << "room again";
}

}  // namespace
