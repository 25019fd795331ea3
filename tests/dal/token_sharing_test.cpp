// Two programs on one token file, each reading and writing a user data file
// of its own, without the library's lock: every read returns the program's
// own file and every write lands in it, because the driver keeps the token
// across the SELECT and the READ or UPDATE BINARY that follows.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "support/dal_fixture.h"
#include "vorn_dal_pelu7.h"

namespace {

constexpr int kFileType = 1;
constexpr int kFileSize = 200;
constexpr int kRounds = 800;  // operations per program

// A file's content: the byte after the first says whose it is, the first
// which write put it there.
std::vector<unsigned char> contentOf(int owner, int round) {
  std::vector<unsigned char> data(kFileSize);
  for (int i = 0; i < kFileSize; ++i) data[static_cast<std::size_t>(i)] = static_cast<unsigned char>(owner * 31 + i);
  data[0] = static_cast<unsigned char>(round);
  return data;
}

bool isOwners(const std::vector<unsigned char>& data, int owner) {
  const std::vector<unsigned char> expected = contentOf(owner, data[0]);
  return std::equal(data.begin(), data.end(), expected.begin());
}

struct Counts {
  int wrongReads = 0;
  int failedCalls = 0;
};

// One program: reads and writes its own file, counting what went wrong.
Counts work(int file, int startFd) {
  Counts counts;
  char go = 0;
  if (::read(startFd, &go, 1) != 1 || VORN_DAL_Initialize() != 0) return Counts{0, kRounds};
  for (int round = 0; round < kRounds; ++round) {
    std::vector<unsigned char> data(kFileSize);
    if (round % 2 == 0) {
      if (VORN_DAL_ReadUsrDataFile(kFileType, file, 0, kFileSize, data.data()) != 0) {
        ++counts.failedCalls;
      } else if (!isOwners(data, file)) {
        ++counts.wrongReads;
      }
    } else {
      data = contentOf(file, round);
      if (VORN_DAL_WriteUsrDataFile(kFileType, file, 0, kFileSize, data.data()) != 0) ++counts.failedCalls;
    }
  }
  VORN_DAL_Finalize();
  return counts;
}

class TokenSharingTest : public testsupport::DalTest {
 protected:
  void SetUp() override {
    DalTest::SetUp();
    setenv("PELU7_READERS", ("USB1=vtoken:" + dir_.file("t.vtoken")).c_str(), 1);
    ASSERT_EQ(0, VORN_DAL_Initialize());
    formatToken();
    loginSuperUser();
    for (int file : {5, 6}) {
      ASSERT_EQ(0, VORN_DAL_CreateUsrDataFile(kFileType, file, kFileSize, 0, 0));
      const auto data = contentOf(file, 0);
      ASSERT_EQ(0, VORN_DAL_WriteUsrDataFile(kFileType, file, 0, kFileSize, data.data()));
    }
    VORN_DAL_Finalize();
  }
};

TEST_F(TokenSharingTest, TwoProgramsWithoutTheLockNeverSeeEachOthersFile) {
  int start[2];
  int results[2];
  ASSERT_EQ(::pipe(start), 0);
  ASSERT_EQ(::pipe(results), 0);
  std::vector<pid_t> children;
  for (int file : {5, 6}) {
    const pid_t child = ::fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
      const Counts counts = work(file, start[0]);
      const int report[3] = {file, counts.wrongReads, counts.failedCalls};
      _exit(::write(results[1], report, sizeof report) == sizeof report ? 0 : 1);
    }
    children.push_back(child);
  }
  // Both start together.
  ASSERT_EQ(::write(start[1], "gg", 2), 2);
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  for (int i = 0; i < 2; ++i) {
    int report[3] = {0, -1, -1};
    ASSERT_EQ(::read(results[0], report, sizeof report), static_cast<ssize_t>(sizeof report));
    EXPECT_EQ(0, report[1]) << "reads of file " << report[0] << " that returned the other file";
    EXPECT_EQ(0, report[2]) << "failed calls on file " << report[0];
  }
  for (int fd : {start[0], start[1], results[0], results[1]}) ::close(fd);

  // No write landed in the other program's file.
  ASSERT_EQ(0, VORN_DAL_Initialize());
  for (int file : {5, 6}) {
    std::vector<unsigned char> data(kFileSize);
    ASSERT_EQ(0, VORN_DAL_ReadUsrDataFile(kFileType, file, 0, kFileSize, data.data()));
    EXPECT_TRUE(isOwners(data, file)) << "file " << file << " holds the other's bytes";
  }
}

}  // namespace
