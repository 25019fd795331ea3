// A token file's card RAM (security state, current file, last challenge,
// SSF33 key) is shared by every process on the token without replacing the
// file; the file is replaced only when what must outlast a power cut
// changes; a process killed while changing the RAM leaves it whole; a
// quiet process is served in turn beside a busy one; and the RAM is lost,
// as a card's, when its shared memory is.
#include "file_watch.h"
#include "other_user.h"
#include "vtoken/card_token.h"
#include "vtoken/describe.h"
#include "vtoken/shared_ram.h"
#include "vtoken_test_util.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace vtoken::testing {
namespace {

const Bytes kSignInput(128, 0x01);

Bytes withData(const std::string& header, const Bytes& data) { return concat(fromHex(header), data); }

// A formatted token with two transparent files (1234, 5678; read free,
// written by the user) and a key pair's private key file 0002 holding a
// generated key; nobody logged in.
class SharedStateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    formatCard(*token);
    loginUser(*token);
    ASSERT_EQ(sw(*token, "80E0123407280008F0AAFFFF"), 0x9000);
    ASSERT_EQ(sw(*token, "00D6000004CAFEBABE"), 0x9000);
    ASSERT_EQ(sw(*token, "80E0567807280008F0AAFFFF"), 0x9000);
    ASSERT_EQ(sw(*token, "00D600000412345678"), 0x9000);
    ASSERT_EQ(sw(*token, "80E00002073D0150AAAAEFFF"), 0x9000);
    ASSERT_EQ(send(*token, "80CE000200").sw, 0x9000);
    token->reset();
  }

  TempDir dir;
  std::string path = dir.file("card.vtoken");
  std::unique_ptr<Token> token = Token::openFile(path);
};

struct ReplacementCase {
  const char* name;
  std::vector<Bytes> commands;
  int replacements;
};

void PrintTo(const ReplacementCase& c, std::ostream* out) { *out << c.name; }

class ReplacementTest : public SharedStateTest, public ::testing::WithParamInterface<ReplacementCase> {};

// Only a change of what must outlast a power cut replaces the file: files,
// keys, counters; and every command that compares a secret, whose outcome
// is recorded even when nothing changed.
TEST_P(ReplacementTest, FileIsReplacedOnlyForWhatMustLast) {
  ReplacementCounter counter(path);
  for (const Bytes& command : GetParam().commands) {
    EXPECT_EQ(token->transmit(command).sw, 0x9000) << toHex(command);
  }
  EXPECT_EQ(counter.take(), GetParam().replacements);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReplacementTest,
    ::testing::Values(
        ReplacementCase{"Select", {fromHex("00A40000021234")}, 0},
        ReplacementCase{"SelectAndRead", {fromHex("00A40000021234"), fromHex("00B0000004")}, 0},
        ReplacementCase{"GetChallenge", {fromHex("0084000008"), fromHex("0084000008")}, 0},
        ReplacementCase{"LoadSsf33Key", {fromHex("807805FF10" "00112233445566778899AABBCCDDEEFF")}, 0},
        ReplacementCase{"CreateFile", {fromHex("80E09ABC07280010F0F0FFFF")}, 1},
        ReplacementCase{"WriteFile", {fromHex("00A40000021234"), verifyCommand(0x01, kUserPin),
                                      fromHex("00D6000004FFFFFFFF")},
                        2},
        // Log in, read the certificate's file, sign on the card, log out.
        ReplacementCase{"SigningSession",
                        {verifyCommand(0x01, kUserPin), fromHex("00A40000021234"), fromHex("00B0000004"),
                         withData("80C2000280", kSignInput), verifyCommand(0x03, kLogoutPin)},
                        2}),
    [](const ::testing::TestParamInfo<ReplacementCase>& info) { return std::string(info.param.name); });

TEST_F(SharedStateTest, ResetReplacesNothing) {
  ReplacementCounter counter(path);
  loginUser(*token);
  token->reset();
  EXPECT_EQ(counter.take(), 1);  // the VERIFY alone
  EXPECT_EQ(describeToken(*token).securityState, 0);
}

