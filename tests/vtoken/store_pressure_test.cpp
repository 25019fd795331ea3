// The token file's store under pressure from other programs of the user: a
// full /dev/shm, a shared card memory or lock file shortened or written over
// under a running program, a waiter stopped in its turn. No program is
// killed (SIGBUS), errors name what is at fault, and nobody waits on a
// stopped process.
#include "other_user.h"
#include "vtoken/card_token.h"
#include "vtoken/shared_ram.h"
#include "vtoken_test_util.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <random>

#include "platform/file_mapping.h"

namespace vtoken::testing {
namespace {

const std::string kSelectMf = "00A40000023F00";
const std::string kChallenge = "0084000008";

std::string sharedMemoryOf(const std::string& tokenPath) {
  return platform::sharedMappingPath(SharedRam::nameFor(tokenPath));
}

void writeNoise(const std::string& path, std::size_t length) {
  std::mt19937 random(7);
  std::string noise(length, '\0');
  for (char& byte : noise) byte = static_cast<char>(random());
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(static_cast<ssize_t>(length), ::pwrite(fd, noise.data(), length, 0));
  ::close(fd);
}

struct Damage {
  const char* name;
  std::function<void(const std::string& tokenPath)> apply;
  std::uint16_t next;  // the answer to the first command after it
  const char* message; // what lastError() then says, when it fails
  bool ramLost;        // whether the card's RAM is gone (as after a reset)
};

void PrintTo(const Damage& damage, std::ostream* out) { *out << damage.name; }

const Damage kDamages[] = {
    {"RamShortened", [](const std::string& path) { ASSERT_EQ(0, ::truncate(sharedMemoryOf(path).c_str(), 0)); },
     card::kSwMemoryFailure, "has been shortened", true},
    {"RamShortenedInsideTheSlots",
     [](const std::string& path) { ASSERT_EQ(0, ::truncate(sharedMemoryOf(path).c_str(), 100)); },
     card::kSwMemoryFailure, "has been shortened", true},
    // A record whose check fails is no record: the card as after a reset.
    {"RamWrittenOver", [](const std::string& path) { writeNoise(sharedMemoryOf(path), 4096); }, 0x9000, "", true},
    // The lock file's content means nothing to its kernel lock.
    {"LockWrittenOver", [](const std::string& path) { writeNoise(path + ".lock", 512); }, 0x9000, "", false},
    {"LockShortened", [](const std::string& path) { ASSERT_EQ(0, ::truncate((path + ".lock").c_str(), 0)); }, 0x9000,
     "", false},
};

class StoreDamageTest : public ::testing::TestWithParam<Damage> {
 protected:
  TempDir dir;
  std::string path = dir.file("t.vtoken");
};

// One token object through it all, as a running program keeps it.
TEST_P(StoreDamageTest, RunningProgramGetsAnAnswerAndGoesOn) {
  const auto token = Token::openFile(path);
  ASSERT_EQ(sw(*token, kChallenge), 0x9000);
  GetParam().apply(path);
  if (HasFatalFailure()) return;
  EXPECT_EQ(sw(*token, kSelectMf), GetParam().next);
  if (GetParam().next != 0x9000) {
    EXPECT_NE(token->lastError().find(sharedMemoryOf(path)), std::string::npos) << token->lastError();
    EXPECT_NE(token->lastError().find(GetParam().message), std::string::npos) << token->lastError();
  }
  // Its RAM lost at worst: the next command finds the card as after a reset.
  EXPECT_EQ(sw(*token, kSelectMf), 0x9000) << token->lastError();
  // The challenge taken before is gone with the RAM (6985: none), else it
  // is still there for a (here wrong) answer.
  EXPECT_EQ(sw(*token, "0082000008" "0000000000000000") == 0x6985, GetParam().ramLost);
}

INSTANTIATE_TEST_SUITE_P(Files, StoreDamageTest, ::testing::ValuesIn(kDamages),
                         [](const auto& info) { return info.param.name; });

// Fills the file system holding `filler` to its last byte.
bool fill(const std::string& filler) {
  const int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const std::string block(4096, 'x');
  ssize_t written;
  while ((written = ::write(fd, block.data(), block.size())) > 0) {
  }
  const bool full = written < 0 && errno == ENOSPC;
  ::close(fd);
  return full;
}

enum FullStep { kFullAllWell = 0, kNoNamespace = 90, kNotFilled, kOpenedOnAFullDisk, kWrongMessage, kNotAfterRoom };

// In a mount namespace of its own: a small tmpfs over /dev/shm, full. The
// token file itself lives elsewhere, with room.
int onFullSharedMemory(const std::string& path) {
  if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      ::mount("pelu7-shm", "/dev/shm", "tmpfs", 0, "size=64k,mode=1777") != 0) {
    return kNoNamespace;
  }
  if (!fill("/dev/shm/filler")) return kNotFilled;
  try {
    const auto token = Token::openFile(path);
    return kOpenedOnAFullDisk;
  } catch (const TokenError& error) {
    const std::string message = error.what();
    if (message.find(sharedMemoryOf(path)) == std::string::npos ||
        message.find("No space left on device") == std::string::npos) {
      std::fprintf(stderr, "%s\n", message.c_str());
      return kWrongMessage;
    }
  }
  ::unlink("/dev/shm/filler");
  const auto token = Token::openFile(path);
  return sw(*token, kSelectMf) == 0x9000 ? kFullAllWell : kNotAfterRoom;
}

TEST(FullSharedMemoryTest, OpeningFailsWithAClearErrorAndWorksOnceThereIsRoom) {
  if (!runningAsRoot()) GTEST_SKIP() << "needs root to mount a file system";
  TempDir dir;
  const int status = runAs(0, [&] { return onFullSharedMemory(dir.file("t.vtoken")); });
  if (status == kNoNamespace) GTEST_SKIP() << "no private mount namespace here";
  EXPECT_EQ(status, kFullAllWell) << "-1 is a child killed by a signal";
}

// Whether some open file description holds a flock on `path` now.
bool lockedByAnother(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool busy = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  ::close(fd);
  return busy;
}

// Polls `condition` for up to a minute (a guard against hanging the run, not
// a timing expectation).
bool eventually(const std::function<bool()>& condition) {
  for (int i = 0; i < 60000; ++i) {
    if (condition()) return true;
    ::usleep(1000);
  }
  return false;
}

// A waiter stopped in its turn (it holds the turnstile) keeps nobody from the
// token: a third program waiting behind it, and the holder itself coming
// back, are served once the holder lets go, within their usual lock wait.
TEST(StoppedWaiterTest, CostsTheOthersNothing) {
  TempDir dir;
  const std::string path = dir.file("t.vtoken");
  const auto holder = Token::openFile(path);
  ASSERT_TRUE(holder->beginExclusive()) << holder->lastError();

  const pid_t stopped = forkAs(::geteuid(), [&] {
    const auto own = Token::openFile(path);
    return sw(*own, kSelectMf) == 0x9000 ? 0 : 1;
  });
  ASSERT_GT(stopped, 0);
  ASSERT_TRUE(eventually([&] { return lockedByAnother(sharedMemoryOf(path)); })) << "the waiter never queued";
  ASSERT_EQ(::kill(stopped, SIGSTOP), 0);

  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t third = forkAs(::geteuid(), [&] {
    if (::write(ready[1], "x", 1) != 1) return 2;
    const auto own = Token::openFile(path);
    return sw(*own, kChallenge) == 0x9000 ? 0 : 1;
  });
  ASSERT_GT(third, 0);
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  ::close(ready[0]);
  ::close(ready[1]);
  holder->endExclusive();

  EXPECT_EQ(waitForChild(third), 0) << "the program behind the stopped waiter was not served";
  EXPECT_EQ(sw(*holder, kSelectMf), 0x9000) << holder->lastError();
  ASSERT_EQ(::kill(stopped, SIGCONT), 0);
  EXPECT_EQ(waitForChild(stopped), 0);
}

// A lock wait that ends in an error names what is held: the lock file, held
// by the holder all through.
TEST(StoppedWaiterTest, ATimedOutWaitNamesTheLockFile) {
  TempDir dir;
  const std::string path = dir.file("t.vtoken");
  const auto holder = Token::openFile(path);
  const auto waiter = makeFileToken(path, TokenOptions{}, std::chrono::milliseconds(200));
  ASSERT_TRUE(holder->beginExclusive());
  EXPECT_EQ(waiter->transmit(fromHex(kSelectMf)).sw, card::kSwMemoryFailure);
  EXPECT_NE(waiter->lastError().find("cannot lock " + path + ".lock: held by another process"), std::string::npos)
      << waiter->lastError();
  holder->endExclusive();
  EXPECT_EQ(waiter->transmit(fromHex(kSelectMf)).sw, 0x9000) << waiter->lastError();
}

}  // namespace
}  // namespace vtoken::testing
