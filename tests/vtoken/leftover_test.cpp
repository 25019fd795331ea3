// Temporaries that a writer killed before its rename left beside a token
// file hold a whole copy of the card (PIN objects, keys): the next writer
// removes them under the lock, but only the user's own regular files, never
// one that a live writer is filling.
#include "other_user.h"
#include "vtoken/describe.h"
#include "vtoken_test_util.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <random>

namespace vtoken::testing {
namespace {

// What is planted at a name; the test then makes one durable change.
struct LeftoverCase {
  const char* name;
  const char* suffix;  // appended to the token path
  // Makes the planted file at `at`; returns a descriptor to hold while the
  // token writes (or -1).
  int (*plant)(const std::string& at);
  bool removed;
};

void PrintTo(const LeftoverCase& c, std::ostream* out) { *out << c.name; }

int plainFile(const std::string& at) {
  std::ofstream(at) << "a whole copy of the card";
  return -1;
}

// A writer that is alive holds its temporary locked while filling it.
int fileBeingWritten(const std::string& at) {
  const int fd = ::open(at.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  return fd >= 0 && ::flock(fd, LOCK_EX) == 0 ? fd : -1;
}

int symbolicLink(const std::string& at) {
  std::ofstream(at + ".target") << "not to be removed";
  std::filesystem::create_symlink(at + ".target", at);
  return -1;
}

int otherUsersFile(const std::string& at) {
  runAs(kAttacker, [&] {
    const int fd = ::open(at.c_str(), O_RDWR | O_CREAT | O_EXCL, 0644);
    return fd >= 0 && ::close(fd) == 0 ? 0 : 1;
  });
  return -1;
}

class LeftoverTest : public ::testing::TestWithParam<LeftoverCase> {
 protected:
  TempDir dir;
  std::string path = dir.file("t.vtoken");
};

TEST_P(LeftoverTest, NextWriterRemovesOnlyTheUsersOwnStaleOnes) {
  if (GetParam().plant == otherUsersFile && !runningAsRoot()) {
    GTEST_SKIP() << "needs root to act as another user";
  }
  ::chmod(dir.path().c_str(), 01777);
  const auto token = Token::openFile(path);
  const std::string planted = path + GetParam().suffix;
  const int held = GetParam().plant(planted);
  ASSERT_EQ(sw(*token, "80E0123407280010F0F0FFFF"), 0x9000);
  std::error_code error;
  EXPECT_EQ(std::filesystem::symlink_status(planted, error).type() == std::filesystem::file_type::not_found,
            GetParam().removed);
  if (held >= 0) ::close(held);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LeftoverTest,
    ::testing::Values(LeftoverCase{"OwnStaleTemporary", ".tmp.a1B2c3", plainFile, true},
                      LeftoverCase{"OneALiveWriterFills", ".tmp.a1B2c3", fileBeingWritten, false},
                      LeftoverCase{"SymbolicLink", ".tmp.a1B2c3", symbolicLink, false},
                      LeftoverCase{"AnotherUsersFile", ".tmp.a1B2c3", otherUsersFile, false},
                      LeftoverCase{"OtherNamePattern", ".tmp.a1B2c3d", plainFile, false},
                      LeftoverCase{"AnotherTokensTemporary", "x.tmp.a1B2c3", plainFile, false}),
    [](const ::testing::TestParamInfo<LeftoverCase>& info) { return std::string(info.param.name); });

std::vector<std::string> temporariesOf(const std::string& path) {
  std::vector<std::string> found;
  const std::string prefix = std::filesystem::path(path).filename().string() + ".tmp.";
  for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(path).parent_path())) {
    if (entry.path().filename().string().rfind(prefix, 0) == 0) found.push_back(entry.path().string());
  }
  return found;
}

// Erases the card with the issuer's key and gives it that key back.
void eraseCard(Token& token) {
  ASSERT_EQ(externalAuth(token, kOwnKey), 0x9000);
  ASSERT_EQ(sw(token, "800E000000"), 0x9000);
  ASSERT_EQ(sw(token, "80E00000073F006701FAFFFF"), 0x9000);
  ASSERT_EQ(sw(token, writeKeyCommand(0x00, "39F0AA0A66", kOwnKey)), 0x9000);
}

// Writers killed at random moments while they write key objects; after
// each kill the card is erased, and no copy of the keys stays beside it.
TEST(KilledWriters, LeaveNoCopyAfterTheNextWrite) {
  TempDir dir;
  const std::string path = dir.file("t.vtoken");
  formatCard(*Token::openFile(path));
  int leftovers = 0;
  std::mt19937 rng(20261208);
  for (int round = 0; round < 12; ++round) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t pid = forkAs(::geteuid(), [&] {
      ::close(fds[0]);
      const auto token = Token::openFile(path);
      if (externalAuth(*token, kOwnKey) != 0x9000) return 1;
      for (int i = 0;; ++i) {
        if (sw(*token, writeKeyCommand(0x01, "3AF0EF0A66", i % 2 == 0 ? kUserPin : kSuperPin)) != 0x9000) return 2;
        if (::write(fds[1], "x", 1) != 1) return 3;
      }
    });
    ::close(fds[1]);
    char byte = 0;
    for (int written = 0; written <= round % 3; ++written) {
      ASSERT_EQ(::read(fds[0], &byte, 1), 1);
    }
    // The delay only picks the moment of the kill; nothing waits on it.
    const timespec delay{0, static_cast<long>(rng() % 2000) * 1000};
    ::nanosleep(&delay, nullptr);
    ::kill(pid, SIGKILL);
    ::close(fds[0]);
    ::waitpid(pid, nullptr, 0);
    leftovers += static_cast<int>(temporariesOf(path).size());
    eraseCard(*Token::openFile(path));
    EXPECT_EQ(temporariesOf(path), std::vector<std::string>{}) << "round " << round;
  }
  std::printf("temporaries left by killed writers: %d\n", leftovers);
}

}  // namespace
}  // namespace vtoken::testing