// Runs body in a forked process on its own token object; returns its exit
// status.
int inChild(const std::string& path, const std::function<int(Token&)>& body) {
  return runAs(::geteuid(), [&] {
    const auto own = Token::openFile(path);
    return body(*own);
  });
}

TEST_F(SharedStateTest, AnotherProcessSeesTheRamWithoutAReplacement) {
  ReplacementCounter counter(path);
  // Another process selects a file and gets a challenge; this one reads the
  // file it selected and answers that challenge.
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_EQ(inChild(path,
                    [&](Token& other) {
                      const Answer challenge = send(other, "0084000008");
                      return sw(other, "00A40000025678") == 0x9000 && challenge.sw == 0x9000 &&
                                     ::write(fds[1], challenge.data.data(), 8) == 8
                                 ? 0
                                 : 1;
                    }),
            0);
  Bytes challenge(8);
  ASSERT_EQ(::read(fds[0], challenge.data(), 8), 8);
  ::close(fds[0]);
  ::close(fds[1]);
  EXPECT_EQ(toHex(send(*token, "00B0000004").data), "12345678");
  EXPECT_EQ(counter.take(), 0);
  EXPECT_EQ(sw(*token, concat(fromHex("0082000008"), tripleDes(kOwnKey, challenge))), 0x9000);
  EXPECT_TRUE(describeToken(*token).externalAuthGranted);
}

// A process killed at any moment while it changes the RAM over and over
// leaves one of the RAM states it wrote, and the lock free.
TEST_F(SharedStateTest, KilledProcessLeavesTheRamWhole) {
  for (int round = 0; round < 6; ++round) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t pid = forkAs(::geteuid(), [&] {
      ::close(fds[0]);
      const auto own = Token::openFile(path);
      for (int i = 0;; ++i) {
        if (sw(*own, i % 2 == 0 ? "00A40000021234" : "00A40000025678") != 0x9000) return 1;
        if (::write(fds[1], "x", 1) != 1) return 2;
      }
    });
    ::close(fds[1]);
    char done = 0;
    for (int i = 0; i < 1 + round * 7; ++i) {
      ASSERT_EQ(::read(fds[0], &done, 1), 1);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    ::close(fds[0]);
    const std::uint16_t current = describeToken(*token).currentFile;
    EXPECT_TRUE(current == 0x1234 || current == 0x5678) << std::hex << current;
    EXPECT_EQ(send(*token, "00B0000004").sw, 0x9000);
  }
}

// A quiet process among busy ones: while another process logs in and out
// back to back (each a durable write), every command of this one is served
// within its lock wait. 5 s is far above the few milliseconds one turn of
// the busy process takes even on a loaded machine; a busy process that
// could take the lock back before the waiting one would exhaust it.
TEST_F(SharedStateTest, QuietProcessIsServedBesideABusyOne) {
  int started[2];
  int stop[2];
  ASSERT_EQ(::pipe(started), 0);
  ASSERT_EQ(::pipe2(stop, O_NONBLOCK), 0);
  const pid_t busy = forkAs(::geteuid(), [&] {
    ::close(started[0]);
    ::close(stop[1]);
    const auto own = Token::openFile(path);
    for (long turns = 0;; ++turns) {
      if (sw(*own, verifyCommand(0x01, kUserPin)) != 0x9000 || sw(*own, verifyCommand(0x03, kLogoutPin)) != 0x9000) {
        return 1;
      }
      char byte = 0;
      if (turns == 0 && ::write(started[1], "x", 1) != 1) return 2;
      if (::read(stop[0], &byte, 1) == 0) return 0;  // the parent closed it
    }
  });
  ::close(started[1]);
  ::close(stop[0]);
  char byte = 0;
  ASSERT_EQ(::read(started[0], &byte, 1), 1);
  const auto quiet = makeFileToken(path, TokenOptions{}, std::chrono::milliseconds(5000));
  int failures = 0;
  std::string lastFailure;
  for (int i = 0; i < 40; ++i) {
    if (quiet->transmit(fromHex("0084000008")).sw != 0x9000) {
      ++failures;
      lastFailure = quiet->lastError();
    }
  }
  ::close(stop[1]);
  ::close(started[0]);
  EXPECT_EQ(failures, 0) << lastFailure;
  EXPECT_EQ(waitForChild(busy), 0);
}

