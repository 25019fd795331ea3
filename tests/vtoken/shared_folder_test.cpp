// Token files in a folder that other users can write to (a sticky 1777
// folder such as /tmp): what another user plants there beside or in place of
// the token file is neither used nor handed the token's content, and nothing
// found at the token's paths makes a process wait for ever.
#include "other_user.h"
#include "vtoken/describe.h"
#include "vtoken/token_store.h"
#include "vtoken_test_util.h"

#include <fcntl.h>
#include <sys/file.h>

#include <chrono>

namespace vtoken::testing {
namespace {

// Exit statuses of the children below.
constexpr int kUsed = 0;
constexpr int kRefusedClearly = 10;
constexpr int kRefusedOtherwise = 11;
constexpr int kCommandFailed = 12;
// A child that still waits after this long is stuck; the alarm ends it.
constexpr unsigned kStuckSeconds = 30;

// Opens the token and changes it; kUsed when every command succeeded.
int openAndChange(const std::string& path) {
  const auto token = Token::openFile(path);
  const Bytes createFile = fromHex("80E0123407280010F0F0FFFF");
  return token->transmit(createFile).sw == 0x9000 ? kUsed : kCommandFailed;
}

// Opens the token; kRefusedClearly when it is refused with a message that
// names the path and holds `reason`.
int expectRefusal(const std::string& path, const std::string& reason) {
  ::alarm(kStuckSeconds);
  try {
    Token::openFile(path);
    return kUsed;
  } catch (const TokenError& e) {
    const std::string message = e.what();
    const bool clear = message.find(path) != std::string::npos && message.find(reason) != std::string::npos;
    return clear ? kRefusedClearly : kRefusedOtherwise;
  }
}

class SharedFolderTest : public ::testing::TestWithParam<uid_t> {
 protected:
  void SetUp() override {
    if (!runningAsRoot()) {
      GTEST_SKIP() << "needs root to act as two other users";
    }
  }

  // Runs body as the attacker and expects it to succeed.
  void asAttacker(const std::function<int()>& body) const { ASSERT_EQ(runAs(kAttacker, body), 0); }

  TempDir dir;
  std::string folder = makeStickyFolder(dir.path());
  std::string path = folder + "/t.vtoken";
};

// The victim is root or an ordinary user.
INSTANTIATE_TEST_SUITE_P(Victims, SharedFolderTest, ::testing::Values(uid_t{0}, kVictim),
                         [](const ::testing::TestParamInfo<uid_t>& info) {
                           return info.param == 0 ? std::string("Root") : std::string("OrdinaryUser");
                         });

TEST_P(SharedFolderTest, PlantedTemporaryFileIsNeitherFilledNorInstalled) {
  const std::string planted = path + ".tmp";
  asAttacker([&] {
    const int fd = ::open(planted.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    return fd >= 0 && ::fchmod(fd, 0666) == 0 && ::close(fd) == 0 ? 0 : 1;
  });
  ASSERT_EQ(runAs(GetParam(), [&] { return openAndChange(path); }), kUsed);

  struct stat info {};
  ASSERT_EQ(::lstat(planted.c_str(), &info), 0) << "the planted file was renamed over the token file";
  EXPECT_EQ(info.st_uid, kAttacker);
  EXPECT_EQ(info.st_size, 0) << "the token's state was written into the planted file";
  ASSERT_EQ(::lstat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, GetParam());
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_P(SharedFolderTest, TokenFileOfAnotherUserIsRefused) {
  asAttacker([&] { return openAndChange(path); });
  ASSERT_EQ(::chmod(path.c_str(), 0666), 0);
  EXPECT_EQ(runAs(GetParam(), [&] { return expectRefusal(path, "owned by another user"); }), kRefusedClearly);
}

TEST_P(SharedFolderTest, LockFileOfAnotherUserIsRefusedEvenWhileItIsHeld) {
  int ready[2];
  int release[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(release), 0);
  const std::string lockPath = path + ".lock";
  const pid_t holder = forkAs(kAttacker, [&] {
    ::close(ready[0]);
    ::close(release[1]);
    const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
    if (fd < 0 || ::fchmod(fd, 0666) != 0 || ::flock(fd, LOCK_EX) != 0) {
      return 1;
    }
    const char byte = 1;
    char ignored = 0;
    return ::write(ready[1], &byte, 1) == 1 && ::read(release[0], &ignored, 1) == 0 ? 0 : 2;
  });
  ::close(ready[1]);
  ::close(release[0]);
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);

  EXPECT_EQ(runAs(GetParam(), [&] { return expectRefusal(path, "owned by another user"); }), kRefusedClearly);
  ::close(release[1]);
  ::close(ready[0]);
  EXPECT_EQ(waitForChild(holder), 0);
}

// Something other than a regular file at the token's path or its lock
// file's path is refused at once, never waited on.
struct NonRegularCase {
  const char* name;
  const char* suffix;  // appended to the token path
  int (*make)(const char* path);
};

class NonRegularFileTest : public ::testing::TestWithParam<NonRegularCase> {
 protected:
  TempDir dir;
  std::string path = dir.file("t.vtoken");
};

TEST_P(NonRegularFileTest, IsRefusedWithoutWaiting) {
  ASSERT_EQ(GetParam().make((path + GetParam().suffix).c_str()), 0);
  EXPECT_EQ(runAs(::geteuid(), [&] { return expectRefusal(path, "not a regular file"); }), kRefusedClearly);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NonRegularFileTest,
    ::testing::Values(NonRegularCase{"FifoAsTokenFile", "", [](const char* p) { return ::mkfifo(p, 0600); }},
                      NonRegularCase{"FifoAsLockFile", ".lock", [](const char* p) { return ::mkfifo(p, 0600); }},
                      NonRegularCase{"FolderAsTokenFile", "", [](const char* p) { return ::mkdir(p, 0700); }},
                      NonRegularCase{"FolderAsLockFile", ".lock", [](const char* p) { return ::mkdir(p, 0700); }}),
    [](const ::testing::TestParamInfo<NonRegularCase>& info) { return std::string(info.param.name); });

// A lock held by a process that never lets go ends the wait with an error
// that says so.
TEST(TokenStoreLock, WaitsOnlyAsLongAsItWasToldThenFails) {
  TempDir dir;
  const std::string path = dir.file("t.vtoken");
  const TokenStore store(path, std::chrono::milliseconds(50));
  { const auto lock = store.lock(); }
  const int holder = ::open((path + ".lock").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(::flock(holder, LOCK_EX), 0);
  try {
    const auto lock = store.lock();
    ADD_FAILURE() << "the lock was taken while another holder had it";
  } catch (const TokenError& e) {
    EXPECT_NE(std::string(e.what()).find("held by another process"), std::string::npos) << e.what();
  }
  ::close(holder);
  EXPECT_NO_THROW(store.lock());
}

}  // namespace
}  // namespace vtoken::testing
