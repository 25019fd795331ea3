// A lock object damaged while a process holds the lock and another waits for
// it (written over with random bytes, or shortened, by another program of the
// same user): nobody is killed (SIGBUS), the waiter is never let in beside
// the live holder, and both calls say -191.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <random>
#include <string>
#include <vector>

#include "lock_fixture.h"
#include "platform/posix/lock_state.h"
#include "process_harness.h"

namespace {

using locktest::Channel;
using locktest::ChildProcess;

constexpr int kEither = 1;  // the release may work or be refused

struct Damage {
  const char* name;
  void (*apply)(const std::string& path);
  int unlock;  // what the holder's UnLockMutex returns then
};

void PrintTo(const Damage& damage, std::ostream* out) { *out << damage.name; }

void writeOver(const std::string& path, std::size_t offset, std::size_t length) {
  std::mt19937 random(12345);
  std::vector<unsigned char> noise(length);
  for (unsigned char& byte : noise) byte = static_cast<unsigned char>(random());
  const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(static_cast<ssize_t>(length), pwrite(fd, noise.data(), length, static_cast<off_t>(offset)));
  close(fd);
}

const Damage kDamages[] = {
    {"RandomBytesOverAll",
     [](const std::string& path) { writeOver(path, 0, sizeof(platform::posix::SharedLockState)); },
     VORN_DAL_ERR_LOCK},
    // Only the owner word and what follows: the header still looks right.
    {"RandomBytesOverTheOwner",
     [](const std::string& path) {
       writeOver(path, offsetof(platform::posix::SharedLockState, owner),
                 sizeof(platform::posix::SharedLockState) - offsetof(platform::posix::SharedLockState, owner));
     },
     kEither},
    {"Shortened", [](const std::string& path) { ASSERT_EQ(0, truncate(path.c_str(), 0)); }, VORN_DAL_ERR_LOCK},
    {"ShortenedToHalf",
     [](const std::string& path) { ASSERT_EQ(0, truncate(path.c_str(), sizeof(platform::posix::SharedLockState) / 2)); },
     VORN_DAL_ERR_LOCK},
};

class DamagedUnderHolderTest : public locktest::LockFixture, public ::testing::WithParamInterface<Damage> {};

// A child that takes the lock on command 't' and reports the result; on
// command 'u' releases it and reports that result.
int lockOnCommand(Channel& test) {
  platform::posix::testing::setUncheckedHoldLimit(std::chrono::milliseconds(100));
  void* lock = nullptr;
  if (VORN_DAL_CreateMutex(&lock) != 0) return 2;
  test.send('c');
  for (char command; (command = test.receive()) != '\0';) {
    const int result = command == 't' ? VORN_DAL_LockMutex(lock) : VORN_DAL_UnLockMutex(lock);
    test.sendBytes(&result, sizeof result);
  }
  return 0;
}

TEST_P(DamagedUnderHolderTest, NeitherKilledNorLetInBesideTheHolder) {
  ChildProcess holder(lockOnCommand);
  ChildProcess waiter(lockOnCommand);
  ASSERT_EQ('c', holder.receive());
  ASSERT_EQ('c', waiter.receive());
  int result = -1;
  holder.send('t');
  ASSERT_TRUE(holder.receiveBytes(&result, sizeof result));
  ASSERT_EQ(0, result);

  GetParam().apply(object_.path());
  if (HasFatalFailure()) return;
  waiter.send('t');
  int waited = -1;
  ASSERT_TRUE(waiter.receiveBytes(&waited, sizeof waited)) << "the waiter died or waits for ever";
  EXPECT_EQ(VORN_DAL_ERR_LOCK, waited) << "a damaged object never admits a second holder";
  holder.send('u');
  ASSERT_TRUE(holder.receiveBytes(&result, sizeof result)) << "the holder died";
  if (GetParam().unlock != kEither) {
    EXPECT_EQ(GetParam().unlock, result) << "nor is it released as if it were sound";
  }
  holder.send('\0');
  waiter.send('\0');
  EXPECT_EQ(0, holder.wait());
  EXPECT_EQ(0, waiter.wait());
}

INSTANTIATE_TEST_SUITE_P(Objects, DamagedUnderHolderTest, ::testing::ValuesIn(kDamages),
                         [](const auto& info) { return info.param.name; });

}  // namespace