// The card's RAM lives as long as its shared memory: when that is gone (the
// machine restarted, or the memory was removed) the card is as after a
// reset, its EEPROM as it was.
TEST_F(SharedStateTest, LostRamLeavesTheCardAsAfterAReset) {
  loginUser(*token);
  ASSERT_EQ(sw(*token, "00A40000021234"), 0x9000);
  std::filesystem::remove(platform::sharedMappingPath(SharedRam::nameFor(path)));
  const TokenDescription d = describeToken(*Token::openFile(path));
  EXPECT_EQ(d.securityState, 0);
  EXPECT_EQ(d.currentFile, 0x3F00);
  EXPECT_EQ(d.files.size(), 7u);
  // The token object that mapped the removed memory sees the same card.
  EXPECT_EQ(sw(*token, "00B0000004"), 0x6986);
  EXPECT_EQ(describeToken(*token).securityState, 0);
}

// A token file put in place by other means (copied from a backup, another
// card) brings its own RAM as it was when it was written, not the RAM of the
// card it replaces.
TEST_F(SharedStateTest, FileCopiedInBringsItsOwnRam) {
  const std::string other = dir.file("other.vtoken");
  {
    const auto otherToken = Token::openFile(other);
    formatCard(*otherToken);
    loginSuperUser(*otherToken);
  }
  loginUser(*token);
  std::filesystem::copy_file(other, path, std::filesystem::copy_options::overwrite_existing);
  const TokenDescription d = describeToken(*token);
  EXPECT_EQ(d.securityState, 0x0C);
  EXPECT_EQ(d.files.size(), 4u);
}

// The SSF33 key and the last challenge live in the card's RAM only: a
// durable write after them does not put them in the token file.
TEST_F(SharedStateTest, RamSecretsNeverReachTheFile) {
  const Bytes key = fromHex("00112233445566778899AABBCCDDEEFF");
  ASSERT_EQ(sw(*token, concat(fromHex("807805FF10"), key)), 0x9000);
  const Answer challenge = send(*token, "0084000008");
  ASSERT_EQ(challenge.sw, 0x9000);
  loginUser(*token);
  std::ifstream in(path, std::ios::binary);
  const Bytes file((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(std::search(file.begin(), file.end(), key.begin(), key.end()), file.end());
  EXPECT_EQ(std::search(file.begin(), file.end(), challenge.data.begin(), challenge.data.end()), file.end());
  // The card still has them.
  EXPECT_TRUE(describeToken(*Token::openFile(path)).ssf33KeyLoaded);
}

// Another user's file at the name of the user's shared card memory is
// neither read nor written: the token is refused, saying why.
TEST(SharedRamOfAnotherUser, IsRefused) {
  if (!runningAsRoot()) {
    GTEST_SKIP() << "needs root to act as another user";
  }
  TempDir dir;
  ::chmod(dir.path().c_str(), 0777);
  const std::string path = dir.file("t.vtoken");
  const std::string planted = "/dev/shm/" + SharedRam::nameFor(path) + ".u" + std::to_string(kVictim);
  ASSERT_EQ(runAs(kAttacker, [&] {
              const int fd = ::open(planted.c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
              return fd >= 0 && ::fchmod(fd, 0666) == 0 && ::close(fd) == 0 ? 0 : 1;
            }),
            0);
  EXPECT_EQ(runAs(kVictim,
                  [&] {
                    try {
                      Token::openFile(path);
                      return 1;
                    } catch (const TokenError& e) {
                      return std::string(e.what()).find("owned by another user") != std::string::npos ? 0 : 2;
                    }
                  }),
            0);
  std::filesystem::remove(planted);
}

}  // namespace
}  // namespace vtoken::testing
