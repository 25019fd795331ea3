// The page that keeps an application's PIN: a child of fork finds it empty,
// and a wipe leaves no byte of it behind.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "locked_secret.h"

namespace p11 {
namespace {

const unsigned char kPin[] = "12345678";

bool allZero(const unsigned char* bytes, std::size_t length) {
  return std::all_of(bytes, bytes + length, [](unsigned char b) { return b == 0; });
}

TEST(LockedSecretTest, AChildOfForkFindsItEmpty) {
  LockedSecret secret;
  secret.assign(kPin, 8);
  ASSERT_EQ(secret.size(), 8u);
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) _exit(secret.empty() && allZero(secret.data(), LockedSecret::kCapacity) ? 0 : 1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(std::memcmp(secret.data(), kPin, 8), 0);  // the parent keeps it
}

TEST(LockedSecretTest, AWipeLeavesNothing) {
  LockedSecret secret;
  secret.assign(kPin, 8);
  const unsigned char* page = secret.data();
  secret.wipe();
  EXPECT_TRUE(secret.empty());
  EXPECT_TRUE(allZero(page, LockedSecret::kCapacity));
  secret.assign(kPin, 4);  // the page serves again
  EXPECT_EQ(secret.size(), 4u);
}

}  // namespace
}  // namespace p11
